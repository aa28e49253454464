#include "host/model_json.h"

#include "host/format_limits.h"
#include "host/json_document.h"
#include "host/model_warnings.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace hm {
namespace {

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

// Names reach the script class's directives, where a line break would start
// a directive of its own: no control character in any name.
void CheckNameText(const std::string& name, const Place& place) {
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", c);
            Fail(place, std::string("name contains the control character ") + code + " at byte " + std::to_string(i));
        }
    }
}

std::string OptionalName(const Json& object, const Place& place, std::string_view key) {
    std::string name = OptionalString(object, place, key);
    CheckNameText(name, place.Member(key));
    return name;
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
    CheckNameText(name, place);
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
    hmMesh& mesh = *AddMesh(&model, OptionalName(value, place, "name"));
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
    AddMaterial(&model, OptionalName(value, place, "name"), OptionalName(value, place, "diffuseTexture"));
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
}  // namespace

LoadResult ParseModelJson(std::string_view text, const std::string& fileName) {
    LoadResult result;
    try {
        Json root;
        std::string place, problem;
        if (!ReadDocument(text, root, place, problem)) {
            result.error = Message(fileName, place, problem);
            return result;
        }
        ModelPtr model = ReadModel(root);
        result.warnings = FindModelWarnings(*model, fileName);
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

}  // namespace hm
