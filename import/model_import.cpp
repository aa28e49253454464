#include "import/model_import.h"

#include "host/format_limits.h"

#include "import/anim_sample.h"
#include "import/bone_keys.h"
#include "import/clip_bake.h"
#include "import/model_files.h"
#include "import/exact_extract.h"
#include "names/host_names.h"
#include "mesh_edit/mesh_vertices.h"
#include "names/sequence_names.h"
#include "import/skeleton_build.h"
#include "import/skin_reduction.h"
#include "import/source_scene.h"
#include "texture/texture_files.h"
#include "mesh_edit/weld.h"

#include <assimp/GltfMaterial.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <map>
#include <set>

namespace hm {

namespace {

using namespace imp;

// Beyond this the keys alone would not fit in memory; not even --force goes there.
constexpr int64_t kSamplingLimit = 1000000;

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Stem(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    return dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
}

std::string ToLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Counts {
    int64_t lines = 0;
    int64_t points = 0;
    int64_t polygons = 0;  // more than three corners, which the triangulation should have split
    int64_t morphedMeshes = 0;
    int64_t morphTargets = 0;
    std::vector<std::string> withoutTriangles;
    std::vector<std::string> morphed;
    SkinReduction skin;
};

// "2 line(s), 1 point(s) and 3 polygon(s)" of the counts that are not 0.
std::string CountList(std::initializer_list<std::pair<int64_t, const char*>> counts) {
    std::vector<std::string> parts;
    for (const auto& [count, what] : counts)
        if (count) parts.push_back(std::to_string(count) + " " + what);
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}

// "'a', 'b', 'c', ..." with at most five names.
std::string NameList(const std::vector<std::string>& names) {
    std::string list;
    for (size_t i = 0; i < names.size() && i < kWarningExamples; ++i) list += (i ? ", '" : "'") + names[i] + "'";
    if (names.size() > kWarningExamples) list += ", ...";
    return list;
}

bool AllAtOrigin(const hmModel& model) {
    for (const auto& mesh : model.meshes)
        for (const HostVertex& v : mesh->vertices)
            if (v.position.x != 0 || v.position.y != 0 || v.position.z != 0) return false;
    return true;
}

Vec3d ToVec(const aiVector3D& v) { return {v.x, v.y, v.z}; }
HostVec3 ToHost(Vec3d v) { return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)}; }
Vec3d Times(Vec3d v, double s) { return {v.x * s, v.y * s, v.z * s}; }

class Importer {
public:
    Importer(const std::string& path, const ImportOptions& options) : path_(path), options_(options) {}
    ImportResult Run();

private:
    bool Fail(const std::string& problem, ErrorKind kind = ErrorKind::kBadInput) {
        result_.error = Fault(kind, path_ + ": " + problem);
        return false;
    }
    bool CheckOptions();
    bool ChooseClips();
    std::vector<bool> AnimatedNodes() const;
    void AddMesh(size_t instanceIndex, UniqueNames& meshNames);
    void NumberVertices(const aiMesh& mesh, const std::vector<unsigned>& kept, ExactMesh& exact);
    bool Fit();
    bool CheckLimits();
    void Bake();
    void ReportLeftOut();
    bool CheckScaledModel();
    void ReadUnit();
    std::string TextureName(const aiMesh& mesh);
    std::string EmbeddedName(const aiTexture& texture, size_t index, const std::string& uri, unsigned materialIndex);
    std::string ColourName(unsigned materialIndex);
    std::string ConvertedName(const ConvertedTexture& converted, const std::string& uri, unsigned materialIndex,
                              const std::string& stem, const std::string& sourcePath);
    std::string AddTexture(TextureFile file, const std::string& stem);
    void SetTriangleTypes();
    std::string ModelWord() const;
    void Warn(WarningKind kind, std::string text, int64_t count = 1, std::vector<std::string> examples = {}) {
        AddWarning(result_.warnings, kind, std::move(text), count, std::move(examples));
    }
    // What the host model cannot show but the exact bake does: a warning only
    // when the host model is what gets exported.
    void HostLoss(WarningKind kind, std::string text, int64_t count = 1, std::vector<std::string> examples = {}) {
        AddWarning(result_.hostLosses, kind, std::move(text), count, std::move(examples));
        if (!options_.exact) result_.warnings.push_back(result_.hostLosses.back());
    }
    bool CheckBoneCount();

