// Vertices the exported files cannot tell apart, made one: the importer splits
// vertices wherever the file does (normals, too), the format stores fewer values.
#pragma once

#include "host/host_model.h"
#include "bake/exact_scene.h"
#include "mesh_edit/mesh_vertices.h"

#include <cstdint>

namespace hm::imp {

struct WeldCounts {
    int64_t before = 0;  // vertices in all
    int64_t after = 0;
};

// Joins, within each mesh, the vertices equal in every value their exported
// bytes depend on: the host vertex (position, bone, and texture coordinates as
// the bytes the mesh data file stores) and, when exactKeys is set, the exact
// mesh's source position, every influence, every morph delta and its point
// of the vertex frames. Joined
// vertices pose identically in every frame, so no decoded position changes.
// exact and corners hold model.meshes' counterparts and triangles, and stay so.
WeldCounts WeldVertices(hmModel& model, ExactScene& exact, std::vector<Corners>& corners, bool exactKeys);

// The mesh data file keeps texture coordinates per triangle corner, so
// vertices that the exact bake poses alike in every frame (equal in the exact
// keys above) are one vertex to the engine, whatever their coordinates. Joins
// them within each mesh; every corner keeps the coordinates of its own vertex,
// appended to cornerTexCoords (u, v for each corner of each triangle, meshes
// in order). Only for models the exact scene poses: the host's bones may
// differ between such vertices.
WeldCounts JoinAcrossSeams(hmModel& model, ExactScene& exact, std::vector<Corners>& corners,
                           std::vector<float>& cornerTexCoords);

}  // namespace hm::imp
