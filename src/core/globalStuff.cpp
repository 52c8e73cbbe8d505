#include "core/globalStuff.h"

#include <cmath>
#include <mutex>

double globals[3] = { 44100.0, 1.0, 1.0 };
double freqtab[128];
double sineTable[kTableSize];
double bandLimitedSawtooth[kBandLimitedRows][kTableSize];
double bandLimitedSquare[kBandLimitedRows][kTableSize];
double bandLimitedTriangle[kBandLimitedRows][kTableSize];

std::atomic<int> INSTANCES_RUNNING { 0 };
std::atomic<bool> TALVORA_XL_VERSION { false };

namespace
{
constexpr double kTwoPi = 6.28318530717958; // the tables were tuned with this constant

void buildFreqTab()
{
    // The running product stays in extended precision so every entry rounds
    // the same way on every build.
    long double f = 8.175798915643709L;
    for (int n = 0; n < 128; ++n)
    {
        freqtab[n] = (double) f;
        f *= (long double) 1.0594630943592953;
    }
}

void buildWaveTables()
{
    constexpr double inv = 1.0 / 4096.0;

    for (int i = 0; i < kTableSize; ++i)
        sineTable[i] = std::sin (i * kTwoPi * inv);

    for (int k = 0; k < kBandLimitedRows; ++k)
    {
        const double f = freqtab[(k * 128) / 12];
        const int harmonics = (int) (17000.0 / f);

        for (int i = 0; i < kTableSize; ++i)
        {
            double sum = 0.0;
            for (int h = 1; h <= harmonics - 1; ++h)
            {
                // The four top harmonics fade out: 0.8, 0.6, 0.4, 0.2.
                const int fromTop = harmonics - h;
                const double w = fromTop <= 4 ? 0.2 * fromTop : 1.0;
                sum += w * std::sin (i * h * inv * kTwoPi) / h;
            }
            bandLimitedSawtooth[k][i] = sum * -0.636619772367582;
        }
    }

    for (int k = 0; k < kBandLimitedRows; ++k)
        for (int i = 0; i < kTableSize; ++i)
            bandLimitedSquare[k][i] = bandLimitedSawtooth[k][i] - bandLimitedSawtooth[k][(i + 2048) & kTableMask];

    for (int k = 0; k < kBandLimitedRows; ++k)
        for (int i = 0; i < kTableSize; ++i)
        {
            double v;
            if (i < 1024)
                v = i / 1024.0;
            else if (i < 3072)
                v = 1.0 - (i - 1024) / 1024.0;
            else
                v = (i - 3072) / 1024.0 - 1.0;
            bandLimitedTriangle[k][i] = v;
        }
}
} // namespace

bool initGlobalTables()
{
    static std::once_flag once;
    bool builtHere = false;
    std::call_once (once, [&] {
        buildFreqTab();
        buildWaveTables();
        builtHere = true;
    });
    return builtHere;
}

void setGlobalSampleRate (double rate) noexcept
{
    if (! (rate > 0.0) || ! std::isfinite (rate))
        return;
    // Other instances read these while they render: an instance opened at the
    // session's rate must not write them at all.
    if (globals[0] == rate)
        return;
    globals[0] = rate;
    globals[2] = rate / 44100.0;
}
