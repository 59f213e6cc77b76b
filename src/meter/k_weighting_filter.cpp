#include "meter/k_weighting_filter.hpp"

#include <array>

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

}  // namespace

KWeightingFilter::KWeightingFilter(std::uint32_t sample_rate, std::size_t channels)
    : weighting_(k_weighting_for(sample_rate)), states_(channels) {}

void KWeightingFilter::accumulate(const float* const* channels, std::size_t count,
                                  double* energies) {
    std::size_t c = 0;
    for (; c + 2 <= states_.size(); c += 2) {
        weigh_lanes<2>(weighting_, &states_[c], channels + c, count, energies + c);
    }
    if (c < states_.size()) {
        weigh_lanes<1>(weighting_, &states_[c], channels + c, count, energies + c);
    }
}

}  // namespace zarn::meter
