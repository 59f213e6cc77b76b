#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace zarn::meter {

// The configuration and sample errors of the meter, returned as values; the
// binding turns each into a ValueError carrying message().
struct SampleRateTooLow {
    std::uint32_t sample_rate;
};
struct NoChannels {};
struct WeightCount {
    std::uint64_t weights;
    std::uint64_t channels;
};
struct InvalidWeight {
    std::uint64_t channel;
    double weight;
};
struct ChannelCount {
    std::uint64_t given;
    std::uint64_t expected;
};
// Counted from the start of the stream.
struct NonFiniteSample {
    std::uint64_t frame;
    std::uint64_t channel;
};

struct MeterError {
    std::variant<SampleRateTooLow, NoChannels, WeightCount, InvalidWeight, ChannelCount,
                 NonFiniteSample>
        kind;

    // The fixed English text of the variant with its numbers filled in.
    std::string message() const;
};

}  // namespace zarn::meter
