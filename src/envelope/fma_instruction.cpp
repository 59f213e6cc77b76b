#include "envelope/fma_instruction.hpp"

#if ZARN_FMA_INSTRUCTION_AT_RUN_TIME

#if defined(__GNUC__) || defined(__clang__)
#include <cpuid.h>
#else
#include <intrin.h>
#endif

namespace zarn {

namespace {

constexpr unsigned fma_bit = 1u << 12;
constexpr unsigned osxsave_bit = 1u << 27;
constexpr unsigned avx_bit = 1u << 28;
// XCR0: the operating system saves the SSE and the AVX registers.
constexpr unsigned long long sse_and_avx_state = 0x6;

// ECX of CPUID leaf 1.
unsigned leaf_one_ecx() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) ? ecx : 0;
#else
    int registers[4] = {};
    __cpuid(registers, 1);
    return static_cast<unsigned>(registers[2]);
#endif
}

unsigned long long enabled_state() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    unsigned low = 0, high = 0;
    // xgetbv: readable wherever CPUID reports OSXSAVE.
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
#else
    return _xgetbv(0);
#endif
}

}  // namespace

bool processor_has_fma() noexcept {
    const unsigned ecx = leaf_one_ecx();
    const unsigned needed = fma_bit | osxsave_bit | avx_bit;
    return (ecx & needed) == needed && (enabled_state() & sse_and_avx_state) == sse_and_avx_state;
}

}  // namespace zarn

#endif
