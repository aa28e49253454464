#include "view/exported_set.h"

#include "view/texture_image.h"

#include "host/format_limits.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <set>

namespace fs = std::filesystem;

namespace view {

static_assert(std::endian::native == std::endian::little, "records are read into memory as they are stored");

namespace {

using hm::kAnimHeaderBytes;
using hm::kDataHeaderBytes;
constexpr size_t kPolygonBytes = hm::kPolygonRecordBytes;
constexpr size_t kFrameVertexBytes = hm::kFrameVertexBytes;
// A well-formed mesh data file is at most 48 + 16 × 65535 bytes and a script
// class a few kilobytes; these bounds only stop a wrong file from being read whole.
constexpr uintmax_t kMaxDataFileBytes = 64u << 20;
constexpr uintmax_t kMaxScriptFileBytes = 16u << 20;
// The engine reads frame f (below 65535) from byte 4 + frame size x f, and a
// frame of at most 65535 vertices: nothing past that is ever read.
constexpr uintmax_t kMaxAnimFileBytes =
    kAnimHeaderBytes + uintmax_t{hm::kMax16Bit} * (hm::kMax16Bit - 1) + hm::kMax16Bit * kFrameVertexBytes;
// Lines listed for one kind of fault before the rest are only counted.
constexpr int kExamplesListed = 3;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && Upper(text.substr(text.size() - suffix.size())) == Upper(suffix);
}

std::string FileName(const std::string& path) { return fs::path(path).filename().string(); }

// The last part of a path written with either separator (a script class's
// FILE=, a Windows path on another system).
std::string LastPart(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

// path with every link and .. resolved; empty when it cannot be.
fs::path Resolved(const fs::path& path) {
    std::error_code code;
    fs::path resolved = fs::canonical(path.empty() ? fs::path(".") : path, code);
    return code ? fs::path() : resolved;
}

// Whether resolved lies in folder or below it, both resolved. Windows names
// files in any case.
bool Within(const fs::path& resolved, const fs::path& folder) {
    if (folder.empty() || resolved.empty()) return false;
    auto at = resolved.begin();
    for (const fs::path& part : folder) {
        if (at == resolved.end()) return false;
#if defined(_WIN32)
        if (Upper(part.string()) != Upper(at->string())) return false;
#else
        if (part != *at) return false;
#endif
        ++at;
    }
    return true;
}

// The engine's files come from Windows, where case does not matter: each part
// of relative (separated by '/' or '\') is matched in any case. Empty when
// absent. The path is as spelt, not yet resolved: the caller holds it to the
// folders it may read from.
std::string FindFile(const fs::path& folder, const std::string& relative) {
    fs::path at = folder.empty() ? fs::path(".") : folder;
    size_t start = 0;
    std::error_code code;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of("/\\", start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            at /= "..";
            continue;
        }
        if (fs::exists(at / part, code)) {
            at /= part;
            continue;
        }
        fs::path match;
        for (fs::directory_iterator it(at, code), last; !code && it != last; it.increment(code))
            if (Upper(it->path().filename().string()) == Upper(part)) {
                match = it->path();
                break;
            }
        if (match.empty()) return {};
        at = match;
    }
    return fs::is_regular_file(at, code) ? at.lexically_normal().string() : std::string();
}

// Reads a whole file, at most maxBytes; the reason, without the file's name, otherwise.
template <typename Element>
Error ReadWhole(const std::string& path, uintmax_t maxBytes, std::vector<Element>& out) {
    const auto refused = [](std::string reason) { return Fault(ErrorKind::kBadInput, std::move(reason)); };
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::error_code code;
    uintmax_t size = fs::file_size(path, code);
    if (!in || code) return refused(std::string("cannot be opened (") + std::strerror(errno ? errno : EIO) + ")");
    if (size > maxBytes)
        return refused("is " + std::to_string(size) + " bytes, more than this kind of file can be (" +
                       std::to_string(maxBytes) + ")");
    try {
        out.resize((size + sizeof(Element) - 1) / sizeof(Element));
    } catch (const std::bad_alloc&) {
        return Fault(ErrorKind::kOutOfMemory, "is " + std::to_string(size) + " bytes, more than there is memory for");
    }
    if (!in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size)))
        return refused(std::string("cannot be read (") + std::strerror(errno ? errno : EIO) + ")");
    return {};
}

