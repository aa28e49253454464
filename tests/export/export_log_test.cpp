#include "export/export_log.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace testing_support;

namespace {

std::string Printf(double value) {
    char text[512];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

std::string Formatted(double value) {
    char text[400];
    return std::string(text, FormatFixed(value, text));
}

std::vector<double> InterestingValues() {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.5, 85.333336, 42.666668, 1e-7, -1e-7, 5e-7, 1.5e-6,
                                  2.5e-6, 0.0000005, 0.1234565, 0.1234575, 123456789.125, 1e300, -1e300,
                                  std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
                                  std::numeric_limits<double>::denorm_min(), inf, -inf,
                                  std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN()};
    // Values exactly halfway in the sixth decimal (representable binary fractions).
    for (int k = 1; k < 64; k += 2) values.push_back(k / 128.0 / 1024.0);
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        values.push_back(value);
        values.push_back(static_cast<double>(static_cast<float>(std::ldexp(static_cast<double>(random() % 2000000) - 1e6, -int(random() % 24)))));
    }
    return values;
}

TEST(ExportLogFormat, FixedMatchesPrintfInTheCLocale) {
    for (double value : InterestingValues()) ASSERT_EQ(Formatted(value), Printf(value)) << value;
}

// Builds a German locale (decimal comma) into dir; false when the system
// cannot make one.
bool MakeCommaLocale(const ScratchDir& dir) {
    std::string command = "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    setenv("LOCPATH", dir.Path().c_str(), 1);
    return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}

TEST(ExportLogFormat, LocaleWithDecimalCommaChangesNothing) {
    ScratchDir dir;
    if (!MakeCommaLocale(dir)) GTEST_SKIP() << "no way to build a locale with a decimal comma here";
    ASSERT_EQ(Printf(1.5), "1,500000");  // the process really prints commas now

    ExportLog log;
    ASSERT_TRUE(log.Open(dir / "log"));
    log.Print("Scale factor - ", Fixed{85.333336f}, "\n", -12345, " ", 65535u, " ", static_cast<uint8_t>(255),
              " ", static_cast<int16_t>(-128), "\n");
    ASSERT_TRUE(log.Close());
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    EXPECT_EQ(ReadFile(dir / "log"), "Scale factor - 85.333336\r\n-12345 65535 255 -128\r\n");
}

TEST(ExportLog, UnopenedLogDropsEverything) {
    ScratchDir dir;
    ExportLog log;
    EXPECT_FALSE(log.Open(dir / "missing/log"));
    EXPECT_NE(log.Error().find("missing/log"), std::string::npos);
    log.Print("nothing ", 1, Fixed{2.0}, "\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "missing/log"));
}

}  // namespace
