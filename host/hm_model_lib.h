// The host model library's C interface: the handles and records through which
// a plug-in reads (and, for vertex positions, rewrites) the host's model.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#  if defined(HM_MODEL_LIB_BUILD)
#    define HM_API __declspec(dllexport)
#  else
#    define HM_API __declspec(dllimport)
#  endif
#else
#  define HM_API __attribute__((visibility("default")))
#endif

// Opaque handles. The library owns what they point at; every handle and record
// pointer stays valid until hmModel_Destroy.
struct hmModel;
struct hmMesh;
struct hmTriangle;
struct hmMaterial;

// Records read in place. Their byte layout is fixed by the host; the unused
// bytes are ours (see the comments) and no plug-in may rely on them.
#pragma pack(push, 1)
struct HostVec3 {
    float x, y, z;
};

struct HostVertex {
    uint8_t flags;        // +0  unused by plug-ins
    HostVec3 position;    // +1  model space; rewritten in place by the bind pose
    float texCoords[2];   // +13 u, v; plug-ins read them with hmVertex_GetTexCoords
    int8_t boneIndex;     // +21 -1 for no bone
};

struct HostBone {
    char name[32];        // +0  what hmModel_FindBoneByName matches
    int32_t reserved;     // +32 unused
    char parentName[32];  // +36 zero-terminated; no match (or "") makes a root
    HostVec3 position;    // +68 rest translation
    HostVec3 rotation;    // +80 rest Euler angles, radians about x, y, z
};

struct HostPositionKey {
    float time;           // +0 in frames
    HostVec3 value;       // +4 a position
};

struct HostRotationKey {
    float time;           // +0 in frames
    HostVec3 value;       // +4 Euler angles in radians
};
#pragma pack(pop)

static_assert(sizeof(HostVec3) == 12);
static_assert(offsetof(HostVertex, position) == 1);
static_assert(offsetof(HostVertex, boneIndex) == 21);
static_assert(sizeof(HostVertex) == 22);
static_assert(offsetof(HostBone, parentName) == 36);
static_assert(offsetof(HostBone, position) == 68);
static_assert(offsetof(HostBone, rotation) == 80);
static_assert(sizeof(HostBone) == 92);
static_assert(offsetof(HostPositionKey, time) == 0 && offsetof(HostPositionKey, value) == 4);
static_assert(offsetof(HostRotationKey, time) == 0 && offsetof(HostRotationKey, value) == 4);
static_assert(sizeof(HostPositionKey) == 16 && sizeof(HostRotationKey) == 16);

// Every function accepts a null handle and an index out of range: it then
// answers 0, -1 or null and leaves the caller's buffer empty. Name getters
// always zero-terminate within the size they are given (when it is positive).
extern "C" {
HM_API int32_t hmModel_GetMeshCount(const hmModel* model);
HM_API hmMesh* hmModel_GetMeshAt(hmModel* model, int32_t index);
HM_API void hmMesh_GetName(const hmMesh* mesh, char* buffer, int32_t size);
HM_API int32_t hmMesh_GetVertexCount(const hmMesh* mesh);
HM_API HostVertex* hmMesh_GetVertexAt(hmMesh* mesh, int32_t index);
HM_API void hmVertex_GetTexCoords(const HostVertex* vertex, float* uv);
HM_API int32_t hmMesh_GetTriangleCount(const hmMesh* mesh);
HM_API hmTriangle* hmMesh_GetTriangleAt(hmMesh* mesh, int32_t index);
HM_API void hmTriangle_GetVertexIndices(const hmTriangle* triangle, uint16_t* indices);
HM_API int32_t hmModel_GetTotalFrames(const hmModel* model);
HM_API int32_t hmModel_GetFrame(const hmModel* model);
HM_API int32_t hmModel_GetBoneCount(const hmModel* model);
HM_API HostBone* hmModel_GetBoneAt(hmModel* model, int32_t index);
HM_API int32_t hmModel_FindBoneByName(const hmModel* model, const char* name);
HM_API int32_t hmBone_GetPositionKeyCount(const HostBone* bone);
HM_API int32_t hmBone_GetRotationKeyCount(const HostBone* bone);
HM_API HostPositionKey* hmBone_GetPositionKeyAt(HostBone* bone, int32_t index);
HM_API HostRotationKey* hmBone_GetRotationKeyAt(HostBone* bone, int32_t index);
HM_API int32_t hmModel_GetMaterialCount(const hmModel* model);
HM_API hmMaterial* hmModel_GetMaterialAt(hmModel* model, int32_t index);
HM_API void hmMaterial_GetDiffuseTexture(const hmMaterial* material, char* buffer, int32_t size);
HM_API void hmModel_Destroy(hmModel* model);
}
