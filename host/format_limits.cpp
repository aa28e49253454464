#include "host/format_limits.h"

#include "host/host_model.h"

namespace hm {
namespace {

enum class Action { Ignore, Warn, Stop, StopUnlessForced };

// Today's policy. A host model file is taken as the host holds it, with
// warnings where its counts wrap; an imported file stops where the format
// cannot hold it, unless forced. The frame size is not checked yet.
Action ActionFor(FormatLimit limit, InputRoute route) {
    const bool imported = route == InputRoute::Imported;
    switch (limit) {
    case FormatLimit::MeshVertices: return imported ? Action::Stop : Action::Ignore;
    case FormatLimit::VertexTotal:
    case FormatLimit::TriangleTotal: return imported ? Action::StopUnlessForced : Action::Warn;
    case FormatLimit::Frames: return imported ? Action::StopUnlessForced : Action::Ignore;
    case FormatLimit::TextureSlots: return imported ? Action::Warn : Action::Ignore;
    case FormatLimit::FrameSize: return Action::Ignore;
    }
    return Action::Ignore;
}

std::string Describe(FormatLimit limit, const ModelCounts& counts, int64_t count, int64_t most) {
    const std::string n = std::to_string(count), m = std::to_string(most);
    switch (limit) {
    case FormatLimit::MeshVertices:
        return "mesh '" + counts.largestMesh + "' has " + n + " vertices; a triangle corner can name at most " + m;
    case FormatLimit::VertexTotal: return n + " vertices in all; the format holds at most " + m;
    case FormatLimit::TriangleTotal: return n + " triangles in all; the format holds at most " + m;
    case FormatLimit::Frames: return n + " frames in all; the format holds at most " + m;
    case FormatLimit::FrameSize: return n + " vertices; a frame of the animation file holds at most " + m;
    case FormatLimit::TextureSlots:
        return n + " meshes; a polygon's texture slot holds at most " + m +
               ", so later meshes show the textures of earlier ones";
    }
    return {};
}

// What follows the description: why the export stops, or what going on means.
std::string Consequence(FormatLimit limit, Action action, bool force) {
    if (action == Action::Stop) return "";
    if (action == Action::StopUnlessForced && !force) return " (--force exports anyway)";
    if (limit == FormatLimit::TextureSlots || limit == FormatLimit::MeshVertices) return "";
    return action == Action::StopUnlessForced ? "; going on as asked, the counts wrap in the exported files"
                                              : "; the counts wrap in the exported files";
}

}  // namespace

ModelCounts CountModel(const hmModel& model) {
    ModelCounts counts;
    counts.frames = model.totalFrames;
    counts.meshes = static_cast<int64_t>(model.meshes.size());
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
    const Check checks[] = {
        {FormatLimit::MeshVertices, counts.largestMeshVertices, kMaxMeshVertices},
        {FormatLimit::VertexTotal, counts.vertices, kMaxVertexTotal},
        {FormatLimit::TriangleTotal, counts.triangles, kMaxTriangleTotal},
        {FormatLimit::Frames, counts.frames, kMaxFrames},
        {FormatLimit::FrameSize, counts.vertices, kMaxFrameVertices},
        {FormatLimit::TextureSlots, counts.meshes, kTextureSlots},
    };
    std::vector<LimitFinding> findings;
    for (const Check& check : checks) {
        const Action action = ActionFor(check.limit, route);
        if (check.count <= check.most || action == Action::Ignore) continue;
        const bool stops = action == Action::Stop || (action == Action::StopUnlessForced && !force);
        findings.push_back({check.limit, check.count, check.most, stops,
                            Describe(check.limit, counts, check.count, check.most) +
                                Consequence(check.limit, action, force)});
    }
    return findings;
}

}  // namespace hm
