#include "mesh_edit/mesh_vertices.h"

namespace hm::imp {

namespace {

// The first old vertex of each new number.
std::vector<uint32_t> FirstOfEach(const std::vector<uint32_t>& newIndex, uint32_t count) {
    std::vector<uint32_t> first(count, kDropped);
    for (uint32_t v = 0; v < newIndex.size(); ++v)
        if (newIndex[v] != kDropped && first[newIndex[v]] == kDropped) first[newIndex[v]] = v;
    return first;
}

void RenumberExact(ExactMesh& exact, const std::vector<uint32_t>& newIndex, const std::vector<uint32_t>& first) {
    std::vector<Vec3d> positions;
    positions.reserve(first.size());
    for (uint32_t old : first) positions.push_back(exact.positions[old]);
    exact.positions = std::move(positions);
    if (!exact.framePoint.empty()) {
        std::vector<uint32_t> points;
        points.reserve(first.size());
        for (uint32_t old : first) points.push_back(exact.framePoint[old]);
        exact.framePoint = std::move(points);
    }

    if (!exact.influenceStart.empty()) {
        std::vector<uint32_t> start{0}, joints;
        std::vector<double> weights;
        for (uint32_t old : first) {
            for (uint32_t i = exact.influenceStart[old]; i < exact.influenceStart[old + 1]; ++i) {
                joints.push_back(exact.influenceJoint[i]);
                weights.push_back(exact.influenceWeight[i]);
            }
            start.push_back(static_cast<uint32_t>(joints.size()));
        }
        exact.influenceStart = std::move(start);
        exact.influenceJoint = std::move(joints);
        exact.influenceWeight = std::move(weights);
    }

    // A target's deltas are in ascending vertex order; new numbers keep the
    // order of the first vertices, so they stay ascending.
    if (!exact.targetStart.empty()) {
        std::vector<uint32_t> start{0}, vertices;
        std::vector<Vec3d> deltas;
        for (size_t t = 0; t + 1 < exact.targetStart.size(); ++t) {
            for (uint32_t i = exact.targetStart[t]; i < exact.targetStart[t + 1]; ++i) {
                const uint32_t old = exact.deltaVertex[i];
                if (newIndex[old] == kDropped || first[newIndex[old]] != old) continue;
                vertices.push_back(newIndex[old]);
                deltas.push_back(exact.delta[i]);
            }
            start.push_back(static_cast<uint32_t>(vertices.size()));
        }
        exact.targetStart = std::move(start);
        exact.deltaVertex = std::move(vertices);
        exact.delta = std::move(deltas);
    }
}

}  // namespace

void RenumberVertices(hmMesh& host, ExactMesh& exact, Corners& corners, const std::vector<uint32_t>& newIndex,
                      uint32_t count) {
    const std::vector<uint32_t> first = FirstOfEach(newIndex, count);
    std::vector<HostVertex> vertices;
    vertices.reserve(count);
    for (uint32_t old : first) vertices.push_back(host.vertices[old]);
    host.vertices = std::move(vertices);
    for (uint32_t& corner : corners) corner = newIndex[corner];
    RenumberExact(exact, newIndex, first);
}

void SetTriangles(hmMesh& host, const Corners& corners) {
    host.triangles.resize(corners.size() / 3);
    for (size_t t = 0; t < host.triangles.size(); ++t)
        for (size_t k = 0; k < 3; ++k) host.triangles[t].corners[k] = static_cast<uint16_t>(corners[3 * t + k]);
}

}  // namespace hm::imp
