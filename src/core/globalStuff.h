#pragma once

// Process-wide read-only tables and values shared by every instance. They are
// built once per process by the first engine; oscillators, LFOs and effects
// read them without locks afterwards.

#include <atomic>

constexpr int kTableSize = 4096;
constexpr int kTableMask = kTableSize - 1;
constexpr int kBandLimitedRows = 12;

// [0] sample rate, [1] 1.0, [2] sample rate / 44100.
extern double globals[3];

extern double freqtab[128];
extern double sineTable[kTableSize];
extern double bandLimitedSawtooth[kBandLimitedRows][kTableSize];
extern double bandLimitedSquare[kBandLimitedRows][kTableSize];
extern double bandLimitedTriangle[kBandLimitedRows][kTableSize];

extern std::atomic<int> INSTANCES_RUNNING;
extern std::atomic<bool> TALVORA_XL_VERSION;

// Builds the tables once per process. Concurrent callers block until the
// tables are complete. Returns true only for the caller that built them.
bool initGlobalTables();

// Sets globals[0] and globals[2] from a host sample rate.
void setGlobalSampleRate (double rate) noexcept;
