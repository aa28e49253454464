#include "host/json_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace hm {
namespace {

// Builds the document like the library's own parser, and besides notes the
// first key repeated within an object (the library would silently keep the
// last one; a repeated key is as much a typo as an unknown one) and where the
// parser gave up. The library's DOM builder lives in its detail namespace; it
// is used rather than copied, and its interface is checked at every build.
class DocumentReader {
public:
    using Dom = nlohmann::detail::json_sax_dom_parser<Json>;

    explicit DocumentReader(Json& root) : dom_(root, false) {}

    bool null() { return Value(dom_.null()); }
    bool boolean(bool value) { return Value(dom_.boolean(value)); }
    bool number_integer(int64_t value) { return Value(dom_.number_integer(value)); }
    bool number_unsigned(uint64_t value) { return Value(dom_.number_unsigned(value)); }
    bool number_float(float value, const std::string& text) { return Value(dom_.number_float(value, text)); }
    bool string(std::string& value) { return Value(dom_.string(value)); }
    bool binary(Json::binary_t& value) { return Value(dom_.binary(value)); }

    bool start_object(size_t size) {
        Value(true);
        frames_.push_back(Frame{false, 0, {}});
        return dom_.start_object(size);
    }
    bool key(std::string& key) {
        Frame& frame = frames_.back();
        if (duplicate_.empty() && std::find(frame.keys.begin(), frame.keys.end(), key) != frame.keys.end())
            duplicate_ = PathTo(key);
        frame.keys.push_back(key);
        return dom_.key(key);
    }
    bool end_object() {
        frames_.pop_back();
        return dom_.end_object();
    }
    bool start_array(size_t size) {
        Value(true);
        frames_.push_back(Frame{true, 0, {}});
        return dom_.start_array(size);
    }
    bool end_array() {
        frames_.pop_back();
        return dom_.end_array();
    }
    bool parse_error(size_t byte, const std::string&, const nlohmann::detail::exception& error) {
        errorByte_ = byte;
        errorText_ = error.what();
        return false;
    }

    const std::string& DuplicateKeyPlace() const { return duplicate_; }  // empty when none
    size_t ErrorByte() const { return errorByte_; }
    const std::string& ErrorText() const { return errorText_; }

private:
    struct Frame {
        bool isArray;
        size_t elements;                // array: elements begun so far
        std::vector<std::string> keys;  // object: keys so far, the last one current
    };

    bool Value(bool result) {
        if (!frames_.empty() && frames_.back().isArray) ++frames_.back().elements;
        return result;
    }

    std::string PathTo(const std::string& key) const {
        std::string path;
        for (size_t i = 0; i + 1 < frames_.size(); ++i) {
            const Frame& frame = frames_[i];
            if (frame.isArray) {
                path += "[" + std::to_string(frame.elements - 1) + "]";
            } else {
                path += (path.empty() ? "" : ".") + frame.keys.back();
            }
        }
        return path + (path.empty() ? "" : ".") + key;
    }

    Dom dom_;
    std::vector<Frame> frames_;
    std::string duplicate_;
    size_t errorByte_ = 0;
    std::string errorText_;
};

// "line L, column C" of the byte the parser stopped at (counted from 1).
std::string ParsePlace(std::string_view text, size_t byte) {
    size_t end = std::min(byte > 0 ? byte - 1 : 0, text.size());
    size_t line = 1, lineStart = 0;
    for (size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(end - lineStart + 1);
}

// The parser's message without its "[json.exception...]" lead and the place
// it names in its own words.
std::string ParseProblem(const std::string& what) {
    size_t start = what.starts_with("[json.exception.") ? what.find("] ") : std::string::npos;
    std::string problem = start == std::string::npos ? what : what.substr(start + 2);
    if (problem.starts_with("parse error")) {
        size_t colon = problem.find(": ");
        if (colon != std::string::npos) problem = problem.substr(colon + 2);
    }
    return problem;
}
}  // namespace

bool ReadDocument(std::string_view text, Json& root, std::string& place, std::string& problem) {
    DocumentReader reader(root);
    if (!Json::sax_parse(text.begin(), text.end(), &reader)) {
        place = ParsePlace(text, reader.ErrorByte());
        problem = ParseProblem(reader.ErrorText());
        return false;
    }
    if (!reader.DuplicateKeyPlace().empty()) {
        place = reader.DuplicateKeyPlace();
        problem = "key is given twice";
        return false;
    }
    return true;
}

std::string FloatText(float value) {
    if (std::isnan(value)) return "\"nan\"";
    if (std::isinf(value)) return value > 0 ? "\"inf\"" : "\"-inf\"";
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace hm
