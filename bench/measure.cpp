#include "bench/measure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace fs = std::filesystem;

double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double IoFloor(const fs::path& dir, const std::vector<uintmax_t>& sizes) {
    std::vector<char> block(1 << 20, 'x');
    double seconds = Seconds([&] {
        int n = 0;
        for (uintmax_t size : sizes) {
            std::FILE* file = std::fopen((dir / ("floor" + std::to_string(n++))).c_str(), "wb");
            std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
            for (uintmax_t left = size; left > 0;) {
                size_t chunk = static_cast<size_t>(std::min<uintmax_t>(left, block.size()));
                std::fwrite(block.data(), 1, chunk, file);
                left -= chunk;
            }
            std::fclose(file);
        }
    });
    for (int n = 0; n < static_cast<int>(sizes.size()); ++n) fs::remove(dir / ("floor" + std::to_string(n)));
    return seconds;
}

uintmax_t SizeOrZero(const fs::path& path) {
    std::error_code code;
    uintmax_t size = fs::file_size(path, code);
    return code ? 0 : size;
}
