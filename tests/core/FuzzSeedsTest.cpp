// Seed corpora for the fuzz targets, made here and checked here: each seed is
// built for a purpose (a valid record, a damaged one, a chord, a glide, a
// drawn wave) and this test proves it serves it. With TALVORA_FUZZ_SEEDS set
// the seeds are written into that folder (state/, midi/, points/) for the
// fuzzers; otherwise into a temporary folder that is removed again.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "core/TalvoraProgram.h"
#include "dsp/SplineOscillatorMisc.h"
#include "fuzz/FuzzFormats.h"
#include "support/PluginPlayer.h"

namespace
{
using Bytes = std::vector<uint8_t>;

class SeedFolder
{
public:
    explicit SeedFolder (const char* kind)
    {
        if (const char* where = std::getenv ("TALVORA_FUZZ_SEEDS"); where != nullptr && *where != 0)
            root = juce::File (where);
        else
        {
            temporary = std::make_unique<juce::TemporaryFile>();
            root = temporary->getFile();
        }
        // Made afresh each run: a fuzzer run adds its own finds to this folder.
        folder = root.getChildFile (kind);
        folder.deleteRecursively();
        folder.createDirectory();
    }

    ~SeedFolder()
    {
        if (temporary != nullptr)
            root.deleteRecursively();
    }

    void write (const juce::String& name, const Bytes& bytes)
    {
        const auto file = folder.getChildFile (name);
        ASSERT_TRUE (file.replaceWithData (bytes.data(), bytes.size())) << file.getFullPathName();
    }

    int count() const { return folder.getNumberOfChildFiles (juce::File::findFiles); }

private:
    std::unique_ptr<juce::TemporaryFile> temporary;
    juce::File root, folder;
};

Bytes stateOf (BrevonAudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    const auto* b = static_cast<const uint8_t*> (block.getData());
    return Bytes (b, b + block.getSize());
}

void putFloat (Bytes& record, size_t offset, float f)
{
    uint32_t bits;
    std::memcpy (&bits, &f, 4);
    for (int i = 0; i < 4; ++i)
        record[offset + (size_t) i] = (uint8_t) (bits >> (8 * i));
}

// A valid record whose parameters and wave samples come from the two generators.
template <typename Parameter, typename Sample>
Bytes recordOf (const Bytes& base, Parameter parameter, Sample sample)
{
    Bytes r = base;
    for (int i = 0; i < params::kNumParameters; ++i)
        putFloat (r, (size_t) i * 4, parameter());
    for (int i = 0; i < 4096; ++i)
        putFloat (r, offsetof (TalvoraProgram, wave) + (size_t) i * 4, sample());
    return r;
}

fuzzformat::MidiStreamWriter::Event event (int position, const juce::MidiMessage& m)
{
    fuzzformat::MidiStreamWriter::Event e { position, { 0, 0, 0 } };
    std::memcpy (e.raw, m.getRawData(), (size_t) std::min (3, m.getRawDataSize()));
    return e;
}

juce::MidiMessage on (int note, int velocity = 100) { return juce::MidiMessage::noteOn (1, note, (juce::uint8) velocity); }
juce::MidiMessage off (int note) { return juce::MidiMessage::noteOff (1, note); }
} // namespace

