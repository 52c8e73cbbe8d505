#pragma once

#include "dsp/LazyZeroBuffer.h"
#include "dsp/SplineOscillatorMisc.h"
#include "dsp/SplineScanStore.h"
#include "dsp/VoiceRandom.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

class LFO;
class VoiceModulation;

/**
    Oscillator 4 of a voice: a single-cycle wave drawn by up to 16 spline
    points, rebuilt one cycle at a time and read out with oversampling.

    Before each cycle the points' modulation slots move individual points
    (own shapes at note, beat or hertz rates, the LFOs, the envelopes); the
    chain is then rendered from linear, quadratic and cubic segments into a
    table of the cycle's length. Because the wave is only redrawn at cycle
    boundaries, point edits and modulation take effect there. A cycle whose
    points and length did not change since it was last drawn is not drawn
    again: the table holds up to eight recent cycles when they fit, because
    the carried fraction and the segments' rounding make consecutive cycles
    differ by a few samples in a short repeating pattern. That pattern can
    visit more lengths than there are slots, but many lengths give every
    segment the same sample count and so the same samples: such a cycle is
    copied from the slot that holds it instead of being drawn.

    Drawing a curve segment is mostly the scan for where x has moved far
    enough, which depends only on the curve's type, its x shape and its
    sample count. The scan's result (where each sample was taken) is kept per
    curve, so a curve whose points only moved up or down, or that another
    length or copy drew with the same count, is drawn by evaluating the
    heights at the kept places; the scans live in a store shared by all
    copies of an instance. A long cycle (high
    sample rates, low notes) is drawn a stretch ahead of the read-out rather
    than whole at its start, so no single block pays for all of it.

    Two read-outs: the plain one (one table step per sub-sample through a
    one-pole smoother) and the modulated one (a fractional read speed) used
    while glide, bend, vibrato or a pitch destination moves the pitch.

    A voice holds four, one per unison copy. Wiring (at construction):
    setPointSet, setParameters, setVoiceModulation, setEnvelopeBuffers,
    setModulationLfos, setCapturedWave; prepare() off the audio thread.
    Note start: reset(), setOversamplingFromNote(note), setGlide(...).
    Per block: setTargetPitchFactor, setVibratoDepth (and setPitchRatio and
    setModulationLfos on the voice's refresh), then calculateBlock. The
    pointer setters only store a pointer and may be called on the audio
    thread (after the voice grows its envelope tables, for instance).
    Everything except prepare() belongs to the audio thread once playing.
*/
class SplineOscillator
{
public:
    static constexpr int kNumPoints = 16;
    static constexpr int kMaxOversampling = 10;
    /** Longest oversampled cycle at sample rates up to 48 kHz. */
    static constexpr int kBaseCycleLimit = 8192;
    /** Entries past a cycle's end that curve sampling may touch. */
    static constexpr int kTableMargin = 64;
    /** Most cycles kept for reuse. */
    static constexpr int kMaxCachedCycles = 8;
    /** Table entries committed at prepare(): where every note's first cycles go. */
    static constexpr int kEntriesCommittedAtPrepare = 2048;

    SplineOscillator();

    SplineOscillator (const SplineOscillator&) = delete;
    SplineOscillator& operator= (const SplineOscillator&) = delete;

    /** Sizes the wave table for the sample rate: the longest cycle is 8192
        oversampled samples up to 48 kHz and grows in proportion above it, so
        the same notes sound at every rate. The block size is not needed (the
        oscillator adds into the caller's buffer). The table's first entries
        take memory here (the first block of many notes would otherwise stop
        for each copy's first pages); the rest only where cycles are drawn.
        Without a shared scan store the oscillator makes one of its own here.
        Not on the audio thread. */
    void prepare (double sampleRate, int maximumBlockSize);

    /** The longest cycle at a sample rate. */
    static int cycleLimitFor (double sampleRate) noexcept;

    /** The store of curve scans shared with the other copies of the
        instance (prepared by its owner before this oscillator's prepare());
        null gives the oscillator its own at prepare(). Not while playing. */
    void setScanStore (SplineScanStore* store);

    /** Note start: read positions, carry, glide, pitch smoothing and the
        modulation state cleared; the working points sanitised. */
    void reset() noexcept;

    /** Working points of an unknown type become end markers. */
    void sanityCheckModulatedPoints() noexcept;

    /** Oversampling for a note (MIDI note - 12): 1 up to note 50, then one
        more every 15 notes; one more again while the pitch moves. */
    void setOversamplingFromNote (int note) noexcept;

