#pragma once

#include <array>
#include <atomic>

/**
    One tempo-sync ratio: an LFO cycle lasts numerator / denominator beats.
    The tempo is the one the entry was read at; an entry's rate in Hz follows
    from it.
*/
struct LFO_SyncSpeed
{
    double numerator = 1.0;
    double denominator = 1.0;
    const char* name = "1/1";   // "numerator/denominator", static storage
    double tempo = 120.0;       // beats per minute

    /** Length of one cycle in beats. */
    double beats() const noexcept { return numerator / denominator; }

    /** (tempo / 60) / beats, or 0 when the tempo is not usable. */
    double rateHz() const noexcept;
};

/**
    The process-wide table of tempo-sync ratios, sorted from the slowest
    (64/1) to the fastest (3/256) entry.

    The table is built once (std::call_once) on first use and never changes
    size; afterwards every read is lock-free. The host tempo is one atomic
    value shared by all entries: the block driver sets it, and the LFOs (on
    any thread) and the editor's value texts read it.
*/
class LFOHelper
{
public:
    static constexpr int kNumSyncSpeeds = 53;

    /** The singleton; builds the table on the first call. */
    static LFOHelper& instance();

    /** Writes the host tempo into every entry. Values that are not positive
        and finite (hosts report 0 while they do not know) are ignored. */
    void setTempo (double bpm) noexcept;
    double getTempo() const noexcept { return tempo.load (std::memory_order_relaxed); }

    /** The first entry, walking from the slowest, whose rate is at least hz;
        the last (fastest) entry when none is. A copy carrying the current
        tempo. */
    LFO_SyncSpeed getSyncSpeedFromHz (double hz) const noexcept;

    /** Index into the sorted table of what getSyncSpeedFromHz returns. */
    int getSyncIndexFromHz (double hz) const noexcept;

    int size() const noexcept { return kNumSyncSpeeds; }

    /** Entry i of the sorted table (clamped to the table), with the current
        tempo. */
    LFO_SyncSpeed getEntry (int index) const noexcept;

    LFOHelper (const LFOHelper&) = delete;
    LFOHelper& operator= (const LFOHelper&) = delete;

private:
    LFOHelper() = default;
    void build();

    std::array<LFO_SyncSpeed, kNumSyncSpeeds> speeds {};
    std::atomic<double> tempo { 120.0 };
};
