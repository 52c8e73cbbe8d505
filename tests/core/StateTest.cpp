// Host state: the program record saved and restored through the processor,
// and everything a damaged or hostile blob must not do.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "core/PluginProcessor.h"
#include "core/TalvoraProgram.h"

namespace
{
juce::MemoryBlock saveState (BrevonAudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    return block;
}

std::vector<float> allParameters (BrevonAudioProcessor& p)
{
    std::vector<float> v;
    for (int i = 0; i < params::kNumParameters; ++i)
        v.push_back (p.getParameter (i));
    return v;
}

// Reads the record's float at a byte offset (little-endian).
float floatAt (const juce::MemoryBlock& block, size_t offset)
{
    const auto* b = static_cast<const uint8_t*> (block.getData()) + offset;
    const uint32_t bits = (uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) | ((uint32_t) b[3] << 24);
    float f;
    std::memcpy (&f, &bits, 4);
    return f;
}

void putFloatAt (juce::MemoryBlock& block, size_t offset, float f)
{
    uint32_t bits;
    std::memcpy (&bits, &f, 4);
    auto* b = static_cast<uint8_t*> (block.getData()) + offset;
    for (int i = 0; i < 4; ++i)
        b[i] = (uint8_t) (bits >> (8 * i));
}

// A record that differs from the defaults everywhere it can.
juce::MemoryBlock customRecord (BrevonAudioProcessor& p)
{
    auto block = saveState (p);
    for (int i = 0; i < params::kNumParameters; ++i)
        putFloatAt (block, (size_t) i * 4, (float) ((i * 37) % 101) / 100.0f);
    for (int i = 0; i < 4096; ++i)
        putFloatAt (block, offsetof (TalvoraProgram, wave) + (size_t) i * 4, std::sin (i * 0.01f) * 0.75f);
    auto* bytes = static_cast<char*> (block.getData());
    std::memset (bytes + offsetof (TalvoraProgram, name), 0, 25);
    std::strcpy (bytes + offsetof (TalvoraProgram, name), "Glass Pad");
    std::memset (bytes + offsetof (TalvoraProgram, comment), 0, 257);
    std::strcpy (bytes + offsetof (TalvoraProgram, comment), "Slow attack, caf\xe9 strings");
    return block;
}
} // namespace

TEST (State, IsOneProgramRecordThatRoundTripsByteForByte)
{
    BrevonAudioProcessor a;
    const auto fresh = saveState (a);
    ASSERT_EQ (fresh.getSize(), 23758u);

    // Defaults land in the record as float32.
    EXPECT_FLOAT_EQ (floatAt (fresh, 1 * 4), 0.5f);
    EXPECT_FLOAT_EQ (floatAt (fresh, 71 * 4), 0.11f);
    EXPECT_FLOAT_EQ (floatAt (fresh, 771 * 4), 0.0103f);
    EXPECT_FLOAT_EQ (floatAt (fresh, 0x1BA8), 1.0f);

    const auto custom = customRecord (a);
    a.setStateInformation (custom.getData(), (int) custom.getSize());
    const auto saved = saveState (a);

    BrevonAudioProcessor b;
    b.setStateInformation (saved.getData(), (int) saved.getSize());
    const auto again = saveState (b);
    ASSERT_EQ (again.getSize(), 23758u);
    EXPECT_TRUE (again == saved);

    // The wave, the name and the comment travel with the record.
    const auto* bytes = static_cast<const char*> (again.getData());
    EXPECT_STREQ (bytes + offsetof (TalvoraProgram, name), "Glass Pad");
    EXPECT_STREQ (bytes + offsetof (TalvoraProgram, comment), "Slow attack, caf\xe9 strings");
    EXPECT_FLOAT_EQ (floatAt (again, offsetof (TalvoraProgram, wave) + 100 * 4), std::sin (1.0f) * 0.75f);
    EXPECT_FLOAT_EQ (b.getParameter (40), (float) ((40 * 37) % 101) / 100.0f);
}

TEST (State, DamagedBlobsAreRefusedWhole)
{
    BrevonAudioProcessor p;
    const auto custom = customRecord (p);
    p.setStateInformation (custom.getData(), (int) custom.getSize());
    const auto good = saveState (p);
    const auto before = allParameters (p);

    auto expectUnchanged = [&] (const juce::MemoryBlock& blob, const char* what) {
        EXPECT_NO_THROW (p.setStateInformation (blob.getData(), (int) blob.getSize())) << what;
        EXPECT_EQ (allParameters (p), before) << what;
        EXPECT_TRUE (saveState (p) == good) << what;
    };

    expectUnchanged (juce::MemoryBlock (good.getData(), 23757), "one byte short");
    juce::MemoryBlock longer (good);
    longer.append ("x", 1);
    expectUnchanged (longer, "one byte long");

    p.setStateInformation (nullptr, 0);
    p.setStateInformation (good.getData(), 0);
    EXPECT_TRUE (saveState (p) == good);

    auto withFloat = [&] (size_t offset, float value) {
        auto blob = good;
        putFloatAt (blob, offset, value);
        return blob;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (float value : { 1.0000001f, -0.0000001f, nan, inf })
        expectUnchanged (withFloat (5 * 4, value), "parameter out of range");
    for (float offset : { 11.9f, 25.0f, -36.0f, 1.0e10f, nan })
        expectUnchanged (withFloat (0x1BAC, offset), "octave offset");
    for (float sample : { 1.5f, inf })
        expectUnchanged (withFloat (offsetof (TalvoraProgram, wave) + 7 * 4, sample), "wave sample");
    expectUnchanged (withFloat (0x1BA8, nan), "octave ratio not finite");
}

TEST (State, BoundaryValuesAreAccepted)
{
    BrevonAudioProcessor p;
    auto blob = saveState (p);
    for (int i = 0; i < params::kNumParameters; ++i)
        putFloatAt (blob, (size_t) i * 4, (i % 2) == 0 ? 0.0f : 1.0f);
    putFloatAt (blob, 0x1BAC, 12.7f); // the integer part counts
    p.setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_EQ (p.getParameter (1), 1.0f);
    EXPECT_EQ (p.getParameter (2), 0.0f);

    // An octave setting of 1.0 is the top step: +24 semitones.
    EXPECT_EQ (p.getParameterValues()[params::kOsc3OctaveOffset], 24.0);
    EXPECT_EQ (p.getParameterValues()[params::kOsc3OctaveRatio], 4.0);
}

TEST (State, SavedStateIsAlwaysLoadable)
{
    // Values that slipped outside [0, 1] are clamped when saved.
    BrevonAudioProcessor p;
    p.getParameterValues()[3] = 1.5;
    p.getParameterValues()[4] = -0.25;
    p.getEngine()->getWaveBuffer (0)[9] = 3.0;
    const auto blob = saveState (p);
    EXPECT_FLOAT_EQ (floatAt (blob, 3 * 4), 1.0f);
    EXPECT_FLOAT_EQ (floatAt (blob, 4 * 4), 0.0f);

    BrevonAudioProcessor q;
    q.setParameter (3, 0.125f);
    q.setStateInformation (blob.getData(), (int) blob.getSize());
    EXPECT_EQ (q.getParameter (3), 1.0f);
    EXPECT_TRUE (saveState (q) == blob);
}
