#include "core/PluginProcessor.h"

#include <cmath>
#include <cstring>

#include "core/TalvoraParameter.h"
#include "core/UserPresentException.h"
#include "core/globalStuff.h"
#include "dsp/LFOHelper.h"
#include "dsp/TalvoraXLVoice.h"
#include "dsp/VectorPath.h"
#include "gui/PluginEditor.h"

namespace
{
// Block counters shared by every instance of the process.
std::atomic<int> warmUpCount { 0 };
std::atomic<int> onceASecondSamples { 0 };
std::atomic<int> onceEveryTenthSecond { 0 };

// The reverb choice, rounded in single precision as every reader of it does.
bool reverbTypeTwo (double value) noexcept
{
    return std::lround ((float) (value * 100.0)) == 1;
}

} // namespace

juce::String BrevonAudioProcessor::latin1 (const char* text)
{
    juce::String s;
    for (auto* p = reinterpret_cast<const unsigned char*> (text); *p != 0; ++p)
        s += juce::String::charToString ((juce::juce_wchar) *p);
    return s;
}

BrevonAudioProcessor::BrevonAudioProcessor()
    : juce::AudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
    name = "PluginProcessor";

    aggregator = std::make_unique<EventAggregator> ("EventAggregator");

    engine = std::make_unique<Talvora>();
    parameterValues = engine->getParameterValues();
    performance = engine->getParametersStruct();
    synth.setParameterPointers (parameterValues, performance);
    for (auto* e : { &eqLeft, &eqRight })
        e->setParameters (parameterValues);
    for (auto* s : { &saturatorLeft, &saturatorRight })
        s->setParameters (parameterValues);
    chorus.setParameters (parameterValues);
    reverb1.setParameters (parameterValues);
    reverb2.setParameters (parameterValues);

    // Fixed envelope curves until the first change of their parameters.
    performance->ampDecayCurve = 0.1;
    performance->ampAttackCurve = 0.0;
    performance->ampReleaseCurve = 0.1;
    performance->filterDecayCurve = 0.1;
    performance->filterAttackCurve = 0.0;
    performance->filterReleaseCurve = 0.1;
    parameterValues[params::kAmplitudeSustain] = 0.5;
    parameterValues[params::kFilterSustain] = 0.5;

    {
        const juce::ScopedLock sl (synth.getSynthLock());
        for (int i = 0; i < kNumVoices; ++i)
        {
            auto* voice = new TalvoraXLVoice (i, parameterValues, performance, engine->getWaveBuffers(), aggregator.get());
            voice->setSharedLfos (&engine->modWheelLfo, &engine->masterLfo1, &engine->masterLfo2);
            voice->setPointSet (&osc4Points);
            voice->setSplineScanStore (&splineScans);
            voice->setScratch (&voiceScratch);
            voice->setPairScratch (&pairScratch);
            synth.addVoice (voice);
        }
        synth.addSound (new TalvoraXLSound());
    }
    synth.setNoteStealingEnabled (false);

    aggregator->registerForEvent (Osc4PointsChanged, this);
    aggregator->registerForEvent (PresetLoaded, this);
    aggregator->registerForEvent (GuiPageCreated, this);

    for (int i = 0; i < params::kNumParameters; ++i)
    {
        auto* p = new TalvoraParameter (*this, i);
        hostParameters.push_back (p);
        addParameter (p);
    }

    osc4Dirty = true;
    scopeWindow = 100.0;
    onceASecondPending = true;
    clampAll = true;
    notStereo = false;

    propertyProxy.addChangeListener (this);
    TALVORA_XL_VERSION.store (true, std::memory_order_relaxed);
}