class SetReader {
public:
    SetReader(ExportedSet& set, const ReadOptions& options) : set_(set), options_(options) {}

    void Read(const std::string& path) {
        const fs::path base(SetBasePath(path));
        folder_ = base.parent_path();
        set_.meshName = base.filename().string();
        const std::string name = set_.meshName;
        // The set's files are read from its folder and below; a script class
        // in a package's Classes folder has its mesh files and textures in
        // the package's folders beside it (MODELS\, Textures\).
        setFolder_ = Resolved(folder_);
        inPackage_ = !setFolder_.empty() && Upper(setFolder_.filename().string()) == "CLASSES" &&
                     setFolder_.has_parent_path() && setFolder_.parent_path() != setFolder_.root_path();
        root_ = inPackage_ ? setFolder_.parent_path() : setFolder_;
        for (const std::string& folder : options_.extraTextureFolders)
            if (fs::path resolved = Resolved(folder); !resolved.empty()) textureRoots_.emplace_back(folder, resolved);

        const Located script = Find(folder_, name + ".uc", root_);
        set_.scriptPath = script.path;
        if (!script.refusedAs.empty()) Problem(name + ".uc: " + Refused(script.refusedAs));
        else if (set_.scriptPath.empty()) Problem(name + ".uc: not found in the set's folder");
        else ReadScript();

        // The mesh files beside the script class, or where its import line
        // points from the package's folder (MODELS\ beside Classes\).
        const Located data = Locate(name + "_d.3d", "DATAFILE", set_.script.dataFile);
        const Located anim = Locate(name + "_a.3d", "ANIVFILE", set_.script.animFile);
        set_.dataPath = data.path;
        set_.animPath = anim.path;
        if (set_.dataPath.empty()) Problem(name + "_d.3d: " + NotFound(data));
        else ReadData();
        if (set_.animPath.empty()) Problem(name + "_a.3d: " + NotFound(anim));
        else ReadAnim();
        if (!set_.scriptPath.empty()) CheckScript();
        CheckIndices();
        ReadTextures();
        CheckNamesInCase();
    }

private:
    // A file looked for: the path found (as spelt by the lookup), or why not.
    struct Located {
        std::string path;       // empty when not found or refused
        std::string refusedAs;  // how the lookup that found a file outside named it
    };

    // A staged file answers for the path it will have; otherwise as FindFile,
    // and only when the file, resolved, lies in root or below.
    Located Find(const fs::path& folder, std::string relative, const fs::path& root) {
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const std::string wanted = Upper(((folder.empty() ? fs::path(".") : folder) / relative).lexically_normal().string());
        for (const auto& [path, bytesAt] : options_.staged)
            if (Upper(fs::path(path).lexically_normal().string()) == wanted) return {fs::path(path).lexically_normal().string(), {}};
        const std::string found = FindFile(folder, relative);
        if (found.empty()) return {};
        const fs::path resolved = Resolved(found);
        if (resolved.empty()) return {};
        if (!Within(resolved, root)) return {{}, relative};
        resolved_[found] = resolved;
        return {found, {}};
    }

    // The file that holds the bytes of found: the staged file, or found resolved.
    std::string BytesOf(const std::string& found) const {
        for (const auto& [path, bytesAt] : options_.staged)
            if (fs::path(path).lexically_normal().string() == found) return bytesAt;
        auto resolved = resolved_.find(found);
        return resolved == resolved_.end() ? found : resolved->second.string();
    }

    // found as a page may show it: relative to the set's folder when it lies in
    // the folders of the set, else the file name alone.
    std::string Shown(const std::string& found) const {
        auto known = resolved_.find(found);
        std::error_code code;
        const fs::path resolved = known != resolved_.end() ? known->second : fs::weakly_canonical(found, code);
        if (code || !Within(resolved, root_)) return LastPart(found);
        return resolved.lexically_relative(setFolder_).generic_string();
    }

