// The processor calls the presets page relies on: applying a preset record,
// the oscillator-4 presence marks, stopping voices, the program texts, and
// the retired worker threads at destruction.

#include <gtest/gtest.h>

#include <atomic>

#include "core/PluginProcessor.h"
#include "core/UserPresentException.h"
#include "support/PluginPlayer.h"

namespace
{
juce::MemoryBlock stateOf (BrevonAudioProcessor& p)
{
    juce::MemoryBlock m;
    p.getStateInformation (m);
    return m;
}
} // namespace

TEST (ProcessorPresetCalls, AppliesARecordWholeOrNotAtAll)
{
    BrevonAudioProcessor source, target;
    source.setParameter (27, 0.8f);
    source.setParameter (200, 0.3f);
    source.setProgramNameText ("Warm Pad");
    const auto good = stateOf (source);
    const auto before = stateOf (target);

    // Wrong size: the text the user sees, and not a byte changes.
    char shortRecord[100] = {};
    try
    {
        target.applyPresetRecord (shortRecord, sizeof (shortRecord));
        FAIL() << "no exception";
    }
    catch (const UserPresentException& e)
    {
        EXPECT_STREQ (e.what(), "wrong preset size");
    }
    EXPECT_TRUE (stateOf (target) == before);

    // A record of the right size with a value outside [0, 1] is refused: 0.
    juce::MemoryBlock bad (good);
    float outside = 7.0f;
    std::memcpy (static_cast<char*> (bad.getData()) + 4 * 200, &outside, 4);
    EXPECT_EQ (target.applyPresetRecord (bad.getData(), bad.getSize()), 0);
    EXPECT_TRUE (stateOf (target) == before);

    EXPECT_EQ (target.applyPresetRecord (good.getData(), good.getSize()), (int) good.getSize());
    EXPECT_TRUE (stateOf (target) == good);
    EXPECT_EQ (target.getProgramNameText(), "Warm Pad");
}

TEST (ProcessorPresetCalls, ProgramTextsAreCutToTheirFieldsAndTravelWithTheState)
{
    BrevonAudioProcessor p, q;
    p.setProgramNameText ("A name far longer than twenty-four");
    p.setProgramCommentText (juce::String::repeatedString ("c", 300));
    p.setProgramCategoryMask (4);
    EXPECT_EQ (p.getProgramNameText(), "A name far longer than t");
    EXPECT_EQ (p.getProgramCommentText().length(), 256);
    EXPECT_EQ (p.getProgramCategoryMask(), 4u);

    // A character with no 8-bit form cannot vanish or split into bytes.
    p.setProgramNameText (juce::String::fromUTF8 ("Pad \xe2\x82\xac 1"));
    EXPECT_EQ (p.getProgramNameText(), "Pad _ 1");

    const auto state = stateOf (p);
    q.setStateInformation (state.getData(), (int) state.getSize());
    EXPECT_EQ (q.getProgramNameText(), "Pad _ 1");
    EXPECT_EQ (q.getProgramCommentText(), p.getProgramCommentText());
}

TEST (ProcessorPresetCalls, PresenceMarksAndStoppedVoices)
{
    PluginPlayer player;
    auto& p = player.processor();
    for (int k = 0; k < 16; ++k)
        p.setParameter (90 + 30 * k, 0.0f);
    p.writeOsc4PresenceMarks();
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ (p.getParameter (90 + 30 * k), 1.0f) << k;

    // Held notes: stopping every voice sends each into a short release (no
    // note-off ever comes), and then they are free.
    p.setParameter (params::kAmplitudeRelease, 0.05f);
    player.warmUp();
    player.play (2048, { { 0, juce::MidiMessage::noteOn (1, 60, 1.0f) }, { 0, juce::MidiMessage::noteOn (1, 64, 1.0f) } });
    auto activeVoices = [&p] {
        int n = 0;
        for (int i = 0; i < p.getSynthesiser().getNumVoices(); ++i)
            n += p.getSynthesiser().getVoice (i)->isVoiceActive() ? 1 : 0;
        return n;
    };
    ASSERT_EQ (activeVoices(), 2);

    p.stopAllVoices();
    const auto out = player.play (44100);
    EXPECT_EQ (activeVoices(), 0);
    EXPECT_LT (rms (out.getReadPointer (0, 40000), 4100), 1.0e-4);
}

namespace
{
std::atomic<int> workersDeleted { 0 };

// A worker that needs a while to wind up once asked to stop.
struct SlowWorker : juce::Thread
{
    explicit SlowWorker (int windUpMs) : juce::Thread ("slow worker"), windUp (windUpMs) { startThread(); }
    ~SlowWorker() override
    {
        stopThread (-1);
        ++workersDeleted;
    }
    void run() override
    {
        while (! threadShouldExit())
            wait (-1);
        juce::Thread::sleep (windUp);
    }
    int windUp;
};
} // namespace

TEST (ProcessorPresetCalls, DestructorStopsAndDeletesRetiredWorkers)
{
    workersDeleted = 0;
    auto p = std::make_unique<BrevonAudioProcessor>();
    p->retireThread (new SlowWorker (300));
    p->retireThread (new SlowWorker (600));
    EXPECT_EQ (p->getNumRetiredThreads(), 2);

    // Both were asked to stop and waited for: none is left running or leaked.
    p.reset();
    EXPECT_EQ (workersDeleted.load(), 2);
}
