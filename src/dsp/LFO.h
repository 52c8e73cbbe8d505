#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "core/ParameterValue.h"

/**
    Table-reading low-frequency oscillator.

    An LFO fills a buffer with one value per sample of the current block; its
    readers (modulation matrix, vibrato, spline oscillator, chorus) take the
    values from getBuffer(). The phase runs in table samples (0 to 4096), so a
    value is one truncated table read.

    Typical owners:
    - master LFOs: prepare(); setCapturedTable (wave buffer 3); setSpeed,
      setShape, setTempoSync, setSyncPhaseFromOffset from their parameters;
      calculateBlock (n) every block, LFO1 before LFO2 (LFO2 may be
      rate-modulated by LFO1). The block driver sets samples per beat and the
      re-phase countdown; LFOHelper::instance().setTempo() gets the host tempo.
    - modulation-wheel LFO: setRateHz (2 v^2 + 4); calculateBlock (n).
    - voice LFOs: setOneShot (true), setMaster (master LFO), setCapturedTable
      (the master's table); startOneShot() at a fresh note;
      calculateOneShotFromFrame (n) while ! isFinishedOneShot().

    Two ways to run it:
    - looping (master LFOs, the vibrato LFO, chorus): calculateBlock (n) once
      per block. It can follow the host tempo (setTempoSync, rate snapped to the
      tempo-sync table; re-phased when the block driver's countdown runs out)
      and can be rate-modulated by another LFO's buffer.
    - one shot (the two LFOs of a voice): setOneShot (true), startOneShot() at
      a fresh note, then calculateOneShotFromFrame (n) per block until
      isFinishedOneShot(). It copies increment and shape from its master.

    Shapes: 0 sine, 1 reverse saw, 2 saw, 3 triangle, 4 square (band-limited
    row 3 of the global tables), 5 the captured wave from setCapturedTable().
    A shape without a source (above 5, or 5 with no table) outputs zeros.

    Threads: calculate... and the sync countdown belong to the audio thread.
    setSpeed, setRateHz, setShape, setTempoSync and setSyncPhase... may be
    called from any thread (single atomic values; a block sees the old or the
    new value). Call initGlobalTables() before computing any block.
*/
class LFO
{
public:
    enum Shape : int
    {
        sine = 0,
        reverseSaw = 1,
        saw = 2,
        triangle = 3,
        square = 4,
        capturedWave = 5
    };

    enum OneShotState : int
    {
        oneShotRunning = 0,
        oneShotEnding = 1,   // transient inside one frame
        oneShotFinished = 2
    };

    static constexpr int kPhaseRange = 4096;
    static constexpr int kInitialCapacity = 256;

    /** Rate control 0.5, 256-value zeroed buffer, sample rate from globals[0].
        Also makes sure the tempo-sync table exists. */
    LFO();

    LFO (const LFO&) = delete;
    LFO& operator= (const LFO&) = delete;

    /** Sizes the buffer for blocks of up to maximumBlockSize samples (no
        allocation while processing blocks that fit) and takes the sample rate;
        the current rate is kept and its increment recomputed. Call from a
        non-audio thread. */
    void prepare (double sampleRate, int maximumBlockSize);

    /** Zeroes the buffer and the phase (no allocation). */
    void reset() noexcept;

    //==============================================================================
    /** Rate from a normalised control v in [0, 1]: v^3 * 30 + 0.05 Hz, snapped
        to the tempo-sync table when tempo sync is on. */
    void setSpeed (double value) noexcept;

    /** The last control passed to setSpeed (to re-apply it after a tempo change). */
    double getSpeedControl() const noexcept { return speedControl.load (std::memory_order_relaxed); }

    /** Rate in Hz, bypassing the control curve (modulation-wheel LFO, chorus).
        Negative or non-finite rates are ignored. */
    void setRateHz (double hz) noexcept;

    double getRate() const noexcept      { return rate.load (std::memory_order_relaxed); }
    double getIncrement() const noexcept { return increment.load (std::memory_order_relaxed); }
    double getSampleRate() const noexcept { return sampleRate; }

    void setShape (int newShape) noexcept { shape.store (newShape, std::memory_order_relaxed); }
    int getShape() const noexcept         { return shape.load (std::memory_order_relaxed); }

    /** The table of shape 5 (4096 values, owned elsewhere, may be null). */
    void setCapturedTable (const double* table) noexcept { capturedTable = table; }
    const double* getCapturedTable() const noexcept      { return capturedTable; }

    //==============================================================================
    /** Tempo sync on or off. Off also cancels a pending re-phase (countdown -1). */
    void setTempoSync (bool shouldSync) noexcept;
    bool isTempoSynced() const noexcept { return tempoSync.load (std::memory_order_relaxed); }

