// The checks the export needs, run on a file as Assimp read it, before any of
// Assimp's own processing: what is safe to repair is repaired and reported,
// and only what cannot be exported is refused, in the user's terms. Assimp's
// validation step would refuse a whole model for a key past a clip's end or
// a light it cannot place, which the export does not use.
#pragma once

#include "host/error.h"
#include "host/warnings.h"

#include <assimp/scene.h>

#include <string>
#include <vector>

namespace hm::imp {

// Repairs the scene in place; each repair adds a warning. kBadInput (its
// message without the file's name) when it cannot be exported.
Error RepairScene(aiScene& scene, Warnings& warnings);

}  // namespace hm::imp
