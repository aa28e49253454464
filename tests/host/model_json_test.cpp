#include "host/model_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* const kFile = "m.hm.json";
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

hm::LoadResult Parse(const std::string& text) { return hm::ParseModelJson(text, kFile); }

std::string ErrorOf(const std::string& text) {
    hm::LoadResult result = Parse(text);
    EXPECT_EQ(result.model, nullptr) << text;
    EXPECT_EQ(result.error.kind, ErrorKind::kBadInput) << text;
    return result.error.message;
}

// A model with one mesh holding the given vertices and triangles, and the
// given bones; enough context for most single-fault files.
std::string WithMesh(const std::string& vertices, const std::string& triangles = "[]",
                     const std::string& bones = "[]") {
    return R"({"meshes": [{"vertices": )" + vertices + R"(, "triangles": )" + triangles + R"(}], "bones": )" +
           bones + "}";
}

std::string WithBones(const std::string& bones) { return WithMesh("[]", "[]", bones); }

// Packed record fields are not aligned for the references the test macros
// take, so they are compared as copies.
template <typename T>
T Copy(T value) {
    return value;
}

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

// Same model, bit for bit: NaNs, signed zeros and padding-free records included.
void ExpectSameModel(const hmModel& a, const hmModel& b) {
    EXPECT_EQ(a.totalFrames, b.totalFrames);
    EXPECT_EQ(a.currentFrame, b.currentFrame);
    ASSERT_EQ(a.meshes.size(), b.meshes.size());
    for (size_t m = 0; m < a.meshes.size(); ++m) {
        const hmMesh& x = *a.meshes[m];
        const hmMesh& y = *b.meshes[m];
        EXPECT_EQ(x.name, y.name);
        ASSERT_EQ(x.vertices.size(), y.vertices.size());
        for (size_t v = 0; v < x.vertices.size(); ++v)
            EXPECT_EQ(std::memcmp(&x.vertices[v], &y.vertices[v], sizeof(HostVertex)), 0)
                << "mesh " << m << " vertex " << v;
        ASSERT_EQ(x.triangles.size(), y.triangles.size());
        for (size_t t = 0; t < x.triangles.size(); ++t) EXPECT_EQ(x.triangles[t].corners, y.triangles[t].corners);
    }
    ASSERT_EQ(a.materials.size(), b.materials.size());
    for (size_t i = 0; i < a.materials.size(); ++i) {
        EXPECT_EQ(a.materials[i]->name, b.materials[i]->name);
        EXPECT_EQ(a.materials[i]->diffuseTexture, b.materials[i]->diffuseTexture);
    }
    ASSERT_EQ(a.bones.size(), b.bones.size());
    for (size_t i = 0; i < a.bones.size(); ++i) {
        const HostBoneEntry& x = *a.bones[i];
        const HostBoneEntry& y = *b.bones[i];
        EXPECT_EQ(std::memcmp(&x.record, &y.record, sizeof(HostBone)), 0) << "bone " << i;
        ASSERT_EQ(x.positionKeys.size(), y.positionKeys.size());
        ASSERT_EQ(x.rotationKeys.size(), y.rotationKeys.size());
        for (size_t k = 0; k < x.positionKeys.size(); ++k)
            EXPECT_EQ(std::memcmp(&x.positionKeys[k], &y.positionKeys[k], sizeof(HostPositionKey)), 0);
        for (size_t k = 0; k < x.rotationKeys.size(); ++k)
            EXPECT_EQ(std::memcmp(&x.rotationKeys[k], &y.rotationKeys[k], sizeof(HostRotationKey)), 0);
    }
}