    std::string path_;
    ImportOptions options_;
    ImportResult result_;
    SourceScene source_;
    Skeleton skeleton_;
    std::unique_ptr<HostBoneWriter> boneWriter_;
    std::vector<unsigned> selectedClips_;  // animation indices, timeline order
    std::vector<ClipTiming> timings_;      // per animation
    std::vector<bool> boneHoldsVertices_;
    std::vector<unsigned> meshOfHostMesh_;
    Counts counts_;
    std::map<const aiTexture*, std::string> embeddedNames_;
    std::map<unsigned, std::string> colourNames_;
    std::set<unsigned> untextured_;  // materials with coordinates and no image, warned of once
    std::set<std::string> textureFiles_;  // every file name handed out, in lower case
    std::map<std::string, std::string> convertedFiles_;  // the model's own images: real path -> file name
    ExactScene exact_;
    std::vector<MeshInstance> exactInstances_;  // the placement of each host mesh
    std::vector<Corners> corners_;              // each host mesh's triangles until they are final
    bool unnumbered_ = false;                   // a vertex lost its number among the file's
};

bool Importer::CheckOptions() {
    if (const std::string problem = ScaleProblem(options_.scale); !problem.empty())
        return Fail("the scale " + problem + ", not " + Format("%g", options_.scale));
    if (const std::string problem = FpsProblem(options_.fps); !problem.empty())
        return Fail("the frame rate " + problem + ", not " + Format("%g", options_.fps));
    return true;
}

bool Importer::ChooseClips() {
    const aiScene& scene = *source_.scene;
    for (unsigned i = 0; i < scene.mNumAnimations; ++i) {
        const aiAnimation* clip = scene.mAnimations[i];
        timings_.push_back(TimeClip(*clip, options_.fps));
        ClipInfo info;
        info.name = clip->mName.length ? clip->mName.C_Str() : "clip" + std::to_string(i);
        info.seconds = timings_.back().seconds;
        info.frameCount = timings_.back().frames;
        info.rate = static_cast<float>(options_.fps);
        result_.clips.push_back(info);
    }
    std::vector<std::string> clipNames;
    for (const ClipInfo& info : result_.clips) clipNames.push_back(info.name);
    const std::vector<std::string> sequences = SequenceNames(clipNames);
    for (size_t i = 0; i < sequences.size(); ++i) result_.clips[i].sequence = sequences[i];
    if (options_.clips.empty()) {
        for (unsigned i = 0; i < scene.mNumAnimations; ++i) selectedClips_.push_back(i);
    }
    for (const std::string& wanted : options_.clips) {
        unsigned found = 0;
        while (found < result_.clips.size() && result_.clips[found].name != wanted) ++found;
        for (unsigned i = 0; i < result_.clips.size() && found == result_.clips.size(); ++i)
            if (result_.clips[i].sequence == wanted) found = i;
        if (found == result_.clips.size()) {
            std::string known;
            for (const ClipInfo& clip : result_.clips)
                known += (known.empty() ? "" : ", ") + clip.sequence +
                         (clip.sequence == clip.name ? "" : " ('" + clip.name + "')");
            return Fail("no clip named '" + wanted + "' (" +
                        (known.empty() ? std::string("the model has no animation") : "its clips: " + known) + ")");
        }
        if (std::find(selectedClips_.begin(), selectedClips_.end(), found) != selectedClips_.end())
            return Fail("the clip '" + wanted + "' is named twice");
        selectedClips_.push_back(found);
    }
    int64_t start = 0;
    for (unsigned i : selectedClips_) {
        result_.clips[i].startFrame = start;
        start += result_.clips[i].frameCount;
    }
    return true;
}

std::vector<bool> Importer::AnimatedNodes() const {
    std::vector<bool> animated(source_.nodes.size(), false);
    for (unsigned i : selectedClips_) {
        const auto channels = ChannelsByNode(source_, i);
        for (size_t n = 0; n < channels.size(); ++n)
            if (channels[n]) animated[n] = true;
    }
    for (size_t n = 0; n < animated.size(); ++n)  // parents come first
        if (source_.nodes[n].parent >= 0 && animated[static_cast<size_t>(source_.nodes[n].parent)]) animated[n] = true;
    return animated;
}

