#include "host/model_json.h"

#include "host/format_limits.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <unordered_map>

namespace hm {
namespace {

// Numbers are parsed straight to float (strtof on the number's own text), so a
// decimal lands on its nearest float and not on the float nearest to the
// nearest double. Members keep their file order so errors follow the file.
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, float>;

static_assert(sizeof(HostBone::name) == kNameField && sizeof(HostBone::parentName) == kNameField);

// Where a value sits in the file, e.g. meshes[1].triangles[4]. A chain on the
// stack, turned into text only when a message needs it.
struct Place {
    const Place* parent = nullptr;
    std::string_view key;
    size_t index = 0;
    bool isIndex = false;

    Place Member(std::string_view name) const { return Place{this, name, 0, false}; }
    Place Element(size_t i) const { return Place{this, {}, i, true}; }

    std::string Text() const {
        std::string head = parent ? parent->Text() : std::string();
        if (isIndex) return head + "[" + std::to_string(index) + "]";
        if (key.empty()) return head;
        return head.empty() ? std::string(key) : head + "." + std::string(key);
    }
};

struct LoadError {
    std::string place;
    std::string problem;
};

[[noreturn]] void Fail(const Place& place, std::string problem) {
    std::string text = place.Text();
    throw LoadError{text.empty() ? "top level" : text, std::move(problem)};
}

std::string Message(const std::string& file, const std::string& place, const std::string& problem) {
    return file + ": " + place + ": " + problem;
}

std::string Kind(const Json& value) {
    switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "a number";
    default: return "an unexpected value";
    }
}

// Shortest text that reads back to the same float; always with a '.' or an
// exponent so that -0.0 keeps its sign (a bare "-0" is an integer to JSON).
std::string FloatText(float value) {
    if (std::isnan(value)) return "\"nan\"";
    if (std::isinf(value)) return value > 0 ? "\"inf\"" : "\"-inf\"";
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

// A float as a message shows it (no quotes around the special values).
std::string ShowFloat(float value) {
    std::string text = FloatText(value);
    if (text.front() == '"') text = text.substr(1, text.size() - 2);
    return text;
}

void CheckObject(const Json& value, const Place& place, std::initializer_list<std::string_view> keys) {
    if (!value.is_object()) Fail(place, "expected an object, got " + Kind(value));
    for (const auto& member : value.items()) {
        if (std::find(keys.begin(), keys.end(), member.key()) == keys.end())
            Fail(place.Member(member.key()), "unknown key");
    }
}

const Json* Find(const Json& object, std::string_view key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const Json& Require(const Json& object, const Place& place, std::string_view key) {
    const Json* value = Find(object, key);
    if (!value) Fail(place.Member(key), "required key is missing");
    return *value;
}

const Json& CheckArray(const Json& value, const Place& place) {
    if (!value.is_array()) Fail(place, "expected an array, got " + Kind(value));
    return value;
}

int64_t ReadInteger(const Json& value, const Place& place, int64_t low, int64_t high) {
    std::string range = std::to_string(low) + " to " + std::to_string(high);
    if (value.is_number_float()) Fail(place, "expected an integer, got a number with a fraction or exponent");
    if (!value.is_number_integer()) Fail(place, "expected an integer, got " + Kind(value));
    if (value.is_number_unsigned()) {
        uint64_t number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(high)) Fail(place, std::to_string(number) + " is out of range " + range);
        return static_cast<int64_t>(number);
    }
    int64_t number = value.get<int64_t>();
    if (number < low || number > high) Fail(place, std::to_string(number) + " is out of range " + range);
    return number;
}

float ReadFloat(const Json& value, const Place& place) {
    // The parser itself rejects a number beyond the float range, so a
    // number never turns into an infinity unasked.
    if (value.is_number_float()) return value.get<float>();
    if (value.is_number_unsigned()) return static_cast<float>(value.get<uint64_t>());
    if (value.is_number_integer()) return static_cast<float>(value.get<int64_t>());
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (text == "nan") return std::numeric_limits<float>::quiet_NaN();
        if (text == "inf") return std::numeric_limits<float>::infinity();
        if (text == "-inf") return -std::numeric_limits<float>::infinity();
        Fail(place, "expected a number or \"nan\", \"inf\", \"-inf\", got \"" + text + "\"");
    }
    Fail(place, "expected a number, got " + Kind(value));
}

void ReadFloats(const Json& value, const Place& place, float* out, size_t count) {
    std::string expected = "expected an array of " + std::to_string(count) + " numbers, got ";
    if (!value.is_array()) Fail(place, expected + Kind(value));
    if (value.size() != count) Fail(place, expected + "an array of " + std::to_string(value.size()));
    for (size_t i = 0; i < count; ++i) out[i] = ReadFloat(value[i], place.Element(i));
}

HostVec3 ReadVec3(const Json& value, const Place& place) {
    float v[3];
    ReadFloats(value, place, v, 3);
    return HostVec3{v[0], v[1], v[2]};
}

std::string ReadString(const Json& value, const Place& place) {
    if (!value.is_string()) Fail(place, "expected a string, got " + Kind(value));
    return value.get<std::string>();
}

std::string OptionalString(const Json& object, const Place& place, std::string_view key) {
    const Json* value = Find(object, key);
    return value ? ReadString(*value, place.Member(key)) : std::string();
}

HostVec3 OptionalVec3(const Json& object, const Place& place, std::string_view key) {
    const Json* value = Find(object, key);
    return value ? ReadVec3(*value, place.Member(key)) : HostVec3{0.0f, 0.0f, 0.0f};
}

// A name that goes into a 32-byte record field: it has to fit whole and
// without a zero byte, or the model would hold a different name than the file.
void CheckFieldName(const std::string& name, const Place& place, const char* what, size_t maxBytes) {
    if (name.size() > maxBytes)
        Fail(place, std::string(what) + " is " + std::to_string(name.size()) + " bytes long, at most " +
                        std::to_string(maxBytes) + " allowed");
    if (name.find('\0') != std::string::npos) Fail(place, std::string(what) + " contains a zero byte");
}

void ReadVertex(hmMesh& mesh, const Json& value, const Place& place) {
    CheckObject(value, place, {"position", "uv", "bone"});
    HostVertex vertex = MakeVertex(ReadVec3(Require(value, place, "position"), place.Member("position")));
    if (const Json* uv = Find(value, "uv")) {
        // Through a local: the packed record's floats are not aligned for a float pointer.
        float read[2];
        ReadFloats(*uv, place.Member("uv"), read, 2);
        vertex.texCoords[0] = read[0];
        vertex.texCoords[1] = read[1];
    }
    if (const Json* bone = Find(value, "bone"))
        vertex.boneIndex = static_cast<int8_t>(ReadInteger(*bone, place.Member("bone"), -128, 127));
    mesh.vertices.push_back(vertex);
}

void ReadTriangle(hmMesh& mesh, const Json& value, const Place& place) {
    const std::string expected = "expected an array of 3 corner indices, got ";
    if (!value.is_array()) Fail(place, expected + Kind(value));
    if (value.size() != 3) Fail(place, expected + "an array of " + std::to_string(value.size()));
    hmTriangle triangle;
    for (size_t k = 0; k < 3; ++k) {
        Place corner = place.Element(k);
        int64_t index = ReadInteger(value[k], corner, 0, 65535);
        if (static_cast<size_t>(index) >= mesh.vertices.size())
            Fail(corner, "corner index " + std::to_string(index) + " is not below the mesh's vertex count " +
                             std::to_string(mesh.vertices.size()));
        triangle.corners[k] = static_cast<uint16_t>(index);
    }
    mesh.triangles.push_back(triangle);
}

void ReadMesh(hmModel& model, const Json& value, const Place& place) {
    CheckObject(value, place, {"name", "vertices", "triangles"});
    hmMesh& mesh = *AddMesh(&model, OptionalString(value, place, "name"));
    // Vertices first, whatever the file's order: corners are checked against them.
    if (const Json* vertices = Find(value, "vertices")) {
        Place at = place.Member("vertices");
        CheckArray(*vertices, at);
        mesh.vertices.reserve(vertices->size());
        for (size_t i = 0; i < vertices->size(); ++i) ReadVertex(mesh, (*vertices)[i], at.Element(i));
    }
    if (const Json* triangles = Find(value, "triangles")) {
        Place at = place.Member("triangles");
        CheckArray(*triangles, at);
        mesh.triangles.reserve(triangles->size());
        for (size_t i = 0; i < triangles->size(); ++i) ReadTriangle(mesh, (*triangles)[i], at.Element(i));
    }
}

void ReadMaterial(hmModel& model, const Json& value, const Place& place) {
    CheckObject(value, place, {"name", "diffuseTexture"});
    AddMaterial(&model, OptionalString(value, place, "name"), OptionalString(value, place, "diffuseTexture"));
}

// Keys come as {time, value}; times may repeat but never go down.
template <typename Key>
void ReadKeys(std::vector<Key>& keys, const Json& object, const Place& place, std::string_view name) {
    const Json* array = Find(object, name);
    if (!array) return;
    Place at = place.Member(name);
    CheckArray(*array, at);
    keys.reserve(array->size());
    for (size_t i = 0; i < array->size(); ++i) {
        Place keyPlace = at.Element(i);
        const Json& value = (*array)[i];
        CheckObject(value, keyPlace, {"time", "value"});
        Key key{};
        Place timePlace = keyPlace.Member("time");
        key.time = ReadFloat(Require(value, keyPlace, "time"), timePlace);
        if (std::isnan(key.time)) Fail(timePlace, "key time is NaN");
        if (!keys.empty() && key.time < keys.back().time)
            Fail(timePlace, "key time " + ShowFloat(key.time) + " is lower than the previous key's time " +
                                ShowFloat(keys.back().time));
        key.value = ReadVec3(Require(value, keyPlace, "value"), keyPlace.Member("value"));
        keys.push_back(key);
    }
}

// names: every bone name so far, with its index.
void ReadBone(hmModel& model, const Json& value, const Place& place,
              std::unordered_map<std::string, size_t>& names) {
    CheckObject(value, place, {"name", "parent", "position", "rotation", "positionKeys", "rotationKeys"});
    Place namePlace = place.Member("name");
    std::string name = ReadString(Require(value, place, "name"), namePlace);
    if (name.empty()) Fail(namePlace, "bone name is empty");
    CheckFieldName(name, namePlace, "bone name", kMaxNameBytes);
    auto [earlier, added] = names.emplace(name, model.bones.size());
    if (!added)
        Fail(namePlace,
             "bone name \"" + name + "\" is given twice (also bones[" + std::to_string(earlier->second) + "])");
    std::string parent = OptionalString(value, place, "parent");
    CheckFieldName(parent, place.Member("parent"), "parent name", kMaxNameBytes);
    HostBoneEntry& bone = *AddBone(&model, name, parent, OptionalVec3(value, place, "position"),
                                   OptionalVec3(value, place, "rotation"));
    ReadKeys(bone.positionKeys, value, place, "positionKeys");
    ReadKeys(bone.rotationKeys, value, place, "rotationKeys");
}

// What the host may hold but the exporter has to cope with.
std::vector<std::string> FindWarnings(const hmModel& model, const std::string& file) {
    std::vector<std::string> warnings;
    const int32_t boneCount = hmModel_GetBoneCount(&model);
    for (size_t m = 0; m < model.meshes.size(); ++m) {
        const hmMesh& mesh = *model.meshes[m];
        // One warning per mesh, at its first such vertex: a model bound to a
        // missing skeleton would otherwise bury everything else.
        size_t first = 0, count = 0;
        for (size_t v = 0; v < mesh.vertices.size(); ++v) {
            int bone = mesh.vertices[v].boneIndex;
            if (bone != -1 && (bone < 0 || bone >= boneCount) && count++ == 0) first = v;
        }
        if (count > 0) {
            std::string problem = "bone " + std::to_string(mesh.vertices[first].boneIndex) +
                                  " names no bone of the model (it has " + std::to_string(boneCount) + ")";
            if (count > 1) problem += "; " + std::to_string(count - 1) + " more vertices of this mesh do the same";
            warnings.push_back(Message(
                file, "meshes[" + std::to_string(m) + "].vertices[" + std::to_string(first) + "].bone", problem));
        }
    }
    // Bone names are unique and whole here, so a map finds what
    // hmModel_FindBoneByName would, without a search per bone.
    std::unordered_map<std::string_view, size_t> bones;
    for (size_t i = 0; i < model.bones.size(); ++i) bones.emplace(model.bones[i]->record.name, i);
    for (size_t i = 0; i < model.bones.size(); ++i) {
        const char* parentName = model.bones[i]->record.parentName;
        auto parent = bones.find(parentName);
        if (parent == bones.end()) continue;
        std::string place = "bones[" + std::to_string(i) + "].parent";
        if (parent->second == i) {
            warnings.push_back(Message(file, place, "bone names itself as its parent"));
        } else if (parent->second > i) {
            warnings.push_back(Message(file, place,
                                       "parent \"" + std::string(parentName) +
                                           "\" is listed after its child (at bones[" +
                                           std::to_string(parent->second) + "])"));
        }
    }
    return warnings;
}

ModelPtr ReadModel(const Json& root) {
    Place top;
    CheckObject(root, top, {"totalFrames", "currentFrame", "meshes", "materials", "bones"});
    ModelPtr model(CreateModel());
    if (const Json* value = Find(root, "totalFrames"))
        model->totalFrames = static_cast<int32_t>(ReadInteger(*value, top.Member("totalFrames"), 0, INT32_MAX));
    if (const Json* value = Find(root, "currentFrame"))
        model->currentFrame =
            static_cast<int32_t>(ReadInteger(*value, top.Member("currentFrame"), INT32_MIN, INT32_MAX));

    Place meshesPlace = top.Member("meshes");
    const Json& meshes = CheckArray(Require(root, top, "meshes"), meshesPlace);
    for (size_t i = 0; i < meshes.size(); ++i) ReadMesh(*model, meshes[i], meshesPlace.Element(i));

    if (const Json* materials = Find(root, "materials")) {
        Place at = top.Member("materials");
        CheckArray(*materials, at);
        for (size_t i = 0; i < materials->size(); ++i) ReadMaterial(*model, (*materials)[i], at.Element(i));
    }
    if (const Json* bones = Find(root, "bones")) {
        Place at = top.Member("bones");
        CheckArray(*bones, at);
        std::unordered_map<std::string, size_t> names;
        for (size_t i = 0; i < bones->size(); ++i) ReadBone(*model, (*bones)[i], at.Element(i), names);
    }
    return model;
}

// Builds the document like the library's own parser, and besides notes the
// first key repeated within an object (the library would silently keep the
// last one; a repeated key is as much a typo as an unknown one) and where the
// parser gave up.
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

void AppendString(std::string& out, const std::string& text) {
    // Bytes that are not UTF-8 cannot go into a JSON text; they become U+FFFD.
    out += Json(text).dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

void AppendFloats(std::string& out, const float* values, size_t count) {
    out += '[';
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) out += ", ";
        out += FloatText(values[i]);
    }
    out += ']';
}

