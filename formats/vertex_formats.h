// The vertex-animated formats our own readers take instead of Assimp (MD2,
// MD3, MDC, the Quake-style MDL family, exported sets): which a file is, and its import.
#pragma once

#include "import/model_import.h"

#include <string>

namespace hm::fmt {

enum class VertexFormat { kNone, kMd2, kMd3, kMdc, kQuakeMdl, kGameStudioMdl, kSet };

// By the file's first bytes; a set by its name (NAME.uc, NAME_d.3d, NAME_a.3d).
// kNone for everything else, Assimp's formats and the MDL variants that are
// not frames of vertices among them.
VertexFormat RecogniseVertexFormat(const std::string& path);

// Reads the file with its format's reader, in this process: the readers
// check every count and offset against the file, and hold at most a fixed
// multiple of its size. rateGiven: --fps replaces the rates the file states.
ImportResult ReadVertexAnimated(const std::string& path, VertexFormat format, const ImportOptions& options,
                                bool rateGiven);

}  // namespace hm::fmt
