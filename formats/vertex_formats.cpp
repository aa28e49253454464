#include "formats/vertex_formats.h"

#include "formats/md2_reader.h"
#include "formats/md3_reader.h"
#include "formats/mdl_reader.h"
#include "formats/set_model.h"

#include <filesystem>

#include <cctype>
#include <fstream>
#include <iterator>

namespace hm::fmt {

namespace {

// Models of these formats are a few megabytes; beyond this a file is not one.
constexpr uint64_t kMaxModelBytes = uint64_t{1} << 30;

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - suffix.size() + i])) != suffix[i]) return false;
    return true;
}

const std::initializer_list<const char*> kPaletteNames = {"palette.lmp", "gfx/palette.lmp"};

// The text of the first of these files beside the model (in any case), at
// most maxBytes; "" when there is none.
std::string BesideModel(const std::string& modelPath, std::initializer_list<const char*> names, uintmax_t maxBytes) {
    namespace fs = std::filesystem;
    std::error_code code;
    const fs::path folder = fs::path(modelPath).parent_path();
    for (const char* name : names) {
        fs::path found = folder.empty() ? fs::path(".") : folder;
        for (const fs::path& part : fs::path(name)) {
            fs::path match;
            for (fs::directory_iterator it(found, code), end; !code && it != end; it.increment(code)) {
                std::string a = it->path().filename().string(), b = part.string();
                for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (a == b) match = it->path();
            }
            found = match;
            if (found.empty()) break;
        }
        if (found.empty() || !fs::is_regular_file(found, code) || fs::file_size(found, code) > maxBytes || code) continue;
        std::ifstream in(found, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.good() || in.eof()) return text;
    }
    return "";
}

}  // namespace

VertexFormat RecogniseVertexFormat(const std::string& path) {
    if (EndsWithNoCase(path, ".uc") || EndsWithNoCase(path, "_d.3d") || EndsWithNoCase(path, "_a.3d"))
        return VertexFormat::kSet;
    char magic[4] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(magic, sizeof magic)) return VertexFormat::kNone;
    const std::string id(magic, sizeof magic);
    if (id == "IDP2") return VertexFormat::kMd2;
    if (id == "IDP3") return VertexFormat::kMd3;
    if (id == "IDPC") return VertexFormat::kMdc;
    if (id == "IDPO") return VertexFormat::kQuakeMdl;
    if (id == "MDL3" || id == "MDL4" || id == "MDL5") return VertexFormat::kGameStudioMdl;
    return VertexFormat::kNone;
}

ImportResult ReadVertexAnimated(const std::string& path, VertexFormat format, const ImportOptions& options,
                                bool rateGiven) {
    ImportResult result;
    FileBytes file;
    VertexModel model;
    // A set is three files, which the viewer's reader finds and bounds.
    Error error = format == VertexFormat::kSet ? ReadSet(path, options, model) : FileBytes::Read(path, kMaxModelBytes, file);
    if (!error && format != VertexFormat::kSet) {
        switch (format) {
            case VertexFormat::kMd2: error = ReadMd2(file, model); break;
            case VertexFormat::kMd3: error = ReadMd3(file, model); break;
            case VertexFormat::kMdc: error = ReadMdc(file, model); break;
            case VertexFormat::kQuakeMdl:
            case VertexFormat::kGameStudioMdl: error = ReadMdl(file, BesideModel(path, kPaletteNames, 768), model); break;
            default: error = Fault(ErrorKind::kBadInput, path + ": not a vertex-animated file this program reads"); break;
        }
    }
    if (error) {
        result.error = std::move(error);
        return result;
    }
    if (format == VertexFormat::kMd3 || format == VertexFormat::kMdc) {
        const std::string config = BesideModel(path, {"animation.cfg"}, 1 << 20);
        std::vector<FrameRun> runs = ReadAnimationConfig(config, model.frames.fileFrames, model.warnings);
        if (!runs.empty()) model.runs = std::move(runs);
    }
    return BuildImport(std::move(model), path, options, rateGiven);
}

}  // namespace hm::fmt
