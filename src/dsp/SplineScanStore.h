#pragma once

#include "dsp/SplineOscillatorMisc.h"

#include <cstddef>
#include <cstdint>
#include <vector>

/**
    The curve scans that oscillator-4 copies keep for reuse, one store for
    all the copies of an instance (they run on one thread, one at a time).

    A scan records where the walk of one curve segment took its samples. It
    depends only on the curve's type, the shape of its x (the controls'
    positions relative to the segment) and its sample count, so any drawing
    by any copy of a curve with the same three replays it instead of walking
    again: neighbouring cycle lengths share most of their segments' counts,
    and the copies of a chain share its shapes. Replaying gives the same
    entries bit for bit as walking: the store decides speed only, never the
    sound, and a scan that finds no room is simply not kept.

    Scans are found through a hash of their key in sets of four slots; their
    places lie in one pool used as a ring, so a scan is lost once the ring
    comes round to its places again. A walk of a long curve may go on over
    several blocks, so the room it records into stays pinned until it ends:
    the ring never passes it. prepare() sizes everything off the audio
    thread; the rest never allocates.
*/
class SplineScanStore
{
public:
    /** What a curve's scan depends on. */
    struct CurveKey
    {
        int32_t type = 0;       // splineQuadratic or splineCubic
        int32_t samples = 0;    // the walk's sample count
        double a1 = 0.0;        // x shape: control positions in the segment
        double a2 = 0.0;        // (0 for a quadratic)
        uint64_t shape = 0;     // shapeHash of the above but the samples
    };

    /** The hash of a key's type and x shape; kept by callers while the
        shape stays, so a lookup only mixes in the sample count. */
    static uint64_t shapeHash (const CurveKey& key) noexcept;

    /** A kept scan as found: valid until the next recording begins. */
    struct Found
    {
        const double* places = nullptr;
        const uint8_t* twice = nullptr;
        int count = 0;
        bool stoppedAtEnd = false;   // the walk reached its own end with steps left
    };

    /** Where a found or kept scan lies, for finding it again without its key. */
    struct Ref
    {
        int slot = -1;
        int64_t start = 0;
        uint64_t hash = 0;
    };

    /** An open recording, held by the drawing that walks. */
    struct Recording
    {
        bool open = false;
        uint64_t generation = 0;
        int64_t start = 0;      // on the ring's running count of places
        int need = 0;
    };

    /** Room for `places` places in all and about `slots` scans; clears
        every scan. Not on the audio thread. */
    void prepare (int places, int slots);

    /** The kept scan of a curve; false when there is none. `ref`, when
        given, is set to find it again. */
    bool find (const CurveKey& key, Found& found, Ref* ref = nullptr) noexcept;

    /** The scan `ref` was set for, while it is kept; false once it is lost.
        Inline: a drawing asks once per curve of every cycle. */
    bool findAgain (const Ref& ref, Found& found) noexcept
    {
        // A slot holds another scan once its start or hash moved (kept scans
        // never share a start).
        if (ref.slot < 0 || ref.slot >= (int) slots.size())
            return false;
        Slot& s = slots[(std::size_t) ref.slot];
        if (s.start != ref.start || s.hash != ref.hash || ! intact (s))
            return false;
        take (s, found);
        return true;
    }

    /** Room to record about `entries` places, pinned until endRecording;
        false (and `record` without room) when the ring cannot give it
        without passing a pinned recording. */
    bool beginRecording (int entries, splinecurve::ScanRecord& record, Recording& recording) noexcept;

    /** Ends a recording: kept when `keep` and it did not overflow. A
        recording from before the last prepare() is ignored. */
    void endRecording (Recording& recording, const splinecurve::ScanRecord& record, bool keep,
                       const CurveKey& key, bool stoppedAtEnd, Ref* ref = nullptr) noexcept;

    /** Moves whenever a kept scan may have been lost, replaced or moved:
        while it stands, what find() and findAgain() gave stays valid. */
    uint64_t getStamp() const noexcept { return stamp; }

    /** Whether the scan `ref` was set for is still kept (findAgain without
        counting a replay). */
    bool holds (const Ref& ref) const noexcept
    {
        if (ref.slot < 0 || ref.slot >= (int) slots.size())
            return false;
        const Slot& s = slots[(std::size_t) ref.slot];
        return s.start == ref.start && s.hash == ref.hash && intact (s);
    }

    /** Counts a replay of the scan `ref` was set for, as findAgain does,
        without looking it up: only while holds (ref) (the stamp stood since). */
    void touch (const Ref& ref) noexcept
    {
        slots[(std::size_t) ref.slot].lastUse = ++clock;
        ++replays;
    }

    int getCapacity() const noexcept { return (int) placePool.size(); }
    /** Scans found for replay since prepare(). */
    uint64_t getReplayCount() const noexcept { return replays; }
    int getSlotCount() const noexcept { return (int) slots.size(); }

private:
    struct Slot
    {
        bool valid = false;
        bool stoppedAtEnd = false;
        int count = 0;
        int offset = 0;         // in the pool
        int64_t start = 0;      // on the ring's running count
        uint64_t hash = 0;
        uint64_t lastUse = 0;
        CurveKey key {};
    };

    static constexpr int kWays = 4;
    static constexpr int kMaxPinned = 256;

    static uint64_t hashOf (const CurveKey& key) noexcept;
    static bool sameKey (const CurveKey& a, const CurveKey& b) noexcept;
    bool intact (const Slot& s) const noexcept { return s.valid && head <= s.start + (int64_t) placePool.size(); }
    void unpin (int64_t start) noexcept;
    void take (Slot& s, Found& found) noexcept
    {
        found.places = placePool.data() + s.offset;
        found.twice = twicePool.data() + s.offset;
        found.count = s.count;
        found.stoppedAtEnd = s.stoppedAtEnd;
        s.lastUse = ++clock;
        ++replays;
    }

    std::vector<double> placePool;
    std::vector<uint8_t> twicePool;
    std::vector<Slot> slots;
    uint64_t setMask = 0;
    int64_t head = 0;            // running count of places handed out
    int64_t pinned[kMaxPinned] {};
    int pinnedCount = 0;
    uint64_t generation = 0;
    uint64_t clock = 0;
    uint64_t replays = 0;
    uint64_t stamp = 0;
};
