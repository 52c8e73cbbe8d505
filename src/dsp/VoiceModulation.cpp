#include "dsp/VoiceModulation.h"

#include "dsp/Envelope.h"
#include "dsp/LFO.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <utility>

#if defined(__SSE2__)
 #include <emmintrin.h>
#endif

namespace
{
constexpr int kConstructionBlock = 256;

inline int tableCapacityFor (int required) noexcept
{
    int c = 16;
    while (c < required && c < (INT_MAX / 2))
        c *= 2;
    return c;
}
} // namespace

VoiceModulation::VoiceModulation()
{
    for (int d = 0; d < ModMatrix::kNumDestinations; ++d)
        multiplicative[d] = ModMatrix::isMultiplicative (d);

    growTables (ModMatrix::requiredTableSize (kConstructionBlock));
}

void VoiceModulation::prepare (double, int maximumBlockSize)
{
    const int required = ModMatrix::requiredTableSize (std::max (maximumBlockSize, kConstructionBlock));
    if (required > capacity)
        growTables (required);
}

void VoiceModulation::growTables (int required)
{
    capacity = tableCapacityFor (required);
    tables.assign ((size_t) capacity * ModMatrix::kNumDestinations, 1.0);
    storage = tables.data();
}

void VoiceModulation::setSharedTables (double* shared, int entries)
{
    if (shared == nullptr || entries <= 0)
    {
        if (storage != tables.data() || tables.empty())
            growTables (ModMatrix::requiredTableSize (kConstructionBlock));
        return;
    }
    std::vector<double>().swap (tables);
    storage = shared;
    capacity = entries;
}

void VoiceModulation::setEnvelopeTables (const double* ampLevels, int ampEntries,
                                         const double* filterLevels, int filterEntries) noexcept
{
    ampEnvTable = ampLevels;
    ampEnvEntries = ampLevels != nullptr ? std::max (0, ampEntries) : 0;
    filterEnvTable = filterLevels;
    filterEnvEntries = filterLevels != nullptr ? std::max (0, filterEntries) : 0;
}

void VoiceModulation::setEnvelopes (const Envelope* amplitude, const Envelope* filter) noexcept
{
    ampEnvelope = amplitude;
    filterEnvelope = filter;
}

void VoiceModulation::setLfoSources (const LFO* lfo1, const LFO* lfo2) noexcept
{
    lfo1Source = lfo1;
    lfo2Source = lfo2;
}

void VoiceModulation::setVelocity (double v) noexcept
{
    velocity = v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
}

void VoiceModulation::setMultiplicative (int d, bool isMult) noexcept
{
    if (validDestination (d))
        multiplicative[d] = isMult;
}

bool VoiceModulation::isMultiplicative (int d) const noexcept
{
    return validDestination (d) && multiplicative[d];
}

void VoiceModulation::beginBlock (int numSamples)
{
    setBlockSize (numSamples);
    clearComputedFlags();
    ensureModTableSize();
}

void VoiceModulation::clearComputedFlags() noexcept
{
    std::fill (std::begin (computed), std::end (computed), false);
}

void VoiceModulation::ensureModTableSize()
{
    // Every 8-sample group of the block, the last partial one included, plus one.
    const int required = ModMatrix::requiredTableSize (blockSize);
    if (required > capacity)
        growTables (required);
}

bool VoiceModulation::requestDestination (int d) noexcept
{
    if (! validDestination (d))
        return false;

    if (! computed[d])
    {
        if (ampEnvelope == nullptr || filterEnvelope == nullptr)
            return active[d] = false;

        const bool any = ModMatrix::hasAnyAmount (parameters, d);
        if (any)
            updateModTableFor (d);

        active[d] = any;
        computed[d] = true;
    }

    return active[d];
}

bool VoiceModulation::isActive (int d) const noexcept
{
    return validDestination (d) && active[d];
}

const double* VoiceModulation::getTable (int d) const noexcept
{
    return validDestination (d) ? storage + (size_t) d * (size_t) capacity : nullptr;
}

void VoiceModulation::addLfo (double* table, int entries, const LFO* lfo, double weight) const noexcept
{
    if (lfo == nullptr || lfo->isFinishedOneShot())
        return;

    const double* buffer = lfo->getBuffer();
    // Read only what the LFO computed for this block.
    const int valid = std::min (lfo->getValidLength(), lfo->getCapacity());
    // Shared LFOs hold the whole host block; a voice renders a part of it.
    const int offset = lfo->isVoiceOwned() ? 0 : sharedLfoOffset;

    // Entry j reads sample offset + 8 j, while that is below valid.
    if (valid <= offset || entries <= 0)
        return;
    const int count = std::min (entries, (valid - offset - 1) / ModMatrix::kSamplesPerEntry + 1);
    const double* from = buffer + offset;
    for (int j = 0; j < count; ++j)
        table[j] += from[j * ModMatrix::kSamplesPerEntry] * weight;
}

