#include "samples/sample_coding.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace zarn {

namespace {

// The unsigned integer of Width bytes at `bytes`, in the given order.
template <std::size_t Width, ByteOrder Order, class Unsigned>
Unsigned load(const unsigned char* bytes) noexcept {
    Unsigned value = 0;
    for (std::size_t k = 0; k < Width; ++k) {
        const std::size_t byte = Order == ByteOrder::little ? k : Width - 1 - k;
        value |= static_cast<Unsigned>(bytes[byte]) << (8 * k);
    }
    return value;
}

// Stores the low Width bytes of `value` at `bytes`, in the given order.
template <std::size_t Width, ByteOrder Order, class Unsigned>
void store(Unsigned value, unsigned char* bytes) noexcept {
    for (std::size_t k = 0; k < Width; ++k) {
        const std::size_t byte = Order == ByteOrder::little ? k : Width - 1 - k;
        bytes[byte] = static_cast<unsigned char>(value >> (8 * k));
    }
}

// `value` times 2^31, rounded to the nearest integer (ties to even) and
// clipped to 32 bits; a NaN gives the most negative integer. The product is
// exact (a power of two), and a float of magnitude 2^23 or more is an
// integer already; below that, adding and taking away 2^23 rounds it, since
// floats in [2^23, 2^24) are the integers.
std::int32_t scaled_to_32_bits(float value) noexcept {
    const float scaled = value * 0x1p31f;
    if (scaled >= 0x1p31f) {
        return INT32_MAX;
    }
    if (!(scaled > -0x1p31f)) {
        return INT32_MIN;
    }
    const float magnitude = std::fabs(scaled);
    const float rounded = magnitude < 0x1p23f ? (magnitude + 0x1p23f) - 0x1p23f : magnitude;
    return static_cast<std::int32_t>(std::copysign(rounded, scaled));
}

template <std::size_t Bits, ByteOrder Order>
void decode_integers(const unsigned char* stored, std::size_t count, float* samples) noexcept {
    constexpr std::size_t width = Bits / 8;
    constexpr unsigned spare = 32 - Bits;
    const float scale = std::ldexp(1.0f, -static_cast<int>(Bits - 1));
    for (std::size_t i = 0; i < count; ++i) {
        const auto bits = load<width, Order, std::uint32_t>(stored + i * width);
        // The sign bit moved to the top and back: sign extension.
        const std::int32_t value = static_cast<std::int32_t>(bits << spare) >> spare;
        samples[i] = static_cast<float>(value) * scale;
    }
}

template <std::size_t Bits, ByteOrder Order>
void encode_integers(const float* samples, std::size_t count, unsigned char* stored) noexcept {
    constexpr std::size_t width = Bits / 8;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t value = scaled_to_32_bits(samples[i]) >> (32 - Bits);
        store<width, Order>(static_cast<std::uint32_t>(value), stored + i * width);
    }
}

template <ByteOrder Order>
void decode_floats(SampleType type, const unsigned char* stored, std::size_t count,
                   float* samples) noexcept {
    if (type == SampleType::float32) {
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] = std::bit_cast<float>(load<4, Order, std::uint32_t>(stored + i * 4));
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] = static_cast<float>(
                std::bit_cast<double>(load<8, Order, std::uint64_t>(stored + i * 8)));
        }
    }
}

template <ByteOrder Order>
void encode_floats(SampleType type, const float* samples, std::size_t count,
                   unsigned char* stored) noexcept {
    if (type == SampleType::float32) {
        for (std::size_t i = 0; i < count; ++i) {
            store<4, Order>(std::bit_cast<std::uint32_t>(samples[i]), stored + i * 4);
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            const double value = samples[i];
            store<8, Order>(std::bit_cast<std::uint64_t>(value), stored + i * 8);
        }
    }
}

template <ByteOrder Order>
void decode_in_order(SampleType type, const unsigned char* stored, std::size_t count,
                     float* samples) noexcept {
    switch (type) {
        case SampleType::int16:
            return decode_integers<16, Order>(stored, count, samples);
        case SampleType::int24:
            return decode_integers<24, Order>(stored, count, samples);
        case SampleType::int32:
            return decode_integers<32, Order>(stored, count, samples);
        case SampleType::float32:
        case SampleType::float64:
            return decode_floats<Order>(type, stored, count, samples);
    }
}

template <ByteOrder Order>
void encode_in_order(SampleType type, const float* samples, std::size_t count,
                     unsigned char* stored) noexcept {
    switch (type) {
        case SampleType::int16:
            return encode_integers<16, Order>(samples, count, stored);
        case SampleType::int24:
            return encode_integers<24, Order>(samples, count, stored);
        case SampleType::int32:
            return encode_integers<32, Order>(samples, count, stored);
        case SampleType::float32:
        case SampleType::float64:
            return encode_floats<Order>(type, samples, count, stored);
    }
}

}  // namespace

std::size_t SampleEncoding::width() const noexcept {
    switch (type) {
        case SampleType::int16:
            return 2;
        case SampleType::int24:
            return 3;
        case SampleType::int32:
        case SampleType::float32:
            return 4;
        case SampleType::float64:
            return 8;
    }
    return 0;
}

std::optional<SampleType> sample_type_named(std::string_view name) noexcept {
    constexpr std::pair<std::string_view, SampleType> names[] = {
        {"int16", SampleType::int16},     {"int24", SampleType::int24},
        {"int32", SampleType::int32},     {"float32", SampleType::float32},
        {"float64", SampleType::float64},
    };
    for (const auto& [known, type] : names) {
        if (name == known) {
            return type;
        }
    }
    return std::nullopt;
}

void decode_samples(SampleEncoding encoding, const unsigned char* stored, std::size_t count,
                    float* samples) noexcept {
    if (encoding.order == ByteOrder::little) {
        decode_in_order<ByteOrder::little>(encoding.type, stored, count, samples);
    } else {
        decode_in_order<ByteOrder::big>(encoding.type, stored, count, samples);
    }
}

void encode_samples(SampleEncoding encoding, const float* samples, std::size_t count,
                    unsigned char* stored) noexcept {
    if (encoding.order == ByteOrder::little) {
        encode_in_order<ByteOrder::little>(encoding.type, samples, count, stored);
    } else {
        encode_in_order<ByteOrder::big>(encoding.type, samples, count, stored);
    }
}

}  // namespace zarn