    void Problem(const std::string& text) { set_.problems.push_back(text); }
    void Note(const std::string& text) { set_.notes.push_back(text); }
    std::string RootName() const { return inPackage_ ? "the package's folder" : "the set's folder"; }
    std::string Refused(const std::string& as) const {
        return as + " leads out of " + RootName() + " (through .. or a link), so it is not read";
    }
    std::string NotFound(const Located& located) const {
        return located.refusedAs.empty() ? "not found in the set's folder" : Refused(located.refusedAs);
    }

    // Beside the script class, else as its import line names it from the
    // package's folder or from the set's. The first refusal is kept for the
    // message when no lookup finds one that may be read.
    Located Locate(const std::string& fileName, const std::string& key, const std::string& importPath) {
        Located found = Find(folder_, fileName, root_);
        std::string refused = found.refusedAs;
        for (const fs::path& from : {folder_ / "..", folder_}) {
            if (!found.path.empty() || importPath.empty()) break;
            found = Find(from, importPath, root_);
            if (refused.empty() && !found.refusedAs.empty()) refused = key + "=" + importPath;
        }
        if (found.path.empty()) found.refusedAs = refused;
        return found;
    }

    void ReadScript() {
        std::vector<char> text;
        const std::string label = FileName(set_.scriptPath) + ": ";
        if (Error error = ReadWhole(BytesOf(set_.scriptPath), kMaxScriptFileBytes, text))
            return Problem(label + error.message);
        set_.script = ReadScriptClass(std::string(text.begin(), text.end()), set_.meshName);
        for (const std::string& problem : set_.script.problems) Problem(label + problem);
        for (const std::string& note : set_.script.notes) Note(label + note);
    }

    void ReadData() {
        std::vector<uint8_t> bytes;
        const std::string label = FileName(set_.dataPath) + ": ";
        if (Error error = ReadWhole(BytesOf(set_.dataPath), kMaxDataFileBytes, bytes))
            return Problem(label + error.message);
        dataRead_ = true;
        if (bytes.size() < kDataHeaderBytes)
            return Problem(label + std::to_string(bytes.size()) + " bytes, shorter than its " +
                           std::to_string(kDataHeaderBytes) + "-byte header");
        set_.headerPolygonCount = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
        set_.headerVertexCount = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
        if (std::any_of(bytes.begin() + 4, bytes.begin() + kDataHeaderBytes, [](uint8_t b) { return b != 0; }))
            Note(label + "the header's 44 reserved bytes are not all zero");

        const size_t records = (bytes.size() - kDataHeaderBytes) / kPolygonBytes;
        const size_t rest = (bytes.size() - kDataHeaderBytes) % kPolygonBytes;
        const size_t counted = set_.headerPolygonCount;
        if (rest != 0)
            Problem(label + std::to_string(rest) + " bytes after the last whole triangle record (a record is 16 bytes)");
        if (records < counted)
            Problem(label + "the header counts " + std::to_string(counted) + " triangles, the file holds " +
                    std::to_string(records) + " (cut short)");
        else if (records > counted)
            Problem(label + "the file holds " + std::to_string(records) + " triangles, the header counts " +
                    std::to_string(counted) +
                    (records % (hm::kMax16Bit + 1) == counted
                         ? " (the 16-bit count wrapped past " + std::to_string(hm::kMax16Bit) + ")"
                         : "") +
                    "; the engine reads only those counted");

        set_.polygons.resize(std::min(records, counted));
        for (size_t i = 0; i < set_.polygons.size(); ++i) {
            const uint8_t* record = bytes.data() + kDataHeaderBytes + i * kPolygonBytes;
            SetPolygon& polygon = set_.polygons[i];
            for (int k = 0; k < 3; ++k) {
                polygon.corners[k] = static_cast<uint16_t>(record[2 * k] | record[2 * k + 1] << 8);
                polygon.uv[k] = {record[8 + 2 * k], record[9 + 2 * k]};
            }
            polygon.textureSlot = record[14];
            polygon.type = record[6];
            polygon.color = record[7];
            polygon.flags = record[15];
        }
    }

