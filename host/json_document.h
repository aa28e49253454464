// The host model file's JSON text: read into a document with every number
// straight to float and every repeated key caught, and floats written back.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hm {

// Numbers are parsed straight to float (strtof on the number's own text), so a
// decimal lands on its nearest float and not on the float nearest to the
// nearest double. Members keep their file order so errors follow the file.
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, float>;

// Reads text into root. False when the text is not JSON, with place set to
// "line L, column C" of where the parser gave up, or when an object repeats a
// key, with place the path of its second use (say "meshes[0].name"); problem
// then says what is wrong.
bool ReadDocument(std::string_view text, Json& root, std::string& place, std::string& problem);

// Shortest text that reads back to the same float; always with a '.' or an
// exponent so that -0.0 keeps its sign (a bare "-0" is an integer to JSON).
// NaN and the infinities as the strings "nan", "inf", "-inf".
std::string FloatText(float value);

}  // namespace hm
