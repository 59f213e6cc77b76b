#include "lib/limiter_error.hpp"

#include "lib/number_text.hpp"

namespace zarn {

namespace {

std::string text_of(const ZeroSampleRate&) {
    return "sample_rate must be greater than zero";
}

std::string text_of(const InvalidThreshold& error) {
    return "threshold_dBFS must be a finite dBFS value less than or equal to 0, got " +
           render_double(error.threshold_dBFS);
}

std::string text_of(const InvalidDuration& error) {
    return std::string(error.name) + " must be finite and non-negative, got " +
           render_double(error.value);
}

std::string text_of(const AttackRoundsToZero& error) {
    return "attack_ms=" + render_double(error.attack_ms) + " rounds to zero samples at " +
           render_unsigned(error.sample_rate) + " Hz";
}

std::string text_of(const ZeroChannels&) {
    return "channels must be greater than zero";
}

std::string text_of(const IndivisibleLength& error) {
    return render_unsigned(error.samples) + " samples cannot be divided into frames with " +
           render_unsigned(error.channels) + " channels";
}

std::string text_of(const NonFiniteSample& error) {
    return "input sample at flat index " + render_unsigned(error.index) + " is not finite";
}

std::string text_of(const NonFiniteStreamSample& error) {
    return "input sample at frame " + render_unsigned(error.frame) + ", channel " +
           render_unsigned(error.channel) + " is not finite";
}

}  // namespace

std::string LimiterError::message() const {
    return std::visit([](const auto& error) { return text_of(error); }, kind);
}

}  // namespace zarn
