// The host model file's JSON text as the writer builds it, and its floats.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hm {

// Members keep the order they are written in.
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, float>;

// Shortest text that reads back to the same float; always with a '.' or an
// exponent so that -0.0 keeps its sign (a bare "-0" is an integer to JSON).
// NaN and the infinities as the strings "nan", "inf", "-inf".
std::string FloatText(float value);

}  // namespace hm
