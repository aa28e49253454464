#include "import/source_scene.h"

#include "import/file_names.h"
#include "import/model_files.h"
#include "import/scene_repair.h"

#include <assimp/commonMetaData.h>
#include <assimp/config.h>
#include <assimp/postprocess.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace hm::imp {

Affine ToAffine(const aiMatrix4x4& m) {
    Affine out;
    for (unsigned r = 0; r < 3; ++r)
        for (unsigned c = 0; c < 3; ++c) out.m[r][c] = m[r][c];
    out.t = {m.a4, m.b4, m.c4};
    return out;
}

namespace {

int MetaInt(const aiMetadata* meta, const char* key, int fallback) {
    int32_t value = fallback;
    if (meta && meta->Get(key, value)) return value;
    return fallback;
}

// Files that state their axes in metadata (FBX) are turned into the host's:
// x right, y up, z towards the viewer. Assimp already does this for formats
// that carry an up axis in the document itself (Collada).
Mat3 AxisChange(const aiMetadata* meta) {
    const int up = MetaInt(meta, "UpAxis", 1), upSign = MetaInt(meta, "UpAxisSign", 1);
    const int front = MetaInt(meta, "FrontAxis", 2), frontSign = MetaInt(meta, "FrontAxisSign", 1);
    const int coord = MetaInt(meta, "CoordAxis", 0), coordSign = MetaInt(meta, "CoordAxisSign", 1);
    if (up < 0 || up > 2 || front < 0 || front > 2 || coord < 0 || coord > 2 || up == front || up == coord ||
        front == coord)
        return kIdentity3;
    Mat3 m{};
    m[0][coord] = coordSign < 0 ? -1 : 1;
    m[1][up] = upSign < 0 ? -1 : 1;
    m[2][front] = frontSign < 0 ? -1 : 1;
    return m;
}

void AddNode(SourceScene& out, const aiNode* node, int parent) {
    SourceNode entry;
    entry.node = node;
    entry.parent = parent;
    entry.local = ToAffine(node->mTransformation);
    entry.global = Multiply(parent < 0 ? out.axes : out.nodes[static_cast<size_t>(parent)].global, entry.local);
    const int index = static_cast<int>(out.nodes.size());
    out.nodes.push_back(entry);
    for (unsigned i = 0; i < node->mNumMeshes; ++i) out.instances.push_back({node->mMeshes[i], index});
    for (unsigned i = 0; i < node->mNumChildren; ++i) AddNode(out, node->mChildren[i], index);
}

Error Refused(const std::string& path, std::string problem) {
    return Fault(ErrorKind::kBadInput, path + ": " + std::move(problem));
}

Error CheckReadable(const std::string& path) {
    std::error_code code;
    const auto status = std::filesystem::status(path, code);
    if (!std::filesystem::exists(status)) return Refused(path, "no such file");
    if (std::filesystem::is_directory(status)) return Refused(path, "is a directory, not a model file");
    if (!std::ifstream(path, std::ios::binary)) return Refused(path, "cannot be opened for reading");
    return {};
}

// Assimp tries every reader on a file whose extension none of them claims, and
// its error is then the last one's complaint (BLENDER magic bytes are missing),
// which says nothing about this file: name what was tried instead.
Error Unreadable(const std::string& path, const Assimp::Importer& importer) {
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension.empty() || !importer.IsExtensionSupported(extension))
        return Refused(path, "not a model file that can be read (" +
                                 (extension.empty() ? std::string("no extension")
                                                    : "the extension " + extension + " is no model format's") +
                                 ", and the content is none of the formats told by content: glTF 2.0, FBX, Collada, "
                                 "OBJ, 3DS, Blender and the rest Assimp reads; a host model file ends in .hm.json)");
    std::string reason = importer.GetErrorString();
    if (reason.empty()) reason = "unknown reason";
    return Refused(path, "not a model file that can be read (" + reason + ")");
}