// Every kind of value the format holds, with the awkward floats among them.
hm::ModelPtr AwkwardModel() {
    hm::ModelPtr model(hm::CreateModel());
    model->totalFrames = 2147483647;
    model->currentFrame = -2147483647 - 1;
    hmMesh* body = hm::AddMesh(model.get(), "K\xc3\xb6rper \"quoted\" \\ and a name longer than 31 bytes");
    const float awkward[] = {0.1f, -0.0f, 0.0f, 1e-45f, -1e-45f, std::numeric_limits<float>::min(),
                             std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                             1.0f / 3.0f, 16777216.0f, 1e10f, kNaN, kInf, -kInf, 3.14159274f};
    constexpr size_t n = std::size(awkward);
    for (size_t i = 0; i < n; ++i) {
        body->vertices.push_back(hm::MakeVertex({awkward[i], awkward[(i + 1) % n], awkward[(i + 2) % n]},
                                                awkward[(i + 3) % n], awkward[(i + 4) % n],
                                                static_cast<int8_t>(i % 3 == 0 ? -1 : i % 2)));
    }
    body->triangles.push_back(hmTriangle{{0, 1, 2}});
    body->triangles.push_back(hmTriangle{{14, 14, 0}});
    hm::AddMesh(model.get(), "");
    hm::AddMaterial(model.get(), "Skin", "skin.bmp");
    hm::AddMaterial(model.get(), "", "");
    HostBoneEntry* root = hm::AddBone(model.get(), "root", "", {0.1f, -0.0f, kNaN}, {kInf, -kInf, 1e-45f});
    root->positionKeys = {{-kInf, {1, 2, 3}}, {0, {kNaN, 0.1f, -0.0f}}, {0, {4, 5, 6}}, {kInf, {7, 8, 9}}};
    HostBoneEntry* arm = hm::AddBone(model.get(), std::string(31, 'b'), "root", {1, 2, 3}, {0.5f, 0.25f, 2});
    arm->rotationKeys = {{0.5f, {1.5707963f, 0, 0}}, {29.0f, {-kInf, kNaN, 0.1f}}};
    return model;
}

TEST(ModelJson, ReadsTheDocumentedExampleWithDefaults) {
    hm::LoadResult result = Parse(R"({
      "totalFrames": 30,
      "currentFrame": 1,
      "meshes": [
        {
          "name": "Body",
          "vertices": [
            { "position": [0.0, 1.0, 0.0], "uv": [0.5, 1.0], "bone": 0 },
            { "position": [1.0, 0.0, 0.0] },
            { "position": [0.0, 0.0, 1.0], "uv": [0.0, 1.0], "bone": 0 }
          ],
          "triangles": [[0, 1, 2]]
        },
        {}
      ],
      "materials": [ { "name": "Skin", "diffuseTexture": "skin.bmp" }, {} ],
      "bones": [
        {
          "name": "root",
          "parent": "",
          "position": [0.0, 0.0, 0.0],
          "rotation": [0.0, 0.0, 0.0],
          "positionKeys": [ { "time": 0, "value": [0.0, 0.0, 0.0] } ],
          "rotationKeys": [ { "time": 0, "value": [0.0, 0.0, 1.5707963] } ]
        },
        { "name": "tip", "parent": "root" }
      ]
    })");
    ASSERT_NE(result.model, nullptr) << result.error.message;
    EXPECT_TRUE(result.warnings.empty());
    hmModel* model = result.model.get();
    EXPECT_EQ(hmModel_GetTotalFrames(model), 30);
    EXPECT_EQ(hmModel_GetFrame(model), 1);
    ASSERT_EQ(hmModel_GetMeshCount(model), 2);
    hmMesh* body = hmModel_GetMeshAt(model, 0);
    EXPECT_EQ(body->name, "Body");
    ASSERT_EQ(body->vertices.size(), 3u);
    EXPECT_EQ(Copy(body->vertices[0].boneIndex), 0);
    EXPECT_EQ(Copy(body->vertices[0].texCoords[0]), 0.5f);
    EXPECT_EQ(Copy(body->vertices[1].position.x), 1.0f);
    EXPECT_EQ(Copy(body->vertices[1].texCoords[0]), 0.0f);
    EXPECT_EQ(Copy(body->vertices[1].texCoords[1]), 0.0f);
    EXPECT_EQ(Copy(body->vertices[1].boneIndex), -1);
    ASSERT_EQ(body->triangles.size(), 1u);
    EXPECT_EQ(body->triangles[0].corners, (std::array<uint16_t, 3>{0, 1, 2}));
    hmMesh* empty = hmModel_GetMeshAt(model, 1);
    EXPECT_EQ(empty->name, "");
    EXPECT_TRUE(empty->vertices.empty() && empty->triangles.empty());
    ASSERT_EQ(hmModel_GetMaterialCount(model), 2);
    EXPECT_EQ(model->materials[0]->diffuseTexture, "skin.bmp");
    EXPECT_EQ(model->materials[1]->name, "");
    ASSERT_EQ(hmModel_GetBoneCount(model), 2);
    EXPECT_EQ(Copy(hmBone_GetRotationKeyAt(hmModel_GetBoneAt(model, 0), 0)->value.z), 1.5707963f);
    HostBone* tip = hmModel_GetBoneAt(model, 1);
    EXPECT_STREQ(tip->parentName, "root");
    EXPECT_EQ(Copy(tip->position.x), 0.0f);
    EXPECT_EQ(hmBone_GetPositionKeyCount(tip), 0);
    EXPECT_EQ(hmModel_FindBoneByName(model, "tip"), 1);
}

