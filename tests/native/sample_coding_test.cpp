#include <gtest/gtest.h>

#include <vector>

#include "samples/sample_coding.hpp"

namespace {

using zarn::ByteOrder;
using zarn::SampleType;

struct CodingCase {
    zarn::SampleEncoding encoding;
    std::vector<unsigned char> stored;  // one sample as a file stores it
    float value;
};

class SampleCoding : public testing::TestWithParam<CodingCase> {};

// Bytes written out by hand, so that a host of either byte order is checked
// against the files' order and not its own.
TEST_P(SampleCoding, StoredBytesAndValueCorrespond) {
    const CodingCase& c = GetParam();
    ASSERT_EQ(c.stored.size(), c.encoding.width());
    float decoded = 0.0f;
    zarn::decode_samples(c.encoding, c.stored.data(), 1, &decoded);
    EXPECT_EQ(decoded, c.value);
    std::vector<unsigned char> encoded(c.stored.size());
    zarn::encode_samples(c.encoding, &c.value, 1, encoded.data());
    EXPECT_EQ(encoded, c.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SampleCoding,
    testing::Values(
        CodingCase{{SampleType::int16, ByteOrder::little}, {0x02, 0x81}, -0x7eFEp-15f},
        CodingCase{{SampleType::int16, ByteOrder::big}, {0x81, 0x02}, -0x7eFEp-15f},
        CodingCase{{SampleType::int24, ByteOrder::little}, {0x03, 0x02, 0x81}, -0x7efdfdp-23f},
        CodingCase{{SampleType::int24, ByteOrder::big}, {0x01, 0x02, 0x03}, 0x010203p-23f},
        CodingCase{{SampleType::int32, ByteOrder::little}, {0x00, 0x02, 0x03, 0x41}, 0x41030200p-31f},
        CodingCase{{SampleType::int32, ByteOrder::big}, {0xc0, 0x00, 0x00, 0x00}, -0.5f},
        CodingCase{{SampleType::float32, ByteOrder::little}, {0x00, 0x00, 0xc0, 0x3f}, 1.5f},
        CodingCase{{SampleType::float32, ByteOrder::big}, {0xbf, 0xc0, 0x00, 0x00}, -1.5f},
        CodingCase{{SampleType::float64, ByteOrder::little},
                   {0, 0, 0, 0, 0, 0, 0xd0, 0x3f}, 0.25f},
        CodingCase{{SampleType::float64, ByteOrder::big},
                   {0xbf, 0xd0, 0, 0, 0, 0, 0, 0}, -0.25f}));

}  // namespace
