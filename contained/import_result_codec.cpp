#include "contained/import_result_codec.h"

#include "contained/binary_form.h"

// Each struct of the result is described once, by the fields it carries; the
// same description writes and reads it. Trivially copyable records (vertices,
// bone records, keys, vectors, transforms) go as their bytes.

template <typename Archive>
void Fields(Archive& a, hmMesh& mesh) {
    a(mesh.name, mesh.vertices, mesh.triangles);
}

template <typename Archive>
void Fields(Archive& a, hmMaterial& material) {
    a(material.name, material.diffuseTexture);
}

template <typename Archive>
void Fields(Archive& a, HostBoneEntry& bone) {
    a(bone.record, bone.positionKeys, bone.rotationKeys);
}

template <typename Archive>
void Fields(Archive& a, hmModel& model) {
    a(model.totalFrames, model.currentFrame, model.meshes, model.materials, model.bones);
}

namespace hm {

namespace imp {

template <typename Archive>
void Fields(Archive& a, NodeTrack& track) {
    a(track.node, track.restTranslation, track.restRotation, track.restScale, track.positions, track.rotations,
      track.scales);
}

template <typename Archive>
void Fields(Archive& a, WeightTrack& track) {
    a(track.mesh, track.times, track.keyStart, track.target, track.weight);
}

template <typename Archive>
void Fields(Archive& a, ExactClip& clip) {
    a(clip.ticksPerSecond, clip.durationTicks, clip.frameCount, clip.nodes, clip.weights);
}

// The exact scene is plain arrays; its own check (CheckExactScene) judges
// the indices before anything poses with them.
template <typename Archive>
void Fields(Archive& a, ExactMesh& mesh) {
    a(mesh.node, mesh.positions, mesh.jointNodes, mesh.inverseBinds, mesh.influenceStart, mesh.influenceJoint,
      mesh.influenceWeight, mesh.restWeights, mesh.targetStart, mesh.deltaVertex, mesh.delta);
}

template <typename Archive>
void Fields(Archive& a, ExactScene& scene) {
    a(scene.nodeParent, scene.nodeRest, scene.axes, scene.scale, scene.fps, scene.meshes, scene.clips);
}

template <typename Archive>
void Fields(Archive& a, SimplifyResult& s) {
    a(s.ok, s.problem, s.trianglesBefore, s.trianglesAfter, s.verticesBefore, s.verticesAfter, s.error,
      s.bordersLocked, s.topologyKept);
}

}  // namespace imp

template <typename Archive>
void Fields(Archive& a, Warning& warning) {
    a(warning.kind, warning.text, warning.count, warning.examples);
}

template <typename Archive>
void Fields(Archive& a, FitReport& fit) {
    a(fit.welded, fit.verticesBeforeWeld, fit.verticesAfterWeld, fit.simplified, fit.simplify);
}

template <typename Archive>
void Fields(Archive& a, ClipInfo& clip) {
    a(clip.name, clip.seconds, clip.frameCount, clip.startFrame, clip.sequence);
}

template <typename Archive>
void Fields(Archive& a, TextureFile& texture) {
    a(texture.fileName, texture.bytes, texture.sourcePath);
}

template <typename Archive>
void Fields(Archive& a, ImportResult& result) {
    a(result.error.message, result.error.kind, result.warnings, result.hostLosses, result.fit, result.clips,
      result.textures, result.triangleTypes, result.unitCentimetres, result.model, result.exact);
}

namespace {

constexpr uint32_t kMagic = 0x00524956;  // "VIR"
// Changes with any change of a description above: a result of another
// version is refused rather than misread.
constexpr uint32_t kVersion = 8;

}  // namespace

std::string EncodeImportResult(const ImportResult& result) {
    binary::Writer out;
    out(kMagic, kVersion, result);
    return out.Take();
}

DecodedImportResult DecodeImportResult(std::string_view bytes) {
    binary::Reader in(bytes);
    uint32_t magic = 0, version = 0;
    in(magic, version);
    DecodedImportResult decoded;
    if (in.Failed() || magic != kMagic) {
        decoded.problem = "not an import result";
        return decoded;
    }
    if (version != kVersion) {
        decoded.problem = "an import result of version " + std::to_string(version) + "; this program reads version " +
                          std::to_string(kVersion);
        return decoded;
    }
    in(decoded.result);
    if (in.Failed() || !in.AtEnd() || decoded.result.error.kind > ErrorKind::kWriteFailed) {
        decoded.result = ImportResult();
        decoded.problem = "the import result is cut short or damaged";
    }
    return decoded;
}

}  // namespace hm

namespace hm {

// Bound whole: a field added to the options and not carried here does not compile.
template <typename Archive>
void Fields(Archive& a, ImportOptions& options) {
    auto& [scale, fps, clips, force, exact, weld, simplify, textureSide, textureFolders] = options;
    a(scale, fps, clips, force, exact, weld, simplify, textureSide, textureFolders);
}

namespace {
constexpr uint32_t kRequestMagic = 0x51524956;  // "VIRQ"
constexpr uint32_t kRequestVersion = 2;
}  // namespace

std::string EncodeImportRequest(const std::string& path, const ImportOptions& options) {
    binary::Writer out;
    out(kRequestMagic, kRequestVersion, path, options);
    return out.Take();
}

bool DecodeImportRequest(std::string_view bytes, std::string& path, ImportOptions& options) {
    binary::Reader in(bytes);
    uint32_t magic = 0, version = 0;
    in(magic, version, path, options);
    return magic == kRequestMagic && version == kRequestVersion && !in.Failed() && in.AtEnd();
}

}  // namespace hm
