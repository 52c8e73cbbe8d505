// The voice measured through the processor, one behaviour at a time, each
// from a patch that isolates it: oscillator shapes by harmonic projection,
// pitch by zero crossings, levels by RMS, and settings that must sound alike
// compared with each other.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "RenderScenarios.h"
#include "support/PluginPlayer.h"

namespace
{
constexpr double kRate = 44000.0;   // 220 Hz is exactly 200 samples
constexpr double kPi = 3.141592653589793;
constexpr int kA = 69;              // plays table note 57: 220 Hz

juce::MidiMessage on (int note, int velocity = 127) { return juce::MidiMessage::noteOn (1, note, (juce::uint8) velocity); }
juce::MidiMessage off (int note) { return juce::MidiMessage::noteOff (1, note); }

// One plain voice: oscillator 1 only, a sine, no filter, no effects, one
// unison copy, instant attack, full sustain, velocity ignored.
struct Rig
{
    PluginPlayer player;

    explicit Rig (double rate = kRate) : player (rate, 512)
    {
        const std::pair<int, double> plain[] = {
            { params::kOsc1Volume, 1.0 }, { params::kOsc2Volume, 0.0 }, { params::kOsc3Volume, 0.0 },
            { params::kOsc4Volume, 0.0 }, { params::kNoiseVolume, 0.0 }, { params::kOsc1Shape, 0.0 },
            { params::kOsc1Stack, 0.0 }, { params::kOsc1Detune, 0.0 }, { params::kOsc1PwmAmount, 0.0 },
            { params::kOsc2Fine, 0.5 }, { params::kFilterType, 0.06 }, { params::kVoiceSaturation, 0.0 },
            { params::kAmplitudeAttack, 0.0 }, { params::kAmplitudeSustain, 1.0 }, { params::kGlide, 0.0 },
            { params::kUnison, 0.0 }, { params::kDecimate, 0.0 }, { params::kEchoMix, 0.0 },
            { params::kReverbMix, 0.0 }, { params::kChorusMix, 0.0 }, { params::kSaturation, 0.0 },
            { params::kVelocitySensitivity, 0.0 }, { params::kOsc4MorphMode, 0.0 },
        };
        for (auto [index, value] : plain)
            set (index, value);
        player.warmUp();
    }

    void set (int index, double value) { player.processor().setParameter (index, (float) value); }

    juce::AudioBuffer<float> hold (double seconds, int note = kA, int velocity = 127)
    {
        return player.play ((int64_t) (seconds * player.sampleRate), { { 0, on (note, velocity) } });
    }
};

// Amplitude of the component at f over n samples from `from`.
double component (const juce::AudioBuffer<float>& b, int from, int n, double f, double rate, int channel = 0)
{
    double s = 0.0, c = 0.0;
    const float* x = b.getReadPointer (channel, from);
    for (int i = 0; i < n; ++i)
    {
        s += x[i] * std::sin (2.0 * kPi * f * i / rate);
        c += x[i] * std::cos (2.0 * kPi * f * i / rate);
    }
    return 2.0 * std::sqrt (s * s + c * c) / n;
}

// Harmonics 1 to 5 of a steady 220 Hz tone, 40 whole periods after 0.2 s.
std::vector<double> harmonics (const juce::AudioBuffer<float>& b)
{
    std::vector<double> h;
    for (int k = 1; k <= 5; ++k)
        h.push_back (component (b, 8800, 8000, 220.0 * k, kRate));
    return h;
}

double pitchAt (const juce::AudioBuffer<float>& b, double rate, double from, double seconds)
{
    return measureFrequency (b.getReadPointer (0, (int) (from * rate)), (int) (seconds * rate), rate);
}

double rmsFrom (const juce::AudioBuffer<float>& b, int from, int n, int channel = 0)
{
    return rms (b.getReadPointer (channel, from), n);
}

double maxDifference (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b, int from, int to)
{
    double d = 0.0;
    for (int ch = 0; ch < 2; ++ch)
        for (int i = from; i < to; ++i)
            d = std::max (d, (double) std::abs (a.getSample (ch, i) - b.getSample (ch, i)));
    return d;
}

// Amount of matrix source s on destination d that makes velocity 127 give
// the destination `value` (velocity acts as 1.5 v^2, amounts squared).
double amountFor (double value) { return std::sqrt (value / 1.5); }
} // namespace

