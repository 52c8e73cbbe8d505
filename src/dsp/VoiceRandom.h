#pragma once

#include <cstdint>

// Small per-voice random generator with the range of rand() (0 .. 2^31 - 1).
// Each voice owns one, seeded per instance and voice, so renders repeat
// exactly and no global lock is taken on the audio thread.
class VoiceRandom
{
public:
    static constexpr int32_t kMax = 0x7fffffff;

    explicit VoiceRandom (uint64_t seed = 1) noexcept { setSeed (seed); }

    void setSeed (uint64_t seed) noexcept
    {
        state = seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
        if (state == 0)
            state = 0x632BE59BD9B4E019ull;
    }

    // Uniform integer in [0, kMax].
    int32_t next() noexcept
    {
        // xorshift64*: fast, no tables, good enough for noise.
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return (int32_t) ((state * 0x2545F4914F6CDD1Dull) >> 33);
    }

    // Uniform double in [0, 1].
    double nextUnit() noexcept { return next() * (1.0 / kMax); }

private:
    uint64_t state = 0;
};
