#include "dsp/TalvoraXLVoice.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/EventAggregator.h"
#include "core/TalvoraSynthesiser.h"
#include "core/globalStuff.h"
#include "core/parameters.h"
#include "dsp/ModMatrix.h"
#include "dsp/OscillatorStacks.h"
#include "dsp/VectorPath.h"

namespace
{
using namespace oscstack;
static_assert (kMaxStack == TalvoraXLVoice::kMaxStack, "the voice holds as many stacked copies as the kernels run");

// True when a and b are the same double, bit for bit (so +0 and -0 differ).
inline bool sameBits (double a, double b) noexcept
{
    uint64_t x, y;
    std::memcpy (&x, &a, sizeof (x));
    std::memcpy (&y, &b, sizeof (y));
    return x == y;
}

// side += x / divisor, as a multiply when the divisor's inverse is exact
// (given as nonzero).
inline void addScaled (double* side, const double* x, int n, double divisor, double inverse) noexcept
{
    if (inverse != 0.0)
        for (int i = 0; i < n; ++i)
            side[i] += x[i] * inverse;
    else
        for (int i = 0; i < n; ++i)
            side[i] += x[i] / divisor;
}

// One-pole high-pass in place: y = keep y + c x, out x - y. Four samples per
// step of the recurrence, so the state's chain costs one multiply-add per four.
inline double highPassRun (double* x, int n, double y, double keep, double c) noexcept
{
    const double k2 = keep * keep, k3 = k2 * keep, k4 = k2 * k2;
    const double c2 = keep * c, c3 = k2 * c, c4 = k3 * c;
    int i = 0;
    for (; i + 4 <= n; i += 4)
    {
        const double x0 = x[i], x1 = x[i + 1], x2 = x[i + 2], x3 = x[i + 3];
        const double y0 = keep * y + c * x0;
        const double y1 = k2 * y + (c2 * x0 + c * x1);
        const double y2 = k3 * y + (c3 * x0 + c2 * x1 + c * x2);
        const double y3 = k4 * y + (c4 * x0 + c3 * x1 + c2 * x2 + c * x3);
        x[i] = x0 - y0;
        x[i + 1] = x1 - y1;
        x[i + 2] = x2 - y2;
        x[i + 3] = x3 - y3;
        y = y3;
    }
    for (; i < n; ++i)
    {
        y = keep * y + c * x[i];
        x[i] -= y;
    }
    return y;
}

} // namespace

TalvoraXLVoice::TalvoraXLVoice (int index, ParameterValue* parameterValues, ParametersStruct* performance,
                                double** waves, EventAggregator* agg)
    : EventListener ("TalvoraXLVoice"),
      voiceIndex (index),
      p (parameterValues),
      perf (performance),
      waveBuffers (waves),
      aggregator (agg)
{
    for (int d = 0; d < ModMatrix::kNumDestinations; ++d)
        modulation.setMultiplicative (d, ! (d >= 2 && d <= 5));
    modulation.setParameters (p);
    modulation.setEnvelopes (&amplitude, &filterEnvelope);

    ownLfo1.setOneShot (true);
    ownLfo2.setOneShot (true);
    ownLfo1.setId (66600 + index);
    ownLfo2.setId (77700 + index);

    amplitude.bind (&perf->ampAttackCurve, &perf->ampDecayCurve, &p[params::kAmplitudeSustain], &perf->ampReleaseCurve);
    filterEnvelope.bind (&perf->filterAttackCurve, &perf->filterDecayCurve, &p[params::kFilterSustain], &perf->filterReleaseCurve);
    amplitude.setShapesFromControls (p[72], p[73], p[75]);
    filterEnvelope.setShapesFromControls (p[76], p[77], p[79]);

    for (auto& osc : spline)
    {
        osc.setParameters (p);
        osc.setVoiceModulation (&modulation);
        osc.setCapturedWave (waveBuffers != nullptr ? waveBuffers[0] : nullptr);
    }
    setRandomSeed ((uint64_t) index + 1);

    // Chosen once, from the rate the voice has when it is built (before any
    // host rate arrives), and kept: the output high-pass is part of the sound.
    const double rate = getSampleRate();
    highPassCoefficient = rate > 40000.0 && rate < 80000.0 ? 0.001854 : (rate > 80000.0 ? 0.001375 : 0.001);
    prepare (44100.0, 256);

    if (aggregator != nullptr)
    {
        aggregator->registerForEvent (AmpEnvelopeChanged, this);
        aggregator->registerForEvent (FilterEnvelopeChanged, this);
        aggregator->registerForEvent (TuningChanged, this);
    }
}

TalvoraXLVoice::~TalvoraXLVoice()
{
    if (aggregator != nullptr)
        aggregator->unregisterListener (this);
}

void TalvoraXLVoice::setSharedLfos (LFO* vibrato, LFO* master1, LFO* master2)
{
    vibratoLfo = vibrato;
    masterLfo1 = master1;
    masterLfo2 = master2;
    // The matrix reads the master LFOs until a refresh finds both LFOs chosen.
    modulation.setLfoSources (master1, master2);
    ownLfo1.setMaster (master1);
    ownLfo2.setMaster (master2);
    if (master1 != nullptr)
        ownLfo1.setCapturedTable (master1->getCapturedTable());
    if (master2 != nullptr)
        ownLfo2.setCapturedTable (master2->getCapturedTable());
    refreshCounter = 100000;
}

void TalvoraXLVoice::setRandomSeed (uint64_t seed) noexcept
{
    random.setSeed (seed);
    for (int k = 0; k < kMaxUnison; ++k)
        spline[k].setRandomSeed (seed * 8 + (uint64_t) k + 1);
}

void TalvoraXLVoice::setPointSet (const Osc4PointSet* points) noexcept
{
    for (auto& osc : spline)
        osc.setPointSet (points);
}

void TalvoraXLVoice::setSplineScanStore (SplineScanStore* store)
{
    for (auto& osc : spline)
        osc.setScanStore (store);
}

void TalvoraXLVoice::setSamplesPerBeat (int samples) noexcept
{
    for (int k = 0; k < unisonCount; ++k)
    {
        spline[k].sanityCheckModulatedPoints();
        spline[k].setSamplesPerBeat (samples);
    }
}

void TalvoraXLVoice::prepare (double newSampleRate, int maximumBlockSize)
{
    setCurrentPlaybackSampleRate (newSampleRate);
    const int block = std::max (maximumBlockSize, 256);
    if (sharedScratch != nullptr && sharedScratch->getCapacity() >= block
        && sharedScratch->getModulationCapacity() >= VoiceScratch::modulationCapacityFor (block))
    {
        useScratch (*sharedScratch);
        ownScratch = VoiceScratch();
    }
    else if (capacity < block || sharedScratch != nullptr)
    {
        ownScratch.prepare (block);
        useScratch (ownScratch);
    }
    modulation.prepare (newSampleRate, block);
    ownLfo1.prepare (newSampleRate, block);
    ownLfo2.prepare (newSampleRate, block);
    filterLeft.prepare (newSampleRate);
    filterRight.prepare (newSampleRate);
    decimatorLeft.prepare (newSampleRate);
    decimatorRight.prepare (newSampleRate);
    for (auto& osc : spline)
        osc.prepare (newSampleRate, block);
}

