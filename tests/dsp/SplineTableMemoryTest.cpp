// The cycle table of an oscillator-4 copy is sized for the longest cycle at
// the rate but takes memory only where cycles are drawn (and its first pages,
// taken at prepare, where every note starts): moving points keep
// reusing one slot, so a copy holds about one cycle, at every rate, from
// the lowest note two octaves down upwards.

#include "SplineTestRig.h"

#include <gtest/gtest.h>

using namespace splinetest;

namespace
{
// The ramp with its middle point moving up and down every cycle, as the
// heavy patches do: no cycle is ever drawn twice.
std::vector<SplineOscillatorPoint> movingRamp()
{
    auto chain = ramp();
    auto& slot = chain[2].slots[0];
    slot.direction = osc4mod::vertical;
    slot.depth = 0.4;
    slot.source = osc4mod::ownShapeNote;
    slot.speed = 0.13;
    slot.shape = osc4mod::sine;
    return chain;
}

std::size_t pagesFor (int entries)
{
    const std::size_t page = lazyzero::pageSize();
    return ((std::size_t) entries * sizeof (double) + page - 1) / page * page;
}
} // namespace

TEST (SplineTableMemory, MovingPointsHoldOneCycleAtEveryRate)
{
    for (double rate : { 44100.0, 192000.0 })
        for (int note : { 30, 57, 90 })
        {
            Rig rig (rate, 512);
            rig.setPoints (movingRamp());
            const auto out = rig.playNote (note, (int) rate / 2, 512);
            ASSERT_TRUE (allFinite (out));
            EXPECT_GT (rms (out), 0.05) << rate << " note " << note;

            // One cycle, its margin and the pages either side of it, or the
            // first entries that prepare() commits when they reach further.
            const int length = rig.osc.getCycleLength();
            ASSERT_GT (length, 0);
            const std::size_t page = lazyzero::pageSize();
            const std::size_t cycle = pagesFor (length + SplineOscillator::kTableMargin + 8);
            EXPECT_LE (rig.osc.getTableResidentBytes(),
                       std::max (cycle, pagesFor (SplineOscillator::kEntriesCommittedAtPrepare)) + 2 * page)
                << rate << " note " << note << " length " << length;
        }
}

TEST (SplineTableMemory, LowestNoteTwoOctavesDownAt192kHzFitsAndPlays)
{
    // Every copy of a voice: unison detune keeps them near the limit.
    Rig rig (192000.0, 512);
    rig.setPoints (movingRamp());
    rig.osc.setPitchRatio (SplineOscillator::pitchRatioFromParameters (params::semitoneValue (-24), 0.5));
    ASSERT_NEAR (rig.osc.getPitchRatio(), 0.25, 1e-9);   // two octaves down

    // The lowest note whose cycle still fits the table there.
    const auto out = rig.playNote (19, 192000, 512);
    ASSERT_TRUE (allFinite (out));
    EXPECT_GT (rms (out), 0.05);
    const int length = rig.osc.getCycleLength();
    EXPECT_GT (length, rig.osc.getCycleLimit() / 2);
    EXPECT_LE (length, rig.osc.getCycleLimit() + 1);
    EXPECT_LE (rig.osc.getTableResidentBytes(), rig.osc.getTableBytes() + lazyzero::pageSize());
    EXPECT_GE (rig.osc.getTableResidentBytes(), pagesFor (length) - lazyzero::pageSize());
}

TEST (SplineTableMemory, PreparingAgainAtAnotherRatePlaysAsAFreshOscillator)
{
    // Two oscillators at different rates side by side, one of them prepared
    // at the other's rate afterwards: each plays as one made for its rate.
    Rig low (44100.0, 512), high (192000.0, 512);
    low.setPoints (movingRamp());
    high.setPoints (movingRamp());
    const auto lowFirst = low.playNote (45, 20000, 512);
    const auto highFirst = high.playNote (45, 20000, 512);

    Rig freshHigh (192000.0, 512);
    freshHigh.setPoints (movingRamp());
    EXPECT_EQ (freshHigh.playNote (45, 20000, 512), highFirst);

    low.osc.prepare (192000.0, 512);
    low.sampleRate = 192000.0;
    EXPECT_EQ (low.osc.getTableBytes(), high.osc.getTableBytes());
    const auto lowAgain = low.playNote (45, 20000, 512);
    EXPECT_EQ (lowAgain, freshHigh.playNote (45, 20000, 512));
    EXPECT_NE (lowAgain, lowFirst);
}

TEST (SplineTableMemory, PrepareCommitsTheTablesFirstEntriesOnly)
{
    // Every note's first cycles start at the table's start: those pages are
    // taken off the audio thread, and no more than them, at every rate.
    for (double rate : { 44100.0, 96000.0, 192000.0 })
    {
        Rig rig (rate, 512);
        const std::size_t expected = pagesFor (SplineOscillator::kEntriesCommittedAtPrepare);
        ASSERT_LT (expected, rig.osc.getTableBytes());
        EXPECT_EQ (rig.osc.getTableResidentBytes(), expected) << rate;

        // Preparing again keeps them and takes no others.
        rig.osc.prepare (rate, 512);
        EXPECT_EQ (rig.osc.getTableResidentBytes(), expected) << rate;
    }

    // An oscillator never prepared takes no table memory.
    SplineOscillator unprepared;
    EXPECT_EQ (unprepared.getTableResidentBytes(), 0u);
}