    void ReadAnim() {
        const std::string label = FileName(set_.animPath) + ": ";
        std::vector<uint8_t> bytes;
        if (Error error = ReadWhole(BytesOf(set_.animPath), kMaxAnimFileBytes, bytes))
            return Problem(label + error.message);
        const uint64_t size = bytes.size();
        if (size < kAnimHeaderBytes)
            return Problem(label + std::to_string(size) + " bytes, shorter than its 4-byte header");
        set_.headerFrameCount = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
        set_.headerFrameSize = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);

        // The vertex count comes from the mesh data file; without it, from
        // the frame size, which is all the animation file says.
        const uint64_t vertices = dataRead_ ? set_.headerVertexCount : set_.headerFrameSize / kFrameVertexBytes;
        set_.vertexCount = static_cast<uint32_t>(vertices);
        // The engine tells its two records apart by the frame size: 8 bytes a
        // vertex (16-bit x, y, z), or 4 (x and y in 11 bits, z in 10, packed).
        set_.recordBytes = dataRead_ && vertices > 0 && set_.headerFrameSize == vertices * 4 ? 4 : kFrameVertexBytes;
        if (set_.recordBytes == 4) Note(label + "4-byte records (x and y in 11 bits, z in 10)");
        const uint64_t frameBytes = vertices * set_.recordBytes;
        // The engine steps from frame to frame by the header's frame size and
        // reads a frame's records from there: where that size is not what a
        // frame takes (it wrapped past 65535, or a tool wrote another), frames
        // overlap or leave gaps, and this reads what the engine shows.
        const uint64_t stride = set_.headerFrameSize;
        const uint64_t payload = size - kAnimHeaderBytes;
        const uint64_t frames = set_.headerFrameCount;
        uint64_t whole = frames;
        if (frameBytes > 0) whole = payload < frameBytes ? 0 : stride == 0 ? frames : (payload - frameBytes) / stride + 1;
        set_.frameCount = static_cast<uint32_t>(std::min<uint64_t>(whole, frames));

        if (frameBytes > static_cast<uint64_t>(hm::kMax16Bit))
            Problem(label + std::to_string(vertices) + " vertices take " + std::to_string(frameBytes) +
                    " bytes a frame, more than the 16-bit frame size can state (at most " +
                    std::to_string(hm::kMaxFrameVertices) + " vertices)" +
                    (stride == frameBytes % 65536 ? ": it wrapped to " + std::to_string(stride) : std::string()) +
                    ", and the engine reads frame f from byte 4 + " + std::to_string(stride) + " x f");
        else if (dataRead_ && stride != frameBytes)
            Problem(label + "the frame size is " + std::to_string(stride) + " bytes, but " + std::to_string(vertices) +
                    " vertices take " + std::to_string(frameBytes) + ": the engine reads frame f from byte 4 + " +
                    std::to_string(stride) + " x f");
        const uint64_t expected = frames == 0 ? 0 : stride * (frames - 1) + frameBytes;
        if (payload < expected)
            Problem(label + "the header says " + std::to_string(frames) + " frames of " + std::to_string(vertices) +
                    " vertices (" + std::to_string(kAnimHeaderBytes + expected) + " bytes), the file holds " +
                    std::to_string(size) + " bytes: " + std::to_string(set_.frameCount) + " whole frames");
        else if (payload > expected)
            Problem(label + std::to_string(payload - expected) + " bytes after the last of its " +
                    std::to_string(frames) + " frames of " + std::to_string(vertices) + " vertices" +
                    (stride != frameBytes ? " as the engine reads them" : ""));

