#include "import/model_import.h"

#include "import/anim_sample.h"
#include "import/bone_keys.h"
#include "import/host_names.h"
#include "import/skeleton_build.h"
#include "import/source_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace hm {

namespace {

using namespace imp;

// What the format can hold: 16-bit vertex and polygon counts and frame count.
constexpr int64_t kFormatLimit = 65535;
// Beyond this the keys alone would not fit in memory; not even --force goes there.
constexpr int64_t kSamplingLimit = 1000000;
// 8 bytes a vertex: the most whose frame size 16 bits can state.
constexpr int64_t kFrameSizeVertices = 8191;
// The texture slot of a polygon is its mesh's index in 8 bits.
constexpr size_t kTextureSlots = 256;
// Scale changes smaller than this during a clip are rounding in the file.
constexpr double kStretchTolerance = 1e-3;

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

struct Counts {
    int64_t vertices = 0;
    int64_t triangles = 0;
    int64_t lines = 0;
    int64_t points = 0;
    int64_t polygons = 0;  // more than three corners, which the triangulation should have split
    int64_t multiInfluence = 0;
    int64_t unweighted = 0;
    float largestDropped = 0;
};

// The heaviest influence on each vertex of a skinned mesh among the bones
// that have a host bone: the aiBone index, or -1.
std::vector<int> HeaviestBones(const aiMesh& mesh, const std::vector<bool>& usable, Counts& counts) {
    std::vector<int> heaviest(mesh.mNumVertices, -1);
    std::vector<float> weight(mesh.mNumVertices, 0.0f);
    std::vector<float> dropped(mesh.mNumVertices, 0.0f);
    std::vector<int> influences(mesh.mNumVertices, 0);
    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        const aiBone& bone = *mesh.mBones[b];
        if (!usable[b]) continue;
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
            const aiVertexWeight& entry = bone.mWeights[w];
            if (entry.mVertexId >= mesh.mNumVertices || !Influences(entry.mWeight)) continue;
            const unsigned v = entry.mVertexId;
            ++influences[v];
            if (entry.mWeight > weight[v]) {
                dropped[v] = std::max(dropped[v], weight[v]);
                weight[v] = entry.mWeight;
                heaviest[v] = static_cast<int>(b);
            } else {
                dropped[v] = std::max(dropped[v], entry.mWeight);
            }
        }
    }
    for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
        if (influences[v] > 1) ++counts.multiInfluence;
        if (influences[v] == 0) ++counts.unweighted;
        counts.largestDropped = std::max(counts.largestDropped, dropped[v]);
    }
    return heaviest;
}

Vec3 ToVec(const aiVector3D& v) { return {v.x, v.y, v.z}; }
HostVec3 ToHost(Vec3 v) { return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)}; }
Vec3 Times(Vec3 v, double s) { return {v.x * s, v.y * s, v.z * s}; }

class Importer {
public:
    Importer(const std::string& path, const ImportOptions& options) : path_(path), options_(options) {}
    ImportResult Run();

private:
    bool Fail(const std::string& problem) {
        result_.error = path_ + ": " + problem;
        return false;
    }
    bool CheckOptions();
    bool ChooseClips();
    std::vector<bool> AnimatedNodes() const;
    void AddMesh(size_t instanceIndex, UniqueNames& meshNames);
    bool CheckLimits();
    void Bake();
    void ReportClip(unsigned index, const std::vector<const aiNodeAnim*>& channels, const std::vector<bool>& wanted);
    void ReportLeftOut();
    std::string TextureName(const aiMesh& mesh);
    std::string EmbeddedName(const aiTexture& texture, size_t index);
    void Warn(std::string text) { result_.warnings.push_back(std::move(text)); }

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
    std::set<std::string> textureFiles_;
    std::string oversizedMesh_;  // the first mesh whose corners a 16-bit index cannot reach
    std::vector<std::string> withoutTriangles_;
    int64_t morphedMeshes_ = 0, morphTargets_ = 0;
};

