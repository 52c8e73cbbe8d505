#include "core/Talvora.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/UserPresentException.h"
#include "core/globalStuff.h"

namespace
{
// Engine names, at most 8 characters (51 is the one long name).
const char* namedParameter (int index) noexcept
{
    static const char* const names[] = {
        "decimate", "cutoff", "resonanc", "cut. env", "Glide", "amp atta", "amp deca", "amp sust",
        "amp rele", "filter a", "filter d", "filter s", "filter r", "Freq 1", "Levl 1", "nrOf osc",
        "pwm amou", "pwm spee", "shape mo", "Freq 2", "Levl 2", "nrOf osc", "pwm amou", "pwm spee",
        "shape mo", "Note shi", "osc 2 de", "echo amo", "echo mod", "echo ste", "reverb m", "reverb S",
        "reverb C", "Volume", "Panning", "Saturati", "Oscillos", "NotesMod", "filter t", "filter k",
        "Chorus m", "Chorus M", "Chorus r", "Chorus f", "voice sa", "warm eq ", "warm eq ", "warm eq ",
        "vel2vol", "filter e", "noise vo", "osc morph mode", "lfo 2 de", "lfo 2 ra",
    };
    if (index >= 0 && index <= 53)
        return names[index];
    if (index == 55)
        return "lfo 2 de";
    if (index == 64)
        return "lfo 1 ra";
    if (index == 85)
        return "overdriv";
    return nullptr;
}

void copyText (char* dest, const char* src, size_t maxChars)
{
    std::strncpy (dest, src, maxChars);
    dest[maxChars] = 0;
}

float clampUnit (float v) noexcept { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }
} // namespace

double Talvora::versionValue() noexcept
{
    return TALVORA_XL_VERSION.load (std::memory_order_relaxed) ? params::kVersionValue
                                                                 : params::kFirstInstanceVersionValue;
}

Talvora::Talvora()
{
    INSTANCES_RUNNING.fetch_add (1, std::memory_order_relaxed);

    performance.parameters = values;
    performance.pitchBendRatio = 1.0;

    writeDefaultsIntoProgram();

    waveStorage.assign ((size_t) kNumWaveBuffers * kWaveBufferSize, 0.0);
    for (int i = 0; i < kNumWaveBuffers; ++i)
        waveBuffers[i] = waveStorage.data() + (size_t) i * kWaveBufferSize;

    setProgram (0);

    initGlobalTables();
    if (globals[1] != 1.0) // shared by instances constructed on other threads
        globals[1] = 1.0;
    masterLfo1.setId (1);
    masterLfo2.setId (2);
    masterLfo1.setCapturedTable (waveBuffers[3]);
    masterLfo2.setCapturedTable (waveBuffers[3]);
    modWheelLfo.setRateHz (4.0);

    // Every instance starts with sine copies, so a fresh instance's state does
    // not depend on whether it happened to build the tables.
    for (int b = 0; b < kNumWaveBuffers; ++b)
        std::memcpy (waveBuffers[b], sineTable, sizeof (double) * kWaveBufferSize);

    performance.pitchBendRatio = 1.0;
    performance.modWheelAmount = 0.0;
    reset();

    // Defaults straight into the values, without the reactions of setParameter.
    for (int i = 0; i < params::kNumParameters; ++i)
        values[i] = params::defaultValue (i);
    values[params::kProgramVersion] = versionValue();
}

Talvora::~Talvora()
{
    INSTANCES_RUNNING.fetch_sub (1, std::memory_order_relaxed);
}

void Talvora::writeDefaultsIntoProgram()
{
    std::memset (&program, 0, sizeof (program));
    programCategoryMask = 0;
    for (int i = 0; i < params::kNumParameters; ++i)
        program.parameters[i] = (float) params::defaultValue (i);
    program.octaveRatio = 1.0f;
    program.octaveOffset = 0.0f;
    program.spare = 0.0f;
    program.parameters[params::kProgramVersion] = (float) versionValue();
}

void Talvora::setParameter (int index, float value)
{
    if (! params::isValidIndex (index) || ! std::isfinite (value))
        return;

    value = clampUnit (value);
    program.parameters[index] = value;
    values[index] = (double) value;
    updateDerived (index, value);
}

