// The texture files an imported model's materials name, written beside the
// export's outputs without replacing another's file or the model's own images.
#pragma once

#include "export/export_job.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hm {

// A texture to be written beside the outputs under the name the materials use.
struct TextureFile {
    std::string fileName;
    std::vector<uint8_t> bytes;  // the converted image
    std::string sourcePath;      // the model's own image it was made from, never written over ("" when none)
};

struct TexturePlan {
    std::vector<ExtraFile> files;   // to be written with the export
    std::vector<std::string> kept;  // existing files left alone: another's file of that name, or the model's image
    Error error;
};

// The textures to write into the directory ("" for the current one) with the
// export. A file already there with other bytes is replaced only when the
// script class an earlier export left there (previousScript, its text) names
// it; otherwise it is kept and listed. An existing file with the same bytes
// is left as it is, and so is the image a texture was made from.
TexturePlan PlanTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                             const std::string& previousScript);

// The textures the earlier export's script class names that are still in the
// directory and that none of textures replaces: left there, to be named.
std::vector<std::string> UnusedTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                                            const std::string& previousScript);

}  // namespace hm