BrevonAudioProcessor::~BrevonAudioProcessor()
{
    retiredReaper.stopTimer();
    {
        const juce::ScopedLock sl (synth.getSynthLock());
        while (synth.getNumVoices() > 0)
            synth.removeVoice (synth.getNumVoices() - 1);
    }

    // Retired workers may still be inside a server exchange: ask them all to
    // stop (a stopped exchange ends within about a second) and wait for them,
    // all together at most kRetiredWaitMs. A worker that still runs then is
    // left alone rather than deleted under its own feet.
    {
        const juce::ScopedLock sl (retiredLock);
        for (auto* t : retiredThreads)
        {
            t->signalThreadShouldExit();
            t->notify(); // the exit signal alone does not end a wait()
        }
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + kRetiredWaitMs;
        for (int i = retiredThreads.size(); --i >= 0;)
        {
            auto* t = retiredThreads.getUnchecked (i);
            const int left = juce::jmax (0, (int) (deadline - juce::Time::getMillisecondCounterHiRes()));
            if (t->waitForThreadToExit (left))
            {
                retiredThreads.remove (i);
                delete t;
            }
            else
            {
                printf ("WARNING, preset worker \"%s\" still running at exit\n", t->getThreadName().toRawUTF8());
            }
        }
    }

    propertyProxy.removeAllChangeListeners();
    propertyProxy.saveIfNeeded();

    aggregator->unregisterListener (this);
    aggregator.reset();
}

bool BrevonAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    return layouts.inputBuses.isEmpty() && layouts.outputBuses.size() == 1
           && layouts.getMainOutputChannelSet() == juce::AudioChannelSet::stereo();
}

juce::AudioProcessorEditor* BrevonAudioProcessor::createEditor()
{
    return new BrevonAudioProcessorEditor (*this);
}

//==============================================================================
float BrevonAudioProcessor::getParameter (int index)
{
    // No lock: a host polling every value from its interface thread must
    // never make the audio thread wait. Each value is read whole.
    return engine->getParameter (index);
}

const juce::String BrevonAudioProcessor::getParameterName (int index)
{
    char text[Talvora::kTextSize] = {};
    engine->getParameterName (index, text);
    return latin1 (text);
}

const juce::String BrevonAudioProcessor::getParameterText (int index)
{
    char text[Talvora::kTextSize] = {};
    engine->getParameterDisplay (index, text);   // lock-free, as getParameter
    return latin1 (text);
}

void BrevonAudioProcessor::setParameterNotifyingHost (int index, float value)
{
    if (index >= 0 && index < (int) hostParameters.size())
        hostParameters[(size_t) index]->setValueNotifyingHost (value);
}

void BrevonAudioProcessor::beginParameterGesture (int index)
{
    if (index >= 0 && index < (int) hostParameters.size())
        hostParameters[(size_t) index]->beginChangeGesture();
}

void BrevonAudioProcessor::endParameterGesture (int index)
{
    if (index >= 0 && index < (int) hostParameters.size())
        hostParameters[(size_t) index]->endChangeGesture();
}

void BrevonAudioProcessor::setParameter (int index, float value)
{
    // The value and its reactions (effect settings, envelope shapes) change
    // state that a running block reads: never in the middle of one. Reads
    // take no lock.
    const juce::ScopedLock sl (getCallbackLock());
    engine->setParameter (index, value);

    switch (index)
    {
        case 5: case 6: case 7: case 8: case 72: case 73: case 74: case 75:
            aggregator->sendEvent (AmpEnvelopeChanged, index);
            break;
        case 76: case 77: case 78: case 79:
            aggregator->sendEvent (FilterEnvelopeChanged, index);
            break;
        case 27: case 28: case 29: case 68: case 69:
            updateEcho();
            break;
        case 30: case 31: case 32:
            updateReverb();
            break;
        case 86:
        {
            // Clearing cuts the tail: only when the type really changes, not
            // on every automation point that repeats the same choice.
            const int before = reverb2Active.load();
            updateReverb();
            if (reverb2Active.load() != before)
                reverbClearPending = true;
            break;
        }
        case 52: case 53: case 54: case 56: case 57: case 64:
            onceASecondPending = true;
            break;
        case 773:
            // Applied at the start of the next block, never racing a render.
            unisonChangePending = true;
            break;
        default:
            break;
    }

    aggregator->sendEvent (ParameterChanged, index);
}

