// Keeping some of a mesh's vertices: the host mesh and its exact counterpart
// renumbered together, so both bakes always describe the same vertices.
#pragma once

#include "host/host_model.h"
#include "bake/exact_scene.h"

#include <cstdint>
#include <vector>

namespace hm::imp {

inline constexpr uint32_t kDropped = UINT32_MAX;

// A mesh's triangles, three corners each, before they become the host's 16-bit
// corners: a mesh may have more vertices than those name until it is simplified.
using Corners = std::vector<uint32_t>;

// newIndex[v] is the new number of old vertex v, or kDropped. New numbers run
// from 0 to count - 1; each takes the values of the first old vertex mapped to
// it. The corners are renumbered (none may name a dropped vertex), and the
// exact mesh's influences, morph deltas and frame points follow their vertices.
void RenumberVertices(hmMesh& host, ExactMesh& exact, Corners& corners, const std::vector<uint32_t>& newIndex,
                      uint32_t count);

// The host mesh's triangles from the corners.
void SetTriangles(hmMesh& host, const Corners& corners);

}  // namespace hm::imp
