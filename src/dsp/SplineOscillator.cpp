#include "dsp/SplineOscillator.h"

#include "core/parameters.h"
#include "dsp/LFO.h"
#include "dsp/ModMatrix.h"
#include "dsp/VectorPath.h"
#include "dsp/VoiceModulation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

std::atomic<int> SplineOscillator::splineNR { 0 };

namespace
{
constexpr double kTwoPi = 6.283185307179586;

inline double clamp01 (double v) noexcept
{
    return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;   // NaN reads as 0
}

inline double clampSymmetric (double v, double limit) noexcept
{
    if (! (v > -limit))
        return v != v ? 0.0 : -limit;
    return v < limit ? v : limit;
}
// An envelope level in [0, 1] as a move in [-1, 1], turned over when inverted.
inline double envelopeTerm (double level, bool inverted) noexcept
{
    return inverted ? (0.5 - level) * 2.0 : (level - 0.5) * 2.0;
}
} // namespace

//==============================================================================
SplineOscillator::SplineOscillator()
    : id (splineNR.fetch_add (1, std::memory_order_relaxed))
{
    for (int k = 0; k < kNumPoints; ++k)
        base[k] = working[k] = makeEndMarkerPoint();

    random.setSeed ((uint64_t) id + 1);
    // Until prepare() there is no scan store: curves are walked every time.
    sizeTable (44100.0);
    reset();

    oversampling = 1;
    shapeRatesStale = true;
    pitchRatio = 1.0;
    glideActive = false;
    glideFactor = 0.0;
    glideStep = 0.0;
    currentPitchFactor = targetPitchFactor = 1.0;
    vibratoDepth = 0.0;
    samplesPerBeat = 22050;
    smoothingState = 0.0;
    smoothingCoefficient = 0.5;
}

int SplineOscillator::cycleLimitFor (double rate) noexcept
{
    // Up to 48 kHz the limit stays at 8192; above, it grows with the rate so
    // a note's cycle fits at any rate.
    rate = (rate > 0.0 && std::isfinite (rate)) ? rate : 44100.0;
    return rate <= 48000.0 ? kBaseCycleLimit : (int) std::ceil (kBaseCycleLimit * (rate / 48000.0));
}

void SplineOscillator::setScanStore (SplineScanStore* store)
{
    abandonDrawing();
    sharedScans = store != nullptr;
    if (sharedScans)
        ownScans.reset();
    scans = sharedScans ? store : ownScans.get();
    forgetScans();
}

void SplineOscillator::prepare (double newSampleRate, int)
{
    sizeTable (newSampleRate);
    table.commit (kEntriesCommittedAtPrepare);
    if (! sharedScans)
    {
        // Room for the scans of two of the longest cycles (a pitch that
        // moves makes neighbouring lengths alternate), curve by curve.
        if (ownScans == nullptr)
            ownScans = std::make_unique<SplineScanStore>();
        ownScans->prepare (2 * (cycleLimit + 2 * kTableMargin + 8), 8 * kNumPoints);
        scans = ownScans.get();
    }
}

void SplineOscillator::sizeTable (double newSampleRate)
{
    // Whatever the drawing pinned in the store is let go (a shared store
    // that was prepared again has forgotten it anyway).
    drawing.active = false;
    closeRecording (false, false);
    forgetScans();

    sampleRate = (newSampleRate > 0.0 && std::isfinite (newSampleRate)) ? newSampleRate : 44100.0;
    cycleLimit = cycleLimitFor (sampleRate);

    const size_t needed = (size_t) cycleLimit + 2 * (size_t) kTableMargin + 8;
    if (table.size() != needed)
        table.allocate (needed);

    slotCount = 1;
    slotCapacity = (int) table.size();
    activeSlot = 0;
    for (auto& c : cached)
        c = CachedCycle {};

    shapesStale = true;

    cycleLength = 0;
    readPosition = 0;
    readPositionExact = 0.0;
}

void SplineOscillator::reset() noexcept
{
    // A new note must not pay for the rest of a long cycle it will not play.
    abandonDrawing();
    carry = 0.0;
    glideActive = false;
    cycleLength = 0;
    readPosition = 0;
    readPositionExact = 0.0;
    glideFactor = 1.0;
    glideStep = 0.0;
    currentPitchFactor = targetPitchFactor = 1.0;
    modulatedPath = false;

    for (int k = 0; k < kNumPoints; ++k)
        for (int s = 0; s < 3; ++s)
            phase[k][s] = randomValue[k][s] = previousRandom[k][s] = 0.0;

    sanityCheckModulatedPoints();
}

void SplineOscillator::sanityCheckModulatedPoints() noexcept
{
    for (auto& p : working)
    {
        if (! isKnownSplinePointType (p.type))
        {
            finishDrawing();   // the drawing reads the working points
            p.type = splineEndMarker;
            planValid = false;
            ++workingGeneration;
            shapesStale = true;
        }
    }
}

float SplineOscillator::overSamplingFactor (int factor) noexcept
{
    struct Table
    {
        float values[kMaxOversampling];
        Table() noexcept
        {
            for (int n = 1; n <= kMaxOversampling; ++n)
                values[n - 1] = 1.0f - std::exp (-3.1415927f / (float) n);
        }
    };
    static const Table t;
    return t.values[std::clamp (factor, 1, kMaxOversampling) - 1];
}

bool SplineOscillator::pitchSmoothingMoves() noexcept
{
    if (std::abs (currentPitchFactor - 1.0) > 0.0001 || std::abs (targetPitchFactor - 1.0) > 0.0001)
        return true;

    currentPitchFactor = targetPitchFactor = 1.0;
    return false;
}

bool SplineOscillator::vibratoApplies() const noexcept
{
    return vibratoLfo != nullptr
        && ! (vibratoLfo->isOneShot() && vibratoLfo->getOneShotState() == LFO::oneShotFinished)
        && vibratoDepth > 0.0;
}

void SplineOscillator::setOversamplingFromNote (int note) noexcept
{
    int f = note <= 50 ? 1 : (note - 50) / 15 + 2;

    if (voiceModulation != nullptr)
    {
        const bool pitchDriven = parameters != nullptr && ModMatrix::hasAnyAmount (parameters, ModMatrix::osc4Pitch);
        const bool moving = pitchSmoothingMoves() || pitchDriven;

        modulatedPath = moving || vibratoApplies() || glideActive;
        if (modulatedPath)
            ++f;
    }

    oversampling = std::clamp (f, 1, kMaxOversampling);
    shapeRatesStale = true;
    smoothingCoefficient = overSamplingFactor (oversampling);
    smoothingState = 0.0;
}

//==============================================================================
void SplineOscillator::setPointSet (const Osc4PointSet* newPointSet) noexcept
{
    pointSet = newPointSet;
    pointsValid = pointSet != nullptr;
    if (pointSet != nullptr)
        takePoints();
}

void SplineOscillator::setEnvelopeBuffers (const double* amp, int ampCount,
                                           const double* filter, int filterCount) noexcept
{
    ampLevels = amp;
    ampEntries = amp != nullptr ? std::max (0, ampCount) : 0;
    filterLevels = filter;
    filterEntries = filter != nullptr ? std::max (0, filterCount) : 0;
}

void SplineOscillator::setModulationLfos (const LFO* newLfo1, const LFO* newLfo2, const LFO* vibrato) noexcept
{
    if (newLfo1 != nullptr)
        lfo1 = newLfo1;
    if (newLfo2 != nullptr)
        lfo2 = newLfo2;
    if (vibrato != nullptr)
        vibratoLfo = vibrato;
}

void SplineOscillator::setGlide (bool active, double factor, double step) noexcept
{
    glideActive = active;
    glideFactor = factor;
    glideStep = step;
}

void SplineOscillator::setPitchRatio (double ratio) noexcept
{
    if (ratio > 0.0 && std::isfinite (ratio))
        pitchRatio = ratio;
}

double SplineOscillator::pitchRatioFromParameters (double coarse, double fine) noexcept
{
    const double semis = (double) params::semitones (coarse) + 2.0 * (fine - 0.5);
    return std::pow (2.0, semis / 12.0);
}

