#include "import/import_result_codec.h"

#include <cstring>
#include <memory>
#include <type_traits>

namespace hm {

namespace {

// Changes with any change of the layout below; a mismatch is a damaged result.
constexpr uint32_t kMagic = 0x34524956;  // "VIR4"

class Writer {
public:
    template <typename T>
    void Put(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void Put(const std::string& text) {
        Put(static_cast<uint64_t>(text.size()));
        bytes_ += text;
    }
    template <typename T>
    void PutArray(const std::vector<T>& values) {
        static_assert(std::is_trivially_copyable_v<T>);
        Put(static_cast<uint64_t>(values.size()));
        if (!values.empty()) bytes_.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    }
    std::string Take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool Failed() const { return failed_; }
    bool AtEnd() const { return at_ == bytes_.size(); }

    template <typename T>
    void Get(T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (!Have(sizeof value)) return;
        std::memcpy(&value, bytes_.data() + at_, sizeof value);
        at_ += sizeof value;
    }
    void Get(std::string& text) {
        const uint64_t size = Count(1);
        if (failed_) return;
        text.assign(bytes_.data() + at_, size);
        at_ += size;
    }
    template <typename T>
    void GetArray(std::vector<T>& values) {
        const uint64_t count = Count(sizeof(T));
        if (failed_) return;
        values.resize(count);
        if (count > 0) std::memcpy(values.data(), bytes_.data() + at_, count * sizeof(T));
        at_ += count * sizeof(T);
    }
    // A count of elements of at least elementSize bytes each, which the bytes left can hold.
    uint64_t Count(size_t elementSize) {
        uint64_t count = 0;
        Get(count);
        if (!failed_ && count > (bytes_.size() - at_) / elementSize) failed_ = true;
        return failed_ ? 0 : count;
    }

private:
    bool Have(size_t size) {
        if (failed_ || size > bytes_.size() - at_) failed_ = true;
        return !failed_;
    }
    std::string_view bytes_;
    size_t at_ = 0;
    bool failed_ = false;
};

void PutModel(Writer& out, const hmModel& model) {
    out.Put(model.totalFrames);
    out.Put(model.currentFrame);
    out.Put(static_cast<uint64_t>(model.meshes.size()));
    for (const auto& mesh : model.meshes) {
        out.Put(mesh->name);
        out.PutArray(mesh->vertices);
        out.PutArray(mesh->triangles);
    }
    out.Put(static_cast<uint64_t>(model.materials.size()));
    for (const auto& material : model.materials) {
        out.Put(material->name);
        out.Put(material->diffuseTexture);
    }
    out.Put(static_cast<uint64_t>(model.bones.size()));
    for (const auto& bone : model.bones) {
        out.Put(bone->record);
        out.PutArray(bone->positionKeys);
        out.PutArray(bone->rotationKeys);
    }
}

ModelPtr GetModel(Reader& in) {
    ModelPtr model(CreateModel());
    in.Get(model->totalFrames);
    in.Get(model->currentFrame);
    // The smallest encoding of a mesh, a material and a bone bounds each count.
    for (uint64_t m = 0, meshes = in.Count(24); m < meshes && !in.Failed(); ++m) {
        hmMesh* mesh = AddMesh(model.get(), "");
        in.Get(mesh->name);
        in.GetArray(mesh->vertices);
        in.GetArray(mesh->triangles);
    }
    for (uint64_t i = 0, materials = in.Count(16); i < materials && !in.Failed(); ++i) {
        model->materials.push_back(std::make_unique<hmMaterial>());
        in.Get(model->materials.back()->name);
        in.Get(model->materials.back()->diffuseTexture);
    }
    for (uint64_t b = 0, bones = in.Count(sizeof(HostBone) + 16); b < bones && !in.Failed(); ++b) {
        model->bones.push_back(std::make_unique<HostBoneEntry>());
        HostBoneEntry& bone = *model->bones.back();
        in.Get(bone.record);
        in.GetArray(bone.positionKeys);
        in.GetArray(bone.rotationKeys);
    }
    return model;
}

void PutWarnings(Writer& out, const Warnings& warnings) {
    out.Put(static_cast<uint64_t>(warnings.size()));
    for (const Warning& warning : warnings) {
        out.Put(static_cast<int32_t>(warning.kind));
        out.Put(warning.text);
        out.Put(warning.count);
        out.Put(static_cast<uint64_t>(warning.examples.size()));
        for (const std::string& example : warning.examples) out.Put(example);
    }
}

void GetWarnings(Reader& in, Warnings& warnings) {
    for (uint64_t i = 0, count = in.Count(28); i < count && !in.Failed(); ++i) {
        int32_t kind = 0;
        in.Get(kind);
        Warning& warning = warnings.emplace_back();
        warning.kind = static_cast<WarningKind>(kind);
        in.Get(warning.text);
        in.Get(warning.count);
        for (uint64_t e = 0, examples = in.Count(8); e < examples && !in.Failed(); ++e)
            in.Get(warning.examples.emplace_back());
    }
}

void PutFit(Writer& out, const FitReport& fit) {
    out.Put(fit.welded);
    out.Put(fit.verticesBeforeWeld);
    out.Put(fit.verticesAfterWeld);
    out.Put(fit.simplified);
    const imp::SimplifyResult& s = fit.simplify;
    out.Put(s.ok);
    out.Put(s.problem);
    for (int64_t count : {s.trianglesBefore, s.trianglesAfter, s.verticesBefore, s.verticesAfter}) out.Put(count);
    out.Put(s.error);
    out.Put(s.bordersLocked);
    out.Put(s.topologyKept);
}

void GetFit(Reader& in, FitReport& fit) {
    in.Get(fit.welded);
    in.Get(fit.verticesBeforeWeld);
    in.Get(fit.verticesAfterWeld);
    in.Get(fit.simplified);
    imp::SimplifyResult& s = fit.simplify;
    in.Get(s.ok);
    in.Get(s.problem);
    for (int64_t* count : {&s.trianglesBefore, &s.trianglesAfter, &s.verticesBefore, &s.verticesAfter}) in.Get(*count);
    in.Get(s.error);
    in.Get(s.bordersLocked);
    in.Get(s.topologyKept);
}

// The exact scene is plain arrays; its own check (CheckExactScene) judges
// the indices before anything poses with them.
void PutExact(Writer& out, const imp::ExactScene& scene) {
    out.PutArray(scene.nodeParent);
    out.PutArray(scene.nodeRest);
    out.Put(scene.axes);
    out.Put(scene.scale);
    out.Put(scene.fps);
    out.Put(static_cast<uint64_t>(scene.meshes.size()));
    for (const imp::ExactMesh& mesh : scene.meshes) {
        out.Put(mesh.node);
        out.PutArray(mesh.positions);
        out.PutArray(mesh.jointNodes);
        out.PutArray(mesh.inverseBinds);
        out.PutArray(mesh.influenceStart);
        out.PutArray(mesh.influenceJoint);
        out.PutArray(mesh.influenceWeight);
        out.PutArray(mesh.restWeights);
        out.PutArray(mesh.targetStart);
        out.PutArray(mesh.deltaVertex);
        out.PutArray(mesh.delta);
    }
    out.Put(static_cast<uint64_t>(scene.clips.size()));
    for (const imp::ExactClip& clip : scene.clips) {
        out.Put(clip.ticksPerSecond);
        out.Put(clip.durationTicks);
        out.Put(clip.frameCount);
        out.Put(static_cast<uint64_t>(clip.nodes.size()));
        for (const imp::NodeTrack& track : clip.nodes) {
            out.Put(track.node);
            out.Put(track.restTranslation);
            out.Put(track.restRotation);
            out.Put(track.restScale);
            out.PutArray(track.positions);
            out.PutArray(track.rotations);
            out.PutArray(track.scales);
        }
        out.Put(static_cast<uint64_t>(clip.weights.size()));
        for (const imp::WeightTrack& track : clip.weights) {
            out.Put(track.mesh);
            out.PutArray(track.times);
            out.PutArray(track.weights);
        }
    }
}

std::unique_ptr<imp::ExactScene> GetExact(Reader& in) {
    auto scene = std::make_unique<imp::ExactScene>();
    in.GetArray(scene->nodeParent);
    in.GetArray(scene->nodeRest);
    in.Get(scene->axes);
    in.Get(scene->scale);
    in.Get(scene->fps);
    for (uint64_t m = 0, meshes = in.Count(84); m < meshes && !in.Failed(); ++m) {
        imp::ExactMesh& mesh = scene->meshes.emplace_back();
        in.Get(mesh.node);
        in.GetArray(mesh.positions);
        in.GetArray(mesh.jointNodes);
        in.GetArray(mesh.inverseBinds);
        in.GetArray(mesh.influenceStart);
        in.GetArray(mesh.influenceJoint);
        in.GetArray(mesh.influenceWeight);
        in.GetArray(mesh.restWeights);
        in.GetArray(mesh.targetStart);
        in.GetArray(mesh.deltaVertex);
        in.GetArray(mesh.delta);
    }
    for (uint64_t c = 0, clips = in.Count(40); c < clips && !in.Failed(); ++c) {
        imp::ExactClip& clip = scene->clips.emplace_back();
        in.Get(clip.ticksPerSecond);
        in.Get(clip.durationTicks);
        in.Get(clip.frameCount);
        for (uint64_t t = 0, tracks = in.Count(28); t < tracks && !in.Failed(); ++t) {
            imp::NodeTrack& track = clip.nodes.emplace_back();
            in.Get(track.node);
            in.Get(track.restTranslation);
            in.Get(track.restRotation);
            in.Get(track.restScale);
            in.GetArray(track.positions);
            in.GetArray(track.rotations);
            in.GetArray(track.scales);
        }
        for (uint64_t t = 0, tracks = in.Count(20); t < tracks && !in.Failed(); ++t) {
            imp::WeightTrack& track = clip.weights.emplace_back();
            in.Get(track.mesh);
            in.GetArray(track.times);
            in.GetArray(track.weights);
        }
    }
    return scene;
}

}  // namespace

std::string EncodeImportResult(const ImportResult& result) {
    Writer out;
    out.Put(kMagic);
    out.Put(result.error);
    out.Put(static_cast<uint8_t>(result.errorKind));
    PutWarnings(out, result.warnings);
    PutWarnings(out, result.hostLosses);
    PutFit(out, result.fit);
    out.Put(static_cast<uint64_t>(result.clips.size()));
    for (const ClipInfo& clip : result.clips) {
        out.Put(clip.name);
        out.Put(clip.seconds);
        out.Put(clip.frameCount);
        out.Put(clip.startFrame);
        out.Put(clip.sequence);
    }
    out.Put(static_cast<uint64_t>(result.textures.size()));
    for (const TextureFile& texture : result.textures) {
        out.Put(texture.fileName);
        out.PutArray(texture.bytes);
        out.Put(texture.sourcePath);
    }
    out.PutArray(result.triangleTypes);
    out.Put(result.unitCentimetres);
    out.Put(static_cast<uint8_t>(result.model != nullptr));
    if (result.model) PutModel(out, *result.model);
    out.Put(static_cast<uint8_t>(result.exact != nullptr));
    if (result.exact) PutExact(out, *result.exact);
    return out.Take();
}

bool DecodeImportResult(std::string_view bytes, ImportResult& result, std::string& error) {
    Reader in(bytes);
    uint32_t magic = 0;
    in.Get(magic);
    if (magic != kMagic) {
        error = "not an import result";
        return false;
    }
    ImportResult decoded;
    in.Get(decoded.error);
    uint8_t kind = 0;
    in.Get(kind);
    decoded.errorKind = kind <= static_cast<uint8_t>(ErrorKind::kWriteFailed) ? static_cast<ErrorKind>(kind) : ErrorKind::kBadInput;
    GetWarnings(in, decoded.warnings);
    GetWarnings(in, decoded.hostLosses);
    GetFit(in, decoded.fit);
    for (uint64_t i = 0, clips = in.Count(40); i < clips && !in.Failed(); ++i) {
        ClipInfo& clip = decoded.clips.emplace_back();
        in.Get(clip.name);
        in.Get(clip.seconds);
        in.Get(clip.frameCount);
        in.Get(clip.startFrame);
        in.Get(clip.sequence);
    }
    for (uint64_t i = 0, textures = in.Count(24); i < textures && !in.Failed(); ++i) {
        TextureFile& texture = decoded.textures.emplace_back();
        in.Get(texture.fileName);
        in.GetArray(texture.bytes);
        in.Get(texture.sourcePath);
    }
    in.GetArray(decoded.triangleTypes);
    in.Get(decoded.unitCentimetres);
    uint8_t hasModel = 0;
    in.Get(hasModel);
    if (hasModel) decoded.model = GetModel(in);
    uint8_t hasExact = 0;
    in.Get(hasExact);
    if (hasExact) decoded.exact = GetExact(in);
    if (in.Failed() || !in.AtEnd()) {
        error = "the import result is cut short or damaged";
        return false;
    }
    result = std::move(decoded);
    return true;
}

}  // namespace hm