TEST (VoiceShapes, MorphRunsSineTriangleSawSquare)
{
    auto shape = [] (double v) {
        Rig rig;
        rig.set (params::kOsc1Shape, v);
        return harmonics (rig.hold (0.5));
    };

    const auto sine = shape (0.0);
    EXPECT_GT (sine[0], 0.05);
    for (int k = 1; k < 5; ++k)
        EXPECT_LT (sine[(size_t) k], 1.0e-3 * sine[0]) << "harmonic " << k + 1;

    // Triangle: odd harmonics falling as 1/h^2, no even ones.
    const auto triangle = shape (1.0 / 3.0);
    EXPECT_LT (triangle[1], 1.0e-3 * triangle[0]);
    EXPECT_NEAR (triangle[2] / triangle[0], 1.0 / 9.0, 0.005);
    EXPECT_NEAR (triangle[4] / triangle[0], 1.0 / 25.0, 0.005);

    // Sawtooth: every harmonic, falling as 1/h.
    const auto saw = shape (2.0 / 3.0);
    EXPECT_NEAR (saw[1] / saw[0], 1.0 / 2.0, 0.01);
    EXPECT_NEAR (saw[2] / saw[0], 1.0 / 3.0, 0.01);

    // Saw-to-square at t = 1: the even harmonics cancel, odd ones as 1/h.
    const auto square = shape (1.0);
    EXPECT_LT (square[1], 2.0e-3 * square[0]);
    EXPECT_LT (square[3], 2.0e-3 * square[0]);
    EXPECT_NEAR (square[2] / square[0], 1.0 / 3.0, 0.01);

    // Halfway between sine and triangle, both are heard half each: the third
    // harmonic is half the triangle's, the fundamental between the two.
    const auto half = shape (1.0 / 6.0);
    EXPECT_NEAR (half[2], 0.5 * triangle[2], 0.02 * triangle[2]);
    EXPECT_NEAR (half[0], 0.5 * (sine[0] + triangle[0]), 0.01 * sine[0]);

    // No jump at the range boundaries.
    for (double boundary : { 1.0 / 3.0, 2.0 / 3.0 })
    {
        const auto below = shape (boundary - 0.002), above = shape (boundary + 0.002);
        for (size_t k = 0; k < 5; ++k)
            EXPECT_NEAR (below[k], above[k], 0.02 * below[0]) << "at " << boundary << ", harmonic " << k + 1;
    }
}

TEST (VoiceShapes, StackCountLevelAndSpread)
{
    // Copies c = trunc(stack * 9) + 1, summed and divided by 0.3 c + 1. With no
    // spread and a fresh voice all copies run in phase.
    auto level = [] (double stack) {
        Rig rig;
        rig.set (params::kOsc1Volume, 0.3);   // ten copies stay below the limiter
        rig.set (params::kOsc1Stack, stack);
        return harmonics (rig.hold (0.5))[0];
    };
    const double one = level (0.0), three = level (0.25), ten = level (1.0);
    EXPECT_NEAR (three / one, (3.0 / 1.9) / (1.0 / 1.3), 0.01);
    EXPECT_NEAR (ten / one, (10.0 / 4.0) / (1.0 / 1.3), 0.015);

    // Spread d = detune * 0.04: copy 1 runs at f (1 + d/2), copy 2 at f (1 - d/3).
    Rig rig;
    rig.set (params::kOsc1Stack, 0.25);
    rig.set (params::kOsc1Detune, 1.0);
    const auto out = rig.hold (1.5);
    const int n = 44000;   // one second: 1 Hz resolution
    const double base = component (out, 22000, n, 220.0, kRate);
    EXPECT_NEAR (component (out, 22000, n, 220.0 * 1.02, kRate), base, 0.1 * base);
    EXPECT_NEAR (component (out, 22000, n, 220.0 * (1.0 - 0.04 / 3.0), kRate), base, 0.1 * base);
    EXPECT_LT (component (out, 22000, n, 220.0 * 1.04, kRate), 0.1 * base);
}

