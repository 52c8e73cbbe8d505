#include "dsp/filter.h"

void Filter::prepare (double /*sampleRate*/) noexcept
{
    reset();
}

void Filter::reset() noexcept
{
    lowPass.reset();
    ladder.reset();
    highPass.reset();
    doubleLadder.reset();
    bandPassFilter.reset();
    zeroDelay.reset();
}

void Filter::setType (int newType) noexcept
{
    if (newType == type)
        return;

    type = newType;

    // Routines keep their own state; one resumed after a long pause would
    // start from whatever it held back then.
    switch (type)
    {
        case lowPass12:           lowPass.reset(); break;
        case ladderLowPass24:     ladder.reset(); break;
        case highPass12:          highPass.reset(); break;
        case doubleLadderLowPass: doubleLadder.reset(); break;
        case bandPass:            bandPassFilter.reset(); break;
        case zeroDelayLadder:     zeroDelay.reset(); break;
        default: break;
    }
}

void Filter::setOverdrive (double amount) noexcept
{
    lowPass.setOverdrive (amount);
    ladder.setOverdrive (amount);
    highPass.setOverdrive (amount);
    doubleLadder.setOverdrive (amount);
    bandPassFilter.setOverdrive (amount);
}

void Filter::startBlock() noexcept
{
    ladder.startBlock();
    doubleLadder.startBlock();
    bandPassFilter.startBlock();
}

void Filter::updateCoefficients (double cutoff, double resonance,
                                 bool resonanceModulated, double resonanceModulation) noexcept
{
    filtering::GroupControl control;
    control.cutoff = cutoff;
    control.resonance = resonance;
    control.resonanceModulated = resonanceModulated;
    control.resonanceModulation = resonanceModulated ? resonanceModulation : 1.0;

    switch (type)
    {
        case lowPass12:           lowPass.updateCoefficients (control); break;
        case ladderLowPass24:     ladder.updateCoefficients (control); break;
        case highPass12:          highPass.updateCoefficients (control); break;
        case doubleLadderLowPass: doubleLadder.updateCoefficients (control); break;
        case bandPass:            bandPassFilter.updateCoefficients (control); break;
        case zeroDelayLadder:     zeroDelay.updateCoefficients (control); break;
        default: break;
    }
}

void Filter::processGroup (double* samples, int n) noexcept
{
    if (samples == nullptr || n <= 0)
        return;

    switch (type)
    {
        case lowPass12:           lowPass.processGroup (samples, n); break;
        case ladderLowPass24:     ladder.processGroup (samples, n); break;
        case highPass12:          highPass.processGroup (samples, n); break;
        case doubleLadderLowPass: doubleLadder.processGroup (samples, n); break;
        case bandPass:            bandPassFilter.processGroup (samples, n); break;
        case zeroDelayLadder:     zeroDelay.processGroup (samples, n); break;
        default: break;
    }
}

void Filter::processBlock (const double* cutoffTable, const double* resonanceModulation,
                           double* samples, int n, bool resonanceModulated, double resonance) noexcept
{
    if (n <= 0 || samples == nullptr || cutoffTable == nullptr || ! isActive())
        return;

    const bool modulated = resonanceModulated && resonanceModulation != nullptr;

    startBlock();
    if (type == lowPass12)
    {
        lowPass.processBlock (cutoffTable, resonance, modulated, resonanceModulation, samples, n);
        return;
    }
    for (int start = 0; start < n; start += filtering::kGroupSize)
    {
        const int group = start / filtering::kGroupSize;
        const int count = std::min (filtering::kGroupSize, n - start);
        updateCoefficients (cutoffTable[group], resonance, modulated,
                            modulated ? resonanceModulation[group] : 1.0);
        processGroup (samples + start, count);
    }
}

void Filter::processBlockPair (Filter& a, Filter& b, const double* cutoffTable, const double* resonanceModulation,
                               double* xa, double* xb, int n, bool resonanceModulated, double resonance) noexcept
{
    const bool paired = a.type == b.type && (a.type == ladderLowPass24 || a.type == doubleLadderLowPass);
    if (! paired || n <= 0 || xa == nullptr || xb == nullptr || cutoffTable == nullptr)
    {
        a.processBlock (cutoffTable, resonanceModulation, xa, n, resonanceModulated, resonance);
        b.processBlock (cutoffTable, resonanceModulation, xb, n, resonanceModulated, resonance);
        return;
    }

    const bool modulated = resonanceModulated && resonanceModulation != nullptr;

    a.startBlock();
    b.startBlock();
    for (int start = 0; start < n; start += filtering::kGroupSize)
    {
        const int group = start / filtering::kGroupSize;
        const int count = std::min (filtering::kGroupSize, n - start);
        const double modulation = modulated ? resonanceModulation[group] : 1.0;
        a.updateCoefficients (cutoffTable[group], resonance, modulated, modulation);
        b.updateCoefficients (cutoffTable[group], resonance, modulated, modulation);
        if (a.type == ladderLowPass24)
            LadderFilter::processGroupPair (a.ladder, b.ladder, xa + start, xb + start, count);
        else
            DoubleLadderFilter::processGroupPair (a.doubleLadder, b.doubleLadder, xa + start, xb + start, count);
    }
}
