#pragma once

#include <cmath>

#include "envelope/fma_instruction.hpp"

// Whether std::fma is exactly a * b + c rounded once: where the processor
// always has the instruction, and in C libraries whose software fma is
// exact (glibc, Apple's). mingw-w64's fma rounds through an 80-bit long
// double, which is not the same, and musl's gives +0 where a product that
// underflows to -0 meets a +0 (the native tests' LibraryFma cases show it).
#if defined(__FMA__) || defined(__aarch64__) || defined(_M_ARM64) || defined(__GLIBC__) || \
    defined(__APPLE__)
#define ZARN_LIBRARY_FMA_IS_EXACT 1
#else
#define ZARN_LIBRARY_FMA_IS_EXACT 0
#endif

// Whether fused_multiply_add chooses at run time between the instruction and
// the integer version; the envelope's kernels then make that choice once
// per call rather than once per operation.
#if ZARN_FMA_INSTRUCTION_AT_RUN_TIME && !ZARN_LIBRARY_FMA_IS_EXACT
#define ZARN_FMA_CHOSEN_AT_RUN_TIME 1
#else
#define ZARN_FMA_CHOSEN_AT_RUN_TIME 0
#endif

namespace zarn {

// A way to compute a * b + c rounded once; the envelope's kernels are
// compiled for one.
using FusedMultiplyAdd = double (*)(double, double, double) noexcept;

// a * b + c rounded once to nearest, ties to even, in integer arithmetic.
double exact_fused_multiply_add(double a, double b, double c) noexcept;

// a * b + c rounded once by what every processor of the build runs: the
// library where it is exact (or the instruction, where the compiler assumes
// it), the integer version elsewhere.
inline double baseline_fused_multiply_add(double a, double b, double c) noexcept {
#if ZARN_LIBRARY_FMA_IS_EXACT
    return std::fma(a, b, c);
#else
    return exact_fused_multiply_add(a, b, c);
#endif
}

// a * b + c rounded once: baseline_fused_multiply_add, or the instruction
// where it is chosen at run time and this processor has it. All round the
// same way, so the choice never changes a bit.
inline double fused_multiply_add(double a, double b, double c) noexcept {
#if ZARN_FMA_CHOSEN_AT_RUN_TIME
    if (fma_instruction_enabled) {
        return fma_instruction(a, b, c);
    }
#endif
    return baseline_fused_multiply_add(a, b, c);
}

}  // namespace zarn
