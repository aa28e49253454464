#include "host/model_warnings.h"

#include <string_view>
#include <unordered_map>

namespace hm {

Warnings FindModelWarnings(const hmModel& model, const std::string& file) {
    Warnings warnings;
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
            const std::string place = "meshes[" + std::to_string(m) + "].vertices[" + std::to_string(first) + "].bone";
            std::string problem = "bone " + std::to_string(mesh.vertices[first].boneIndex) +
                                  " names no bone of the model (it has " + std::to_string(boneCount) + ")";
            if (count > 1) problem += "; " + std::to_string(count - 1) + " more vertices of this mesh do the same";
            AddWarning(warnings, WarningKind::UnknownBone, file + ": " + place + ": " + problem,
                       static_cast<int64_t>(count), {place});
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
        const std::string place = "bones[" + std::to_string(i) + "].parent";
        if (parent->second == i) {
            AddWarning(warnings, WarningKind::ParentIsItself, file + ": " + place + ": bone names itself as its parent",
                       1, {place});
        } else if (parent->second > i) {
            AddWarning(warnings, WarningKind::ParentAfterChild,
                       file + ": " + place + ": parent \"" + std::string(parentName) +
                           "\" is listed after its child (at bones[" + std::to_string(parent->second) + "])",
                       1, {place});
        }
    }
    return warnings;
}

}  // namespace hm