void Importer::AddMesh(size_t instanceIndex, UniqueNames& meshNames) {
    const MeshInstance& instance = source_.instances[instanceIndex];
    const aiMesh& mesh = *source_.scene->mMeshes[instance.mesh];
    const SourceNode& node = source_.nodes[static_cast<size_t>(instance.node)];

    std::vector<const aiFace*> triangles;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (face.mNumIndices == 3) triangles.push_back(&face);
        else if (face.mNumIndices == 2) ++counts_.lines;
        else if (face.mNumIndices == 1) ++counts_.points;
        else if (face.mNumIndices > 3) ++counts_.polygons;
    }
    const std::string wanted = node.node->mNumMeshes == 1 && node.node->mName.length ? node.node->mName.C_Str()
                                                                                      : mesh.mName.C_Str();
    if (triangles.empty()) {
        counts_.withoutTriangles.push_back(wanted);
        return;
    }
    if (mesh.mNumAnimMeshes) {
        ++counts_.morphedMeshes;
        counts_.morphTargets += mesh.mNumAnimMeshes;
        counts_.morphed.push_back(wanted);
    }
    // Only the vertices that triangles use, in their order in the file.
    std::vector<int> newIndex(mesh.mNumVertices, -1);
    for (const aiFace* face : triangles)
        for (unsigned k = 0; k < 3; ++k) newIndex[face->mIndices[k]] = 0;
    std::vector<unsigned> kept;
    for (unsigned v = 0; v < mesh.mNumVertices; ++v)
        if (newIndex[v] == 0) {
            newIndex[v] = static_cast<int>(kept.size());
            kept.push_back(v);
        }

    // The log prints mesh names a line each.
    hmMesh* out =
        hm::AddMesh(result_.model.get(), meshNames.Make(OneLineName(wanted), "mesh" + std::to_string(instanceIndex)));
    meshOfHostMesh_.push_back(instance.mesh);
    AddExactMesh(source_, instance, kept, exact_);
    exactInstances_.push_back(instance);
    if (options_.numberFileVertices) NumberVertices(mesh, kept, exact_.meshes.back());

    std::vector<int> boneOf(mesh.mNumBones, -1);  // host bone of each of the mesh's bones
    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        const int boneNode = BoneNode(source_, instance.mesh, b);
        if (boneNode >= 0) boneOf[b] = skeleton_.boneOfNode[static_cast<size_t>(boneNode)];
    }
    std::vector<bool> usable(mesh.mNumBones);
    for (unsigned b = 0; b < mesh.mNumBones; ++b) usable[b] = boneOf[b] >= 0;
    const std::vector<int> heaviest = mesh.mNumBones ? HeaviestBones(mesh, usable, counts_.skin) : std::vector<int>();
    const int rigidBone = skeleton_.rigidBoneOfInstance[instanceIndex];
    const auto& rebuilt = boneWriter_->RebuiltRest();
    const bool hasUv = mesh.HasTextureCoords(0);
    const Affine& placement = skeleton_.placementOfInstance[instanceIndex];
    for (unsigned v : kept) {
        const Vec3d position = ToVec(mesh.mVertices[v]);
        int bone = -1;
        Vec3d local;  // in the bone's rest frame, scaled
        if (rigidBone >= 0) {
            bone = rigidBone;
            local = Times(Apply(skeleton_.bones[static_cast<size_t>(bone)].stretch, position), options_.scale);
        } else if (!heaviest.empty() && heaviest[v] >= 0) {
            const aiBone& source = *mesh.mBones[heaviest[v]];
            bone = boneOf[static_cast<size_t>(heaviest[v])];
            const Vec3d inBone = Apply(ToAffine(source.mOffsetMatrix), position);
            local = Times(Apply(skeleton_.bones[static_cast<size_t>(bone)].stretch, inBone), options_.scale);
        }
        // The plug-in moves a bound vertex into its bone's frame with the rest
        // it rebuilds; placing it with the same rest makes that exact.
        const Vec3d placed = bone >= 0 ? Apply(rebuilt[static_cast<size_t>(bone)], local)
                                      : Times(Apply(placement, position), options_.scale);
        if (bone >= 0) boneHoldsVertices_[static_cast<size_t>(bone)] = true;
        float u = 0, w = 0;
        if (hasUv) {
            u = mesh.mTextureCoords[0][v].x;
            w = 1.0f - mesh.mTextureCoords[0][v].y;  // the host's v grows downwards
        }
        out->vertices.push_back(MakeVertex(ToHost(placed), u, w, static_cast<int8_t>(bone)));
    }
    // A mirroring placement turns the faces inside out unless their winding is reversed.
    const bool flip = Determinant(placement.m) < 0;
    Corners& corners = corners_.emplace_back();
    for (const aiFace* face : triangles)
        for (unsigned k = 0; k < 3; ++k)
            corners.push_back(static_cast<uint32_t>(newIndex[face->mIndices[flip ? 2 - k : k]]));
}

// Each vertex's number among the file's vertex lines, from the colour the
// numbered file gave it.
void Importer::NumberVertices(const aiMesh& mesh, const std::vector<unsigned>& kept, ExactMesh& exact) {
    for (unsigned v : kept) {
        double number = -1;
        if (mesh.HasVertexColors(0)) {
            const aiColor4D& c = mesh.mColors[0][v];
            number = c.r + kVertexNumberBase * (c.g + kVertexNumberBase * static_cast<double>(c.b));
        }
        if (!(number >= 0 && number < source_.fileVertices) || number != std::floor(number)) {
            unnumbered_ = true;
            number = 0;
        }
        exact.framePoint.push_back(static_cast<uint32_t>(number));
    }
}