void AppendVec3(std::string& out, const HostVec3& v) {
    const float values[3] = {v.x, v.y, v.z};
    AppendFloats(out, values, 3);
}

template <typename Key>
void AppendKeys(std::string& out, const char* name, const std::vector<Key>& keys, bool last) {
    out += "      \"";
    out += name;
    out += "\": [";
    for (size_t i = 0; i < keys.size(); ++i) {
        out += i == 0 ? "\n        { \"time\": " : ",\n        { \"time\": ";
        out += FloatText(keys[i].time);
        out += ", \"value\": ";
        AppendVec3(out, keys[i].value);
        out += " }";
    }
    out += keys.empty() ? "]" : "\n      ]";
    out += last ? "\n" : ",\n";
}

std::string FieldText(const char (&field)[32]) { return std::string(field, strnlen(field, sizeof field)); }

}  // namespace

LoadResult ParseModelJson(std::string_view text, const std::string& fileName) {
    LoadResult result;
    try {
        Json root;
        DocumentReader reader(root);
        if (!Json::sax_parse(text.begin(), text.end(), &reader)) {
            result.error = Message(fileName, ParsePlace(text, reader.ErrorByte()), ParseProblem(reader.ErrorText()));
            return result;
        }
        if (!reader.DuplicateKeyPlace().empty()) {
            result.error = Message(fileName, reader.DuplicateKeyPlace(), "key is given twice");
            return result;
        }
        ModelPtr model = ReadModel(root);
        result.warnings = FindWarnings(*model, fileName);
        for (const LimitFinding& finding : CheckFormatLimits(CountModel(*model), InputRoute::HostModelFile, false)) {
            if (finding.stops) {
                result.error = Message(fileName, "meshes", finding.text);
                result.warnings.clear();
                return result;
            }
            result.warnings.push_back(Message(fileName, "meshes", finding.text));
        }
        result.model = std::move(model);
    } catch (const LoadError& error) {
        result.error = Message(fileName, error.place, error.problem);
    } catch (const std::exception& error) {
        result.error = fileName + ": " + error.what();
    }
    return result;
}

