#pragma once

/** Sample-rate reducer of one voice side: the signal is sampled and held at a
    rate set by the amount and by the voice's cutoff, so the effect follows the
    filter. Four variants:
    0  hold, the phase restarts at each hold (even hold intervals);
    1  hold, the phase keeps its remainder (intervals average the exact rate);
    2  like 0, but the output slides linearly towards each held value;
    3  like 1, with the same linear slide.
    Variants 0 and 1 crossfade from the dry signal for small amounts, and they
    alone follow the amount modulation.

    Audio thread only; never allocates. */
class Decimator
{
public:
    static constexpr int numTypes = 4;

    /** The voice runs the decimator only above this amount or when modulated. */
    static constexpr double kActiveThreshold = 0.001;

    static bool isActive (double amount, bool modulated) noexcept
    {
        return modulated || amount > kActiveThreshold;
    }

    /** Clears all state. The hold rate is counted in samples, so the rate is
        not needed by the arithmetic. */
    void prepare (double sampleRate) noexcept;

    void reset() noexcept;

    /** 0..3; other values switch the decimator off. */
    void setType (int newType) noexcept { type = newType; }
    int getType() const noexcept { return type; }

    /** Whole block in place.
        amount: the decimation parameter (0..1).
        modulated / modulation: whether the decimation destination is active,
        and its table with one entry per 8 samples (may be null otherwise).
        firstCutoff: the block's first cutoff table entry, which scales the
        hold rate. Below the active threshold the samples are left untouched. */
    void processBlock (double* samples, int n, double amount, bool modulated,
                       const double* modulation, double firstCutoff) noexcept;

    /** One group (n <= 8) in place; groupModulation is the destination's
        entry for the group (ignored when not modulated). firstCutoff must be
        the same for every group of a block. */
    void processGroup (double* samples, int n, double amount, bool modulated,
                       double groupModulation, double firstCutoff) noexcept;

    /** processBlock on a voice's two sides, which share the amount, the
        modulation and the cutoff: while both hold at the same moments (their
        phases agree, as they do unless one side was restarted) the hold
        clock runs once for both. The same result as processBlock on each. */
    static void processBlockPair (Decimator& a, Decimator& b, double* samplesA, double* samplesB, int n, double amount,
                                  bool modulated, const double* modulation, double firstCutoff) noexcept;

private:
    // The group's hold step and amount, as processGroup forms them.
    void groupSettings (double amount, bool modulated, double groupModulation, double firstCutoff, double& a,
                        double& step) const noexcept;
    struct Settings
    {
        double a = 0.0;
        double step = 0.0;
    };
    // settings: the group's, as A's groupSettings forms them.
    static void processGroupPair (Decimator& a, Decimator& b, double* xa, double* xb, int n, double amount,
                                  bool modulated, double groupModulation, double firstCutoff,
                                  const Settings& settings) noexcept;
    void finishGroup (double* x, int n) noexcept;
    // finishGroup on both sides.
    static void finishGroupPair (Decimator& a, Decimator& b, double* xa, double* xb, int n) noexcept;

    int type = 0;
    double phase = 0.0;    // hold accumulator
    double held = 0.0;     // current output of the hold (or of the slide)
    double target = 0.0;   // value the slide moves towards
    double slope = 0.0;
    int sinceHold = 0;
};
