#include "dsp/LazyZeroBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <vector>

std::size_t lazyzero::pageSize() noexcept
{
    static const std::size_t size = [] {
        const long s = sysconf (_SC_PAGESIZE);
        return s > 0 ? (std::size_t) s : (std::size_t) 4096;
    }();
    return size;
}

void* lazyzero::reserve (std::size_t bytes, std::size_t& reserved)
{
    const std::size_t page = pageSize();
    if (bytes > ~(std::size_t) 0 - page)
        throw std::bad_alloc();
    reserved = (bytes + page - 1) / page * page;

    // Anonymous pages read as zero and are committed on their first write.
    void* memory = mmap (nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
#ifdef MADV_NOHUGEPAGE
    // A huge page would commit far more than the few entries a table uses.
    madvise (memory, reserved, MADV_NOHUGEPAGE);
#endif
    return memory;
}

void lazyzero::unreserve (void* memory, std::size_t reserved) noexcept
{
    munmap (memory, reserved);
}

void lazyzero::discard (void* memory, std::size_t reserved) noexcept
{
    // Private anonymous pages dropped this way read as zero again.
    if (madvise (memory, reserved, MADV_DONTNEED) != 0)
        std::memset (memory, 0, reserved);
}

std::size_t lazyzero::resident (const void* memory, std::size_t reserved) noexcept
{
    const std::size_t page = pageSize();
    const std::size_t pages = reserved / page;
    std::vector<unsigned char> flags (pages);
    if (mincore (const_cast<void*> (memory), reserved, flags.data()) != 0)
        return reserved;
    std::size_t count = 0;
    for (unsigned char f : flags)
        count += f & 1u;
    return count * page;
}