void TalvoraXLVoice::setCurrentPlaybackSampleRate (double newRate)
{
    juce::SynthesiserVoice::setCurrentPlaybackSampleRate (newRate);
    if (! (newRate > 0.0) || ! std::isfinite (newRate))
        return;
    sampleRate = newRate;
    amplitude.prepare (newRate);
    filterEnvelope.prepare (newRate);
}

void TalvoraXLVoice::ensureCapacity (int numSamples)
{
    if (numSamples <= capacity)
        return;
    // A longer block than prepared for: buffers of its own (a fallback that
    // allocates), kept until the next prepare().
    ownScratch.prepare (numSamples);
    useScratch (ownScratch);
}

void TalvoraXLVoice::useScratch (VoiceScratch& scratch)
{
    boundScratch = &scratch;
    capacity = scratch.getCapacity();
    left = scratch.left();
    right = scratch.right();
    cutoffTable = scratch.cutoffTable();
    ampTable = scratch.ampTable();
    filterEnvTable = scratch.filterEnvTable();
    modulation.setSharedTables (scratch.modulationTables(), scratch.getModulationCapacity());
    modulation.setEnvelopeTables (ampTable.data(), (int) ampTable.size(), filterEnvTable.data(), (int) filterEnvTable.size());
    for (auto& osc : spline)
        osc.setEnvelopeBuffers (ampTable.data(), (int) ampTable.size(), filterEnvTable.data(), (int) filterEnvTable.size());
}

bool TalvoraXLVoice::canPlaySound (juce::SynthesiserSound* sound)
{
    return dynamic_cast<TalvoraXLSound*> (sound) != nullptr;
}

int TalvoraXLVoice::unisonCountFor (double parameter773) noexcept
{
    const int u = (int) std::lround ((float) parameter773 * 100.0f);
    // The voice holds four copies: larger choices stay at four.
    return u >= 2 ? 4 : (u == 1 ? 2 : 1);
}

void TalvoraXLVoice::updateUnison() noexcept
{
    unisonCount = unisonCountFor (p[params::kUnison]);
    if (unisonCount >= 2)
    {
        const double x = p[params::kUnisonDetune] * 0.015625 + 0.0001;
        detune[0] = std::exp2 (x);
        detune[1] = std::exp2 (-x);
        detune[2] = std::exp2 (-x / 2.0);
        detune[3] = std::exp2 (x / 2.0);
    }
    else
        detune[0] = 1.0;
}

void TalvoraXLVoice::computeIncrements() noexcept
{
    const double sr = sampleRate;
    const double base = kTable * freqtab[note & 127] / sr;

    const double v = p[params::kOsc2Fine];
    double r = 1.0;
    if (v < 0.5)
    {
        const double a = (0.5 - v) * 2.0;
        r = a * std::exp2 (-1.0 / 12.0) + (1.0 - a);
    }
    else if (v > 0.5)
    {
        const double a = (v - 0.5) * 2.0;
        r = a * std::exp2 (1.0 / 12.0) + (1.0 - a);
    }

    // Clamped, not masked: a mask would jump octaves at the ends.
    const int note2 = juce::jlimit (0, 127, note + perf->coarseTune);
    const double base2 = kTable * r * freqtab[note2] / sr;

    for (int k = 0; k < kMaxUnison; ++k)
    {
        const double factor = k < unisonCount ? detune[k] : 1.0;
        osc1Increment[k] = base * factor;
        osc2Increment[k] = base2 * factor;
    }

    const double g = globals[2] > 0.0 ? globals[2] : 1.0;
    pwRate1 = p[params::kOsc1PwmSpeed] * p[params::kOsc1PwmSpeed] * 10.0 / (44100.0 * g);
    pwRate2 = p[params::kOsc2PwmSpeed] * p[params::kOsc2PwmSpeed] * 10.0 / (44100.0 * g);
}

double TalvoraXLVoice::getOsc1PeriodSamples() const noexcept
{
    return osc1Increment[0] > 0.0 ? kTable / osc1Increment[0] : 50.0;
}

void TalvoraXLVoice::startNote (int midiNoteNumber, float velocity, juce::SynthesiserSound*, int pitchWheel)
{
    const int n = std::max (0, midiNoteNumber - 12);
    ownNote = n;
    modulation.setVelocity (velocity);
    updateUnison();

    if (amplitude.isOff())
    {
        const float s = (float) p[params::kVelocitySensitivity];
        velocityValue = (int) (((1.0f - s) * 0.7874f + velocity * s) * 127.0f);

        // A restored patch sends no shape events: read the shapes afresh.
        amplitude.setShapesFromControls (p[72], p[73], p[75]);
        filterEnvelope.setShapesFromControls (p[76], p[77], p[79]);
        amplitude.start();
        filterEnvelope.start();
        note = n;
        glideActive = false;
        glideRatio = 1.0;
        computeIncrements();

        if (p[params::kOsc2Fine] == 0.5 && p[params::kOsc1Volume] > 0.01)
            for (int k = 0; k < kMaxUnison; ++k)
                for (int j = 0; j < kMaxStack; ++j)
                    osc2Phase[k][j] = osc1Phase[k][j];

        for (int k = 0; k < kMaxUnison; ++k)
        {
            osc3Phase[k] = osc1Phase[k][0];
        }

        ownLfo1.startOneShot();
        ownLfo2.startOneShot();

        octaveShift = (int) p[params::kOsc3OctaveOffset];
        smoothedEnvAmount = p[params::kCutoffEnvAmount];
        smoothedCutoff = p[params::kCutoff];

        for (auto& osc : spline)
        {
            osc.reset();
            osc.setOversamplingFromNote (n);
        }
    }
    else
    {
        const int old = note;
        note = n;
        if (old == n)
        {
            glideActive = false;
            glideRatio = 1.0;
            glideStep = 0.1;
        }
        else
        {
            glideActive = true;
            glideRatio = std::exp2 ((old - n) / 12.0);
            const double t = clampValue (p[params::kGlide] * p[params::kGlide], 0.005, 1.0);
            const double g = globals[2] > 0.0 ? globals[2] : 1.0;
            glideStep = std::abs (glideRatio - 1.0) * (0.5 / t) / (44100.0 * g);
        }

        const bool ampWasReleasing = amplitude.getState() == Envelope::release;
        if (ampWasReleasing)
            amplitude.restartFromRelease();
        if (filterEnvelope.getState() == Envelope::release)
            filterEnvelope.restartFromRelease();
        else if (ampWasReleasing)
            filterEnvelope.start();

        if (p[params::kOsc4Volume] > 0.05)
            for (int k = 0; k < unisonCount; ++k)
                spline[k].setGlide (glideActive, glideRatio, glideStep);

        computeIncrements();
    }

    pitchWheelMoved (pitchWheel);
    blockCountdown = 3;
}