    /** Samples until the next re-phase (block driver). The phase jumps to the
        sync phase after the sample on which the countdown goes from 1 to 0. */
    void setSyncCountdown (int samples) noexcept { syncCountdown.store (samples, std::memory_order_relaxed); }
    int getSyncCountdown() const noexcept        { return syncCountdown.load (std::memory_order_relaxed); }

    /** Phase of a re-phase in table samples, wrapped into [0, 4096). */
    void setSyncPhase (double tableSamples) noexcept;
    /** The same from an "offset" control in [0, 1]: value * 4096, 1 giving 0. */
    void setSyncPhaseFromOffset (double value) noexcept;
    double getSyncPhase() const noexcept { return syncPhase.load (std::memory_order_relaxed); }

    /** Stored for the block driver; the LFO itself does not use it. */
    void setSamplesPerBeat (double s) noexcept { samplesPerBeat = s; }
    double getSamplesPerBeat() const noexcept  { return samplesPerBeat; }

    //==============================================================================
    /** Attaches an LFO whose buffer modulates this one's rate, scaled by the
        depth control *depth (active above 0.005). The modulator must be
        computed earlier in the same block. Refused (returns false and detaches)
        when this LFO is shared (not voice-owned) and the modulator is
        voice-owned: a voice's LFO is computed after the shared ones and dies
        with its voice. Null detaches. Audio thread. */
    bool setModulator (const LFO* newModulator, const ParameterValue* depthControl) noexcept;
    const LFO* getModulator() const noexcept { return modulator; }

    /** Marks an LFO that belongs to one voice (one-shot LFOs count as such). */
    void setVoiceOwned (bool isOwnedByVoice) noexcept { voiceOwned = isOwnedByVoice; }
    bool isVoiceOwned() const noexcept { return voiceOwned || oneShot; }

    //==============================================================================
    void setOneShot (bool shouldBeOneShot) noexcept { oneShot = shouldBeOneShot; }
    bool isOneShot() const noexcept { return oneShot; }

    /** The LFO whose increment and shape a one-shot LFO copies each frame. */
    void setMaster (const LFO* newMaster) noexcept { master = newMaster; }
    const LFO* getMaster() const noexcept { return master; }

    /** Fresh note: running, phase 0, buffer zeroed. */
    void startOneShot() noexcept;

    int getOneShotState() const noexcept { return oneShotState; }

    /** True for a one-shot LFO whose cycle is over; its readers must skip it
        (its buffer still holds the last frame). */
    bool isFinishedOneShot() const noexcept { return oneShot && oneShotState == oneShotFinished; }

    //==============================================================================
    /** Fills buffer[0..n) for a looping LFO. */
    void calculateBlock (int numSamples);

    /** Fills buffer[0..n) for a one-shot LFO: one cycle from the note start,
        zeros after it. Rate modulation and tempo sync do not apply. */
    void calculateOneShotFromFrame (int numSamples);

    /** The latest block; getValidLength() values of it belong to that block. */
    const double* getBuffer() const noexcept { return buffer.data(); }
    int getValidLength() const noexcept      { return validLength; }
    int getCapacity() const noexcept         { return (int) buffer.size(); }

    double getPhase() const noexcept { return phase; }
    void setPhase (double tableSamples) noexcept;

    bool isComputed() const noexcept { return computed; }
    void clearComputed() noexcept    { computed = false; }

    /** Owner's number: 1 and 2 for the master LFOs, 66600 + voice index and
        77700 + voice index for the LFOs of a voice, 0 otherwise. */
    void setId (int newId) noexcept { id = newId; }
    int getId() const noexcept { return id; }

    void setName (const std::string& newName) { name = newName; }
    const std::string& getName() const noexcept { return name; }

private:
    void ensureCapacity (int numSamples);
    void updateIncrement (double newRate) noexcept;
    const double* tableForShape (int s) const noexcept;

    int id = 0;
    std::vector<double> buffer;
    int validLength = 0;
    std::string name { "unnamed" };
    bool computed = false;

    std::atomic<double> rate { 1.0 };
    std::atomic<double> speedControl { 0.5 };
    double samplesPerBeat = 367.5;
    std::atomic<int> syncCountdown { -1 };
    std::atomic<bool> tempoSync { false };
    std::atomic<double> syncPhase { 0.0 };
    std::atomic<int> shape { sine };

    bool oneShot = false;
    int oneShotState = oneShotFinished;
    bool voiceOwned = false;

    const LFO* master = nullptr;
    const LFO* modulator = nullptr;
    const ParameterValue* depth = nullptr;

    std::atomic<double> increment { 0.0 };
    double phase = 0.0;
    const double* capturedTable = nullptr;

    double sampleRate = 44100.0;
};