    /**
        Adds n samples into out: 2 * volume * (y - 0.5) of the drawn cycle.
        increment is the voice's phase step per output sample on a 4096-step
        cycle for this unison copy; volume is parameter 80 (multiplied by the
        oscillator-4 level destination when it is driven). No allocation.
    */
    void calculateBlock (int numSamples, double* out, double increment, double volume) noexcept;

    /** Builds the next cycle of about `size` samples into the table and
        returns its length (0 when no segment renders). The cycle is drawn
        whole; while a block plays, a long cycle is drawn only as far as it
        has been read. */
    int makeNewEnvelopeOfSize (int size, int sampleIndex) noexcept;

    //==============================================================================
    /** The engine's point store. The current points are copied at once. */
    void setPointSet (const Osc4PointSet* pointSet) noexcept;

    /** Parameter array (element p = parameter p, at least 770 values); only read. */
    void setParameters (const ParameterValue* parameterValues) noexcept { parameters = parameterValues; }

    void setVoiceModulation (VoiceModulation* modulation) noexcept { voiceModulation = modulation; }

    /** The voice's amplitude levels (one per 8 samples) and filter levels
        (one per 16 samples) of the current block, with their entry counts. */
    void setEnvelopeBuffers (const double* ampLevels, int ampEntries,
                             const double* filterLevels, int filterEntries) noexcept;

    /** Modulation LFOs 1 and 2 and the vibrato LFO; a null leaves the previous one. */
    void setModulationLfos (const LFO* lfo1, const LFO* lfo2, const LFO* vibrato) noexcept;

    /** The captured waveform (4096 values, owned by the engine; may be null). */
    void setCapturedWave (const double* table4096) noexcept { capturedWave = table4096; }

    void setRandomSeed (uint64_t seed) noexcept { random.setSeed (seed); }

    //==============================================================================
    /** Glide from `factor` towards 1 by `step` per sample while active. */
    void setGlide (bool active, double factor, double step) noexcept;

    /** Tuning ratio of oscillator 4 (see pitchRatioFromParameters). */
    void setPitchRatio (double ratio) noexcept;

    /** 2^((coarse semitones + 2 (fine - 0.5)) / 12) from parameters 81 and 82. */
    static double pitchRatioFromParameters (double coarse, double fine) noexcept;

    /** The voice's smoothed bend; the oscillator glides its own factor to it. */
    void setTargetPitchFactor (double factor) noexcept { targetPitchFactor = factor; }

    /** Modulation-wheel depth of the vibrato LFO. */
    void setVibratoDepth (double depth) noexcept { vibratoDepth = depth; }

    /** For beat-relative point modulation; at least 1. */
    void setSamplesPerBeat (int samples) noexcept { samplesPerBeat = samples < 1 ? 1 : samples; }

    /** Where the current render starts inside the host block: shared LFOs
        (masters, vibrato) computed for the whole host block are read from here. */
    void setSharedLfoOffset (int samples) noexcept { sharedLfoOffset = samples > 0 ? samples : 0; }

    //==============================================================================
    int getId() const noexcept { return id; }
    int getOversampling() const noexcept { return oversampling; }
    bool isOnModulatedPath() const noexcept { return modulatedPath; }
    int getCycleLength() const noexcept { return cycleLength; }
    /** The longest cycle at the prepared sample rate. */
    int getCycleLimit() const noexcept { return cycleLimit; }
    int getSamplesPerBeat() const noexcept { return samplesPerBeat; }
    double getPitchRatio() const noexcept { return pitchRatio; }
    /** The current cycle, getCycleLength() values (after calculateBlock, a
        long one may be drawn only as far as it has been read). */
    const double* getCycle() const noexcept { return table.data() + (std::size_t) activeSlot * (std::size_t) slotCapacity; }
    const Osc4Data* getWorkingPoints() const noexcept { return working; }
    /** Memory the cycle table holds now, and what it may come to. Not on the
        audio thread. */
    std::size_t getTableResidentBytes() const noexcept { return table.residentBytes(); }
    std::size_t getTableBytes() const noexcept { return table.size() * sizeof (double); }
    /** Cycles started and cycles actually drawn since construction (a cycle
        copied from another slot counts as started, not drawn). */
    uint64_t getCyclesStarted() const noexcept { return cyclesStarted; }
    uint64_t getCyclesDrawn() const noexcept { return cyclesDrawn; }
    /** Of those, the ones drawn from the layout of an earlier drawing. */
    uint64_t getCyclesDrawnFromPlans() const noexcept { return cyclesPlanned; }

private:
    struct CachedCycle
    {
        bool valid = false;
        bool endedAtStart = false;   // a start point ended the chain: no carry
        uint64_t generation = 0;
        int size = 0;
        int length = 0;
        uint64_t lastUse = 0;
        // What the drawing wrote: the sample count of each segment, and the
        // table entries it set. Complete when those entries form one run from
        // the start, so none of them kept what the slot held before.
        int counts[kNumPoints] {};
        int writtenEnd = 0;
        bool complete = false;
    };

