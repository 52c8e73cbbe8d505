#pragma once

#include <atomic>

/** One element of the engine's value array.

    Values are written by the host, the editor and state restores on their
    threads and read by the audio thread and by the host's polling, none of
    them under a lock. Each value is a relaxed atomic so every reader sees a
    double whole; on x86-64 and ARM64 loads and stores are plain moves.
    Relaxed order is enough: no other data is published through a value. */
class ParameterValue
{
public:
    ParameterValue() noexcept = default;
    ParameterValue (double v) noexcept : value (v) {}
    ParameterValue (const ParameterValue& other) noexcept : value (other.get()) {}

    double get() const noexcept { return value.load (std::memory_order_relaxed); }
    void set (double v) noexcept { value.store (v, std::memory_order_relaxed); }

    operator double() const noexcept { return get(); }
    ParameterValue& operator= (double v) noexcept { set (v); return *this; }
    ParameterValue& operator= (const ParameterValue& other) noexcept { set (other.get()); return *this; }

private:
    std::atomic<double> value { 0.0 };
};

static_assert (std::atomic<double>::is_always_lock_free, "parameter values must be lock-free");
static_assert (sizeof (ParameterValue) == sizeof (double), "the value array stays an array of doubles in size");
