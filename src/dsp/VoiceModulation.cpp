#include "dsp/VoiceModulation.h"

#include "dsp/Envelope.h"
#include "dsp/LFO.h"

#include <algorithm>
#include <climits>
#include <cmath>

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

void VoiceModulation::updateModTableFor (int d) noexcept
{
    if (! validDestination (d) || capacity <= 0)
        return;

    double* table = storage + (size_t) d * (size_t) capacity;
    std::fill (table, table + capacity, ModMatrix::baseValue (multiplicative[d]));

    // Never past the table, even if ensureModTableSize was skipped.
    const int entries = std::min (ModMatrix::entriesForBlock (blockSize), capacity);

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
        for (int j = 0; j < capacity; ++j)
            table[j] = ModMatrix::mapPulseWidth (table[j]);
}
