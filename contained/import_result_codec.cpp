#include "contained/import_result_codec.h"

#include "contained/binary_form.h"

// Each struct of the result is described once, by the fields it carries; the
// same description writes and reads it. Each is bound whole, so a field added
// to a struct and not carried here does not compile. Trivially copyable
// records (vertices, bone records, keys, vectors, transforms) go as their bytes.

template <typename Archive>
void Fields(Archive& a, hmMesh& mesh) {
    auto& [name, vertices, triangles] = mesh;
    a(name, vertices, triangles);
}

template <typename Archive>
void Fields(Archive& a, hmMaterial& material) {
    auto& [name, diffuseTexture] = material;
    a(name, diffuseTexture);
}

template <typename Archive>
void Fields(Archive& a, HostBoneEntry& bone) {
    auto& [record, positionKeys, rotationKeys] = bone;
    a(record, positionKeys, rotationKeys);
}

// The release callback and the export extension belong to the process that set them.
template <typename Archive>
void Fields(Archive& a, hmModel& model) {
    auto& [totalFrames, currentFrame, meshes, materials, bones, onDestroy, exportExtension] = model;
    a(totalFrames, currentFrame, meshes, materials, bones);
}

namespace hm {

namespace imp {

template <typename Archive>
void Fields(Archive& a, NodeTrack& track) {
    auto& [node, restTranslation, restRotation, restScale, positions, rotations, scales] = track;
    a(node, restTranslation, restRotation, restScale, positions, rotations, scales);
}

template <typename Archive>
void Fields(Archive& a, WeightTrack& track) {
    auto& [mesh, times, keyStart, target, weight] = track;
    a(mesh, times, keyStart, target, weight);
}

template <typename Archive>
void Fields(Archive& a, ExactClip& clip) {
    auto& [ticksPerSecond, durationTicks, frameCount, nodes, weights] = clip;
    a(ticksPerSecond, durationTicks, frameCount, nodes, weights);
}

// The exact scene is plain arrays; its own check (CheckExactScene) judges
// the indices before anything poses with them.
template <typename Archive>
void Fields(Archive& a, ExactMesh& mesh) {
    auto& [node, positions, jointNodes, inverseBinds, influenceStart, influenceJoint, influenceWeight, restWeights,
           targetStart, deltaVertex, delta, framePoint] = mesh;
    a(node, positions, jointNodes, inverseBinds, influenceStart, influenceJoint, influenceWeight, restWeights,
      targetStart, deltaVertex, delta, framePoint);
}

template <typename Archive>
void Fields(Archive& a, VertexFrames& frames) {
    auto& [points, fileFrames, timeline, positions, path, offset, stride, encoding] = frames;
    a(points, fileFrames, timeline, positions, path, offset, stride, encoding);
}

template <typename Archive>
void Fields(Archive& a, ExactScene& scene) {
    auto& [nodeParent, nodeRest, axes, scale, fps, meshes, clips, frames] = scene;
    a(nodeParent, nodeRest, axes, scale, fps, meshes, clips, frames);
}

template <typename Archive>
void Fields(Archive& a, SimplifyResult& result) {
    auto& [ok, problem, trianglesBefore, trianglesAfter, verticesBefore, verticesAfter, error, bordersLocked,
           topologyKept] = result;
    a(ok, problem, trianglesBefore, trianglesAfter, verticesBefore, verticesAfter, error, bordersLocked, topologyKept);
}

}  // namespace imp

template <typename Archive>
void Fields(Archive& a, Warning& warning) {
    auto& [kind, text, count, examples] = warning;
    a(kind, text, count, examples);
}

template <typename Archive>
void Fields(Archive& a, FitReport& fit) {
    auto& [welded, verticesBeforeWeld, verticesAfterWeld, simplified, simplify] = fit;
    a(welded, verticesBeforeWeld, verticesAfterWeld, simplified, simplify);
}

template <typename Archive>
void Fields(Archive& a, ClipInfo& clip) {
    auto& [name, seconds, frameCount, startFrame, sequence, rate] = clip;
    a(name, seconds, frameCount, startFrame, sequence, rate);
}

template <typename Archive>
void Fields(Archive& a, TextureFile& texture) {
    auto& [fileName, bytes, sourcePath] = texture;
    a(fileName, bytes, sourcePath);
}

// The message goes before the kind, as the first versions had it.
template <typename Archive>
void Fields(Archive& a, ImportResult& result) {
    auto& [model, error, warnings, clips, textures, triangleTypes, cornerTexCoords, unitCentimetres, exact, hostLosses, fit] = result;
    a(error.message, error.kind, warnings, hostLosses, fit, clips, textures, triangleTypes, cornerTexCoords, unitCentimetres, model,
      exact);
}

namespace {

constexpr uint32_t kMagic = 0x00524956;  // "VIR"
// Both ends are one build of this program; the version still turns bytes of
// another build (a stale child, a damaged file) into a refusal, not a misreading.
constexpr uint32_t kVersion = 11;

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
    auto& [scale, fps, fileRate, clips, force, exact, weld, simplify, textureSide, textureFolders, numberFileVertices] = options;
    a(scale, fps, fileRate, clips, force, exact, weld, simplify, textureSide, textureFolders, numberFileVertices);
}

namespace {
constexpr uint32_t kRequestMagic = 0x51524956;  // "VIRQ"
constexpr uint32_t kRequestVersion = 3;
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
