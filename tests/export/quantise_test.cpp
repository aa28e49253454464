#include "export/frame_records.h"
#include "export/quantise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

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

// A frame is quantised four vertices at a time where it can: every record
// must be what the one-at-a-time rule gives, whatever the values.
TEST(Quantise, WholeFramesAsEachVertexAlone) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float odd[] = {nan, inf, -inf, 1e30f, -3e9f, 2.9e9f, -0.0f, 0.0f};
    std::mt19937 random(7);
    std::uniform_real_distribution<float> spread(-10.0f, 10.0f);
    for (const float scale : {12.8f, 1e-3f, 1e9f, inf}) {
        for (size_t count = 1; count <= 13; ++count) {
            std::vector<Vector3f> positions(count);
            for (Vector3f& p : positions) p = {spread(random), spread(random), spread(random)};
            if (count % 3 == 0) positions[count / 2].y = odd[count % 8];  // one odd value among ordinary ones
            const Vector3f offset{0.5f, -1.25f, 3.0f};
            std::vector<uint8_t> records(count * kFrameVertexSize, 0xAA);
            QuantiseFrame(positions, offset, scale, records.data());
            for (size_t v = 0; v < count; ++v) {
                const Vector3f& p = positions[v];
                const int16_t expected[4] = {QuantisePosition(p.x, offset.x, scale), QuantisePosition(p.z, offset.z, scale),
                                             QuantisePosition(p.y, offset.y, scale), 0};
                int16_t written[4];
                std::memcpy(written, records.data() + v * kFrameVertexSize, sizeof written);
                for (int k = 0; k < 4; ++k)
                    ASSERT_EQ(written[k], expected[k]) << "scale " << scale << ", " << count << " vertices, vertex " << v;
            }
        }
    }
}

// The log's vertex lines are pieced together from tables: each must read as
// printf prints it, for every coordinate in the tables and beyond them, for
// vertex numbers of every width, and past the vertices the tables number.
TEST(Quantise, LogLinesReadAsPrintfPrintsThem) {
    const std::vector<int32_t> meshVertices = {12000, 3};
    const VertexLines lines(10001);  // numbers 10001 on printed without the tables
    std::vector<uint8_t> records;
    std::string expected;
    for (const int32_t count : meshVertices) {
        for (int32_t v = 0; v < count; ++v) {
            // Each coordinate from -131 to 131: the tables' ends (-128 and 128) and just past them.
            int16_t xyz[4] = {static_cast<int16_t>(v % 263 - 131), static_cast<int16_t>(v * 7 % 263 - 131),
                              static_cast<int16_t>(v * 13 % 263 - 131), 0};
            if (v % 1000 == 999) xyz[v / 1000 % 3] = v % 2000 == 999 ? INT16_MIN : INT16_MAX;
            records.insert(records.end(), reinterpret_cast<const uint8_t*>(xyz),
                           reinterpret_cast<const uint8_t*>(xyz) + sizeof xyz);
            char line[64];
            std::snprintf(line, sizeof line, "To file: Vertex %d - %d %d %d\r\n", v, xyz[0], xyz[1], xyz[2]);
            expected += line;
        }
    }
    std::vector<char> text(records.size() / kFrameVertexSize * VertexLines::kLineRoom);
    const char* end = lines.Format(meshVertices, records.data(), text.data());
    EXPECT_EQ(std::string(static_cast<const char*>(text.data()), end), expected);
}

}  // namespace
