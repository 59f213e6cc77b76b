// libFuzzer harness for the limiter core.
//
// The input is read as a configuration followed by a buffer of samples:
//
//   sample-rate selector (1 byte, then 4 more bytes for a raw rate)
//   threshold_dBFS, attack_ms, hold_ms, release_ms: each a kind byte and its
//       payload (a raw double, a small decimal, or one of a list of edge values)
//   channel count (1 byte), buffer flags (1 byte), sample encoding (1 byte)
//   samples: raw float32 bits, or int16 / int8 values times a power of two
//
// Every configuration goes through the constructor; a rejected one must be
// rejected for the right reason. Every buffer of an accepted configuration
// goes through the processing pass; a rejected buffer must be rejected for
// the right reason and left untouched, and an accepted one must come back
// within the ceiling, with every gain in [0, 1], every frame's peak times its
// gain at the threshold at most (up to float32 rounding), every sample equal
// to its input times its frame's gain, and the same result on a second call.
// Every buffer also goes through the straightforward reference pass of the
// native tests, whose error, gains and samples the library's pass must match
// bit for bit.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "lib/limiter.hpp"
#include "lib/limiter_error.hpp"
#include "lib/limiter_settings.hpp"
#include "lib/number_text.hpp"
#include "reference_pass.hpp"

namespace {

// Stops the run with a message; libFuzzer records the input as a crash.
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "core_fuzzer: property violated: %s\n", what);
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) {
        fail(what);
    }
}

// Reads little-endian values from the fuzz input; past its end every read
// yields zeros, so every input decodes to something.
class InputReader {
public:
    explicit InputReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    template <class T>
    T read() {
        std::uint8_t raw[sizeof(T)] = {};
        const std::size_t count = std::min(sizeof(T), bytes_.size());
        if (count != 0) {
            std::memcpy(raw, bytes_.data(), count);
            bytes_ = bytes_.subspan(count);
        }
        T value;
        std::memcpy(&value, raw, sizeof(T));
        return value;
    }