void TalvoraXLVoice::stopNote (float, bool allowTailOff)
{
    if (skipNextStop)
    {
        skipNextStop = false;
        return;
    }
    if (! allowTailOff)
        ownNote = -1;

    if (amplitude.isOff())
    {
        if (getCurrentlyPlayingNote() >= 0)
            clearCurrentNote();
        return;
    }
    if (ownNote == -1 && amplitude.getState() == Envelope::release)
        return;

    amplitude.startRelease();
    filterEnvelope.startRelease();
}

void TalvoraXLVoice::pitchWheelMoved (int value)
{
    if (value == 8192)
    {
        bendRatio = 1.0;
        return;
    }
    const double range = p[params::kPitchBendRange] * 100.0 + 1.0;
    const double x = value <= 8192 ? (value - 8192) / 8192.0 : (value - 8192) / 8191.0;
    bendRatio = std::exp2 (range * x / 12.0);
}

void TalvoraXLVoice::receiveEvent (EventType type, int)
{
    switch (type)
    {
        case TuningChanged:
            // The counter belongs to the render; this may run on the message thread.
            refreshRequested.store (true, std::memory_order_relaxed);
            break;
        case AmpEnvelopeChanged:
            amplitude.setShapesFromControls (p[72], p[73], p[75]);
            break;
        case FilterEnvelopeChanged:
            filterEnvelope.setShapesFromControls (p[76], p[77], p[79]);
            break;
        case ParameterChanged:
        case MultiChoiceChanged:
        case OscilloscopeModeChanged:
        case GuiPageCreated:
        case Osc4PointsChanged:
        case PresetLoaded:
        case AppearanceChanged:
        case GlobalAppearanceChanged:
        case LogoClicked:
            break;
    }
}

void TalvoraXLVoice::refreshSettings() noexcept
{
    const int lfo1Choice = params::choiceIndex (p[params::kLfo1Mode]);
    chosenLfo1 = lfo1Choice == 1 ? &ownLfo1 : (lfo1Choice == 0 ? masterLfo1 : nullptr);
    const int lfo2Choice = params::choiceIndex (p[params::kLfo2Mode]);
    chosenLfo2 = lfo2Choice == 0 ? masterLfo2 : (lfo2Choice == 1 ? &ownLfo2 : nullptr);

    // A shared master LFO refuses a voice's own LFO as its modulator.
    if (chosenLfo2 != nullptr)
        chosenLfo2->setModulator (p[params::kLfo1ModulatesLfo2] > 0.001 ? chosenLfo1 : nullptr,
                                  &p[params::kLfo1ModulatesLfo2]);

    for (auto& osc : spline)
    {
        osc.sanityCheckModulatedPoints();
        osc.setModulationLfos (chosenLfo1, chosenLfo2, vibratoLfo);
    }

    if (chosenLfo1 != nullptr && chosenLfo2 != nullptr)
        modulation.setLfoSources (chosenLfo1, chosenLfo2);

    if (p[params::kOsc4Volume] > 0.005)
    {
        const double ratio = SplineOscillator::pitchRatioFromParameters (p[params::kOsc4Coarse], p[params::kOsc4Fine]);
        for (int k = 0; k < unisonCount; ++k)
            spline[k].setPitchRatio (ratio);
    }
}

void TalvoraXLVoice::resetSignalState() noexcept
{
    filterLeft.reset();
    filterRight.reset();
    decimatorLeft.reset();
    decimatorRight.reset();
    highPassState[0] = highPassState[1] = 0.0;
    smoothedAmp[0] = smoothedAmp[1] = 0.0;
}

const double* TalvoraXLVoice::morphTables (int osc, const double*& b, double& t, int& mode) const noexcept
{
    const double v = p[osc == 1 ? params::kOsc1Shape : params::kOsc2Shape];
    const int row = juce::jlimit (0, kBandLimitedRows - 1, (note * 12) / 128);
    if (v < 1.0 / 3.0)
    {
        b = bandLimitedTriangle[row];
        t = 3.0 * v;
        mode = crossfade;
        return sineTable;
    }
    if (v < 2.0 / 3.0)
    {
        b = bandLimitedSawtooth[row];
        t = 3.0 * (v - 1.0 / 3.0);
        mode = crossfade;
        return bandLimitedTriangle[row];
    }
    b = bandLimitedSquare[row];
    t = clampValue (3.0 * (v - 2.0 / 3.0), 0.0, 1.0);
    mode = sawToSquare;
    return bandLimitedSawtooth[row];
}

void TalvoraXLVoice::renderNextBlock (juce::AudioBuffer<float>& buffer, int startSample, int numSamples)
{
    renderFront (buffer, startSample, numSamples, false);
    renderBack();
}

void TalvoraXLVoice::renderFront (juce::AudioBuffer<float>& buffer, int startSample, int numSamples, bool second)
{
    pending = {};
    if (getCurrentlyPlayingNote() < 0 || numSamples <= 0 || buffer.getNumChannels() < 1)
        return;
    pending.started = true;

    if (VoiceScratch* wanted = scratchFor (second); wanted != boundScratch)
        useScratch (*wanted);

    float* out0 = buffer.getWritePointer (0, startSample);
    float* out1 = buffer.getNumChannels() > 1 ? buffer.getWritePointer (1, startSample) : nullptr;

    updateUnison();
    modulation.setSharedLfoOffset (startSample);
    for (auto& osc : spline)
        osc.setSharedLfoOffset (startSample);
    vibratoOffset = startSample;
    render (out0, out1, numSamples);
}

VoiceScratch* TalvoraXLVoice::scratchFor (bool second) const noexcept
{
    // Only between the instance's two sets, which are alike: switching views
    // allocates nothing.
    VoiceScratch* wanted = second && pairScratch != nullptr ? pairScratch : sharedScratch;
    if (wanted != nullptr && boundScratch != nullptr && wanted != boundScratch
        && (boundScratch == sharedScratch || boundScratch == pairScratch)
        && wanted->getCapacity() == boundScratch->getCapacity()
        && wanted->getModulationCapacity() == boundScratch->getModulationCapacity())
        return wanted;
    return boundScratch;
}

bool TalvoraXLVoice::canRenderBeside (const TalvoraXLVoice& first) const noexcept
{
    return this != &first && scratchFor (true) != first.boundScratch;
}