TEST(ModelJson, NumbersLandOnTheirNearestFloat) {
    // 1.0000001788139343261718749 lies just below the midpoint between the
    // floats 1 + 2^-23 and 1 + 2^-22; going through the nearest double would
    // land on the midpoint and round up to the wrong float.
    hm::LoadResult result = Parse(WithMesh(
        R"([{"position": [0.1, 1.0000001788139343261718749, 16777217], "uv": [1e-45, -1e-50]},
            {"position": ["nan", "inf", "-inf"], "uv": [-0.0, 1E2]}])"));
    ASSERT_NE(result.model, nullptr) << result.error.message;
    const HostVertex& a = result.model->meshes[0]->vertices[0];
    EXPECT_EQ(Bits(a.position.x), Bits(0.1f));
    EXPECT_EQ(Bits(a.position.y), 0x3f800001u);
    EXPECT_EQ(Copy(a.position.z), 16777216.0f);
    EXPECT_EQ(Copy(a.texCoords[0]), std::numeric_limits<float>::denorm_min());
    EXPECT_EQ(Bits(a.texCoords[1]), Bits(-0.0f));
    const HostVertex& b = result.model->meshes[0]->vertices[1];
    EXPECT_TRUE(std::isnan(b.position.x));
    EXPECT_EQ(Copy(b.position.y), kInf);
    EXPECT_EQ(Copy(b.position.z), -kInf);
    EXPECT_EQ(Bits(b.texCoords[0]), Bits(-0.0f));
    EXPECT_EQ(Copy(b.texCoords[1]), 100.0f);
}

TEST(ModelJson, MalformedJsonNamesLineAndColumn) {
    std::string error = ErrorOf("{\n  \"meshes\": [,]\n}");
    EXPECT_THAT(error, StartsWith("m.hm.json: line 2, column 14: syntax error"));
    EXPECT_THAT(error, HasSubstr("unexpected ','"));
    EXPECT_THAT(ErrorOf(""), StartsWith("m.hm.json: line 1, column 1: "));
    EXPECT_THAT(ErrorOf("{\"meshes\": []} x"), StartsWith("m.hm.json: line 1, column 16: "));
    EXPECT_THAT(ErrorOf("{\"meshes\": [], \"name\": \"\xff\"}"), StartsWith("m.hm.json: line 1, column 25: "));
}

// Far deeper than any model and than a stack would take: the text's own
// faults are still found, after the first problem of the model.
TEST(ModelJson, DeepNestingIsReadLikeAnyText) {
    const size_t depth = 300000;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    const std::string column = std::to_string(std::strlen(R"({"meshes": [], "x": )") + deep.size() + 2);
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "x": )" + deep + "}"), "m.hm.json: x: unknown key");
    EXPECT_THAT(ErrorOf(R"({"meshes": [], "x": )" + deep + ",}"),
                StartsWith("m.hm.json: line 1, column " + column + ": syntax error: unexpected '}'"));
    EXPECT_THAT(ErrorOf(R"({"meshes": [{"vertices": [)" + deep.substr(0, depth)),
                HasSubstr("syntax error: unexpected end of input"));
}

