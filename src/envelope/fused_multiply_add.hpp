#pragma once

#include <cmath>

// Whether std::fma is exactly a * b + c rounded once: where the processor
// always has the instruction, and in C libraries whose software fma is
// exact (glibc, Apple's). mingw-w64's fma rounds through an 80-bit long
// double, which is not the same.
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
// exact, the integer version elsewhere.
inline double fused_multiply_add(double a, double b, double c) noexcept {
#if ZARN_LIBRARY_FMA_IS_EXACT
    return std::fma(a, b, c);
#else
    return exact_fused_multiply_add(a, b, c);
#endif
}

}  // namespace zarn
