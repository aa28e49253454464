// vantrel-view's reader on sets made of the fuzzer's bytes, then everything
// the program makes of a set: the preview page, the glTF file and the decoded
// positions. A set comes from strangers, so besides crashes and leaks a
// finding is any of:
// - a file read from outside the set's folder (or the extra texture folder);
// - frames kept that are not whole, or more than the animation file holds;
// - a page that cannot be built, or a page or glTF file holding a number
//   JSON cannot (null), or naming the fuzzing folder's absolute path;
// - a decoded position that is not finite.
// Memory and time are held by libFuzzer's limits (run_fuzzers.sh sets a
// tighter allocation limit for this target): a few bytes claiming gigabytes
// fail there.
//
// The input is a small archive of files, written into a fresh work folder:
//   byte 0: bit 0 reads the set from set/Classes (a package), bit 1 adds
//           extra/ as a folder for textures;
//   then records: name length (1 byte), name, stated size (4 bytes, little
//   endian, cut to 1 MiB), held length (2 bytes), held bytes. The file is the
//   held bytes, then zeros up to the stated size, so that a few bytes can
//   stand for a large file. A name starting with '~' makes a symbolic link
//   instead, to the held bytes as its target. Names are relative to the work
//   folder ("set/Fuzz_d.3d", "outside/secret.bmp"); parts other than letters,
//   digits, '.', '_' and '-', and "..", are refused (the record is skipped).
// The set is read as set/Fuzz.uc (or set/Classes/Fuzz.uc); outside/ holds
// whatever the input puts there, as bait for a set that reaches for it.
#include "fuzz/fuzz_export.h"
#include "view/exported_set.h"
#include "view/gltf_writer.h"
#include "view/preview_page.h"

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMaxStatedSize = 1u << 20;
constexpr int kMaxFiles = 16;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool Take(size_t count, const uint8_t*& out) {
        if (size - at < count) return false;
        out = data + at;
        at += count;
        return true;
    }
    bool Number(int bytes, uint32_t& value) {
        const uint8_t* p = nullptr;
        if (!Take(static_cast<size_t>(bytes), p)) return false;
        value = 0;
        for (int i = bytes; i-- > 0;) value = value << 8 | p[i];
        return true;
    }
};

bool GoodName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.back() == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        for (char c : part)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
        start = end + 1;
    }
    return true;
}

void WriteFiles(Input& input, const fs::path& work) {
    std::error_code code;
    for (int files = 0; files < kMaxFiles && input.at < input.size; ++files) {
        uint32_t nameLength = 0, stated = 0, held = 0;
        const uint8_t* name = nullptr;
        const uint8_t* bytes = nullptr;
        if (!input.Number(1, nameLength) || !input.Take(nameLength, name) || !input.Number(4, stated) ||
            !input.Number(2, held) || !input.Take(held, bytes))
            return;
        std::string path(reinterpret_cast<const char*>(name), nameLength);
        const bool link = !path.empty() && path[0] == '~';
        if (link) path.erase(0, 1);
        if (!GoodName(path)) continue;
        const fs::path at = work / path;
        fs::create_directories(at.parent_path(), code);
        if (link) {
            fs::create_symlink(std::string(reinterpret_cast<const char*>(bytes), held), at, code);
            continue;
        }
        std::ofstream out(at, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), held);
        const uint32_t size = std::min(stated, kMaxStatedSize);
        for (uint32_t written = held; written < size;) {
            static const char zeros[4096] = {};
            const uint32_t piece = std::min<uint32_t>(size - written, sizeof zeros);
            out.write(zeros, piece);
            written += piece;
        }
    }
}

bool Within(const std::string& path, const fs::path& folder) {
    std::error_code code;
    const fs::path resolved = fs::canonical(path, code);
    if (code) return false;
    auto at = resolved.begin();
    for (const fs::path& part : folder) {
        if (at == resolved.end() || *at != part) return false;
        ++at;
    }
    return true;
}

// No null (nlohmann's infinity and NaN) and no float that is not finite.
bool Finite(const nlohmann::json& value) {
    if (value.is_null()) return false;
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured())
        for (const nlohmann::json& item : value)
            if (!Finite(item)) return false;
    return true;
}

std::string Unbase64(const std::string& text) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const size_t at = digits.find(c);
        if (at == std::string::npos) continue;
        bits = bits << 6 | static_cast<uint32_t>(at);
        if ((count += 6) >= 8) out.push_back(static_cast<char>(bits >> (count -= 8)));
    }
    return out;
}

