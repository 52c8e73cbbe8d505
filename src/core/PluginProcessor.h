#pragma once

#include <JuceHeader.h>

#include <atomic>
#include <memory>
#include <vector>

#include "core/CaptureBlock.h"
#include "core/EventAggregator.h"
#include "core/PropertyProxy.h"
#include "core/Talvora.h"
#include "core/TalvoraEvents.h"
#include "core/TalvoraSynthesiser.h"
#include "dsp/ColorEcho.h"
#include "dsp/KevoChorus.h"
#include "dsp/KevoReverb.h"
#include "dsp/KevoReverb2.h"
#include "dsp/Limiter.h"
#include "dsp/Saturator.h"
#include "dsp/SplineOscillatorMisc.h"
#include "dsp/SplineScanStore.h"
#include "dsp/VoiceScratch.h"
#include "dsp/WarmEq.h"
#include "presets/LocalPresetStore.h"

class TalvoraParameter;

// The audio processor every plug-in format wraps: owns the engine, the
// synthesiser with its 48 voices, the master effects, the event bus and the
// handle on the shared settings file.
class BrevonAudioProcessor : public juce::AudioProcessor,
                             public EventListener,
                             public juce::ChangeListener
{
public:
    static constexpr int kNumVoices = 48;
    static constexpr int kCaptureRingSize = CaptureBlock::kRingSize;
    static constexpr int kWarmUpBlocks = 149;
    static constexpr int kSplineScanCycles = 24;

    BrevonAudioProcessor();
    ~BrevonAudioProcessor() override;

    //==============================================================================
    const juce::String getName() const override { return "TalvoraXL"; }
    bool acceptsMidi() const override { return true; }
    bool producesMidi() const override { return false; }
    bool isMidiEffect() const override { return false; }
    double getTailLengthSeconds() const override { return 1.0; }
    bool silenceInProducesSilenceOut() const override { return false; }

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    bool hasEditor() const override { return true; }
    juce::AudioProcessorEditor* createEditor() override;

    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram (int) override {}
    const juce::String getProgramName (int) override { return {}; }
    void changeProgramName (int, const juce::String&) override {}

    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    void prepareToPlay (double sampleRate, int samplesPerBlock) override;
    void releaseResources() override {}
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;

    //==============================================================================
    // The processor's own parameter API over the host parameter objects.
    float getParameter (int index) override;
    void setParameter (int index, float value) override;
    void setParameterNotifyingHost (int index, float value);
    // A control's drag: the host records the changes in between as one edit.
    void beginParameterGesture (int index);
    void endParameterGesture (int index);
    const juce::String getParameterName (int index) override;
    const juce::String getParameterText (int index) override;
    bool isParameterAutomatable (int) const override { return true; }
    const juce::String getInputChannelName (int index) const override { return juce::String (index + 1); }
    const juce::String getOutputChannelName (int index) const override { return juce::String (index + 1); }
    bool isInputChannelStereoPair (int) const override { return true; }
    bool isOutputChannelStereoPair (int) const override { return true; }

    // Engine texts are 8-bit; bytes from 128 up are taken as Latin-1.
    static juce::String latin1 (const char* text);

    //==============================================================================
    void receiveEvent (EventType type, int value) override;
    void changeListenerCallback (juce::ChangeBroadcaster* source) override;

    Talvora* getEngine() noexcept { return engine.get(); }
    ParameterValue* getParameterValues() noexcept { return parameterValues; }
    EventAggregator* getEventAggregator() noexcept { return aggregator.get(); }
    PropertyProxy& getPropertyProxy() noexcept { return propertyProxy; }
    TalvoraSynthesiser& getSynthesiser() noexcept { return synth; }
    juce::PropertySet& getPageState() noexcept { return pageState; }

    // Block driver state read by the editor and the tests.
    bool isNotStereo() const noexcept { return notStereo.load(); }
    bool hadBadBlock() const noexcept { return badBlock.load(); }
    int getClipLamp() const noexcept { return clipLamp.load(); }
    double getScopeWindow() const noexcept { return scopeWindow.load(); }
    int64_t getCapturePosition() const noexcept { return captureBlock.getPosition(); }
    const std::atomic<float>* getCaptureRing() const noexcept { return captureBlock.entries(); }
    float getPeakLeft() const noexcept { return captureBlock.peakLeft.load (std::memory_order_relaxed); }
    float getPeakRight() const noexcept { return captureBlock.peakRight.load (std::memory_order_relaxed); }
    void requestPeakReset() noexcept { captureBlock.peakReset.store (true, std::memory_order_relaxed); }
    // Ring, position, peaks and reset flag as one block, for the oscilloscope.
    CaptureBlock& getCaptureBlock() noexcept { return captureBlock; }
    double getHostBeatsPerSecond() const noexcept { return hostBeatsPerSecond.load(); }

    // Message thread: turns the last output into the waveform "OH SNAP!"
    // (all twelve wave buffers and the program's copy) and selects it as
    // oscillator 3's shape, without telling the host.
    void captureWaveform();
    // Puts the rows into the engine between two blocks, never under one.
    void installWaveRows (const WaveRows& rows);

    // Rebuilds the oscillator-4 point records from parameters 90-569 and hands
    // them to the voices whole. Returns false when it must be tried again.
    bool updateOsc4DataFromParams();
    const Osc4PointSet& getOsc4Points() const noexcept { return osc4Points; }

    // The point editor wrote parameters 90-569: the next block copies them.
    // Set directly, because Osc4PointsChanged is dropped while the bus is busy.
    void markOsc4PointsChanged() noexcept { osc4Dirty = true; }

    // Counts completed state restores and preset loads. Changed under the
    // callback lock, so a reader holding that lock sees the count that
    // matches the parameters.
    uint32_t getStateRestoreCount() const noexcept { return stateRestores.load (std::memory_order_acquire); }

    // Seeds every voice's noise generator; renders repeat for equal seeds.
    void setRandomSeed (uint64_t seed);

    // Whether two voices' filters may run together on the wide path (on by
    // default; the sound is the same either way).
    void setVoicePairing (bool on) noexcept { voicePairing.store (on, std::memory_order_relaxed); }

    // Worker threads that did not stop in time; deleted on the message thread
    // once they have stopped (never in the audio callback, which must not
    // free memory), or by the destructor, which asks them to stop and waits
    // for them.
    void retireThread (juce::Thread* thread);
    int getNumRetiredThreads() const;
    static constexpr int kRetiredWaitMs = 5000;
    static constexpr int kRetiredCheckMs = 250;

    //==============================================================================
    // The presets page's calls, message thread only. Each goes through the
    // callback lock, so no block renders against a half-written program.

    // Loads a program record through setStateInformation's own path (all
    // twelve wave rows, echo, reverb and oscillator-4 points follow), but lets
    // UserPresentException ("wrong preset size") through. 0 when the content
    // is refused and nothing changed, else the size taken.
    int applyPresetRecord (const void* data, size_t size);
    // Marks all 16 oscillator-4 points present (parameters 90 + 30k = 1).
    void writeOsc4PresenceMarks();
    // Every voice stops at once, without a tail.
    void stopAllVoices();
    // The program's texts, 8-bit (Latin-1); longer texts are cut (24 and 256).
    juce::String getProgramNameText();
    void setProgramNameText (const juce::String& text);
    juce::String getProgramCommentText();
    void setProgramCommentText (const juce::String& text);
    uint32_t getProgramCategoryMask();
    void setProgramCategoryMask (uint32_t mask);

    //==============================================================================
    // The local preset folder, holding this instance's state; see LocalPresetStore.
    // Message thread only.
    juce::String getLocalPresetsPath() const { return localPresets.getLocalPresetsPath(); }
    bool metaDataToFile (const PresetMetaData* md, juce::File& file) const { return localPresets.metaDataToFile (md, file); }
    bool savePresetToDisc (PresetMetaData* md, bool needSync, juce::String* refusal = nullptr)
    {
        return localPresets.savePresetToDisc (md, needSync, refusal);
    }
    bool deletePresetFromDisc (PresetMetaData* md, bool markOnly, juce::String* refusal = nullptr)
    {
        return localPresets.deletePresetFromDisc (md, markOnly, refusal);
    }
    bool removeNeedSync (const PresetMetaData& md) { return localPresets.removeNeedSync (md); }
    bool loadPresetFromDiscToMemoryBlock (const PresetMetaData& md, juce::MemoryBlock& state) const
    {
        return localPresets.loadPresetFromDiscToMemoryBlock (md, state);
    }
    std::vector<PresetMetaData> getLocalPresets() const { return localPresets.getLocalPresets(); }
    // The store itself, for the operations on a listed file.
    LocalPresetStore& getLocalPresetStore() { return localPresets; }

private:
    // All twelve rows for a valid program record; null for anything else.
    static std::unique_ptr<WaveRows> rowsForRecord (const void* data, int sizeInBytes);
    // The one way a program record comes in, from the host or the presets
    // page: all twelve wave rows, echo, reverb and oscillator-4 points follow.
    // valuesBefore, when given, gets the parameter values it replaced.
    int loadProgramRecord (const void* data, size_t size, std::vector<float>* valuesBefore);
    void runMasterChain (juce::AudioBuffer<float>& buffer, int numSamples);
    void applyVolumeAndPan (float* left, float* right, int numSamples) noexcept;
    void capture (const float* left, const float* right, int numSamples) noexcept;
    void tempoWork();
    void deleteFinishedRetiredThreads();
    void applyPendingVoiceChanges();
    void updateEcho();
    void updateReverb();

    Osc4PointSet osc4Points;
    // Curve scans shared by every oscillator-4 copy of the instance.
    SplineScanStore splineScans;
    // Work buffers of a voice render, lent to every voice (they render in
    // turn), and a second set for the other voice of two filtered together.
    VoiceScratch voiceScratch;
    VoiceScratch pairScratch;
    // Two voices' filters run together on the wide path (a test turns it off).
    std::atomic<bool> voicePairing { true };

    // Settings proxy and event bus come first: everything else registers with them.
    PropertyProxy propertyProxy;
    // Asks the switch on every call: another instance may have changed it.
    LocalPresetStore localPresets {
        [this] { return propertyProxy.getIntValue (settingsKeys::enableLocalCache, settingsDefaults::enableLocalCache) != 0; },
        [this] (juce::MemoryBlock& state) { getStateInformation (state); },
        LocalPresetStore::defaultFolder()
    };
    juce::PropertySet pageState;
    std::unique_ptr<EventAggregator> aggregator;
    std::unique_ptr<Talvora> engine;
    TalvoraSynthesiser synth;

    // Master chain, one object per channel where the chain is per channel.
    WarmEq eqLeft, eqRight;
    KevoReverb reverb1;
    KevoReverb2 reverb2;
    ColorEcho echo;
    KevoChorus chorus;
    Saturator saturatorLeft, saturatorRight;
    Limiter limiterLeft, limiterRight;

    ParameterValue* parameterValues = nullptr;
    ParametersStruct* performance = nullptr;
    std::vector<TalvoraParameter*> hostParameters;

    mutable juce::CriticalSection retiredLock;
    juce::Array<juce::Thread*> retiredThreads;
    // Looks for stopped retired workers while there are any.
    class RetiredThreadReaper : public juce::Timer
    {
    public:
        explicit RetiredThreadReaper (BrevonAudioProcessor& p) : owner (p) {}
        void timerCallback() override { owner.deleteFinishedRetiredThreads(); }

    private:
        BrevonAudioProcessor& owner;
    };
    RetiredThreadReaper retiredReaper { *this };

    std::atomic<bool> clampAll { true };
    std::atomic<bool> notStereo { false };
    std::atomic<bool> badBlock { false };
    std::atomic<bool> onceASecondPending { true };
    std::atomic<bool> osc4Dirty { true };
    std::atomic<uint32_t> stateRestores { 0 };
    std::atomic<bool> unisonChangePending { false };
    std::atomic<bool> reverbClearPending { false };
    std::atomic<int> reverb2Active { 0 };
    int lastSamplesPerBeat = 22050;

    std::atomic<double> scopeWindow { 100.0 };
    std::atomic<int> clipLamp { 0 };
    int clipCount = 0;
    CaptureBlock captureBlock;

    // Beats per second seen on the audio thread; 2.0 (120 bpm) until a host tells.
    std::atomic<double> hostBeatsPerSecond { 2.0 };
    double sampleRate = 44100.0;
    int maxBlockSize = 512;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BrevonAudioProcessor)
};
