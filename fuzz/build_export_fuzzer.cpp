// Models a host could hand the plug-in, built through the host library's
// building API from the fuzzer's bytes: names of any bytes, triangle corners
// and bone indices out of range, NaN and infinities everywhere, bones in any
// order with parents missing, repeated or cyclic, keys at any time. The
// library's C interface is asked with null handles and indices out of range,
// and the export runs on the model.
#include "fuzz/fuzz_export.h"
#include "export/export_run.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <limits>

namespace {

float PickFloat(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0: return std::numeric_limits<float>::quiet_NaN();
        case 1: return std::numeric_limits<float>::infinity();
        case 2: return -std::numeric_limits<float>::infinity();
        case 3: return in.ConsumeBool() ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
        case 4: return std::numeric_limits<float>::denorm_min();
        case 5: return in.ConsumeFloatingPoint<float>();
        default: return in.ConsumeFloatingPointInRange<float>(-100.0f, 100.0f);
    }
}

HostVec3 PickVec(FuzzedDataProvider& in) { return {PickFloat(in), PickFloat(in), PickFloat(in)}; }

// Bone names from a small alphabet, so that parents often name other bones.
std::string PickBoneName(FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange(0, 7) == 0) return in.ConsumeRandomLengthString(40);
    return std::string(1, static_cast<char>('a' + in.ConsumeIntegralInRange(0, 11)));
}

hm::ModelPtr BuildModel(FuzzedDataProvider& in) {
    hm::ModelPtr model(hm::CreateModel());
    model->totalFrames = in.ConsumeIntegralInRange<int32_t>(-2, 12);
    model->currentFrame = in.ConsumeIntegral<int32_t>();
    const int meshes = in.ConsumeIntegralInRange(0, 4);
    for (int m = 0; m < meshes; ++m) {
        hmMesh* mesh = hm::AddMesh(model.get(), in.ConsumeRandomLengthString(40));
        const int vertices = in.ConsumeIntegralInRange(0, 32);
        for (int v = 0; v < vertices; ++v)
            mesh->vertices.push_back(hm::MakeVertex(PickVec(in), PickFloat(in), PickFloat(in), in.ConsumeIntegral<int8_t>()));
        const int triangles = in.ConsumeIntegralInRange(0, 48);
        for (int t = 0; t < triangles; ++t) {
            hmTriangle triangle;
            for (uint16_t& corner : triangle.corners)
                corner = in.ConsumeIntegralInRange(0, 15) == 0 ? in.ConsumeIntegral<uint16_t>()
                                                               : in.ConsumeIntegralInRange<uint16_t>(0, vertices);
            mesh->triangles.push_back(triangle);
        }
    }
    const int materials = in.ConsumeIntegralInRange(0, 5);
    for (int i = 0; i < materials; ++i)
        hm::AddMaterial(model.get(), in.ConsumeRandomLengthString(40), in.ConsumeRandomLengthString(40));
    const int bones = in.ConsumeIntegralInRange(0, 16);
    for (int b = 0; b < bones; ++b) {
        HostBoneEntry* bone = hm::AddBone(model.get(), PickBoneName(in), PickBoneName(in), PickVec(in), PickVec(in));
        const int positionKeys = in.ConsumeIntegralInRange(0, 6);
        for (int k = 0; k < positionKeys; ++k) bone->positionKeys.push_back({PickFloat(in), PickVec(in)});
        const int rotationKeys = in.ConsumeIntegralInRange(0, 6);
        for (int k = 0; k < rotationKeys; ++k) bone->rotationKeys.push_back({PickFloat(in), PickVec(in)});
    }
    return model;
}

// Every getter answers 0, -1 or null for a null handle or an index out of
// range, and leaves a name buffer terminated.
void AskOutOfRange(hmModel* model, FuzzedDataProvider& in) {
    const int32_t index = in.ConsumeIntegral<int32_t>();
    const bool outside = index < 0 || index >= hmModel_GetMeshCount(model);
    if (outside && hmModel_GetMeshAt(model, index)) fuzzing::Finding("a mesh at an index out of range");
    if ((index < 0 || index >= hmModel_GetBoneCount(model)) && hmModel_GetBoneAt(model, index))
        fuzzing::Finding("a bone at an index out of range");
    if ((index < 0 || index >= hmModel_GetMaterialCount(model)) && hmModel_GetMaterialAt(model, index))
        fuzzing::Finding("a material at an index out of range");
    if (hmModel_GetMeshAt(nullptr, index) || hmModel_GetBoneAt(nullptr, index) || hmMesh_GetVertexAt(nullptr, index) ||
        hmMesh_GetTriangleAt(nullptr, index) || hmBone_GetPositionKeyAt(nullptr, index) ||
        hmBone_GetRotationKeyAt(nullptr, index) || hmModel_GetMaterialAt(nullptr, index))
        fuzzing::Finding("an element of a null handle");
    if (hmModel_GetMeshCount(nullptr) != 0 || hmModel_GetBoneCount(nullptr) != 0 || hmMesh_GetVertexCount(nullptr) != 0)
        fuzzing::Finding("a count of a null handle");
    char name[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    hmMesh* mesh = hmModel_GetMeshAt(model, in.ConsumeIntegralInRange(0, 4));
    hmMesh_GetName(mesh, name, static_cast<int32_t>(in.ConsumeIntegralInRange<size_t>(1, sizeof name)));
    if (std::char_traits<char>::find(name, sizeof name, '\0') == nullptr) fuzzing::Finding("a name left unterminated");
    if (mesh && hmMesh_GetVertexAt(mesh, hmMesh_GetVertexCount(mesh)))
        fuzzing::Finding("a vertex one past the end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (Run(nullptr) != -1) fuzzing::Finding("a null model did not return -1");
    hm::ModelPtr model = BuildModel(in);
    AskOutOfRange(model.get(), in);
    if (fuzzing::SmallEnoughToExport(*model)) fuzzing::ExportAndCheck(std::move(model), false);
    return 0;
}