TEST (VoiceShapes, SwitchModeStacksStayOnTheFirstShapeAfterTheirFirstCycle)
{
    // Triangle below the switch point (99 % of the cycle), sine above. The
    // first copy switches every cycle; the stacked copies only in their first
    // cycle, ever: in a later note on the same voice they play the sine from
    // the start. A low note makes the first cycle long next to the attack.
    Rig rig;
    rig.set (params::kOsc4MorphMode, 1.0);
    rig.set (params::kOsc1Shape, 0.33);
    rig.set (params::kOsc1Stack, 1.0);
    rig.set (params::kOsc1Volume, 0.3);
    rig.set (params::kAmplitudeRelease, 0.0);
    const int note = 24;
    const double f = 440.0 * std::pow (2.0, (note - 12 - 69) / 12.0);
    const int period = (int) std::lround (kRate / f);
    const int second = 2 * 44000;
    const auto out = rig.player.play (3 * 44000, { { 0, on (note) }, { 22000, off (note) }, { second, on (note) } });

    auto thirds = [&] (int from) {
        return component (out, from, period, 3.0 * f, kRate) / component (out, from, period, f, kRate);
    };
    const double firstCycle = thirds (0), laterNoteFirstCycle = thirds (second);
    EXPECT_GT (firstCycle, 0.08);
    // Nine of ten copies on the sine: far less third harmonic (the attack
    // adds some to both).
    EXPECT_LT (laterNoteFirstCycle, 0.5 * firstCycle);
    EXPECT_NEAR (thirds (second + 3 * period), thirds (3 * period), 0.1 * thirds (3 * period));
}

TEST (VoicePitch, OscillatorThreeOctavesAndShapes)
{
    const double ratios[] = { 0.25, 0.5, 1.0, 2.0, 4.0 };
    for (int k = 0; k < 5; ++k)
    {
        Rig rig;
        rig.set (params::kOsc1Volume, 0.0);
        rig.set (params::kOsc3Volume, 1.0);
        rig.set (params::kOsc3Octave, k / 4.0);
        const auto out = rig.hold (0.6);
        EXPECT_NEAR (pitchAt (out, kRate, 0.2, 0.4), 220.0 * ratios[k], 0.002 * 220.0 * ratios[k]) << "step " << k;
    }

    auto shape = [] (int choice) {
        Rig rig;
        rig.set (params::kOsc1Volume, 0.0);
        rig.set (params::kOsc3Volume, 1.0);
        rig.set (params::kOsc3Shape, params::choiceValue (choice));
        return harmonics (rig.hold (0.5));
    };
    const auto sine = shape (0), triangle = shape (1), saw = shape (2), square = shape (3);
    EXPECT_LT (sine[2], 1.0e-3 * sine[0]);
    EXPECT_NEAR (triangle[2] / triangle[0], 1.0 / 9.0, 0.005);
    EXPECT_NEAR (saw[1] / saw[0], 0.5, 0.01);
    EXPECT_LT (square[1], 2.0e-3 * square[0]);
    EXPECT_NEAR (square[2] / square[0], 1.0 / 3.0, 0.01);
}

TEST (VoicePitch, GlideIsHalfwayAfterHalfItsTime)
{
    // Monophonic legato from 220 to 440 Hz: the ratio moves linearly over
    // 2 * glide^2 seconds, so halfway it plays 330 Hz.
    for (int osc : { params::kOsc1Volume, params::kOsc2Volume, params::kOsc3Volume })
    {
        SCOPED_TRACE (osc);
        Rig rig;
        rig.set (params::kOsc1Volume, 0.0);
        rig.set (params::kOsc2Shape, 0.0);
        rig.set (params::kOsc2Coarse, 0.5);
        rig.set (osc, 1.0);
        rig.set (params::kVoiceMode, params::choiceValue (2));
        rig.set (params::kGlide, 0.5);   // 0.5 s
        const int second = 22000;
        const auto out = rig.player.play (66000, { { 0, on (kA) }, { second, on (kA + 12) } });
        EXPECT_NEAR (pitchAt (out, kRate, 0.2, 0.25), 220.0, 0.5);
        EXPECT_NEAR (pitchAt (out, kRate, 0.5 + 0.25 - 0.01, 0.02), 330.0, 3.0);
        EXPECT_NEAR (pitchAt (out, kRate, 1.1, 0.3), 440.0, 0.5);
    }
}