LoadResult LoadModelJson(const std::string& path) {
    LoadResult result;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        result.error = path + ": " + std::strerror(errno);
        return result;
    }
    std::string text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    int readError = std::ferror(file) ? (errno ? errno : EIO) : 0;
    std::fclose(file);
    if (readError) {
        result.error = path + ": " + std::strerror(readError);
        return result;
    }
    return ParseModelJson(text, path);
}

// Layout: two-space indentation, one vertex, triangle or key per line, every
// key written out (defaults included), so a 65535-vertex mesh stays a few MB
// and each vertex can be found and edited by hand.
std::string ModelToJson(const hmModel& model) {
    std::string out = "{\n";
    out += "  \"totalFrames\": " + std::to_string(model.totalFrames) + ",\n";
    out += "  \"currentFrame\": " + std::to_string(model.currentFrame) + ",\n";

    const hmMesh emptyMesh;
    out += "  \"meshes\": [";
    for (size_t m = 0; m < model.meshes.size(); ++m) {
        const hmMesh& mesh = model.meshes[m] ? *model.meshes[m] : emptyMesh;
        out += m == 0 ? "\n    {\n" : ",\n    {\n";
        out += "      \"name\": ";
        AppendString(out, mesh.name);
        out += ",\n      \"vertices\": [";
        for (size_t v = 0; v < mesh.vertices.size(); ++v) {
            const HostVertex& vertex = mesh.vertices[v];
            out += v == 0 ? "\n        { \"position\": " : ",\n        { \"position\": ";
            AppendVec3(out, vertex.position);
            out += ", \"uv\": ";
            const float uv[2] = {vertex.texCoords[0], vertex.texCoords[1]};
            AppendFloats(out, uv, 2);
            out += ", \"bone\": " + std::to_string(vertex.boneIndex) + " }";
        }
        out += mesh.vertices.empty() ? "],\n" : "\n      ],\n";
        out += "      \"triangles\": [";
        for (size_t t = 0; t < mesh.triangles.size(); ++t) {
            const auto& c = mesh.triangles[t].corners;
            out += t == 0 ? "\n        [" : ",\n        [";
            out += std::to_string(c[0]) + ", " + std::to_string(c[1]) + ", " + std::to_string(c[2]) + "]";
        }
        out += mesh.triangles.empty() ? "]\n    }" : "\n      ]\n    }";
    }
    out += model.meshes.empty() ? "],\n" : "\n  ],\n";

    const hmMaterial emptyMaterial;
    out += "  \"materials\": [";
    for (size_t i = 0; i < model.materials.size(); ++i) {
        const hmMaterial& material = model.materials[i] ? *model.materials[i] : emptyMaterial;
        out += i == 0 ? "\n    { \"name\": " : ",\n    { \"name\": ";
        AppendString(out, material.name);
        out += ", \"diffuseTexture\": ";
        AppendString(out, material.diffuseTexture);
        out += " }";
    }
    out += model.materials.empty() ? "],\n" : "\n  ],\n";

    out += "  \"bones\": [";
    bool firstBone = true;
    for (const auto& entry : model.bones) {
        if (!entry) continue;
        const HostBone& bone = entry->record;
        out += firstBone ? "\n    {\n" : ",\n    {\n";
        firstBone = false;
        out += "      \"name\": ";
        AppendString(out, FieldText(bone.name));
        out += ",\n      \"parent\": ";
        AppendString(out, FieldText(bone.parentName));
        out += ",\n      \"position\": ";
        AppendVec3(out, bone.position);
        out += ",\n      \"rotation\": ";
        AppendVec3(out, bone.rotation);
        out += ",\n";
        AppendKeys(out, "positionKeys", entry->positionKeys, false);
        AppendKeys(out, "rotationKeys", entry->rotationKeys, true);
        out += "    }";
    }
    out += firstBone ? "]\n" : "\n  ]\n";
    out += "}\n";
    return out;
}

bool SaveModelJson(const hmModel& model, const std::string& path, std::string& error) {
    std::string text = ModelToJson(model);
    // Written beside the destination and renamed over it only when complete,
    // so a failed save leaves an earlier file as it was.
    std::string temporary = path + ".vantrel-tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    int failure = 0;
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) failure = errno ? errno : EIO;
    if (std::fclose(file) != 0 && failure == 0) failure = errno ? errno : EIO;
    if (failure != 0) {
        std::remove(temporary.c_str());
        error = path + ": " + std::strerror(failure);
        return false;
    }
    std::error_code code;
    std::filesystem::rename(temporary, path, code);
    if (code) {
        std::remove(temporary.c_str());
        error = path + ": " + code.message();
        return false;
    }
    return true;
}

}  // namespace hm
