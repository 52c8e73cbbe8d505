#pragma once

// How the fuzz targets read their input bytes. The seed-corpus test writes
// its seeds with the same code, so every seed means what it was made to mean.

#include <JuceHeader.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/parameters.h"

namespace fuzzformat
{
//==============================================================================
// MIDI stream: a settings header, then blocks.
//   header:  rate (0..3 -> 22.05, 44.1, 96, 192 kHz), voice mode, unison, glide
//   block:   size byte (low 3 bits pick the block size, the rest the event count)
//            then per event: position byte, then three raw MIDI bytes exactly
//            as a host hands them over (status bytes below 0x80 are dropped
//            by the buffer, as a host's would).
// A position byte up to 250 scales into the block; 251 to 255 put the event at
// or past the block end, which hosts do.
constexpr int kBlockSizes[] = { 1, 7, 255, 257, 263, 519, 4096, 8192 };
constexpr double kSampleRates[] = { 22050.0, 44100.0, 96000.0, 192000.0 };
constexpr int kHeaderSize = 4;
constexpr int kMaxBlocks = 48;
constexpr int64_t kMaxSamples = 32768; // per input, so that runs stay short

struct MidiSettings
{
    double sampleRate = 44100.0;
    int voiceMode = 0;   // 0 poly, 1 retrigger, 2 mono
    int unison = 0;      // choice 0, 1, 2
    float glide = 0.1f;
};

class MidiStreamReader
{
public:
    MidiStreamReader (const uint8_t* d, size_t n) : data (d), size (n) {}

    MidiSettings settings()
    {
        MidiSettings s;
        s.sampleRate = kSampleRates[next() & 3];
        s.voiceMode = next() % 3;
        s.unison = next() % 3;
        s.glide = next() / 255.0f;
        return s;
    }

    // Fills the next block's MIDI and returns its size; 0 when the input is used up.
    int nextBlock (juce::MidiBuffer& midi)
    {
        midi.clear();
        if (pos >= size || blocks >= kMaxBlocks || samples >= kMaxSamples)
            return 0;
        ++blocks;
        const int h = next();
        const int n = kBlockSizes[h & 7];
        samples += n;
        const int events = h >> 3;
        for (int e = 0; e < events && pos + 4 <= size; ++e)
        {
            const int p = next();
            const int at = p <= 250 ? (int) ((int64_t) p * (n - 1) / 250) : n + (p - 251);
            uint8_t bytes[3] = { (uint8_t) next(), (uint8_t) next(), (uint8_t) next() };
            midi.addEvent (bytes, 3, at);
        }
        return n;
    }

private:
    int next() { return pos < size ? data[pos++] : 0; }

    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    int blocks = 0;
    int64_t samples = 0;
};

class MidiStreamWriter
{
public:
    explicit MidiStreamWriter (int rateIndex = 1, int voiceMode = 0, int unison = 0, int glide = 25)
    {
        bytes = { (uint8_t) rateIndex, (uint8_t) voiceMode, (uint8_t) unison, (uint8_t) glide };
    }

    struct Event
    {
        int position;      // 0..255 as described above
        uint8_t raw[3];
    };

    void block (int sizeIndex, const std::vector<Event>& events)
    {
        jassert (events.size() < 32);
        bytes.push_back ((uint8_t) ((sizeIndex & 7) | ((int) events.size() << 3)));
        for (const auto& e : events)
        {
            bytes.push_back ((uint8_t) e.position);
            bytes.insert (bytes.end(), e.raw, e.raw + 3);
        }
    }

    std::vector<uint8_t> bytes;
};

//==============================================================================
// Oscillator-4 point block: 480 little-endian float32 values for parameters
// 90 to 569, each handed over as host automation would be (non-finite values
// are ignored, others clamped into [0, 1]). Optional trailing bytes: note,
// unison choice, pitch-wheel high byte, oscillator-4 coarse tune.
constexpr int kPointValues = params::kOsc4PointsLast - params::kOsc4PointsFirst + 1;
constexpr size_t kPointBlockBytes = (size_t) kPointValues * 4;

inline float floatAt (const uint8_t* p) noexcept
{
    const uint32_t bits = (uint32_t) p[0] | ((uint32_t) p[1] << 8) | ((uint32_t) p[2] << 16) | ((uint32_t) p[3] << 24);
    float f;
    std::memcpy (&f, &bits, 4);
    return f;
}

inline void appendFloat (std::vector<uint8_t>& out, float f)
{
    uint32_t bits;
    std::memcpy (&bits, &f, 4);
    for (int i = 0; i < 4; ++i)
        out.push_back ((uint8_t) (bits >> (8 * i)));
}

struct PointSettings
{
    int note = 60;
    int unison = 0;
    int pitchWheel = 8192;
    float coarse = 0.5f;
};

inline PointSettings pointSettings (const uint8_t* data, size_t size)
{
    PointSettings s;
    const auto at = [&] (size_t k) { return kPointBlockBytes + k < size ? (int) data[kPointBlockBytes + k] : -1; };
    if (at (0) >= 0) s.note = at (0) & 127;
    if (at (1) >= 0) s.unison = at (1) % 3;
    if (at (2) >= 0) s.pitchWheel = (at (2) & 127) << 7;
    if (at (3) >= 0) s.coarse = (float) (at (3) % 49) / 48.0f;
    return s;
}
} // namespace fuzzformat