    /** What calculateBlock hands its modulated read-out. */
    struct ModulatedRead
    {
        int numSamples;
        double* out;
        int f;
        double fraction;
        double wholeLength;
        double baseGain;
        const double* levelTable;
        const double* osc4PitchTable;
        const double* pitchTable;
        bool smoothing;
        bool vibrato;
        const double* cycle;
        int length;
        int ready;
        int reachPerSample;
        double lengthAsDouble;
        double gain;
        double perSubSample;
    };
    template <typename ReadGroup>
    void playModulated (const ModulatedRead& r, ReadGroup readGroup) noexcept;
    void playModulatedPlain (const ModulatedRead& r) noexcept;
    void playModulatedWide (const ModulatedRead& r) noexcept;

    void sizeTable (double sampleRate);
    void takePoints() noexcept;
    void copyBaseToWorking() noexcept;
    void refreshShapeRates() noexcept;
    bool pitchSmoothingMoves() noexcept;
    bool vibratoApplies() const noexcept;
    bool destinationDriven (int destination, int numSamples) noexcept;
    /** `expected`: how far the rest of the block reads into the new cycle. */
    int startCycle (int size, int sampleIndex, double expected = std::numeric_limits<double>::infinity()) noexcept;
    int nextReadCycle (double fraction, double wholeLength, int sampleIndex, int reachPerSample, double expected,
                       const double*& cycle, int& length, double& lengthAsDouble, int& ready) noexcept;
    int beginDrawing (int slot, const int* counts) noexcept;
    void drawUpTo (int entry) noexcept;
    void finishDrawing() noexcept;
    void abandonDrawing() noexcept;
    void closeRecording (bool keep, bool stoppedAtEnd) noexcept;
    /** Starts segment k's walk of the working points; its key into `key`. */
    void startWalk (int k, splinecurve::ScanRecord* record) noexcept;
    /** Segment k's key for its walk (shapes refreshed at the drawing's start). */
    SplineScanStore::CurveKey curveKey (int k) const noexcept;
    void refreshShapes() noexcept;
    /** Entries of the current cycle that may be read: all once it is drawn. */
    int readyEntries() const noexcept;
    /** Draws past `needed` entries, on towards `expected` (where the rest of
        the block is expected to read) by at most a stretch; returns readyEntries(). */
    int drawAhead (int needed, double expected) noexcept;
    void segmentCounts (int size, int capacity, int* counts) noexcept;
    int findSameSamples (const int* counts) const noexcept;

    /** Cycles up to this long are drawn whole when they start. */
    static constexpr int kWholeDrawLength = 2048;
    /** How far past what is read a long cycle is drawn at a time. */
    static constexpr int kDrawAheadEntries = 512;