void Talvora::updateDerived (int index, float value)
{
    const double p = values[index];
    switch (index)
    {
        case params::kAmplitudeAttack:  performance.ampAttackCurve = std::pow (p, 0.03); break;
        case params::kAmplitudeDecay:   performance.ampDecayCurve = std::pow (p, 0.03); break;
        case params::kAmplitudeRelease: performance.ampReleaseCurve = std::pow (p, 0.03); break;
        case params::kFilterAttack:     performance.filterAttackCurve = std::pow (p, 0.03); break;
        case params::kFilterDecay:      performance.filterDecayCurve = std::pow (p, 0.03); break;
        case params::kFilterRelease:    performance.filterReleaseCurve = std::pow (p, 0.03); break;
        case params::kOsc2Coarse:       performance.coarseTune = params::semitones (p); break;
        case params::kOscilloscope:     performance.scopeValue = (int) (p * 4.0); break;
        case params::kVoiceMode:        performance.voiceMode = params::choiceIndex (p); break;
        case params::kFilterType:       performance.filterType = params::choiceIndexTruncated (value); break;
        case params::kLfo2Rate:         masterLfo2.setSpeed (value); break;
        case params::kLfo2Sync:         masterLfo2.setTempoSync (value > 0.0f); break;
        case params::kLfo1Sync:         masterLfo1.setTempoSync (value > 0.0f); break;
        case params::kLfo2Shape:        masterLfo2.setShape (params::choiceIndexTruncated (value)); break;
        case params::kLfo1Phase:        masterLfo1.setSyncPhaseFromOffset (value); break;
        case params::kLfo1Rate:         masterLfo1.setSpeed (value); break;
        case params::kLfo1Shape:        masterLfo1.setShape (params::choiceIndexTruncated (value)); break;
        case params::kLfo2Phase:        masterLfo2.setSyncPhaseFromOffset (value); break;
        case params::kOsc3Octave:
        {
            static const double ratios[] = { 0.25, 0.5, 1.0, 2.0, 4.0 };
            static const double offsets[] = { -24.0, -12.0, 0.0, 12.0, 24.0 };
            const int k = params::octaveStep (p);
            if (k >= 0 && k <= 4)
            {
                values[params::kOsc3OctaveRatio] = ratios[k];
                values[params::kOsc3OctaveOffset] = offsets[k];
            }
            break;
        }
        default: break;
    }
}

float Talvora::getParameter (int index) const noexcept
{
    return params::isValidIndex (index) ? (float) values[index] : 0.0f;
}

void Talvora::nameOf (int index, char* text)
{
    text[0] = 0;
    if (const char* name = namedParameter (index))
    {
        copyText (text, name, index == params::kOsc4MorphMode ? 30 : 8);
        return;
    }
    char buffer[32];
    std::snprintf (buffer, sizeof (buffer), "par %i", index);
    copyText (text, buffer, 7);
}

void Talvora::formatParameterDisplay (int index, double value, char* text)
{
    text[0] = 0;
    if (index < 0 || index >= params::kNumParameters)
        return;

    char buffer[64];
    const float f = (float) value;
    if ((index >= 0 && index <= 24) || (index >= 26 && index <= 35) || (index >= 38 && index <= 48))
    {
        std::snprintf (buffer, sizeof (buffer), "%f", (double) f);
        copyText (text, buffer, 7);
    }
    else if (index == params::kOsc2Coarse)
        std::snprintf (text, kTextSize, "%i", params::semitones (value));
    else if (index == 36 || index == 37)
        std::snprintf (text, kTextSize, "%i", (int) (value * 4.0));
    else if (index == 49)
        std::snprintf (text, kTextSize, "%i", (int) value);
    else
        std::snprintf (text, kTextSize, "%f", (double) f);
}

void Talvora::getParameterDisplay (int index, char* text) const
{
    formatParameterDisplay (index, params::isValidIndex (index) ? values[index].get() : 0.0, text);
}

void Talvora::getParameterLabel (int index, char* text) const
{
    if (index < 0)
        return;
    const char* label = "whatevve";
    if (index == 0)
        label = "Shape";
    else if (index == 13 || index == 19)
        label = "Hz";
    else if (index == 14 || index == 20 || index == 33)
        label = "dB";
    std::strcpy (text, label);
}

void Talvora::setProgram (int index)
{
    if (index != 0)
        return;
    currentProgram = 0;

    for (int b = 0; b < kNumWaveBuffers; ++b)
        for (int i = 0; i < kWaveBufferSize; ++i)
        {
            double& s = waveBuffers[b][i];
            s = std::isfinite (s) ? (s < -1.0 ? -1.0 : (s > 1.0 ? 1.0 : s)) : 0.0;
        }

    for (int p = 0; p < params::kNumParameters; ++p)
        setParameter (p, program.parameters[p]);
    reset();
}

void Talvora::setProgramName (const char* text)
{
    std::memset (program.name, 0, sizeof (program.name));
    copyText (program.name, text, program::kNameLength);
}