TEST(ModelJson, MissingRequiredKeys) {
    EXPECT_EQ(ErrorOf("{}"), "m.hm.json: meshes: required key is missing");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0]}, {"uv": [0, 0]}])")),
              "m.hm.json: meshes[0].vertices[1].position: required key is missing");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a"}, {"parent": "a"}])")),
              "m.hm.json: bones[1].name: required key is missing");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a", "rotationKeys": [{"value": [0, 0, 0]}]}])")),
              "m.hm.json: bones[0].rotationKeys[0].time: required key is missing");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a", "positionKeys": [{"time": 0}]}])")),
              "m.hm.json: bones[0].positionKeys[0].value: required key is missing");
}

TEST(ModelJson, UnknownAndRepeatedKeys) {
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "totalframes": 3})"), "m.hm.json: totalframes: unknown key");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0], "normal": [0, 0, 1]}])")),
              "m.hm.json: meshes[0].vertices[0].normal: unknown key");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0]}, {"position": [0, 0, 0], "uv": [0, 0], "uv": [1, 1]}])")),
              "m.hm.json: meshes[0].vertices[1].uv: key is given twice");
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "bones": [], "meshes": []})"), "m.hm.json: meshes: key is given twice");
}

TEST(ModelJson, WrongTypes) {
    EXPECT_EQ(ErrorOf("[]"), "m.hm.json: top level: expected an object, got an array");
    EXPECT_EQ(ErrorOf(R"({"meshes": {}})"), "m.hm.json: meshes: expected an array, got an object");
    EXPECT_EQ(ErrorOf(R"({"meshes": [[]]})"), "m.hm.json: meshes[0]: expected an object, got an array");
    EXPECT_EQ(ErrorOf(R"({"meshes": [{"name": 5}]})"), "m.hm.json: meshes[0].name: expected a string, got a number");
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "totalFrames": "3"})"),
              "m.hm.json: totalFrames: expected an integer, got a string");
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "currentFrame": 1.0})"),
              "m.hm.json: currentFrame: expected an integer, got a number with a fraction or exponent");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0]}])")),
              "m.hm.json: meshes[0].vertices[0].position: expected an array of 3 numbers, got an array of 2");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0], "uv": [0, null]}])")),
              "m.hm.json: meshes[0].vertices[0].uv[1]: expected a number, got null");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, "NaN", 0]}])")),
              "m.hm.json: meshes[0].vertices[0].position[1]: "
              R"(expected a number or "nan", "inf", "-inf", got "NaN")");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0]}])", "[[0, 0]]")),
              "m.hm.json: meshes[0].triangles[0]: expected an array of 3 corner indices, got an array of 2");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a", "positionKeys": {}}])")),
              "m.hm.json: bones[0].positionKeys: expected an array, got an object");
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "materials": [{"diffuseTexture": false}]})"),
              "m.hm.json: materials[0].diffuseTexture: expected a string, got a boolean");
}

TEST(ModelJson, ValuesOutOfRange) {
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "totalFrames": -1})"),
              "m.hm.json: totalFrames: -1 is out of range 0 to 2147483647");
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "totalFrames": 2147483648})"),
              "m.hm.json: totalFrames: 2147483648 is out of range 0 to 2147483647");
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "currentFrame": -2147483649})"),
              "m.hm.json: currentFrame: -2147483649 is out of range -2147483648 to 2147483647");
    EXPECT_EQ(ErrorOf(R"({"meshes": [], "currentFrame": 18446744073709551615})"),
              "m.hm.json: currentFrame: 18446744073709551615 is out of range -2147483648 to 2147483647");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0], "bone": 128}])")),
              "m.hm.json: meshes[0].vertices[0].bone: 128 is out of range -128 to 127");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0], "bone": -129}])")),
              "m.hm.json: meshes[0].vertices[0].bone: -129 is out of range -128 to 127");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0]}])", "[[0, 0, 65536]]")),
              "m.hm.json: meshes[0].triangles[0][2]: 65536 is out of range 0 to 65535");
    EXPECT_EQ(ErrorOf(WithMesh(R"([{"position": [0, 0, 0]}])", "[[-1, 0, 0]]")),
              "m.hm.json: meshes[0].triangles[0][0]: -1 is out of range 0 to 65535");
    // A number beyond the float range must be spelt "inf" to become one.
    EXPECT_EQ(ErrorOf(WithMesh("[{\"position\": [0, 0,\n -1e39]}]")),
              "m.hm.json: line 2, column 6: number overflow parsing '-1e39'");

    hm::LoadResult limits = Parse(
        R"({"meshes": [], "totalFrames": 2147483647, "currentFrame": -2147483648, "bones": []})");
    ASSERT_NE(limits.model, nullptr) << limits.error.message;
    EXPECT_EQ(limits.model->totalFrames, 2147483647);
    EXPECT_EQ(limits.model->currentFrame, INT32_MIN);
}