void BrevonAudioProcessor::updateEcho()
{
    const ParameterValue* v = parameterValues;
    echo.updateEchoValues (v[27], v[69], v[28], v[29], v[68], hostBeatsPerSecond.load());
}

void BrevonAudioProcessor::updateReverb()
{
    const bool two = reverbTypeTwo (parameterValues[params::kReverbType]);
    reverb2Active = two ? 1 : 0;
    if (two)
        reverb2.updateReverb();
    else
        reverb1.updateReverb();
}

//==============================================================================
void BrevonAudioProcessor::receiveEvent (EventType type, int)
{
    switch (type)
    {
        case GuiPageCreated:
        case PresetLoaded:
        case Osc4PointsChanged:
            osc4Dirty = true;
            break;
        case ParameterChanged:
        case MultiChoiceChanged:
        case AmpEnvelopeChanged:
        case FilterEnvelopeChanged:
        case OscilloscopeModeChanged:
        case TuningChanged:
        case AppearanceChanged:
        case GlobalAppearanceChanged:
        case LogoClicked:
            break;
    }
}

void BrevonAudioProcessor::changeListenerCallback (juce::ChangeBroadcaster* source)
{
    if (source == &propertyProxy && aggregator != nullptr)
        EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
}

bool BrevonAudioProcessor::updateOsc4DataFromParams()
{
    Osc4Codec::writePresenceMarks (parameterValues);
    if (! osc4Points.publishFromParameters (parameterValues))
        return false; // another publish is running: next block tries again
    osc4Dirty = false;
    return true;
}

void BrevonAudioProcessor::setRandomSeed (uint64_t seed)
{
    const juce::ScopedLock sl (synth.getSynthLock());
    for (int i = 0; i < synth.getNumVoices(); ++i)
        if (auto* voice = dynamic_cast<TalvoraXLVoice*> (synth.getVoice (i)))
            voice->setRandomSeed (seed * (uint64_t) kNumVoices + (uint64_t) i + 1);
}

void BrevonAudioProcessor::retireThread (juce::Thread* thread)
{
    if (thread == nullptr)
        return;
    const juce::ScopedLock sl (retiredLock);
    retiredThreads.addIfNotAlreadyThere (thread);
    retiredReaper.startTimer (kRetiredCheckMs);
}

int BrevonAudioProcessor::getNumRetiredThreads() const
{
    const juce::ScopedLock sl (retiredLock);
    return retiredThreads.size();
}

//==============================================================================
int BrevonAudioProcessor::applyPresetRecord (const void* data, size_t size)
{
    return loadProgramRecord (data, size, nullptr);
}

int BrevonAudioProcessor::loadProgramRecord (const void* data, size_t size, std::vector<float>* valuesBefore)
{
    // The record keeps wave buffer 0 only; the other rows are derived from it
    // here, before the lock, so a loaded capture plays at every pitch.
    const auto rows = size == program::kRecordSize ? rowsForRecord (data, (int) size) : nullptr;

    // Applied whole between two blocks, never under a running one.
    const juce::ScopedLock sl (getCallbackLock());
    if (valuesBefore != nullptr)
        valuesBefore->assign (parameterValues, parameterValues + params::kNumParameters);

    int taken = 0;
    try
    {
        taken = engine->setChunk (data, size);
    }
    catch (...)
    {
        // Refused whole: the effects still follow the (unchanged) values.
        updateEcho();
        updateReverb();
        throw;
    }
    if (taken > 0 && rows != nullptr)
        engine->setWaveRows (*rows);
    updateEcho();
    updateReverb();
    osc4Dirty = true;
    stateRestores.fetch_add (1, std::memory_order_acq_rel);
    return taken;
}

