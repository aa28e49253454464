#include "formats/skin_textures.h"

#include "import/model_files.h"

#include "names/host_names.h"
#include "view/texture_image.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace hm::fmt {

namespace {

// A texture that fills memory is no texture.
constexpr uintmax_t kMaxImageBytes = 512u << 20;

const char* const kImageExtensions[] = {".bmp", ".pcx", ".png", ".tga", ".jpg", ".jpeg"};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A name that stays one word in a script class line and a file name anywhere.
std::string FileWord(std::string name) {
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
    return name;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Stem(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool ReadImageFile(const fs::path& path, std::vector<uint8_t>& bytes) {
    std::error_code code;
    const uintmax_t size = fs::file_size(path, code);
    if (code || size > kMaxImageBytes) return false;
    std::ifstream in(path, std::ios::binary);
    bytes.resize(static_cast<size_t>(size));
    return in && in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
}

// A file the engine's importer reads as it is: an uncompressed 8-bit
// palettised BMP whose sides are powers of two, at most maxSide.
bool EngineReady(const std::vector<uint8_t>& bytes, int maxSide) {
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return false;
    auto u32 = [&](size_t at) { return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24; };
    const int32_t width = static_cast<int32_t>(u32(18)), height = static_cast<int32_t>(u32(22));
    const uint16_t bits = static_cast<uint16_t>(bytes[28] | bytes[29] << 8);
    const bool powers = width > 0 && height > 0 && (width & (width - 1)) == 0 && (height & (height - 1)) == 0;
    return bits == 8 && u32(30) == 0 && powers && width <= maxSide && height <= maxSide;
}

}  // namespace

SkinTextures::SkinTextures(const std::string& modelPath, const std::string& modelName, const ImportOptions& options,
                           ImportResult& result)
    : modelPath_(modelPath), modelName_(modelName), options_(options), result_(result) {
    std::error_code code;
    allowed_.push_back(fs::weakly_canonical(fs::absolute(fs::path(modelPath), code).parent_path(), code).string());
    for (const std::string& folder : options.textureFolders)
        allowed_.push_back(fs::weakly_canonical(fs::absolute(folder, code), code).string());
}

std::string SkinTextures::Find(const std::string& written) const {
    std::string relative = written;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    const std::string name = BaseName(relative);
    if (name.empty()) return "";
    std::error_code code;
    for (const std::string& folder : allowed_) {
        for (const fs::path& candidate : {fs::path(folder) / relative, fs::path(folder) / name}) {
            fs::path real = fs::weakly_canonical(candidate, code);
            if (code || !fs::is_regular_file(real, code)) {
                // Names in these files often differ in case from the files on disk.
                real.clear();
                for (fs::directory_iterator it(candidate.parent_path(), code), end; !code && it != end; it.increment(code))
                    if (Lower(it->path().filename().string()) == Lower(candidate.filename().string())) {
                        real = fs::weakly_canonical(it->path(), code);
                        break;
                    }
                if (real.empty() || code || !fs::is_regular_file(real, code)) continue;
            }
            if (std::any_of(allowed_.begin(), allowed_.end(), [&](const std::string& f) { return imp::Within(real, f); }))
                return real.string();
        }
    }
    return "";
}

bool SkinTextures::Allowed(const std::string& path) const {
    std::error_code code;
    const fs::path real = fs::weakly_canonical(fs::absolute(path, code), code);
    return !code && std::any_of(allowed_.begin(), allowed_.end(), [&](const std::string& f) { return imp::Within(real, f); });
}

std::string SkinTextures::FindStem(const std::string& stem) const {
    if (stem.empty()) return "";
    for (const char* extension : kImageExtensions) {
        const std::string found = Find(stem + extension);
        if (!found.empty()) return found;
    }
    return "";
}

std::string SkinTextures::Add(TextureFile file, const std::string& stem) {
    const std::string suffix = ".bmp";
    for (int n = 1; file.fileName.empty() || fileNames_.count(Lower(file.fileName)); ++n) {
        const std::string number = n == 1 ? "" : "_" + std::to_string(n);
        file.fileName = imp::CutNameKeepingEnd(stem, imp::kHostNameLimit - suffix.size() - number.size()) + number + suffix;
    }
    fileNames_.insert(Lower(file.fileName));
    result_.textures.push_back(std::move(file));
    return result_.textures.back().fileName;
}

std::string SkinTextures::FromFile(const std::string& path, std::string& problem) {
    if (auto known = fromFile_.find(path); known != fromFile_.end()) return known->second;
    std::vector<uint8_t> bytes;
    if (!ReadImageFile(path, bytes)) {
        problem = "cannot be read";
        return "";
    }
    std::string stem = FileWord(Stem(BaseName(path)));
    TextureFile file;
    if (EngineReady(bytes, options_.textureSide)) {
        // Already what the engine reads: the same bytes, under its own name.
        file.bytes = std::move(bytes);
        file.fileName = stem + ".bmp";
        if (fileNames_.count(Lower(file.fileName)) || file.fileName.size() > imp::kHostNameLimit) file.fileName.clear();
        return fromFile_[path] = Add(std::move(file), stem);
    }
    ConvertedTexture converted = ConvertTexture(bytes.data(), bytes.size(), options_.textureSide);
    if (converted.bmp.empty() && !bytes.empty() && bytes[0] == 0x0A) {  // stb reads no PCX
        view::PngImage png;
        if (!view::LoadImageAsPng(path, png)) converted = ConvertTexture(png.bytes.data(), png.bytes.size(), options_.textureSide);
    }
    if (converted.bmp.empty()) {
        problem = converted.error.empty() ? "does not decode" : converted.error;
        return "";
    }
    // A source already named NAME.bmp would be written over by its own conversion beside it.
    if (Lower(BaseName(path)) == Lower(stem + ".bmp")) stem += "_pal";
    file.bytes = std::move(converted.bmp);
    file.sourcePath = path;
    return fromFile_[path] = Add(std::move(file), stem);
}

std::string SkinTextures::Grey(const std::string& what) {
    TextureFile file;
    file.bytes = EncodeBmp(ColourTexture(0.6f, 0.6f, 0.6f));
    return Add(std::move(file), FileWord(modelName_) + "_" + FileWord(what));
}

std::string SkinTextures::Name(const Skin& skin, const std::string& surface) {
    // Surfaces that name one skin share its texture, and its warning.
    const bool shared = skin.image.pixels.empty() && skin.path.empty() && !skin.name.empty();
    if (auto known = byName_.find(skin.name); shared && known != byName_.end()) return known->second;
    std::string name = Choose(skin, surface);
    if (shared) byName_[skin.name] = name;
    return name;
}

std::string SkinTextures::Choose(const Skin& skin, const std::string& surface) {
    const std::string& modelStem = modelName_;
    auto note = [&](const std::string& text) { AddWarning(result_.warnings, WarningKind::SkinStandIn, text, 1, {skin.name}); };
    std::string problem;
    if (!skin.path.empty()) {
        if (!Allowed(skin.path)) {
            AddWarning(result_.warnings, WarningKind::TextureRefused,
                       "texture '" + skin.name + "' lies outside the model's folder (at " + skin.path +
                           "); it is not read (name its folder with --texture-folder to allow it), and a grey texture "
                           "stands in",
                       1, {skin.name});
            return Grey(Stem(BaseName(skin.name)));
        }
        std::string name = FromFile(skin.path, problem);
        if (!name.empty()) return name;
        note("texture '" + skin.name + "' " + problem + "; looking for another");
    }
    if (!skin.name.empty()) {
        const std::string found = Find(skin.name);
        if (!found.empty()) {
            std::string name = FromFile(found, problem);
            if (!name.empty()) return name;
            note("skin '" + skin.name + "' " + problem + "; looking for another");
        }
    }
    if (!skin.image.pixels.empty()) {
        ConvertedTexture converted = ConvertTexture(skin.image, options_.textureSide);
        if (!converted.bmp.empty()) {
            TextureFile file;
            file.bytes = std::move(converted.bmp);
            return Add(std::move(file), FileWord(modelName_) + "_" + FileWord(skin.name.empty() ? surface : Stem(BaseName(skin.name))));
        }
    }
    const std::string named = skin.name.empty() ? "the file names no skin" : "skin '" + skin.name + "' not found";
    const std::string own = skin.imageProblem.empty() ? "" : " (its own image " + skin.imageProblem + ")";
    for (const std::string& stem : {Stem(BaseName(skin.name)), modelStem}) {
        const std::string found = FindStem(stem);
        if (found.empty()) continue;
        std::string name = FromFile(found, problem);
        if (name.empty()) continue;
        note(named + own + "; took " + fs::path(found).filename().string() + ", beside the model with the " +
             (stem == modelStem ? "model's" : "skin's") + " name");
        return name;
    }
    AddWarning(result_.warnings, WarningKind::MissingTexture,
               named + own + ", and no image named like it or the model beside the model (or in --texture-folder); " +
                   "a grey texture stands in",
               1, {skin.name});
    return Grey(skin.name.empty() ? surface : Stem(BaseName(skin.name)));
}

}  // namespace hm::fmt