bool Importer::Fit() {
    FitReport& fit = result_.fit;
    if (options_.weld) {
        // Numbered vertices are told apart by their numbers, whichever bake poses them.
        const WeldCounts counts =
            WeldVertices(*result_.model, exact_, corners_, options_.exact || options_.numberFileVertices);
        fit.welded = true;
        fit.verticesBeforeWeld = counts.before;
        fit.verticesAfterWeld = counts.after;
    }
    if (options_.simplify.Wanted()) {
        fit.simplified = true;
        fit.simplify = Simplify(*result_.model, exact_, corners_, options_.simplify);
        if (!fit.simplify.ok) return Fail(fit.simplify.problem);
    }
    if (options_.weld && options_.exact)
        fit.verticesAfterWeld = JoinAcrossSeams(*result_.model, exact_, corners_, result_.cornerTexCoords).after;
    for (size_t m = 0; m < corners_.size(); ++m) SetTriangles(*result_.model->meshes[m], corners_[m]);
    return true;
}

// The host names a vertex's bone in 8 signed bits. The exact bake does not
// need the host's skeleton, so there the host model simply goes without one.
bool Importer::CheckBoneCount() {
    if (static_cast<int64_t>(skeleton_.bones.size()) <= kMaxBones) return true;
    const std::string problem = std::to_string(skeleton_.bones.size()) +
                                " bones; a vertex's bone index can name at most " + std::to_string(kMaxBones);
    if (!options_.exact) return Fail(problem);
    HostLoss(WarningKind::TooManyBones, problem + " (the host model has no skeleton)",
             static_cast<int64_t>(skeleton_.bones.size()));
    skeleton_.bones.clear();
    skeleton_.boneOfNode.assign(skeleton_.boneOfNode.size(), -1);
    skeleton_.rigidBoneOfInstance.assign(skeleton_.rigidBoneOfInstance.size(), -1);
    return true;
}

bool Importer::CheckLimits() {
    int64_t frames = 0;
    for (unsigned i : selectedClips_) frames += result_.clips[i].frameCount;
    if (frames > kSamplingLimit)
        return Fail(std::to_string(frames) + " frames at " + Format("%g", options_.fps) +
                    " per second; more than can be sampled (" + std::to_string(kSamplingLimit) + ")");
    // Checked before baking: the frames are those the clips will give.
    ModelCounts counts = CountModel(*result_.model);
    counts.frames = selectedClips_.empty() ? 1 : frames;
    for (const LimitFinding& finding : CheckFormatLimits(counts, InputRoute::Imported, options_.force)) {
        const FormatLimit limit = finding.limit;
        const bool simplifying = limit == FormatLimit::MeshVertices || limit == FormatLimit::VertexTotal ||
                                 limit == FormatLimit::TriangleTotal;
        if (finding.stops && simplifying && !options_.simplify.fit)
            return Fail(finding.text + "; --fit simplifies the model to what the format holds", ErrorKind::kLimit);
        if (finding.stops) return Fail(finding.text, ErrorKind::kLimit);
        Warn(WarningKind::FormatLimit, finding.text, finding.count);
    }
    return true;
}

void Importer::Bake() {
    std::vector<BakeClip> clips;
    for (unsigned i : selectedClips_)
        clips.push_back({i, result_.clips[i].name, result_.clips[i].frameCount});
    Warnings losses;
    const int64_t frames = BakeKeys(source_, exact_, skeleton_, clips, boneHoldsVertices_, *boneWriter_, losses);
    for (Warning& loss : losses) HostLoss(loss.kind, std::move(loss.text), loss.count, std::move(loss.examples));
    result_.model->totalFrames = static_cast<int32_t>(std::min<int64_t>(frames, INT32_MAX));
}

// The scale is judged by what it makes: every position finite, and a model
// that does not shrink to a point (the animation file's scale, 128 over the
// largest extent, must stay finite).
bool Importer::CheckScaledModel() {
    if (options_.scale == 1.0) return true;
    double largest = 0;
    bool finite = true;
    auto take = [&](HostVec3 p) {
        for (float c : {p.x, p.y, p.z}) {
            finite = finite && std::isfinite(c);
            largest = std::max(largest, std::fabs(static_cast<double>(c)));
        }
    };
    for (const auto& mesh : result_.model->meshes)
        for (const HostVertex& vertex : mesh->vertices) take(vertex.position);
    for (const auto& bone : result_.model->bones) {
        take(bone->record.position);
        for (const HostPositionKey& key : bone->positionKeys) take(key.value);
    }
    if (!finite)
        return Fail("the scale " + Format("%g", options_.scale) + " makes positions too large for 32-bit floats");
    if (largest < 1e-30)
        return Fail("the scale " + Format("%g", options_.scale) + " shrinks the model to a point");
    return true;
}

void Importer::ReadUnit() {
    // FBX files say how many centimetres a unit is; other formats say nothing Assimp passes on.
    const aiMetadata* metadata = source_.scene->mMetaData;
    double factor = 0;
    float single = 0;
    if (metadata && metadata->Get("UnitScaleFactor", factor)) result_.unitCentimetres = factor;
    else if (metadata && metadata->Get("UnitScaleFactor", single)) result_.unitCentimetres = single;
}

