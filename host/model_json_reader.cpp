#include "host/model_json.h"

#include "host/format_limits.h"
#include "host/json_document.h"
#include "host/model_warnings.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>

namespace hm {
namespace {

static_assert(sizeof(HostBone::name) == kNameField && sizeof(HostBone::parentName) == kNameField);

// The file is read as a stream of events, each value put straight into the
// model: no document of the whole text is ever built, so memory follows the
// model. Numbers arrive as their text and are converted straight to float, so
// a decimal lands on its nearest float and not on the float nearest to the
// nearest double.

// What a value is expected to be, by where it stands in the file.
enum class Slot {
    kRoot, kTotalFrames, kCurrentFrame, kMeshes, kMesh, kMeshName, kVertices, kVertex, kPosition, kUv, kVertexBone,
    kTriangles, kTriangle, kCorner, kMaterials, kMaterial, kMaterialName, kDiffuseTexture, kBones, kBone, kBoneName,
    kBoneParent, kBonePosition, kBoneRotation, kPositionKeys, kRotationKeys, kKey, kKeyTime, kKeyValue, kFloat,
    kSkip,  // after the first problem: only the text's own faults are still looked for
};

struct KeySlot {
    std::string_view key;
    Slot slot;
};

// The keys each kind of object takes, in the order the messages know them.
const std::vector<KeySlot>& KeysOf(Slot object) {
    static const std::vector<KeySlot> root{{"totalFrames", Slot::kTotalFrames}, {"currentFrame", Slot::kCurrentFrame},
                                           {"meshes", Slot::kMeshes}, {"materials", Slot::kMaterials},
                                           {"bones", Slot::kBones}};
    static const std::vector<KeySlot> mesh{
        {"name", Slot::kMeshName}, {"vertices", Slot::kVertices}, {"triangles", Slot::kTriangles}};
    static const std::vector<KeySlot> vertex{
        {"position", Slot::kPosition}, {"uv", Slot::kUv}, {"bone", Slot::kVertexBone}};
    static const std::vector<KeySlot> material{{"name", Slot::kMaterialName}, {"diffuseTexture", Slot::kDiffuseTexture}};
    static const std::vector<KeySlot> bone{{"name", Slot::kBoneName},         {"parent", Slot::kBoneParent},
                                           {"position", Slot::kBonePosition}, {"rotation", Slot::kBoneRotation},
                                           {"positionKeys", Slot::kPositionKeys}, {"rotationKeys", Slot::kRotationKeys}};
    static const std::vector<KeySlot> key{{"time", Slot::kKeyTime}, {"value", Slot::kKeyValue}};
    static const std::vector<KeySlot> none;
    switch (object) {
    case Slot::kRoot: return root;
    case Slot::kMesh: return mesh;
    case Slot::kVertex: return vertex;
    case Slot::kMaterial: return material;
    case Slot::kBone: return bone;
    case Slot::kKey: return key;
    default: return none;
    }
}

bool IsObject(Slot slot) {
    return slot == Slot::kRoot || slot == Slot::kMesh || slot == Slot::kVertex || slot == Slot::kMaterial ||
           slot == Slot::kBone || slot == Slot::kKey;
}

// Arrays of a fixed count of numbers; 0 for any other slot.
size_t FloatCount(Slot slot) {
    switch (slot) {
    case Slot::kPosition:
    case Slot::kBonePosition:
    case Slot::kBoneRotation:
    case Slot::kKeyValue: return 3;
    case Slot::kUv: return 2;
    default: return 0;
    }
}

Slot ElementOf(Slot array) {
    switch (array) {
    case Slot::kMeshes: return Slot::kMesh;
    case Slot::kVertices: return Slot::kVertex;
    case Slot::kTriangles: return Slot::kTriangle;
    case Slot::kTriangle: return Slot::kCorner;
    case Slot::kMaterials: return Slot::kMaterial;
    case Slot::kBones: return Slot::kBone;
    case Slot::kPositionKeys:
    case Slot::kRotationKeys: return Slot::kKey;
    case Slot::kSkip: return Slot::kSkip;
    default: return FloatCount(array) ? Slot::kFloat : Slot::kSkip;
    }
}

// A number as JSON has it: integers that fit 64 bits stay integers.
struct Number {
    enum Kind { kUnsigned, kSigned, kFloat } kind = kFloat;
    uint64_t u = 0;
    int64_t i = 0;
    float f = 0;

