// What both reports measure with: wall time, medians, and the I/O floor.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

double Seconds(const std::function<void()>& work);
double Median(std::vector<double> values);

// Writes files of the given sizes into dir from one memory buffer with large
// buffered writes, and deletes them: what any export of those bytes must at
// least cost. Its seconds.
double IoFloor(const std::filesystem::path& dir, const std::vector<uintmax_t>& sizes);

uintmax_t SizeOrZero(const std::filesystem::path& path);