TEST (VoiceFilter, KeyFollowScalesTheCutoffAroundTableNoteSixtyFour)
{
    // Factor ((note + 64) / 128)^(8k) k + 1 - k: exactly 1 at table note 64,
    // below it for lower notes, above for higher ones.
    auto render = [] (double keyFollow, int note) {
        Rig rig;
        rig.set (params::kOsc1Shape, 2.0 / 3.0);
        rig.set (params::kFilterType, params::choiceValue (0));
        rig.set (params::kCutoff, 0.15);
        rig.set (params::kResonance, 0.0);
        rig.set (params::kCutoffEnvAmount, 0.0);
        rig.set (params::kFilterKeyFollow, keyFollow);
        return rig.hold (0.6, note);
    };
    const auto plain = render (0.0, 64 + 12), followed = render (1.0, 64 + 12);
    EXPECT_LT (maxDifference (plain, followed, 0, plain.getNumSamples()), 1.0e-6);

    auto brightness = [] (const juce::AudioBuffer<float>& b, double f) {
        return component (b, 13200, 13200, 3.0 * f, kRate) / component (b, 13200, 13200, f, kRate);
    };
    const double low = 440.0 * std::pow (2.0, (40 - 69) / 12.0), high = 440.0 * std::pow (2.0, (90 - 69) / 12.0);
    EXPECT_LT (brightness (render (1.0, 40 + 12), low), 0.7 * brightness (render (0.0, 40 + 12), low));
    EXPECT_GT (brightness (render (1.0, 90 + 12), high), 1.3 * brightness (render (0.0, 90 + 12), high));
}

TEST (VoiceOutput, SaturationFollowsItsCurve)
{
    // The saturated output predicted sample by sample from the clean one:
    // x = side * (1 - 0.4 sqrt s) g^2, y = (1 + s) x / (|x s| + 1), out 2y,
    // s = 3 * amount, g = 99 / 127 (velocity ignored), the master chain a
    // plain gain 2 sqrt(1 - pan) vol^2.
    auto render = [] (double amount) {
        Rig rig;
        rig.set (params::kOsc1Shape, 2.0 / 3.0);
        rig.set (params::kVoiceSaturation, amount);
        return rig.hold (0.3);
    };
    const auto clean = render (0.0);
    const double g2 = (99.0 / 127.0) * (99.0 / 127.0);
    const double master = 2.0 * std::sqrt (0.5) * 0.25;
    for (double amount : { 0.3, 1.0 })
    {
        const auto saturated = render (amount);
        const double s = 3.0 * amount;
        double worst = 0.0, loudest = 0.0;
        for (int i = 4400; i < clean.getNumSamples(); ++i)
        {
            const double side = clean.getSample (0, i) / (master * 2.0 * g2);
            const double x = side * (1.0 - 0.4 * std::sqrt (s)) * g2;
            const double expected = master * 2.0 * (1.0 + s) * x / (std::abs (x * s) + 1.0);
            worst = std::max (worst, std::abs (expected - saturated.getSample (0, i)));
            loudest = std::max (loudest, std::abs (expected));
        }
        EXPECT_GT (loudest, 0.05);
        EXPECT_LT (worst, 1.0e-5 * std::max (1.0, loudest / 0.05)) << amount;
    }
}

TEST (VoiceOutput, NoiseLevel)
{
    // Uniform noise in [-0.5, 0.5] times the level: RMS level / sqrt(12),
    // through the voice gain 2 g^2 and the master gain. Oscillator 4 at a
    // level too low to play keeps the voice from counting as silent.
    Rig rig;
    rig.set (params::kOsc1Volume, 0.0);
    rig.set (params::kOsc4Volume, 0.03);
    rig.set (params::kNoiseVolume, 0.5);
    const auto out = rig.hold (1.0);
    const double expected = 0.5 / std::sqrt (12.0) * 2.0 * (99.0 / 127.0) * (99.0 / 127.0) * 2.0 * std::sqrt (0.5) * 0.25;
    EXPECT_NEAR (rmsFrom (out, 4400, 39600), expected, 0.03 * expected);
}