// "2 lines, 1 point and 3 polygons" of the counts that are not 0.
std::string CountList(std::initializer_list<std::pair<int64_t, const char*>> counts) {
    std::vector<std::string> parts;
    for (const auto& [count, what] : counts)
        if (count) parts.push_back(std::to_string(count) + " " + what);
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}

bool AllAtOrigin(const hmModel& model) {
    for (const auto& mesh : model.meshes)
        for (const HostVertex& v : mesh->vertices)
            if (v.position.x != 0 || v.position.y != 0 || v.position.z != 0) return false;
    return true;
}

// "'a', 'b', 'c', ..." with at most five names.
std::string NameList(const std::vector<std::string>& names) {
    std::string list;
    for (size_t i = 0; i < names.size() && i < 5; ++i) list += (i ? ", '" : "'") + names[i] + "'";
    if (names.size() > 5) list += ", ...";
    return list;
}

bool Importer::CheckOptions() {
    if (!std::isfinite(options_.scale) || !(options_.scale > 0))
        return Fail("the scale must be a finite number above 0, not " + Format("%g", options_.scale));
    if (!std::isfinite(options_.fps) || options_.fps < 0.001 || options_.fps > 100000)
        return Fail("the frame rate must lie between 0.001 and 100000, not " + Format("%g", options_.fps));
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
        result_.clips.push_back(info);
    }
    if (options_.clip.empty()) {
        for (unsigned i = 0; i < scene.mNumAnimations; ++i) selectedClips_.push_back(i);
    } else {
        for (unsigned i = 0; i < result_.clips.size() && selectedClips_.empty(); ++i)
            if (result_.clips[i].name == options_.clip) selectedClips_.push_back(i);
        if (selectedClips_.empty()) {
            std::string known;
            for (const ClipInfo& clip : result_.clips) known += (known.empty() ? "'" : ", '") + clip.name + "'";
            return Fail("no clip named '" + options_.clip + "' (" +
                        (known.empty() ? std::string("the model has no animation") : "its clips: " + known) + ")");
        }
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
        withoutTriangles_.push_back(wanted);
        return;
    }
    if (mesh.mNumAnimMeshes) {
        ++morphedMeshes_;
        morphTargets_ += mesh.mNumAnimMeshes;
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

    if (kept.size() > 65536 && oversizedMesh_.empty()) oversizedMesh_ = wanted + "' has " + std::to_string(kept.size());
    hmMesh* out = hm::AddMesh(result_.model.get(), meshNames.Make(wanted, "mesh" + std::to_string(instanceIndex)));
    meshOfHostMesh_.push_back(instance.mesh);

    std::vector<int> boneOf(mesh.mNumBones, -1);  // host bone of each of the mesh's bones
    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        const int boneNode = BoneNode(source_, instance.mesh, b);
        if (boneNode >= 0) boneOf[b] = skeleton_.boneOfNode[static_cast<size_t>(boneNode)];
    }
    std::vector<bool> usable(mesh.mNumBones);
    for (unsigned b = 0; b < mesh.mNumBones; ++b) usable[b] = boneOf[b] >= 0;
    const std::vector<int> heaviest = mesh.mNumBones ? HeaviestBones(mesh, usable, counts_) : std::vector<int>();
    const int rigidBone = skeleton_.rigidBoneOfInstance[instanceIndex];
    const auto& rebuilt = boneWriter_->RebuiltRest();
    const bool hasUv = mesh.HasTextureCoords(0);
    const Affine& placement = skeleton_.placementOfInstance[instanceIndex];
    for (unsigned v : kept) {
        const Vec3 position = ToVec(mesh.mVertices[v]);
        int bone = -1;
        Vec3 local;  // in the bone's rest frame, scaled
        if (rigidBone >= 0) {
            bone = rigidBone;
            local = Times(Apply(skeleton_.bones[static_cast<size_t>(bone)].stretch, position), options_.scale);
        } else if (!heaviest.empty() && heaviest[v] >= 0) {
            const aiBone& source = *mesh.mBones[heaviest[v]];
            bone = boneOf[static_cast<size_t>(heaviest[v])];
            const Vec3 inBone = Apply(ToAffine(source.mOffsetMatrix), position);
            local = Times(Apply(skeleton_.bones[static_cast<size_t>(bone)].stretch, inBone), options_.scale);
        }
        // The plug-in moves a bound vertex into its bone's frame with the rest
        // it rebuilds; placing it with the same rest makes that exact.
        const Vec3 placed = bone >= 0 ? Apply(rebuilt[static_cast<size_t>(bone)], local)
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
    for (const aiFace* face : triangles) {
        hmTriangle triangle;
        for (unsigned k = 0; k < 3; ++k)
            triangle.corners[k] = static_cast<uint16_t>(newIndex[face->mIndices[flip ? 2 - k : k]]);
        out->triangles.push_back(triangle);
    }
    counts_.vertices += static_cast<int64_t>(kept.size());
    counts_.triangles += static_cast<int64_t>(triangles.size());
}

