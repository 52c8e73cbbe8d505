#pragma once

// Turns the last moment of the plug-in's output into a single-cycle waveform
// in twelve rows, one per pitch range, each low-passed more than the one
// before so high notes do not alias. Pure functions of their inputs; the
// processor installs the rows.

#include <atomic>
#include <cstdint>

struct WaveRows
{
    static constexpr int kNumRows = 12;
    static constexpr int kRowSize = 4096;
    double rows[kNumRows][kRowSize];
};

namespace waveCapture
{
constexpr int kRunSize = 3 * WaveRows::kRowSize;

// Ring samples advanced per slot for a capture-size value: 1 at 0, 0.5 at
// 0.5, 0.25 at 1. Always within [0.25, 1].
double stepFor (double captureSize) noexcept;

// The 4096 slots filled from the ring (ringSize entries, `position` the
// newest): consecutive samples ending just before the newest, several per
// slot when the step is below 1, the last of them kept.
void resample (const std::atomic<float>* ring, int ringSize, int64_t position, double captureSize, double* slots) noexcept;

// The twelve rows from the ring, at the given sample rate.
void build (const std::atomic<float>* ring, int ringSize, int64_t position, double captureSize, double sampleRate,
            WaveRows& out) noexcept;

// Rows 1 to 11 derived from row 0 alone, as the capture that made row 0 built
// them: row 0's filters are undone to find the normalised samples, from which
// the whole run is rebuilt. Row 0 is kept; every row ends within [-1, 1].
void deriveFromRow0 (WaveRows& rows, double sampleRate) noexcept;
} // namespace waveCapture