std::string Importer::AddTexture(TextureFile file, const std::string& stem) {
    // Unique, within what the host holds, cut keeping its end, where names of
    // one model's images differ. Unique regardless of case: Windows and the
    // engine's packages do not tell Skin.bmp from skin.bmp.
    const std::string suffix = ".bmp";
    for (int n = 1; file.fileName.empty() || textureFiles_.count(ToLower(file.fileName)); ++n) {
        const std::string number = n == 1 ? "" : "_" + std::to_string(n);
        file.fileName = CutNameKeepingEnd(stem, kHostNameLimit - suffix.size() - number.size()) + number + suffix;
    }
    textureFiles_.insert(ToLower(file.fileName));
    result_.textures.push_back(std::move(file));
    return result_.textures.back().fileName;
}

std::string Importer::ConvertedName(const ConvertedTexture& converted, const std::string& uri, unsigned materialIndex,
                                    const std::string& stem, const std::string& sourcePath) {
    if (converted.bmp.empty()) {
        Warn(WarningKind::TextureRefused,
             "texture '" + uri + "' " + converted.error + "; the material's colour stands in", 1, {uri});
        return ColourName(materialIndex);
    }
    TextureFile file;
    file.bytes = converted.bmp;
    file.sourcePath = sourcePath;
    return AddTexture(std::move(file), stem);
}

std::string Importer::EmbeddedName(const aiTexture& texture, size_t index, const std::string& uri,
                                   unsigned materialIndex) {
    auto found = embeddedNames_.find(&texture);
    if (found != embeddedNames_.end()) return found->second;
    // Under the model's name: images inside files are often called "body" or
    // "Image_0", and several models exported into one folder would share them.
    std::string stem = EngineWord(Stem(BaseName(texture.mFilename.C_Str())));
    stem = ModelWord() + "_" + (stem.empty() ? "tex" + std::to_string(index) : stem);
    ConvertedTexture converted;
    if (texture.mHeight == 0) {  // compressed: the file's own bytes
        converted = ConvertTexture(reinterpret_cast<const uint8_t*>(texture.pcData), texture.mWidth, options_.textureSide);
    } else {
        RgbaImage image;
        image.width = static_cast<int>(texture.mWidth);
        image.height = static_cast<int>(texture.mHeight);
        const size_t texels = static_cast<size_t>(texture.mWidth) * texture.mHeight;
        image.pixels.reserve(texels * 4);
        for (size_t t = 0; t < texels; ++t) {
            const aiTexel& texel = texture.pcData[t];
            image.pixels.insert(image.pixels.end(), {texel.r, texel.g, texel.b, texel.a});
        }
        converted = ConvertTexture(image, options_.textureSide);
    }
    return embeddedNames_[&texture] = ConvertedName(converted, uri, materialIndex, stem, "");
}

std::string Importer::ColourName(unsigned materialIndex) {
    auto found = colourNames_.find(materialIndex);
    if (found != colourNames_.end()) return found->second;
    const aiScene& scene = *source_.scene;
    aiColor4D colour(1, 1, 1, 1);
    std::string name = "material" + std::to_string(materialIndex);
    if (materialIndex < scene.mNumMaterials && scene.mMaterials[materialIndex]) {
        const aiMaterial& material = *scene.mMaterials[materialIndex];
        if (material.Get(AI_MATKEY_BASE_COLOR, colour) != AI_SUCCESS) material.Get(AI_MATKEY_COLOR_DIFFUSE, colour);
        if (material.GetName().length) name = EngineWord(material.GetName().C_Str());
    }
    TextureFile file;
    file.bytes = EncodeBmp(ColourTexture(colour.r, colour.g, colour.b));
    return colourNames_[materialIndex] = AddTexture(std::move(file), ModelWord() + "_" + name);
}

std::string Importer::ModelWord() const { return EngineWord(Stem(BaseName(path_))); }

namespace {

// Bounded: a texture that fills memory is no texture.
bool ReadImageFile(const std::filesystem::path& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < 0 || size > (512ll << 20)) return false;
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes.data()), size));
}

}  // namespace

