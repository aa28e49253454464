// Quake III's and Return to Castle Wolfenstein's vertex-animated models (.md3,
// .mdc): surfaces of their own, every frame's vertices as 16-bit numbers.
#pragma once

#include "formats/vertex_model.h"

#include <string>

namespace hm::fmt {

// Their games step models 20 times a second; an animation.cfg says otherwise.
inline constexpr float kMd3Rate = 20;

// Every frame of every surface (MDC's compressed frames decoded onto their
// base frames), texture coordinates as the file keeps them, each surface's
// first shader as its skin; one animation over every frame, named after the
// file. A header whose
// counts or offsets lie outside the file is refused before anything is
// allocated, naming the place.
Error ReadMd3(const FileBytes& file, VertexModel& model);
Error ReadMdc(const FileBytes& file, VertexModel& model);

// The animations of an animation.cfg ("first count looping fps", each maybe
// followed by a comment naming it), in place of the one animation; lines
// past the model's frames are left out, with a warning. "" when the text holds none.
std::vector<FrameRun> ReadAnimationConfig(const std::string& text, uint32_t frames, Warnings& warnings);

}  // namespace hm::fmt
