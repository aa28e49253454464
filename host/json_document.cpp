#include "host/json_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace hm {
namespace {

// Builds the document as the library's own parser would, through the
// library's public event interface, and besides notes the first key repeated
// within an object (the library would silently keep the last one; a repeated
// key is as much a typo as an unknown one) and where the parser gave up.
class DocumentReader final : public nlohmann::json_sax<Json> {
public:
    explicit DocumentReader(Json& root) : root_(root) {}

    bool null() override { return Add(Json(nullptr)); }
    bool boolean(bool value) override { return Add(Json(value)); }
    bool number_integer(number_integer_t value) override { return Add(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Add(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return Add(Json(value)); }
    bool string(string_t& value) override { return Add(Json(std::move(value))); }
    bool binary(binary_t& value) override { return Add(Json::binary(std::move(value))); }

    bool start_object(std::size_t) override {
        frames_.push_back(Frame{Place(Json::object()), false, 0, {}});
        return true;
    }
    bool key(string_t& key) override {
        Frame& frame = frames_.back();
        if (duplicate_.empty() && std::find(frame.keys.begin(), frame.keys.end(), key) != frame.keys.end())
            duplicate_ = PathTo(key);
        frame.keys.push_back(key);
        return true;
    }
    bool end_object() override {
        frames_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        frames_.push_back(Frame{Place(Json::array()), true, 0, {}});
        return true;
    }
    bool end_array() override {
        frames_.pop_back();
        return true;
    }
    bool parse_error(std::size_t byte, const std::string&, const Json::exception& error) override {
        errorByte_ = byte;
        errorText_ = error.what();
        return false;
    }

    const std::string& DuplicateKeyPlace() const { return duplicate_; }  // empty when none
    size_t ErrorByte() const { return errorByte_; }
    const std::string& ErrorText() const { return errorText_; }

private:
    struct Frame {
        Json* value;                    // the object or array being filled
        bool isArray;
        size_t elements;                // array: elements begun so far
        std::vector<std::string> keys;  // object: keys so far, the last one current
    };

    bool Add(Json value) {
        Place(std::move(value));
        return true;
    }

    // Puts a value where the document stands: the root, the next element of
    // the open array, or the member of the open object's last key. A pointer
    // to an open container stays valid: only the innermost one grows.
    Json* Place(Json value) {
        if (frames_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Frame& frame = frames_.back();
        if (frame.isArray) {
            ++frame.elements;
            frame.value->push_back(std::move(value));
            return &frame.value->back();
        }
        Json& member = (*frame.value)[frame.keys.back()];
        member = std::move(value);
        return &member;
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

    Json& root_;
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