void BrevonAudioProcessor::writeOsc4PresenceMarks()
{
    const juce::ScopedLock sl (getCallbackLock());
    Osc4Codec::writePresenceMarks (parameterValues);
    osc4Dirty = true;
}

void BrevonAudioProcessor::stopAllVoices()
{
    const juce::ScopedLock sl (synth.getSynthLock());
    for (int i = 0; i < synth.getNumVoices(); ++i)
        if (auto* voice = synth.getVoice (i))
            voice->stopNote (0.0f, false);
}

namespace
{
// Program texts are 8-bit: characters past 255 have no byte and become "_".
std::string toLatin1 (const juce::String& text, size_t maxBytes)
{
    std::string out;
    for (auto p = text.getCharPointer(); ! p.isEmpty() && out.size() < maxBytes;)
    {
        const auto c = p.getAndAdvance();
        out.push_back (c < 256 ? (char) (unsigned char) c : '_');
    }
    return out;
}
} // namespace

juce::String BrevonAudioProcessor::getProgramNameText()
{
    const juce::ScopedLock sl (getCallbackLock());
    char text[Talvora::kTextSize] = {};
    engine->getProgramName (text);
    return latin1 (text);
}

void BrevonAudioProcessor::setProgramNameText (const juce::String& text)
{
    const auto bytes = toLatin1 (text, program::kNameLength);
    const juce::ScopedLock sl (getCallbackLock());
    engine->setProgramName (bytes.c_str());
}

juce::String BrevonAudioProcessor::getProgramCommentText()
{
    const juce::ScopedLock sl (getCallbackLock());
    const auto& comment = engine->getProgram().comment;
    return latin1 (std::string (comment, strnlen (comment, program::kCommentLength)).c_str());
}

void BrevonAudioProcessor::setProgramCommentText (const juce::String& text)
{
    const auto bytes = toLatin1 (text, program::kCommentLength);
    const juce::ScopedLock sl (getCallbackLock());
    engine->setProgramComment (bytes.c_str());
}

uint32_t BrevonAudioProcessor::getProgramCategoryMask()
{
    const juce::ScopedLock sl (getCallbackLock());
    return engine->programCategoryMask;
}

void BrevonAudioProcessor::setProgramCategoryMask (uint32_t mask)
{
    const juce::ScopedLock sl (getCallbackLock());
    engine->programCategoryMask = mask;
}

//==============================================================================
void BrevonAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    std::vector<uint8_t> chunk;
    {
        const juce::ScopedLock sl (getCallbackLock());
        engine->getChunk (chunk);
    }
    if (! chunk.empty())
        destData.append (chunk.data(), chunk.size());
}

std::unique_ptr<WaveRows> BrevonAudioProcessor::rowsForRecord (const void* data, int sizeInBytes)
{
    if ((size_t) sizeInBytes != program::kRecordSize)
        return nullptr;
    auto record = std::make_unique<TalvoraProgram>();
    program::fromBytes (static_cast<const uint8_t*> (data), *record);
    if (! program::isValid (*record))
        return nullptr;

    auto rows = std::make_unique<WaveRows>();
    for (int i = 0; i < WaveRows::kRowSize; ++i)
        rows->rows[0][i] = (double) record->wave[i];
    waveCapture::deriveFromRow0 (*rows, globals[0]);
    return rows;
}

void BrevonAudioProcessor::installWaveRows (const WaveRows& rows)
{
    // Voices and master LFOs read the buffers inside the block.
    const juce::ScopedLock sl (getCallbackLock());
    engine->setWaveRows (rows);
}