void SplineOscillator::takePoints() noexcept
{
    Osc4Data fresh[kNumPoints];
    uint32_t version = 0;

    // A copy overtaken by publishes is dropped; the next cycle tries again.
    if (pointSet == nullptr || ! pointSet->read (fresh, &version))
        return;

    std::memcpy (base, fresh, sizeof (base));
    shapeRatesStale = true;
    copyBaseToWorking();
    pointsVersion = version;
}

void SplineOscillator::refreshShapeRates() noexcept
{
    // The per-cycle phase step of the beat and hertz shapes without its
    // length factor: the same operations as in full, done once per note.
    shapeRatesStale = false;
    const double f = oversampling;
    for (int j = 0; j < kNumPoints; ++j)
        for (int s = 0; s < 3; ++s)
        {
            const double speed = base[j].slots[s].speed;
            shapeRate[j][s] = base[j].slots[s].source == osc4mod::ownShapeHz ? speed * speed * 100.0 / f
                                                                            : speed * 32.0 / f;
        }
}

void SplineOscillator::copyBaseToWorking() noexcept
{
    finishDrawing();   // the drawing reads the working points
    std::memcpy (working, base, sizeof (working));
    planValid = false;
    ++workingGeneration;
    shapesStale = true;
    sanityCheckModulatedPoints();
}

bool SplineOscillator::destinationDriven (int destination, int numSamples) noexcept
{
    if (voiceModulation == nullptr || ! voiceModulation->requestDestination (destination))
        return false;

    // A table that cannot cover the block is not read.
    return ModMatrix::entriesForBlock (numSamples) <= voiceModulation->getTableCapacity();
}

// A read-out's move to the next cycle: the cycle, its length (returned; 0
// when there is none) and how far it is drawn.
[[gnu::always_inline]] inline int SplineOscillator::nextReadCycle (double fraction, double wholeLength, int sampleIndex,
                                                                   int reachPerSample, double expected, const double*& cycle,
                                                                   int& length, double& lengthAsDouble, int& ready) noexcept
{
    carry += fraction;
    length = startCycle ((int) wholeLength, sampleIndex, expected);
    lengthAsDouble = length;
    cycle = getCycle();
    // The rest of the output sample may read this far into the new cycle.
    ready = drawAhead (reachPerSample + 16, expected);
    return length;
}

//==============================================================================
static_assert (SplineOscillator::kMaxOversampling == 10, "readGroup has a loop for each oversampling");

void SplineOscillator::calculateBlock (int numSamples, double* out, double increment, double volume) noexcept
{
    if (numSamples <= 0 || out == nullptr || table.empty())
        return;

    if (! pointsValid || ampLevels == nullptr || filterLevels == nullptr || voiceModulation == nullptr)
        return;

    const int f = oversampling;
    const double desired = (4096.0 / increment) * f / pitchRatio;

    // Too long for the table (or no pitch at all): this block stays silent.
    if (! (desired > 0.0 && desired <= (double) cycleLimit))
        return;

    desiredLength = desired;
    const double wholeLength = std::floor (desired);
    const double fraction = desired - wholeLength;

    const double baseGain = 2.0 * volume;
    const double* levelTable = destinationDriven (ModMatrix::osc4Level, numSamples)
                                 ? voiceModulation->getTable (ModMatrix::osc4Level) : nullptr;

    const double* osc4PitchTable = destinationDriven (ModMatrix::osc4Pitch, numSamples)
                                     ? voiceModulation->getTable (ModMatrix::osc4Pitch) : nullptr;
    const double* pitchTable = destinationDriven (ModMatrix::pitch, numSamples)
                                 ? voiceModulation->getTable (ModMatrix::pitch) : nullptr;
    const bool smoothing = pitchSmoothingMoves();
    const bool vibrato = vibratoApplies();

    modulatedPath = osc4PitchTable != nullptr || pitchTable != nullptr || smoothing || glideActive || vibrato;

    const double* cycle = getCycle();
    int length = cycleLength;
    // Entries [0, ready) of the cycle are drawn; a long one is drawn on as it
    // is read. One output sample reads less than this far on (the read speed
    // is at most 16).
    int ready = readyEntries();
    const int reachPerSample = 16 * f;
    double lengthAsDouble = length;
    double gain = baseGain;
    const double perSubSample = 1.0 / f;

    // The plain read-out reads f entries per sample.
    auto nextCycle = [&] (int sampleIndex) noexcept {
        return nextReadCycle (fraction, wholeLength, sampleIndex, reachPerSample, (double) (numSamples - sampleIndex) * f,
                              cycle, length, lengthAsDouble, ready);
    };

    if (modulatedPath)
    {
        ModulatedRead r { numSamples, out, f, fraction, wholeLength, baseGain, levelTable, osc4PitchTable, pitchTable,
                          smoothing, vibrato, cycle, length, ready, reachPerSample, lengthAsDouble, gain, perSubSample };
#if TALVORA_WIDE_PATH
        if (vectorpath::useWide())
        {
            playModulatedWide (r);
            return;
        }
#endif
        playModulatedPlain (r);
        return;
    }
    else
    {
        int position = readPosition;
        double state = smoothingState;
        // The smoother state + (x - state) k is run as state (1 - k) + x k,
        // two sub-samples per step where it can: the state then waits for
        // one multiply and one add per pair instead of per sub-sample.
        const double coefficient = smoothingCoefficient;
        const double keep = 1.0 - coefficient;
        const double keepTwice = keep * keep;
        const double keepCoefficient = keep * coefficient;

        for (int i = 0; i < numSamples; ++i)
        {
            if (levelTable != nullptr && (i & 7) == 0)
                gain = levelTable[i >> 3] * baseGain;

            double sum = 0.0;
            if (length - position >= f)
            {
                if (position + f > ready)
                    ready = drawAhead (position + f, position + (double) (numSamples - i) * f);
                const double* x = cycle + position;
                int s = 0;
                for (; s + 1 < f; s += 2)
                {
                    const double first = state * keep + x[s] * coefficient;
                    state = state * keepTwice + (x[s] * keepCoefficient + x[s + 1] * coefficient);
                    sum += first + state;
                }
                if (s < f)
                {
                    state = state * keep + x[s] * coefficient;
                    sum += state;
                }
                position += f;
                out[i] += gain * (sum * perSubSample) - 0.5 * gain;
                continue;
            }

            for (int s = 0; s < f; ++s)
            {
                if (position >= length)
                {
                    position = 0;
                    if (nextCycle (i) == 0)
                    {
                        smoothingState = 0.0;
                        readPosition = 0;
                        readPositionExact = 0.0;
                        return;
                    }
                }

                if (position >= ready)
                    ready = drawAhead (position + 1, position + (double) (numSamples - i) * f);
                state = state * keep + cycle[position++] * coefficient;
                sum += state;
            }

            out[i] += gain * (sum * perSubSample) - 0.5 * gain;
        }

        // Keep a decayed smoother out of the denormal range.
        smoothingState = std::abs (state) < 1.0e-20 ? 0.0 : state;
        readPosition = position;
        readPositionExact = position;
    }
}