TEST(ModelJson, CornerAtOrBeyondItsMeshsVertexCount) {
    const std::string text = R"({"meshes": [
        {"vertices": [{"position": [0, 0, 0]}, {"position": [0, 0, 0]}, {"position": [0, 0, 0]},
                      {"position": [0, 0, 0]}]},
        {"triangles": [[0, 1, 2], [2, 1, 0], [1, 1, 1], [0, 0, 2], [0, 3, 2]],
         "vertices": [{"position": [0, 0, 0]}, {"position": [0, 0, 0]}, {"position": [0, 0, 0]}]}]})";
    EXPECT_EQ(ErrorOf(text),
              "m.hm.json: meshes[1].triangles[4][1]: corner index 3 is not below the mesh's vertex count 3");
}

TEST(ModelJson, BadBoneNames) {
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": ""}])")), "m.hm.json: bones[0].name: bone name is empty");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": ")" + std::string(32, 'n') + R"("}])")),
              "m.hm.json: bones[0].name: bone name is 32 bytes long, at most 31 allowed");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a"}, {"name": "b"}, {"name": "a"}])")),
              R"(m.hm.json: bones[2].name: bone name "a" is given twice (also bones[0]))");
    // The record could only hold the part before the zero byte.
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a\u0000b"}])")),
              "m.hm.json: bones[0].name: bone name contains a zero byte");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a", "parent": ")" + std::string(32, 'p') + R"("}])")),
              "m.hm.json: bones[0].parent: parent name is 32 bytes long, at most 31 allowed");

    hm::LoadResult longest = Parse(WithBones(R"([{"name": ")" + std::string(31, 'n') + R"(", "parent": ")" +
                                             std::string(31, 'p') + R"("}])"));
    ASSERT_NE(longest.model, nullptr) << longest.error.message;
    EXPECT_EQ(hmModel_FindBoneByName(longest.model.get(), std::string(31, 'n').c_str()), 0);
    EXPECT_EQ(std::string(longest.model->bones[0]->record.parentName), std::string(31, 'p'));
}

// Names reach the script class's directive lines: a line break there would
// let a downloaded model write a directive of its own.
TEST(ModelJson, ControlCharactersInNamesAreRefusedWithThePlace) {
    const struct {
        std::string text, error;
    } cases[] = {
        {R"({"meshes": [], "materials": [{"diffuseTexture": "a.bmp\r\n#exec OBJ LOAD F=x"}]})",
         "m.hm.json: materials[0].diffuseTexture: name contains the control character 0x0D at byte 5"},
        {R"({"meshes": [], "materials": [{"name": "a\tb"}]})", "m.hm.json: materials[0].name: name contains the control character 0x09 at byte 1"},
        {R"({"meshes": [{"name": "\u007f"}]})", "m.hm.json: meshes[0].name: name contains the control character 0x7F at byte 0"},
        {WithBones(R"([{"name": "a\nb"}])"), "m.hm.json: bones[0].name: name contains the control character 0x0A at byte 1"},
        {WithBones(R"([{"name": "a", "parent": "\u001b"}])"),
         "m.hm.json: bones[0].parent: name contains the control character 0x1B at byte 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.text), c.error) << c.text;
}

TEST(ModelJson, KeyTimesMustNotGoDown) {
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a", "positionKeys": [
                  {"time": 0, "value": [0, 0, 0]}, {"time": 3, "value": [0, 0, 0]},
                  {"time": 2.5, "value": [0, 0, 0]}]}])")),
              "m.hm.json: bones[0].positionKeys[2].time: key time 2.5 is lower than the previous key's time 3.0");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a", "rotationKeys": [
                  {"time": "inf", "value": [0, 0, 0]}, {"time": 1e30, "value": [0, 0, 0]}]}])")),
              "m.hm.json: bones[0].rotationKeys[1].time: key time 1e+30 is lower than the previous key's time inf");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a"}, {"name": "b", "rotationKeys": [
                  {"time": 0, "value": [0, 0, 0]}, {"time": "nan", "value": [0, 0, 0]}]}])")),
              "m.hm.json: bones[1].rotationKeys[1].time: key time is NaN");
    EXPECT_EQ(ErrorOf(WithBones(R"([{"name": "a", "rotationKeys": [{"time": "nan", "value": [0, 0, 0]}]}])")),
              "m.hm.json: bones[0].rotationKeys[0].time: key time is NaN");

    // Repeated times and infinite ones in order are what the host may hold.
    hm::LoadResult result = Parse(WithBones(R"([{"name": "a", "positionKeys": [
        {"time": "-inf", "value": [0, 0, 0]}, {"time": 1, "value": [1, 0, 0]},
        {"time": 1, "value": [2, 0, 0]}, {"time": "inf", "value": [3, 0, 0]},
        {"time": "inf", "value": [4, 0, 0]}]}])"));
    ASSERT_NE(result.model, nullptr) << result.error.message;
    EXPECT_EQ(result.model->bones[0]->positionKeys.size(), 5u);
}