// The OBJ text with every vertex line's number in its colour (red, green and
// blue the number's digits in base kVertexNumberBase), which the reader keeps
// per vertex, through triangulation and joining, whatever vertices it makes of a
// line. Only x, y and z of a line are kept, as written, so they read as before.
Error NumberObjVertices(const std::string& path, std::string& text, uint32_t& count) {
    std::ifstream in(path, std::ios::binary);
    const std::string source((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return Refused(path, "cannot be read");
    text.clear();
    text.reserve(source.size() + source.size() / 2);
    count = 0;
    size_t number = 0;
    const auto base = static_cast<uint32_t>(kVertexNumberBase);
    for (size_t at = 0; at < source.size();) {
        size_t end = source.find('\n', at);
        end = end == std::string::npos ? source.size() : end + 1;
        const std::string_view line(source.data() + at, end - at);
        at = end;
        ++number;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] != 'v' || first + 1 >= line.size() ||
            (line[first + 1] != ' ' && line[first + 1] != '\t')) {
            text += line;
            continue;
        }
        std::vector<std::string_view> fields;
        for (size_t p = first + 1; p < line.size();) {
            const size_t from = line.find_first_not_of(" \t\r\n", p);
            if (from == std::string_view::npos) break;
            const size_t to = std::min(line.find_first_of(" \t\r\n", from), line.size());
            fields.push_back(line.substr(from, to - from));
            p = to;
        }
        if (fields.size() < 3)
            return Refused(path, "line " + std::to_string(number) + ": a vertex of fewer than three numbers");
        if (count == UINT32_MAX) return Refused(path, "more vertices than can be numbered");
        text += "v ";
        for (int k = 0; k < 3; ++k) (text += fields[k]) += ' ';
        text += std::to_string(count % base) + " " + std::to_string(count / base % base) + " " +
                std::to_string(count / base / base) + "\n";
        ++count;
    }
    return {};
}

// Assimp joins the vertices of a mesh that are alike in its own shape, also
// where a morph target moves them apart, and keeps the first one's target
// positions for all (a frame of a vertex-animated mesh read back as targets
// comes back with vertices stuck together). Until the join, the third texture
// coordinate of such a mesh's vertices carries a group number, the same
// exactly for vertices alike in it and in every target, so the join keeps the
// others apart; then the coordinates are put back. Meshes without targets,
// and vertices the join rightly merges, fare as before.
class MorphedVertexMarks {
public:
    explicit MorphedVertexMarks(aiScene& scene) {
        for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
            aiMesh* mesh = scene.mMeshes[m];
            // Float numbers are exact up to 2^24.
            if (!mesh || mesh->mNumAnimMeshes == 0 || mesh->mNumVertices == 0 || mesh->mNumVertices > (1u << 24))
                continue;
            Mark(*mesh);
        }
    }

    // The third coordinates as they were, or the texture coordinates made for the join removed.
    void Restore() {
        for (const Marked& marked : marked_) {
            aiMesh& mesh = *marked.mesh;
            if (marked.madeCoordinates) {
                delete[] mesh.mTextureCoords[0];
                mesh.mTextureCoords[0] = nullptr;
                mesh.mNumUVComponents[0] = 0;
                continue;
            }
            for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
                float& z = mesh.mTextureCoords[0][v].z;
                if (z >= 0 && z < static_cast<float>(marked.groupZ.size())) z = marked.groupZ[static_cast<size_t>(z)];
            }
        }
    }

private:
    struct Marked {
        aiMesh* mesh = nullptr;
        bool madeCoordinates = false;
        std::vector<float> groupZ;  // per group: the third coordinate its vertices had
    };

    // Equal values, equal bytes: -0 and 0 are one coordinate.
    static void Append(std::vector<float>& values, const aiVector3D& v) {
        values.insert(values.end(), {v.x + 0.0f, v.y + 0.0f, v.z + 0.0f});
    }

    void Mark(aiMesh& mesh) {
        Marked marked{&mesh, mesh.mTextureCoords[0] == nullptr, {}};
        if (marked.madeCoordinates) mesh.mTextureCoords[0] = new aiVector3D[mesh.mNumVertices]();
        // A vertex's values: its third coordinate, then its position in every target.
        auto values = [&mesh](unsigned v, std::vector<float>& out) {
            out.assign(1, mesh.mTextureCoords[0][v].z + 0.0f);
            for (unsigned t = 0; t < mesh.mNumAnimMeshes; ++t) {
                const aiAnimMesh* target = mesh.mAnimMeshes[t];
                if (target && target->mVertices && target->mNumVertices == mesh.mNumVertices)
                    Append(out, target->mVertices[v]);
            }
        };
        // The first vertex of each group, found by its values' hash.
        std::unordered_map<uint64_t, std::vector<std::pair<unsigned, float>>> groupsByHash;
        std::vector<float> mine, theirs;
        std::vector<float> group(mesh.mNumVertices);
        for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
            values(v, mine);
            const uint64_t hash =
                std::hash<std::string_view>()({reinterpret_cast<const char*>(mine.data()), mine.size() * sizeof(float)});
            auto& candidates = groupsByHash[hash];
            group[v] = -1;
            for (const auto& [first, number] : candidates) {
                values(first, theirs);
                if (std::memcmp(mine.data(), theirs.data(), mine.size() * sizeof(float)) == 0) group[v] = number;
                if (group[v] >= 0) break;
            }
            if (group[v] < 0) {
                group[v] = static_cast<float>(marked.groupZ.size());
                marked.groupZ.push_back(mesh.mTextureCoords[0][v].z);
                candidates.emplace_back(v, group[v]);
            }
        }
        for (unsigned v = 0; v < mesh.mNumVertices; ++v) mesh.mTextureCoords[0][v].z = group[v];
        marked_.push_back(std::move(marked));
    }

    std::vector<Marked> marked_;
};