    /**
        Where a whole drawing of one length wrote, taken down as it drew: for
        each segment its kind, start and sample count, and for a curve the
        kept scan it replayed. The entries a drawing writes depend on the
        heights only through the values, so while the curves' shapes, the
        slot size and the store's scans stand, a cycle of that length is
        drawn from here with no lookups: a line, a flat curve or a replay per
        segment, in order. Only drawings with no walk, no gap left to fill
        and no write outside the slot are kept. When the store has changed
        since, each scan is checked once before the plan is used again.
    */
    struct CyclePlan
    {
        struct Segment
        {
            const Osc4Data* pt = nullptr;   // the working point it ends at
            const double* y0 = nullptr;     // the height it starts from
            const double* places = nullptr;
            const uint8_t* twice = nullptr;
            SplineScanStore::Ref scan;
            int pos = 0;
            int samples = 0;        // m
            int count = 0;          // places
            int8_t type = 0;        // splineLinear or a curve
            bool flat = false;      // a curve of no width: one entry
            bool plain = false;     // no place written twice
        };
        bool valid = false;
        int capacity = 0;
        uint64_t stamp = 0;
        uint64_t lastUse = 0;
        int length = 0;
        bool endedAtStart = false;
        int writtenEnd = 0;
        int counts[kNumPoints] {};
        // Lengths near the first that gave these counts: bit i for firstSize + i.
        int firstSize = 0;
        uint64_t sizeMask = 0;
        bool hasSize (int size) const noexcept
        {
            const auto i = (unsigned) (size - firstSize);
            return i < 64 && ((sizeMask >> i) & 1) != 0;
        }
        void addSize (int size) noexcept
        {
            const auto i = (unsigned) (size - firstSize);
            if (i < 64)
                sizeMask |= uint64_t { 1 } << i;
        }
        int segmentCount = 0;
        Segment segments[kNumPoints];
    };
    /**
        The cycle being drawn. Its segments go into the table in order, each
        writing one run of entries from its own start on; a later segment's
        run overwrites an earlier one's. A long curve is walked as far as the
        read-out needs and resumed later, so one block never pays for a whole
        cycle of tens of thousands of entries. A curve whose x overshoots
        writes far past its own entries, into the next segments' (they
        overwrite it) or past the cycle's end (never read): its walk stops at
        its own end and is taken up again only for entries that the segments
        after it leave unwritten. The length and the segment counts are known
        before any of it is drawn.
    */
    struct Drawing
    {
        bool active = false;
        int slot = 0;
        double* dest = nullptr;
        int capacity = 0;
        int segment = 1;        // the next one to draw (or the one walked)
        int pos = 0;            // where it starts
        int ready = 0;          // entries [0, ready) are final
        int reached = 0;        // furthest entry any run wrote, plus one
        bool complete = true;   // no entry of [0, ready) kept the slot's old value
        int walking = 0;        // type of the curve being walked, or 0
        // The walked curve's scan, recorded when the store gives room.
        SplineScanStore::CurveKey key {};
        SplineScanStore::Recording recording {};
        splinecurve::ScanRecord record { nullptr, nullptr, 0, 0, false };
        int counts[kNumPoints] {};
        // Per segment: 0 not drawn, else its type; whether its walk stopped
        // at its own end (the rest of its run unknown) or where its run ended;
        // whether its walk object holds that walk (a replayed one does not).
        int drawnType[kNumPoints] {};
        bool stopped[kNumPoints] {};
        bool walkHeld[kNumPoints] {};
        int runEnd[kNumPoints] {};
        splinecurve::Walk<splinecurve::Quadratic> quadratics[kNumPoints];
        splinecurve::Walk<splinecurve::Cubic> cubics[kNumPoints];
        // The layout being taken down while the whole cycle is drawn in one go.
        CyclePlan* plan = nullptr;
        // The places of the last curve this drawing walked or replayed, for
        // guiding the walk of a next one of the same type and count (a
        // cycle's curves often share both, their shapes nearly).
        const double* guidePlaces = nullptr;
        int guideCount = 0;
        int guideSamples = 0;
        int guideType = 0;
    };

    static constexpr int kPlans = 3;
    CyclePlan plans[kPlans];
    uint64_t planClock = 0;
    /** A plan that stands for these counts, or (counts null) for a length it was used for. */
    CyclePlan* findPlan (int size, const int* counts) noexcept;
    CyclePlan* planToRecord (int size, const int* counts) noexcept;
    void drawFromPlan (const CyclePlan& plan, double* dest) noexcept;
    void drawFromPlanWide (const CyclePlan& plan, double* dest) noexcept;
    template <typename WriteHeights, typename WritePlaces>
    void drawPlanWith (const CyclePlan& plan, double* dest, WriteHeights heights, WritePlaces writePlaces) noexcept;
    void takeDown (CyclePlan& plan, int k, int type, int pos, int m, int end, const CyclePlan::Segment& step) noexcept;
    void fillAfterRun (int segment, int from, int to) noexcept;
    void settle (int k, bool stoppedAtEnd, int end) noexcept;
    void keepGuide (const double* places, int count, int samples, int type) noexcept;
    void drawSegments (int entry) noexcept;
    /** Curve k's kept scan for m samples, if the store has one. */
    bool findScan (int k, int m, SplineScanStore::Found& found, SplineScanStore::Ref& ref) noexcept;
    int slotForNewCycle (int size) noexcept;
    static bool movedBySource (int source) noexcept;
    void moveBySource (const Osc4Data& base, Osc4Data& work, int slot) noexcept;
    void moveToSource (const Osc4ModSlot& slot, double baseValue, double& value) const noexcept;
    void placeSubPoint (Osc4Data& work, int slot, bool horizontal, double value, double xBefore) noexcept;
    /** Takes the LFO and envelope values the cycle starting at sampleIndex reads. */
    void readSources (int sampleIndex) noexcept;
    struct CycleSources
    {
        double lfo[2] {};
        double amp = 0.0;
        double filter = 0.0;
        bool lfoPresent[2] {};
        bool ampPresent = false;
        bool filterPresent = false;
    };
    CycleSources sources;
    double nextRandom() noexcept;

    static float overSamplingFactor (int factor) noexcept;

