#pragma once

#include <climits>  // defines __GLIBC__ on glibc

// ZARN_CLONED_FOR(isa) marks a kernel that is compiled once more for the
// named instruction set (such as "fma" or "avx2") besides the baseline; the
// loader picks the version the processor runs. That needs an indirect
// function from the dynamic loader: GCC or clang on x86-64 ELF with glibc.
// Elsewhere (Mach-O, Windows, musl) only the baseline is built; the kernels
// are written so that both versions give the same bits.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define ZARN_CLONED_FOR(isa) __attribute__((target_clones(isa, "default")))
#endif
#endif
#ifndef ZARN_CLONED_FOR
#define ZARN_CLONED_FOR(isa)
#endif
