#include "core/TalvoraSynthesiser.h"

#include "dsp/TalvoraXLVoice.h"

TalvoraSynthesiser::TalvoraSynthesiser() = default;

void TalvoraSynthesiser::startMonoVoice (int channel, int note, float velocity)
{
    if (getNumVoices() <= kMonoVoice)
        return;

    auto* voice = dynamic_cast<TalvoraXLVoice*> (getVoice (kMonoVoice));
    for (int s = getNumSounds(); --s >= 0;)
    {
        // startVoice stops a voice that still holds a note; the flag turns that
        // stop into nothing so the voice takes its legato path instead.
        if (voice != nullptr)
            voice->skipNextStop = true;
        startVoice (getVoice (kMonoVoice), getSound (s).get(), channel, note, velocity);
        if (voice != nullptr)
            voice->skipNextStop = false;
    }
}

void TalvoraSynthesiser::noteOn (int midiChannel, int midiNoteNumber, float velocity)
{
    if (midiNoteNumber < 0 || midiNoteNumber > 127 || parametersStruct == nullptr)
        return;

    // Held keys are tracked in every mode, so switching to mono mid-phrase
    // falls back to keys that are really held.
    {
        const juce::ScopedLock sl (lock);
        auto& key = held[midiNoteNumber];
        key.held = true;
        key.order = ++pressCounter;
        key.channel = midiChannel;
        key.velocity = velocity;
    }

    switch (parametersStruct->voiceMode)
    {
        case 0:
            juce::Synthesiser::noteOn (midiChannel, midiNoteNumber, velocity);
            break;

        case 1:
            for (int i = getNumVoices(); --i >= 0;)
                getVoice (i)->stopNote (0.0f, true);
            juce::Synthesiser::noteOn (midiChannel, midiNoteNumber, velocity);
            break;

        case 2:
        {
            const juce::ScopedLock sl (lock);
            startMonoVoice (midiChannel, midiNoteNumber, velocity);
            break;
        }

        default:
            break;
    }
}

void TalvoraSynthesiser::noteOff (int midiChannel, int midiNoteNumber, float velocity, bool allowTailOff)
{
    const juce::ScopedLock sl (lock);
    if (midiNoteNumber >= 0 && midiNoteNumber <= 127)
        held[midiNoteNumber] = HeldKey();

    const int mode = parametersStruct != nullptr ? parametersStruct->voiceMode : 0;
    if (mode <= 1)
    {
        juce::Synthesiser::noteOff (midiChannel, midiNoteNumber, velocity, allowTailOff);
        return;
    }

    int latest = -1;
    for (int n = 0; n < 128; ++n)
        if (held[n].held && (latest < 0 || held[n].order > held[latest].order))
            latest = n;

    if (getNumVoices() <= kMonoVoice)
        return;

    if (latest < 0)
    {
        auto* voice = getVoice (kMonoVoice);
        const int sounding = voice->getCurrentlyPlayingNote();
        if (sounding < 0)
            return;
        // Release on the channel the voice plays, which may differ from the
        // channel of the key that was released last.
        int channel = midiChannel;
        for (int c = 1; c <= 16; ++c)
            if (voice->isPlayingChannel (c))
                channel = c;
        juce::Synthesiser::noteOff (channel, sounding, velocity, allowTailOff);
        return;
    }

    // Glide back to the most recent key still held, with its own channel and velocity.
    startMonoVoice (held[latest].channel, latest, held[latest].velocity);
}

void TalvoraSynthesiser::dispatchMidi (const juce::uint8* data, int size)
{
    if (data == nullptr || size < 1 || size > 3)
        return;

    const int status = data[0] & 0xF0;
    const int channel = (data[0] & 0x0F) + 1;
    const int d1 = size > 1 ? data[1] & 0x7F : 0;
    const int d2 = size > 2 ? data[2] & 0x7F : 0;

    switch (status)
    {
        case 0x90:
            if (d2 > 0)
                noteOn (channel, d1, (float) d2 / 127.0f);
            else
                noteOff (channel, d1, 0.0f, true);
            break;
        case 0x80:
            noteOff (channel, d1, 0.0f, true);
            break;
        case 0xB0:
            if (d1 == 123 || d1 == 120)
                allNotesOff (channel, true);
            else
                handleController (channel, d1, d2);
            break;
        case 0xE0:
        {
            const int value = d1 + 128 * d2;
            lastPitchWheelValues[channel - 1] = value;
            handlePitchWheel (channel, value);
            break;
        }
        default:
            break;
    }
}