    float AsFloat() const {
        return kind == kUnsigned ? static_cast<float>(u) : kind == kSigned ? static_cast<float>(i) : f;
    }
};

// False when the number is beyond the float range.
bool ParseNumber(std::string_view text, Number& number) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (std::none_of(begin, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; })) {
        if (text.front() == '-') {
            if (std::from_chars(begin, end, number.i).ec == std::errc()) {
                number.kind = Number::kSigned;
                return true;
            }
        } else if (std::from_chars(begin, end, number.u).ec == std::errc()) {
            number.kind = Number::kUnsigned;
            return true;
        }
    }
    number.kind = Number::kFloat;
    if (std::from_chars(begin, end, number.f).ec == std::errc()) return true;
    // Out of range: an underflow is the nearest float (a zero or the
    // smallest subnormal), as strtof gives it; an overflow is refused.
    number.f = std::strtof(std::string(text).c_str(), nullptr);
    return !std::isinf(number.f);
}

// A float as a message shows it (no quotes around the special values).
std::string ShowFloat(float value) {
    std::string text = FloatText(value);
    if (text.front() == '"') text = text.substr(1, text.size() - 2);
    return text;
}

// A name that goes into a 32-byte record field: it has to fit whole and
// without a zero byte, or the model would hold a different name than the file.
// Names reach the script class's directives, where a line break would start
// a directive of its own: no control character in any name.
std::optional<std::string> ControlCharacterProblem(std::string_view name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", c);
            return std::string("name contains the control character ") + code + " at byte " + std::to_string(i);
        }
    }
    return std::nullopt;
}

std::optional<std::string> FieldNameProblem(std::string_view name, const char* what) {
    if (name.size() > kMaxNameBytes)
        return std::string(what) + " is " + std::to_string(name.size()) + " bytes long, at most " +
               std::to_string(kMaxNameBytes) + " allowed";
    if (name.find('\0') != std::string_view::npos) return std::string(what) + " contains a zero byte";
    return std::nullopt;
}

// Receives the parser's events and builds the model as they come. The first
// problem is kept; parsing goes on to the end without building, since a fault
// of the text itself, then a repeated key, is reported before any problem of
// the model (whichever comes first in the file).
class ModelBuilder {
public:
    enum class Fault { kNone, kModel, kRepeatedKey, kNumberOverflow };

    ModelBuilder() : model_(CreateModel()) {}

    ModelPtr TakeModel() { return std::move(model_); }
    Fault FaultKind() const { return fault_; }
    const std::string& FaultPlace() const { return place_; }
    const std::string& FaultProblem() const { return problem_; }
    size_t OverflowLastByte() const { return overflowLastByte_; }
    // Nesting at which the reading stops, so a parser that recurses stays
    // within its stack (0: no limit). A model nests far less than this.
    size_t depthLimit = 0;
    bool TooDeep() const { return tooDeep_; }
    // Where the parser stands, for a number's place: the byte after the current token.
    std::function<size_t()> tell;

    // The parser's handler interface. Numbers come as their text (RawNumber).
    bool Null() { return Scalar("null"); }
    bool Bool(bool) { return Scalar("a boolean"); }
    bool Int(int) { return true; }
    bool Uint(unsigned) { return true; }
    bool Int64(int64_t) { return true; }
    bool Uint64(uint64_t) { return true; }
    bool Double(double) { return true; }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool);
    bool String(const char* text, rapidjson::SizeType length, bool);
    bool StartObject() { return Open(false); }
    bool Key(const char* text, rapidjson::SizeType length, bool);
    bool EndObject(rapidjson::SizeType) { return Close(); }
    bool StartArray() { return Open(true); }
    bool EndArray(rapidjson::SizeType) { return Close(); }

