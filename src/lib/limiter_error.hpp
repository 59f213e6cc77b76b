#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

namespace zarn {

// The configuration and sample errors of the limiter core. They are returned
// as values, never thrown; the binding turns each into a ValueError carrying
// message().
struct ZeroSampleRate {};
struct InvalidThreshold {
    double threshold_dBFS;
};
struct InvalidDuration {
    const char* name;  // "attack_ms", "hold_ms" or "release_ms"
    double value;
};
struct AttackRoundsToZero {
    double attack_ms;
    std::uint32_t sample_rate;
};
struct ZeroChannels {};
struct IndivisibleLength {
    std::uint64_t samples;
    std::uint64_t channels;
};
struct NonFiniteSample {
    std::uint64_t index;  // position in the channel-major buffer
};
// A NaN or infinity in a stream, by its place from the stream's start.
struct NonFiniteStreamSample {
    std::uint64_t frame;
    std::uint64_t channel;
};

struct LimiterError {
    std::variant<ZeroSampleRate, InvalidThreshold, InvalidDuration, AttackRoundsToZero,
                 ZeroChannels, IndivisibleLength, NonFiniteSample, NonFiniteStreamSample>
        kind;

    // The fixed English text of the variant with its numbers filled in.
    std::string message() const;
};

// An invariant of the core that does not hold. It never happens on valid
// state; the binding reports it as an internal failure, not as a crash.
class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

}  // namespace zarn