std::string Importer::TextureName(const aiMesh& mesh) {
    const aiScene& scene = *source_.scene;
    aiString path;
    const aiMaterial* material = mesh.mMaterialIndex < scene.mNumMaterials ? scene.mMaterials[mesh.mMaterialIndex] : nullptr;
    if (!material || (material->GetTexture(aiTextureType_DIFFUSE, 0, &path) != AI_SUCCESS &&
                      material->GetTexture(aiTextureType_BASE_COLOR, 0, &path) != AI_SUCCESS) ||
        BaseName(path.C_Str()).empty()) {
        // Coordinates laid out for an image that the file does not name.
        if (material && mesh.HasTextureCoords(0) && untextured_.insert(mesh.mMaterialIndex).second) {
            const std::string name = Printable(material->GetName().C_Str());
            Warn(WarningKind::CoordinatesWithoutImage,
                 "material '" + name +
                     "' has texture coordinates but no image: it comes out in its one colour (give it its image)",
                 1, {name});
        }
        return ColourName(mesh.mMaterialIndex);
    }
    const std::string uri = path.C_Str();
    if (const aiTexture* embedded = scene.GetEmbeddedTexture(path.C_Str())) {
        if (!embedded->pcData || (embedded->mHeight == 0 && embedded->mWidth == 0)) {
            Warn(WarningKind::EmptyTexture,
                 "texture '" + uri + "' is held in the file without any data; the material's colour stands in", 1,
                 {uri});
            return ColourName(mesh.mMaterialIndex);
        }
        size_t index = 0;
        while (index < scene.mNumTextures && scene.mTextures[index] != embedded) ++index;
        return EmbeddedName(*embedded, index, uri, mesh.mMaterialIndex);
    }
    // Looked for where the model says, and by its name alone beside the model
    // (as exporters of models often leave them) or in a folder the user
    // named. Only there: a downloaded model must not take files from the disk.
    const std::string name = BaseName(uri);
    std::string relative = uri;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    namespace fs = std::filesystem;
    const FolderRule rule(path_, options_.textureFolders);
    std::vector<fs::path> candidates;
    const fs::path written(relative);
    for (const fs::path& folder : rule.Folders()) {
        candidates.push_back(written.is_absolute() ? written : folder / written);
        candidates.push_back(folder / name);
    }
    bool outside = false;
    for (const fs::path& candidate : candidates) {
        const FolderRule::Verdict verdict = rule.Judge(candidate);
        outside = outside || verdict.outside;
        if (verdict.real.empty()) continue;
        const fs::path& real = verdict.real;
        auto found = convertedFiles_.find(real.string());
        if (found != convertedFiles_.end()) return found->second;
        std::vector<uint8_t> bytes;
        ConvertedTexture converted;
        if (!ReadImageFile(real, bytes)) converted.error = "cannot be read";
        else converted = ConvertTexture(bytes.data(), bytes.size(), options_.textureSide);
        // A source already named NAME.bmp would be overwritten by its own conversion beside it.
        std::string stem = EngineWord(Stem(name));
        if (ToLower(real.filename().string()) == ToLower(stem + ".bmp")) stem += "_pal";
        return convertedFiles_[real.string()] =
                   ConvertedName(converted, uri, mesh.mMaterialIndex, stem, real.string());
    }
    if (outside) {
        Warn(WarningKind::TextureRefused,
             "texture '" + uri +
                 "' lies outside the model's folder; it is not read (name its folder with --texture-folder to allow "
                 "it), and the material's colour stands in",
             1, {uri});
        return ColourName(mesh.mMaterialIndex);
    }
    Warn(WarningKind::MissingTexture,
         "texture '" + uri + "' not found beside the model (or in --texture-folder); the material's colour stands in",
         1, {uri});
    return ColourName(mesh.mMaterialIndex);
}

namespace {

constexpr uint8_t kOneSided = 0, kTwoSided = 1, kTranslucent = 2, kMasked = 3, kWeapon = 8, kUnlit = 16;

// The type a material gives its triangles, from what glTF files (and the
// formats Assimp maps to the same keys: FBX's opacity and shading model)
// say. What a file does not say stays two-sided, as the plug-in writes it.
uint8_t MaterialTriangleType(const aiMaterial* material) {
    if (!material) return kTwoSided;
    uint8_t type = kTwoSided;
    int twoSided = 1;
    if (material->Get(AI_MATKEY_TWOSIDED, twoSided) == AI_SUCCESS && !twoSided) type = kOneSided;
    aiString alphaMode;
    float opacity = 1;
    if (material->Get(AI_MATKEY_GLTF_ALPHAMODE, alphaMode) == AI_SUCCESS) {
        if (std::string(alphaMode.C_Str()) == "MASK") type = kMasked;
        if (std::string(alphaMode.C_Str()) == "BLEND") type = kTranslucent;
    } else if (material->Get(AI_MATKEY_OPACITY, opacity) == AI_SUCCESS && opacity < 1) {
        type = kTranslucent;
    }
    int shading = 0;
    if (material->Get(AI_MATKEY_SHADING_MODEL, shading) == AI_SUCCESS && shading == aiShadingMode_Unlit)
        type |= kUnlit;
    return type;
}

}  // namespace