void TalvoraXLVoice::filterTogether (TalvoraXLVoice& a, TalvoraXLVoice& b) noexcept
{
    const Pending& x = a.pending;
    const Pending& y = b.pending;
    if (&a == &b || ! (x.tail && y.tail && ! x.filtered && ! y.filtered && x.sideCount == 2 && y.sideCount == 2
                       && x.n == y.n))
        return;

    Filter::VoiceSides sides[2];
    TalvoraXLVoice* voices[2] = { &a, &b };
    for (int v = 0; v < 2; ++v)
    {
        TalvoraXLVoice& voice = *voices[v];
        voice.filterLeft.setType (voice.perf->filterType);
        voice.filterLeft.setOverdrive (voice.p[params::kOverdrive]);
        voice.filterRight.setType (voice.perf->filterType);
        voice.filterRight.setOverdrive (voice.p[params::kOverdrive]);
        const double* resonanceMod = voice.destinationTable (ModMatrix::resonance);
        sides[v] = { { &voice.filterLeft, &voice.filterRight }, { voice.left.data(), voice.right.data() },
                     voice.cutoffTable.data(), resonanceMod, resonanceMod != nullptr, voice.p[params::kResonance] };
        voice.pending.filtered = true;
    }
    Filter::processBlockQuad (sides[0], sides[1], x.n);
}

void TalvoraXLVoice::renderBack()
{
    if (! pending.started)
        return;
    if (pending.tail)
    {
        if (! pending.filtered)
            filterSides();
        finishRender();
    }
    else if (pending.probe)
        probeOutput (pending.out0, pending.n);
    pending = {};

    if (amplitude.isOff() && blockCountdown < 1)
        clearCurrentNote();
}

const double* TalvoraXLVoice::destinationTable (int d) noexcept
{
    return modulation.requestDestination (d) ? modulation.getTable (d) : nullptr;
}

void TalvoraXLVoice::probe (const float* out0, int n) noexcept
{
    pending.probe = true;
    pending.out0 = const_cast<float*> (out0);
    pending.n = n;
}

void TalvoraXLVoice::probeOutput (const float* out0, int n) noexcept
{
    const int c = blockCountdown;
    if (c == 3)
    {
        if (amplitude.isOff())
            blockCountdown = 2;
        return;
    }
    const bool loud = std::abs (out0[n / 2]) > 0.01f || std::abs (out0[n / 4]) > 0.01f || std::abs (out0[0]) > 0.01f;
    if (loud)
        blockCountdown = 3;
    else if (amplitude.isOff())
        blockCountdown = c - 1;
}

