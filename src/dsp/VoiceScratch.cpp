#include "dsp/VoiceScratch.h"

#include "dsp/ModMatrix.h"

#include <algorithm>
#include <climits>

int VoiceScratch::capacityFor (int numSamples) noexcept
{
    int size = 16;
    while (size < numSamples && size < INT_MAX / 2)
        size *= 2;
    return size;
}

int VoiceScratch::modulationCapacityFor (int numSamples) noexcept
{
    // As many entries as the block needs plus one, rounded up to a power of two.
    const int required = ModMatrix::requiredTableSize (std::max (numSamples, 1));
    int c = 16;
    while (c < required && c < INT_MAX / 2)
        c *= 2;
    return c;
}

void VoiceScratch::prepare (int maximumBlockSize)
{
    capacity = capacityFor (maximumBlockSize);
    modulationCapacity = modulationCapacityFor (maximumBlockSize);
    samples.assign (2 * (std::size_t) capacity + 2 * perEight() + perSixteen(), 0.0);
    modulation.assign ((std::size_t) modulationCapacity * ModMatrix::kNumDestinations, 1.0);
}
