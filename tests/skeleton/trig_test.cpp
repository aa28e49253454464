#include "skeleton/trig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

namespace {

uint64_t Bits(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double FromBits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Where the C library and ours disagree: never after rounding to float (what
// the skeleton stores), in a double only as neighbours, and seldom.
struct Agreement {
    long compared = 0;
    long doubleDifferent = 0;

    void Compare(const char* what, double x, double library, double ours) {
        ++compared;
        if (Bits(library) == Bits(ours)) return;
        ++doubleDifferent;
        const float libraryFloat = static_cast<float>(library);
        const float oursFloat = static_cast<float>(ours);
        EXPECT_EQ(std::memcmp(&libraryFloat, &oursFloat, sizeof(float)), 0)
            << what << "(" << std::hexfloat << x << "): " << library << " against " << ours;
        EXPECT_TRUE(std::nextafter(library, ours) == ours)
            << what << "(" << std::hexfloat << x << "): " << library << " against " << ours;
    }
};

TEST(Trig, AgreesWithTheCLibrary) {
    std::mt19937_64 random(20240521);
    Agreement sines, arcCosines;
    const double scales[] = {0.8, 7.0, 60.0, 1e4, 1e9, 1e300};
    for (double scale : scales) {
        std::uniform_real_distribution<double> uniform(-scale, scale);
        for (int i = 0; i < 60000; ++i) {
            double x = uniform(random);
            // The skeleton's arguments: float degrees times pi/180, float radians halved.
            if (i % 3 == 1) x = static_cast<float>(x * 57.29577951308232) * 0.017453292519943295;
            if (i % 3 == 2) x = static_cast<float>(x) * 0.5;
            sines.Compare("sin", x, std::sin(x), CorrectlyRoundedSine(x));
            sines.Compare("cos", x, std::cos(x), CorrectlyRoundedCosine(x));
        }
    }
    // Every exponent, and the doubles nearest multiples of pi/2, where the
    // reduction cancels most.
    for (int i = 0; i < 60000; ++i) {
        const double x = i % 2 ? FromBits(random() % 0x7FF0000000000000) : (i * 16) * 1.5707963267948966;
        sines.Compare("sin", x, std::sin(x), CorrectlyRoundedSine(x));
        sines.Compare("cos", x, std::cos(x), CorrectlyRoundedCosine(x));
    }
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int i = 0; i < 200000; ++i) {
        const double x = i % 2 ? unit(random) : 1.0f - std::ldexp(static_cast<float>(i), -24);
        arcCosines.Compare("acos", x, std::acos(x), CorrectlyRoundedArcCosine(x));
    }
    EXPECT_LT(sines.doubleDifferent, sines.compared / 200);
    EXPECT_LT(arcCosines.doubleDifferent, arcCosines.compared / 200);
}

TEST(Trig, SpecialArgumentsGiveTheCLibrarysBits) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double arguments[] = {0.0, -0.0, 1e-310, -0x1p-27, 0x1p-26, 1.0, -1.0, 1.5, -7.0,
                                3.141592653589793, 1.5707963267948966, 0x1.fffffffffffffp+1023, inf, -inf, nan, -nan};
    for (double x : arguments) {
        SCOPED_TRACE(x);
        EXPECT_EQ(Bits(CorrectlyRoundedSine(x)), Bits(std::sin(x)));
        EXPECT_EQ(Bits(CorrectlyRoundedCosine(x)), Bits(std::cos(x)));
        EXPECT_EQ(Bits(CorrectlyRoundedArcCosine(x)), Bits(std::acos(x)));
    }
}

}  // namespace