void Talvora::getProgramName (char* text) const
{
    std::memcpy (text, program.name, program::kNameLength);
    text[program::kNameLength] = 0;
}

bool Talvora::getProgramNameIndexed (int, int index, char* text) const
{
    if (index != 0)
        return false;
    getProgramName (text);
    return true;
}

void Talvora::setProgramComment (const char* text)
{
    std::memset (program.comment, 0, sizeof (program.comment));
    copyText (program.comment, text, program::kCommentLength);
}

int Talvora::getChunk (std::vector<uint8_t>& out)
{
    program.octaveRatio = (float) values[params::kOsc3OctaveRatio];
    program.octaveOffset = (float) values[params::kOsc3OctaveOffset];
    program.spare = 0.0f;

    // Everything written here must be accepted by setChunk again.
    for (int i = 0; i < params::kNumParameters; ++i)
    {
        const double v = values[i];
        program.parameters[i] = std::isfinite (v) ? clampUnit ((float) v) : (float) params::defaultValue (i);
    }
    program.parameters[params::kProgramVersion] = (float) versionValue();

    for (int i = 0; i < kWaveBufferSize; ++i)
    {
        const double s = waveBuffers[0][i];
        program.wave[i] = std::isfinite (s) ? (float) (s < -1.0 ? -1.0 : (s > 1.0 ? 1.0 : s)) : 0.0f;
    }
    program.name[sizeof (program.name) - 1] = 0;
    program.comment[sizeof (program.comment) - 1] = 0;

    out.resize (program::kRecordSize);
    program::toBytes (program, out.data());
    return (int) program::kRecordSize;
}

int Talvora::setChunk (const void* data, size_t size)
{
    if (size != program::kRecordSize || data == nullptr)
        throw UserPresentException ("wrong preset size");

    TalvoraProgram scratch;
    program::fromBytes (static_cast<const uint8_t*> (data), scratch);
    if (! program::isValid (scratch))
        return 0;

    scratch.name[sizeof (scratch.name) - 1] = 0;
    scratch.comment[sizeof (scratch.comment) - 1] = 0;
    program = scratch;

    // The captured waveform travels with the record.
    for (int i = 0; i < kWaveBufferSize; ++i)
        waveBuffers[0][i] = (double) program.wave[i];

    setProgram (0);
    return (int) size;
}

void Talvora::setWaveRows (const WaveRows& rows) noexcept
{
    static_assert (WaveRows::kNumRows == kNumWaveBuffers && WaveRows::kRowSize == kWaveBufferSize, "row layout");
    for (int b = 0; b < kNumWaveBuffers; ++b)
        std::memcpy (waveBuffers[b], rows.rows[b], sizeof (double) * kWaveBufferSize);
    for (int i = 0; i < kWaveBufferSize; ++i)
    {
        const double s = rows.rows[0][i];
        program.wave[i] = std::isfinite (s) ? (float) (s < -1.0 ? -1.0 : (s > 1.0 ? 1.0 : s)) : 0.0f;
    }
}

void Talvora::setSampleRate (double rate)
{
    setGlobalSampleRate (rate);
    modWheelLfo.setRateHz (2.0 * performance.modWheelAmount + 4.0);
}

void Talvora::prepare (double sampleRate, int maximumBlockSize)
{
    setSampleRate (sampleRate);
    for (auto* lfo : { &masterLfo1, &masterLfo2, &modWheelLfo })
        lfo->prepare (sampleRate, maximumBlockSize);
    // Rates are kept in cycles per sample: recompute them for the new rate.
    masterLfo1.setSpeed (values[params::kLfo1Rate]);
    masterLfo2.setSpeed (values[params::kLfo2Rate]);
    modWheelLfo.setRateHz (2.0 * performance.modWheelAmount + 4.0);
}

void Talvora::reset()
{
    for (auto* lfo : { &masterLfo1, &masterLfo2, &modWheelLfo })
        lfo->reset();
}

void Talvora::handleMidiMessage (uint8_t status, uint8_t data1, uint8_t data2) noexcept
{
    if ((status & 0xF0) == 0xE0)
    {
        if (data2 == 64)
        {
            performance.pitchBendRatio = 1.0;
            return;
        }
        const double range = values[params::kPitchBendRange] * 100.0 + 1.0;
        const double x = data2 < 64 ? (data2 - 64) / 64.0 : (data2 - 64) / 63.0;
        performance.pitchBendRatio = std::pow (2.0, range * x / 12.0);
    }
    else if ((status & 0xF0) == 0xB0 && data1 == 1)
    {
        const double v = data2 / 127.0;
        performance.modWheelAmount = v * v;
        modWheelLfo.setRateHz (2.0 * v * v + 4.0);
    }
}