void BrevonAudioProcessor::captureWaveform()
{
    auto rows = std::make_unique<WaveRows>();
    const double rate = globals[0];
    waveCapture::build (captureBlock.entries(), kCaptureRingSize, captureBlock.getPosition(),
                        (double) engine->getParameter (params::kCaptureResampling), rate, *rows);

    // Row 0 as the record will hold it, and the other rows from that alone,
    // exactly as a restore rebuilds them: a saved capture sounds the same.
    for (auto& v : rows->rows[0])
        v = (double) (float) juce::jlimit (-1.0, 1.0, v);
    waveCapture::deriveFromRow0 (*rows, rate);

    installWaveRows (*rows);
    setParameter (params::kOsc3Shape, (float) params::choiceValue (4));
}

void BrevonAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 0)
        return;

    try
    {
        std::vector<float> before;
        loadProgramRecord (data, (size_t) sizeInBytes, &before);

        // LV2 hosts keep their own copy of every control value and only learn
        // of restored ones when told; VST3 re-reads them by itself.
        if (wrapperType == wrapperType_LV2)
            for (int i = 0; i < params::kNumParameters; ++i)
                if ((float) parameterValues[i] != before[(size_t) i])
                    hostParameters[(size_t) i]->sendValueChangedMessageToListeners ((float) parameterValues[i]);
    }
    catch (const UserPresentException&)
    {
        // Wrong size: nothing changed.
    }
    catch (...)
    {
        // Nothing escapes to the host.
    }
}

//==============================================================================
void BrevonAudioProcessor::prepareToPlay (double newSampleRate, int samplesPerBlock)
{
    if (! (newSampleRate > 0.0) || ! std::isfinite (newSampleRate))
        return;

    sampleRate = newSampleRate;
    maxBlockSize = juce::jmax (samplesPerBlock, 1);
    synth.setCurrentPlaybackSampleRate (newSampleRate);
    engine->prepare (newSampleRate, maxBlockSize);

    {
        // Never while a block renders: the lines are resized here.
        const juce::ScopedLock sl (getCallbackLock());
        reverb1.prepare (newSampleRate, maxBlockSize);
        reverb2.prepare (newSampleRate, maxBlockSize);
        chorus.prepare (newSampleRate, maxBlockSize);
        echo.prepare (newSampleRate, maxBlockSize);
        limiterLeft.prepare (newSampleRate, maxBlockSize);
        limiterRight.prepare (newSampleRate, maxBlockSize);
    }
    // Room for the scans of two dozen of the longest cycles: every copy of
    // 48 notes spread over the keyboard keeps the few it alternates between,
    // a scan for each of their curves.
    splineScans.prepare (kSplineScanCycles * (SplineOscillator::cycleLimitFor (newSampleRate) + 256), 8192);
    voiceScratch.prepare (juce::jmax (maxBlockSize, 256));
    pairScratch.prepare (juce::jmax (maxBlockSize, 256));
    for (int i = 0; i < synth.getNumVoices(); ++i)
        if (auto* voice = dynamic_cast<TalvoraXLVoice*> (synth.getVoice (i)))
            voice->prepare (newSampleRate, maxBlockSize);
    updateEcho();
    updateReverb();
}

void BrevonAudioProcessor::applyPendingVoiceChanges()
{
    if (unisonChangePending.exchange (false))
    {
        for (int i = 0; i < synth.getNumVoices(); ++i)
            synth.getVoice (i)->stopNote (0.0f, false);
        saturatorLeft.reset();
        saturatorRight.reset();
    }
    if (reverbClearPending.exchange (false))
    {
        reverb1.clear();
        reverb2.clear();
    }
}