namespace
{
// Entry j of a table whose live sources all reach the whole block: the base,
// then each present source's term in source order, as the passes one source
// at a time add them. Bits of `present`: LFO 1, LFO 2, amplitude envelope,
// filter envelope (velocity adds its constant, 0 when it has no amount... it
// is left out then too).
template <int present, bool pulseWidth>
void fillTogether (double* table, int entries, double base, const double* lfoA, const double* lfoB, const double* amp,
                   const double* filter, const double* w, double velocityTerm) noexcept
{
    const double wA = w[0], wB = w[1], wAmp = w[2], wFilter = w[3];
    int j = 0;
#if defined(__SSE2__)
    // Two entries at a time, each lane adding as the plain loop does; an
    // even entry and the next share their filter level.
    const __m128d wA2 = _mm_set1_pd (wA), wB2 = _mm_set1_pd (wB), wAmp2 = _mm_set1_pd (wAmp),
                  wFilter2 = _mm_set1_pd (wFilter), velocity2 = _mm_set1_pd (velocityTerm);
    for (; j + 2 <= entries; j += 2)
    {
        __m128d t = _mm_set1_pd (base);
        if constexpr ((present & 1) != 0)
            t = _mm_add_pd (t, _mm_mul_pd (_mm_loadh_pd (_mm_load_sd (lfoA + j * ModMatrix::kSamplesPerEntry),
                                                         lfoA + (j + 1) * ModMatrix::kSamplesPerEntry),
                                           wA2));
        if constexpr ((present & 2) != 0)
            t = _mm_add_pd (t, _mm_mul_pd (_mm_loadh_pd (_mm_load_sd (lfoB + j * ModMatrix::kSamplesPerEntry),
                                                         lfoB + (j + 1) * ModMatrix::kSamplesPerEntry),
                                           wB2));
        if constexpr ((present & 4) != 0)
            t = _mm_add_pd (t, _mm_mul_pd (_mm_loadu_pd (amp + j), wAmp2));
        if constexpr ((present & 8) != 0)
            t = _mm_add_pd (t, _mm_mul_pd (_mm_set1_pd (filter[j >> 1]), wFilter2));
        if constexpr ((present & 16) != 0)
            t = _mm_add_pd (t, velocity2);
        if constexpr (pulseWidth)
        {
            // As mapPulseWidth: the max first, so NaN ends at -1.
            const __m128d v = _mm_sub_pd (_mm_mul_pd (t, _mm_set1_pd (0.49)), _mm_set1_pd (0.49));
            t = _mm_min_pd (_mm_max_pd (v, _mm_set1_pd (-1.0)), _mm_set1_pd (1.0));
        }
        _mm_storeu_pd (table + j, t);
    }
#endif
    for (; j < entries; ++j)
    {
        double t = base;
        if constexpr ((present & 1) != 0)
            t += lfoA[j * ModMatrix::kSamplesPerEntry] * wA;
        if constexpr ((present & 2) != 0)
            t += lfoB[j * ModMatrix::kSamplesPerEntry] * wB;
        if constexpr ((present & 4) != 0)
            t += amp[j] * wAmp;
        if constexpr ((present & 8) != 0)
            t += filter[j >> 1] * wFilter;
        if constexpr ((present & 16) != 0)
            t += velocityTerm;
        table[j] = pulseWidth ? ModMatrix::mapPulseWidth (t) : t;
    }
}

using FillTogether = void (*) (double*, int, double, const double*, const double*, const double*, const double*,
                               const double*, double) noexcept;

template <int... m>
constexpr std::array<FillTogether, 64> fillTable (std::integer_sequence<int, m...>) noexcept
{
    return { { fillTogether<(m & 31), (m >> 5) != 0>... } };
}

// Index: the present bits, plus 32 for a pulse-width destination.
constexpr std::array<FillTogether, 64> fillers = fillTable (std::make_integer_sequence<int, 64> {});
} // namespace