// A glTF file vantrel-view wrote from an exported set states every vertex of
// the set on purpose, also vertices alike in every frame and texture
// coordinate, which the engine keeps apart: joined, the set would come back
// with fewer vertices, numbered otherwise.
bool WrittenFromASet(const aiScene& scene) {
    aiString generator;
    return scene.mMetaData && scene.mMetaData->Get(AI_METADATA_SOURCE_GENERATOR, generator) &&
           std::string_view(generator.C_Str()) == "vantrel-view";
}

}  // namespace

Error LoadSourceScene(const std::string& path, SourceScene& out, Warnings& warnings,
                      const std::vector<std::string>& folders, bool numberVertices) {
    if (Error error = CheckReadable(path)) return error;
    out.importer = std::make_unique<Assimp::Importer>();
    // FBX pivots otherwise come as helper nodes between a bone and its parent,
    // each of which would become a bone of its own.
    out.importer->SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
    FileNames names = MakeNamesUnique(path);
    if (numberVertices)
        if (Error error = NumberObjVertices(path, names.rewritten, out.fileVertices)) return error;
    auto* files = new ModelFileSystem(path, std::move(names.rewritten), FolderRule(path, folders));
    out.importer->SetIOHandler(files);  // the importer owns it
    // Read as the file stands: our own checks replace Assimp's validation step,
    // and must run before any processing that trusts the data.
    const aiScene* raw = out.importer->ReadFile(path, 0);
    const auto refusal = [](const std::string& file) {
        return FolderRule::Describe(file) +
               ", which lies outside the model's folder; it is not read (name its folder with --texture-folder to "
               "allow it)";
    };
    if (!raw && !files->Refused().empty())
        return Refused(path, "cannot be read without the file " + refusal(files->Refused().front()));
    if (!raw) return Unreadable(path, *out.importer);
    for (const std::string& file : files->Refused())
        AddWarning(warnings, WarningKind::FileRefused, "the model names the file " + refusal(file), 1, {file});
    for (std::string& problem : names.unreadableImages) AddWarning(warnings, WarningKind::TextureRefused, std::move(problem));
    if (Error error = RepairScene(*const_cast<aiScene*>(raw), warnings))
        return Fault(error.kind, path + ": " + error.message);
    if (raw->mNumMeshes == 0) return Refused(path, "the file holds no meshes");
    // Lines and points are kept apart from triangles by the triangulation and
    // dropped later, with a warning.
    MorphedVertexMarks marks(*const_cast<aiScene*>(raw));
    const unsigned join = WrittenFromASet(*raw) ? 0u : unsigned{aiProcess_JoinIdenticalVertices};
    out.scene = out.importer->ApplyPostProcessing(aiProcess_Triangulate | join);
    if (!out.scene) return Unreadable(path, *out.importer);
    marks.Restore();
    out.axes.m = AxisChange(out.scene->mMetaData);
    out.mirrored = Determinant(out.axes.m) < 0;
    AddNode(out, out.scene->mRootNode, -1);
    NodeTree tree;
    for (const SourceNode& node : out.nodes) {
        tree.nodes.push_back(node.node);
        tree.parent.push_back(node.parent);
    }
    out.bindings = BindNodes(*out.scene, tree);
    RestoreNames(*const_cast<aiScene*>(out.scene), names);
    warnings.insert(warnings.end(), out.bindings.warnings.begin(), out.bindings.warnings.end());
    return {};
}

}  // namespace hm::imp
