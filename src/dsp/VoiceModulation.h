#pragma once

#include "dsp/ModMatrix.h"

#include <vector>

class Envelope;
class LFO;

/**
    Per-voice modulation matrix.

    Five live sources (the voice's chosen LFO1 and LFO2, the amplitude and
    filter envelope levels and the note velocity) are summed into one control
    table per destination, one entry per 8 samples of the current block. The
    amounts (parameters 570 to 769, see ModMatrix) act squared, so half a knob
    gives a quarter of the effect. Multiplicative destinations read
    1 + sum(a^2 * signal), additive ones sum(a^2 * signal), added to their
    control; the pulse-width destinations are mapped to an offset in [-1, 1].

    A table is computed lazily: at most once per block, and only when some
    amount for that destination is above 0. A destination that is not active
    must not be read; its reader uses the plain control instead.

    Per block (audio thread):
        mod.beginBlock (n);               // block size, clear marks, table size
        if (mod.requestDestination (ModMatrix::cutoff))
            const double* t = mod.getTable (ModMatrix::cutoff);  // t[i / 8]

    Sources:
    - LFOs: the sample at each multiple of 8 of the LFO's current buffer; a
      missing LFO or a finished one-shot LFO adds nothing.
    - amplitude envelope table: one level per 8 samples (entry j);
    - filter envelope table: one level per 16 samples (entry j / 2);
    - velocity: 1.5 * velocity^2, constant over the note.
*/
class VoiceModulation
{
public:
    VoiceModulation();

    /** Sizes the tables for blocks of up to maximumBlockSize samples. The
        sample rate is not needed; it keeps the voice's prepare calls alike.
        Not on the audio thread. */
    void prepare (double sampleRate, int maximumBlockSize);

    /** Tables lent by the owner (kNumDestinations of `entries` each), which
        other users may overwrite between blocks: a table is only read in the
        block that computed it. The tables of its own are let go; null takes
        tables of its own again. Not on the audio thread. */
    void setSharedTables (double* tables, int entries);

    //==============================================================================
    /** The parameter array (element p = parameter p, at least 770 values). */
    void setParameters (const ParameterValue* parameterValues) noexcept { parameters = parameterValues; }

    /** The voice's envelope level tables and how many entries each holds.
        Entries beyond a table's size are never read. */
    void setEnvelopeTables (const double* ampLevels, int ampEntries,
                            const double* filterLevels, int filterEntries) noexcept;

    /** The matrix is evaluated only while both envelopes are set. */
    void setEnvelopes (const Envelope* amplitude, const Envelope* filter) noexcept;

    /** LFO1 and LFO2 sources (may be null). */
    void setLfoSources (const LFO* lfo1, const LFO* lfo2) noexcept;

    /** Where the current render starts inside the host block: shared
        (looping) LFOs computed for the whole host block are read from here. */
    void setSharedLfoOffset (int samples) noexcept { sharedLfoOffset = samples > 0 ? samples : 0; }

    /** Note velocity 0 to 1 (clamped), set at every note start. */
    void setVelocity (double velocity01) noexcept;
    double getVelocity() const noexcept { return velocity; }

    /** Whether a destination multiplies (base 1) or adds (base 0); the
        defaults follow ModMatrix::isMultiplicative. */
    void setMultiplicative (int destination, bool multiplicative) noexcept;
    bool isMultiplicative (int destination) const noexcept;

    //==============================================================================
    /** Start of a block: setBlockSize, clearComputedFlags, ensureModTableSize. */
    void beginBlock (int numSamples);

    void setBlockSize (int numSamples) noexcept { blockSize = numSamples > 0 ? numSamples : 0; }
    int getBlockSize() const noexcept { return blockSize; }

    void clearComputedFlags() noexcept;

    /** Makes every table hold ceil(blockSize / 8) + 1 entries. Growth allocates
        (fallback only after prepare) and refills the tables with 1.0. */
    void ensureModTableSize();

    /** Computes a destination's table if needed this block and returns whether
        it is active (some amount above 0). */
    bool requestDestination (int destination) noexcept;

    /** Whether the destination was active when last requested. */
    bool isActive (int destination) const noexcept;

    /** A destination's table: entry j covers samples 8j .. 8j + 7 of the block.
        Fetch it again after beginBlock (growth moves the tables). */
    const double* getTable (int destination) const noexcept;

    /** Fills one destination's table for the current block (requestDestination
        calls this; public for callers that want it unconditionally). */
    void updateModTableFor (int destination) noexcept;

    int getTableCapacity() const noexcept { return capacity; }

private:
    static bool validDestination (int d) noexcept { return d >= 0 && d < ModMatrix::kNumDestinations; }
    void addLfo (double* table, int entries, const LFO* lfo, double weight) const noexcept;
    // Where an LFO's entries start and how many of the block's it reaches;
    // false when it adds nothing.
    bool lfoTerm (const LFO* lfo, int entries, const double*& from, int& count) const noexcept;
    // The table one source at a time (some source stops short of the block).
    void addOneByOne (int destination, double* table, int entries) noexcept;
    void growTables (int required);

    const double* filterEnvTable = nullptr;
    int filterEnvEntries = 0;
    const double* ampEnvTable = nullptr;
    int ampEnvEntries = 0;

    double velocity = 0.0;

    bool computed[ModMatrix::kNumDestinations] {};
    bool multiplicative[ModMatrix::kNumDestinations] {};

    const LFO* lfo1Source = nullptr;
    const LFO* lfo2Source = nullptr;
    const Envelope* ampEnvelope = nullptr;
    const Envelope* filterEnvelope = nullptr;

    std::vector<double> tables;   // its own: kNumDestinations tables of `capacity` entries
    double* storage = nullptr;    // its own or lent
    int capacity = 0;
    int blockSize = 0;
    int sharedLfoOffset = 0;

    bool active[ModMatrix::kNumDestinations] {};

    const ParameterValue* parameters = nullptr;
};