TEST (FuzzSeeds, StateSeedsLoadOrAreRefusedAsIntended)
{
    SeedFolder seeds ("state");
    BrevonAudioProcessor p;
    const Bytes defaults = stateOf (p);
    ASSERT_EQ (defaults.size(), program::kRecordSize);

    std::vector<std::pair<juce::String, Bytes>> valid = {
        { "defaults", defaults },
        { "all-zero", recordOf (defaults, [] { return 0.0f; }, [] { return -1.0f; }) },
        { "all-one", recordOf (defaults, [] { return 1.0f; }, [] { return 1.0f; }) },
    };
    for (unsigned seed = 1; seed <= 4; ++seed)
    {
        std::mt19937 rng (seed);
        std::uniform_real_distribution<float> unit (0.0f, 1.0f), sample (-1.0f, 1.0f);
        valid.push_back ({ "random-" + juce::String (seed), recordOf (defaults, [&] { return unit (rng); }, [&] { return sample (rng); }) });
    }

    for (const auto& [name, record] : valid)
    {
        p.setStateInformation (record.data(), (int) record.size());
        const Bytes loaded = stateOf (p);
        for (int i = 0; i < params::kNumParameters; ++i)
            if (i != params::kProgramVersion)
                ASSERT_EQ (std::memcmp (loaded.data() + 4 * i, record.data() + 4 * i, 4), 0) << name << ", parameter " << i;
        seeds.write (name + ".state", record);
    }

    // Damaged ones: each refused whole, the loaded record stays.
    const Bytes current = stateOf (p);
    auto damaged = [&] (size_t offset, float value) {
        Bytes r = defaults;
        putFloat (r, offset, value);
        return r;
    };
    const std::vector<std::pair<juce::String, Bytes>> invalid = {
        { "short", Bytes (defaults.begin(), defaults.end() - 1) },
        { "long", [&] { Bytes r = defaults; r.push_back (0); return r; }() },
        { "nan-parameter", damaged (4 * params::kCutoff, std::numeric_limits<float>::quiet_NaN()) },
        { "parameter-above-one", damaged (4 * params::kOsc4PointsFirst, 1.0000001f) },
        { "negative-parameter", damaged (4 * params::kUnison, -0.01f) },
        { "octave-offset-13", damaged (offsetof (TalvoraProgram, octaveOffset), 13.0f) },
        { "infinite-sample", damaged (offsetof (TalvoraProgram, wave) + 400, std::numeric_limits<float>::infinity()) },
        { "sample-above-one", damaged (offsetof (TalvoraProgram, wave), 1.5f) },
    };
    for (const auto& [name, record] : invalid)
    {
        p.setStateInformation (record.data(), (int) record.size());
        ASSERT_EQ (stateOf (p), current) << name;
        seeds.write (name + ".state", record);
    }

    EXPECT_EQ (seeds.count(), (int) (valid.size() + invalid.size()));
}

TEST (FuzzSeeds, MidiSeedsDecodeToTheirEventsAndPlay)
{
    using fuzzformat::MidiStreamWriter;
    SeedFolder seeds ("midi");

    std::vector<std::pair<juce::String, MidiStreamWriter>> streams;
    {
        MidiStreamWriter w (1, 0, 0);
        w.block (2, { event (0, on (48)), event (0, on (52)), event (0, on (55)), event (0, on (127, 127)) });
        for (int b = 0; b < 6; ++b)
            w.block (6, {});
        w.block (5, { event (100, off (48)), event (100, off (52)), event (250, on (55, 0)), event (255, off (127)) });
        w.block (6, {});
        streams.push_back ({ "chord", w });
    }
    {
        MidiStreamWriter w (2, 2, 1, 120);  // mono with glide, two unison copies, 96 kHz
        w.block (3, { event (0, on (40)), event (125, on (64)) });
        w.block (6, { event (10, juce::MidiMessage::pitchWheel (1, 0)), event (200, juce::MidiMessage::pitchWheel (1, 16383)) });
        w.block (4, { event (0, off (64)), event (250, juce::MidiMessage::controllerEvent (1, 1, 127)) });
        w.block (6, { event (0, juce::MidiMessage::allNotesOff (1)) });
        streams.push_back ({ "mono-glide-bend", w });
    }
    {
        MidiStreamWriter w (3, 1, 2);        // retrigger, four copies, 192 kHz, tiny blocks
        for (int b = 0; b < 24; ++b)
            w.block (b % 2, { event (b % 2 == 0 ? 0 : 251, on (20 + 4 * b)) });
        w.block (7, { event (0, juce::MidiMessage::allSoundOff (1)) });
        streams.push_back ({ "retrigger-tiny-blocks", w });
    }
    {
        MidiStreamWriter w (0, 0, 0);        // 22.05 kHz, running status and stray system bytes
        w.block (2, { event (0, on (60)), { 5, { 0x3C, 0x40, 0x00 } }, { 6, { 0xF8, 0x00, 0x00 } }, { 7, { 0xF0, 0x7E, 0xF7 } },
                      event (9, juce::MidiMessage::channelPressureChange (1, 90)) });
        w.block (6, {});
        streams.push_back ({ "stray-bytes", w });
    }

    for (const auto& [name, writer] : streams)
    {
        // The reader sees the blocks and events that were written.
        fuzzformat::MidiStreamReader reader (writer.bytes.data(), writer.bytes.size());
        const auto settings = reader.settings();
        EXPECT_EQ (settings.sampleRate, fuzzformat::kSampleRates[writer.bytes[0]]) << name;
        juce::MidiBuffer midi;
        int blocks = 0, events = 0;
        int64_t samples = 0;
        while (const int n = reader.nextBlock (midi))
        {
            ++blocks;
            samples += n;
            for (const auto m : midi)
            {
                EXPECT_GE (m.samplePosition, 0);
                EXPECT_LE (m.samplePosition, n + 4);
                ++events;
            }
        }
        EXPECT_GT (blocks, 0) << name;
        EXPECT_GT (events, 0) << name;
        seeds.write (name + ".midi", writer.bytes);
    }

    // The chord seed, played as the fuzzer plays it, sounds and stays finite.
    const auto& chord = streams[0].second.bytes;
    fuzzformat::MidiStreamReader reader (chord.data(), chord.size());
    const auto settings = reader.settings();
    PluginPlayer player (settings.sampleRate, 8192);
    player.warmUp();
    juce::AudioBuffer<float> buffer (2, 8192);
    juce::MidiBuffer midi;
    float peak = 0.0f;
    while (const int n = reader.nextBlock (midi))
    {
        buffer.setSize (2, n, false, false, true);
        player.renderBlock (buffer, midi);
        EXPECT_TRUE (allFinite (buffer));
        peak = std::max (peak, buffer.getMagnitude (0, n));
    }
    EXPECT_GT (peak, 0.01f);
}

