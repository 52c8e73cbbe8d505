#pragma once

#include <JuceHeader.h>

#include <atomic>
#include <vector>

#include "core/Talvora.h"
#include "core/TalvoraEvents.h"
#include "dsp/Decimator.h"
#include "dsp/Envelope.h"
#include "dsp/LFO.h"
#include "dsp/SplineOscillator.h"
#include "dsp/VoiceModulation.h"
#include "dsp/VoiceRandom.h"
#include "dsp/VoiceScratch.h"
#include "dsp/filter.h"

class EventAggregator;

/**
    One voice of the instrument: two morphing stacked oscillators, a table
    oscillator, noise, two envelopes, the modulation matrix, filter and
    decimator, in unison of 1, 2 or 4 copies that alternate left and right.

    Everything runs in double precision on blocks; control-rate work
    (envelopes, cutoff, modulation tables) once per 8 samples. The voice adds
    its output to the host buffer; with one unison copy it writes channel 0
    only and the block driver derives channel 1.
*/
class TalvoraXLVoice : public juce::SynthesiserVoice, public EventListener
{
public:
    static constexpr int kMaxUnison = 4;
    static constexpr int kMaxStack = 10;

    TalvoraXLVoice (int voiceIndex, ParameterValue* parameterValues, ParametersStruct* performance,
                    double** waveBuffers, EventAggregator* aggregator);
    ~TalvoraXLVoice() override;

    // The engine's shared LFOs: vibrato (modulation wheel) and the two masters.
    void setSharedLfos (LFO* vibrato, LFO* master1, LFO* master2);

    // Sizes every buffer for blocks up to maximumBlockSize. Not on the audio thread.
    void prepare (double sampleRate, int maximumBlockSize);

    // Reseeds the noise generator and the oscillator-4 copies (per instance and voice).
    void setRandomSeed (uint64_t seed) noexcept;

    // The processor's oscillator-4 point records.
    void setPointSet (const Osc4PointSet* points) noexcept;

    // The instance's store of oscillator-4 curve scans. Not while playing.
    void setSplineScanStore (SplineScanStore* store);

    // The instance's work buffers, lent to every voice from the next
    // prepare() on (null: buffers of its own). Not while playing.
    void setScratch (VoiceScratch* scratch) noexcept { sharedScratch = scratch; }

    // The instance's second set of work buffers, for the second voice of two
    // rendered together (see renderFront). Not while playing.
    void setPairScratch (VoiceScratch* scratch) noexcept { pairScratch = scratch; }

    // Tempo change: point modulation in beats follows it.
    void setSamplesPerBeat (int samples) noexcept;

    bool canPlaySound (juce::SynthesiserSound*) override;
    void startNote (int midiNoteNumber, float velocity, juce::SynthesiserSound*, int pitchWheel) override;
    void stopNote (float velocity, bool allowTailOff) override;
    void pitchWheelMoved (int newValue) override;
    void controllerMoved (int, int) override {}
    void setCurrentPlaybackSampleRate (double newRate) override;
    void renderNextBlock (juce::AudioBuffer<float>&, int startSample, int numSamples) override;
    using juce::SynthesiserVoice::renderNextBlock;

    // renderNextBlock in steps, so two voices' filters can run together:
    // renderFront does everything up to the filter (in the instance's second
    // work buffers when `second`), filterTogether filters two voices that
    // are between the steps, and renderBack filters what is left, finishes
    // and adds to the output. Rendering A's front, B's front, both filters,
    // then A's back and B's back adds the same samples in the same order as
    // A's renderNextBlock and then B's. Nothing else may touch a voice
    // between its two steps.
    void renderFront (juce::AudioBuffer<float>& buffer, int startSample, int numSamples, bool second);
    // Whether this voice's renderFront with `second` set keeps its work apart
    // from `first`, which is between its steps (it does not when it has no
    // second set of the instance's, or cannot take it).
    bool canRenderBeside (const TalvoraXLVoice& first) const noexcept;
    static void filterTogether (TalvoraXLVoice& a, TalvoraXLVoice& b) noexcept;
    void renderBack();

    void receiveEvent (EventType type, int value) override;

    // Set by the synthesiser around a mono-mode restart so the stop inside
    // JUCE's startVoice does nothing and the voice glides instead.
    bool skipNextStop = false;

    int getUnisonCount() const noexcept { return unisonCount; }
    double getOsc1PeriodSamples() const noexcept;
    int getVelocityValue() const noexcept { return velocityValue; }
    const Envelope& getAmplitudeEnvelope() const noexcept { return amplitude; }
    double getUnisonDetune (int k) const noexcept { return detune[k]; }

    static int unisonCountFor (double parameter773) noexcept;

private:
    void computeIncrements() noexcept;
    void updateUnison() noexcept;
    void refreshSettings() noexcept;
    void ensureCapacity (int numSamples);
    void useScratch (VoiceScratch& scratch);
    // Everything up to the filter; what is left waits in `pending`.
    void render (float* out0, float* out1, int n);
    VoiceScratch* scratchFor (bool second) const noexcept;
    void filterSides() noexcept;
    void finishRender() noexcept;
    const double* destinationTable (int d) noexcept;
    // Inside render: the probe waits until the output holds this voice's
    // samples and those of every voice rendered before it.
    void probe (const float* out0, int n) noexcept;
    void probeOutput (const float* out0, int n) noexcept;
    void resetSignalState() noexcept;
    const double* morphTables (int osc, const double*& b, double& t, int& mode) const noexcept;