// After welding and simplifying, when the triangles are final.
void Importer::SetTriangleTypes() {
    const aiScene& scene = *source_.scene;
    bool weaponTaken = false;
    int64_t weaponTriangles = 0;
    std::string weaponName;
    for (size_t i = 0; i < result_.model->meshes.size(); ++i) {
        const aiMesh& mesh = *scene.mMeshes[meshOfHostMesh_[i]];
        const aiMaterial* material = mesh.mMaterialIndex < scene.mNumMaterials ? scene.mMaterials[mesh.mMaterialIndex] : nullptr;
        const uint8_t type = MaterialTriangleType(material);
        const size_t count = result_.model->meshes[i]->triangles.size();
        const size_t first = result_.triangleTypes.size();
        result_.triangleTypes.insert(result_.triangleTypes.end(), count, type);
        // The one triangle a player mesh holds its weapon by.
        if (material && ToLower(material->GetName().C_Str()) == "weapon" && count > 0) {
            weaponTriangles += static_cast<int64_t>(count);
            weaponName = material->GetName().C_Str();
            if (!weaponTaken) result_.triangleTypes[first] |= kWeapon;
            weaponTaken = true;
        }
    }
    if (weaponTriangles > 1)
        Warn(WarningKind::WeaponTriangles,
             "material '" + weaponName + "' holds " + std::to_string(weaponTriangles) +
                 " triangles; only its first is the weapon triangle, the others are drawn as its type says",
             weaponTriangles - 1, {weaponName});
}

// What the host cannot hold, counted over the whole file.
void Importer::ReportLeftOut() {
    const aiScene& scene = *source_.scene;
    if (!counts_.withoutTriangles.empty())
        Warn(WarningKind::MeshWithoutTriangles,
             std::to_string(counts_.withoutTriangles.size()) + " mesh(es) without triangles left out: " +
                 NameList(counts_.withoutTriangles),
             static_cast<int64_t>(counts_.withoutTriangles.size()), counts_.withoutTriangles);
    const std::string loose = CountList({{counts_.lines, "line(s)"},
                                         {counts_.points, "point(s)"},
                                         {counts_.polygons, "polygon(s) of more than three corners"}});
    if (!loose.empty())
        Warn(WarningKind::LinesAndPoints, loose + " left out; the host holds triangles only",
             counts_.lines + counts_.points + counts_.polygons);
    // The exact bake poses morph targets at their weights; only the host's model lacks them (hostLosses).
    if (counts_.morphedMeshes && !options_.exact)
        Warn(WarningKind::MorphTargets,
             std::to_string(counts_.morphedMeshes) + " mesh(es) have morph targets (" +
                 std::to_string(counts_.morphTargets) + " in all); they export in their base shape",
             counts_.morphTargets, counts_.morphed);
    const std::string scenery = CountList({{scene.mNumCameras, "camera(s)"}, {scene.mNumLights, "light(s)"}});
    if (!scenery.empty())
        Warn(WarningKind::CamerasAndLights, scenery + " left out; the format holds meshes only",
             static_cast<int64_t>(scene.mNumCameras) + scene.mNumLights);
}

