// The texture files an imported model's materials name, written beside the
// export's outputs without replacing another's file or the model's own images.
#pragma once

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

struct TextureWriteResult {
    bool ok = true;
    std::string error;                 // "<path>: <reason>" when not ok
    std::vector<std::string> kept;     // existing files left alone: another's file of that name
};

// Writes the textures into the directory ("" for the current one), all of
// them or none. A file already there with other bytes is replaced only when
// the script class an earlier export left there (previousScript, its text)
// names it; otherwise it is kept and listed. An existing file with the same
// bytes is left as it is, and so is the image a texture was made from.
TextureWriteResult WriteTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                                     const std::string& previousScript);

}  // namespace hm
