#pragma once

#include <climits>  // defines __GLIBC__ on glibc

#include "envelope/processor_features.hpp"

// ZARN_CLONED_FOR(isa) marks a kernel that is compiled once more for the
// named instruction set (such as "fma" or "avx2") besides the baseline; the
// loader picks the version the processor runs. That needs an indirect
// function from the dynamic loader: GCC or clang on x86-64 ELF with glibc.
// Elsewhere (Mach-O, Windows, musl) only the baseline is built, unless the
// kernel's caller chooses as below; the kernels are written so that every
// version gives the same bits.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define ZARN_CLONED_FOR(isa) __attribute__((target_clones(isa, "default")))
#define ZARN_LOADER_CHOOSES_CLONES 1
#endif
#endif
#ifndef ZARN_CLONED_FOR
#define ZARN_CLONED_FOR(isa)
#define ZARN_LOADER_CHOOSES_CLONES 0
#endif

// ZARN_COMPILED_FOR(isa) marks a function that runs only where the
// processor has the named instruction set (processor_features.hpp), which
// GCC and clang then compile for it, together with what is inlined into
// it. MSVC compiles any function for the instruction sets its intrinsics
// ask for.
#if ZARN_ASKS_PROCESSOR_FEATURES && (defined(__GNUC__) || defined(__clang__))
#define ZARN_COMPILED_FOR(isa) __attribute__((target(isa)))
#else
#define ZARN_COMPILED_FOR(isa)
#endif

// Whether the kernels cloned for AVX2 are chosen by their caller instead:
// x86-64 builds with GCC or clang where the loader cannot choose and the
// compiler does not assume AVX2. (MSVC compiles a function for AVX2 only
// where the whole build assumes it.)
#if ZARN_ASKS_PROCESSOR_FEATURES && (defined(__GNUC__) || defined(__clang__)) && \
    !ZARN_LOADER_CHOOSES_CLONES && !defined(__AVX2__)
#define ZARN_AVX2_CHOSEN_AT_RUN_TIME 1
#else
#define ZARN_AVX2_CHOSEN_AT_RUN_TIME 0
#endif

#if ZARN_AVX2_CHOSEN_AT_RUN_TIME
namespace zarn {

// processor_has_avx2(), asked once at start-up.
inline const bool avx2_enabled = processor_has_avx2();

}  // namespace zarn
#endif
