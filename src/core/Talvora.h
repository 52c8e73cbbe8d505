#pragma once

// The engine of one instance: parameter values, the one program record, the
// performance record shared by the voices, and the wave buffers. It has no
// JUCE dependency so the whole parameter and state logic can be tested alone.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/TalvoraProgram.h"
#include "core/WaveCapture.h"
#include "core/parameters.h"
#include "dsp/LFO.h"

struct ParametersStruct
{
    ParameterValue ampDecayCurve = 0.0;
    ParameterValue ampAttackCurve = 0.0;
    ParameterValue ampReleaseCurve = 0.0;
    ParameterValue filterDecayCurve = 0.0;
    ParameterValue filterAttackCurve = 0.0;
    ParameterValue filterReleaseCurve = 0.0;
    int coarseTune = 0;
    int scopeValue = 0;
    int voiceMode = 0;
    int filterType = 0;
    double pitchBendRatio = 1.0;
    double modWheelAmount = 0.0;
    ParameterValue* parameters = nullptr;
    int int1 = 1;
    int int2 = 1;
    int spare = 0;
};

class Talvora
{
public:
    static constexpr int kNumWaveBuffers = 12;
    static constexpr int kWaveBufferSize = 4096;
    static constexpr int kTextSize = 128; // size of every text buffer handed in

    Talvora();
    ~Talvora();

    Talvora (const Talvora&) = delete;
    Talvora& operator= (const Talvora&) = delete;

    // Stores the value (float, clamped into [0, 1]; non-finite values are
    // ignored) and updates derived state. Indices outside 0..1769 do nothing.
    void setParameter (int index, float value);
    // The stored value as float; 0 outside 0..1769.
    float getParameter (int index) const noexcept;

    void getParameterName (int index, char* text) const { nameOf (index, text); }
    static void nameOf (int index, char* text);
    void getParameterDisplay (int index, char* text) const;
    void getParameterLabel (int index, char* text) const;
    // The display text that a value would get at that index.
    static void formatParameterDisplay (int index, double value, char* text);

    void setProgram (int index);
    void setProgramName (const char* text);
    void getProgramName (char* text) const;
    bool getProgramNameIndexed (int category, int index, char* text) const;

    // Writes the program record (always loadable again) and returns its size.
    int getChunk (std::vector<uint8_t>& out);
    // Loads a record. Wrong size: throws UserPresentException("wrong preset
    // size"). Invalid content: returns 0 and changes nothing. Else the size.
    int setChunk (const void* data, size_t size);

    void setSampleRate (double rate);
    void reset();

    // Pitch bend and modulation wheel from a raw MIDI message.
    void handleMidiMessage (uint8_t status, uint8_t data1, uint8_t data2) noexcept;

    ParameterValue* getParameterValues() noexcept { return values; }
    ParametersStruct* getParametersStruct() noexcept { return &performance; }
    double* getWaveBuffer (int i) noexcept { return waveBuffers[i]; }
    double** getWaveBuffers() noexcept { return waveBuffers; }
    // Replaces all twelve wave buffers and the program's copy of row 0
    // (clamped into [-1, 1], as the record requires). Not during a block.
    void setWaveRows (const WaveRows& rows) noexcept;

    // Master LFOs (shared by every voice) and the modulation-wheel LFO that
    // drives the vibrato.
    LFO masterLfo1, masterLfo2, modWheelLfo;
    void prepare (double sampleRate, int maximumBlockSize);

    const TalvoraProgram& getProgram() const noexcept { return program; }
    void setProgramComment (const char* text);
    uint32_t programCategoryMask = 0;

    static double versionValue() noexcept;

private:
    void writeDefaultsIntoProgram();
    void updateDerived (int index, float value);

    ParameterValue values[params::kNumValues] {};
    ParametersStruct performance;
    TalvoraProgram program {};
    double* waveBuffers[kNumWaveBuffers] {};
    std::vector<double> waveStorage;
    int currentProgram = 0;
};