// The modulated read-out of calculateBlock, with the group loop `readGroup`
// of the vector path (inlined, so the wide path compiles all of it for its target).
template <typename ReadGroup>
__attribute__ ((always_inline)) inline void SplineOscillator::playModulated (const ModulatedRead& r,
                                                                          ReadGroup readGroup) noexcept
{
    const int numSamples = r.numSamples;
    double* const out = r.out;
    const int f = r.f;
    const double fraction = r.fraction;
    const double wholeLength = r.wholeLength;
    const double baseGain = r.baseGain;
    const double* const levelTable = r.levelTable;
    const double* const osc4PitchTable = r.osc4PitchTable;
    const double* const pitchTable = r.pitchTable;
    const bool smoothing = r.smoothing;
    const bool vibrato = r.vibrato;
    const double* cycle = r.cycle;
    int length = r.length;
    int ready = r.ready;
    const int reachPerSample = r.reachPerSample;
    double lengthAsDouble = r.lengthAsDouble;
    double gain = r.gain;
    const double perSubSample = r.perSubSample;

    double p = 1.0;
    // How far the rest of the block reads from `from` at the present speed.
    auto expectedFrom = [&] (double from, int sampleIndex) noexcept {
        return from + (double) (numSamples - sampleIndex) * f * p + reachPerSample;
    };
    auto nextCycle = [&] (int sampleIndex) noexcept {
        return nextReadCycle (fraction, wholeLength, sampleIndex, reachPerSample, expectedFrom (0.0, sampleIndex),
                              cycle, length, lengthAsDouble, ready);
    };

    const double* vibratoBuffer = vibrato ? vibratoLfo->getBuffer() : nullptr;
    const int vibratoValid = vibrato ? std::min (vibratoLfo->getValidLength(), vibratoLfo->getCapacity()) : 0;

    double position = readPositionExact;

    for (int i = 0; i < numSamples; ++i)
    {
        if (glideActive)
        {
            // The factor moves towards 1 and the glide ends once it passes.
            if (glideFactor > 1.0)
            {
                glideFactor -= glideStep;
                if (glideFactor < 1.0)
                    glideActive = false;
            }
            else if (glideFactor < 1.0)
            {
                glideFactor += glideStep;
                if (glideFactor > 1.0)
                    glideActive = false;
            }
        }

        if ((i & 7) == 0)
        {
            const int entry = i >> 3;
            if (levelTable != nullptr)
                gain = levelTable[entry] * baseGain;

            p = osc4PitchTable != nullptr ? osc4PitchTable[entry] : 1.0;
            if (pitchTable != nullptr)
                p *= pitchTable[entry];
            if (glideActive)
                p *= glideFactor;
            if (vibrato)
                p *= 1.0 + vibratoDepth * 0.05 * (sharedLfoOffset + i < vibratoValid ? vibratoBuffer[sharedLfoOffset + i] : 0.0);
            if (smoothing)
            {
                currentPitchFactor = currentPitchFactor * 0.9841 + targetPitchFactor * 0.0159;
                p *= currentPitchFactor;
            }

            if (p != p)
                p = 1.0;
            p = std::clamp (p, 0.0, 16.0);
        }

        // A group of samples with one speed that reads well inside the
        // drawn part of the cycle: a tight loop of as many sub-samples as
        // the oversampling, in the same order as the one below.
        if ((i & 7) == 0 && ! glideActive)
        {
            const int groupEnd = std::min (i + 8, numSamples);
            const int count = groupEnd - i;
            const double reads = position + p * f * count + 1.0;
            if (reads < ready && reads < lengthAsDouble)
            {
                readGroup (f, cycle, position, p, out + i, count, gain, perSubSample);
                i = groupEnd - 1;
                continue;
            }
        }

        if (position + reachPerSample >= ready)
            ready = drawAhead ((int) position + reachPerSample + 1, expectedFrom (position, i));

        double sum = 0.0;
        // Most samples read well inside the cycle: no wrap to look for
        // and no index to bound (the margin covers the steps' rounding).
        if (position + p * f + 1.0 < lengthAsDouble)
        {
            for (int s = 0; s < f; ++s)
            {
                sum += cycle[(int) position];
                position += p;
            }
            const float clamped = std::clamp ((float) sum, -4.0f, 4.0f);
            out[i] += gain * ((double) clamped * perSubSample - 0.5);
            continue;
        }

        for (int s = 0; s < f; ++s)
        {
            if (position >= lengthAsDouble)
            {
                position -= length;
                if (position < 0.0)
                    position = 0.0;

                if (nextCycle (i) == 0)
                {
                    // Nothing renders: silent until the points change.
                    readPosition = 0;
                    readPositionExact = 0.0;
                    return;
                }
            }

            // A position several cycles on can land past a short cycle's end.
            const int index = std::min ((int) position, length - 1);
            sum += cycle[index];
            position += p;
        }

        const float clamped = std::clamp ((float) sum, -4.0f, 4.0f);
        out[i] += gain * ((double) clamped * perSubSample - 0.5);
    }

    readPositionExact = position;
    readPosition = (int) std::lround (position);
}

void SplineOscillator::playModulatedPlain (const ModulatedRead& r) noexcept
{
    playModulated (r, [] (int f, const double* cycle, double& position, double p, double* out, int count, double gain,
                          double perSubSample) {
        splineread::readGroup (f, cycle, position, p, out, count, gain, perSubSample);
    });
}

#if TALVORA_WIDE_PATH
TALVORA_WIDE void SplineOscillator::playModulatedWide (const ModulatedRead& r) noexcept
{
    playModulated (r, [] (int f, const double* cycle, double& position, double p, double* out, int count, double gain,
                          double perSubSample) __attribute__ ((target ("avx2"))) {
        splineread::readGroupWideInline (f, cycle, position, p, out, count, gain, perSubSample);
    });
}
#endif

//==============================================================================
int SplineOscillator::slotForNewCycle (int size) noexcept
{
    const int tableSize = (int) table.size();
    const int need = size + kTableMargin + 2;
    const int best = std::clamp (tableSize / (need + need / 8), 1, kMaxCachedCycles);

    // Re-divide the table when the cycle no longer fits or many more would.
    if (need > slotCapacity || best >= 2 * slotCount)
    {
        slotCount = best;
        slotCapacity = tableSize / slotCount;
        for (auto& c : cached)
            c = CachedCycle {};
        return 0;
    }

    // A slot drawn before the points last moved can never be used again (the
    // generation only grows): taking the first such slot before an unused
    // one keeps moving points in one slot, so the table's other slots are
    // never written and never take memory.
    int target = 0;
    int unused = -1;
    for (int s = 0; s < slotCount; ++s)
    {
        if (! cached[s].valid)
        {
            if (unused < 0)
                unused = s;
            continue;
        }
        if (cached[s].generation != workingGeneration)
            return s;
        if (cached[target].valid && cached[s].lastUse < cached[target].lastUse)
            target = s;
    }
    return unused >= 0 ? unused : target;
}

int SplineOscillator::makeNewEnvelopeOfSize (int size, int sampleIndex) noexcept
{
    const int length = startCycle (size, sampleIndex);
    finishDrawing();
    return length;
}