private:
    struct Frame {
        Slot slot = Slot::kSkip;
        bool isArray = false;
        size_t count = 0;                      // array: elements begun so far
        Slot valueSlot = Slot::kSkip;          // object: the current key's value
        int knownKey = -1;                     // object: the current key's index in KeysOf, or -1 for `key`
        std::string key;                       // object: the current key when it is not a known one
        uint32_t seen = 0;                     // object: known keys given so far, by index in KeysOf
        std::vector<std::string> unknownKeys;  // object: the others
        float floats[3] = {};                  // a fixed count of numbers
    };

    void SetFault(Fault fault, std::string place, std::string problem) {
        if (fault <= fault_) return;
        fault_ = fault;
        place_ = place.empty() ? "top level" : std::move(place);
        problem_ = std::move(problem);
    }
    bool Building() const { return fault_ == Fault::kNone; }
    // A problem of the value just begun, or of one at a given place.
    void Fail(std::string problem) { SetFault(Fault::kModel, PlaceText(depth_), std::move(problem)); }
    void FailAt(std::string place, std::string problem) {
        SetFault(Fault::kModel, std::move(place), std::move(problem));
    }

    // The place the first `depth` frames lead to, e.g. meshes[1].triangles[4].
    std::string PlaceText(size_t depth) const {
        std::string text;
        for (size_t i = 0; i < depth; ++i) {
            const Frame& frame = frames_[i];
            if (frame.isArray) {
                text += "[" + std::to_string(frame.count - 1) + "]";
            } else {
                if (!text.empty()) text += ".";
                text += frame.knownKey >= 0 ? KeysOf(frame.slot)[static_cast<size_t>(frame.knownKey)].key
                                            : std::string_view(frame.key);
            }
        }
        return text;
    }
    // The place of a member of the innermost object.
    std::string MemberPlace(std::string_view key) const {
        std::string text = PlaceText(depth_ - 1);
        return text.empty() ? std::string(key) : text + "." + std::string(key);
    }
    Frame& Top() { return frames_[depth_ - 1]; }

    // The slot of the value that comes next, counting it as begun.
    Slot NextSlot() {
        if (depth_ == 0) return Slot::kRoot;
        Frame& frame = Top();
        if (!frame.isArray) return frame.valueSlot;
        ++frame.count;
        // Elements beyond a fixed count are not looked at: the count is the problem.
        const size_t fixed = frame.slot == Slot::kTriangle ? 3 : FloatCount(frame.slot);
        if (fixed && frame.count > fixed) return Slot::kSkip;
        return ElementOf(frame.slot);
    }

    Frame& Push(Slot slot, bool isArray) {
        if (depth_ == frames_.size()) frames_.emplace_back();
        Frame& frame = frames_[depth_++];  // reused, with the memory of its strings
        frame.slot = slot;
        frame.isArray = isArray;
        frame.count = 0;
        frame.valueSlot = Slot::kSkip;
        frame.knownKey = -1;
        frame.key.clear();
        frame.seen = 0;
        frame.unknownKeys.clear();
        return frame;
    }

    bool Expected(Slot slot, const char* kind);
    bool Scalar(const char* kind) {
        const Slot slot = NextSlot();
        if (Building()) Expected(slot, kind);
        return true;
    }
    bool Open(bool isArray);
    bool Close();
    void PutName(Slot slot, std::string_view value);
    void PutFloat(float value);
    void PutKeyTime(float time);
    void PutInteger(Slot slot, const Number& number);
    bool InPositionKeys() const { return frames_[depth_ - 2].slot == Slot::kPositionKeys; }  // else rotation keys

    ModelPtr model_;
    std::vector<Frame> frames_;
    size_t depth_ = 0;  // frames in use; those beyond are kept for reuse
    Fault fault_ = Fault::kNone;
    std::string place_, problem_;
    size_t overflowLastByte_ = 0;
    bool tooDeep_ = false;

    // What is being read, before it joins the model.
    std::unordered_map<std::string, size_t> boneNames_;
    struct {
        std::string name, parent;
        HostVec3 position{}, rotation{};
        std::vector<HostPositionKey> positionKeys;
        std::vector<HostRotationKey> rotationKeys;
    } bone_;
    hmMaterial material_;
    HostVertex vertex_{};
    HostPositionKey key_{};  // a rotation key's fields are the same
};

