#pragma once

// What the processor and the operating system support, asked (CPUID) by
// x86-64 builds whose kernels choose an instruction set at run time.
#if (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER))
#define ZARN_ASKS_PROCESSOR_FEATURES 1
#else
#define ZARN_ASKS_PROCESSOR_FEATURES 0
#endif

#if ZARN_ASKS_PROCESSOR_FEATURES
namespace zarn {

// The FMA instruction: CPUID's FMA and AVX bits and the AVX state enabled
// in XCR0.
bool processor_has_fma() noexcept;

// AVX2: CPUID's AVX2 bit, and AVX as for FMA.
bool processor_has_avx2() noexcept;

}  // namespace zarn
#endif
