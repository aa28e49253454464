// Quake's vertex-animated models (.mdl, IDPO) and the 3D GameStudio variants
// built on them (MDL3, MDL4, MDL5): one surface, frames of packed vertices.
#pragma once

#include "formats/vertex_model.h"

#include <string>

namespace hm::fmt {

// The frame names' runs become the animations, at Quake's 10 frames a second.
inline constexpr float kMdlRate = 10;

// Every frame (a frame group's frames each in turn), the texture coordinates
// (texels of the skin; Quake's seam vertices moved to the skin's back half for
// back-facing triangles), the first skin as an image: 16- and 32-bit skins as
// they are, 8-bit ones through palette (768 bytes, the game's palette.lmp;
// empty when there is none, and the skin stays unused). A header whose counts
// or offsets lie outside the file is refused before anything is allocated,
// naming the place.
Error ReadMdl(const FileBytes& file, const std::string& palette, VertexModel& model);

}  // namespace hm::fmt