bool VoiceModulation::lfoTerm (const LFO* lfo, int entries, const double*& from, int& count) const noexcept
{
    if (lfo == nullptr || lfo->isFinishedOneShot())
        return false;

    // Read only what the LFO computed for this block.
    const int valid = std::min (lfo->getValidLength(), lfo->getCapacity());
    // Shared LFOs hold the whole host block; a voice renders a part of it.
    const int offset = lfo->isVoiceOwned() ? 0 : sharedLfoOffset;

    // Entry j reads sample offset + 8 j, while that is below valid.
    if (valid <= offset || entries <= 0)
        return false;
    count = std::min (entries, (valid - offset - 1) / ModMatrix::kSamplesPerEntry + 1);
    from = lfo->getBuffer() + offset;
    return true;
}

void VoiceModulation::updateModTableFor (int d) noexcept
{
    if (! validDestination (d) || capacity <= 0)
        return;

    double* table = storage + (size_t) d * (size_t) capacity;
    const bool pulseWidth = ModMatrix::isPulseWidth (d);
    const double base = ModMatrix::baseValue (multiplicative[d]);

    // Never past the table, even if ensureModTableSize was skipped.
    const int entries = std::min (ModMatrix::entriesForBlock (blockSize), capacity);

    // Entries past the block keep the (mapped) base.
    {
        const double rest = pulseWidth ? ModMatrix::mapPulseWidth (base) : base;
        std::fill (table + entries, table + capacity, rest);
    }

    // The common case: every live source with an amount reaches every
    // entry, so each entry is summed in one go.
    const double* from[4] = { nullptr, nullptr, ampEnvTable, filterEnvTable };
    double weights[4] {};
    double velocityTerm = 0.0;
    int present = 0;
    bool whole = entries > 0;
    for (int s = 0; s < ModMatrix::kNumLiveSources && whole; ++s)
    {
        const double a = ModMatrix::amount (parameters, s, d);
        if (a == 0.0)
            continue;
        const double weight = a * a;
        switch (s)
        {
            case ModMatrix::lfo1:
            case ModMatrix::lfo2:
            {
                int count = 0;
                if (lfoTerm (s == ModMatrix::lfo1 ? lfo1Source : lfo2Source, entries, from[s], count))
                {
                    whole = count == entries;
                    weights[s] = weight;
                    present |= 1 << s;
                }
                break;
            }
            case ModMatrix::ampEnvelope:
                whole = ampEnvEntries >= entries;
                weights[s] = weight;
                present |= 4;
                break;
            case ModMatrix::filterEnvelope:
                // One filter level per 16 samples serves two entries.
                whole = 2 * (long long) filterEnvEntries >= entries;
                weights[s] = weight;
                present |= 8;
                break;
            case ModMatrix::velocity:
                velocityTerm = velocity * 1.5 * velocity * weight;
                present |= 16;
                break;
            default:
                break;
        }
    }

    if (whole)
    {
        fillers[(size_t) (present | (pulseWidth ? 32 : 0))](table, entries, base, from[0], from[1], from[2], from[3],
                                                             weights, velocityTerm);
        return;
    }

    addOneByOne (d, table, entries);
}

void VoiceModulation::addOneByOne (int d, double* table, int entries) noexcept
{
    std::fill (table, table + entries, ModMatrix::baseValue (multiplicative[d]));
    for (int s = 0; s < ModMatrix::kNumLiveSources; ++s)
    {
        const double a = ModMatrix::amount (parameters, s, d);
        if (a == 0.0)
            continue;

        const double weight = a * a;

        switch (s)
        {
            case ModMatrix::lfo1:
                addLfo (table, entries, lfo1Source, weight);
                break;

            case ModMatrix::lfo2:
                addLfo (table, entries, lfo2Source, weight);
                break;

            case ModMatrix::ampEnvelope:
            {
                const int count = std::min (entries, ampEnvEntries);
                for (int j = 0; j < count; ++j)
                    table[j] += ampEnvTable[j] * weight;
                break;
            }

            case ModMatrix::filterEnvelope:
            {
                // One filter level per 16 samples serves two entries.
                const int count = filterEnvEntries >= entries ? entries : std::min (entries, 2 * filterEnvEntries);
                int j = 0;
                for (; j + 2 <= count; j += 2)
                {
                    const double level = filterEnvTable[j / 2] * weight;
                    table[j] += level;
                    table[j + 1] += level;
                }
                if (j < count)
                    table[j] += filterEnvTable[j / 2] * weight;
                break;
            }

            case ModMatrix::velocity:
            {
                const double v = velocity * 1.5 * velocity * weight;
                for (int j = 0; j < entries; ++j)
                    table[j] += v;
                break;
            }

            default:
                break;
        }
    }

    if (ModMatrix::isPulseWidth (d))
        for (int j = 0; j < entries; ++j)
            table[j] = ModMatrix::mapPulseWidth (table[j]);
}
