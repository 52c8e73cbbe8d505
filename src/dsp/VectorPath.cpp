#include "dsp/VectorPath.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vectorpath
{
namespace
{
bool cpuHasWide() noexcept
{
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    return __builtin_cpu_supports ("avx2") != 0;
#else
    return false;
#endif
}

// Settled before any audio runs, so the audio thread never waits on it.
const bool available = cpuHasWide();

const bool chosenAtStart = [] {
    const char* env = std::getenv ("TALVORA_VECTOR_PATH");
    if (env != nullptr && std::strcmp (env, "sse2") == 0)
        return false;
    return available;
}();

std::atomic<int> forced { -1 };
} // namespace

bool wideAvailable() noexcept
{
    return available;
}

bool useWide() noexcept
{
    const int f = forced.load (std::memory_order_relaxed);
    return f < 0 ? chosenAtStart : (f == 1 && available);
}

void force (int mode) noexcept
{
    forced.store (mode == 0 || mode == 1 ? mode : -1, std::memory_order_relaxed);
}
} // namespace vectorpath
