#include "core/WaveCapture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/globalStuff.h"

namespace waveCapture
{
namespace
{
constexpr int N = WaveRows::kRowSize;

int64_t wrap (int64_t index, int size) noexcept
{
    const int64_t r = index % size;
    return r < 0 ? r + size : r;
}

struct RowFilter
{
    double a; // first low-pass
    double c; // second low-pass
};

// The filters of row k: cut-offs from the lowest note of its pitch range.
// The second one is reckoned at 44100 Hz whatever the rate.
RowFilter rowFilter (int k, double sampleRate) noexcept
{
    const int note = (128 * k) / 12;
    const double period = sampleRate / freqtab[note];
    double a = 0.8 * period / 4096.0;
    a = a < 0.0 ? 0.0 : (a > 1.0 ? 1.0 : a);
    const double c = 1.0 - std::exp (-6.28318530717958 * period / 44100.0);
    return { a, c };
}

void applyRow (double* run, const RowFilter& f) noexcept
{
    double y = 0.0;
    for (int i = 0; i < kRunSize; ++i)
    {
        y = y * (1.0 - f.a) + run[i] * f.a;
        run[i] = y;
    }
    y = 0.0;
    for (int i = 0; i < kRunSize; ++i)
    {
        y = y + (run[i] - y) * f.c;
        run[i] = y;
    }
}

void smooth (double* a) noexcept
{
    for (int j = 1; j < N; ++j)
        a[j] = (2.0 * a[j - 1] + a[j]) / 3.0;
}

// Filters run = A, B, C through the rows' filters in turn (each row adds its
// own to those before) and keeps B after each.
void filterRows (std::vector<double>& run, double sampleRate, WaveRows& out, int firstKept) noexcept
{
    for (int k = 0; k < WaveRows::kNumRows; ++k)
    {
        applyRow (run.data(), rowFilter (k, sampleRate));
        if (k >= firstKept)
            std::memcpy (out.rows[k], run.data() + N, sizeof (double) * N);
    }
}

double usableRate (double sampleRate) noexcept
{
    return std::isfinite (sampleRate) && sampleRate > 0.0 ? sampleRate : 44100.0;
}
} // namespace

double stepFor (double captureSize) noexcept
{
    const double v = std::isfinite (captureSize) ? (captureSize < 0.0 ? 0.0 : (captureSize > 1.0 ? 1.0 : captureSize)) : 0.5;
    const double u = 1.0 - v;
    double s = 0.25 + 0.5 * u;
    if (u > 0.5)
        s += (u - 0.5) * 0.5;
    // A step of zero or below would never finish the slots.
    return s < 0.25 ? 0.25 : (s > 1.0 ? 1.0 : s);
}

void resample (const std::atomic<float>* ring, int ringSize, int64_t position, double captureSize, double* slots) noexcept
{
    std::memset (slots, 0, sizeof (double) * N);
    if (ring == nullptr || ringSize <= 0)
        return;

    const double s = stepFor (captureSize);
    int64_t taken = 0;
    for (double x = 0.0; x < (double) N; x += s)
        ++taken;

    // Start as far back as the slots will take, so the run ends on the
    // sample before the newest whatever the step.
    int64_t r = wrap (position - taken, ringSize);
    for (double x = 0.0; x < (double) N; x += s)
    {
        slots[(int) x] = (double) ring[r].load (std::memory_order_relaxed);
        r = wrap (r + 1, ringSize);
    }
}

void build (const std::atomic<float>* ring, int ringSize, int64_t position, double captureSize, double sampleRate,
            WaveRows& out) noexcept
{
    initGlobalTables();
    sampleRate = usableRate (sampleRate);

    std::vector<double> run ((size_t) kRunSize, 0.0);
    double* a = run.data();
    resample (ring, ringSize, position, captureSize, a);
    std::memcpy (a + N, a, sizeof (double) * N);
    std::memcpy (a + 2 * N, a, sizeof (double) * N);
    smooth (a);

    double peak = 0.0;
    for (int j = 0; j < N; ++j)
        peak = std::max (peak, std::abs (a[j]));
    const double gain = peak > 0.0 ? 1.0 / peak : 1.0;
    for (auto& v : run)
        v *= gain;

    filterRows (run, sampleRate, out, 0);
}

void deriveFromRow0 (WaveRows& rows, double sampleRate) noexcept
{
    initGlobalTables();
    sampleRate = usableRate (sampleRate);

    const double* row0 = rows.rows[0];
    const RowFilter f0 = rowFilter (0, sampleRate);
    std::vector<double> run ((size_t) kRunSize, 0.0);
    double* a = run.data();
    double* b = a + N;

    // Undo row 0's two low-passes. Only the first two samples depend on the
    // filters' state at the start of B, which is that of A's end; A is B
    // smoothed, and its end does not depend on those two samples.
    double state1 = 0.0, state2 = 0.0;
    for (int pass = 0; pass < 3; ++pass)
    {
        double prev1 = state1, prev2 = state2;
        for (int n = 0; n < N; ++n)
        {
            const double y1 = prev2 + (row0[n] - prev2) / f0.c;
            b[n] = (y1 - (1.0 - f0.a) * prev1) / f0.a;
            prev1 = y1;
            prev2 = row0[n];
        }
        std::memcpy (a, b, sizeof (double) * N);
        smooth (a);

        double y1 = 0.0, y2 = 0.0;
        for (int n = 0; n < N; ++n)
        {
            y1 = y1 * (1.0 - f0.a) + a[n] * f0.a;
            y2 = y2 + (y1 - y2) * f0.c;
        }
        state1 = y1;
        state2 = y2;
    }
    std::memcpy (a + 2 * N, b, sizeof (double) * N);

    filterRows (run, sampleRate, rows, 1);

    for (auto& row : rows.rows)
        for (auto& v : row)
            v = std::isfinite (v) ? (v < -1.0 ? -1.0 : (v > 1.0 ? 1.0 : v)) : 0.0;
}
} // namespace waveCapture