TEST (VoiceModulation, DestinationsThroughTheVoice)
{
    // Velocity 127 on a destination acts as a constant: a multiplicative one
    // becomes 1 + 1.5 a^2, an additive one adds 1.5 a^2 to its knob.
    auto withAmount = [] (int destination, double value, auto&& configure) {
        Rig rig;
        configure (rig);
        if (value != 0.0)
            rig.set (params::modAmountIndex (4, destination), amountFor (value));
        return rig.hold (0.6);
    };
    auto nothing = [] (Rig&) {};

    // 0: voice level x2.
    {
        const auto plain = withAmount (0, 0.0, nothing), doubled = withAmount (0, 1.0, nothing);
        EXPECT_NEAR (rmsFrom (doubled, 8800, 8000) / rmsFrom (plain, 8800, 8000), 2.0, 0.02);
    }
    // 3, 4, 5: oscillator levels 0.25 + 0.5 = 0.75, three times the plain level.
    const int levels[] = { params::kOsc1Volume, params::kOsc2Volume, params::kOsc3Volume };
    for (int k = 0; k < 3; ++k)
    {
        SCOPED_TRACE (3 + k);
        auto only = [&] (Rig& rig) {
            rig.set (params::kOsc1Volume, 0.0);
            rig.set (params::kOsc2Shape, 0.0);
            rig.set (levels[k], 0.25);
        };
        const auto plain = withAmount (3 + k, 0.0, only), raised = withAmount (3 + k, 0.5, only);
        EXPECT_NEAR (rmsFrom (raised, 8800, 8000) / rmsFrom (plain, 8800, 8000), 3.0, 0.03);
    }
    // 7, 8, 9: pitch factor 2 on one oscillator each.
    for (int k = 0; k < 3; ++k)
    {
        SCOPED_TRACE (7 + k);
        auto only = [&] (Rig& rig) {
            rig.set (params::kOsc1Volume, 0.0);
            rig.set (params::kOsc2Shape, 0.0);
            rig.set (levels[k], 1.0);
        };
        EXPECT_NEAR (pitchAt (withAmount (7 + k, 1.0, only), kRate, 0.2, 0.3), 440.0, 0.5);
    }
    // 13: cutoff factor 2 sounds as the cutoff knob doubled.
    {
        auto filtered = [] (double cutoff) {
            return [cutoff] (Rig& rig) {
                rig.set (params::kOsc1Shape, 2.0 / 3.0);
                rig.set (params::kFilterType, params::choiceValue (0));
                rig.set (params::kCutoff, cutoff);
                rig.set (params::kCutoffEnvAmount, 0.0);
                rig.set (params::kResonance, 0.2);
            };
        };
        const auto modulated = withAmount (13, 1.0, filtered (0.15));
        const auto knob = withAmount (13, 0.0, filtered (0.3));
        const auto plain = withAmount (13, 0.0, filtered (0.15));
        // The eighth harmonic, above both cutoffs.
        const double eighth = component (knob, 13200, 8800, 1760.0, kRate);
        EXPECT_NEAR (component (modulated, 13200, 8800, 1760.0, kRate), eighth, 0.03 * eighth);
        EXPECT_LT (component (plain, 13200, 8800, 1760.0, kRate), 0.8 * eighth);
    }
}