int SplineOscillator::startCycle (int size, int sampleIndex, double expected) noexcept
{
    // The cycle that ends is read; what the modulation reads of it, the
    // caches and the scans need it whole.
    finishDrawing();
    ++cyclesStarted;

    if (size < 0)
        size = 0;

    // Samples the previous cycles fell short of are added here.
    if (carry >= 1.0)
    {
        const double whole = std::floor (carry);
        carry -= whole;
        size += (int) std::min (whole, (double) cycleLimit + 1.0);
    }
    if (! (carry >= 0.0))
        carry = 0.0;
    size = std::min (size, cycleLimit + 1);

    if (pointSet != nullptr && pointSet->getVersion() != pointsVersion)
        takePoints();

    if (shapeRatesStale)
        refreshShapeRates();

    // Modulation pass: points are moved from the engine's positions.
    bool modulated = false;

    if (planValid)
    {
        // The same sub-points as the pass that made the plan; the own shapes
        // in the same order.
        if (planSize + moveCount > 0)
        {
            readSources (sampleIndex);
            modulated = true;
        }
        for (int e = 0; e < planSize; ++e)
        {
            if (plan[e].byShape)
                modulateSubPoint (plan[e], size);
            else
                moveBySource (base[plan[e].point], working[plan[e].point], plan[e].slot);
        }
        if (moveCount > 0)
            applyMoves();
    }
    else
    {
        bool restarted = false;
        bool sourcesRead = false;
        planSize = 0;

        for (int j = 0; j < kNumPoints && base[j].type != splineEndMarker; ++j)
        {
            const Osc4Data& b = base[j];
            if (b.slots[0].direction == 0 && b.slots[1].direction == 0 && b.slots[2].direction == 0)
                continue;

            Osc4Data& w = working[j];

            // Compare with the type as sanitised, and rebuild at most once, so an
            // unknown type cannot keep restarting the pass.
            if (w.type != sanitisedSplinePointType (b.type) || w.slots[0].direction != b.slots[0].direction)
            {
                if (! restarted)
                {
                    restarted = true;
                    copyBaseToWorking();
                    planSize = 0;
                    j = -1;
                    continue;
                }
            }

            // A linear point moves itself by its first slot whatever its
            // direction; a quadratic point moves itself and one control point by
            // their slots, a cubic two.
            const bool linear = w.type == splineLinear;
            const int subPoints = linear ? 1 : w.type == splineQuadratic ? 2 : w.type == splineCubic ? 3 : 0;
            for (int s = 0; s < subPoints; ++s)
                if (linear || b.slots[s].direction != 0)
                {
                    if (! sourcesRead)
                    {
                        readSources (sampleIndex);
                        sourcesRead = true;
                    }
                    plan[planSize] = planEntry (j, s);
                    modulateSubPoint (plan[planSize++], size);
                    modulated = true;
                }
        }

        // Only a pass that found every point as the previous one left it
        // stands for the next: the types and slots it read change only with
        // the working points' rebuild, which drops the plan.
        planValid = ! restarted;
        moveCount = 0;
        verticalMoves = 0;
        if (planValid)
            splitPlan();
    }

    if (modulated)
        ++workingGeneration;

    // Unchanged points and length: the cycle is already in the table.
    int hit = -1;
    for (int s = 0; s < slotCount; ++s)
    {
        const auto& c = cached[s];
        if (c.valid && c.generation == workingGeneration && c.size == size)
        {
            hit = s;
            break;
        }
    }

    int pos = 0;
    bool endedAtStart = false;

    if (hit >= 0)
    {
        activeSlot = hit;
        pos = cached[hit].length;
        endedAtStart = cached[hit].endedAtStart;
    }
    else
    {
        activeSlot = slotForNewCycle (size);
        double* dest = table.data() + (size_t) activeSlot * (size_t) slotCapacity;
        auto& c = cached[activeSlot];

        // Another length with the same segment counts draws exactly the same
        // entries: copying what that drawing wrote leaves the slot as drawing it would.
        // A length a plan was used for has its counts (plans go with the shapes).
        if (shapesStale)
            refreshShapes();
        CyclePlan* const sized = findPlan (size, nullptr);
        int counts[kNumPoints];
        if (sized != nullptr)
            std::memcpy (counts, sized->counts, sizeof (counts));
        else
            segmentCounts (size, slotCapacity, counts);
        const int source = findSameSamples (counts);
        CyclePlan* plan = nullptr;
        if (source < 0)
        {
            plan = sized != nullptr ? sized : findPlan (size, counts);
            if (plan != nullptr && plan != sized)
                plan->addSize (size);
        }
        if (source >= 0)
        {
            if (source != activeSlot)
            {
                const auto& from = cached[source];
                std::memcpy (dest, table.data() + (size_t) source * (size_t) slotCapacity,
                             (size_t) from.writtenEnd * sizeof (double));
                std::memcpy (c.counts, from.counts, sizeof (c.counts));
                c.writtenEnd = from.writtenEnd;
                c.complete = from.complete;
                c.length = from.length;
                c.endedAtStart = from.endedAtStart;
            }
            pos = c.length;
            endedAtStart = c.endedAtStart;
        }
        else if (plan != nullptr)
        {
            drawFromPlan (*plan, dest);
            std::memcpy (c.counts, counts, sizeof (c.counts));
            c.endedAtStart = plan->endedAtStart;
            c.complete = true;
            c.writtenEnd = plan->writtenEnd;
            pos = plan->length;
            endedAtStart = plan->endedAtStart;
            ++cyclesDrawn;
            ++cyclesPlanned;
        }
        else
        {
            pos = beginDrawing (activeSlot, counts);
            endedAtStart = c.endedAtStart;
            ++cyclesDrawn;
            // A cycle drawn whole here is taken down for the next of its length.
            if (scans != nullptr)
                drawing.plan = planToRecord (size, counts);
        }

        c.valid = true;
        c.generation = workingGeneration;
        c.size = size;
        c.length = pos;
    }

    cached[activeSlot].lastUse = ++useClock;
    // A cycle the rest of the block reads whole is drawn whole. Any other is
    // drawn while it only replays kept scans (then the next of its length
    // is drawn from the plan); a walk, which no plan takes down, is left for
    // the read-out.
    if (pos <= kWholeDrawLength && ! (expected < (double) pos))
        finishDrawing();
    else
    {
        while (drawing.active && drawing.walking == 0)
            drawSegments (std::numeric_limits<int>::max());
    }
    if (drawing.plan != nullptr)
    {
        // Every segment went into the plan: it stands while the store's scans do.
        CyclePlan& plan = *drawing.plan;
        drawing.plan = nullptr;
        const auto& drawn = cached[activeSlot];
        plan.valid = ! drawing.active && drawn.complete;
        plan.stamp = scans->getStamp();
        plan.length = pos;
        plan.endedAtStart = drawn.endedAtStart;
        plan.writtenEnd = drawn.writtenEnd;
    }

    // A shortfall makes the next cycle longer, so the pitch stays right on average.
    if (! endedAtStart && pos < size)
        carry += size - pos;

    cycleLength = pos;
    return pos;
}

void SplineOscillator::segmentCounts (int size, int capacity, int* counts) noexcept
{
    if (shapesStale)
        refreshShapes();

    // Each segment's share of the cycle. Crossing x positions could add up to
    // more than the cycle: it never grows past its size, and room for curve
    // overshoot stays free past it.
    std::fill (counts, counts + kNumPoints, 0);
    const int maxPos = std::min (size, capacity - kTableMargin - 1);
    int pos = 0;

    for (int k = 1; k < kNumPoints; ++k)
    {
        const int type = working[k].type;
        if (type == splineEndMarker || type == splineStart)
            break;
        if (type < splineLinear || type > splineCubic)
            continue;

        const int count = std::clamp ((int) (size * widths[k]), 0, std::max (0, maxPos - pos));
        counts[k] = count;
        pos += count;
    }
}

int SplineOscillator::findSameSamples (const int* counts) const noexcept
{
    // A drawing depends on the length only through the segment counts, and
    // only a complete one is free of what its slot held before.
    for (int s = 0; s < slotCount; ++s)
    {
        const auto& c = cached[s];
        if (c.valid && c.complete && c.generation == workingGeneration
            && std::memcmp (c.counts, counts, sizeof (c.counts)) == 0)
            return s;
    }
    return -1;
}

int SplineOscillator::beginDrawing (int slot, const int* counts) noexcept
{
    CachedCycle& drawn = cached[slot];
    drawn.endedAtStart = false;
    drawn.complete = false;
    drawn.writtenEnd = 0;
    std::memcpy (drawn.counts, counts, sizeof (drawn.counts));

    Drawing& d = drawing;
    d.active = true;
    d.slot = slot;
    d.dest = table.data() + (size_t) slot * (size_t) slotCapacity;
    d.capacity = slotCapacity;
    d.segment = 1;
    d.pos = 0;
    d.ready = 0;
    d.reached = 0;
    d.complete = true;
    d.walking = 0;
    d.guidePlaces = nullptr;
    d.guideCount = 0;
    if (shapesStale)
        refreshShapes();
    std::fill (d.drawnType, d.drawnType + kNumPoints, 0);
    std::memcpy (d.counts, counts, sizeof (d.counts));

    // The length is the sum of the counts up to where the chain ends.
    int length = 0;
    for (int k = 1; k < kNumPoints; ++k)
    {
        const int type = working[k].type;
        if (type == splineEndMarker)
            break;
        if (type == splineStart)
        {
            drawn.endedAtStart = true;
            break;
        }
        length += counts[k];
    }
    return length;
}

int SplineOscillator::readyEntries() const noexcept
{
    return drawing.active ? drawing.ready : std::numeric_limits<int>::max();
}

int SplineOscillator::drawAhead (int needed, double expected) noexcept
{
    // Not past what the block is expected to read: the next block draws the
    // rest, so the block that starts many notes does not also draw ahead for
    // the one after it.
    const double wanted = expected - (double) needed;
    const int ahead = wanted > 0.0 ? (int) std::min (wanted, (double) kDrawAheadEntries) : 0;
    drawUpTo (needed > std::numeric_limits<int>::max() - ahead ? needed : needed + ahead);
    return readyEntries();
}

void SplineOscillator::finishDrawing() noexcept
{
    if (drawing.active)
        drawUpTo (std::numeric_limits<int>::max());
}