TEST(ModelJson, SuspiciousContentLoadsWithWarnings) {
    hm::LoadResult result = Parse(R"({
      "meshes": [
        {"vertices": [{"position": [0, 0, 0], "bone": 1}]},
        {"vertices": [{"position": [0, 0, 0], "bone": -1}, {"position": [0, 0, 0], "bone": 2},
                      {"position": [0, 0, 0], "bone": -5}, {"position": [0, 0, 0], "bone": 9}]}],
      "bones": [
        {"name": "hand", "parent": "arm"},
        {"name": "arm", "parent": "nobody"},
        {"name": "loop", "parent": "loop"}]
    })");
    ASSERT_NE(result.model, nullptr) << result.error.message;
    ASSERT_EQ(result.warnings.size(), 3u);
    EXPECT_EQ(result.warnings[0].kind, hm::WarningKind::UnknownBone);
    EXPECT_EQ(result.warnings[0].count, 2);
    EXPECT_THAT(result.warnings[0].examples, ElementsAre("meshes[1].vertices[2].bone"));
    EXPECT_EQ(result.warnings[0].text,
              "m.hm.json: meshes[1].vertices[2].bone: bone -5 names no bone of the model (it has 3); "
              "1 more vertices of this mesh do the same");
    EXPECT_EQ(result.warnings[1].kind, hm::WarningKind::ParentAfterChild);
    EXPECT_EQ(result.warnings[1].text,
              R"(m.hm.json: bones[0].parent: parent "arm" is listed after its child (at bones[1]))");
    EXPECT_EQ(result.warnings[2].kind, hm::WarningKind::ParentIsItself);
    EXPECT_THAT(result.warnings[2].examples, ElementsAre("bones[2].parent"));
    EXPECT_EQ(Copy(result.model->meshes[1]->vertices[3].boneIndex), 9);
}

TEST(ModelJson, WrittenModelReadsBackIdentical) {
    hm::ModelPtr model = AwkwardModel();
    std::string text = hm::ModelToJson(*model);
    hm::LoadResult result = Parse(text);
    ASSERT_NE(result.model, nullptr) << result.error.message << "\n" << text;
    EXPECT_TRUE(result.warnings.empty());
    ExpectSameModel(*model, *result.model);
    EXPECT_EQ(hm::ModelToJson(*result.model), text);
    // One vertex per line keeps large models readable and diffable.
    EXPECT_THAT(text,
                HasSubstr("\n        { \"position\": [0.1, -0.0, 0.0], \"uv\": [1e-45, -1e-45], \"bone\": -1 },\n"));
    EXPECT_THAT(text, HasSubstr("[\"nan\", \"inf\", \"-inf\"]"));
}

TEST(ModelJson, AnyFiniteFloatReadsBackToItsBits) {
    std::mt19937 random(12345);
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "random");
    while (mesh->vertices.size() < 4000) {
        float v[5];
        for (float& f : v) {
            do f = std::bit_cast<float>(static_cast<uint32_t>(random()));
            while (!std::isfinite(f));
        }
        mesh->vertices.push_back(hm::MakeVertex({v[0], v[1], v[2]}, v[3], v[4]));
    }
    hm::LoadResult result = Parse(hm::ModelToJson(*model));
    ASSERT_NE(result.model, nullptr) << result.error.message;
    ExpectSameModel(*model, *result.model);
}

class ModelJsonFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("hm_json_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
    bool NoTemporaryLeft() const {
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().filename().string().starts_with(".vt")) return false;
        return true;
    }

    fs::path dir_;
};

TEST_F(ModelJsonFiles, SavedModelLoadsBackAndReplacesTheOldFile) {
    const std::string path = PathOf("model.hm.json");
    std::ofstream(path) << "old content";
    hm::ModelPtr model = AwkwardModel();
    const Error error = hm::SaveModelJson(*model, path);
    ASSERT_FALSE(error) << error.message;
    EXPECT_TRUE(NoTemporaryLeft());
    hm::LoadResult result = hm::LoadModelJson(path);
    ASSERT_NE(result.model, nullptr) << result.error.message;
    ExpectSameModel(*model, *result.model);
}

TEST_F(ModelJsonFiles, FileProblemsNameThePath) {
    const std::string missing = PathOf("missing.hm.json");
    EXPECT_EQ(hm::LoadModelJson(missing).error.message, missing + ": No such file or directory");
    EXPECT_EQ(hm::LoadModelJson(dir_.string()).error.message, dir_.string() + ": Is a directory");

    const std::string bad = PathOf("bad.hm.json");
    std::ofstream(bad) << R"({"meshes": [{"vertices": 3}]})";
    EXPECT_EQ(hm::LoadModelJson(bad).error.message, bad + ": meshes[0].vertices: expected an array, got a number");

    hm::ModelPtr model = AwkwardModel();
    const std::string nowhere = PathOf("no/such/dir/model.hm.json");
    Error error = hm::SaveModelJson(*model, nowhere);
    EXPECT_EQ(error.kind, ErrorKind::kWriteFailed);
    EXPECT_EQ(error.message, nowhere + ": No such file or directory");

    // The destination is a directory: the rename fails, it stays as it was
    // and the temporary is cleaned up.
    const std::string occupied = PathOf("occupied");
    fs::create_directory(occupied);
    std::ofstream(occupied + "/keep") << "kept";
    error = hm::SaveModelJson(*model, occupied);
    EXPECT_EQ(error.kind, ErrorKind::kWriteFailed);
    EXPECT_THAT(error.message, StartsWith(occupied + ": "));
    EXPECT_TRUE(fs::exists(occupied + "/keep"));
    EXPECT_TRUE(NoTemporaryLeft());
}

// The file is read in pieces: a model and its problems come out as from the
// whole text, wherever a piece ends.
TEST_F(ModelJsonFiles, FileReadsAsItsText) {
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "long");
    for (int i = 0; i < 6000; ++i) mesh->vertices.push_back(hm::MakeVertex({0.1f * i, -0.25f, 1e-3f * i}, 0.5f));
    const std::string text = hm::ModelToJson(*model);
    ASSERT_GT(text.size(), 200000u);
    std::string late = text;
    late[190000] = '#';
    const struct {
        const char* what;
        std::string text;
        bool loads;
    } cases[] = {
        {"whole", text, true},
        {"a fault far into the file", late, false},
        {"cut short", text.substr(0, 150001), false},
        {"zero bytes after the value", text + std::string(3, '\0'), true},
        {"a zero byte, then more, after the value", text + std::string(2, '\0') + "{}", false},
        {"nested deeper than any model", text.substr(0, text.size() - 1) + ", \"x\": " + std::string(1000, '[') + "}",
         false},
    };
    const std::string path = PathOf("model.hm.json");
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.text;
        const hm::LoadResult fromFile = hm::LoadModelJson(path);
        const hm::LoadResult fromText = hm::ParseModelJson(c.text, path);
        EXPECT_EQ(fromFile.error.message, fromText.error.message) << c.what;
        EXPECT_EQ(fromFile.model != nullptr, c.loads) << c.what << ": " << fromFile.error.message;
        if (fromFile.model) {
            EXPECT_EQ(hm::ModelToJson(*fromFile.model), text);
        }
    }
}

}  // namespace
