#include "meter/k_weighting_filter.hpp"

#include <array>

// SSE2 is part of every x86-64 processor (GCC and clang name the
// architecture __x86_64__, MSVC _M_X64).
#if defined(__x86_64__) || defined(_M_X64)
#define ZARN_HAS_SSE2 1
#include <emmintrin.h>
#endif

namespace zarn::meter {

namespace {

// The state of `Lanes` channels, one array per quantity, so that the
// compiler can keep each quantity of all lanes in one vector register.
template <std::size_t Lanes>
struct LaneStates {
    using Values = std::array<double, Lanes>;
    Values input1, input2, shelved1, shelved2, output1, output2, sum;
};

// `Lanes` channels at once: their recursions are independent, so the
// processor overlaps them (and the compiler may pair them in one vector).
// Each section is direct form I with the feedback term of the previous
// output added last: the recursion then waits for one multiply and one
// subtraction per sample rather than for the whole sum. The high-pass's
// numerator 1, -2, 1 is applied as additions, which give the same bits as
// its multiplications. Each square is added to the running sum in stream
// order, wherever the stream was divided into calls.
template <std::size_t Lanes>
void weigh_lanes(const KWeighting& k, KWeightingFilter::ChannelState* states,
                 const float* const* channels, std::size_t count, double* energies) {
    LaneStates<Lanes> s;
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
        const KWeightingFilter::ChannelState& c = states[lane];
        s.input1[lane] = c.input1, s.input2[lane] = c.input2;
        s.shelved1[lane] = c.shelved1, s.shelved2[lane] = c.shelved2;
        s.output1[lane] = c.output1, s.output2[lane] = c.output2;
        s.sum[lane] = energies[lane];
    }
    const Biquad& f = k.shelf;
    const Biquad& h = k.high_pass;
    for (std::size_t n = 0; n < count; ++n) {
        typename LaneStates<Lanes>::Values x, shelved, y;
        for (std::size_t lane = 0; lane < Lanes; ++lane) {
            x[lane] = channels[lane][n];
        }
        for (std::size_t lane = 0; lane < Lanes; ++lane) {
            shelved[lane] = (f.b0 * x[lane] + f.b1 * s.input1[lane] + f.b2 * s.input2[lane] -
                             f.a2 * s.shelved2[lane]) -
                            f.a1 * s.shelved1[lane];
            y[lane] = (shelved[lane] - (s.shelved1[lane] + s.shelved1[lane]) +
                       s.shelved2[lane] - h.a2 * s.output2[lane]) -
                      h.a1 * s.output1[lane];
            s.input2[lane] = s.input1[lane];
            s.input1[lane] = x[lane];
            s.shelved2[lane] = s.shelved1[lane];
            s.shelved1[lane] = shelved[lane];
            s.output2[lane] = s.output1[lane];
            s.output1[lane] = y[lane];
            s.sum[lane] += y[lane] * y[lane];
        }
    }
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
        KWeightingFilter::ChannelState& c = states[lane];
        c.input1 = s.input1[lane], c.input2 = s.input2[lane];
        c.shelved1 = s.shelved1[lane], c.shelved2 = s.shelved2[lane];
        c.output1 = s.output1[lane], c.output2 = s.output2[lane];
        energies[lane] = s.sum[lane];
    }
}

#ifdef ZARN_HAS_SSE2
// weigh_lanes<2> with the two channels in the two halves of SSE2 registers:
// the same operations in the same order on each lane, so the same bits.
// Compilers do not pair the lanes themselves, and the pair halves the time
// of a stereo programme.
void weigh_pair(const KWeighting& k, KWeightingFilter::ChannelState* states,
                const float* const* channels, std::size_t count, double* energies) {
    const auto pair = [&](double KWeightingFilter::ChannelState::* field) {
        return _mm_set_pd(states[1].*field, states[0].*field);
    };
    __m128d input1 = pair(&KWeightingFilter::ChannelState::input1);
    __m128d input2 = pair(&KWeightingFilter::ChannelState::input2);
    __m128d shelved1 = pair(&KWeightingFilter::ChannelState::shelved1);
    __m128d shelved2 = pair(&KWeightingFilter::ChannelState::shelved2);
    __m128d output1 = pair(&KWeightingFilter::ChannelState::output1);
    __m128d output2 = pair(&KWeightingFilter::ChannelState::output2);
    __m128d sum = _mm_set_pd(energies[1], energies[0]);
    const Biquad& f = k.shelf;
    const __m128d b0 = _mm_set1_pd(f.b0), b1 = _mm_set1_pd(f.b1), b2 = _mm_set1_pd(f.b2);
    const __m128d a1 = _mm_set1_pd(f.a1), a2 = _mm_set1_pd(f.a2);
    const __m128d ha1 = _mm_set1_pd(k.high_pass.a1), ha2 = _mm_set1_pd(k.high_pass.a2);
    for (std::size_t n = 0; n < count; ++n) {
        const __m128d x = _mm_set_pd(channels[1][n], channels[0][n]);
        __m128d shelved = _mm_add_pd(_mm_mul_pd(b0, x), _mm_mul_pd(b1, input1));
        shelved = _mm_sub_pd(_mm_add_pd(shelved, _mm_mul_pd(b2, input2)), _mm_mul_pd(a2, shelved2));
        shelved = _mm_sub_pd(shelved, _mm_mul_pd(a1, shelved1));
        __m128d y = _mm_add_pd(_mm_sub_pd(shelved, _mm_add_pd(shelved1, shelved1)), shelved2);
        y = _mm_sub_pd(_mm_sub_pd(y, _mm_mul_pd(ha2, output2)), _mm_mul_pd(ha1, output1));
        input2 = input1, input1 = x;
        shelved2 = shelved1, shelved1 = shelved;
        output2 = output1, output1 = y;
        sum = _mm_add_pd(sum, _mm_mul_pd(y, y));
    }
    const auto store = [&](double KWeightingFilter::ChannelState::* field, __m128d value) {
        _mm_storel_pd(&(states[0].*field), value);
        _mm_storeh_pd(&(states[1].*field), value);
    };
    store(&KWeightingFilter::ChannelState::input1, input1);
    store(&KWeightingFilter::ChannelState::input2, input2);
    store(&KWeightingFilter::ChannelState::shelved1, shelved1);
    store(&KWeightingFilter::ChannelState::shelved2, shelved2);
    store(&KWeightingFilter::ChannelState::output1, output1);
    store(&KWeightingFilter::ChannelState::output2, output2);
    _mm_storel_pd(&energies[0], sum);
    _mm_storeh_pd(&energies[1], sum);
}
#else
void weigh_pair(const KWeighting& k, KWeightingFilter::ChannelState* states,
                const float* const* channels, std::size_t count, double* energies) {
    weigh_lanes<2>(k, states, channels, count, energies);
}
#endif

}  // namespace

KWeightingFilter::KWeightingFilter(std::uint32_t sample_rate, std::size_t channels)
    : weighting_(k_weighting_for(sample_rate)), states_(channels) {}

void KWeightingFilter::accumulate(const float* const* channels, std::size_t count,
                                  double* energies) {
    std::size_t c = 0;
    for (; c + 2 <= states_.size(); c += 2) {
        weigh_pair(weighting_, &states_[c], channels + c, count, energies + c);
    }
    if (c < states_.size()) {
        weigh_lanes<1>(weighting_, &states_[c], channels + c, count, energies + c);
    }
}

}  // namespace zarn::meter
