#include "dsp/filter.h"

#include "dsp/VectorPath.h"

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

void Filter::processBlockQuad (const VoiceSides& a, const VoiceSides& b, int n) noexcept
{
    const int t = a.filters[0]->type;
    const bool ladder = t == ladderLowPass24 || t == doubleLadderLowPass;
    bool usable = TALVORA_WIDE_PATH && ladder && n > 0 && vectorpath::useWide();
    for (const VoiceSides* v : { &a, &b })
        usable = usable && v->filters[0]->type == t && v->filters[1]->type == t && v->samples[0] != nullptr
                 && v->samples[1] != nullptr && v->cutoffTable != nullptr;
    if (! usable)
    {
        for (const VoiceSides* v : { &a, &b })
            processBlockPair (*v->filters[0], *v->filters[1], v->cutoffTable, v->resonanceModulation, v->samples[0],
                              v->samples[1], n, v->resonanceModulated, v->resonance);
        return;
    }

    Filter* const f[4] = { a.filters[0], a.filters[1], b.filters[0], b.filters[1] };
    for (Filter* filter : f)
        filter->startBlock();
    const bool modulatedA = a.resonanceModulated && a.resonanceModulation != nullptr;
    const bool modulatedB = b.resonanceModulated && b.resonanceModulation != nullptr;
    for (int start = 0; start < n; start += filtering::kGroupSize)
    {
        const int group = start / filtering::kGroupSize;
        const int count = std::min (filtering::kGroupSize, n - start);
        const double modulationA = modulatedA ? a.resonanceModulation[group] : 1.0;
        const double modulationB = modulatedB ? b.resonanceModulation[group] : 1.0;
        for (int s = 0; s < 2; ++s)
            f[s]->updateCoefficients (a.cutoffTable[group], a.resonance, modulatedA, modulationA);
        for (int s = 2; s < 4; ++s)
            f[s]->updateCoefficients (b.cutoffTable[group], b.resonance, modulatedB, modulationB);
        double* const x[4] = { a.samples[0] + start, a.samples[1] + start, b.samples[0] + start, b.samples[1] + start };
        if (t == ladderLowPass24)
        {
            LadderFilter* const ladders[4] = { &f[0]->ladder, &f[1]->ladder, &f[2]->ladder, &f[3]->ladder };
            LadderFilter::processGroupQuad (ladders, x, count);
        }
        else
        {
            DoubleLadderFilter* const ladders[4] = { &f[0]->doubleLadder, &f[1]->doubleLadder, &f[2]->doubleLadder,
                                                     &f[3]->doubleLadder };
            DoubleLadderFilter::processGroupQuad (ladders, x, count);
        }
    }
}