    std::size_t remaining() const { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
};

constexpr std::uint32_t common_sample_rates[] = {
    1000, 8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 192000, 1, 2, 3,
};

std::uint32_t read_sample_rate(InputReader& in) {
    const auto selector = in.read<std::uint8_t>();
    if (selector == 0xff) {
        return in.read<std::uint32_t>();  // any rate, 0 included
    }
    return common_sample_rates[selector % std::size(common_sample_rates)];
}

// Values at the edges of validation and of the sample-count arithmetic.
constexpr double edge_values[] = {
    0.0,
    -0.0,
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::denorm_min(),
    -std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    0.01,
    0.011,
    0.5,
    -1.0,
    -6.02,
    -7000.0,
    1e308,
    1e-7,
    1e21,
};

double read_setting(InputReader& in) {
    const auto kind = in.read<std::uint8_t>();
    switch (kind % 4) {
        case 0:
            return std::bit_cast<double>(in.read<std::uint64_t>());
        case 1:
            return in.read<std::uint16_t>() / 100.0;
        case 2:
            return -(in.read<std::uint16_t>() / 100.0);
        default:
            return edge_values[in.read<std::uint8_t>() % std::size(edge_values)];
    }
}

bool is_valid_duration(double ms) { return std::isfinite(ms) && !(ms < 0.0); }

// Look-ahead and hold together beyond this many frames make each execution
// slow and its storage large without reaching any new code.
constexpr double max_window_frames = 200000.0;

bool window_is_affordable(std::uint32_t sample_rate, double attack_ms, double hold_ms) {
    if (!is_valid_duration(attack_ms) || !is_valid_duration(hold_ms)) {
        return true;  // rejected before anything is allocated
    }
    const double frames = (attack_ms + hold_ms) * static_cast<double>(sample_rate) / 1000.0;
    return frames <= max_window_frames;
}

// The text of every double must read back to the same value.
void check_rendering(double value) {
    const std::string text = zarn::render_double(value);
    check(text.find_first_of("eE") == std::string::npos || text == "inf" || text == "-inf",
          "rendered double has an exponent");
    if (std::isnan(value)) {
        check(text == "NaN", "NaN renders as NaN");
        return;
    }
    const double parsed = std::strtod(text.c_str(), nullptr);
    check(std::bit_cast<std::uint64_t>(parsed) == std::bit_cast<std::uint64_t>(value),
          "rendered double reads back to the same bits");
}

// Checks a rejected configuration against the first setting that is invalid.
void check_configuration_error(const zarn::LimiterError& error, std::uint32_t sample_rate,
                               double threshold_dBFS, const double (&durations)[3]) {
    static constexpr const char* duration_names[] = {"attack_ms", "hold_ms", "release_ms"};
    check(!error.message().empty(), "error renders to a text");
    if (sample_rate == 0) {
        check(std::holds_alternative<zarn::ZeroSampleRate>(error.kind), "zero rate first");
        return;
    }
    if (!std::isfinite(threshold_dBFS) || threshold_dBFS > 0.0) {
        const auto* invalid = std::get_if<zarn::InvalidThreshold>(&error.kind);
        check(invalid != nullptr, "invalid threshold second");
        check(std::bit_cast<std::uint64_t>(invalid->threshold_dBFS) ==
                  std::bit_cast<std::uint64_t>(threshold_dBFS),
              "threshold error carries the value");
        return;
    }
    for (int i = 0; i < 3; ++i) {
        if (!is_valid_duration(durations[i])) {
            const auto* invalid = std::get_if<zarn::InvalidDuration>(&error.kind);
            check(invalid != nullptr, "invalid duration after the threshold");
            check(std::strcmp(invalid->name, duration_names[i]) == 0,
                  "first invalid duration is reported");
            return;
        }
    }
    check(std::holds_alternative<zarn::AttackRoundsToZero>(error.kind),
          "a valid configuration is only refused for an attack of no sample");
}

void check_configuration(const zarn::Limiter& limiter) {
    check(limiter.lookahead_samples >= 1, "look-ahead of at least one frame");
    check(limiter.window_length >= limiter.lookahead_samples,
          "window spans the look-ahead");
    check(limiter.hold_samples == limiter.window_length - limiter.lookahead_samples,
          "hold is window minus look-ahead");
    check(limiter.threshold >= 0.0 && limiter.threshold <= 1.0, "linear threshold in [0, 1]");
    check(limiter.release_coefficient >= 0.0 && limiter.release_coefficient <= 1.0,
          "release coefficient in [0, 1]");
    std::uint64_t stage_total = 0;
    for (const auto& stage : limiter.state.stages) {
        check(stage.length >= 1, "stage length at least one");
        stage_total += stage.length;
    }
    check(stage_total == limiter.lookahead_samples + 2, "stage lengths sum to look-ahead + 2");
}

struct DecodedBuffer {
    std::vector<float> samples;
    std::size_t channels;
};

DecodedBuffer read_buffer(InputReader& in) {
    const auto channel_byte = in.read<std::uint8_t>();
    const auto flags = in.read<std::uint8_t>();
    const auto encoding = in.read<std::uint8_t>();
    DecodedBuffer buffer;
    buffer.channels = channel_byte == 0 ? 0 : channel_byte % 8 + 1;
    // The low two bits choose the encoding, the rest a power-of-two scale.
    const float scale = std::ldexp(1.0f, (encoding >> 2) - 24);
    switch (encoding & 3) {
        case 0:
            while (in.remaining() >= 4) {
                buffer.samples.push_back(std::bit_cast<float>(in.read<std::uint32_t>()));
            }
            break;
        case 1:
            while (in.remaining() >= 2) {
                buffer.samples.push_back(static_cast<float>(in.read<std::int16_t>()) * scale);
            }
            break;
        default:
            while (in.remaining() >= 1) {
                buffer.samples.push_back(static_cast<float>(in.read<std::int8_t>()) * scale);
            }
            break;
    }
    // Most inputs hold whole frames; flag bit 0 keeps a ragged length.
    if ((flags & 1) == 0 && buffer.channels != 0) {
        buffer.samples.resize(buffer.samples.size() / buffer.channels * buffer.channels);
    }
    return buffer;
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
    // memcmp must not see the null data of an empty span.
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

void check_buffer_error(const zarn::LimiterError& error, const DecodedBuffer& input) {
    check(!error.message().empty(), "error renders to a text");
    const std::size_t count = input.samples.size();
    if (input.channels == 0) {
        check(std::holds_alternative<zarn::ZeroChannels>(error.kind), "zero channels first");
        return;
    }
    if (count % input.channels != 0) {
        const auto* ragged = std::get_if<zarn::IndivisibleLength>(&error.kind);
        check(ragged != nullptr, "ragged length second");
        check(ragged->samples == count && ragged->channels == input.channels,
              "ragged length carries count and channels");
        return;
    }
    const auto first_bad =
        std::find_if(input.samples.begin(), input.samples.end(),
                     [](float sample) { return !std::isfinite(sample); });
    const auto* non_finite = std::get_if<zarn::NonFiniteSample>(&error.kind);
    check(non_finite != nullptr && first_bad != input.samples.end(),
          "a whole-frame buffer is only refused for a non-finite sample");
    check(non_finite->index == static_cast<std::uint64_t>(first_bad - input.samples.begin()),
          "the first non-finite sample is reported");
}

void check_limited(const zarn::Limiter& limiter, const DecodedBuffer& input,
                   std::span<const float> output, std::span<const float> gains) {
    const std::size_t frames = input.samples.size() / input.channels;
    check(gains.size() == frames, "one gain per frame");
    const double threshold = limiter.threshold;
    const float ceiling = static_cast<float>(threshold);
    // A frame gain is a double rounded once to float32: a relative error of
    // 2^-24, or for a subnormal gain (a peak near the float32 maximum) an
    // absolute error of 2^-150.
    const double relative_rounding = 1.0 + std::ldexp(1.0, -23);
    const double subnormal_spacing = std::ldexp(1.0, -149);
    bool within_threshold = true;
    for (std::size_t t = 0; t < frames; ++t) {
        const float gain = gains[t];
        check(gain >= 0.0f && gain <= 1.0f, "gain in [0, 1]");
        float peak = 0.0f;
        for (std::size_t c = 0; c < input.channels; ++c) {
            const std::size_t i = c * frames + t;
            const float sample = input.samples[i];
            peak = std::max(peak, std::fabs(sample));
            const float expected = std::clamp(sample * gain, -ceiling, ceiling);
            check(std::bit_cast<std::uint32_t>(output[i]) == std::bit_cast<std::uint32_t>(expected),
                  "sample is its input times the frame gain, clamped to the ceiling");
            check(std::fabs(output[i]) <= ceiling, "no sample above the ceiling");
        }
        check(static_cast<double>(peak) * gain <=
                  threshold * relative_rounding + static_cast<double>(peak) * subnormal_spacing,
              "frame peak times gain within the threshold");
        within_threshold = within_threshold && peak <= threshold;
    }
    if (within_threshold) {
        check(same_bits(output, input.samples), "a buffer within the threshold is unchanged");
        check(std::all_of(gains.begin(), gains.end(), [](float g) { return g == 1.0f; }),
              "a buffer within the threshold keeps unity gain");
    }
}

// The library's pass against the reference pass on a limiter of the same
// settings: the same error, or the same gains and samples, bit for bit.
void check_against_reference(const zarn::LimiterSettings& settings, std::uint32_t sample_rate,
                             const DecodedBuffer& input,
                             const zarn::Expected<zarn::SampleBuffer, zarn::LimiterError>& gains,
                             std::span<const float> output) {
    auto reference_limiter = zarn::Limiter::create(sample_rate, settings);
    check(reference_limiter.has_value(), "the reference accepts the same settings");
    std::vector<float> expected = input.samples;
    const auto expected_gains = reference_process(*reference_limiter, expected, input.channels);
    check(expected_gains.has_value() == gains.has_value(), "the reference accepts the same buffers");
    if (!gains) {
        check(expected_gains.error().message() == gains.error().message(),
              "the reference reports the same error");
        return;
    }
    check(same_bits(gains->span(), expected_gains->span()), "gains equal the reference's");
    check(same_bits(output, expected), "samples equal the reference's");
}

void run(std::span<const std::uint8_t> bytes) {
    InputReader in(bytes);
    const std::uint32_t sample_rate = read_sample_rate(in);
    const double threshold_dBFS = read_setting(in);
    const double durations[3] = {read_setting(in), read_setting(in), read_setting(in)};
    for (double value : {threshold_dBFS, durations[0], durations[1], durations[2]}) {
        check_rendering(value);
    }
    if (!window_is_affordable(sample_rate, durations[0], durations[1])) {
        return;
    }

    const zarn::LimiterSettings settings{threshold_dBFS, durations[0], durations[1], durations[2]};
    auto created = zarn::Limiter::create(sample_rate, settings);
    if (!created) {
        check_configuration_error(created.error(), sample_rate, threshold_dBFS, durations);
        return;
    }
    zarn::Limiter& limiter = *created;
    check_configuration(limiter);

    const DecodedBuffer input = read_buffer(in);
    std::vector<float> first = input.samples;
    auto first_gains = limiter.process(first, input.channels);
    check_against_reference(settings, sample_rate, input, first_gains, first);
    if (!first_gains) {
        check_buffer_error(first_gains.error(), input);
        check(same_bits(first, input.samples), "a refused buffer is untouched");
        return;
    }
    check_limited(limiter, input, first, first_gains->span());

    std::vector<float> second = input.samples;
    auto second_gains = limiter.process(second, input.channels);
    check(second_gains.has_value(), "a second call accepts the same buffer");
    check(same_bits(second, first), "a second call limits identically");
    check(same_bits(second_gains->span(), first_gains->span()),
          "a second call gives identical gains");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        run({data, size});
    } catch (const std::bad_alloc&) {
        // Storage that cannot be had is refused; nothing else may be thrown.
    }
    return 0;
}