TEST (FuzzSeeds, PointSeedsHoldTheDrawnChains)
{
    SeedFolder seeds ("points");

    auto point = [] (SplinePointType type, double x, double y) {
        SplineOscillatorPoint p;
        p.type = type;
        p.width = p.height = 1.0;
        for (int pair = 0; pair < 3; ++pair)
        {
            p.x[pair] = x;
            p.y[pair] = y;
        }
        return p;
    };

    std::vector<std::pair<juce::String, std::vector<SplineOscillatorPoint>>> chains;
    chains.push_back ({ "ramp", { point (splineStart, 0.0, 0.1), point (splineLinear, 0.5, 0.5), point (splineLinear, 1.0, 0.9) } });
    chains.push_back ({ "square", { point (splineStart, 0.0, 0.9), point (splineLinear, 0.5, 0.9), point (splineLinear, 0.5, 0.1),
                                    point (splineLinear, 1.0, 0.1) } });
    {
        std::vector<SplineOscillatorPoint> curve { point (splineStart, 0.0, 0.5) };
        for (int k = 1; k < 16; ++k)
        {
            auto p = point (k % 3 == 0 ? splineCubic : (k % 3 == 1 ? splineQuadratic : splineLinear), k / 15.0,
                            0.5 + 0.45 * std::sin (k * 0.7));
            p.x[1] = (k - 0.5) / 15.0;
            p.y[1] = 0.5 + 0.45 * std::cos (k * 1.3);
            p.x[2] = (k - 0.25) / 15.0;
            p.y[2] = 0.5 - 0.4 * std::sin (k * 2.1);
            curve.push_back (p);
        }
        chains.push_back ({ "sixteen-curved", curve });
    }
    {
        // Every point modulated: sources and shapes across their ranges.
        std::vector<SplineOscillatorPoint> moving { point (splineStart, 0.0, 0.5) };
        for (int k = 1; k <= 8; ++k)
        {
            auto p = point (splineLinear, k / 8.0, k % 2 == 0 ? 0.8 : 0.2);
            for (int s = 0; s < 3; ++s)
            {
                p.slots[s].direction = 1 + (k + s) % 2;
                p.slots[s].source = (k + 3 * s) % 9;
                p.slots[s].shape = (2 * k + s) % 9;
                p.slots[s].depth = 0.3;
                p.slots[s].speed = 0.1 * (s + 1);
            }
            moving.push_back (p);
        }
        chains.push_back ({ "modulated", moving });
    }

    for (auto& [name, chain] : chains)
    {
        std::vector<double> values ((size_t) params::kNumParameters, 0.0);
        ASSERT_TRUE (Osc4Codec::encodePoints (chain.data(), (int) chain.size(), values.data())) << name;

        // Stored values a host could send back, and the chain reads back whole.
        Bytes bytes;
        for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        {
            ASSERT_TRUE (values[(size_t) i] >= 0.0 && values[(size_t) i] <= 1.0) << name << ", parameter " << i;
            fuzzformat::appendFloat (bytes, (float) values[(size_t) i]);
        }
        ASSERT_EQ (bytes.size(), fuzzformat::kPointBlockBytes);

        SplineOscillatorPoint decoded[16];
        EXPECT_EQ (Osc4Codec::decodePoints (values.data(), 1.0, 1.0, decoded, 16), (int) chain.size()) << name;

        bytes.insert (bytes.end(), { 60, 0, 64, 24 }); // note 60, one copy, wheel centred, no transpose
        const auto settings = fuzzformat::pointSettings (bytes.data(), bytes.size());
        EXPECT_EQ (settings.note, 60);
        EXPECT_EQ (settings.pitchWheel, 8192);
        seeds.write (name + ".points", bytes);
    }
}