// The JSON describing the set inside a page (gzip of a length, the JSON, sections).
nlohmann::json PageMeta(const std::string& html) {
    std::string encoded;
    const std::string open = "class=\"set-data\">";
    for (size_t at = html.find(open); at != std::string::npos; at = html.find(open, at)) {
        at += open.size();
        encoded += html.substr(at, html.find("</script>", at) - at);
    }
    const std::string packed = Unbase64(encoded);
    z_stream stream{};
    inflateInit2(&stream, 15 + 16);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    stream.avail_in = static_cast<uInt>(packed.size());
    std::string head(4, '\0'), json;
    stream.next_out = reinterpret_cast<Bytef*>(head.data());
    stream.avail_out = 4;
    if (inflate(&stream, Z_SYNC_FLUSH) < 0 || stream.avail_out != 0) fuzzing::Finding("the page's data does not unpack");
    uint32_t length = 0;
    std::memcpy(&length, head.data(), 4);
    json.resize(length);
    stream.next_out = reinterpret_cast<Bytef*>(json.data());
    stream.avail_out = length;
    const int status = inflate(&stream, Z_SYNC_FLUSH);
    inflateEnd(&stream);
    if (status < 0 || stream.avail_out != 0) fuzzing::Finding("the page's description does not unpack");
    return nlohmann::json::parse(json);
}

void Check(bool holds, const std::string& what) {
    if (!holds) fuzzing::Finding(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const fs::path scratch = fs::canonical(fuzzing::ScratchFolder());
    const fs::path work = scratch / "work", out = scratch / "out";
    std::error_code code;
    fs::remove_all(work, code);
    fs::create_directories(work / "set");
    fs::create_directories(work / "outside");
    fs::create_directories(work / "extra");
    fs::create_directories(out);
    Input input{data, size};
    const uint8_t flags = data[0];
    input.at = 1;
    WriteFiles(input, work);

    view::ReadOptions options;
    if (flags & 2) options.extraTextureFolders.push_back((work / "extra").string());
    const fs::path path = work / (flags & 1 ? "set/Classes/Fuzz.uc" : "set/Fuzz.uc");
    const view::ExportedSet set = view::ReadExportedSet(path.string(), options);

    // Whole frames, and no more than the files hold.
    Check(set.records.size() == size_t{set.frameCount} * set.vertexCount * 4, "frames kept that are not whole");
    if (!set.animPath.empty())
        Check(set.records.size() * 2 <= fs::file_size(set.animPath, code), "more frames kept than the file holds");
    if (!set.dataPath.empty())
        Check(set.polygons.size() * 16 + 48 <= std::max<uintmax_t>(fs::file_size(set.dataPath, code), 48),
              "more triangles kept than the file holds");
    // Nothing read from outside the set's folder.
    const fs::path root = work / "set";
    for (const std::string& file : {set.dataPath, set.animPath, set.scriptPath})
        Check(file.empty() || Within(file, root), "a file of the set read from outside its folder: " + file);
    for (const view::SetTexture& texture : set.textures) {
        Check(texture.foundPath.empty() || Within(texture.foundPath, root) || Within(texture.foundPath, work / "extra"),
              "a texture read from outside the set's folder: " + texture.foundPath);
        Check(texture.png.empty() || (texture.width <= 8192 && texture.height <= 8192), "a texture past 8192 a side");
    }
    const std::string machine = work.string();
    for (const auto* lines : {&set.problems, &set.notes})
        for (const std::string& line : *lines) Check(line.find(machine) == std::string::npos, "a message naming the machine's folder: " + line);
    for (uint32_t f = 0; f < set.frameCount; ++f)
        for (uint32_t v = 0; v < set.vertexCount; ++v)
            for (float coordinate : view::DecodePosition(set, f, v))
                Check(std::isfinite(coordinate), "a decoded position that is not finite");

    // The page: built, its description all finite, no folder of the machine in it.
    std::string html;
    const Error page = view::BuildPreviewPage(set, html);
    Check(!page, "no page: " + page.message);
    Check(html.find(machine) == std::string::npos, "the page names the machine's folder");
    const nlohmann::json meta = PageMeta(html);
    Check(Finite(meta), "the page's description holds a number JSON cannot");
    Check(meta.dump().find(machine) == std::string::npos, "the page's description names the machine's folder");

    // The glTF file: written (or refused for a reason), and all finite.
    const std::string glb = (out / "Fuzz.glb").string();
    view::GltfReport report;
    const Error written = view::WriteSetAsGltf(set, glb, report);
    Check(!written || written.kind == ErrorKind::kBadInput || written.kind == ErrorKind::kLimit,
          "the glTF file failed: " + written.message);
    if (!written) {
        std::ifstream in(glb, std::ios::binary);
        std::string head(20, '\0');
        in.read(head.data(), 20);
        uint32_t length = 0;
        std::memcpy(&length, head.data() + 12, 4);
        std::string json(length, '\0');
        in.read(json.data(), length);
        Check(in && Finite(nlohmann::json::parse(json)), "the glTF file holds a number JSON cannot");
        Check(report.bytes <= (uint64_t{1} << 28) + 64 * size, "a glTF file far larger than its set");
    }
    fs::remove(glb, code);
    return 0;
}