bool Importer::CheckLimits() {
    // Not even --force helps here: the host's triangle corners are 16-bit.
    if (!oversizedMesh_.empty()) return Fail("mesh '" + oversizedMesh_ + " vertices; a triangle corner can name at most 65536");
    int64_t frames = 0;
    for (unsigned i : selectedClips_) frames += result_.clips[i].frameCount;
    if (frames > kSamplingLimit)
        return Fail(std::to_string(frames) + " frames at " + Format("%g", options_.fps) +
                    " per second; more than can be sampled (" + std::to_string(kSamplingLimit) + ")");
    struct Limit {
        const char* what;
        int64_t count;
    };
    for (const Limit& limit : {Limit{"vertices", counts_.vertices}, Limit{"triangles", counts_.triangles},
                               Limit{"frames", frames}}) {
        if (limit.count <= kFormatLimit) continue;
        const std::string text = std::to_string(limit.count) + " " + limit.what +
                                 " in all; the format holds at most " + std::to_string(kFormatLimit);
        if (!options_.force) return Fail(text + " (--force exports anyway)");
        Warn(text + "; going on as asked, the counts wrap in the exported files");
    }
    // The animation file's header states a frame's size in 16 bits; past it
    // the engine steps through the frames wrongly.
    if (counts_.vertices > kFrameSizeVertices && counts_.vertices <= kFormatLimit) {
        const std::string text = std::to_string(counts_.vertices) + " vertices; a frame of the animation file holds at most " +
                                 std::to_string(kFrameSizeVertices);
        if (!options_.force) return Fail(text + " (--force exports anyway)");
        Warn(text + "; going on as asked, the frame size wraps in the exported files");
    }
    if (result_.model->meshes.size() > kTextureSlots)
        Warn(std::to_string(result_.model->meshes.size()) + " meshes; a polygon's texture slot holds at most " +
             std::to_string(kTextureSlots) + ", so later meshes show the textures of earlier ones");
    return true;
}

