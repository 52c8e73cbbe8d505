#include "dsp/SplineScanStore.h"

#include <cstring>

void SplineScanStore::prepare (int places, int slots)
{
    places = places > 0 ? places : 0;
    slots = slots > 0 ? slots : 1;
    // Filled here so that the audio thread never touches a fresh page.
    if ((int) placePool.size() != places)
    {
        placePool.assign ((size_t) places, 0.0);
        twicePool.assign ((size_t) places, 0);
    }
    scans.assign ((size_t) slots, Scan {});
    head = 0;
    clock = 0;
    replays = 0;
}

namespace
{
// Word by word: a key only narrows the search, equal keys are compared whole.
uint64_t mixWords (uint64_t h, const void* data, size_t bytes) noexcept
{
    const auto* b = static_cast<const unsigned char*> (data);
    for (size_t i = 0; i + 8 <= bytes; i += 8)
    {
        uint64_t w;
        std::memcpy (&w, b + i, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
    }
    return h;
}
} // namespace

uint64_t SplineScanStore::layoutKey (const Layout& layout) noexcept
{
    static_assert (sizeof (Layout) % 8 == 0, "layout hashed in whole words");
    return mixWords (0x9E3779B97F4A7C15ull, &layout, sizeof (layout));
}

uint64_t SplineScanStore::keyOf (uint64_t layoutKey, const int* counts) noexcept
{
    return mixWords (layoutKey, counts, sizeof (int) * kNumPoints);
}

SplineScanStore::Scan* SplineScanStore::acquire (uint64_t key, const Layout& layout, const int* counts) noexcept
{
    for (auto& s : scans)
        if (s.valid && s.key == key && std::memcmp (s.counts, counts, sizeof (s.counts)) == 0
            && std::memcmp (&s.layout, &layout, sizeof (layout)) == 0)
        {
            ++s.users;
            ++replays;
            s.lastUse = ++clock;
            return &s;
        }
    return nullptr;
}

bool SplineScanStore::overlapsPinned (int start, int end) const noexcept
{
    for (const auto& s : scans)
        if (s.users > 0 && s.start < end && start < s.start + s.length)
            return true;
    return false;
}

SplineScanStore::Scan* SplineScanStore::beginRecording (int entries, splinecurve::ScanRecord& record) noexcept
{
    record = { nullptr, nullptr, 0, 0, false };
    const int capacity = (int) placePool.size();
    // About one place per entry, a few more where curves double back.
    const int need = entries + entries / 8 + 2 * kNumPoints;
    if (need > capacity)
        return nullptr;

    int start = capacity - head >= need ? head : 0;
    if (overlapsPinned (start, start + need))
    {
        if (start == 0 || overlapsPinned (0, need))
            return nullptr;
        start = 0;
    }

    // A free slot, else the least recently used one that is not pinned.
    Scan* slot = nullptr;
    for (auto& s : scans)
    {
        if (s.users > 0)
            continue;
        if (! s.valid)
        {
            slot = &s;
            break;
        }
        if (slot == nullptr || s.lastUse < slot->lastUse)
            slot = &s;
    }
    if (slot == nullptr)
        return nullptr;

    // Kept scans under the new room are lost.
    for (auto& s : scans)
        if (s.valid && s.start < start + need && start < s.start + s.length)
            s.valid = false;

    slot->valid = false;
    slot->users = 1;
    slot->start = start;
    slot->length = need;
    head = start + need;
    record = { placePool.data() + start, twicePool.data() + start, need, 0, false };
    return slot;
}

void SplineScanStore::endRecording (Scan* scan, const splinecurve::ScanRecord& record, bool keep, uint64_t key,
                                    const Layout& layout, const int* counts) noexcept
{
    if (scan == nullptr)
        return;
    scan->users = 0;
    if (! keep || record.overflow)
    {
        scan->valid = false;
        return;
    }
    // Give back what the recording did not use when nothing came after it.
    if (head == scan->start + scan->length)
        head = scan->start + record.count;
    scan->valid = true;
    scan->key = key;
    scan->lastUse = ++clock;
    scan->length = record.count;
    scan->layout = layout;
    std::memcpy (scan->counts, counts, sizeof (scan->counts));
}

void SplineScanStore::release (Scan* scan) noexcept
{
    if (scan != nullptr && scan->users > 0)
        --scan->users;
}