void SplineOscillator::abandonDrawing() noexcept
{
    Drawing& d = drawing;
    if (! d.active)
        return;
    d.active = false;

    // Neither the cycle nor the walked curve's scan is whole.
    cached[d.slot].valid = false;
    closeRecording (false, false);
}

void SplineOscillator::drawUpTo (int entry) noexcept
{
    Drawing& d = drawing;
    while (d.active && d.ready <= entry)
    {
        if (d.walking == 0)
        {
            drawSegments (entry);
            continue;
        }

        // The walk stops at the curve's own end at the latest; what it
        // would write past it is drawn only where nothing after it writes.
        const int k = d.segment;
        const int end = d.pos + d.counts[k];
        const bool quadratic = d.walking == splineQuadratic;
        const int until = std::min (entry, end - 1);
        const bool ended = quadratic ? d.quadratics[k].advance (until) : d.cubics[k].advance (until);
        const int reach = quadratic ? d.quadratics[k].ready() : d.cubics[k].ready();
        if (! ended && reach < end)
        {
            d.ready = reach;
            continue;
        }

        closeRecording (true, ! ended);
        d.walking = 0;
        settle (k, ! ended, reach);
    }
}

void SplineOscillator::settle (int k, bool stoppedAtEnd, int end) noexcept
{
    // Segment k's run ended at `end` (or, stopped, reaches its own end):
    // entries up to the next segment's start are settled.
    Drawing& d = drawing;
    d.drawnType[k] = working[k].type;
    d.stopped[k] = stoppedAtEnd;
    d.runEnd[k] = end;
    d.reached = std::max (d.reached, end);
    const int next = d.pos + d.counts[k];
    if (! stoppedAtEnd && end < next)
        fillAfterRun (k, std::max (end, d.pos), next);
    d.pos = next;
    ++d.segment;
    d.ready = d.pos;
}

// Most segments of most cycles are lines, flat curves or curves with a kept
// scan: they are drawn here in one loop, the drawing's position in locals,
// until the chain ends, a curve must be walked or `entry` is drawn.
void SplineOscillator::drawSegments (int entry) noexcept
{
    Drawing& d = drawing;
    double* const dest = d.dest;
    const int capacity = d.capacity;
    int k = d.segment;
    int pos = d.pos;
    int reached = d.reached;
    CyclePlan* const plan = d.plan;

    auto put = [dest, capacity] (int index, double v) noexcept
    {
        if (index >= 0 && index < capacity)
            dest[index] = v;
    };

    for (; pos <= entry; ++k)
    {
        const int type = k < kNumPoints ? working[k].type : (int) splineEndMarker;
        if (type == splineEndMarker || type == splineStart)
        {
            d.active = false;
            d.segment = k;
            d.pos = d.ready = pos;
            d.reached = reached;
            CachedCycle& drawn = cached[d.slot];
            drawn.complete = d.complete;
            drawn.writtenEnd = std::clamp (std::max (reached, pos), 0, capacity);
            return;
        }
        if (type < splineLinear || type > splineCubic)
            continue;

        const Osc4Data& pt = working[k];
        const int count = d.counts[k];
        const int m = std::max (count, 1);
        const double y0 = working[k - 1].y[0];
        const double yk = pt.y[0];
        int end = 0;
        bool stoppedAtEnd = false;
        CyclePlan::Segment step;

        if (type == splineLinear)
        {
            for (int t = 0; t < m; ++t)
                put (pos + t, y0 + (yk - y0) * t / m);
            end = pos + m;
        }
        else if (! (widths[k] > 0.0))
        {
            // A curve of no width holds its start value, like a linear one.
            put (pos, y0);
            end = pos + 1;
            step.flat = true;
        }
        else
        {
            SplineScanStore::Found found;
            if (! findScan (k, m, found, step.scan))
            {
                d.plan = nullptr;
                // Walked (and recorded when the store gives room) by drawUpTo.
                d.segment = k;
                d.pos = d.ready = pos;
                d.reached = reached;
                d.key = shapes[k];
                d.key.samples = m;
                const bool recording = scans != nullptr && scans->beginRecording (m, d.record, d.recording);
                startWalk (k, recording ? &d.record : nullptr);
                d.walkHeld[k] = true;
                d.walking = type;
                return;
            }
            // A replay needs the heights only. A walk that stopped at its
            // own end is walked afresh should a later run leave a gap.
            const int written = type == splineQuadratic
                                  ? splinecurve::replay (splinecurve::Quadratic { 0.0, y0, pt.y[1], yk }, m, found.places,
                                                         found.twice, found.count, dest, pos, capacity)
                                  : splinecurve::replay (splinecurve::Cubic { 0.0, 0.0, y0, pt.y[1], pt.y[2], yk }, m,
                                                         found.places, found.twice, found.count, dest, pos, capacity);
            d.walkHeld[k] = false;
            keepGuide (found.places, found.count, m, type);
            stoppedAtEnd = found.stoppedAtEnd;
            end = pos + written;
            step.places = found.places;
            step.twice = found.twice;
            step.count = found.count;
        }

        d.drawnType[k] = type;
        d.stopped[k] = stoppedAtEnd;
        d.runEnd[k] = end;
        reached = std::max (reached, end);
        const int next = pos + count;
        if (! stoppedAtEnd && end < next)
        {
            d.plan = nullptr;
            d.reached = reached;
            fillAfterRun (k, std::max (end, pos), next);
            reached = d.reached;
        }
        else if (plan != nullptr && d.plan != nullptr)
            takeDown (*plan, k, type, pos, m, end, step);
        pos = next;
    }

    d.segment = k;
    d.pos = d.ready = pos;
    d.reached = reached;
}

void SplineOscillator::takeDown (CyclePlan& plan, int k, int type, int pos, int m, int end,
                                 const CyclePlan::Segment& step) noexcept
{
    // Only what a plan draws without bounds checks, one run per segment.
    const int capacity = drawing.capacity;
    bool fits = pos >= 0 && end <= capacity && plan.segmentCount < kNumPoints;
    bool plain = true;
    if (fits && step.places != nullptr)
    {
        fits = splinecurve::detail::fitsPaired (step.count, pos, capacity);
        // Eight marks at a time: every new drawing of a note's first cycles asks.
        int i = 0;
        for (; plain && i + 8 <= step.count; i += 8)
        {
            uint64_t marks;
            std::memcpy (&marks, step.twice + i, sizeof (marks));
            plain = marks == 0;
        }
        for (; plain && i < step.count; ++i)
            plain = step.twice[i] == 0;
    }
    if (! fits)
    {
        drawing.plan = nullptr;
        return;
    }
    CyclePlan::Segment& s = plan.segments[plan.segmentCount++];
    s = step;
    s.pt = &working[k];
    s.y0 = &working[k - 1].y[0];
    s.type = (int8_t) type;
    s.pos = pos;
    s.samples = m;
    s.plain = plain;
}

SplineOscillator::CyclePlan* SplineOscillator::findPlan (int size, const int* counts) noexcept
{
    // A drawing depends on the length only through the segment counts:
    // found by those, or by a length it was used for.
    if (scans == nullptr)
        return nullptr;
    const uint64_t stamp = scans->getStamp();
    for (auto& plan : plans)
    {
        if (! plan.valid || plan.capacity != slotCapacity)
            continue;
        if (counts != nullptr ? std::memcmp (plan.counts, counts, sizeof (plan.counts)) != 0 : ! plan.hasSize (size))
            continue;
        if (plan.stamp != stamp)
        {
            // Other copies' walks moved the store: most scans are still there.
            for (int i = 0; i < plan.segmentCount && plan.valid; ++i)
                if (plan.segments[i].places != nullptr && ! scans->holds (plan.segments[i].scan))
                    plan.valid = false;
            if (! plan.valid)
                continue;
            plan.stamp = stamp;
        }
        plan.lastUse = ++planClock;
        return &plan;
    }
    return nullptr;
}

