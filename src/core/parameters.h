#pragma once

// Parameter index space: what each index means and how a value in [0, 1]
// encodes it. Every reader of a parameter goes through these helpers so the
// encodings live in one place.

#include <cmath>

#include "core/ParameterValue.h"

namespace params
{
constexpr int kNumParameters = 1770;   // host-visible parameters
constexpr int kNumValues     = 1773;   // plus octave ratio, octave offset, spare

// Values past the host parameters, stored in the engine's value array.
constexpr int kOsc3OctaveRatio  = 1770;
constexpr int kOsc3OctaveOffset = 1771;
constexpr int kSpareValue       = 1772;

enum Index : int
{
    kDecimate = 0,
    kCutoff = 1,
    kResonance = 2,
    kCutoffEnvAmount = 3,
    kGlide = 4,
    kAmplitudeAttack = 5,
    kAmplitudeDecay = 6,
    kAmplitudeSustain = 7,
    kAmplitudeRelease = 8,
    kFilterAttack = 9,
    kFilterDecay = 10,
    kFilterSustain = 11,
    kFilterRelease = 12,
    kOsc1Detune = 13,
    kOsc1Volume = 14,
    kOsc1Stack = 15,
    kOsc1PwmAmount = 16,
    kOsc1PwmSpeed = 17,
    kOsc1Shape = 18,
    kOsc2Detune = 19,
    kOsc2Volume = 20,
    kOsc2Stack = 21,
    kOsc2PwmAmount = 22,
    kOsc2PwmSpeed = 23,
    kOsc2Shape = 24,
    kOsc2Coarse = 25,
    kOsc2Fine = 26,
    kEchoMix = 27,
    kEchoTime = 28,
    kEchoStereo = 29,
    kReverbMix = 30,
    kReverbSize = 31,
    kReverbColor = 32,
    kVolume = 33,
    kPanning = 34,
    kSaturation = 35,
    kOscilloscope = 36,
    kVoiceMode = 37,
    kFilterType = 38,
    kFilterKeyFollow = 39,
    kChorusMix = 40,
    kChorusDepth = 41,
    kChorusRate = 42,
    kChorusTime = 43,
    kVoiceSaturation = 44,
    kEqLow = 45,
    kEqMid = 46,
    kEqHigh = 47,
    kVelocitySensitivity = 48,
    kDecimatorMode = 49,
    kNoiseVolume = 50,
    kOsc4MorphMode = 51,
    kLfo2Mode = 52,
    kLfo2Rate = 53,
    kLfo2Sync = 54,
    kLfo2Unused = 55,
    kLfo1Sync = 56,
    kLfo1Mode = 57,
    kLfo2Shape = 58,
    kLfo1Phase = 59,
    kCapturedWavePresent = 60,
    kOsc3Shape = 61,
    kOsc3Volume = 62,
    kOsc3Octave = 63,
    kLfo1Rate = 64,
    kLfo1ModulatesLfo2 = 67,
    kEchoColor = 68,
    kEchoFeedback = 69,
    kLfo1Shape = 70,
    kPitchBendRange = 71,
    kAmplitudeAttackShape = 72,
    kAmplitudeDecayShape = 73,
    kAmplitudeSustainShape = 74,
    kAmplitudeReleaseShape = 75,
    kFilterAttackShape = 76,
    kFilterDecayShape = 77,
    kFilterSustainShape = 78,
    kFilterReleaseShape = 79,
    kOsc4Volume = 80,
    kOsc4Coarse = 81,
    kOsc4Fine = 82,
    kSaturationType = 83,
    kLfo2Phase = 84,
    kOverdrive = 85,
    kReverbType = 86,
    kSplineMenuSpeed = 87,
    kUnused770 = 770,
    kProgramVersion = 771,
    kCaptureResampling = 772,
    kUnison = 773,
    kUnisonDetune = 774,
};

// Oscillator-4 points: 16 points of 30 values from index 90.
constexpr int kOsc4PointsFirst = 90;
constexpr int kOsc4MaxPoints = 16;
constexpr int kOsc4ValuesPerPoint = 30;
constexpr int kOsc4PointsLast = kOsc4PointsFirst + kOsc4MaxPoints * kOsc4ValuesPerPoint - 1; // 569

constexpr int osc4PointIndex (int point, int field) noexcept
{
    return kOsc4PointsFirst + point * kOsc4ValuesPerPoint + field;
}

// Modulation amounts: 10 sources into 20 destinations from index 570.
constexpr int kModAmountFirst = 570;
constexpr int kModSources = 10;
constexpr int kModDestinations = 20;
constexpr int kModAmountLast = kModAmountFirst + kModSources * kModDestinations - 1; // 769

constexpr int modAmountIndex (int source, int destination) noexcept
{
    return kModAmountFirst + source * kModDestinations + destination;
}

constexpr bool isValidIndex (int index) noexcept { return index >= 0 && index < kNumParameters; }

// Choice item k is stored as k / 100.
constexpr double choiceValue (int item) noexcept { return item / 100.0; }

// Reads a choice back by rounding value * 100 to the nearest integer.
inline int choiceIndex (double value) noexcept
{
    return (int) std::lround (value * 100.0);
}

// Reads a choice back as the integer part of value * 100 formed in single
// precision (some readers do it this way; both agree on stored values).
inline int choiceIndexTruncated (double value) noexcept
{
    return (int) ((float) value * 100.0f);
}

// Semitone scale: 49 steps, step k stored as k / 48. The product is formed in
// single precision so that the float nearest k / 48 reads back as k - 24.
inline int semitones (double value) noexcept
{
    return (int) std::floor ((float) value * 48.0f) - 24;
}

constexpr double semitoneValue (int semis) noexcept { return (semis + 24) / 48.0; }

// Octave steps 0..4.
inline int octaveStep (double value) noexcept { return (int) std::lround (value * 4.0); }

// Clamps a choice read to [0, count - 1] before it indexes anything.
inline int clampedChoice (double value, int count) noexcept
{
    const int k = choiceIndex (value);
    return k < 0 ? 0 : (k >= count ? count - 1 : k);
}

// The defaults block: every parameter not listed here starts at 0.
struct Default
{
    int index;
    double value;
};

constexpr Default kDefaults[] = {
    { kCutoff, 0.5 }, { kResonance, 0.5 }, { kCutoffEnvAmount, 0.25 }, { kGlide, 0.1 },
    { kAmplitudeAttack, 0.01 }, { kAmplitudeDecay, 0.5 }, { kAmplitudeSustain, 0.5 }, { kAmplitudeRelease, 0.5 },
    { kFilterAttack, 0.1 }, { kFilterDecay, 0.5 }, { kFilterSustain, 0.5 }, { kFilterRelease, 0.5 },
    { kOsc1Detune, 0.25 }, { kOsc1Volume, 0.5 }, { kOsc1PwmSpeed, 0.25 }, { kOsc1Shape, 0.65 },
    { kOsc2Detune, 0.4 }, { kOsc2Volume, 0.5 }, { kOsc2PwmSpeed, 0.25 }, { kOsc2Shape, 0.65 },
    { kOsc2Coarse, 0.5 }, { kOsc2Fine, 0.5 }, { kEchoTime, 0.5 }, { kEchoStereo, 0.05 },
    { kReverbSize, 0.5 }, { kReverbColor, 0.5 }, { kVolume, 0.5 }, { kPanning, 0.5 },
    { kOscilloscope, 0.25 }, { kVoiceSaturation, 0.1 }, { kEqLow, 0.5 }, { kEqMid, 0.5 }, { kEqHigh, 0.5 },
    { kVelocitySensitivity, 0.5 }, { kOsc3Octave, 0.5 }, { kLfo1Rate, 0.5 }, { kEchoColor, 0.5 },
    { kEchoFeedback, 0.5 }, { kPitchBendRange, 0.11 },
    { kAmplitudeAttackShape, 0.5 }, { kAmplitudeDecayShape, 0.5 }, { kAmplitudeSustainShape, 0.5 },
    { kAmplitudeReleaseShape, 0.5 }, { kFilterAttackShape, 0.5 }, { kFilterDecayShape, 0.5 },
    { kFilterSustainShape, 0.5 }, { kFilterReleaseShape, 0.5 },
    { kOsc4Coarse, 0.5 }, { kOsc4Fine, 0.5 }, { kReverbType, 0.01 },
    { kProgramVersion, 0.0103 }, { kCaptureResampling, 0.5 }, { kUnisonDetune, 0.3 },
};

constexpr double kVersionValue = 0.0103;
constexpr double kFirstInstanceVersionValue = 0.0102;

inline double defaultValue (int index) noexcept
{
    for (const auto& d : kDefaults)
        if (d.index == index)
            return d.value;
    return 0.0;
}
} // namespace params
