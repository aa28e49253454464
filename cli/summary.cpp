#include "cli/summary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
    std::error_code code;
    if (!fs::is_regular_file(path, code)) return "";
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

// The first bytes of a file, for the header fields: the mesh files can be
// hundreds of megabytes.
std::string ReadHead(const std::string& path, size_t bytes) {
    std::ifstream in(path, std::ios::binary);
    std::string head(bytes, '\0');
    in.read(head.data(), static_cast<std::streamsize>(bytes));
    head.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return head;
}

size_t U16At(const std::string& bytes, size_t at) {
    if (bytes.size() < at + 2) return 0;
    return static_cast<uint8_t>(bytes[at]) | static_cast<size_t>(static_cast<uint8_t>(bytes[at + 1])) << 8;
}

std::string Number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A file, its size, and what becomes of it ("->  MODELS\X_d.3d" or a remark).
std::string FileLine(const std::string& path, const std::string& then) {
    std::error_code code;
    const auto size = fs::file_size(path, code);
    char line[512];
    std::snprintf(line, sizeof line, "  %-32s %12s  %s\n", path.c_str(),
                  code ? "(missing)" : (std::to_string(size) + " bytes").c_str(), then.c_str());
    return line;
}

// The value after "X=" on the script class's mesh-map scale line.
std::string MeshMapScale(const std::string& script) {
    const size_t line = script.find("#exec MESHMAP SCALE");
    const size_t x = line == std::string::npos ? line : script.find(" X=", line);
    if (x == std::string::npos) return "";
    const size_t end = script.find_first_of(" \r\n", x + 3);
    return script.substr(x + 3, end == std::string::npos ? std::string::npos : end - x - 3);
}

}  // namespace

std::string SizeHint(const ModelSize& size, bool imported, bool sizeChosen, double unitCentimetres) {
    if (!imported || sizeChosen) return "";
    // A character in metres is a mouse in the engine, one in centimetres a
    // giant; the file's unit settles nothing, so the hint offers the height.
    const double tallest = std::max({size.width, size.height, size.depth});
    if (unitCentimetres != 1 && tallest >= kCharacterHeight / 4.0 && tallest <= kCharacterHeight * 4.0) return "";
    return "Hint: the model is " + Number("%.4g", size.height) + " units tall" +
           (unitCentimetres == 1 ? " (its file says a unit is a centimetre)" : "") +
           "; the engine's human-sized characters are about " + std::to_string(kCharacterHeight) +
           " (their collision cylinder's half-height is " + std::to_string(kCharacterHeight / 2) + "): --height " +
           std::to_string(kCharacterHeight) + " makes it that tall\n";
}

std::string DescribeExport(const ExportSummary& summary) {
    const std::string data = ReadHead(summary.dataPath, 4);
    const std::string anim = ReadHead(summary.animPath, 2);
    const std::string script = ReadText(summary.scriptPath);
    const std::string& m = summary.meshName;
    std::string out = "Exported " + m + ". Into your package's folder, as the class " + m + " names them:\n";
    out += FileLine(summary.dataPath, "->  MODELS\\" + m + "_d.3d");
    out += FileLine(summary.animPath, "->  MODELS\\" + m + "_a.3d");
    out += FileLine(summary.scriptPath, "->  Classes\\" + m + ".uc");
    for (const std::string& texture : summary.texturePaths)
        out += FileLine(texture, "->  textures\\" + fs::path(texture).filename().string());
    if (!summary.logPath.empty())
        out += FileLine(summary.logPath, summary.loggedFrames > 0
                                             ? "(the diagnostic log, not for the engine; the vertices of its first " +
                                                   std::to_string(summary.loggedFrames) +
                                                   " frame(s) traced: --full-log traces every one)"
                                             : std::string("(the diagnostic log, not for the engine)"));
    const size_t frames = U16At(anim, 0);
    out += "Vertices " + std::to_string(U16At(data, 2)) + ", triangles " + std::to_string(U16At(data, 0)) +
           ", frames " + std::to_string(frames) + (frames == 1 ? " (no animation: one frame at rest)" : "") + "\n";
    out += "Size: " + DescribeSize(summary.size) + "\n";
    const std::string scale = MeshMapScale(script);
    if (!scale.empty())
        out += "Mesh-map scale " + scale + ": positions are stored in steps of " + scale +
               " units, the finest detail the engine shows\n";
    if (!summary.sequences.empty()) {
        out += summary.sequencesWritten ? "Sequences, written into the class (their names also name clips to --clip):\n"
                                        : "Sequences, to paste into the class (their names also name clips to --clip):\n";
        for (size_t start = 0, end; start < summary.sequences.size(); start = end + 1) {
            end = summary.sequences.find('\n', start);
            out += "  " + summary.sequences.substr(start, end - start) + "\n";
        }
    }
    out += SizeHint(summary.size, summary.imported, summary.sizeChosen, summary.unitCentimetres);
    return out;
}

std::string FileUrl(const std::string& absolutePath, bool windowsPath) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string url = windowsPath ? "file:///" : "file://";
    for (char raw : absolutePath) {
        const unsigned char c = static_cast<unsigned char>(windowsPath && raw == '\\' ? '/' : raw);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           (c != 0 && std::strchr("/-._~:", c) != nullptr);
        if (plain) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += kHex[c >> 4];
            url += kHex[c & 15];
        }
    }
    return url;
}
