#include "host/format_limits.h"

#include "host/host_model.h"

namespace hm {
namespace {

// The limit, the count and the reason for the limit.
std::string Describe(FormatLimit limit, const ModelCounts& counts, int64_t count, int64_t most) {
    const std::string n = std::to_string(count), m = std::to_string(most);
    switch (limit) {
    case FormatLimit::MeshVertices:
        return "mesh '" + counts.largestMesh + "' has " + n + " vertices; a triangle corner is a 16-bit index, so it "
               "can name at most " + m;
    case FormatLimit::VertexTotal:
        return n + " vertices in all; the animation file states a frame's size (8 bytes a vertex) in 16 bits, so it "
               "holds at most " + m;
    case FormatLimit::TriangleTotal: return n + " triangles in all; the mesh data file counts them in 16 bits, so at most " + m;
    case FormatLimit::Frames: return n + " frames; the animation file counts them in 16 bits, so at most " + m;
    case FormatLimit::TextureSlots:
        return n + " meshes; a polygon names its texture slot in 8 bits, so at most " + m;
    case FormatLimit::Bones: return n + " bones; a vertex names its bone with a signed 8-bit index, so at most " + m;
    }
    return {};
}

// What the exported files show when an export goes past the limit anyway.
std::string WhatWraps(FormatLimit limit) {
    switch (limit) {
    case FormatLimit::MeshVertices: return "triangles can name only the mesh's first vertices";
    case FormatLimit::VertexTotal: return "the frame size and the vertex numbers wrap";
    case FormatLimit::TriangleTotal: return "the triangle count wraps";
    case FormatLimit::Frames: return "the frame count wraps, and only that many frames are written";
    case FormatLimit::TextureSlots: return "later meshes show the textures of earlier ones";
    case FormatLimit::Bones: return "vertices cannot name the later bones";
    }
    return {};
}

// Both routes pose vertices through the host's bone table today; a route
// that evaluates the source scene itself is not bound by the bone index.
bool PosesThroughHostBones(InputRoute route) {
    return route == InputRoute::HostModelFile || route == InputRoute::Imported;
}

}  // namespace

ModelCounts CountModel(const hmModel& model) {
    ModelCounts counts;
    counts.frames = model.totalFrames;
    counts.meshes = static_cast<int64_t>(model.meshes.size());
    counts.bones = static_cast<int64_t>(model.bones.size());
    for (const auto& mesh : model.meshes) {
        if (!mesh) continue;
        const int64_t vertices = static_cast<int64_t>(mesh->vertices.size());
        counts.vertices += vertices;
        counts.triangles += static_cast<int64_t>(mesh->triangles.size());
        if (vertices > counts.largestMeshVertices) {
            counts.largestMeshVertices = vertices;
            counts.largestMesh = mesh->name;
        }
    }
    return counts;
}

std::vector<LimitFinding> CheckFormatLimits(const ModelCounts& counts, InputRoute route, bool force) {
    struct Check {
        FormatLimit limit;
        int64_t count;
        int64_t most;
    };
    std::vector<Check> checks = {
        {FormatLimit::VertexTotal, counts.vertices, kMaxVertexTotal},
        {FormatLimit::MeshVertices, counts.largestMeshVertices, kMaxMeshVertices},
        {FormatLimit::TriangleTotal, counts.triangles, kMaxTriangleTotal},
        {FormatLimit::Frames, counts.frames, kMaxFrames},
        {FormatLimit::TextureSlots, counts.meshes, kTextureSlots},
    };
    if (PosesThroughHostBones(route))
        checks.push_back({FormatLimit::Bones, counts.bones, kMaxBones});
    std::vector<LimitFinding> findings;
    for (const Check& check : checks) {
        if (check.count <= check.most) continue;
        const std::string what = Describe(check.limit, counts, check.count, check.most);
        findings.push_back({check.limit, check.count, check.most, !force,
                            force ? what + "; exporting as asked: " + WhatWraps(check.limit)
                                  : what + " (--force exports anyway: " + WhatWraps(check.limit) + ")"});
    }
    return findings;
}

}  // namespace hm