        // Frames that overlap (a frame size below what a frame takes) would
        // each be copied whole: no more are read than the file holds bytes for,
        // so that a small file cannot claim memory it does not justify.
        if (frameBytes > 0 && set_.frameCount > payload / frameBytes) {
            const uint64_t held = payload / frameBytes;
            Problem(label + "its " + std::to_string(set_.frameCount) + " frames of " + std::to_string(frameBytes) +
                    " bytes overlap (a frame size of " + std::to_string(stride) + "): only " + std::to_string(held) +
                    (held == 1 ? " frame is" : " frames are") + " read, as many as the file holds bytes for");
            set_.frameCount = static_cast<uint32_t>(held);
        }
        try {
            set_.records.resize(static_cast<size_t>(set_.frameCount) * vertices * 4);
        } catch (const std::bad_alloc&) {
            Problem(label + std::to_string(set_.frameCount) + " frames of " + std::to_string(vertices) +
                    " vertices take more memory than there is: no frame is read");
            set_.frameCount = 0;
            return;
        }
        for (uint64_t f = 0; frameBytes > 0 && f < set_.frameCount; ++f) {
            int16_t* out = set_.records.data() + f * vertices * 4;
            const uint8_t* in = bytes.data() + kAnimHeaderBytes + f * stride;
            if (set_.recordBytes == kFrameVertexBytes) {
                std::memcpy(out, in, frameBytes);
                continue;
            }
            for (uint64_t v = 0; v < vertices; ++v, in += 4, out += 4) {
                const uint32_t packed = in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
                out[0] = static_cast<int16_t>(static_cast<int32_t>(packed << 21) >> 21);
                out[1] = static_cast<int16_t>(static_cast<int32_t>(packed << 10) >> 21);
                out[2] = static_cast<int16_t>(static_cast<int32_t>(packed) >> 22);
                out[3] = 0;
            }
        }
    }

    void CheckScript() {
        const std::string label = FileName(set_.scriptPath) + ": ";
        const ScriptClass& script = set_.script;
        if (script.importMesh.empty()) {
            Problem(label + "no #exec MESH IMPORT line: the engine imports no mesh");
        } else {
            if (Upper(script.importMesh) != Upper(set_.meshName))
                Note(label + "MESH IMPORT names the mesh " + script.importMesh + ", the files are named " +
                     set_.meshName);
            CheckImportedFile("ANIVFILE", script.animFile, set_.meshName + "_a.3d");
            CheckImportedFile("DATAFILE", script.dataFile, set_.meshName + "_d.3d");
        }
        if (!script.hasScale) Problem(label + "no #exec MESHMAP SCALE line for " + set_.meshName +
                                      ": the engine keeps a scale of 1, not the model's size");
        set_.scale = script.scale;
        set_.origin = script.origin;
        static const char* axes[3] = {"X", "Y", "Z"};
        for (int axis = 0; axis < 3; ++axis)
            if (set_.scale[axis] == 0)
                Problem(label + "MESHMAP SCALE " + axes[axis] + "=0: the model is flat along that axis");
        // Records decode to (record - origin) x scale: a scale and origin that
        // take that past any float a position, or a difference of two, can
        // hold are read as 1 and 0, so that every number decoded is finite.
        for (int axis = 0; axis < 3; ++axis) {
            const float low = (INT16_MIN - set_.origin[axis]) * set_.scale[axis];
            const float high = (INT16_MAX - set_.origin[axis]) * set_.scale[axis];
            if (std::fabs(low) <= kMaxDecodedPosition && std::fabs(high) <= kMaxDecodedPosition) continue;
            char text[160];
            std::snprintf(text, sizeof text,
                          "MESHMAP SCALE %s=%g with MESH ORIGIN %s=%g decodes positions beyond %g; read with a "
                          "scale of 1 and an origin of 0 on that axis",
                          axes[axis], set_.scale[axis], axes[axis], set_.origin[axis], kMaxDecodedPosition);
            Problem(label + text);
            set_.scale[axis] = 1;
            set_.origin[axis] = 0;
        }

        if (script.sequences.empty()) Problem(label + "no #exec MESH SEQUENCE line: the engine has no animation to play");
        const int frames = set_.headerFrameCount;
        for (const Sequence& sequence : script.sequences) {
            std::string where = label + "line " + std::to_string(sequence.line) + ": sequence " + sequence.name;
            if (sequence.firstFrame < 0 || sequence.frameCount <= 0)
                Problem(where + " starts at frame " + std::to_string(sequence.firstFrame) + " with " +
                        std::to_string(sequence.frameCount) + " frames: it needs a first frame from 0 and 1 frame or more");
            else if (!set_.animPath.empty() && static_cast<int64_t>(sequence.firstFrame) + sequence.frameCount > frames)
                Problem(where + " runs to frame " +
                        std::to_string(static_cast<int64_t>(sequence.firstFrame) + sequence.frameCount - 1) +
                        ", past the last frame " + std::to_string(frames - 1) + " (the animation has " +
                        std::to_string(frames) + " frames, counted from 0)");
        }
    }

    void CheckImportedFile(const std::string& key, const std::string& written, const std::string& expected) {
        if (written.empty()) return;
        std::string name = written.substr(written.find_last_of("/\\") + 1);
        if (Upper(name) != Upper(expected))
            Problem(FileName(set_.scriptPath) + ": " + key + "=" + written + " does not name this set's " + expected);
    }

    void CheckIndices() {
        if (!dataRead_) return;
        size_t bad = 0;
        for (size_t i = 0; i < set_.polygons.size(); ++i)
            for (int k = 0; k < 3; ++k) {
                uint16_t corner = set_.polygons[i].corners[k];
                if (corner < set_.vertexCount) continue;
                if (++bad <= kExamplesListed)
                    Problem(FileName(set_.dataPath) + ": triangle " + std::to_string(i) + " corner " +
                            std::to_string(k) + " names vertex " + std::to_string(corner) + ", past the " +
                            std::to_string(set_.vertexCount) + " vertices of a frame");
            }
        if (bad > kExamplesListed)
            Problem(FileName(set_.dataPath) + ": " + std::to_string(bad - kExamplesListed) +
                    " more corners name vertices past the last");
    }

    // Where the engine's package layout and a user's copy might keep it:
    // as written from the set's folder or its parent, or by name beside the
    // set or in a textures folder there; then by name in the extra folders.
    // Each is taken only where it may be read from (resolved, in the set's
    // root or in that extra folder); refusedAs names one found elsewhere.
    Located LocateTexture(const std::string& written, bool& onlyElsewhere) {
        const std::string name = LastPart(written);
        onlyElsewhere = false;
        std::string refused;
        const std::pair<fs::path, std::string> lookups[] = {
            {folder_, written}, {folder_ / "textures", name}, {folder_, name}, {folder_ / "..", written}};
        for (const auto& [folder, relative] : lookups) {
            Located found = Find(folder, relative, root_);
            if (!found.path.empty()) return found;
            if (refused.empty() && !found.refusedAs.empty()) refused = written;
        }
        for (const auto& [folder, resolved] : textureRoots_) {
            Located found = Find(folder, name, resolved);
            if (!found.path.empty()) {
                onlyElsewhere = true;
                return found;
            }
            if (refused.empty() && !found.refusedAs.empty()) refused = written;
        }
        return {{}, refused};
    }

    // What the engine's texture importer would trip over: it reads 8-bit
    // palettised BMP and PCX only, keeps each side a power of two, and under a
    // masked import draws entry 0 as see-through.
    void CheckTexture(const std::string& where, const SetTexture& texture, const TextureFacts& facts) {
        if (!facts.palettised)
            Problem(where + " is a " + facts.format + "; the engine imports 8-bit palettised BMP or PCX only");
        const auto powerOfTwo = [](int side) { return side > 0 && (side & (side - 1)) == 0; };
        if (!powerOfTwo(texture.width) || !powerOfTwo(texture.height))
            Problem(where + " is " + std::to_string(texture.width) + " x " + std::to_string(texture.height) +
                    "; the engine keeps each side a power of two, so it would not map as painted");
        if (!texture.masked || facts.entryZero == 0) return;
        // A masked texture whose every pixel is entry 0 draws as nothing: it
        // was meant opaque. Some pixels there are the holes it was painted with.
        if (facts.entryZero == facts.pixels)
            Problem(where + ": every pixel is at palette entry 0, which FLAGS=2 (masked) draws see-through: the "
                            "texture shows as nothing");
        else
            Note(where + ": " + std::to_string(facts.entryZero) + " of " + std::to_string(facts.pixels) +
                 " pixels at palette entry 0, see-through under FLAGS=2 (masked)");
    }

    void AddSource(SetTexture& texture) {
        auto source = options_.sourceImages.find(FileName(texture.foundPath));
        if (source == options_.sourceImages.end()) return;
        PngImage image;
        if (LoadImageAsPng(source->second, image)) return;  // a picture for the artist, nothing more
        texture.sourcePath = source->second;
        texture.sourceName = LastPart(source->second);
        texture.sourcePng = std::move(image.bytes);
    }

    void ReadTextures() {
        const std::string label = set_.scriptPath.empty() ? std::string() : FileName(set_.scriptPath) + ": ";
        std::map<int, const TextureAssignment*> bySlot;
        for (const TextureAssignment& assignment : set_.script.assignments) bySlot[assignment.slot] = &assignment;
        std::map<int, size_t> used;
        for (const SetPolygon& polygon : set_.polygons) ++used[polygon.textureSlot];
        for (const auto& [slot, count] : used)
            if (!bySlot.count(slot))
                Problem(label + std::to_string(count) + " triangles have texture slot " + std::to_string(slot) +
                        ", which no MESHMAP SETTEXTURE NUM=" + std::to_string(slot) + " line fills");

        // The first import of each name, in any case (the engine's names ignore it).
        std::map<std::string, const TextureImport*> imports;
        for (const TextureImport& import : set_.script.textures) imports.try_emplace(Upper(import.name), &import);
        std::map<std::string, size_t> loaded;  // file found -> index in textures
        for (const auto& [slot, assignment] : bySlot) {
            SetTexture texture;
            texture.slot = slot;
            texture.name = assignment->texture;
            const std::string where = label + "line " + std::to_string(assignment->line) + ": texture " + texture.name;
            auto found = imports.find(Upper(texture.name));
            if (found == imports.end()) {
                Problem(where + " has no #exec TEXTURE IMPORT line");
                set_.textures.push_back(std::move(texture));
                continue;
            }
            const TextureImport* import = found->second;
            texture.file = import->file;
            bool onlyElsewhere = false;
            const Located located = LocateTexture(texture.file, onlyElsewhere);
            texture.foundPath = located.path;
            if (!located.refusedAs.empty()) {
                Problem(where + ": " + Refused(located.refusedAs));
            } else if (texture.foundPath.empty()) {
                Problem(where + ": " + texture.file + " not found in the set's folder, its textures folder" +
                        (inPackage_ ? " or the package's folder" : "") +
                        (textureRoots_.empty() ? "" : " or the folders given for textures"));
            } else {
                texture.shownPath = Shown(texture.foundPath);
                auto same = loaded.find(texture.foundPath);
                if (onlyElsewhere && same == loaded.end())  // once a file, however many slots use it
                    Note(texture.file + " found only in a folder outside the set (as " + texture.shownPath +
                         "); copy it into a textures folder beside the set for the engine");
                texture.masked = import->masked;
                if (same != loaded.end()) {
                    const SetTexture& earlier = set_.textures[same->second];
                    texture.width = earlier.width;
                    texture.height = earlier.height;
                    texture.png = earlier.png;
                    texture.sourcePath = earlier.sourcePath;
                    texture.sourceName = earlier.sourceName;
                    texture.sourcePng = earlier.sourcePng;
                } else {
                    PngImage image;
                    TextureFacts facts;
                    if (Error error = LoadImageAsPng(BytesOf(texture.foundPath), image, texture.masked, &facts)) {
                        Problem(where + ": " + texture.shownPath + " " + error.message);
                    } else {
                        texture.width = image.width;
                        texture.height = image.height;
                        texture.png = std::move(image.bytes);
                        loaded[texture.foundPath] = set_.textures.size();
                        CheckTexture(where + ": " + FileName(texture.foundPath), texture, facts);
                        AddSource(texture);
                    }
                }
            }
            set_.textures.push_back(std::move(texture));
        }
    }

    // Names the engine takes as one, on Windows and in its packages, which
    // ignore case: two texture files whose names differ only in case are one
    // file there (one overwrites the other when the set is copied), and two
    // textures imported under one name are one texture.
    void CheckNamesInCase() {
        const std::string label = set_.scriptPath.empty() ? std::string() : FileName(set_.scriptPath) + ": ";
        std::map<std::string, std::pair<std::string, const TextureImport*>> files;  // FILE= in upper case
        std::map<std::string, const TextureImport*> names;
        for (const TextureImport& import : set_.script.textures) {
            std::string file = import.file;
            std::replace(file.begin(), file.end(), '/', '\\');
            auto [sameFile, newFile] = files.try_emplace(Upper(file), file, &import);
            if (!newFile && sameFile->second.first != file)
                Problem(label + "line " + std::to_string(import.line) + ": FILE=" + import.file + " and line " +
                        std::to_string(sameFile->second.second->line) + ": FILE=" + sameFile->second.second->file +
                        " differ only in case: on Windows they are one file, and one replaces the other");
            auto [sameName, newName] = names.try_emplace(Upper(import.name), &import);
            if (newName) continue;
            const TextureImport& first = *sameName->second;
            if (first.name != import.name)
                Problem(label + "line " + std::to_string(import.line) + ": texture " + import.name + " and line " +
                        std::to_string(first.line) + ": texture " + first.name +
                        " differ only in case: the engine's package holds one of them");
            else if (Upper(first.file) != Upper(import.file))
                Problem(label + "line " + std::to_string(import.line) + ": texture " + import.name +
                        " is imported again (first on line " + std::to_string(first.line) + ", from " + first.file +
                        "): the engine's package holds one of them");
        }
    }

    ExportedSet& set_;
    const ReadOptions& options_;
    fs::path folder_;      // the set's folder as given
    fs::path setFolder_;   // the same, resolved
    fs::path root_;        // files are read from here and below (resolved)
    bool inPackage_ = false;  // root_ is the package's folder above the set's Classes folder
    std::vector<std::pair<fs::path, fs::path>> textureRoots_;  // the extra texture folders, as given and resolved
    std::map<std::string, fs::path> resolved_;  // each file found -> the file it resolves to
    bool dataRead_ = false;
};

}  // namespace

