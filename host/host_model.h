// The in-memory model behind the host library's handles, and the API host
// programs (JSON reader, importer, tests) use to build one.
#pragma once

#include "host/hm_model_lib.h"
#include "host/host_extension.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The structs the opaque handles point at. A host program fills them before
// it hands the model to a plug-in and must not add or remove elements
// afterwards (that would move records the plug-in holds pointers to).
struct hmTriangle {
    std::array<uint16_t, 3> corners{};
};

struct hmMesh {
    std::string name;
    std::vector<HostVertex> vertices;
    std::vector<hmTriangle> triangles;
};

struct hmMaterial {
    std::string name;
    std::string diffuseTexture;
};

// A bone: the record plug-ins read in place, with its keys. The record comes
// first so that a HostBone pointer leads back to its bone.
struct HostBoneEntry {
    HostBone record{};
    std::vector<HostPositionKey> positionKeys;
    std::vector<HostRotationKey> rotationKeys;
};

struct hmModel {
    int32_t totalFrames = 0;
    int32_t currentFrame = 0;
    std::vector<std::unique_ptr<hmMesh>> meshes;
    std::vector<std::unique_ptr<hmMaterial>> materials;
    std::vector<std::unique_ptr<HostBoneEntry>> bones;
    // Called by hmModel_Destroy just before the model is freed, so a host
    // program can tell whether (and how often) a plug-in released it.
    std::function<void(const hmModel*)> onDestroy;
    // What the host program adds to a plug-in's export of this model (see
    // host/host_extension.h); not the host's to read.
    hmExportExtension* exportExtension = nullptr;
};

namespace hm {

HM_API hmModel* CreateModel();

// Building helpers. Bone names longer than 31 bytes are cut to 31 (the
// record's field); mesh and material names are kept whole.
HM_API hmMesh* AddMesh(hmModel* model, const std::string& name);
HM_API HostVertex MakeVertex(HostVec3 position, float u = 0.0f, float v = 0.0f, int8_t bone = -1);
HM_API hmMaterial* AddMaterial(hmModel* model, const std::string& name, const std::string& diffuseTexture);
HM_API HostBoneEntry* AddBone(hmModel* model, const std::string& name, const std::string& parentName,
                              HostVec3 position, HostVec3 rotation);

// Frees a model without anyone having to go through the C interface.
struct ModelDeleter {
    void operator()(hmModel* model) const { delete model; }
};
using ModelPtr = std::unique_ptr<hmModel, ModelDeleter>;

}  // namespace hm
