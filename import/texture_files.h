// The image files an imported model's materials name, as files of their own
// beside the export's outputs: images held inside the model file, images of a
// material's colour for materials without a texture, and external images the
// model names, copied.
#pragma once

#include "export/export_job.h"

#include <cstdint>
#include <string>
#include <vector>

struct aiTexture;

namespace hm {

// A texture to be written beside the outputs under the name the materials use.
struct TextureFile {
    std::string fileName;
    std::vector<uint8_t> bytes;  // the image, when the export makes it
    std::string sourcePath;      // else the external file to copy
};

struct EncodedTexture {
    std::string extension;  // without the '.'
    std::vector<uint8_t> bytes;
};

// A compressed image keeps the file's own bytes, its extension from the
// format hint ("bin" without one); raw BGRA texels become a 32-bit
// uncompressed TGA, top row first.
EncodedTexture EncodeEmbeddedTexture(const aiTexture& texture);

// An 8 x 8 single-colour 8-bit palettised BMP, the kind every texture importer
// of the engine reads. The colour is linear (as materials hold it), 0 to 1;
// the image holds it in sRGB, as the artist saw it.
std::vector<uint8_t> ColourImage(float red, float green, float blue);

struct TexturePlan {
    std::vector<ExtraFile> files;   // to be written with the export
    std::vector<std::string> kept;  // existing files left alone: another's file of that name
    ExportError error;              // a texture the model names that cannot be read
};

// The textures to write into the directory ("" for the current one) with the
// export. A file already there with other bytes is replaced only when the
// script class an earlier export left there (previousScript, its text) names
// it; otherwise it is kept and listed. An existing file with the same bytes
// is left as it is.
TexturePlan PlanTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                             const std::string& previousScript);

}  // namespace hm