void BrevonAudioProcessor::tempoWork()
{
    auto* head = getPlayHead();
    if (head == nullptr)
        return;

    const auto position = head->getPosition();
    if (! position.hasValue())
        return;

    // No tempo, or one that is not usable: skip the tempo work entirely.
    const auto bpm = position->getBpm();
    if (! bpm.hasValue() || ! std::isfinite (*bpm) || *bpm <= 0.0)
        return;

    LFOHelper::instance().setTempo (*bpm);

    // The echo's tempo comes from here only, cached for the other threads.
    const double beatsPerSecond = *bpm / 60.0;
    hostBeatsPerSecond = (beatsPerSecond < 0.01 || beatsPerSecond > 16.0) ? 2.0 : beatsPerSecond;

    if (! position->getIsPlaying())
        return;

    auto& lfo1 = engine->masterLfo1;
    auto& lfo2 = engine->masterLfo2;
    if (lfo1.isTempoSynced() && lfo2.isTempoSynced() && lfo1.getSyncCountdown() > 0 && lfo2.getSyncCountdown() > 0)
        return;

    const auto ppqPosition = position->getPpqPosition();
    const double ppq = ppqPosition.hasValue() && std::isfinite (*ppqPosition) ? *ppqPosition : 0.0;
    const double cycleBeats = LFOHelper::instance().getSyncSpeedFromHz (lfo1.getRate()).beats();
    const double samplesPerBeat = sampleRate / beatsPerSecond;
    if (! (cycleBeats > 0.0) || ! std::isfinite (samplesPerBeat) || samplesPerBeat < 1.0 || samplesPerBeat > 1.0e9)
        return;

    const double untilNext = ((std::floor (ppq / cycleBeats) + 1.0) * cycleBeats - ppq) * samplesPerBeat;
    const int countdown = (int) juce::jlimit (0.0, 2.0e9, untilNext);

    for (auto* lfo : { &lfo1, &lfo2 })
    {
        const bool oneShot = params::choiceIndex (parameterValues[lfo == &lfo1 ? params::kLfo1Mode : params::kLfo2Mode]) == 1;
        if (oneShot || (lfo->isTempoSynced() && lfo->getSyncCountdown() > 0))
            continue;
        lfo->setSamplesPerBeat (samplesPerBeat);
        lfo->setSyncCountdown (countdown);
    }

    if ((int) samplesPerBeat != lastSamplesPerBeat)
    {
        lastSamplesPerBeat = (int) samplesPerBeat;
        for (int v = synth.getNumVoices(); --v >= 0;)
            if (auto* voice = dynamic_cast<TalvoraXLVoice*> (synth.getVoice (v)))
                voice->setSamplesPerBeat (lastSamplesPerBeat);
    }
}

void BrevonAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    juce::ScopedNoDenormals noDenormals;

    const int totalOut = getTotalNumOutputChannels();
    if (totalOut != 2 || buffer.getNumChannels() < 2)
    {
        // Never hand the host stale memory.
        buffer.clear();
        notStereo = true;
        return;
    }
    notStereo = false;

    const int numSamples = buffer.getNumSamples();
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        buffer.clear (ch, 0, numSamples);

    if (warmUpCount.load (std::memory_order_relaxed) < kWarmUpBlocks)
    {
        if (warmUpCount.fetch_add (1, std::memory_order_relaxed) + 1 < 150)
            return;
    }
    warmUpCount.store (kWarmUpBlocks, std::memory_order_relaxed);

    if (engine == nullptr)
        return;

    // Once a second: the reverb type and a tempo look-up; every tenth time a clamp.
    if (onceASecondSamples.fetch_add (numSamples, std::memory_order_relaxed) + numSamples >= (int) sampleRate
        && ! onceASecondPending.load())
    {
        onceASecondSamples.store (0, std::memory_order_relaxed);
        onceASecondPending = true;
        if (onceEveryTenthSecond.fetch_add (1, std::memory_order_relaxed) >= 9)
        {
            onceEveryTenthSecond.store (0, std::memory_order_relaxed);
            clampAll = true;
        }
        // Only the type is re-read here: recomputing the reverb would disturb
        // its running tail once a second.
        reverb2Active = reverbTypeTwo (parameterValues[params::kReverbType]) ? 1 : 0;
    }

    if (clampAll.exchange (false))
        for (int i = 0; i < params::kNumParameters; ++i)
        {
            // Written back only when out of range, so a value another thread
            // sets meanwhile is not overwritten with its old one.
            const double v = parameterValues[i];
            const double clamped = juce::jlimit (0.0, 1.0, std::isfinite (v) ? v : 0.0);
            if (clamped != v)
                parameterValues[i] = clamped;
        }

    if (onceASecondPending.exchange (false))
        tempoWork();

    if (osc4Dirty.load())
        updateOsc4DataFromParams();

    if (numSamples == 0 || buffer.getWritePointer (0) == nullptr || buffer.getWritePointer (1) == nullptr)
    {
        badBlock = true;
        return;
    }

    // Modulation wheel pre-scan: channel 1 controller 1, the last one wins.
    for (const auto meta : midi)
    {
        // A data byte with its top bit set (a broken stream) must not push the
        // wheel past full.
        if (meta.numBytes >= 3 && meta.data[0] == 0xB0 && meta.data[1] == 1)
            engine->handleMidiMessage (meta.data[0], meta.data[1], (uint8_t) (meta.data[2] & 0x7F));
    }

    engine->masterLfo1.calculateBlock (numSamples);
    engine->masterLfo2.calculateBlock (numSamples);
    engine->modWheelLfo.calculateBlock (numSamples);

    {
        const juce::ScopedLock sl (synth.getSynthLock());
        applyPendingVoiceChanges();

        int start = 0;
        // On the wide path the voices render in twos: both up to the filter,
        // both filters together (four ladders side by side), then each one's
        // rest, adding to the output in the same order as one by one.
        const bool pairing = voicePairing.load (std::memory_order_relaxed) && vectorpath::useWide();
        auto renderSpan = [&] (int from, int length) {
            if (length <= 0)
                return;
            bool rendered = false;
            double window = synth.scopeWindow;
            TalvoraXLVoice* waiting = nullptr;   // a first voice between its steps
            auto finish = [&] (TalvoraXLVoice* voice) {
                voice->renderBack();
                window = 2.0 * voice->getOsc1PeriodSamples();
                rendered = true;
            };
            for (int v = synth.getNumVoices(); --v >= 0;)
            {
                auto* voice = dynamic_cast<TalvoraXLVoice*> (synth.getVoice (v));
                if (voice == nullptr || voice->getCurrentlyPlayingNote() == -1)
                    continue;
                if (! pairing)
                {
                    voice->renderNextBlock (buffer, from, length);
                    window = 2.0 * voice->getOsc1PeriodSamples();
                    rendered = true;
                    continue;
                }
                if (waiting != nullptr && ! voice->canRenderBeside (*waiting))
                {
                    finish (waiting);
                    waiting = nullptr;
                }
                voice->renderFront (buffer, from, length, waiting != nullptr);
                if (waiting == nullptr)
                {
                    waiting = voice;
                    continue;
                }
                TalvoraXLVoice::filterTogether (*waiting, *voice);
                finish (waiting);
                finish (voice);
                waiting = nullptr;
            }
            if (waiting != nullptr)
                finish (waiting);
            if (rendered)
                synth.scopeWindow = window;
        };

        for (const auto meta : midi)
        {
            if (meta.samplePosition < 0)
                continue;   // before this block: not handled
            const int pos = juce::jmin (numSamples, meta.samplePosition);
            if (pos > start)
            {
                renderSpan (start, pos - start);
                start = pos;
            }
            // Events at or past the block end are still handled, at the end,
            // as JUCE's own synthesiser does: a late note-off never hangs a note.
            synth.dispatchMidi (meta.data, meta.numBytes);
        }
        renderSpan (start, numSamples - start);
    }
    scopeWindow = synth.scopeWindow;

    runMasterChain (buffer, numSamples);

    auto* left = buffer.getWritePointer (0);
    auto* right = buffer.getWritePointer (1);
    applyVolumeAndPan (left, right, numSamples);
    clipCount += limiterLeft.process (left, numSamples);
    clipCount += limiterRight.process (right, numSamples);

    clipLamp += clipCount;
    clipCount = 0;
    capture (left, right, numSamples);
    if (clipLamp.load() > 0)
        clipLamp = juce::jmin (clipLamp.load(), 100) - 1;

    badBlock = false;
}

