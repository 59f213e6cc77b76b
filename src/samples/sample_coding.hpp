#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace zarn {

// How a file stores each sample: a two's-complement integer of 16, 24 or 32
// bits, full scale at 2^(bits - 1), or an IEEE float of 32 or 64 bits.
enum class SampleType { int16, int24, int32, float32, float64 };

enum class ByteOrder { little, big };

struct SampleEncoding {
    SampleType type;
    ByteOrder order;

    // Bytes per sample.
    std::size_t width() const noexcept;
};

// The type of a name: "int16", "int24", "int32", "float32" or "float64".
std::optional<SampleType> sample_type_named(std::string_view name) noexcept;

// Turns `count` stored samples into float32 values. An integer becomes
// itself over full scale, rounded to float32 where it has more than 24
// bits; a float64, itself rounded to float32; a float32 is copied as it is.
void decode_samples(SampleEncoding encoding, const unsigned char* stored, std::size_t count,
                    float* samples) noexcept;

// Turns `count` float32 values into stored samples. For an integer, a value
// times 2^31 is rounded to the nearest integer (ties to even) and clipped
// to the 32-bit range, and its upper bits are stored: the value is clipped
// to full scale, and a NaN is stored as the most negative integer. A
// float32 is stored as it is, a float64 exactly.
void encode_samples(SampleEncoding encoding, const float* samples, std::size_t count,
                    unsigned char* stored) noexcept;

}  // namespace zarn
