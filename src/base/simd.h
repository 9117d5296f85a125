// Builds of the hot pixel loops for several instruction sets, and the state
// of the vector unit they leave behind.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The function is built twice, for AVX2 and for the baseline, and the loader
// picks one at run time (x86-64 only; elsewhere one plain build).
#if defined(__x86_64__)
#define VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define VECTOR_CLONES
#endif

namespace simd {

#if defined(__x86_64__)
namespace detail {
[[gnu::target("avx")]] inline void zero_upper() { _mm256_zeroupper(); }
} // namespace detail
#endif

// Marks the upper halves of the vector registers unused. Qt's AVX2 fills
// (QImage::fill, a Source-mode fillRect, antialiased paths: every backing
// store's clear) return without doing so, and until something does, every
// SSE instruction on that thread waits to merge with them: libm's atan2 ran
// ten times slower on the main thread than in a fresh one. Called before a
// long SSE loop (or Qt's SSE drawing) that follows such a fill on the same
// thread. Does nothing on a processor without AVX or off x86-64. Any thread.
inline void clear_upper_halves()
{
#if defined(__x86_64__)
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx)
        detail::zero_upper();
#endif
}

} // namespace simd