void Importer::Bake() {
    hmModel& model = *result_.model;
    if (selectedClips_.empty()) {
        // One frame showing the model as its nodes stand, which is its rest
        // unless the file's nodes hold a pose of their own.
        model.totalFrames = 1;
        std::vector<Affine> pose;
        bool posed = false;
        for (const SkeletonBone& bone : skeleton_.bones) {
            pose.push_back(SplitRigid(source_.nodes[static_cast<size_t>(bone.node)].global).rigid);
            posed = posed || MaxDifference(pose.back().m, bone.rest.m) > 1e-6 ||
                    std::fabs(pose.back().t.x - bone.rest.t.x) + std::fabs(pose.back().t.y - bone.rest.t.y) +
                            std::fabs(pose.back().t.z - bone.rest.t.z) > 1e-6 * (1 + std::fabs(bone.rest.t.x) + std::fabs(bone.rest.t.y) + std::fabs(bone.rest.t.z));
        }
        if (posed) boneWriter_->AddKeys(pose, 0.0f);
        return;
    }
    std::vector<bool> wanted(source_.nodes.size(), false);
    for (const SkeletonBone& bone : skeleton_.bones)
        for (int n = bone.node; n >= 0 && !wanted[static_cast<size_t>(n)]; n = source_.nodes[static_cast<size_t>(n)].parent)
            wanted[static_cast<size_t>(n)] = true;
    std::vector<Affine> globals;
    std::vector<Affine> pose(skeleton_.bones.size());
    int64_t time = 0;
    for (unsigned i : selectedClips_) {
        const auto channels = ChannelsByNode(source_, i);
        ReportClip(i, channels, wanted);
        double largestStretch = 0;
        std::string stretchedBone;
        std::set<size_t> stretched;
        for (int64_t f = 0; f < result_.clips[i].frameCount; ++f, ++time) {
            SampleGlobals(source_, channels, timings_[i], options_.fps, f, wanted, globals);
            for (size_t b = 0; b < skeleton_.bones.size(); ++b) {
                const RigidSplit split = SplitRigid(globals[static_cast<size_t>(skeleton_.bones[b].node)]);
                pose[b] = split.rigid;
                const double change = MaxDifference(split.stretch, skeleton_.bones[b].stretch);
                if (boneHoldsVertices_[b] && change > kStretchTolerance) stretched.insert(b);
                if (boneHoldsVertices_[b] && change > largestStretch) {
                    largestStretch = change;
                    stretchedBone = skeleton_.bones[b].name;
                }
            }
            boneWriter_->AddKeys(pose, static_cast<float>(time));
        }
        if (largestStretch > kStretchTolerance)
            Warn("clip '" + result_.clips[i].name + "' scales " + std::to_string(stretched.size()) +
                 " bone(s) away from their rest ('" + stretchedBone + "' by up to " + Format("%.4g", largestStretch) +
                 "); the host's bones do not scale, so their vertices keep their rest size");
    }
    model.totalFrames = static_cast<int32_t>(std::min<int64_t>(time, INT32_MAX));
}

// What a clip holds that the export leaves out: channels for no node, morph
// and mesh animation, and a clip that moves nothing the model has.
void Importer::ReportClip(unsigned index, const std::vector<const aiNodeAnim*>& channels, const std::vector<bool>& wanted) {
    const aiAnimation& clip = *source_.scene->mAnimations[index];
    const std::string name = "clip '" + result_.clips[index].name + "'";
    int64_t unbound = 0;
    for (int node : source_.bindings.channelNodes[index])
        if (node < 0) ++unbound;
    if (unbound) Warn(name + ": " + std::to_string(unbound) + " channel(s) name no node of the file; left out");
    if (clip.mNumMorphMeshChannels)
        Warn(name + " animates the morph targets of " + std::to_string(clip.mNumMorphMeshChannels) +
             " mesh(es); that motion is left out");
    if (clip.mNumMeshChannels)
        Warn(name + " swaps the meshes of " + std::to_string(clip.mNumMeshChannels) + " node(s); that motion is left out");
    bool movesBone = false;
    for (size_t n = 0; n < channels.size() && !movesBone; ++n) movesBone = channels[n] && wanted[n];
    if (!movesBone)
        Warn(name + " moves no bone of the model; its " + std::to_string(result_.clips[index].frameCount) +
             " frame(s) show it at rest");
}