bool ModelBuilder::Expected(Slot slot, const char* kind) {
    const std::string got = std::string(", got ") + kind;
    switch (slot) {
    case Slot::kSkip: break;
    case Slot::kPosition:
    case Slot::kUv:
    case Slot::kBonePosition:
    case Slot::kBoneRotation:
    case Slot::kKeyValue: Fail("expected an array of " + std::to_string(FloatCount(slot)) + " numbers" + got); break;
    case Slot::kTriangle: Fail("expected an array of 3 corner indices" + got); break;
    case Slot::kRoot:
    case Slot::kMesh:
    case Slot::kVertex:
    case Slot::kMaterial:
    case Slot::kBone:
    case Slot::kKey: Fail("expected an object" + got); break;
    case Slot::kMeshes:
    case Slot::kVertices:
    case Slot::kTriangles:
    case Slot::kMaterials:
    case Slot::kBones:
    case Slot::kPositionKeys:
    case Slot::kRotationKeys: Fail("expected an array" + got); break;
    case Slot::kTotalFrames:
    case Slot::kCurrentFrame:
    case Slot::kVertexBone:
    case Slot::kCorner: Fail("expected an integer" + got); break;
    case Slot::kFloat:
    case Slot::kKeyTime: Fail("expected a number" + got); break;
    default: Fail("expected a string" + got); break;
    }
    return true;
}

bool ModelBuilder::Open(bool isArray) {
    if (depthLimit && depth_ >= depthLimit) {
        tooDeep_ = true;
        return false;
    }
    const Slot slot = NextSlot();
    const bool fits = isArray ? (FloatCount(slot) || slot == Slot::kTriangle || ElementOf(slot) != Slot::kSkip)
                              : IsObject(slot);
    if (!Building() || !fits) {
        if (Building()) Expected(slot, isArray ? "an array" : "an object");
        Push(Slot::kSkip, isArray);
        return true;
    }
    Push(slot, isArray);
    switch (slot) {
    case Slot::kMesh: AddMesh(model_.get(), ""); break;
    case Slot::kTriangle: model_->meshes.back()->triangles.emplace_back(); break;
    case Slot::kVertex: vertex_ = MakeVertex({0.0f, 0.0f, 0.0f}); break;
    case Slot::kMaterial: material_ = hmMaterial(); break;
    case Slot::kBone:
        bone_.name.clear();
        bone_.parent.clear();
        bone_.position = bone_.rotation = HostVec3{0.0f, 0.0f, 0.0f};
        bone_.positionKeys.clear();
        bone_.rotationKeys.clear();
        break;
    case Slot::kKey: key_ = HostPositionKey{}; break;
    default: break;
    }
    return true;
}

bool ModelBuilder::Key(const char* text, rapidjson::SizeType length, bool) {
    Frame& frame = Top();
    const std::string_view key(text, length);
    const std::vector<KeySlot>& keys = KeysOf(frame.slot);
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].key != key) continue;
        frame.knownKey = static_cast<int>(i);
        if (frame.seen & (1u << i)) SetFault(Fault::kRepeatedKey, PlaceText(depth_), "key is given twice");
        frame.seen |= 1u << i;
        frame.valueSlot = keys[i].slot;
        return true;
    }
    // Only keys the model does not know are kept as text, for their place.
    frame.knownKey = -1;
    frame.key.assign(key);
    frame.valueSlot = Slot::kSkip;
    if (std::find(frame.unknownKeys.begin(), frame.unknownKeys.end(), frame.key) != frame.unknownKeys.end())
        SetFault(Fault::kRepeatedKey, PlaceText(depth_), "key is given twice");
    frame.unknownKeys.push_back(frame.key);
    if (Building()) Fail("unknown key");
    return true;
}