    [[maybe_unused]] const int voiceIndex; // kept for debugging: which slot this voice is
    ParameterValue* p;                 // parameter values, element i = parameter i
    ParametersStruct* perf;
    double** waveBuffers;
    EventAggregator* aggregator;

    double sampleRate = 44100.0;
    int ownNote = -1;
    int note = 0;
    int velocityValue = 99;
    int blockCountdown = 0;
    int refreshCounter = 100000;
    // Set by TuningChanged on whatever thread sends it; the next render takes
    // it and re-reads the settings at once.
    std::atomic<bool> refreshRequested { false };
    int octaveShift = 0;

    // Unison
    int unisonCount = 1;
    double detune[kMaxUnison] { 1.0, 1.0, 1.0, 1.0 };

    // Pitch
    double osc1Increment[kMaxUnison] {};
    double osc2Increment[kMaxUnison] {};
    double pwRate1 = 0.0, pwRate2 = 0.0;
    bool glideActive = false;
    double glideRatio = 1.0, glideStep = 0.1;
    double bendRatio = 1.0, smoothedBend = 1.0;

    // Phases, all kept in [0, 4096) (pulse-width phases in [0, 1)).
    double osc1Phase[kMaxUnison][kMaxStack] {};
    double osc2Phase[kMaxUnison][kMaxStack] {};
    // Stacked oscillator-1 copies past their first cycle since the voice was
    // built: in switch mode they stay on the first shape from then on, for
    // every later note too (their unwrapped phase never comes back below it).
    bool osc1PastFirstCycle[kMaxUnison][kMaxStack] {};
    double pw1Phase[kMaxStack] {};
    double pw2Phase[kMaxStack] {};
    double osc3Phase[kMaxUnison] {};

    // Envelopes, LFOs and modulation
    Envelope amplitude { "amplitude" };
    Envelope filterEnvelope { "filter" };
    LFO ownLfo1, ownLfo2;
    LFO* vibratoLfo = nullptr;
    LFO* masterLfo1 = nullptr;
    LFO* masterLfo2 = nullptr;
    LFO* chosenLfo1 = nullptr;
    LFO* chosenLfo2 = nullptr;
    int vibratoOffset = 0;     // where this render starts inside the host block
    VoiceModulation modulation;

    // Filter path
    double smoothedEnvAmount = 0.0, smoothedCutoff = 0.5, keyFollow = 1.0;
    Filter filterLeft, filterRight;
    Decimator decimatorLeft, decimatorRight;
    double highPassCoefficient = 0.001854;
    double highPassState[2] {};
    double smoothedAmp[2] {};

    // Work buffers: the instance's, or its own when it has none or a block
    // is longer than they were sized for.
    int capacity = 0;
    VoiceScratch::Buffer left, right, cutoffTable, filterEnvTable, ampTable;
    VoiceScratch* sharedScratch = nullptr;
    VoiceScratch* pairScratch = nullptr;
    VoiceScratch* boundScratch = nullptr;   // the one the views above are in
    VoiceScratch ownScratch;

    // A render between renderFront and renderBack.
    struct Pending
    {
        bool started = false;    // renderFront got past its checks
        bool tail = false;       // the filter and the rest are to run
        bool filtered = false;   // filterTogether ran the filter
        bool probe = false;      // only the probe is left
        float* out0 = nullptr;
        float* out1 = nullptr;
        int n = 0;
        int sideCount = 0;
    };
    Pending pending;

    VoiceRandom random;
    SplineOscillator spline[kMaxUnison];

    // Per-chunk work of the oscillator loop: shared per-sample factors, each
    // unison copy's values and the pulse-width rows of the stacked copies.
    // A local of render (about 30 KB): one stays in cache across voices, a
    // member per voice would not.
    static constexpr int kChunk = 32;
    struct OscillatorScratch
    {
        double common[kChunk], held7[kChunk], held8[kChunk], held9[kChunk], held11[kChunk], held12[kChunk];
        double level1[kChunk], level2[kChunk], level3[kChunk];
        double inc1[kMaxUnison][kChunk], inc2[kChunk];
        double osc1Sums[kMaxUnison][kChunk], osc2Sums[kMaxUnison][kChunk], osc3Values[kMaxUnison][kChunk];
        // Rows A have one more row: on the wide path they hold rows B too (see pulseRowsWide).
        double pwA1[kChunk + 1][kMaxStack], offA1[kChunk + 1][kMaxStack], pwB1[kChunk][kMaxStack], offB1[kChunk][kMaxStack];
        double pwA2[kChunk + 1][kMaxStack], offA2[kChunk + 1][kMaxStack], pwB2[kChunk][kMaxStack], offB2[kChunk][kMaxStack];
        double w0[kChunk][kMaxUnison], off0[kChunk][kMaxUnison];
    };
};