SplineOscillator::CyclePlan* SplineOscillator::planToRecord (int size, const int* counts) noexcept
{
    // One that no longer stands, else the least recently used.
    CyclePlan* target = &plans[0];
    for (auto& plan : plans)
    {
        if (! plan.valid || plan.capacity != slotCapacity)
        {
            target = &plan;
            break;
        }
        if (plan.lastUse < target->lastUse)
            target = &plan;
    }
    target->valid = false;
    target->capacity = slotCapacity;
    std::memcpy (target->counts, counts, sizeof (target->counts));
    target->firstSize = size - 32;
    target->sizeMask = 0;
    target->addSize (size);
    target->segmentCount = 0;
    target->lastUse = ++planClock;
    return target;
}

// The same writes as drawing the cycle segment by segment with every scan
// kept: the heights of each replay side by side when no place is written
// twice. The wide path's loop differs only in writing four at a time.
namespace
{
[[gnu::always_inline]] inline splinecurve::PowerForm planHeights (int type, const Osc4Data& pt, double y0) noexcept
{
    return type == splineQuadratic ? splinecurve::detail::powerForm (splinecurve::Quadratic { 0.0, y0, pt.y[1], pt.y[0] })
                                   : splinecurve::detail::powerForm (splinecurve::Cubic { 0.0, 0.0, y0, pt.y[1], pt.y[2], pt.y[0] });
}

#if TALVORA_WIDE_PATH
// A PowerForm for four places at once, each lane with its operations.
struct PowerFormOfFour
{
    __m256d c0, c1, c2, c3;

    TALVORA_WIDE_INLINE explicit PowerFormOfFour (const splinecurve::PowerForm& height) noexcept
        : c0 (_mm256_set1_pd (height.c0)), c1 (_mm256_set1_pd (height.c1)), c2 (_mm256_set1_pd (height.c2)),
          c3 (_mm256_set1_pd (height.c3))
    {
    }

    TALVORA_WIDE_INLINE __m256d operator() (__m256d w) const noexcept
    {
        const __m256d inner = _mm256_add_pd (c2, _mm256_mul_pd (w, c3));
        return _mm256_add_pd (c0, _mm256_mul_pd (w, _mm256_add_pd (c1, _mm256_mul_pd (w, inner))));
    }
};

// writeHeights four at a time, each lane with the same operations.
TALVORA_WIDE_INLINE int writeHeightsWide (const splinecurve::PowerForm& height, const double* places, int count,
                                          double* out) noexcept
{
    int i = 0;
    const PowerFormOfFour heightOf (height);
    for (; i + 3 < count; i += 4)
        _mm256_storeu_pd (out + i, heightOf (_mm256_loadu_pd (places + i)));
    return i + splinecurve::detail::writeHeights (height, places + i, count - i, out + i);
}

// writePlaces with the heights of four places at a time (each lane with the
// same operations) and the same writes: four entries where no place of the
// four is doubled, else each place's pair in turn. The places after go as
// writePlaces takes them.
TALVORA_WIDE_INLINE int writePlacesWide (const splinecurve::PowerForm& height, const double* places, const uint8_t* twice,
                                         int count, double* dest, int at, int capacity) noexcept
{
    using namespace splinecurve::detail;
    int i = 0;
    if (fitsPaired (count, at, capacity))
    {
        const int paired = count - 1;
        const PowerFormOfFour heightOf (height);
        for (; i + 3 < paired; i += 4)
        {
            const __m256d y = heightOf (_mm256_loadu_pd (places + i));
            if (fourMarks (twice + i) == 0)
            {
                _mm256_storeu_pd (dest + at, y);
                at += 4;
                continue;
            }
            const __m128d low = _mm256_castpd256_pd128 (y);
            const __m128d high = _mm256_extractf128_pd (y, 1);
            _mm_storeu_pd (dest + at, _mm_unpacklo_pd (low, low));
            at += twice[i] != 0 ? 2 : 1;
            _mm_storeu_pd (dest + at, _mm_unpackhi_pd (low, low));
            at += twice[i + 1] != 0 ? 2 : 1;
            _mm_storeu_pd (dest + at, _mm_unpacklo_pd (high, high));
            at += twice[i + 2] != 0 ? 2 : 1;
            _mm_storeu_pd (dest + at, _mm_unpackhi_pd (high, high));
            at += twice[i + 3] != 0 ? 2 : 1;
        }
    }
    return writePlaces (height, places + i, twice + i, count - i, dest, at, capacity);
}
#endif
} // namespace

// A cycle from its plan, the heights of plain replays written by `heights`
// and those of the others by `writePlaces` (inlined, so the wide path
// compiles all of it for its target).
template <typename WriteHeights, typename WritePlaces>
__attribute__ ((always_inline)) inline void SplineOscillator::drawPlanWith (const CyclePlan& plan, double* dest,
                                                                         WriteHeights heights,
                                                                         WritePlaces writePlaces) noexcept
{
    for (int i = 0; i < plan.segmentCount; ++i)
    {
        const CyclePlan::Segment& s = plan.segments[i];
        const double y0 = *s.y0;
        const double yk = s.pt->y[0];
        const int m = s.samples;
        double* const out = dest + s.pos;
        if (s.type == splineLinear)
        {
            for (int t = 0; t < m; ++t)
                out[t] = y0 + (yk - y0) * t / m;
            continue;
        }
        if (s.flat)
        {
            out[0] = y0;
            continue;
        }
        scans->touch (s.scan);
        const splinecurve::PowerForm height = planHeights (s.type, *s.pt, y0);
        const int written = s.plain ? heights (height, s.places, s.count, out)
                                    : writePlaces (height, s.places, s.twice, s.count, dest, s.pos, plan.capacity) - s.pos;
        if (written < m)
            out[written] = height (s.places[s.count - 1]);
    }
}

void SplineOscillator::drawFromPlan (const CyclePlan& plan, double* dest) noexcept
{
#if TALVORA_WIDE_PATH
    if (vectorpath::useWide())
    {
        drawFromPlanWide (plan, dest);
        return;
    }
#endif
    drawPlanWith (
        plan, dest,
        [] (const splinecurve::PowerForm& height, const double* places, int count, double* out) {
            return splinecurve::detail::writeHeights (height, places, count, out);
        },
        [] (const splinecurve::PowerForm& height, const double* places, const uint8_t* twice, int count, double* out,
            int at, int capacity) { return splinecurve::detail::writePlaces (height, places, twice, count, out, at, capacity); });
}

#if TALVORA_WIDE_PATH
TALVORA_WIDE void SplineOscillator::drawFromPlanWide (const CyclePlan& plan, double* dest) noexcept
{
    drawPlanWith (
        plan, dest,
        [] (const splinecurve::PowerForm& height, const double* places, int count, double* out)
            __attribute__ ((target ("avx2"))) { return writeHeightsWide (height, places, count, out); },
        [] (const splinecurve::PowerForm& height, const double* places, const uint8_t* twice, int count, double* out,
            int at, int capacity) __attribute__ ((target ("avx2"))) {
            return writePlacesWide (height, places, twice, count, out, at, capacity);
        });
}
#endif

bool SplineOscillator::findScan (int k, int m, SplineScanStore::Found& found, SplineScanStore::Ref& ref) noexcept
{
    if (scans == nullptr)
        return false;
    const ScanMemo& memo = memos[k];
    for (int i = 0; i < 2; ++i)
        if (memo.samples[i] == m && scans->findAgain (memo.ref[i], found))
        {
            ref = memo.ref[i];
            return true;
        }
    SplineScanStore::CurveKey key = shapes[k];
    key.samples = m;
    if (! scans->find (key, found, &ref))
        return false;
    remember (k, m, ref);
    return true;
}

void SplineOscillator::fillAfterRun (int segment, int from, int to) noexcept
{
    // Entries [from, to) follow the run of `segment` inside its own stretch.
    // Each belongs to the latest earlier segment whose run reaches it; runs
    // start in order, so each earlier one covers a leading part of what is
    // left. A walk that stopped at its own end goes on as far as needed,
    // writing only what is left.
    Drawing& d = drawing;
    int filled = from;
    for (int k = segment - 1; k >= 1 && filled < to; --k)
    {
        if (d.drawnType[k] == 0)
            continue;

        if (d.stopped[k])
        {
            const bool quadratic = d.drawnType[k] == splineQuadratic;
            if (! d.walkHeld[k])
            {
                // Replayed: the same walk from its start writes the same entries.
                startWalk (k, nullptr);
                d.walkHeld[k] = true;
            }
            if (quadratic)
                d.quadratics[k].resumeFrom (filled);
            else
                d.cubics[k].resumeFrom (filled);
            const bool ended = quadratic ? d.quadratics[k].advance (to - 1) : d.cubics[k].advance (to - 1);
            const int reach = quadratic ? d.quadratics[k].ready() : d.cubics[k].ready();
            d.stopped[k] = ! ended;
            d.runEnd[k] = reach;
            d.reached = std::max (d.reached, reach);
        }
        filled = std::max (filled, std::min (to, d.runEnd[k]));
    }

    // What no run reaches keeps the slot's old value.
    if (filled < to)
        d.complete = false;
}

