#include "host/host_model.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

// Packed record fields are not aligned for the references the test macros
// take, so they are compared as copies.
template <typename T>
T Copy(T value) {
    return value;
}

template <typename T>
T ReadAt(const void* record, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
    return value;
}

TEST(HostRecords, FieldsSitAtTheHostsByteOffsets) {
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "m");
    mesh->vertices.push_back(hm::MakeVertex({1.5f, -2.0f, 3.25f}, 0.25f, 0.75f, 7));
    HostBoneEntry* entry = hm::AddBone(model.get(), "arm", "root", {1, 2, 3}, {4, 5, 6});
    entry->positionKeys.push_back({2.0f, {7, 8, 9}});
    entry->rotationKeys.push_back({3.0f, {-1, -2, -3}});

    HostVertex* vertex = hmMesh_GetVertexAt(mesh, 0);
    EXPECT_EQ(ReadAt<float>(vertex, 1), 1.5f);
    EXPECT_EQ(ReadAt<float>(vertex, 9), 3.25f);
    EXPECT_EQ(ReadAt<int8_t>(vertex, 21), 7);
    // The bind pose rewrites positions through the record in place.
    const float x = 9.5f;
    std::memcpy(reinterpret_cast<char*>(vertex) + 1, &x, sizeof x);
    EXPECT_EQ(Copy(mesh->vertices[0].position.x), 9.5f);
    float uv[2];
    hmVertex_GetTexCoords(vertex, uv);
    EXPECT_EQ(uv[0], 0.25f);
    EXPECT_EQ(uv[1], 0.75f);

    HostBone* bone = hmModel_GetBoneAt(model.get(), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(bone) + 36, "root");
    EXPECT_EQ(ReadAt<float>(bone, 68), 1.0f);
    EXPECT_EQ(ReadAt<float>(bone, 76), 3.0f);
    EXPECT_EQ(ReadAt<float>(bone, 80), 4.0f);
    EXPECT_EQ(ReadAt<float>(bone, 88), 6.0f);

    const HostPositionKey* position = hmBone_GetPositionKeyAt(bone, 0);
    EXPECT_EQ(ReadAt<float>(position, 0), 2.0f);
    EXPECT_EQ(ReadAt<float>(position, 4), 7.0f);
    EXPECT_EQ(ReadAt<float>(position, 12), 9.0f);
    const HostRotationKey* rotation = hmBone_GetRotationKeyAt(bone, 0);
    EXPECT_EQ(ReadAt<float>(rotation, 0), 3.0f);
    EXPECT_EQ(ReadAt<float>(rotation, 8), -2.0f);
}

TEST(HostApi, NullHandlesAnswerEmpty) {
    EXPECT_EQ(hmModel_GetMeshCount(nullptr), 0);
    EXPECT_EQ(hmModel_GetMeshAt(nullptr, 0), nullptr);
    EXPECT_EQ(hmMesh_GetVertexCount(nullptr), 0);
    EXPECT_EQ(hmMesh_GetVertexAt(nullptr, 0), nullptr);
    EXPECT_EQ(hmMesh_GetTriangleCount(nullptr), 0);
    EXPECT_EQ(hmMesh_GetTriangleAt(nullptr, 0), nullptr);
    EXPECT_EQ(hmModel_GetTotalFrames(nullptr), 0);
    EXPECT_EQ(hmModel_GetFrame(nullptr), 0);
    EXPECT_EQ(hmModel_GetBoneCount(nullptr), 0);
    EXPECT_EQ(hmModel_GetBoneAt(nullptr, 0), nullptr);
    EXPECT_EQ(hmModel_FindBoneByName(nullptr, "root"), -1);
    EXPECT_EQ(hmBone_GetPositionKeyCount(nullptr), 0);
    EXPECT_EQ(hmBone_GetRotationKeyCount(nullptr), 0);
    EXPECT_EQ(hmBone_GetPositionKeyAt(nullptr, 0), nullptr);
    EXPECT_EQ(hmBone_GetRotationKeyAt(nullptr, 0), nullptr);
    EXPECT_EQ(hmModel_GetMaterialCount(nullptr), 0);
    EXPECT_EQ(hmModel_GetMaterialAt(nullptr, 0), nullptr);

    char name[8] = "xxxxxxx";
    hmMesh_GetName(nullptr, name, sizeof name);
    EXPECT_STREQ(name, "");
    std::strcpy(name, "xxxxxxx");
    hmMaterial_GetDiffuseTexture(nullptr, name, sizeof name);
    EXPECT_STREQ(name, "");
    float uv[2] = {5, 5};
    hmVertex_GetTexCoords(nullptr, uv);
    EXPECT_EQ(uv[0], 0.0f);
    EXPECT_EQ(uv[1], 0.0f);
    uint16_t corners[3] = {9, 9, 9};
    hmTriangle_GetVertexIndices(nullptr, corners);
    EXPECT_EQ(corners[0] | corners[1] | corners[2], 0);

    // Null output buffers too.
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "m");
    mesh->vertices.push_back(hm::MakeVertex({0, 0, 0}));
    mesh->triangles.push_back(hmTriangle{{0, 0, 0}});
    hmMesh_GetName(mesh, nullptr, 32);
    hmVertex_GetTexCoords(hmMesh_GetVertexAt(mesh, 0), nullptr);
    hmTriangle_GetVertexIndices(hmMesh_GetTriangleAt(mesh, 0), nullptr);
    EXPECT_EQ(hmModel_FindBoneByName(model.get(), nullptr), -1);
    hmModel_Destroy(nullptr);
}

