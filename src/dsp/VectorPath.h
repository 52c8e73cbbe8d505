#pragma once

// Wide code is built for x86-64 with GCC or clang, in functions of its own
// target, and called only when useWide() says so.
#ifndef TALVORA_WIDE_PATH
 #if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  #define TALVORA_WIDE_PATH 1
  #define TALVORA_WIDE __attribute__ ((target ("avx2")))
  #define TALVORA_WIDE_INLINE __attribute__ ((target ("avx2"), always_inline)) inline
  #include <immintrin.h>
 #else
  #define TALVORA_WIDE_PATH 0
 #endif
#endif

/**
    Which vector width the voices' inner loops use. On x86-64 a wide path
    (AVX2, four doubles at a time) is taken when the processor has it; the
    SSE2 path, which every x86-64 processor has, is kept and stays the only
    one elsewhere. Both give the same sound within rounding.

    The choice is made once, at first use: TALVORA_VECTOR_PATH=sse2 in the
    environment keeps the plain path, =avx2 asks for the wide one (taken only
    when the processor has it). force() lets a test pick either.
*/
namespace vectorpath
{
/** This build has a wide path and the processor runs it. */
bool wideAvailable() noexcept;

/** What the audio code takes now: one relaxed load. */
bool useWide() noexcept;

/** 0 plain, 1 wide (when available), anything else back to the choice at start. */
void force (int mode) noexcept;
} // namespace vectorpath