void SplineOscillator::refreshShapes() noexcept
{
    shapesStale = false;
    forgetScans();
    for (int k = 1; k < kNumPoints; ++k)
    {
        const Osc4Data& prev = working[k - 1];
        const Osc4Data& pt = working[k];
        const double x0 = clamp01 (prev.x[0]);
        const double dx = clamp01 (pt.x[0]) - x0;
        widths[k] = dx;
        SplineScanStore::CurveKey& key = shapes[k];
        key = {};
        key.type = pt.type;
        if (! (dx > 0.0))
            ;   // drawn flat, never walked
        else if (pt.type == splineQuadratic)
            key.a1 = (clamp01 (pt.x[1]) - x0) / dx;
        else if (pt.type == splineCubic)
        {
            // The second control is measured from the first, as the editor expects.
            const double x1 = clamp01 (pt.x[1]);
            key.a1 = (x1 - x0) / dx;
            key.a2 = (clamp01 (pt.x[2]) - x1) / dx;
        }
        key.shape = SplineScanStore::shapeHash (key);
    }
}

SplineScanStore::CurveKey SplineOscillator::curveKey (int k) const noexcept
{
    SplineScanStore::CurveKey key = shapes[k];
    key.samples = std::max (drawing.counts[k], 1);
    return key;
}

void SplineOscillator::startWalk (int k, splinecurve::ScanRecord* record) noexcept
{
    Drawing& d = drawing;
    const Osc4Data& prev = working[k - 1];
    const Osc4Data& pt = working[k];
    const SplineScanStore::CurveKey key = curveKey (k);
    const double y0 = prev.y[0];
    const double yk = pt.y[0];
    // Each segment starts where the counts before it end.
    int pos = 0;
    for (int i = 1; i < k; ++i)
        pos += d.counts[i];
    const bool guided = d.guidePlaces != nullptr && d.guideType == key.type && d.guideSamples == key.samples;
    if (key.type == splineQuadratic)
    {
        d.quadratics[k].start ({ key.a1, y0, pt.y[1], yk }, key.samples, d.dest, pos, d.capacity, record);
        if (guided)
            d.quadratics[k].guideBy (d.guidePlaces, d.guideCount);
    }
    else
    {
        d.cubics[k].start ({ key.a1, key.a2, y0, pt.y[1], pt.y[2], yk }, key.samples, d.dest, pos, d.capacity, record);
        if (guided)
            d.cubics[k].guideBy (d.guidePlaces, d.guideCount);
    }
}

void SplineOscillator::keepGuide (const double* places, int count, int samples, int type) noexcept
{
    // Only ever a guess: the places stay in the scan store's pool, where a
    // later recording may write over them, which costs speed, never a place.
    Drawing& d = drawing;
    d.guidePlaces = count > 0 ? places : nullptr;
    d.guideCount = count;
    d.guideSamples = samples;
    d.guideType = type;
}

void SplineOscillator::remember (int k, int samples, const SplineScanStore::Ref& ref) noexcept
{
    ScanMemo& memo = memos[k];
    if (memo.samples[0] != samples)
    {
        memo.samples[1] = memo.samples[0];
        memo.ref[1] = memo.ref[0];
    }
    memo.samples[0] = samples;
    memo.ref[0] = ref;
}

void SplineOscillator::forgetScans() noexcept
{
    for (auto& memo : memos)
        memo = ScanMemo {};
    for (auto& plan : plans)
        plan.valid = false;
}

void SplineOscillator::closeRecording (bool keep, bool stoppedAtEnd) noexcept
{
    Drawing& d = drawing;
    if (d.record.places != nullptr)
        keepGuide (d.record.places, d.record.count, d.key.samples, d.key.type);
    if (scans != nullptr && d.recording.open)
    {
        SplineScanStore::Ref ref;
        scans->endRecording (d.recording, d.record, keep, d.key, stoppedAtEnd, &ref);
        if (ref.slot >= 0)
            remember (d.segment, d.key.samples, ref);
    }
    d.recording.open = false;
    d.record = { nullptr, nullptr, 0, 0, false };
}

//==============================================================================
void SplineOscillator::readSources (int sampleIndex) noexcept
{
    // Every point of a cycle reads the LFOs and envelopes at its start.
    for (int k = 0; k < 2; ++k)
    {
        const LFO* lfo = k == 0 ? lfo1 : lfo2;
        sources.lfoPresent[k] = lfo != nullptr;
        sources.lfo[k] = 0.0;
        if (lfo != nullptr)
        {
            const int valid = std::min (lfo->getValidLength(), lfo->getCapacity());
            // Shared LFOs hold the whole host block; this render may start inside it.
            const int at = sampleIndex + (lfo->isVoiceOwned() ? 0 : sharedLfoOffset);
            sources.lfo[k] = at < valid ? lfo->getBuffer()[at] : 0.0;
        }
    }

    sources.ampPresent = ampLevels != nullptr && ampEntries > 0;
    sources.amp = sources.ampPresent ? ampLevels[std::min (sampleIndex / 8, ampEntries - 1)] : 0.0;
    sources.filterPresent = filterLevels != nullptr && filterEntries > 0;
    sources.filter = sources.filterPresent ? filterLevels[std::min (sampleIndex / 16, filterEntries - 1)] : 0.0;
}

double SplineOscillator::nextRandom() noexcept
{
    return random.next() / 1073741823.5 - 1.0;
}

bool SplineOscillator::movedBySource (int source) noexcept
{
    return source == osc4mod::lfo1 || source == osc4mod::lfo2 || source == osc4mod::ampEnvelope
        || source == osc4mod::ampEnvelopeInverted || source == osc4mod::filterEnvelope
        || source == osc4mod::filterEnvelopeInverted;
}

void SplineOscillator::splitPlan() noexcept
{
    int kept = 0;
    moveCount = 0;
    for (int e = 0; e < planSize; ++e)
    {
        const PlanEntry entry = plan[e];
        const Osc4Data& b = base[entry.point];
        const Osc4ModSlot& slot = b.slots[entry.slot];
        int term = -1;
        switch (slot.source)
        {
            case osc4mod::lfo1: term = 0; break;
            case osc4mod::lfo2: term = 1; break;
            case osc4mod::ampEnvelope: term = 2; break;
            case osc4mod::ampEnvelopeInverted: term = 3; break;
            case osc4mod::filterEnvelope: term = 4; break;
            case osc4mod::filterEnvelopeInverted: term = 5; break;
            default: break;
        }
        if (entry.byShape || term < 0)
        {
            plan[kept++] = entry;
            continue;
        }
        const bool horizontal = slot.direction == osc4mod::horizontal;
        Osc4Data& w = working[entry.point];
        moves[moveCount++] = { entry.point, entry.slot, term, horizontal, slot.depth,
                               horizontal ? b.x[entry.slot] : b.y[entry.slot],
                               horizontal ? &w.x[entry.slot] : &w.y[entry.slot] };
    }
    planSize = kept;

    // Up and down first: they move one height each. Each group keeps its
    // order; sorted through a local array, as std::stable_partition would
    // ask for a buffer from the heap on the audio thread.
    SourceMove sideways[std::size (moves)];
    int vertical = 0, horizontal = 0;
    for (int m = 0; m < moveCount; ++m)
    {
        if (moves[m].horizontal)
            sideways[horizontal++] = moves[m];
        else
            moves[vertical++] = moves[m];
    }
    std::copy (sideways, sideways + horizontal, moves + vertical);
    verticalMoves = vertical;
}

