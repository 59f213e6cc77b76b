#pragma once

#include "envelope/processor_features.hpp"

// The x86-64 FMA instruction for builds that cannot assume it (the compiler
// was not told the processor has it, -mfma or /arch:AVX2) and whose C
// library's fma is not exact (mingw-w64, musl, MSVC): without it the release
// follower's fused multiply-add runs in integer arithmetic, about three
// times the cost of the whole envelope step. The processor is asked once,
// at start-up (CPUID), and the instruction used where it exists.
#if ZARN_ASKS_PROCESSOR_FEATURES && !defined(__FMA__)
#define ZARN_FMA_INSTRUCTION_AT_RUN_TIME 1
#else
#define ZARN_FMA_INSTRUCTION_AT_RUN_TIME 0
#endif

#if ZARN_FMA_INSTRUCTION_AT_RUN_TIME && !defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#endif

namespace zarn {

#if ZARN_FMA_INSTRUCTION_AT_RUN_TIME
// Whether fused_multiply_add and the envelope's kernels use the
// instruction: processor_has_fma() from start-up on. The native tests turn
// it off to compare the integer version with it, bit for bit.
inline bool fma_instruction_enabled = processor_has_fma();

// a * b + c rounded once, by the instruction; only where
// processor_has_fma().
inline double fma_instruction(double a, double b, double c) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    // Inline assembly rather than the intrinsic, which GCC and clang allow
    // only in code compiled for FMA: fused_multiply_add runs this in
    // baseline code too.
    // c = a * b + c.
    __asm__("vfmadd231sd %[a], %[b], %[c]" : [c] "+x"(c) : [a] "x"(a), [b] "x"(b));
    return c;
#else
    return _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(a), _mm_set_sd(b), _mm_set_sd(c)));
#endif
}
#endif

}  // namespace zarn