std::string SetBasePath(const std::string& path) {
    const fs::path given(path);
    std::string name = given.filename().string();
    if (EndsWithNoCase(name, "_d.3d") || EndsWithNoCase(name, "_a.3d")) name.resize(name.size() - 5);
    else if (size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) name.resize(dot);
    return (given.parent_path() / name).string();
}

ExportedSet ReadExportedSet(const std::string& path, const ReadOptions& options) {
    ExportedSet set;
    try {
        SetReader(set, options).Read(path);
    } catch (const std::bad_alloc&) {
        set.problems.push_back(FileName(path) + ": not enough memory to read the set");
    } catch (const std::exception& error) {  // the file system failing under us
        set.problems.push_back(FileName(path) + ": " + error.what());
    }
    // Whatever stopped the reading, the frames are whole or none.
    if (set.records.size() != size_t{set.frameCount} * set.vertexCount * 4) {
        set.records.clear();
        set.frameCount = 0;
    }
    return set;
}

std::array<float, 3> DecodePosition(const ExportedSet& set, uint32_t frame, uint32_t vertex) {
    const int16_t* record = set.records.data() + (static_cast<size_t>(frame) * set.vertexCount + vertex) * 4;
    return {(record[0] - set.origin[0]) * set.scale[0], (record[1] - set.origin[1]) * set.scale[1],
            (record[2] - set.origin[2]) * set.scale[2]};
}

Box DecodedBox(const ExportedSet& set, bool firstFrameOnly) {
    Box box;
    const size_t records = firstFrameOnly ? std::min<size_t>(set.vertexCount, set.records.size() / 4) : set.records.size() / 4;
    if (records == 0) return box;
    std::array<int16_t, 3> low{INT16_MAX, INT16_MAX, INT16_MAX}, high{INT16_MIN, INT16_MIN, INT16_MIN};
    for (size_t i = 0; i < records; ++i)
        for (int axis = 0; axis < 3; ++axis) {
            low[axis] = std::min(low[axis], set.records[i * 4 + axis]);
            high[axis] = std::max(high[axis], set.records[i * 4 + axis]);
        }
    for (int axis = 0; axis < 3; ++axis) {
        // A negative scale turns the box over.
        float a = (low[axis] - set.origin[axis]) * set.scale[axis], b = (high[axis] - set.origin[axis]) * set.scale[axis];
        box.min[axis] = std::min(a, b);
        box.max[axis] = std::max(a, b);
    }
    return box;
}

}  // namespace view