std::string Importer::EmbeddedName(const aiTexture& texture, size_t index) {
    auto found = embeddedNames_.find(&texture);
    if (found != embeddedNames_.end()) return found->second;
    std::string stem = Stem(BaseName(texture.mFilename.C_Str()));
    if (stem.empty()) stem = Stem(BaseName(path_)) + "_tex" + std::to_string(index);
    EmbeddedTexture file;
    std::string extension;
    if (texture.mHeight == 0) {  // compressed: the file's own bytes, format named by the hint
        extension = texture.achFormatHint[0] ? std::string(texture.achFormatHint) : "bin";
        const auto* bytes = reinterpret_cast<const uint8_t*>(texture.pcData);
        file.bytes.assign(bytes, bytes + texture.mWidth);
    } else {  // raw BGRA texels: written as an uncompressed TGA, top row first
        extension = "tga";
        const uint8_t header[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    static_cast<uint8_t>(texture.mWidth), static_cast<uint8_t>(texture.mWidth >> 8),
                                    static_cast<uint8_t>(texture.mHeight), static_cast<uint8_t>(texture.mHeight >> 8),
                                    32, 0x28};
        file.bytes.assign(header, header + sizeof header);
        const size_t texels = static_cast<size_t>(texture.mWidth) * texture.mHeight;
        for (size_t t = 0; t < texels; ++t) {
            const aiTexel& texel = texture.pcData[t];
            file.bytes.insert(file.bytes.end(), {texel.b, texel.g, texel.r, texel.a});
        }
    }
    // Unique, with the extension kept at the end.
    const std::string suffix = "." + CutName(extension, 8);
    for (int n = 1; file.fileName.empty() || textureFiles_.count(file.fileName); ++n) {
        const std::string number = n == 1 ? "" : "_" + std::to_string(n);
        file.fileName = CutName(stem, kHostNameLimit - suffix.size() - number.size()) + number + suffix;
    }
    textureFiles_.insert(file.fileName);
    embeddedNames_[&texture] = file.fileName;
    result_.textures.push_back(std::move(file));
    return result_.textures.back().fileName;
}

std::string Importer::TextureName(const aiMesh& mesh) {
    const aiScene& scene = *source_.scene;
    if (mesh.mMaterialIndex >= scene.mNumMaterials || !scene.mMaterials[mesh.mMaterialIndex]) return "";
    const aiMaterial& material = *scene.mMaterials[mesh.mMaterialIndex];
    aiString path;
    if (material.GetTexture(aiTextureType_DIFFUSE, 0, &path) != AI_SUCCESS &&
        material.GetTexture(aiTextureType_BASE_COLOR, 0, &path) != AI_SUCCESS)
        return "";
    if (const aiTexture* embedded = scene.GetEmbeddedTexture(path.C_Str())) {
        if (!embedded->pcData || (embedded->mHeight == 0 && embedded->mWidth == 0)) {
            Warn("texture '" + std::string(path.C_Str()) + "' is held in the file without any data; left out");
            return "";
        }
        size_t index = 0;
        while (index < scene.mNumTextures && scene.mTextures[index] != embedded) ++index;
        return EmbeddedName(*embedded, index);
    }
    const std::string name = BaseName(path.C_Str());
    const std::string cut = CutFileName(name);
    if (cut != name) Warn("texture name '" + name + "' cut to '" + cut + "' (the host holds 31 bytes)");
    return cut;
}

void Importer::ReportLeftOut() {
    const aiScene& scene = *source_.scene;
    if (!withoutTriangles_.empty())
        Warn(std::to_string(withoutTriangles_.size()) + " mesh(es) without triangles left out: " + NameList(withoutTriangles_));
    const std::string loose = CountList({{counts_.lines, "line(s)"},
                                         {counts_.points, "point(s)"},
                                         {counts_.polygons, "polygon(s) of more than three corners"}});
    if (!loose.empty()) Warn(loose + " left out; the host holds triangles only");
    if (morphedMeshes_)
        Warn(std::to_string(morphedMeshes_) + " mesh(es) have morph targets (" + std::to_string(morphTargets_) +
             " in all); they export in their base shape");
    const std::string scenery = CountList({{scene.mNumCameras, "camera(s)"}, {scene.mNumLights, "light(s)"}});
    if (!scenery.empty()) Warn(scenery + " left out; the format holds meshes only");
}