ImportResult Importer::Run() {
    if (!CheckOptions()) return std::move(result_);
    if (options_.numberFileVertices && ToLower(std::filesystem::path(path_).extension().string()) != ".obj") {
        Fail("a point cache names the vertices of an OBJ file by their lines; this file is not one");
        return std::move(result_);
    }
    if (Error error = LoadSourceScene(path_, source_, result_.warnings, options_.textureFolders,
                                      options_.numberFileVertices)) {
        result_.error = std::move(error);
        return std::move(result_);
    }
    if (options_.fileRate)
        if (const double rate = StatedFrameRate(*source_.scene); rate > 0) options_.fps = rate;
    if (!ChooseClips()) return std::move(result_);
    Warnings skeletonWarnings;
    BuildSkeleton(source_, AnimatedNodes(), skeleton_, skeletonWarnings);
    // Folding a rest's scale into the vertices only approximates it in the
    // host's model; the exact bake poses the scale itself.
    for (Warning& warning : skeletonWarnings) {
        if (warning.kind == WarningKind::ScaledRest)
            HostLoss(warning.kind, std::move(warning.text), warning.count, std::move(warning.examples));
        else
            Warn(warning.kind, std::move(warning.text), warning.count, std::move(warning.examples));
    }
    if (!CheckBoneCount()) return std::move(result_);
    exact_ = ExtractNodes(source_, options_.scale, options_.fps);
    result_.model.reset(CreateModel());
    boneWriter_ = std::make_unique<HostBoneWriter>(*result_.model, skeleton_, options_.scale);
    boneHoldsVertices_.assign(skeleton_.bones.size(), false);

    UniqueNames meshNames;
    for (size_t i = 0; i < source_.instances.size(); ++i) AddMesh(i, meshNames);
    if (result_.model->meshes.empty()) {
        Fail("the file holds no triangles");
        result_.model.reset();
        return std::move(result_);
    }
    if (unnumbered_) {
        Fail("a vertex came through the reader without its number among the file's vertex lines");
        result_.model.reset();
        return std::move(result_);
    }
    // The plug-in sizes the model by its extent; a model without one would be
    // written at a scale of 0, and show nothing.
    if (selectedClips_.empty() && AllAtOrigin(*result_.model)) {
        Fail("every vertex lies at the origin; the model has no size to export");
        result_.model.reset();
        return std::move(result_);
    }
    if (!Fit() || !CheckLimits()) {
        result_.model.reset();
        return std::move(result_);
    }
    for (unsigned i : selectedClips_)
        AddExactClip(source_, i, timings_[i], exactInstances_, exact_);
    Bake();
    if (!CheckScaledModel()) {
        result_.model.reset();
        return std::move(result_);
    }
    // Points of frames the caller attaches; the weld kept each number's vertices apart.
    if (options_.numberFileVertices) exact_.frames.points = source_.fileVertices;
    result_.exact = std::make_unique<ExactScene>(std::move(exact_));

    for (size_t i = 0; i < result_.model->meshes.size(); ++i) {
        const aiMesh& mesh = *source_.scene->mMeshes[meshOfHostMesh_[i]];
        const aiMaterial* material =
            mesh.mMaterialIndex < source_.scene->mNumMaterials ? source_.scene->mMaterials[mesh.mMaterialIndex] : nullptr;
        AddMaterial(result_.model.get(), material ? material->GetName().C_Str() : "", TextureName(mesh));
    }
    SetTriangleTypes();
    ReadUnit();

    ReportLeftOut();
    if (counts_.skin.multiInfluence)
        HostLoss(WarningKind::InfluencesDropped,
                 std::to_string(counts_.skin.multiInfluence) +
                     " vertices had more than one bone influence; each keeps only its heaviest (largest weight "
                     "dropped: " +
                     Format("%.3g", counts_.skin.largestDropped) + ")",
                 counts_.skin.multiInfluence);
    int64_t targets = 0;
    for (const ExactMesh& mesh : result_.exact->meshes) targets += static_cast<int64_t>(mesh.TargetCount());
    if (targets)
        HostLoss(WarningKind::MorphTargetsDropped, std::to_string(targets) + " morph target(s) left out; the host has none",
                 targets);
    if (counts_.skin.unweighted)
        Warn(WarningKind::UnweightedVertices,
             std::to_string(counts_.skin.unweighted) + " vertices of skinned meshes have no bone weight; they stay put",
             counts_.skin.unweighted);
    return std::move(result_);
}

}  // namespace

ImportResult ImportModel(const std::string& path, const ImportOptions& options) {
    try {
        return Importer(path, options).Run();
    } catch (const std::bad_alloc&) {
        // Assimp turns its own failures to allocate into an error; ours come here.
        ImportResult result;
        result.error = Fault(ErrorKind::kOutOfMemory, path + ": the model needs more memory than this machine grants");
        return result;
    }
}

std::vector<AnimationSequence> ClipSequences(const std::vector<ClipInfo>& clips) {
    std::vector<const ClipInfo*> exported;
    for (const ClipInfo& clip : clips)
        if (clip.startFrame >= 0) exported.push_back(&clip);
    std::sort(exported.begin(), exported.end(),
              [](const ClipInfo* a, const ClipInfo* b) { return a->startFrame < b->startFrame; });
    std::vector<std::string> clipNames;
    for (const ClipInfo* clip : exported) clipNames.push_back(clip->name);
    const std::vector<std::string> names = imp::SequenceNames(clipNames);
    // The timeline's end: clips lie end to end, or where a file's own frames put them.
    int64_t frames = 0;
    for (const ClipInfo* clip : exported) frames = std::max(frames, clip->startFrame + clip->frameCount);
    auto folded = [](std::string name) {
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return name;
    };
    std::set<std::string> taken;
    for (size_t i = 0; i < exported.size(); ++i)
        taken.insert(folded(exported[i]->sequence.empty() ? names[i] : exported[i]->sequence));
    std::vector<AnimationSequence> sequences;
    for (size_t i = 0; i < exported.size(); ++i) {
        std::string name = exported[i]->sequence.empty() ? names[i] : exported[i]->sequence;
        if (folded(name) == "ALL") {
            if (exported[i]->startFrame == 0 && exported[i]->frameCount == frames) continue;
            // The plug-in's own All line spans every frame; a second All
            // makes the script compiler reject the class.
            for (int number = 2; !taken.insert(folded(name = "All_" + std::to_string(number))).second; ++number) {
            }
        }
        sequences.push_back({name, exported[i]->startFrame, exported[i]->frameCount, exported[i]->rate});
    }
    return sequences;
}

}  // namespace hm
