// Fewer triangles on request, by removing vertices: each kept vertex keeps its
// position, texture coordinates and deformation, so every bake still poses it exactly.
#pragma once

#include "host/host_model.h"
#include "bake/exact_scene.h"
#include "mesh_edit/mesh_vertices.h"

#include <cstdint>
#include <string>

namespace hm::imp {

struct SimplifyRequest {
    int64_t triangles = 0;  // at most this many in all; 0 for no count
    double fraction = 0;    // or at most this share of them (0 to 1); 0 for none
    bool fit = false;       // or as many as the format holds (vertices, triangles, per mesh)
    bool Wanted() const { return triangles > 0 || fraction > 0 || fit; }
    bool operator==(const SimplifyRequest&) const = default;
};

// The simplifier may move the surface by at most this much relative to each
// mesh's extent: the triangle count decides, and the error reached is reported.
inline constexpr double kSimplifyTolerance = 1.0;

struct SimplifyResult {
    bool ok = true;
    std::string problem;  // when not ok: why the request cannot be met
    int64_t trianglesBefore = 0, trianglesAfter = 0;
    int64_t verticesBefore = 0, verticesAfter = 0;
    // The largest distance a mesh's surface moved, relative to the model's
    // extent (the simplifier's own measure, scaled from each mesh's extent).
    double error = 0;
    bool bordersLocked = true;  // false: the target needed vertices of mesh borders (along the border)
    bool topologyKept = true;   // false: not even that reached it; holes and texture seams may have opened
};

// Simplifies each mesh, its share of the target in proportion to its
// triangles, then drops the vertices no triangle uses. Texture seams and mesh
// borders are kept unless the target cannot be reached so (see the result).
// exact and corners hold model.meshes' counterparts and triangles, and stay so.
SimplifyResult Simplify(hmModel& model, ExactScene& exact, std::vector<Corners>& corners,
                        const SimplifyRequest& request);

}  // namespace hm::imp
