#pragma once

#include <cfenv>

// x86's SSE unit keeps its own rounding and flushing bits in MXCSR (GCC and
// clang name the architecture __x86_64__ / __i386__, MSVC _M_X64 / _M_IX86).
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define ZARN_HAS_MXCSR 1
#include <xmmintrin.h>
#endif

namespace zarn::python {

// For its lifetime, the thread computes in the default floating-point
// environment: round to nearest, no flush-to-zero, no denormals-are-zero,
// exceptions masked. The results are fixed to the last bit, and a caller
// (or a library built with fast-math) may have set another rounding mode or
// flushing for its own thread. The caller's environment, status flags
// included, is restored exactly on every way out. Costs a few dozen cycles
// per call.
class DefaultFloatingPointEnvironment {
public:
    DefaultFloatingPointEnvironment() noexcept {
        std::fegetenv(&saved_);
#ifdef ZARN_HAS_MXCSR
        saved_mxcsr_ = _mm_getcsr();
        // fesetenv's default keeps MXCSR's flush-to-zero and
        // denormals-are-zero bits on some C libraries.
        _mm_setcsr(default_mxcsr);
#endif
        std::fesetenv(FE_DFL_ENV);
    }
    ~DefaultFloatingPointEnvironment() {
        std::fesetenv(&saved_);
#ifdef ZARN_HAS_MXCSR
        _mm_setcsr(saved_mxcsr_);
#endif
    }
    DefaultFloatingPointEnvironment(const DefaultFloatingPointEnvironment&) = delete;
    DefaultFloatingPointEnvironment& operator=(const DefaultFloatingPointEnvironment&) = delete;

private:
#ifdef ZARN_HAS_MXCSR
    // All exceptions masked, round to nearest, no flushing, no flags.
    static constexpr unsigned default_mxcsr = 0x1f80;
    unsigned saved_mxcsr_;
#endif
    std::fenv_t saved_;
};

}  // namespace zarn::python