// moveBySource for every kept move: the same values, as base + term * depth
// (the LFO's depth * value is the same product). The pass that made the plan
// left each sub-point's other coordinate within its bounds, and only its own
// move writes it, so placing it again would leave it as it is: only the moved
// coordinate is placed. So is a source that is not there, which leaves both.
void SplineOscillator::applyMoves() noexcept
{
    const double term[6] = { sources.lfo[0], sources.lfo[1], envelopeTerm (sources.amp, false), envelopeTerm (sources.amp, true),
                             envelopeTerm (sources.filter, false), envelopeTerm (sources.filter, true) };
    const bool present[6] = { sources.lfoPresent[0], sources.lfoPresent[1], sources.ampPresent, sources.ampPresent,
                              sources.filterPresent, sources.filterPresent };
    int e = 0;
    if (present[0] && present[1] && present[2] && present[4])
        for (; e < verticalMoves; ++e)
            *moves[e].target = clampSymmetric (moves[e].baseValue + term[moves[e].term] * moves[e].depth, 2.0);
    for (; e < verticalMoves; ++e)
    {
        const SourceMove& m = moves[e];
        if (present[m.term])
            *m.target = clampSymmetric (m.baseValue + term[m.term] * m.depth, 2.0);
    }
    for (; e < moveCount; ++e)
    {
        const SourceMove& m = moves[e];
        if (! present[m.term])
            continue;
        double& x = *m.target;
        const double moved = clamp01 (m.baseValue + term[m.term] * m.depth);
        if (std::memcmp (&moved, &x, sizeof (moved)) != 0)
            shapesStale = true;
        x = moved;
    }
}

// A sub-point moved by an LFO or an envelope, as modulateSubPoint moves it:
// its phase never advances, so the pass that made the plan left it settled.
[[gnu::always_inline]] inline void SplineOscillator::moveBySource (const Osc4Data& b, Osc4Data& w, int s) noexcept
{
    const Osc4ModSlot& slot = b.slots[s];
    const bool horizontal = slot.direction == osc4mod::horizontal;
    const double xBefore = w.x[s];
    double value = horizontal ? xBefore : w.y[s];
    moveToSource (slot, horizontal ? b.x[s] : b.y[s], value);
    placeSubPoint (w, s, horizontal, value, xBefore);
}

[[gnu::always_inline]] inline void SplineOscillator::moveToSource (const Osc4ModSlot& slot, double baseValue,
                                                                  double& value) const noexcept
{
    const double depth = slot.depth;
    switch (slot.source)
    {
        case osc4mod::lfo1:
        case osc4mod::lfo2:
        {
            const int which = slot.source == osc4mod::lfo1 ? 0 : 1;
            if (sources.lfoPresent[which])
                value = baseValue + depth * sources.lfo[which];
            break;
        }

        case osc4mod::ampEnvelope:
        case osc4mod::ampEnvelopeInverted:
            if (sources.ampPresent)
                value = baseValue + envelopeTerm (sources.amp, slot.source == osc4mod::ampEnvelopeInverted) * depth;
            break;

        case osc4mod::filterEnvelope:
        case osc4mod::filterEnvelopeInverted:
            if (sources.filterPresent)
                value = baseValue + envelopeTerm (sources.filter, slot.source == osc4mod::filterEnvelopeInverted) * depth;
            break;

        default:
            break;
    }
}

[[gnu::always_inline]] inline void SplineOscillator::placeSubPoint (Osc4Data& w, int s, bool horizontal, double value,
                                                                   double xBefore) noexcept
{
    // Heights stay within reach; positions stay inside the cycle. Worked out
    // in registers: storing the value and reading it back through the other
    // name of the same field stalls.
    const double y = clampSymmetric (horizontal ? w.y[s] : value, 2.0);
    const double x = clamp01 (horizontal ? value : xBefore);
    if (std::memcmp (&x, &xBefore, sizeof (x)) != 0)
        shapesStale = true;
    w.y[s] = y;
    w.x[s] = x;
}

SplineOscillator::PlanEntry SplineOscillator::planEntry (int j, int s) noexcept
{
    const Osc4Data& b = base[j];
    const Osc4ModSlot& slot = b.slots[s];
    PlanEntry e {};
    e.point = j;
    e.slot = s;
    e.byShape = ! movedBySource (slot.source);
    e.horizontal = slot.direction == osc4mod::horizontal;
    e.flips = slot.speed == 0.5 && slot.source == osc4mod::ownShapeNote;
    e.modulation = &slot;
    e.moved = &working[j];
    e.baseValue = e.horizontal ? b.x[s] : b.y[s];
    e.baseY = b.y[s];
    return e;
}

// Inlined into the modulation pass (its only caller), which runs it for every
// moving point of every cycle: what it reads of the point was found with the plan.
[[gnu::always_inline]] inline void SplineOscillator::modulateSubPoint (const PlanEntry& entry, int size) noexcept
{
    const Osc4ModSlot& slot = *entry.modulation;
    const int j = entry.point;
    const int s = entry.slot;
    const double depth = slot.depth;
    double& ph = phase[j][s];
    double& x = entry.moved->x[s];
    double& y = entry.moved->y[s];
    const double xBefore = x;

    // Speed 0.5 on the note source flips the point between its two extremes.
    if (entry.flips)
    {
        ph = ph > 0.0 ? -1.0 : 1.0;
        y = entry.baseY + depth * ph;
        return;
    }

    switch (slot.source)
    {
        case osc4mod::ownShapeNote:
            ph += slot.speed != 0.0 ? slot.speed : j * size * 0.00002;
            break;
        case osc4mod::ownShapeBeat:
            ph += size * shapeRate[j][s] / samplesPerBeat;
            break;
        case osc4mod::ownShapeHz:
            ph += size * shapeRate[j][s] / sampleRate;
            break;
        default:
            break;
    }

    bool wrapped = false;
    if (! std::isfinite (ph))
        ph = 0.0;
    else if (ph > 1.0)
    {
        wrapped = true;
        ph -= std::floor (ph);
    }
    else if (ph < 0.0)
    {
        ph -= std::floor (ph);
    }

    const bool horizontal = entry.horizontal;
    const double baseValue = entry.baseValue;
    double value = horizontal ? xBefore : y;

    switch (slot.source)
    {
        case osc4mod::ownShapeNote:
        case osc4mod::ownShapeBeat:
        case osc4mod::ownShapeHz:
            switch (slot.shape)
            {
                case osc4mod::sine:
                    value = baseValue + std::sin (kTwoPi * ph) * depth;
                    break;
                case osc4mod::saw:
                    value = baseValue + (1.0 - 2.0 * ph) * depth;
                    break;
                case osc4mod::reverseSaw:
                    value = baseValue + (2.0 * ph - 1.0) * depth;
                    break;
                case osc4mod::square:
                    value = ph < 0.5 ? baseValue + depth : baseValue - depth;
                    break;
                case osc4mod::ownWave:
                    if (cycleLength > 0)
                    {
                        const int index = std::min ((int) (cycleLength * ph), cycleLength - 1);
                        value = baseValue + getCycle()[index] * depth;
                    }
                    break;
                case osc4mod::capturedWave:
                    if (capturedWave != nullptr)
                        value = capturedWave[((int) (ph * 4096.0)) & 4095] * depth;
                    break;
                case osc4mod::sampleAndHold:
                    if (wrapped)
                        randomValue[j][s] = nextRandom();
                    value = baseValue + depth * randomValue[j][s];
                    break;
                case osc4mod::sampleAndGlide:
                    if (wrapped)
                    {
                        previousRandom[j][s] = randomValue[j][s];
                        randomValue[j][s] = nextRandom() * depth;
                    }
                    value = baseValue + (1.0 - ph) * previousRandom[j][s] + ph * randomValue[j][s];
                    break;
                default:   // triangle and unknown shapes leave the point
                    break;
            }
            break;

        default:
            moveToSource (slot, baseValue, value);
            break;
    }

    // As placeSubPoint places it.
    const double placedY = clampSymmetric (horizontal ? y : value, 2.0);
    const double placedX = clamp01 (horizontal ? value : xBefore);
    if (std::memcmp (&placedX, &xBefore, sizeof (placedX)) != 0)
        shapesStale = true;
    y = placedY;
    x = placedX;
}
