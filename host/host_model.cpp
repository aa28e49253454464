#include "host/host_model.h"

#include <cstring>

namespace {

template <typename T>
T* At(std::vector<std::unique_ptr<T>>& items, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= items.size()) return nullptr;
    return items[static_cast<size_t>(index)].get();
}

template <typename T>
T* At(std::vector<T>& items, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= items.size()) return nullptr;
    return &items[static_cast<size_t>(index)];
}

template <typename C>
int32_t Count(const C& items) {
    return items.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(items.size());
}

void CopyName(const std::string& name, char* buffer, int32_t size) {
    if (!buffer || size <= 0) return;
    size_t n = std::min(name.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
}

void FillField(char (&field)[32], const std::string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

// The record is the first member of its entry (see host_model.h).
const HostBoneEntry* EntryOf(const HostBone* bone) {
    return reinterpret_cast<const HostBoneEntry*>(bone);
}
HostBoneEntry* EntryOf(HostBone* bone) { return reinterpret_cast<HostBoneEntry*>(bone); }

}  // namespace

static_assert(offsetof(HostBoneEntry, record) == 0);

extern "C" {

int32_t hmModel_GetMeshCount(const hmModel* model) { return model ? Count(model->meshes) : 0; }

hmMesh* hmModel_GetMeshAt(hmModel* model, int32_t index) {
    return model ? At(model->meshes, index) : nullptr;
}

void hmMesh_GetName(const hmMesh* mesh, char* buffer, int32_t size) {
    CopyName(mesh ? mesh->name : std::string(), buffer, size);
}

int32_t hmMesh_GetVertexCount(const hmMesh* mesh) { return mesh ? Count(mesh->vertices) : 0; }

HostVertex* hmMesh_GetVertexAt(hmMesh* mesh, int32_t index) {
    return mesh ? At(mesh->vertices, index) : nullptr;
}

void hmVertex_GetTexCoords(const HostVertex* vertex, float* uv) {
    if (!uv) return;
    uv[0] = vertex ? vertex->texCoords[0] : 0.0f;
    uv[1] = vertex ? vertex->texCoords[1] : 0.0f;
}

int32_t hmMesh_GetTriangleCount(const hmMesh* mesh) { return mesh ? Count(mesh->triangles) : 0; }

hmTriangle* hmMesh_GetTriangleAt(hmMesh* mesh, int32_t index) {
    return mesh ? At(mesh->triangles, index) : nullptr;
}

void hmTriangle_GetVertexIndices(const hmTriangle* triangle, uint16_t* indices) {
    if (!indices) return;
    for (size_t k = 0; k < 3; ++k) indices[k] = triangle ? triangle->corners[k] : 0;
}

int32_t hmModel_GetTotalFrames(const hmModel* model) { return model ? model->totalFrames : 0; }

int32_t hmModel_GetFrame(const hmModel* model) { return model ? model->currentFrame : 0; }

int32_t hmModel_GetBoneCount(const hmModel* model) { return model ? Count(model->bones) : 0; }

HostBone* hmModel_GetBoneAt(hmModel* model, int32_t index) {
    HostBoneEntry* entry = model ? At(model->bones, index) : nullptr;
    return entry ? &entry->record : nullptr;
}

int32_t hmModel_FindBoneByName(const hmModel* model, const char* name) {
    if (!model || !name || name[0] == '\0') return -1;
    for (size_t i = 0; i < model->bones.size() && i <= INT32_MAX; ++i) {
        const char* own = model->bones[i]->record.name;
        if (strnlen(name, 32) < 32 && std::strncmp(own, name, 32) == 0) return static_cast<int32_t>(i);
    }
    return -1;
}

int32_t hmBone_GetPositionKeyCount(const HostBone* bone) {
    return bone ? Count(EntryOf(bone)->positionKeys) : 0;
}

int32_t hmBone_GetRotationKeyCount(const HostBone* bone) {
    return bone ? Count(EntryOf(bone)->rotationKeys) : 0;
}

HostPositionKey* hmBone_GetPositionKeyAt(HostBone* bone, int32_t index) {
    return bone ? At(EntryOf(bone)->positionKeys, index) : nullptr;
}

HostRotationKey* hmBone_GetRotationKeyAt(HostBone* bone, int32_t index) {
    return bone ? At(EntryOf(bone)->rotationKeys, index) : nullptr;
}

int32_t hmModel_GetMaterialCount(const hmModel* model) { return model ? Count(model->materials) : 0; }

hmMaterial* hmModel_GetMaterialAt(hmModel* model, int32_t index) {
    return model ? At(model->materials, index) : nullptr;
}

void hmMaterial_GetDiffuseTexture(const hmMaterial* material, char* buffer, int32_t size) {
    CopyName(material ? material->diffuseTexture : std::string(), buffer, size);
}

void hmModel_Destroy(hmModel* model) {
    if (!model) return;
    if (model->onDestroy) model->onDestroy(model);
    delete model;
}

hmExportExtension* hmHost_GetExportExtension(const hmModel* model) { return model ? model->exportExtension : nullptr; }

}  // extern "C"

namespace hm {

hmModel* CreateModel() { return new hmModel(); }

hmMesh* AddMesh(hmModel* model, const std::string& name) {
    model->meshes.push_back(std::make_unique<hmMesh>());
    model->meshes.back()->name = name;
    return model->meshes.back().get();
}

HostVertex MakeVertex(HostVec3 position, float u, float v, int8_t bone) {
    HostVertex vertex{};
    vertex.position = position;
    vertex.texCoords[0] = u;
    vertex.texCoords[1] = v;
    vertex.boneIndex = bone;
    return vertex;
}

hmMaterial* AddMaterial(hmModel* model, const std::string& name, const std::string& diffuseTexture) {
    model->materials.push_back(std::make_unique<hmMaterial>());
    model->materials.back()->name = name;
    model->materials.back()->diffuseTexture = diffuseTexture;
    return model->materials.back().get();
}

HostBoneEntry* AddBone(hmModel* model, const std::string& name, const std::string& parentName,
                       HostVec3 position, HostVec3 rotation) {
    model->bones.push_back(std::make_unique<HostBoneEntry>());
    HostBoneEntry* entry = model->bones.back().get();
    FillField(entry->record.name, name);
    FillField(entry->record.parentName, parentName);
    entry->record.position = position;
    entry->record.rotation = rotation;
    return entry;
}

}  // namespace hm
