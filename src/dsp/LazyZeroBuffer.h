#pragma once

#include <cstddef>
#include <type_traits>

namespace lazyzero
{
/** Zero-filled memory of at least `bytes` bytes, committed as written;
    `reserved` receives the size actually reserved. Throws std::bad_alloc. */
void* reserve (std::size_t bytes, std::size_t& reserved);
void unreserve (void* memory, std::size_t reserved) noexcept;
/** Back to zero, uncommitted. */
void discard (void* memory, std::size_t reserved) noexcept;
std::size_t resident (const void* memory, std::size_t reserved) noexcept;
std::size_t pageSize() noexcept;
} // namespace lazyzero

/**
    A zero-filled array whose memory the system commits page by page as it is
    first written, not when it is sized.

    For tables sized for the worst case that most uses fill only in part: an
    oscillator-4 copy's cycle table is as long as the longest cycle at the
    rate, but a note in the middle of the keyboard writes a few pages of it.
    Pages never written cost address space, not resident memory, and read as
    zero. Sizing (allocate) is not for the audio thread; reading and writing
    are plain memory accesses.
*/
template <typename T>
class LazyZeroBuffer
{
    static_assert (std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                   "the buffer holds plain values whose all-zero bytes are their zero");

public:
    LazyZeroBuffer() = default;
    ~LazyZeroBuffer() { release(); }

    LazyZeroBuffer (const LazyZeroBuffer&) = delete;
    LazyZeroBuffer& operator= (const LazyZeroBuffer&) = delete;

    /** count zeros (any earlier contents are dropped); throws std::bad_alloc
        when the system refuses. Not on the audio thread. */
    void allocate (std::size_t count)
    {
        release();
        if (count == 0)
            return;
        values = static_cast<T*> (lazyzero::reserve (count * sizeof (T), bytes));
        length = count;
    }

    /** Every value back to zero, returning the pages to the system. Not on
        the audio thread. */
    void clear() noexcept
    {
        if (values != nullptr)
            lazyzero::discard (values, bytes);
    }

    /** Commits the pages that hold the first `count` values now, keeping
        what they hold: for the part every use writes at once, so that its
        first writes do not stop the audio thread for the system to find
        pages. Not on the audio thread. */
    void commit (std::size_t count) noexcept
    {
        if (values == nullptr)
            return;
        const std::size_t end = (count < length ? count : length) * sizeof (T);
        auto* memory = reinterpret_cast<volatile unsigned char*> (values);
        for (std::size_t at = 0; at < end; at += lazyzero::pageSize())
            memory[at] = memory[at];   // a write, of what is there
    }

    T* data() noexcept { return values; }
    const T* data() const noexcept { return values; }
    std::size_t size() const noexcept { return length; }
    bool empty() const noexcept { return length == 0; }
    T* begin() noexcept { return values; }
    T* end() noexcept { return values + length; }
    T& operator[] (std::size_t i) noexcept { return values[i]; }
    const T& operator[] (std::size_t i) const noexcept { return values[i]; }

    /** Bytes of the buffer the system holds in memory now (page granular).
        Not on the audio thread. */
    std::size_t residentBytes() const noexcept { return values != nullptr ? lazyzero::resident (values, bytes) : 0; }

private:
    void release() noexcept
    {
        if (values != nullptr)
            lazyzero::unreserve (values, bytes);
        values = nullptr;
        length = 0;
        bytes = 0;
    }

    T* values = nullptr;
    std::size_t length = 0;
    std::size_t bytes = 0;   // as reserved: whole pages
};
