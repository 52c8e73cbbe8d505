#include "dsp/KevoReverb2.h"

#include "core/parameters.h"
#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr int kFrameMask = KevoReverb2::kFrames - 1;

// Tap positions in units of three frames behind the write frame; the pair
// loop starts at entry 2 on the left and entry 1 on the right.
constexpr int kLeftTaps[18] = { 7, 108, 180, 361, 1, 372, 377, 568, 801, 1078, 377, 1457, 1888, 2355, 2384, 2437, 2450, 3559 };
constexpr int kRightTaps[17] = { 116, 140, 333, 1, 346, 351, 574, 813, 1106, 351, 1503, 1900, 2363, 2400, 2471, 2448, 3599 };
constexpr int kTapCount = 18;
constexpr int kLeftFirst = 2;
constexpr int kRightFirst = 1;
constexpr int kLastPair = 12; // pairs j = 0, 2, ..., 12

constexpr double kLatticeGain = 0.4;
constexpr int kLeftFeedbackFrames = 10851;
constexpr int kRightFeedbackFrames = 11337;

static_assert (kRightFirst + kLastPair + 1 < 17 && kLeftFirst + kLastPair + 1 < kTapCount, "pair loop inside the tables");

inline int frameBehind (int frame, int distance) noexcept
{
    return (frame - distance) & kFrameMask;
}
} // namespace

KevoReverb2::KevoReverb2()
{
    line.allocate ((size_t) kFrames * 2);
}

void KevoReverb2::prepare (double rate, int) noexcept
{
    sampleRate = effects::sanitisedSampleRate (rate);
    writeFrame = 0;
    updateReverb();
}

void KevoReverb2::updateReverb() noexcept
{
    if (values == nullptr)
        return;

    if (sampleRate > 40000.0 && sampleRate < 80000.0)
        highPassCoefficient = 0.003644f;
    else if (sampleRate > 80000.0)
        highPassCoefficient = 0.002122f;
}

void KevoReverb2::clear() noexcept
{
    std::fill (line.begin(), line.end(), 0.0);
    leftDamping = rightDamping = 0.0;
    leftHighPass = rightHighPass = 0.0;
}

void KevoReverb2::reset() noexcept
{
    clear();
    writeFrame = 0;
}

void KevoReverb2::blockMultiTapBasedReverb (float* left, float* right, int n) noexcept
{
    if (values == nullptr || n <= 0)
        return;

    const double mix = effects::parameter (values, params::kReverbMix);
    if (mix < effects::kMixThreshold)
        return;

    effects::sanitiseBlock (left, n);
    effects::sanitiseBlock (right, n);

    const double colour = effects::parameter (values, params::kReverbColor);
    const double size = effects::parameter (values, params::kReverbSize);
    const double damping = 0.9 * colour * colour + 0.1;
    const double feedback = 0.6 * size + 0.2;
    const double dryGain = std::sqrt (1.0 - mix);
    const double k = highPassCoefficient;

    double* const data = line.data();
    bool bad = false;

    for (int s = 0; s < n; ++s)
    {
        const double x = left[s];
        writeFrame = (writeFrame + 1) & kFrameMask;
        double sumLeft = 0.0, sumRight = 0.0;

        for (int j = 0; j <= kLastPair; j += 2)
        {
            const bool tapped = (j == 2 || j == 8); // second and fifth pair

            {
                const int t1 = kLeftTaps[kLeftFirst + j], t2 = kLeftTaps[kLeftFirst + j + 1];
                double& a1 = data[2 * frameBehind (writeFrame, 3 * t1)];
                double& a2 = data[2 * frameBehind (writeFrame, 3 * t2)];
                const double a = a1 - kLatticeGain * a2;
                a1 = a;
                a2 += kLatticeGain * a;
                if (tapped)
                    sumLeft += data[2 * frameBehind (writeFrame, 3 * t2 + 1)];
            }
            {
                const int t1 = kRightTaps[kRightFirst + j], t2 = kRightTaps[kRightFirst + j + 1];
                double& a1 = data[2 * frameBehind (writeFrame, 3 * t1) + 1];
                double& a2 = data[2 * frameBehind (writeFrame, 3 * t2) + 1];
                const double a = a1 - kLatticeGain * a2;
                a1 = a;
                a2 += kLatticeGain * a;
                if (tapped)
                    sumRight += data[2 * frameBehind (writeFrame, 3 * t2 + 1) + 1];
            }
        }

        leftDamping = leftDamping * (1.0 - damping) + damping * data[2 * frameBehind (writeFrame, kLeftFeedbackFrames)];
        rightDamping = rightDamping * (1.0 - damping) + damping * data[2 * frameBehind (writeFrame, kRightFeedbackFrames) + 1];

        data[2 * writeFrame] = feedback * rightDamping + x;
        data[2 * writeFrame + 1] = feedback * leftDamping + x;

        double outLeft = 0.5 * sumRight + leftDamping;
        double outRight = 0.5 * sumLeft + rightDamping;

        leftHighPass = leftHighPass * (1.0 - k) + outLeft * k;
        outLeft -= leftHighPass;
        rightHighPass = rightHighPass * (1.0 - k) + outRight * k;
        outRight -= rightHighPass;

        if (! std::isfinite (outLeft) || ! std::isfinite (outRight))
        {
            outLeft = outRight = 0.0;
            bad = true;
        }

        left[s] = (float) (left[s] * dryGain + outLeft * mix);
        right[s] = (float) (right[s] * dryGain + outRight * mix);
    }

    // A non-finite value must never ring on in the line.
    if (bad || ! std::isfinite (leftDamping + rightDamping))
        clear();

    effects::flushTiny (leftDamping);
    effects::flushTiny (rightDamping);
    effects::flushTiny (leftHighPass);
    effects::flushTiny (rightHighPass);
}