void TalvoraXLVoice::render (float* out0, float* out1, int n)
{
    if (perf == nullptr || ! amplitude.isBound() || ! filterEnvelope.isBound())
        return;

    const bool wide = vectorpath::useWide();
    const double keyFollowAmount = p[params::kFilterKeyFollow];
    const double keyFollowTarget = std::pow ((note + 64) / 128.0, 8.0 * keyFollowAmount) * keyFollowAmount + (1.0 - keyFollowAmount);

    if (amplitude.isOff())
    {
        if (blockCountdown <= 0)
        {
            blockCountdown = 0;
            glideActive = false;
            glideRatio = 1.0;
            keyFollow = keyFollowTarget;
            probe (out0, n);
            return;
        }
    }
    else
        blockCountdown = 3;

    ensureCapacity (n);
    modulation.beginBlock (n);
    const int count = unisonCount;
    const bool stereo = count >= 2 && out1 != nullptr;
    std::fill (left.begin(), left.begin() + n, 0.0);
    if (count >= 2)
        std::fill (right.begin(), right.begin() + n, 0.0);
    const int groups = (n + 7) / 8;
    std::fill (cutoffTable.begin(), cutoffTable.begin() + groups + 1, 0.0);
    std::fill (ampTable.begin(), ampTable.begin() + groups + 1, 0.0);
    std::fill (filterEnvTable.begin(), filterEnvTable.begin() + (n + 15) / 16 + 1, 0.0);

    const double level1 = p[params::kOsc1Volume], level2 = p[params::kOsc2Volume];
    const double level3 = p[params::kOsc3Volume], level4 = p[params::kOsc4Volume];
    if (level1 <= 0.005 && level2 <= 0.005 && level3 <= 0.005 && level4 <= 0.005)
    {
        // Nothing to hear, but the envelopes still run so the voice ends.
        filterEnvelope.run (nullptr, groups);
        amplitude.run (nullptr, groups);
        probe (out0, n);
        return;
    }

    computeIncrements();
    const double* tableB1;
    double t1;
    int mode1;
    const double* tableA1 = morphTables (1, tableB1, t1, mode1);
    const double* tableB2;
    double t2;
    int mode2;
    const double* tableA2 = morphTables (2, tableB2, t2, mode2);
    const int c1 = (int) ((float) p[params::kOsc1Stack] * 9.0f) + 1;
    const int c2 = (int) ((float) p[params::kOsc2Stack] * 9.0f) + 1;
    const int stack1 = juce::jlimit (1, kMaxStack, c1);
    const int stack2 = juce::jlimit (1, kMaxStack, c2);
    const double d1 = p[params::kOsc1Detune] * 0.04;
    const double d2 = p[params::kOsc2Detune] * 0.04;

    refreshCounter += n;
    if (refreshRequested.exchange (false, std::memory_order_relaxed) || refreshCounter > 20000)
    {
        refreshCounter = 0;
        refreshSettings();
    }

    for (LFO* lfo : { chosenLfo1, chosenLfo2 })
        if (lfo != nullptr && lfo->isOneShot() && ! lfo->isFinishedOneShot())
            lfo->calculateOneShotFromFrame (n);

    // Control rate: filter envelope, cutoff with key follow. The envelope's
    // levels go to the cutoff table first, then the cutoff over them.
    filterEnvelope.run (cutoffTable.data(), groups);
    for (int i = 0; i < n; i += 8)
    {
        smoothedEnvAmount = p[params::kCutoffEnvAmount] * 0.01 + smoothedEnvAmount * 0.99;
        smoothedCutoff = p[params::kCutoff] * 0.01 + smoothedCutoff * 0.99;
        const double fl = cutoffTable[(size_t) (i / 8)];
        keyFollow = keyFollow * 0.995 + 0.005 * keyFollowTarget;
        cutoffTable[(size_t) (i / 8)] = clampValue ((smoothedEnvAmount * fl + smoothedCutoff) * keyFollow, 0.0, 1.0);
        if ((i & 15) == 0)
            filterEnvTable[(size_t) (i / 16)] = fl;
    }

    if (modulation.requestDestination (ModMatrix::cutoff))
    {
        const double* mod = modulation.getTable (ModMatrix::cutoff);
        for (int g = 0; g < groups; ++g)
            cutoffTable[(size_t) g] = clampValue (cutoffTable[(size_t) g] * mod[g], 0.0, 1.0);
    }

    amplitude.run (ampTable.data(), groups);
    const bool osc4On = level4 > 0.05;
    if (osc4On)
        for (int k = 0; k < count; ++k)
        {
            spline[k].setTargetPitchFactor (smoothedBend);
            spline[k].setVibratoDepth (perf->modWheelAmount);
        }

    // Destination tables used in the sample loop.
    auto table = [this] (int d) -> const double* {
        return modulation.requestDestination (d) ? modulation.getTable (d) : nullptr;
    };
    const double* modPitch = table (ModMatrix::pitch);
    const double* modOsc1Pitch = table (ModMatrix::osc1Pitch);
    const double* modOsc2Pitch = table (ModMatrix::osc2Pitch);
    const double* modOsc3Pitch = table (ModMatrix::osc3Pitch);
    const double* modPw1 = table (ModMatrix::osc1PulseWidth);
    const double* modPw2 = table (ModMatrix::osc2PulseWidth);
    const double* modLevel1 = table (ModMatrix::osc1Level);
    const double* modLevel2 = table (ModMatrix::osc2Level);
    const double* modLevel3 = table (ModMatrix::osc3Level);

    const double pwAmount1 = p[params::kOsc1PwmAmount];
    const double pwAmount2 = p[params::kOsc2PwmAmount];
    const bool switchMode = p[params::kOsc4MorphMode] > 0.0;
    const bool pwm1 = (mode1 == sawToSquare || switchMode) && (pwAmount1 > 0.0 || modPw1 != nullptr);
    const bool pwm2 = mode2 == sawToSquare && (pwAmount2 > 0.0 || modPw2 != nullptr);
    const bool osc3On = level3 > 0.005 || modLevel3 != nullptr;

    const double* osc3Table = nullptr;
    {
        const int shifted = (note + octaveShift) * 12;
        const int r3 = shifted <= -128 ? 0 : (shifted >= 1536 ? 11 : juce::jlimit (0, 11, shifted / 128));
        switch (params::choiceIndex (p[params::kOsc3Shape]))
        {
            case 0: osc3Table = sineTable; break;
            case 1: osc3Table = bandLimitedTriangle[r3]; break;
            case 2: osc3Table = bandLimitedSawtooth[r3]; break;
            case 3: osc3Table = bandLimitedSquare[r3]; break;
            case 4: osc3Table = waveBuffers != nullptr ? waveBuffers[r3] : nullptr; break;
            default: break;
        }
    }
    const double octaveRatio = p[params::kOsc3OctaveRatio];

    const double modWheel = perf->modWheelAmount;
    const bool vibratoOn = vibratoLfo != nullptr && ! vibratoLfo->isFinishedOneShot();
    const double* vibrato = vibratoOn ? vibratoLfo->getBuffer() : nullptr;
    const int vibratoValid = vibratoOn ? std::min (vibratoLfo->getValidLength(), vibratoLfo->getCapacity()) : 0;

    double* sides[2] = { left.data(), right.data() };
    const double stackDivisor1 = stack1 * 3.0 / 10.0 + 1.0;
    const double stackDivisor2 = stack2 * 3.0 / 10.0 + 1.0;
    // Dividing by a power of two is multiplying by its inverse, exactly.
    auto exactInverse = [] (double d) {
        int e;
        return std::frexp (d, &e) == 0.5 ? 1.0 / d : 0.0;
    };
    const double inverse1 = exactInverse (stackDivisor1), inverse2 = exactInverse (stackDivisor2);

    // Per-block constants of the stacks: read modes, table pairs and the
    // pulse-width LFO steps of the stacked copies.
    const int kind1 = switchMode ? (pwm1 ? stackSwitchPwm : stackSwitch)
                                 : (mode1 == crossfade ? stackCrossfade : (pwm1 ? stackSawSquarePwm : stackSawSquare));
    const int kind2 = mode2 == crossfade ? stackCrossfade : (pwm2 ? stackSawSquarePwm : stackSawSquare);
    const StackTables in1 { tableA1, tableB1, t1, 1.0 - t1 };
    const StackTables in2 { tableA2, tableB2, t2, 1.0 - t2 };
    double fixedSwitchAt[kMaxStack];
    for (int j = 0; j < kMaxStack; ++j)
        fixedSwitchAt[j] = t1 * kTable;
    double pwStep1[kMaxStack] {}, pwStep2[kMaxStack] {};
    for (int j = 0; j < kMaxStack; ++j)
    {
        pwStep1[j] = j == 0 ? pwRate1 : ((j & 1) == 0 ? pwRate1 + d1 * pwRate1 / (j + 1) : pwRate1 - d1 * pwRate1 / (j + 1));
        pwStep2[j] = (j & 1) == 0 ? pwRate2 + d2 * pwRate2 / (j + 1) : pwRate2 - d2 * pwRate2 / (j + 1);
    }
    StackSteps steps1[kMaxUnison], steps2[kMaxUnison];

    // The block runs in chunks. Each chunk first works out the values every
    // oscillator shares per sample (glide, vibrato, bend, held destinations),
    // then runs each unison copy of each oscillator over the whole chunk, and
    // a last pass divides and adds the copies to the sides in the same order
    // as a per-sample sum would. Every sample's arithmetic is unchanged; only
    // the order in which independent copies are worked through differs.
    OscillatorScratch w;
    const bool osc1On = level1 > 0.005, osc2On = level2 > 0.005, osc3Plays = osc3On && osc3Table != nullptr;
    auto mixChunk = [&] (int from, int to) {
        const int len = to - from;
        for (int s = 0; s < std::min (count, 2); ++s)
        {
            double* side = sides[s] + from;
            if (osc1On)
                for (int k = s; k < count; k += 2)
                    addScaled (side, w.osc1Sums[k], len, stackDivisor1, inverse1);
            if (osc2On)
                for (int k = s; k < count; k += 2)
                    addScaled (side, w.osc2Sums[k], len, stackDivisor2, inverse2);
            if (osc3Plays)
                for (int k = s; k < count; k += 2)
                    for (int i = 0; i < len; ++i)
                        side[i] += w.osc3Values[k][i];
        }
    };

    // Glide, vibrato and bend of samples [chunkStart, chunkStart + len),
    // written to the chunk from its start; the held destinations follow
    // their group of 8 (chunks start on a group).
    auto sharedPass = [&] (int chunkStart, int len) {
        // Locals, so the chains stay in registers rather than members.
        bool gliding = glideActive;
        double ratio = glideRatio, bend = smoothedBend;
        const double step = glideStep, bendTarget = bendRatio;
        // A bend that has reached its target stays there, and its smoothing
        // step, a chain from sample to sample, can be left out.
        const bool bendSettled = bend * 0.998 + bendTarget * 0.002 == bend;
        for (int ci = 0; ci < len; ++ci)
        {
            const int i = chunkStart + ci;
            if (gliding)
            {
                if (ratio > 1.0)
                {
                    ratio -= step;
                    if (ratio <= 1.0)
                    {
                        ratio = 1.0;
                        gliding = false;
                    }
                }
                else
                {
                    ratio += step;
                    if (ratio >= 1.0)
                    {
                        ratio = 1.0;
                        gliding = false;
                    }
                }
            }
            else
                ratio = 1.0;

            double pitch = 1.0;
            const int vi = vibratoOffset + i;
            if (vibrato != nullptr && vi < vibratoValid)
                pitch = 1.0 + modWheel * 0.05 * vibrato[vi];
            // The pitch destination acts on the first sample of each group only.
            if ((i & 7) == 0)
                pitch *= modPitch != nullptr ? modPitch[i >> 3] : 1.0;
            if (! std::isfinite (pitch))
                pitch = 1.0;

            if (! bendSettled)
                bend = bend * 0.998 + bendTarget * 0.002;
            w.common[ci] = ratio * pitch * bend;
        }
        glideActive = gliding;
        glideRatio = ratio;
        smoothedBend = bend;
    };
    auto heldPass = [&] (int chunkStart, int len) {
        // A destination holds for a group of 8 samples: one value per group.
        static_assert (kChunk % 8 == 0, "chunks start on a group of 8");
        auto fillGroups = [&] (double* dst, auto valueOfGroup) {
            for (int ci = 0; ci < len; ci += 8)
            {
                const double v = valueOfGroup ((chunkStart + ci) >> 3);
                const int end = std::min (len, ci + 8);
                for (int c = ci; c < end; ++c)
                    dst[c] = v;
            }
        };
        auto fill = [&] (double* dst, const double* mod, double none) {
            if (mod != nullptr)
                fillGroups (dst, [mod] (int g) { return mod[g]; });
            else
                std::fill (dst, dst + len, none);
        };
        auto fillLevel = [&] (double* dst, const double* mod, double level) {
            if (mod != nullptr)
                fillGroups (dst, [mod, level] (int g) { return clampValue (level + mod[g], 0.0, 2.0); });
            else
                std::fill (dst, dst + len, level);
        };
        fill (w.held7, modOsc1Pitch, 1.0);
        fill (w.held8, modOsc2Pitch, 1.0);
        fill (w.held9, modOsc3Pitch, 1.0);
        fill (w.held11, modPw1, 0.0);
        fill (w.held12, modPw2, 0.0);
        fillLevel (w.level1, modLevel1, level1);
        fillLevel (w.level2, modLevel2, level2);
        fillLevel (w.level3, modLevel3, level3);
    };

    // Pulse-width rows of oscillator 1 from the current LFO phases.
    auto pulseWidths1 = [&] (double* row, double* offsetRow, double held11) {
        if (kind1 == stackSawSquarePwm)
            for (int j = 0; j < stack1; ++j)
            {
                row[j] = pulseWidth (pw1Phase[j], pwAmount1, held11);
                offsetRow[j] = row[j] * 2048.0 + 2048.0;
            }
        else if (kind1 == stackSwitchPwm)
            for (int j = 0; j < stack1; ++j)
                row[j] = clampValue (sineTable[(int) (pw1Phase[j] * kTable) & kTableMask] * pwAmount1 * 0.99 + t1 + held11, 0.0, 1.0) * kTable;
    };
    auto pulseWidth2 = [&] (double& value, double& offset, int j, double held12) {
        value = pulseWidth (pw2Phase[j], pwAmount2, held12);
        offset = value * 2048.0 + 2048.0;
    };

    for (int chunkStart = 0; chunkStart < n; chunkStart += kChunk)
    {
        const int chunkLen = std::min (n - chunkStart, kChunk);
        const bool glideWas = glideActive;
        const double glideRatioWas = glideRatio, bendWas = smoothedBend;
        sharedPass (chunkStart, chunkLen);
        heldPass (chunkStart, chunkLen);

        // Oscillator 1 stops the block at the first increment that is not
        // finite: `len` samples are whole, and at the next one the copies
        // before `stopCopy` have run.
        int len = chunkLen;
        int stopCopy = 0;
        bool stop = false;
        if (osc1On)
        {
            // x - x is 0 for finite x and NaN otherwise; the ordered search
            // only runs when something is off.
            int anyOff = 0;
            for (int k = 0; k < count; ++k)
            {
                int ci = 0;
#if defined(__SSE2__)
                const __m128d incK = _mm_set1_pd (osc1Increment[k]);
                __m128d off = _mm_setzero_pd();
                for (; ci + 2 <= chunkLen; ci += 2)
                {
                    const __m128d inc = _mm_mul_pd (_mm_mul_pd (incK, _mm_loadu_pd (w.common + ci)), _mm_loadu_pd (w.held7 + ci));
                    _mm_storeu_pd (w.inc1[k] + ci, inc);
                    off = _mm_or_pd (off, _mm_cmpneq_pd (_mm_sub_pd (inc, inc), _mm_setzero_pd()));
                }
                anyOff |= _mm_movemask_pd (off);
#endif
                for (; ci < chunkLen; ++ci)
                {
                    const double inc = osc1Increment[k] * w.common[ci] * w.held7[ci];
                    w.inc1[k][ci] = inc;
                    anyOff |= (int) ! (inc - inc == 0.0);
                }
            }
            for (int ci = 0; ci < chunkLen && anyOff != 0 && ! stop; ++ci)
                for (int k = 0; k < count; ++k)
                    if (! std::isfinite (w.inc1[k][ci]))
                    {
                        stop = true;
                        len = ci;
                        stopCopy = k;
                        break;
                    }
            if (stop)
            {
                // The shared state ends after the stopping sample.
                glideActive = glideWas;
                glideRatio = glideRatioWas;
                smoothedBend = bendWas;
                sharedPass (chunkStart, len + 1);
            }
        }

        if (osc1On)
        {
            // Copy 0 reads the pulse widths before the LFO steps, the others
            // after; those are the next sample's widths too while the held
            // destination value stays the same.
            const int advance = len + (stopCopy > 0 ? 1 : 0);
            // The wide rows B follow the rows A in pwA1 (pwB1 keeps rows set aside).
            bool sharedRows = false;
#if TALVORA_WIDE_PATH
            uint64_t newRowsA = 0;
            static_assert (kChunk + 1 <= kMaxPulseRun, "a chunk and one sample of pulse-width rows");
            sharedRows = pwm1 && wide && kind1 == stackSawSquarePwm;
            if (sharedRows)
                newRowsA = pulseRowsWide (pw1Phase, pwStep1, 0, stack1, pwAmount1, w.held11, advance, count > 1, w.pwA1, w.offA1,
                               w.pwB1, w.offB1);
            else
#endif
            if (pwm1)
                for (int ci = 0; ci < advance; ++ci)
                {
                    if (count > 1 && ci > 0 && sameBits (w.held11[ci], w.held11[ci - 1]))
                    {
                        std::copy (w.pwB1[ci - 1], w.pwB1[ci - 1] + stack1, w.pwA1[ci]);
                        if (kind1 == stackSawSquarePwm)
                            std::copy (w.offB1[ci - 1], w.offB1[ci - 1] + stack1, w.offA1[ci]);
                    }
                    else
                        pulseWidths1 (w.pwA1[ci], w.offA1[ci], w.held11[ci]);
                    for (int j = 0; j < stack1; ++j)
                    {
                        pw1Phase[j] += pwStep1[j];
                        if (pw1Phase[j] > 1.0)
                            pw1Phase[j] -= 1.0;
                    }
                    if (count > 1)
                        pulseWidths1 (w.pwB1[ci], w.offB1[ci], w.held11[ci]);
                }
            for (int k = 0; k < count; ++k)
            {
                const StackRun run { w.level1, w.inc1[k], k == 0 ? &w.pwA1[0][0] : (sharedRows ? &w.pwA1[1][0] : &w.pwB1[0][0]),
                                     k == 0 ? &w.offA1[0][0] : (sharedRows ? &w.offA1[1][0] : &w.offB1[0][0]), fixedSwitchAt };
                const int to = len + (stop && k < stopCopy ? 1 : 0);
                runStackCopy<true> (wide, kind1, in1, run, osc1Phase[k], osc1PastFirstCycle[k], steps1[k], d1, stack1,
                                    w.osc1Sums[k], 0, to);
#if TALVORA_WIDE_PATH
                if (sharedRows && k == 0 && count > 1)
                    restoreRows (newRowsA, w.pwA1, w.offA1, w.pwB1, w.offB1);
#endif
            }
            // The stopping copy still restarts a phase that is not finite.
            if (stop && ! std::isfinite (osc1Phase[stopCopy][0]))
                osc1Phase[stopCopy][0] = 0.0;
        }

        bool osc3Done = false;
        if (osc2On)
        {
            // Pulse width of stacked copy 0 steps with every unison copy,
            // the other stacked copies once per sample after unison copy 0.
            // The wide rows B follow the rows A in pwA2, as for oscillator 1.
            bool sharedRows = false;
#if TALVORA_WIDE_PATH
            uint64_t newRowsA = 0;
            if (pwm2 && wide)
            {
                sharedRows = true;
                switch (count)
                {
                    case 1:  pulseChainWide<1> (pw2Phase[0], pwRate2, pwAmount2, w.held12, len, w.pwA2, w.offA2, w.w0, w.off0); break;
                    case 2:  pulseChainWide<2> (pw2Phase[0], pwRate2, pwAmount2, w.held12, len, w.pwA2, w.offA2, w.w0, w.off0); break;
                    default:
                        if (osc3Plays)
                        {
                            // Oscillator 3 runs here, beside the chain.
                            pulseChainBesideOsc3 (pw2Phase[0], pwRate2, pwAmount2, w.held12, w.pwA2, w.offA2, w.w0, w.off0,
                                                  osc3Phase, osc1Increment, w.common, w.held9, octaveRatio, osc3Table,
                                                  w.level3, w.osc3Values[0], kChunk, len);
                            osc3Done = true;
                        }
                        else
                            pulseChainWide<4> (pw2Phase[0], pwRate2, pwAmount2, w.held12, len, w.pwA2, w.offA2, w.w0, w.off0);
                        break;
                }
                newRowsA = pulseRowsWide (pw2Phase, pwStep2, 1, stack2, pwAmount2, w.held12, len, count > 1, w.pwA2, w.offA2,
                               w.pwB2, w.offB2);
            }
            else
#endif
            if (pwm2)
                for (int ci = 0; ci < len; ++ci)
                {
                    const double h = w.held12[ci];
                    if (count > 1 && ci > 0 && sameBits (h, w.held12[ci - 1]))
                    {
                        pulseWidth2 (w.pwA2[ci][0], w.offA2[ci][0], 0, h);
                        std::copy (w.pwB2[ci - 1] + 1, w.pwB2[ci - 1] + stack2, w.pwA2[ci] + 1);
                        std::copy (w.offB2[ci - 1] + 1, w.offB2[ci - 1] + stack2, w.offA2[ci] + 1);
                    }
                    else
                        for (int j = 0; j < stack2; ++j)
                            pulseWidth2 (w.pwA2[ci][j], w.offA2[ci][j], j, h);
                    for (int k = 0; k < count; ++k)
                    {
                        pw2Phase[0] += pwRate2;
                        if (pw2Phase[0] > 1.0)
                            pw2Phase[0] -= 1.0;
                        if (k == 0)
                            for (int j = 1; j < stack2; ++j)
                            {
                                pw2Phase[j] += pwStep2[j];
                                if (pw2Phase[j] > 1.0)
                                    pw2Phase[j] -= 1.0;
                            }
                        if (k + 1 < count)
                        {
                            pulseWidth2 (w.w0[ci][k + 1], w.off0[ci][k + 1], 0, h);
                            if (k == 0)
                                for (int j = 1; j < stack2; ++j)
                                    pulseWidth2 (w.pwB2[ci][j], w.offB2[ci][j], j, h);
                        }
                    }
                }
            auto* const rowsB = sharedRows ? w.pwA2 + 1 : w.pwB2;
            auto* const offRowsB = sharedRows ? w.offA2 + 1 : w.offB2;
            for (int k = 0; k < count; ++k)
            {
                for (int ci = 0; ci < len; ++ci)
                    w.inc2[ci] = osc2Increment[k] * w.common[ci] * w.held8[ci];
                if (pwm2 && k > 0)
#pragma GCC unroll 4
                    for (int ci = 0; ci < len; ++ci)
                    {
                        rowsB[ci][0] = w.w0[ci][k];
                        offRowsB[ci][0] = w.off0[ci][k];
                    }
                const StackRun run { w.level2, w.inc2, k == 0 ? &w.pwA2[0][0] : &rowsB[0][0],
                                     k == 0 ? &w.offA2[0][0] : &offRowsB[0][0], nullptr };
                runStackCopy<false> (wide, kind2, in2, run, osc2Phase[k], nullptr, steps2[k], d2, stack2,
                                     w.osc2Sums[k], 0, len);
#if TALVORA_WIDE_PATH
                if (sharedRows && k == 0 && count > 1)
                    restoreRows (newRowsA, w.pwA2, w.offA2, w.pwB2, w.offB2);
#endif
            }
        }

        if (osc3Plays && ! osc3Done)
        {
            switch (count)
            {
                case 1:  osc3Run<1> (osc3Phase, osc1Increment, w.common, w.held9, octaveRatio, osc3Table, w.level3, w.osc3Values[0], kChunk, len); break;
                case 2:  osc3Run<2> (osc3Phase, osc1Increment, w.common, w.held9, octaveRatio, osc3Table, w.level3, w.osc3Values[0], kChunk, len); break;
                default:
#if TALVORA_WIDE_PATH
                    if (wide)
                    {
                        osc3RunQuad (osc3Phase, osc1Increment, w.common, w.held9, octaveRatio, osc3Table, w.level3, w.osc3Values[0], kChunk, len);
                        break;
                    }
#endif
                    osc3Run<4> (osc3Phase, osc1Increment, w.common, w.held9, octaveRatio, osc3Table, w.level3, w.osc3Values[0], kChunk, len);
                    break;
            }
        }

        if (stop)
        {
            // The rest of the block is not rendered.
            probe (out0, n);
            return;
        }
        mixChunk (chunkStart, chunkStart + chunkLen);
    }

    // Noise in [-0.5, 0.5]; the right side draws its own values.
    {
        const double* modNoise = table (ModMatrix::noiseLevel);
        const double noiseLevel = p[params::kNoiseVolume];
        if (modNoise != nullptr || noiseLevel > 0.001)
        {
            for (int i = 0; i < n; ++i)
            {
                const double level = modNoise != nullptr ? noiseLevel + modNoise[i >> 3] : noiseLevel;
                left[(size_t) i] += ((float) random.next() * -4.656612873077393e-10f + 0.5f) * level;
                if (stereo)
                    right[(size_t) i] += ((float) random.next() * -4.656612873077393e-10f + 0.5f) * level;
            }
        }
    }

    if (osc4On)
        for (int k = 0; k < count; ++k)
            spline[k].calculateBlock (n, sides[k & 1], osc1Increment[k], level4);

    const int sideCount = stereo ? 2 : 1;
    {
        // Amplitude and voice level, then the output high-pass. The level
        // follows its target by an eighth per sample; the target holds for a
        // group of 8, so the steps of a group are powers of 7/8 away from it.
        const double* voiceLevel = table (ModMatrix::voiceLevel);
        static constexpr double decay[9] = { 1.0, 0.875, 0.765625, 0.669921875, 0.586181640625,
                                             0.512908935546875, 0.448795318603515625,
                                             0.39269590377807617188, 0.34360891580581665039 };
        for (int s = 0; s < sideCount; ++s)
        {
            double* x = sides[s];
            double a = smoothedAmp[s];
            for (int g0 = 0; g0 < n; g0 += 8)
            {
                const int len = std::min (8, n - g0);
                const double target = ampTable[(size_t) (g0 >> 3)];
                const double d = a - target;
                const double level = voiceLevel != nullptr ? voiceLevel[g0 >> 3] : 1.0;
                for (int k = 0; k < len; ++k)
                    x[g0 + k] = x[g0 + k] * (target + d * decay[k + 1]) * level;
                a = target + d * decay[len];
            }
            smoothedAmp[s] = a;
            highPassState[s] = highPassRun (x, n, highPassState[s], 1.0 - highPassCoefficient, highPassCoefficient);
        }
    }

    // The filter and the rest wait for renderBack (or filterTogether). The
    // destinations they read are worked out now, as a render in one go
    // would, before another voice's render moves a shared LFO.
    modulation.requestDestination (ModMatrix::resonance);
    modulation.requestDestination (ModMatrix::decimation);
    pending.tail = true;
    pending.out0 = out0;
    pending.out1 = out1;
    pending.n = n;
    pending.sideCount = sideCount;
}