bool ModelBuilder::Close() {
    Frame& frame = Top();
    const Slot slot = frame.slot;
    const size_t fixed = slot == Slot::kTriangle ? 3 : FloatCount(slot);
    if (!Building() || slot == Slot::kSkip) {
        --depth_;
        return true;
    }
    if (fixed && frame.count != fixed) {
        FailAt(PlaceText(depth_ - 1), std::string("expected an array of ") + std::to_string(fixed) +
                                          (slot == Slot::kTriangle ? " corner indices" : " numbers") +
                                          ", got an array of " + std::to_string(frame.count));
        --depth_;
        return true;
    }
    const HostVec3 vec{frame.floats[0], frame.floats[1], frame.floats[2]};
    auto require = [&](size_t index, std::string_view key) {
        if (frame.seen & (1u << index)) return true;
        FailAt(MemberPlace(key), "required key is missing");
        return false;
    };
    switch (slot) {
    case Slot::kRoot: require(2, "meshes"); break;
    case Slot::kPosition: vertex_.position = vec; break;
    case Slot::kUv:
        vertex_.texCoords[0] = vec.x;
        vertex_.texCoords[1] = vec.y;
        break;
    case Slot::kBonePosition: bone_.position = vec; break;
    case Slot::kBoneRotation: bone_.rotation = vec; break;
    case Slot::kKeyValue: key_.value = vec; break;
    case Slot::kVertex:
        if (require(0, "position")) model_->meshes.back()->vertices.push_back(vertex_);
        break;
    case Slot::kKey:
        if (!require(0, "time") || !require(1, "value")) break;
        if (InPositionKeys()) bone_.positionKeys.push_back(key_);
        else bone_.rotationKeys.push_back(HostRotationKey{key_.time, key_.value});
        break;
    case Slot::kMaterial: AddMaterial(model_.get(), material_.name, material_.diffuseTexture); break;
    case Slot::kBone: {
        if (!require(0, "name")) break;
        HostBoneEntry& bone = *AddBone(model_.get(), bone_.name, bone_.parent, bone_.position, bone_.rotation);
        bone.positionKeys = std::move(bone_.positionKeys);
        bone.rotationKeys = std::move(bone_.rotationKeys);
        break;
    }
    case Slot::kMesh: {
        // Checked once the whole mesh is read: its vertices may follow its triangles.
        const hmMesh& mesh = *model_->meshes.back();
        for (size_t t = 0; t < mesh.triangles.size(); ++t)
            for (size_t k = 0; k < 3; ++k) {
                const size_t index = mesh.triangles[t].corners[k];
                if (index < mesh.vertices.size()) continue;
                FailAt(MemberPlace("triangles") + "[" + std::to_string(t) + "][" + std::to_string(k) + "]",
                       "corner index " + std::to_string(index) + " is not below the mesh's vertex count " +
                           std::to_string(mesh.vertices.size()));
                --depth_;
                return true;
            }
        break;
    }
    default: break;
    }
    --depth_;
    return true;
}

bool ModelBuilder::RawNumber(const char* text, rapidjson::SizeType length, bool) {
    Number number;
    if (!ParseNumber(std::string_view(text, length), number)) {
        fault_ = Fault::kNumberOverflow;  // a fault of the text: it ends the reading
        overflowLastByte_ = tell() - 1;
        problem_ = "number overflow parsing '" + std::string(text, length) + "'";
        return false;
    }
    const Slot slot = NextSlot();
    if (!Building()) return true;
    switch (slot) {
    case Slot::kFloat: PutFloat(number.AsFloat()); break;
    case Slot::kKeyTime: PutKeyTime(number.AsFloat()); break;
    case Slot::kTotalFrames:
    case Slot::kCurrentFrame:
    case Slot::kVertexBone:
    case Slot::kCorner: PutInteger(slot, number); break;
    default: Expected(slot, "a number"); break;
    }
    return true;
}