ImportResult Importer::Run() {
    if (!CheckOptions()) return std::move(result_);
    std::string problem;
    if (!LoadSourceScene(path_, source_, result_.warnings, problem)) {
        result_.error = problem;
        return std::move(result_);
    }
    if (!ChooseClips()) return std::move(result_);
    if (!BuildSkeleton(source_, AnimatedNodes(), skeleton_, result_.warnings, problem)) {
        Fail(problem);
        return std::move(result_);
    }
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
    // The plug-in sizes the model by its extent; a model without one would be
    // written at a scale of 0, and show nothing.
    if (selectedClips_.empty() && AllAtOrigin(*result_.model)) {
        Fail("every vertex lies at the origin; the model has no size to export");
        result_.model.reset();
        return std::move(result_);
    }
    if (!CheckLimits()) {
        result_.model.reset();
        return std::move(result_);
    }
    Bake();

    std::vector<std::string> untextured;
    for (size_t i = 0; i < result_.model->meshes.size(); ++i) {
        const aiMesh& mesh = *source_.scene->mMeshes[meshOfHostMesh_[i]];
        const aiMaterial* material =
            mesh.mMaterialIndex < source_.scene->mNumMaterials ? source_.scene->mMaterials[mesh.mMaterialIndex] : nullptr;
        const std::string texture = TextureName(mesh);
        if (texture.empty()) untextured.push_back(result_.model->meshes[i]->name);
        AddMaterial(result_.model.get(), material ? material->GetName().C_Str() : "", texture);
    }

    ReportLeftOut();
    if (counts_.multiInfluence)
        Warn(std::to_string(counts_.multiInfluence) +
             " vertices had more than one bone influence; each keeps only its heaviest (largest weight dropped: " +
             Format("%.3g", counts_.largestDropped) + ")");
    if (counts_.unweighted)
        Warn(std::to_string(counts_.unweighted) + " vertices of skinned meshes have no bone weight; they stay put");
    if (!untextured.empty())
        Warn(std::to_string(untextured.size()) + " mesh(es) without a diffuse texture: " + NameList(untextured));
    return std::move(result_);
}

}  // namespace

ImportResult ImportModel(const std::string& path, const ImportOptions& options) {
    try {
        return Importer(path, options).Run();
    } catch (const std::bad_alloc&) {
        // Assimp turns its own failures to allocate into an error; ours come here.
        ImportResult result;
        result.error = path + ": the model needs more memory than this machine grants";
        return result;
    }
}

std::string SequenceLines(const std::vector<ClipInfo>& clips, const std::string& meshName) {
    std::string lines;
    imp::UniqueNames sequences;
    for (const ClipInfo& clip : clips) {
        if (clip.startFrame < 0) continue;
        // The script compiler reads a sequence name as one word, and each names one sequence.
        std::string sequence = clip.name;
        for (char& c : sequence)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
        sequence = sequences.Make(sequence, "clip");
        lines += "#exec MESH SEQUENCE MESH=" + meshName + " SEQ=" + sequence +
                 " STARTFRAME=" + std::to_string(clip.startFrame) + " NUMFRAMES=" + std::to_string(clip.frameCount) + "\n";
    }
    return lines;
}

bool WriteEmbeddedTextures(const std::vector<EmbeddedTexture>& textures, const std::string& directory,
                           std::string& error) {
    for (const EmbeddedTexture& texture : textures) {
        const std::filesystem::path target = std::filesystem::path(directory.empty() ? "." : directory) / texture.fileName;
        const std::filesystem::path temporary = target.string() + ".tmp";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(texture.bytes.data()), static_cast<std::streamsize>(texture.bytes.size()));
            out.close();
            if (!out) {
                std::error_code ignored;
                std::filesystem::remove(temporary, ignored);
                error = target.string() + ": cannot be written";
                return false;
            }
        }
        std::error_code code;
        std::filesystem::rename(temporary, target, code);
        if (code) {
            std::filesystem::remove(temporary, code);
            error = target.string() + ": cannot be written (" + code.message() + ")";
            return false;
        }
    }
    return true;
}

}  // namespace hm