void BrevonAudioProcessor::runMasterChain (juce::AudioBuffer<float>& buffer, int numSamples)
{
    auto* left = buffer.getWritePointer (0);
    auto* right = buffer.getWritePointer (1);

    const bool stereo = TalvoraXLVoice::unisonCountFor (parameterValues[params::kUnison]) >= 2;
    if (stereo)
    {
        chorus.processStereo (left, right, numSamples);
        eqLeft.blockBasedWarmEq (left, numSamples);
        eqRight.blockBasedWarmEq (right, numSamples);
        saturatorLeft.blockBasedSaturate (left, numSamples);
        saturatorRight.blockBasedSaturate (right, numSamples);
    }
    else
    {
        // One unison copy: the voices wrote the left channel only.
        chorus.processMono (left, numSamples);
        eqLeft.blockBasedWarmEq (left, numSamples);
        saturatorLeft.blockBasedSaturate (left, numSamples);
        std::copy (left, left + numSamples, right);
    }

    echo.process (left, right, numSamples);
    if (reverb2Active.load() != 0)
        reverb2.blockMultiTapBasedReverb (left, right, numSamples);
    else
        reverb1.process (left, right, numSamples);
}

void BrevonAudioProcessor::applyVolumeAndPan (float* left, float* right, int numSamples) noexcept
{
    const float vol = (float) parameterValues[params::kVolume];
    const float pan = (float) parameterValues[params::kPanning];
    const float gainLeft = 2.0f * std::sqrt (1.0f - pan) * vol * vol;
    const float gainRight = 2.0f * std::sqrt (pan) * vol * vol;
    for (int i = 0; i < numSamples; ++i)
    {
        left[i] *= gainLeft;
        right[i] *= gainRight;
    }
}

void BrevonAudioProcessor::capture (const float* left, const float* right, int numSamples) noexcept
{
    int64_t pos = captureBlock.getPosition();
    for (int i = 0; i < numSamples; ++i)
    {
        pos = (pos + 1) % kCaptureRingSize;
        captureBlock.setSample (pos, left[i]);
    }
    captureBlock.setPosition (pos);

    float pl, pr;
    if (captureBlock.peakReset.exchange (false, std::memory_order_relaxed))
    {
        pl = std::abs (left[0]);
        pr = std::abs (right[0]);
    }
    else
    {
        pl = captureBlock.peakLeft.load (std::memory_order_relaxed);
        pr = captureBlock.peakRight.load (std::memory_order_relaxed);
    }
    for (int i = 0; i < numSamples; ++i)
    {
        pl = juce::jmax (pl, std::abs (left[i]));
        pr = juce::jmax (pr, std::abs (right[i]));
    }
    captureBlock.peakLeft.store (pl, std::memory_order_relaxed);
    captureBlock.peakRight.store (pr, std::memory_order_relaxed);
}

void BrevonAudioProcessor::deleteFinishedRetiredThreads()
{
    juce::Array<juce::Thread*> finished;
    {
        const juce::ScopedLock sl (retiredLock);
        for (int i = retiredThreads.size(); --i >= 0;)
            if (! retiredThreads.getUnchecked (i)->isThreadRunning())
                finished.add (retiredThreads.removeAndReturn (i));
        if (retiredThreads.isEmpty())
            retiredReaper.stopTimer();
    }
    for (auto* t : finished)
        delete t;
}

//==============================================================================
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new BrevonAudioProcessor();
}
