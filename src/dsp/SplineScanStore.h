#pragma once

#include "dsp/SplineOscillatorMisc.h"

#include <cstdint>
#include <vector>

/**
    The curve scans that oscillator-4 copies keep for reuse, one store for
    all the copies of an instance (they run on one thread, one at a time).

    A scan records where a drawing of a curve chain took its samples; it
    depends only on the points' x positions and types (the layout) and the
    segment counts, so a drawing of the same layout and counts by any copy
    can replay it instead of walking the curves again. Replaying gives the
    same entries bit for bit as walking: the store decides speed only, never
    the sound, and a scan that finds no room is simply not kept.

    A long cycle is drawn over several blocks, so a scan being replayed or
    recorded stays pinned until its drawing ends; other copies' recordings
    never overwrite it. prepare() sizes everything off the audio thread; the
    rest never allocates.
*/
class SplineScanStore
{
public:
    static constexpr int kNumPoints = 16;

    /** The inputs a scan depends on besides the segment counts. */
    struct Layout
    {
        int32_t type[kNumPoints];
        double x[kNumPoints][3];
    };

    struct Scan
    {
        bool valid = false;
        int users = 0;              // drawings replaying or recording it
        uint64_t key = 0;           // hash of layout and counts
        uint64_t lastUse = 0;
        int start = 0;              // places [start, start + length) of the pool
        int length = 0;
        Layout layout {};
        int counts[kNumPoints] {};
        int first[kNumPoints] {};   // from start, per segment
        int emitted[kNumPoints] {};
    };

    /** Room for `places` places in all and `slots` scans; clears every scan.
        Not on the audio thread. */
    void prepare (int places, int slots);

    /** The key of a layout and counts; layoutKey (layout) can be kept while
        the layout stays and combined with each drawing's counts. */
    static uint64_t layoutKey (const Layout& layout) noexcept;
    static uint64_t keyOf (uint64_t layoutKey, const int* counts) noexcept;
    static uint64_t keyOf (const Layout& layout, const int* counts) noexcept { return keyOf (layoutKey (layout), counts); }

    /** A kept scan of this layout and these counts, pinned; null when none. */
    Scan* acquire (uint64_t key, const Layout& layout, const int* counts) noexcept;

    /** Room to record about `entries` places, pinned; null when all the room
        is pinned. `record` is set to write into it. */
    Scan* beginRecording (int entries, splinecurve::ScanRecord& record) noexcept;

    /** Ends a recording: kept unless it overflowed (or keep is false). */
    void endRecording (Scan* scan, const splinecurve::ScanRecord& record, bool keep, uint64_t key,
                       const Layout& layout, const int* counts) noexcept;

    /** Ends a replay. */
    void release (Scan* scan) noexcept;

    const double* places (const Scan& s) const noexcept { return placePool.data() + s.start; }
    const uint8_t* twice (const Scan& s) const noexcept { return twicePool.data() + s.start; }

    int getCapacity() const noexcept { return (int) placePool.size(); }
    /** Scans handed out for replay since prepare(). */
    uint64_t getReplayCount() const noexcept { return replays; }
    int getSlotCount() const noexcept { return (int) scans.size(); }

private:
    bool overlapsPinned (int start, int end) const noexcept;

    std::vector<double> placePool;
    std::vector<uint8_t> twicePool;
    std::vector<Scan> scans;
    int head = 0;
    uint64_t clock = 0;
    uint64_t replays = 0;
};
