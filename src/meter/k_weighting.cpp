#include "meter/k_weighting.hpp"

#include <cmath>
#include <numbers>

namespace zarn::meter {

namespace {

// The table of the standard at 48 kHz.
constexpr KWeighting table_at_48kHz = {
    {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
     0.73248077421585},
    {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621},
};

// The analogue prototypes behind the table: a second-order shelf of about
// +4 dB above 1.7 kHz and a second-order high-pass at 38 Hz.
constexpr double shelf_frequency = 1681.974450955533;
constexpr double shelf_gain_dB = 3.999843853973347;
constexpr double shelf_q = 0.7071752369554196;
// The shelf's band-edge gain is the high-frequency gain to this power.
constexpr double shelf_band_exponent = 0.4996667741545416;
constexpr double high_pass_frequency = 38.13547087602444;
constexpr double high_pass_q = 0.5003270373238773;

Biquad design_shelf(double sample_rate) {
    const double k = std::tan(std::numbers::pi * shelf_frequency / sample_rate);
    const double high_gain = std::pow(10.0, shelf_gain_dB / 20.0);
    const double band_gain = std::pow(high_gain, shelf_band_exponent);
    const double a0 = 1.0 + k / shelf_q + k * k;
    return {(high_gain + band_gain * k / shelf_q + k * k) / a0, 2.0 * (k * k - high_gain) / a0,
            (high_gain - band_gain * k / shelf_q + k * k) / a0, 2.0 * (k * k - 1.0) / a0,
            (1.0 - k / shelf_q + k * k) / a0};
}

// The table keeps the numerator 1, -2, 1 unnormalised; so does the design.
Biquad design_high_pass(double sample_rate) {
    const double k = std::tan(std::numbers::pi * high_pass_frequency / sample_rate);
    const double a0 = 1.0 + k / high_pass_q + k * k;
    return {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / high_pass_q + k * k) / a0};
}

}  // namespace

KWeighting design_k_weighting(double sample_rate) {
    return {design_shelf(sample_rate), design_high_pass(sample_rate)};
}

KWeighting k_weighting_for(std::uint32_t sample_rate) {
    return sample_rate == 48000 ? table_at_48kHz : design_k_weighting(sample_rate);
}

}  // namespace zarn::meter