bool ModelBuilder::String(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view value(text, length);
    const Slot slot = NextSlot();
    if (!Building()) return true;
    switch (slot) {
    case Slot::kFloat:
    case Slot::kKeyTime: {
        float number = 0;
        if (value == "nan") {
            number = std::numeric_limits<float>::quiet_NaN();
        } else if (value == "inf") {
            number = std::numeric_limits<float>::infinity();
        } else if (value == "-inf") {
            number = -std::numeric_limits<float>::infinity();
        } else {
            Fail("expected a number or \"nan\", \"inf\", \"-inf\", got \"" + std::string(value) + "\"");
            break;
        }
        if (slot == Slot::kFloat) PutFloat(number);
        else PutKeyTime(number);
        break;
    }
    case Slot::kMeshName:
    case Slot::kMaterialName:
    case Slot::kDiffuseTexture:
    case Slot::kBoneName:
    case Slot::kBoneParent:
        PutName(slot, value);
        break;
    default: Expected(slot, "a string"); break;
    }
    return true;
}

void ModelBuilder::PutName(Slot slot, std::string_view value) {
    const std::optional<std::string> control = ControlCharacterProblem(value);
    if (control && slot != Slot::kBoneName && slot != Slot::kBoneParent) return Fail(*control);
    switch (slot) {
    case Slot::kMeshName: model_->meshes.back()->name = value; break;
    case Slot::kMaterialName: material_.name = value; break;
    case Slot::kDiffuseTexture: material_.diffuseTexture = value; break;
    case Slot::kBoneName: {
        if (value.empty()) {
            Fail("bone name is empty");
        } else if (std::optional<std::string> problem = FieldNameProblem(value, "bone name")) {
            Fail(*problem);
        } else if (control) {
            Fail(*control);
        } else if (auto [earlier, added] = boneNames_.emplace(value, frames_[depth_ - 2].count - 1); !added) {
            Fail("bone name \"" + std::string(value) + "\" is given twice (also bones[" +
                 std::to_string(earlier->second) + "])");
        } else {
            bone_.name = value;
        }
        break;
    }
    case Slot::kBoneParent:
        if (std::optional<std::string> problem = FieldNameProblem(value, "parent name")) Fail(*problem);
        else if (control) Fail(*control);
        else bone_.parent = value;
        break;
    default: break;
    }
}

void ModelBuilder::PutFloat(float value) {
    Frame& frame = Top();
    frame.floats[frame.count - 1] = value;
}

// Keys come as {time, value}; times may repeat but never go down.
void ModelBuilder::PutKeyTime(float time) {
    if (std::isnan(time)) return Fail("key time is NaN");
    const bool position = InPositionKeys();
    if (position ? bone_.positionKeys.empty() : bone_.rotationKeys.empty()) {
        key_.time = time;
        return;
    }
    const float previous = position ? bone_.positionKeys.back().time : bone_.rotationKeys.back().time;
    if (time < previous)
        return Fail("key time " + ShowFloat(time) + " is lower than the previous key's time " + ShowFloat(previous));
    key_.time = time;
}

void ModelBuilder::PutInteger(Slot slot, const Number& number) {
    int64_t low = 0, high = kMaxMeshVertices - 1;  // a corner: an index into its mesh
    if (slot == Slot::kTotalFrames) high = INT32_MAX;
    if (slot == Slot::kCurrentFrame) low = INT32_MIN, high = INT32_MAX;
    if (slot == Slot::kVertexBone) low = -128, high = 127;
    if (number.kind == Number::kFloat) return Fail("expected an integer, got a number with a fraction or exponent");
    const std::string range = " is out of range " + std::to_string(low) + " to " + std::to_string(high);
    int64_t value = number.i;
    if (number.kind == Number::kUnsigned) {
        if (number.u > static_cast<uint64_t>(high)) return Fail(std::to_string(number.u) + range);
        value = static_cast<int64_t>(number.u);
    } else if (value < low || value > high) {
        return Fail(std::to_string(value) + range);
    }
    switch (slot) {
    case Slot::kTotalFrames: model_->totalFrames = static_cast<int32_t>(value); break;
    case Slot::kCurrentFrame: model_->currentFrame = static_cast<int32_t>(value); break;
    case Slot::kVertexBone: vertex_.boneIndex = static_cast<int8_t>(value); break;
    default: model_->meshes.back()->triangles.back().corners[Top().count - 1] = static_cast<uint16_t>(value); break;
    }
}

