#include "meter/meter_error.hpp"

#include "lib/number_text.hpp"

namespace zarn::meter {

namespace {

std::string text_of(const SampleRateTooLow& error) {
    return "sample_rate must be at least 8000 Hz to measure loudness, got " +
           render_unsigned(error.sample_rate);
}

std::string text_of(const NoChannels&) {
    return "channels must be greater than zero";
}

std::string text_of(const WeightCount& error) {
    return "weights must give one value per channel: got " + render_unsigned(error.weights) +
           " for " + render_unsigned(error.channels) +
           (error.channels == 1 ? " channel" : " channels");
}

std::string text_of(const InvalidWeight& error) {
    return "weights[" + render_unsigned(error.channel) +
           "] must be finite and non-negative, got " + render_double(error.weight);
}

std::string text_of(const ChannelCount& error) {
    return "block has " + render_unsigned(error.given) +
           (error.given == 1 ? " channel" : " channels") + ", but the meter measures " +
           render_unsigned(error.expected);
}

std::string text_of(const NonFiniteSample& error) {
    return "input sample at frame " + render_unsigned(error.frame) + ", channel " +
           render_unsigned(error.channel) + " is not finite";
}

}  // namespace

std::string MeterError::message() const {
    return std::visit([](const auto& error) { return text_of(error); }, kind);
}

}  // namespace zarn::meter
