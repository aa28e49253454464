// Quake II's vertex-animated models (.md2): one surface, every frame's
// vertices as bytes scaled per frame, frames named by animation.
#pragma once

#include "formats/vertex_model.h"

namespace hm::fmt {

// The frame names' runs become the animations, at the game's 10 frames a second.
inline constexpr float kMd2Rate = 10;

// Every frame, the texture coordinates (texels of the skin), the first skin's
// name. A header whose counts or offsets lie outside the file is refused
// before anything is allocated, naming the place.
Error ReadMd2(const FileBytes& file, VertexModel& model);

}  // namespace hm::fmt
