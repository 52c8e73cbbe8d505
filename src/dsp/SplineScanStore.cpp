#include "dsp/SplineScanStore.h"

#include <cstring>

void SplineScanStore::prepare (int places, int slotCount)
{
    places = places > 0 ? places : 0;
    // Whole sets, a power of two of them.
    int sets = 1;
    while (sets * kWays < slotCount && sets < (1 << 20))
        sets *= 2;
    // Filled here so that the audio thread never touches a fresh page.
    if ((int) placePool.size() != places)
    {
        placePool.assign ((size_t) places, 0.0);
        twicePool.assign ((size_t) places, 0);
    }
    slots.assign ((size_t) (sets * kWays), Slot {});
    setMask = (uint64_t) sets - 1;
    head = 0;
    pinnedCount = 0;
    ++generation;
    ++stamp;
    clock = 0;
    replays = 0;
}

namespace
{
inline uint64_t mix (uint64_t h, uint64_t w) noexcept
{
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 29);
}

inline uint64_t bitsOf (double v) noexcept
{
    uint64_t b;
    std::memcpy (&b, &v, sizeof (b));
    return b;
}
} // namespace

uint64_t SplineScanStore::shapeHash (const CurveKey& key) noexcept
{
    return mix (mix (mix (0x9E3779B97F4A7C15ull, (uint64_t) (uint32_t) key.type), bitsOf (key.a1)), bitsOf (key.a2));
}

inline uint64_t SplineScanStore::hashOf (const CurveKey& key) noexcept
{
    return mix (key.shape, (uint64_t) (uint32_t) key.samples);
}

inline bool SplineScanStore::sameKey (const CurveKey& a, const CurveKey& b) noexcept
{
    // Bit for bit: the walk tells apart what == would not (signed zeros).
    return a.type == b.type && a.samples == b.samples && bitsOf (a.a1) == bitsOf (b.a1) && bitsOf (a.a2) == bitsOf (b.a2);
}

bool SplineScanStore::find (const CurveKey& key, Found& found, Ref* ref) noexcept
{
    if (slots.empty())
        return false;
    const uint64_t h = hashOf (key);
    const size_t first = (size_t) ((h & setMask) * kWays);
    for (size_t w = first; w < first + kWays; ++w)
    {
        Slot& s = slots[w];
        if (s.hash == h && intact (s) && sameKey (s.key, key))
        {
            take (s, found);
            if (ref != nullptr)
                *ref = { (int) w, s.start, h };
            return true;
        }
    }
    return false;
}

bool SplineScanStore::beginRecording (int entries, splinecurve::ScanRecord& record, Recording& recording) noexcept
{
    record = { nullptr, nullptr, 0, 0, false };
    recording.open = false;
    const auto capacity = (int64_t) placePool.size();
    // About one place per entry, a few more where curves double back.
    const int64_t need = (int64_t) entries + entries / 8 + 32;
    if (entries < 0 || need > capacity || pinnedCount >= kMaxPinned)
        return false;

    // Room in one piece: what is left of the ring's lap is skipped.
    int64_t start = head;
    if (start % capacity + need > capacity)
        start += capacity - start % capacity;

    // The ring must not come round to a recording still being made.
    for (int i = 0; i < pinnedCount; ++i)
        if (start + need > pinned[i] + capacity)
            return false;

    head = start + need;
    ++stamp;
    pinned[pinnedCount++] = start;
    recording = { true, generation, start, (int) need };
    const auto at = (size_t) (start % capacity);
    record = { placePool.data() + at, twicePool.data() + at, (int) need, 0, false };
    return true;
}

void SplineScanStore::unpin (int64_t start) noexcept
{
    for (int i = 0; i < pinnedCount; ++i)
        if (pinned[i] == start)
        {
            pinned[i] = pinned[--pinnedCount];
            return;
        }
}

void SplineScanStore::endRecording (Recording& recording, const splinecurve::ScanRecord& record, bool keep,
                                    const CurveKey& key, bool stoppedAtEnd, Ref* ref) noexcept
{
    if (! recording.open)
        return;
    recording.open = false;
    if (recording.generation != generation)
        return;
    ++stamp;
    unpin (recording.start);

    // Give back what the recording did not use when nothing came after it.
    // A kept one holds at least one place, so no two kept scans share a start.
    const int used = record.count < recording.need ? record.count : recording.need;
    if (head == recording.start + recording.need)
        head = recording.start + (keep && ! record.overflow ? (used > 0 ? used : 1) : 0);
    if (! keep || record.overflow)
        return;

    // A free or lost slot of the set, else the least recently used one.
    const uint64_t h = hashOf (key);
    Slot* set = slots.data() + (size_t) ((h & setMask) * kWays);
    Slot* target = &set[0];
    for (int w = 0; w < kWays; ++w)
    {
        Slot& s = set[w];
        if (! intact (s) || (s.hash == h && sameKey (s.key, key)))
        {
            target = &s;
            break;
        }
        if (s.lastUse < target->lastUse)
            target = &s;
    }
    target->valid = true;
    target->stoppedAtEnd = stoppedAtEnd;
    target->count = used;
    target->start = recording.start;
    target->offset = (int) (recording.start % (int64_t) placePool.size());
    target->hash = h;
    target->lastUse = ++clock;
    target->key = key;
    if (ref != nullptr)
        *ref = { (int) (target - slots.data()), target->start, h };
}