TEST (VoiceModulation, NoteStartingMidBlockReadsTheLfosAtItsOwnOffset)
{
    // Vibrato from the wheel and master LFO 1 on the pitch: a note starting
    // 96 samples into a block sounds exactly as the same note starting on a
    // block boundary at the same moment.
    auto render = [] (bool splitAtNote) {
        render::settleProcessWideState (kRate);
        PluginPlayer player (kRate, 512);
        auto& p = player.processor();
        for (auto [index, value] : { std::pair { params::kOsc1Volume, 1.0 }, { params::kOsc2Volume, 0.0 },
                                     { params::kFilterType, 0.06 }, { params::kAmplitudeAttack, 0.0 },
                                     { params::kAmplitudeSustain, 1.0 }, { params::kLfo1Mode, 0.0 },
                                     { params::kLfo1Rate, 0.6 }, { params::kReverbMix, 0.0 } })
            p.setParameter (index, (float) value);
        p.setParameter (params::modAmountIndex (0, 1), 0.3f);
        const int noteAt = 2 * 512 + 96;
        juce::AudioBuffer<float> out (2, 44000), buffer (2, 512);
        int pos = 0;
        while (pos < out.getNumSamples())
        {
            int n = std::min (512, out.getNumSamples() - pos);
            if (splitAtNote && pos < noteAt)
                n = std::min (n, noteAt - pos);
            buffer.setSize (2, n, false, false, true);
            juce::MidiBuffer midi;
            if (pos == 0)
                midi.addEvent (juce::MidiMessage::controllerEvent (1, 1, 100), 0);
            if (noteAt >= pos && noteAt < pos + n)
                midi.addEvent (on (kA), noteAt - pos);
            player.renderBlock (buffer, midi);
            for (int ch = 0; ch < 2; ++ch)
                out.copyFrom (ch, pos, buffer, ch, 0, n);
            pos += n;
        }
        return out;
    };
    const auto inside = render (false), onBoundary = render (true);
    EXPECT_GT (rmsFrom (inside, 4400, 8000), 0.01);
    // The pitch does move.
    double lowest = 1.0e9, highest = 0.0;
    for (double t = 0.1; t < 0.9; t += 0.05)
    {
        const double f = pitchAt (inside, kRate, t, 0.04);
        lowest = std::min (lowest, f);
        highest = std::max (highest, f);
    }
    EXPECT_GT (highest - lowest, 2.0);
    EXPECT_LT (maxDifference (inside, onBoundary, 0, inside.getNumSamples()), 1.0e-6);
}

TEST (VoiceModulation, MatrixReadsTheMasterLfosUntilBothLfosAreChosen)
{
    // With LFO 1 set to none the voice has no chosen LFO 1, and its matrix
    // keeps reading master LFO 1: the level still swells with it.
    auto swing = [] (double amount) {
        Rig rig;
        rig.set (params::kLfo1Mode, params::choiceValue (2));
        rig.set (params::kLfo1Rate, 0.5);
        rig.set (params::modAmountIndex (0, 0), amount);
        const auto out = rig.hold (2.0);
        double lowest = 1.0e9, highest = 0.0;
        for (int w = 0; w < 18; ++w)
        {
            const double level = rmsFrom (out, 8800 + w * 4400, 4400);
            lowest = std::min (lowest, level);
            highest = std::max (highest, level);
        }
        return highest / lowest;
    };
    EXPECT_LT (swing (0.0), 1.01);
    EXPECT_GT (swing (0.7), 1.3);
}

TEST (VoiceShapes, PulseWidthAtItsLimitIsANarrowPulse)
{
    // Saw-to-square at t = 1 with the pulse-width destination driven past its
    // range (velocity and the sustained amplitude envelope): the width stops
    // at 0.99, a pulse 0.5 % of the cycle wide, whose low harmonics are all
    // nearly as strong as the fundamental (sin(pi h d) / h, d = 0.005). At
    // width 0 it is the square, without even harmonics.
    auto render = [] (bool driven) {
        Rig rig;
        rig.set (params::kOsc1Shape, 1.0);
        rig.set (params::kOsc1Volume, 0.3);
        if (driven)
        {
            rig.set (params::modAmountIndex (4, 11), 1.0);
            rig.set (params::modAmountIndex (2, 11), 1.0);
        }
        return harmonics (rig.hold (0.5));
    };
    const auto square = render (false), pulse = render (true);
    EXPECT_LT (square[1], 2.0e-3 * square[0]);
    const double d = 0.005;
    for (int h = 2; h <= 5; ++h)
        EXPECT_NEAR (pulse[(size_t) h - 1] / pulse[0], std::sin (kPi * h * d) / (h * std::sin (kPi * d)), 0.01) << h;
}
