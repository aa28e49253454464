#include "mesh_edit/simplify.h"

#include "host/format_limits.h"
#include "mesh_edit/mesh_vertices.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace hm::imp {

namespace {

struct MeshInput {
    std::vector<float> positions;  // x, y, z per vertex
    std::vector<uint32_t> indices;
    float extent = 0;  // the simplifier's unit of error for this mesh
};

struct Attempt {
    std::vector<Corners> indices;  // per mesh
    std::vector<int64_t> vertices;               // per mesh, those the triangles use
    int64_t triangles = 0;
    int64_t vertexTotal = 0;
    double error = 0;  // relative to the model's extent
};

std::vector<float> Positions(const hmMesh& mesh) {
    std::vector<float> out;
    out.reserve(mesh.vertices.size() * 3);
    for (const HostVertex& v : mesh.vertices) {
        const HostVec3 p = v.position;
        out.insert(out.end(), {p.x, p.y, p.z});
    }
    return out;
}

int64_t UsedVertices(const Corners& indices, size_t vertexCount) {
    std::vector<bool> used(vertexCount, false);
    int64_t count = 0;
    for (uint32_t i : indices)
        if (!used[i]) {
            used[i] = true;
            ++count;
        }
    return count;
}

// From the most careful to the least: borders locked; borders simplified along
// themselves; last, without regard to topology (holes and seams may open).
enum class Mode { LockBorders, KeepTopology, Sloppy };

size_t SimplifyMesh(const MeshInput& mesh, Corners& out, int64_t share, Mode mode, float& error) {
    const float* positions = mesh.positions.data();
    const size_t vertices = mesh.positions.size() / 3, target = static_cast<size_t>(share) * 3;
    const auto tolerance = static_cast<float>(kSimplifyTolerance);
    if (mode == Mode::Sloppy)
        return meshopt_simplifySloppy(out.data(), mesh.indices.data(), mesh.indices.size(), positions, vertices,
                                      3 * sizeof(float), target, tolerance, &error);
    return meshopt_simplify(out.data(), mesh.indices.data(), mesh.indices.size(), positions, vertices,
                            3 * sizeof(float), target, tolerance,
                            mode == Mode::LockBorders ? meshopt_SimplifyLockBorder : 0, &error);
}

Attempt Run(const std::vector<MeshInput>& meshes, int64_t target, int64_t total, float modelExtent, Mode mode) {
    Attempt attempt;
    for (const MeshInput& mesh : meshes) {
        const int64_t own = static_cast<int64_t>(mesh.indices.size() / 3);
        // Every mesh keeps a triangle: a mesh is a texture slot the class names.
        const int64_t share = std::max<int64_t>(1, own * target / std::max<int64_t>(total, 1));
        Corners out(mesh.indices.size());
        float error = 0;
        const size_t kept = share >= own ? mesh.indices.size() : SimplifyMesh(mesh, out, share, mode, error);
        if (share >= own) out = mesh.indices;
        out.resize(kept);
        attempt.vertices.push_back(UsedVertices(out, mesh.positions.size() / 3));
        attempt.vertexTotal += attempt.vertices.back();
        attempt.triangles += static_cast<int64_t>(kept / 3);
        if (modelExtent > 0) attempt.error = std::max(attempt.error, double(error) * mesh.extent / modelExtent);
        attempt.indices.push_back(std::move(out));
    }
    return attempt;
}

bool Fits(const Attempt& attempt) {
    if (attempt.vertexTotal > kMaxFrameVertices || attempt.triangles > kMaxTriangleTotal) return false;
    for (int64_t vertices : attempt.vertices)
        if (vertices > kMaxMeshVertices) return false;
    return true;
}

}  // namespace

SimplifyResult Simplify(hmModel& model, ExactScene& exact, std::vector<Corners>& corners,
                        const SimplifyRequest& request) {
    SimplifyResult result;
    std::vector<MeshInput> meshes;
    std::vector<float> all;
    for (size_t m = 0; m < model.meshes.size(); ++m) {
        const auto& mesh = model.meshes[m];
        MeshInput input;
        input.positions = Positions(*mesh);
        input.indices = corners[m];
        input.extent = meshopt_simplifyScale(input.positions.data(), input.positions.size() / 3, 3 * sizeof(float));
        all.insert(all.end(), input.positions.begin(), input.positions.end());
        result.trianglesBefore += static_cast<int64_t>(corners[m].size() / 3);
        result.verticesBefore += static_cast<int64_t>(mesh->vertices.size());
        meshes.push_back(std::move(input));
    }
    const float modelExtent = meshopt_simplifyScale(all.data(), all.size() / 3, 3 * sizeof(float));
    const int64_t total = result.trianglesBefore;

    int64_t target = total;
    if (request.triangles > 0) target = std::min(target, request.triangles);
    if (request.fraction > 0) target = std::min(target, static_cast<int64_t>(std::floor(total * request.fraction)));
    if (request.fit) {
        // A simplified mesh keeps about as many vertices per triangle as it had;
        // the attempts below correct the estimate where seams keep more.
        const int64_t perVertices = total * kMaxFrameVertices / std::max<int64_t>(result.verticesBefore, 1);
        target = std::min({target, kMaxTriangleTotal, perVertices});
    }
    // The most careful mode that reaches the target.
    const int64_t asked = target;
    Attempt attempt;
    for (const Mode mode : {Mode::LockBorders, Mode::KeepTopology, Mode::Sloppy}) {
        target = asked;
        attempt = Run(meshes, target, total, modelExtent, mode);
        for (int tries = 0; request.fit && !Fits(attempt) && tries < 12; ++tries) {
            const double over = std::max(double(attempt.vertexTotal) / kMaxFrameVertices,
                                         double(attempt.triangles) / kMaxTriangleTotal);
            const int64_t next =
                static_cast<int64_t>(std::floor(std::min<double>(target, attempt.triangles) / over * 0.97));
            target = next >= target ? target - 1 : next;
            if (target < 1) break;
            attempt = Run(meshes, target, total, modelExtent, mode);
        }
        result.bordersLocked = mode == Mode::LockBorders;
        result.topologyKept = mode != Mode::Sloppy;
        if (request.fit ? Fits(attempt) : attempt.triangles <= asked) break;
    }
    if (request.fit && !Fits(attempt)) {
        result.ok = false;
        result.problem = "simplifying kept " + std::to_string(attempt.vertexTotal) + " vertices and " +
                         std::to_string(attempt.triangles) + " triangles, more than the format holds (" +
                         std::to_string(kMaxFrameVertices) + " vertices, " + std::to_string(kMaxTriangleTotal) +
                         " triangles): even without regard to the meshes' topology";
        return result;
    }

    for (size_t m = 0; m < model.meshes.size(); ++m) {
        hmMesh& host = *model.meshes[m];
        corners[m] = std::move(attempt.indices[m]);
        // The vertices still used, in their order.
        std::vector<uint32_t> newIndex(host.vertices.size(), kDropped);
        for (uint32_t i : corners[m]) newIndex[i] = 0;
        uint32_t count = 0;
        for (uint32_t& index : newIndex)
            if (index != kDropped) index = count++;
        RenumberVertices(host, exact.meshes[m], corners[m], newIndex, count);
        result.verticesAfter += count;
        result.trianglesAfter += static_cast<int64_t>(corners[m].size() / 3);
    }
    result.error = attempt.error;
    return result;
}

}  // namespace hm::imp