// Line and column (from 1) of a byte, fed the text before it in pieces.
struct LineCounter {
    size_t line = 1, column = 1;
    void Feed(const char* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (bytes[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
    }
    std::string Text() const { return "line " + std::to_string(line) + ", column " + std::to_string(column); }
};

// What the parser met where it gave up: a character, a byte, or the end.
std::string Unexpected(int byte) {
    if (byte < 0) return "end of input";
    if (byte >= 0x20 && byte < 0x7f) return std::string("'") + static_cast<char>(byte) + "'";
    char text[16];
    std::snprintf(text, sizeof text, "byte 0x%02x", static_cast<unsigned>(byte));
    return text;
}

// The parser's own wording, without its capital and full stop.
std::string SyntaxProblem(rapidjson::ParseErrorCode code, int byte) {
    std::string reason = rapidjson::GetParseError_En(code);
    if (!reason.empty() && reason.back() == '.') reason.pop_back();
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return "syntax error: unexpected " + Unexpected(byte) + "; " + reason;
}

// A file read in pieces through one buffer, as the parser's stream: the text
// is never held whole. At the end it answers '\0', as every stream does.
class FileStream {
public:
    using Ch = char;
    FileStream(std::FILE* file, size_t bufferSize) : file_(file), buffer_(bufferSize) { Refill(); }

    Ch Peek() const { return *current_; }
    [[gnu::always_inline]] Ch Take() {
        const Ch c = *current_;
        if (++current_ == last_) [[unlikely]] Refill();
        return c;
    }
    size_t Tell() const { return count_ + static_cast<size_t>(current_ - buffer_.data()); }

    // Only for writing streams.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

private:
    // At the end, back onto the '\0' that stands for it. Kept out of Take, so
    // that the parser's every character stays a load and a compare.
    [[gnu::noinline]] void Refill() {
        if (end_) {
            current_ = buffer_.data();
            return;
        }
        count_ += static_cast<size_t>(current_ - buffer_.data());
        const size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        current_ = buffer_.data();
        last_ = current_ + got;
        if (got == 0) {
            buffer_[0] = '\0';
            last_ = current_ + 1;
            end_ = true;
        }
    }

    std::FILE* file_;
    std::vector<char> buffer_;
    char* current_ = buffer_.data();
    char* last_ = current_;
    size_t count_ = 0;
    bool end_ = false;
};

// The parser takes a zero byte for the end of the text. Zero bytes after the
// value are padding and have always been read as such; anything else after
// them is not. Where the text stops being padding (size when it never does).
template <typename Stream>
size_t ZeroBytesAfter(Stream& stream, size_t size) {
    while (stream.Tell() < size && stream.Peek() == '\0') stream.Take();
    return stream.Tell();
}

// Reads the whole text from a stream open() gives into a model.
// lookBack(offset, counter) feeds the counter the text before offset and
// returns the byte there (-1 at the end); size is the text's length.
// The recursive parser is the faster one; a text nested deeper than any
// model is read again by the iterative one, whose nesting takes no stack, so
// that its faults are found and reported as for any other text.
template <typename Open, typename LookBack>
LoadResult Read(Open open, size_t size, const std::string& fileName, LookBack lookBack, bool iterative = false) {
    constexpr unsigned kFlags = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;
    auto stream = open();
    ModelBuilder builder;
    builder.tell = [&stream] { return stream.Tell(); };
    rapidjson::Reader reader;
    rapidjson::ParseResult parsed;
    if (iterative) {
        parsed = reader.Parse<kFlags | rapidjson::kParseIterativeFlag>(stream, builder);
    } else {
        builder.depthLimit = 64;
        parsed = reader.Parse<kFlags>(stream, builder);
        if (builder.TooDeep()) return Read(open, size, fileName, lookBack, true);
    }
    LoadResult result;
    if (builder.FaultKind() == ModelBuilder::Fault::kNumberOverflow) {
        LineCounter counter;
        lookBack(builder.OverflowLastByte(), counter);
        result.error =
            Fault(ErrorKind::kBadInput, fileName + ": " + counter.Text() + ": " + builder.FaultProblem());
    } else if (parsed.IsError()) {
        LineCounter counter;
        const int byte = lookBack(parsed.Offset(), counter);
        result.error =
            Fault(ErrorKind::kBadInput, fileName + ": " + counter.Text() + ": " + SyntaxProblem(parsed.Code(), byte));
    } else if (size_t end = ZeroBytesAfter(stream, size); end != size) {
        LineCounter counter;
        const int byte = lookBack(end, counter);
        result.error = Fault(ErrorKind::kBadInput, fileName + ": " + counter.Text() + ": syntax error: unexpected " +
                                                       Unexpected(byte) + " after the value");
    } else if (builder.FaultKind() != ModelBuilder::Fault::kNone) {
        result.error =
            Fault(ErrorKind::kBadInput, fileName + ": " + builder.FaultPlace() + ": " + builder.FaultProblem());
    } else {
        ModelPtr model = builder.TakeModel();
        result.warnings = FindModelWarnings(*model, fileName);
        result.model = std::move(model);
    }
    return result;
}

// A reader that ran out of memory has found nothing wrong with the file.
ErrorKind ThrownKind(const std::exception& thrown) {
    return dynamic_cast<const std::bad_alloc*>(&thrown) ? ErrorKind::kOutOfMemory : ErrorKind::kBadInput;
}

}  // namespace

LoadResult ParseModelJson(std::string_view text, const std::string& fileName) {
    try {
        return Read([text] { return rapidjson::MemoryStream(text.data(), text.size()); }, text.size(), fileName, [text](size_t offset, LineCounter& counter) {
            offset = std::min(offset, text.size());
            counter.Feed(text.data(), offset);
            return offset < text.size() ? static_cast<unsigned char>(text[offset]) : -1;
        });
    } catch (const std::exception& error) {
        LoadResult result;
        result.error = Fault(ThrownKind(error), fileName + ": " + error.what());
        return result;
    }
}

LoadResult LoadModelJson(const std::string& path) {
    LoadResult result;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        result.error = Fault(ErrorKind::kBadInput, path + ": " + std::strerror(errno));
        return result;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    std::fseek(file, 0, SEEK_END);
    const long end = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    bool readFailed = false;
    try {
        auto open = [file] {
            std::fseek(file, 0, SEEK_SET);
            return FileStream(file, 1 << 16);
        };
        result = Read(open, end < 0 ? 0 : static_cast<size_t>(end), path, [&](size_t offset, LineCounter& counter) {
            readFailed = readFailed || std::ferror(file);
            std::clearerr(file);
            std::fseek(file, 0, SEEK_SET);
            char piece[1 << 16];
            while (offset > 0) {
                const size_t got = std::fread(piece, 1, std::min(offset, sizeof piece), file);
                if (got == 0) return -1;
                counter.Feed(piece, got);
                offset -= got;
            }
            const int byte = std::fgetc(file);
            return byte == EOF ? -1 : byte;
        });
    } catch (const std::exception& error) {
        result = LoadResult();
        result.error = Fault(ThrownKind(error), path + ": " + error.what());
    }
    if (readFailed || std::ferror(file)) {
        result = LoadResult();
        result.error = Fault(ErrorKind::kBadInput, path + ": " + std::strerror(errno ? errno : EIO));
    }
    return result;
}

}  // namespace hm