    int id = 0;
    int samplesPerBeat = 22050;
    int sharedLfoOffset = 0;
    bool modulatedPath = false;

    bool glideActive = false;
    double glideFactor = 0.0;
    double glideStep = 0.0;

    double currentPitchFactor = 1.0;
    double targetPitchFactor = 1.0;

    double vibratoDepth = 0.0;
    const LFO* vibratoLfo = nullptr;
    VoiceModulation* voiceModulation = nullptr;

    double pitchRatio = 1.0;

    int oversampling = 1;
    double smoothingCoefficient = 0.5;
    double smoothingState = 0.0;

    const ParameterValue* parameters = nullptr;
    const double* ampLevels = nullptr;
    int ampEntries = 0;
    const double* filterLevels = nullptr;
    int filterEntries = 0;
    const LFO* lfo1 = nullptr;
    const LFO* lfo2 = nullptr;
    const double* capturedWave = nullptr;
    const Osc4PointSet* pointSet = nullptr;

    bool pointsValid = false;
    uint32_t pointsVersion = 0;

    Osc4Data base[kNumPoints];      // the engine's points as last taken
    Osc4Data working[kNumPoints];   // modulated and rendered
    uint64_t workingGeneration = 1; // moves whenever the working points may have changed
    // The sub-points the last modulation pass moved, in its order; valid
    // until the working points are rebuilt or sanitised.
    struct PlanEntry
    {
        int point;
        int slot;
        bool byShape;   // own shapes, and anything not moved by an LFO or an envelope
        // What moving it reads, found once.
        bool horizontal;
        bool flips;     // speed 0.5 on the note source
        const Osc4ModSlot* modulation;
        Osc4Data* moved;    // in `working`
        double baseValue;   // of the coordinate it moves, as the engine placed it
        double baseY;
    };
    PlanEntry planEntry (int point, int slot) noexcept;
    void modulateSubPoint (const PlanEntry& entry, int size) noexcept;
    PlanEntry plan[kNumPoints * 3] {};
    int planSize = 0;
    bool planValid = false;
    // Once the plan stands, the sub-points it moves by an LFO or an envelope
    // are kept apart from it (the plan keeps the own shapes), with what they
    // read: value = base + term * depth, the term one of six per cycle. They
    // share no state with the own shapes, so they are moved after them.
    struct SourceMove
    {
        int point;
        int slot;
        int term;
        bool horizontal;
        double depth;
        double baseValue;
        double* target;   // the moved coordinate in `working`
    };
    SourceMove moves[kNumPoints * 3] {};
    int moveCount = 0;
    int verticalMoves = 0;   // the first ones: up and down
    void splitPlan() noexcept;
    void applyMoves() noexcept;

    double phase[kNumPoints][3] {};
    double shapeRate[kNumPoints][3] {};   // speed * 32 / f (beat) or speed^2 * 100 / f (hertz)
    bool shapeRatesStale = true;
    double randomValue[kNumPoints][3] {};
    double previousRandom[kNumPoints][3] {};

    // As long as the longest cycle at the rate, committed only where written
    // (and its first entries at prepare): a note uses the first pages of
    // each slot it draws into.
    LazyZeroBuffer<double> table;
    int slotCount = 1;
    int slotCapacity = 0;
    int activeSlot = 0;
    uint64_t useClock = 0;
    CachedCycle cached[kMaxCachedCycles];

    SplineScanStore::CurveKey shapes[kNumPoints] {};   // type and x shape of each curve
    double widths[kNumPoints] {};       // of each segment, from its working points' x
    // The scans each curve used last, for the two counts it used last: a
    // length that moves back and forth needs no lookups by key.
    struct ScanMemo
    {
        int samples[2] { -1, -1 };
        SplineScanStore::Ref ref[2];
    };
    ScanMemo memos[kNumPoints];
    void remember (int k, int samples, const SplineScanStore::Ref& ref) noexcept;
    void forgetScans() noexcept;
    bool shapesStale = true;            // working x or types may have changed since
    SplineScanStore* scans = nullptr;   // shared, or ownScans
    std::unique_ptr<SplineScanStore> ownScans;
    bool sharedScans = false;
    Drawing drawing;

    int cycleLimit = kBaseCycleLimit;
    int cycleLength = 0;
    int readPosition = 0;
    double readPositionExact = 0.0;
    double carry = 0.0;
    double desiredLength = 100.0;

    double sampleRate = 44100.0;
    VoiceRandom random;

    uint64_t cyclesStarted = 0;
    uint64_t cyclesDrawn = 0;
    uint64_t cyclesPlanned = 0;

    static std::atomic<int> splineNR;
};
