#include "envelope/processor_features.hpp"

#if ZARN_ASKS_PROCESSOR_FEATURES

#if defined(__GNUC__) || defined(__clang__)
#include <cpuid.h>
#else
#include <intrin.h>
#endif

namespace zarn {

namespace {

// ECX of leaf 1.
constexpr unsigned fma_bit = 1u << 12;
constexpr unsigned osxsave_bit = 1u << 27;
constexpr unsigned avx_bit = 1u << 28;
// EBX of leaf 7.
constexpr unsigned avx2_bit = 1u << 5;
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

// EBX of CPUID leaf 7, subleaf 0; 0 where the processor has no leaf 7.
unsigned leaf_seven_ebx() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) ? ebx : 0;
#else
    int registers[4] = {};
    __cpuid(registers, 0);
    if (registers[0] < 7) {
        return 0;
    }
    __cpuidex(registers, 7, 0);
    return static_cast<unsigned>(registers[1]);
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

// Whether the processor has AVX and the operating system saves its state.
bool avx_enabled(unsigned ecx) noexcept {
    const unsigned needed = osxsave_bit | avx_bit;
    return (ecx & needed) == needed && (enabled_state() & sse_and_avx_state) == sse_and_avx_state;
}

}  // namespace

bool processor_has_fma() noexcept {
    const unsigned ecx = leaf_one_ecx();
    return (ecx & fma_bit) != 0 && avx_enabled(ecx);
}

bool processor_has_avx2() noexcept {
    return (leaf_seven_ebx() & avx2_bit) != 0 && avx_enabled(leaf_one_ecx());
}

}  // namespace zarn

#endif
