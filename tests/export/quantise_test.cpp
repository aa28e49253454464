#include "export/quantise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

TEST(Quantise, TextureCoordinates) {
    EXPECT_EQ(QuantiseTexCoord(0.0f), 0);
    EXPECT_EQ(QuantiseTexCoord(1.0f), 255);
    EXPECT_EQ(QuantiseTexCoord(0.5f), 127);
    EXPECT_EQ(QuantiseTexCoord(-0.5f), 129);
    EXPECT_EQ(QuantiseTexCoord(1.5f), 126);
    EXPECT_EQ(QuantiseTexCoord(2.0f), 254);
    EXPECT_EQ(QuantiseTexCoord(1.004f), 0);
    EXPECT_EQ(QuantiseTexCoord(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(QuantiseTexCoord(std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(QuantiseTexCoord(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(QuantiseTexCoord(1e30f), 0);   // beyond the 64-bit range
    EXPECT_EQ(QuantiseTexCoord(1e16f), static_cast<uint8_t>(static_cast<int64_t>(1e16 * 255.0)));
}

TEST(Quantise, TruncationThroughSixtyFourBits) {
    EXPECT_EQ(TruncateToInt64(-42.67), -42);
    EXPECT_EQ(TruncateToInt64(42.99), 42);
    EXPECT_EQ(TruncateToInt64(-0x1p63), INT64_MIN);
    EXPECT_EQ(TruncateToInt64(0x1p63), 0);
    EXPECT_EQ(TruncateToInt64(std::nextafter(0x1p63, 0.0)), static_cast<int64_t>(std::nextafter(0x1p63, 0.0)));
    EXPECT_EQ(TruncateToInt64(std::nextafter(-0x1p63, -1e300)), 0);
    EXPECT_EQ(QuantisePosition(-42.67f, 0.0f, 1.0f), -42);
    EXPECT_EQ(QuantisePosition(6.0f, 3.0f, 42.666668f), 128);
    EXPECT_EQ(QuantisePosition(40000.0f, 0.0f, 1.0f), static_cast<int16_t>(40000 - 65536));
    EXPECT_EQ(QuantisePosition(0.0f, 0.0f, std::numeric_limits<float>::infinity()), 0);  // 0 × inf is NaN
}

}  // namespace
