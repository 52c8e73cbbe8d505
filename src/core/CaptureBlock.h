#pragma once

// The last output samples for the oscilloscope and the waveform capture: a
// ring of the left channel, the index of its newest entry and the output
// peaks. The block driver writes it while the editor reads it; every entry is
// a relaxed atomic, so a reader may see samples of two blocks in one frame but
// never a torn or racing value.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class CaptureBlock
{
public:
    static constexpr int kRingSize = 176400;

    CaptureBlock() : ring (new std::atomic<float>[kRingSize])
    {
        clear();
    }

    CaptureBlock (const CaptureBlock&) = delete;
    CaptureBlock& operator= (const CaptureBlock&) = delete;

    // Any index, negative ones included, wraps into the ring.
    static int wrap (int64_t index) noexcept
    {
        const int64_t r = index % kRingSize;
        return (int) (r < 0 ? r + kRingSize : r);
    }

    float sample (int64_t index) const noexcept { return ring[slot (index)].load (std::memory_order_relaxed); }
    void setSample (int64_t index, float value) noexcept { ring[slot (index)].store (value, std::memory_order_relaxed); }
    const std::atomic<float>* entries() const noexcept { return ring.get(); }

    int64_t getPosition() const noexcept { return position.load (std::memory_order_relaxed); }
    void setPosition (int64_t p) noexcept { position.store (p, std::memory_order_relaxed); }

    // Entry by entry, as a reader of the live block sees it.
    void copyFrom (const CaptureBlock& other) noexcept
    {
        for (std::size_t i = 0; i < kRingEntries; ++i)
            ring[i].store (other.ring[i].load (std::memory_order_relaxed), std::memory_order_relaxed);
        position.store (other.position.load (std::memory_order_relaxed), std::memory_order_relaxed);
        peakLeft.store (other.peakLeft.load (std::memory_order_relaxed), std::memory_order_relaxed);
        peakRight.store (other.peakRight.load (std::memory_order_relaxed), std::memory_order_relaxed);
        peakReset.store (other.peakReset.load (std::memory_order_relaxed), std::memory_order_relaxed);
    }

    void clear() noexcept
    {
        for (std::size_t i = 0; i < kRingEntries; ++i)
            ring[i].store (0.0f, std::memory_order_relaxed);
        position.store (0, std::memory_order_relaxed);
        peakLeft.store (0.0f, std::memory_order_relaxed);
        peakRight.store (0.0f, std::memory_order_relaxed);
        peakReset.store (true, std::memory_order_relaxed);
    }

    std::atomic<float> peakLeft { 0.0f }, peakRight { 0.0f };
    // Set by a reader; the next block starts new peaks.
    std::atomic<bool> peakReset { true };

private:
    static constexpr std::size_t kRingEntries = kRingSize;
    static std::size_t slot (int64_t index) noexcept { return static_cast<std::size_t> (wrap (index)); }

    std::unique_ptr<std::atomic<float>[]> ring;
    std::atomic<int64_t> position { 0 };
};
