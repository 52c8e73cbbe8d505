#pragma once

#include <cstddef>
#include <vector>

/**
    The work buffers of one voice render that nothing keeps from one render
    to the next: the two sides, the control tables (cutoff and amplitude one
    entry per 8 samples, filter envelope one per 16) and the modulation
    tables. The voices of an instance render one after another on one
    thread, so the instance holds one set and lends it to all of them; a
    voice without one (or given a longer block than it was sized for) makes
    its own.

    prepare() sizes everything for blocks of up to maximumBlockSize samples;
    not on the audio thread.
*/
class VoiceScratch
{
public:
    /** A view of one buffer, used like the vector it replaces. */
    struct Buffer
    {
        double* values = nullptr;
        std::size_t length = 0;

        double* data() const noexcept { return values; }
        double* begin() const noexcept { return values; }
        double* end() const noexcept { return values + length; }
        std::size_t size() const noexcept { return length; }
        double& operator[] (std::size_t i) const noexcept { return values[i]; }
    };

    /** Sizes for blocks up to maximumBlockSize (at least 16); contents zero,
        the modulation tables at 1. */
    void prepare (int maximumBlockSize);

    /** Samples a block may have; 0 before prepare(). */
    int getCapacity() const noexcept { return capacity; }

    Buffer left() noexcept { return view (0, (std::size_t) capacity); }
    Buffer right() noexcept { return view ((std::size_t) capacity, (std::size_t) capacity); }
    Buffer cutoffTable() noexcept { return view (2 * (std::size_t) capacity, perEight()); }
    Buffer ampTable() noexcept { return view (2 * (std::size_t) capacity + perEight(), perEight()); }
    Buffer filterEnvTable() noexcept { return view (2 * (std::size_t) capacity + 2 * perEight(), perSixteen()); }

    /** kNumDestinations tables of getModulationCapacity() entries each. */
    double* modulationTables() noexcept { return modulation.data(); }
    int getModulationCapacity() const noexcept { return modulationCapacity; }

    /** The sizes a block of n samples asks for: samples rounded up to a power
        of two, and entries per modulation table. */
    static int capacityFor (int numSamples) noexcept;
    static int modulationCapacityFor (int numSamples) noexcept;

private:
    std::size_t perEight() const noexcept { return (std::size_t) capacity / 8 + 2; }
    std::size_t perSixteen() const noexcept { return (std::size_t) capacity / 16 + 2; }
    Buffer view (std::size_t offset, std::size_t length) noexcept { return { samples.data() + offset, length }; }

    int capacity = 0;
    int modulationCapacity = 0;
    std::vector<double> samples;
    std::vector<double> modulation;
};