void TalvoraXLVoice::filterSides() noexcept
{
    const int n = pending.n;
    const int sideCount = pending.sideCount;
    double* sides[2] = { left.data(), right.data() };
    const double* resonanceMod = destinationTable (ModMatrix::resonance);
    const int filterType = perf->filterType;
    Filter* filters[2] = { &filterLeft, &filterRight };
    for (int s = 0; s < sideCount; ++s)
    {
        filters[s]->setType (filterType);
        filters[s]->setOverdrive (p[params::kOverdrive]);
    }
    if (sideCount == 2)
        Filter::processBlockPair (filterLeft, filterRight, cutoffTable.data(), resonanceMod, sides[0], sides[1], n,
                                  resonanceMod != nullptr, p[params::kResonance]);
    else
        filterLeft.processBlock (cutoffTable.data(), resonanceMod, sides[0], n, resonanceMod != nullptr,
                                 p[params::kResonance]);
}

void TalvoraXLVoice::finishRender() noexcept
{
    const int n = pending.n;
    const int sideCount = pending.sideCount;
    float* const out0 = pending.out0;
    float* const out1 = pending.out1;
    double* sides[2] = { left.data(), right.data() };
    {
        const double* decimation = destinationTable (ModMatrix::decimation);
        if (Decimator::isActive (p[params::kDecimate], decimation != nullptr))
        {
            const int type = (int) std::lround ((float) p[params::kDecimatorMode] * 100.0f);
            Decimator* decimators[2] = { &decimatorLeft, &decimatorRight };
            for (int s = 0; s < sideCount; ++s)
                decimators[s]->setType (type);
            if (sideCount == 2)
                Decimator::processBlockPair (decimatorLeft, decimatorRight, sides[0], sides[1], n, p[params::kDecimate],
                                             decimation != nullptr, decimation, cutoffTable[0]);
            else
                decimatorLeft.processBlock (sides[0], n, p[params::kDecimate], decimation != nullptr, decimation,
                                            cutoffTable[0]);
        }
    }

    // A block that went non-finite is dropped and the state starts afresh.
    // x * 0 is 0 for every finite x and NaN otherwise, so one sum tells
    // (four partial sums, so the additions do not wait on each other). With
    // saturation the check rides along in its pass; the output is written
    // only once every side has passed.
    const double gv = velocityValue / 127.0;
    const double saturation = p[params::kVoiceSaturation];
    const bool saturating = saturation > 0.005;
    const double sat = 3.0 * saturation;
    const double satGain = (1.0 - 0.4 * std::sqrt (sat)) * gv * gv;
    const double satK = 1.0 + sat;
    for (int s = 0; s < sideCount; ++s)
    {
        double* side = sides[s];
        double zeros[4] { 0.0, 0.0, 0.0, 0.0 };
        int i = 0;
        if (saturating)
        {
            auto one = [&] (int at, double& zero) {
                const double v = side[at];
                zero += v * 0.0;
                const double x = v * satGain;
                side[at] = satK * x / (std::abs (x * sat) + 1.0);
            };
            for (; i + 4 <= n; i += 4)
                for (int q = 0; q < 4; ++q)
                    one (i + q, zeros[q]);
            for (; i < n; ++i)
                one (i, zeros[0]);
        }
        else
        {
            for (; i + 4 <= n; i += 4)
                for (int q = 0; q < 4; ++q)
                    zeros[q] += side[i + q] * 0.0;
            for (; i < n; ++i)
                zeros[0] += side[i] * 0.0;
        }
        if ((zeros[0] + zeros[1]) + (zeros[2] + zeros[3]) != 0.0)
        {
            resetSignalState();
            probeOutput (out0, n);
            return;
        }
    }

    float* outs[2] = { out0, out1 };
    for (int s = 0; s < sideCount; ++s)
    {
        const double* side = sides[s];
        float* out = outs[s];
        if (saturating)
            for (int i = 0; i < n; ++i)
                out[i] += (float) (2.0 * side[i]);
        else
        {
            const double gain = 2.0 * gv * gv;
            for (int i = 0; i < n; ++i)
                out[i] += (float) (side[i] * gain);
        }
    }

    probeOutput (out0, n);
}
