// Builds of the hot pixel loops for several instruction sets.
#pragma once

// The function is built twice, for AVX2 and for the baseline, and the loader
// picks one at run time (x86-64 only; elsewhere one plain build).
#if defined(__x86_64__)
#define VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define VECTOR_CLONES
#endif
