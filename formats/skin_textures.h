// The texture a vertex-animated file's skin becomes: the image it names, one
// of the same name beside the model, the file's own image, or a plain colour.
#pragma once

#include "import/model_import.h"
#include "texture/texture_convert.h"

#include <map>
#include <set>
#include <string>

namespace hm::fmt {

// Where a surface's texture comes from.
struct Skin {
    std::string name;          // as the file names it; "" when it names none
    std::string path;          // the image already found (a set's texture), read where the folders allow
    RgbaImage image;           // an image the file holds; empty when none
    std::string imageProblem;  // why the file's own image is not used ("" when there is none, or it is)
};

// Images are read from the model's folder and the --texture-folder folders
// (and below) only, as every import reads them; each becomes an 8-bit
// palettised BMP in result.textures, once however many surfaces use it.
class SkinTextures {
public:
    // modelName names the textures made for the model.
    SkinTextures(const std::string& modelPath, const std::string& modelName, const ImportOptions& options,
                 ImportResult& result);

    // The texture file's name for the skin. In turn: the image found or the
    // one the skin names, where it is or by its name beside the model; the file's own
    // image; an image of the skin's stem, then of the model's, beside the
    // model (with a note); a grey texture (with a warning).
    std::string Name(const Skin& skin, const std::string& surface);

    // An image found by path in an allowed folder, as a texture named after
    // it; kept byte for byte where it is a texture the engine reads as it is.
    // "" when it does not decode (the reason in problem).
    std::string FromFile(const std::string& path, std::string& problem);

    // Whether a file lies in the model's folder or a --texture-folder, or below.
    bool Allowed(const std::string& path) const;

    // A grey texture, named after the model and what has no image.
    std::string Grey(const std::string& what);

private:
    std::string Choose(const Skin& skin, const std::string& surface);
    std::string Find(const std::string& written) const;        // "" when not found or outside
    std::string FindStem(const std::string& stem) const;       // an image of that stem beside the model
    std::string Add(TextureFile file, const std::string& stem);

    std::string modelPath_, modelName_;
    const ImportOptions& options_;
    ImportResult& result_;
    std::vector<std::string> allowed_;                 // canonical folders
    std::set<std::string> fileNames_;                  // handed out
    std::map<std::string, std::string> fromFile_;      // real path -> texture name
    std::map<std::string, std::string> byName_;        // a skin name without an image of its own -> texture name
};

}  // namespace hm::fmt
