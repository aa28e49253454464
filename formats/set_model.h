// Exported sets read back (NAME.uc, NAME_d.3d, NAME_a.3d) with the viewer's set
// reader, as the engine reads them, into a model that exports as the same set.
#pragma once

#include "formats/vertex_model.h"

#include <string>

namespace hm::fmt {

// One surface per texture slot, its vertices numbered as the set numbers them,
// each triangle's type; every frame at the middle of the span the export
// truncates to its record, placed and stretched so that the export's box and
// scale come out as the set's (its records within a step, its mesh data file
// byte for byte); the script class's sequences with their rates; the textures
// it names. What a new export cannot keep as the set has it is a warning. A
// set without its mesh files, frames or triangles is refused (kBadInput).
Error ReadSet(const std::string& path, const ImportOptions& options, VertexModel& model);

}  // namespace hm::fmt
