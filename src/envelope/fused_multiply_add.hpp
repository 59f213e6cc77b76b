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

namespace zarn {

// a * b + c rounded once to nearest, ties to even, in integer arithmetic.
double exact_fused_multiply_add(double a, double b, double c) noexcept;

// a * b + c rounded once: the instruction or the library where either is
// exact; elsewhere the instruction where this processor has it (chosen at
// run time, on x86-64) and the integer version where it has not. All three
// round the same way, so the choice never changes a bit.
inline double fused_multiply_add(double a, double b, double c) noexcept {
#if ZARN_LIBRARY_FMA_IS_EXACT
    return std::fma(a, b, c);
#elif ZARN_FMA_INSTRUCTION_AT_RUN_TIME
    if (fma_instruction_enabled) {
        return fma_instruction(a, b, c);
    }
    return exact_fused_multiply_add(a, b, c);
#else
    return exact_fused_multiply_add(a, b, c);
#endif
}

}  // namespace zarn
