#include "dsp/ModMatrix.h"

#include "core/parameters.h"

#include <cmath>

static_assert (ModMatrix::kNumSources == params::kModSources, "sources match the parameter block");
static_assert (ModMatrix::kNumDestinations == params::kModDestinations, "destinations match the parameter block");
static_assert (params::modAmountIndex (0, 0) == ModMatrix::kFirstAmount
                   && params::modAmountIndex (ModMatrix::kNumSources - 1, ModMatrix::kNumDestinations - 1)
                          == ModMatrix::kFirstAmount + ModMatrix::kNumSources * ModMatrix::kNumDestinations - 1,
               "amounts where the parameter block keeps them");

const char* ModMatrix::sourceName (int source) noexcept
{
    static const char* const names[kNumLiveSources] = { "lfo1", "lfo2", "amp env", "flt env", "velocity" };
    return (source >= 0 && source < kNumLiveSources) ? names[source] : "";
}

bool ModMatrix::isMultiplicative (int destination) noexcept
{
    return ! (destination >= noiseLevel && destination <= osc3Level);
}

bool ModMatrix::isPulseWidth (int destination) noexcept
{
    return destination == osc1PulseWidth || destination == osc2PulseWidth;
}

int ModMatrix::entriesForBlock (int numSamples) noexcept
{
    return numSamples > 0 ? (numSamples + kSamplesPerEntry - 1) / kSamplesPerEntry : 0;
}

int ModMatrix::requiredTableSize (int numSamples) noexcept
{
    return entriesForBlock (numSamples) + 1;
}