TEST(HostApi, IndicesOutOfRangeGiveNull) {
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "m");
    mesh->vertices.push_back(hm::MakeVertex({0, 0, 0}));
    mesh->triangles.push_back(hmTriangle{{0, 0, 0}});
    hm::AddMaterial(model.get(), "skin", "skin.bmp");
    HostBoneEntry* entry = hm::AddBone(model.get(), "root", "", {}, {});
    entry->positionKeys.push_back({0, {}});
    entry->rotationKeys.push_back({0, {}});
    HostBone* bone = &entry->record;

    for (int32_t index : {-1, 1, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(hmModel_GetMeshAt(model.get(), index), nullptr);
        EXPECT_EQ(hmMesh_GetVertexAt(mesh, index), nullptr);
        EXPECT_EQ(hmMesh_GetTriangleAt(mesh, index), nullptr);
        EXPECT_EQ(hmModel_GetBoneAt(model.get(), index), nullptr);
        EXPECT_EQ(hmBone_GetPositionKeyAt(bone, index), nullptr);
        EXPECT_EQ(hmBone_GetRotationKeyAt(bone, index), nullptr);
        EXPECT_EQ(hmModel_GetMaterialAt(model.get(), index), nullptr);
    }
    EXPECT_EQ(hmModel_GetMeshAt(model.get(), 0), mesh);
    EXPECT_EQ(hmModel_GetBoneAt(model.get(), 0), bone);
}

TEST(HostApi, NameGettersZeroTerminateWithinTheirSize) {
    hm::ModelPtr model(hm::CreateModel());
    const std::string longName = "Body-with-a-name-well-beyond-thirty-one-bytes";
    hmMesh* mesh = hm::AddMesh(model.get(), longName);
    hmMaterial* material = hm::AddMaterial(model.get(), "skin", "textures/skin-diffuse.bmp");

    using Getter = void (*)(const void*, char*, int32_t);
    auto meshName = [](const void* item, char* buffer, int32_t size) {
        hmMesh_GetName(static_cast<const hmMesh*>(item), buffer, size);
    };
    auto texture = [](const void* item, char* buffer, int32_t size) {
        hmMaterial_GetDiffuseTexture(static_cast<const hmMaterial*>(item), buffer, size);
    };
    const struct {
        Getter get;
        const void* item;
        std::string text;
    } cases[] = {{meshName, mesh, longName}, {texture, material, "textures/skin-diffuse.bmp"}};

    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char buffer[40];
        std::memset(buffer, 'x', sizeof buffer);
        c.get(c.item, buffer, 5);
        EXPECT_EQ(std::string(buffer), c.text.substr(0, 4));
        EXPECT_EQ(buffer[5], 'x');

        std::memset(buffer, 'x', sizeof buffer);
        c.get(c.item, buffer, 1);
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(buffer[1], 'x');

        std::memset(buffer, 'x', sizeof buffer);
        c.get(c.item, buffer, 0);
        c.get(c.item, buffer, -3);
        EXPECT_EQ(buffer[0], 'x');

        std::memset(buffer, 'x', sizeof buffer);
        c.get(c.item, buffer, 32);
        EXPECT_EQ(std::string(buffer), c.text.substr(0, 31));
        EXPECT_EQ(buffer[32], 'x');
    }
}

TEST(HostApi, FindBoneByNameMatchesWholeNamesOnly) {
    hm::ModelPtr model(hm::CreateModel());
    const std::string longest(31, 'a');
    hm::AddBone(model.get(), "", "", {}, {});
    hm::AddBone(model.get(), "root", "", {}, {});
    hm::AddBone(model.get(), longest, "root", {}, {});
    hm::AddBone(model.get(), "root", "", {}, {});

    // An empty name never matches, not even a bone whose name is empty.
    EXPECT_EQ(hmModel_FindBoneByName(model.get(), ""), -1);
    EXPECT_EQ(hmModel_FindBoneByName(model.get(), "root"), 1);  // the first of two
    EXPECT_EQ(hmModel_FindBoneByName(model.get(), "roo"), -1);
    EXPECT_EQ(hmModel_FindBoneByName(model.get(), "rootx"), -1);
    EXPECT_EQ(hmModel_FindBoneByName(model.get(), longest.c_str()), 2);
    EXPECT_EQ(hmModel_FindBoneByName(model.get(), (longest + "a").c_str()), -1);
}

TEST(HostApi, DestroyReleasesOnceAndTellsTheHost) {
    int calls = 0;
    hmModel* model = hm::CreateModel();
    model->onDestroy = [&calls](const hmModel*) { ++calls; };
    hmModel_Destroy(model);
    EXPECT_EQ(calls, 1);
}

}  // namespace
