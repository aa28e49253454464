// What the exact bake evaluates, taken out of the source file as plain arrays:
// no reader's objects, so it outlives the reader and can cross a process boundary.
#pragma once

#include "bake/affine.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hm::imp {

struct VectorKey {
    double time = 0;  // in the clip's ticks
    Vec3d value;
};

struct RotationKey {
    double time = 0;
    Quat value;
};

// A node's animation in one clip. A kind without keys keeps the node's rest
// value, split as the file's reader splits the node's transform.
struct NodeTrack {
    int node = -1;
    Vec3d restTranslation;
    Quat restRotation;
    Vec3d restScale{1, 1, 1};
    std::vector<VectorKey> positions;
    std::vector<RotationKey> rotations;
    std::vector<VectorKey> scales;
};

// A mesh's morph-target weights in one clip, interpolated linearly between keys.
// A key holds its weights that are not 0 (a mesh of many targets, one per
// frame, would otherwise hold keys × targets numbers, mostly 0): key k sets
// target[i] to weight[i] for i from keyStart[k] to keyStart[k + 1] - 1.
struct WeightTrack {
    int mesh = -1;
    std::vector<double> times;        // ascending, in the clip's ticks
    std::vector<uint32_t> keyStart{0};  // times.size() + 1 entries
    std::vector<uint32_t> target;
    std::vector<double> weight;

    // weights: one per target, the last one of a target counting.
    void AddKey(double time, const std::vector<double>& weights) {
        times.push_back(time);
        for (size_t t = 0; t < weights.size(); ++t)
            if (weights[t] != 0.0) {
                target.push_back(static_cast<uint32_t>(t));
                weight.push_back(weights[t]);
            }
        keyStart.push_back(static_cast<uint32_t>(target.size()));
    }
    // Key k's weights into weights, whose other entries it leaves alone.
    void Scatter(size_t k, std::vector<double>& weights) const {
        for (uint32_t i = keyStart[k]; i < keyStart[k + 1]; ++i) weights[target[i]] = weight[i];
    }
};

struct ExactClip {
    double ticksPerSecond = 25;
    double durationTicks = 0;
    int64_t frameCount = 1;  // on the timeline, both ends included
    std::vector<NodeTrack> nodes;
    std::vector<WeightTrack> weights;
};

// One host mesh, vertex for vertex in the host mesh's order.
struct ExactMesh {
    // Moves the mesh when it has no skin, and the vertices of a skinned mesh
    // that no joint holds.
    int node = -1;
    std::vector<Vec3d> positions;  // as the file holds them

    // Linear-blend skin: vertex v is held by influences influenceStart[v] to
    // influenceStart[v + 1] - 1, whose weights sum to 1. Empty without a skin.
    std::vector<int> jointNodes;
    std::vector<Affine> inverseBinds;  // per joint: model space at bind to the joint's frame
    std::vector<uint32_t> influenceStart;
    std::vector<uint32_t> influenceJoint;
    std::vector<double> influenceWeight;

    // Morph targets, applied before the skin: target t moves vertices
    // deltaVertex[i] by delta[i] for i from targetStart[t] to targetStart[t + 1] - 1.
    std::vector<double> restWeights;  // per target, where no clip animates them
    std::vector<uint32_t> targetStart;
    std::vector<uint32_t> deltaVertex;
    std::vector<Vec3d> delta;

    // Vertex frames (see VertexFrames): the point each vertex takes its
    // position from in every frame, in place of positions. Empty: the mesh
    // keeps its positions.
    std::vector<uint32_t> framePoint;

    size_t TargetCount() const { return restWeights.size(); }
};

// How a file stores a frame's points: x, y, z as 32-bit floats of either byte order.
enum class PointEncoding : uint8_t { kFloatLittle, kFloatBig };

// A model animated point by point: every frame a list of positions, as the
// file holds them (the frames of a vertex-animated format, or a point cache).
// Held in memory, or read from the file a frame at a time, so that a long
// cache never needs all its frames in memory.
struct VertexFrames {
    uint32_t points = 0;      // positions in a frame; 0: the scene has no vertex frames
    uint32_t fileFrames = 0;  // frames the source holds
    std::vector<uint32_t> timeline;  // the source frame of each exported frame
    std::vector<float> positions;    // in memory: fileFrames x points x (x, y, z); empty when streamed
    // Streamed: frame f's points start at offset + f x stride in the file.
    std::string path;
    uint64_t offset = 0;
    uint64_t stride = 0;
    PointEncoding encoding = PointEncoding::kFloatLittle;

    bool Streamed() const { return !path.empty(); }
};

// Frames run over the clips end to end; without clips there is one frame with
// every node at rest. Vertex frames take the clips' place: the frames are
// their timeline, every node at rest.
struct ExactScene {
    std::vector<int> nodeParent;   // parents first; -1 for a root
    std::vector<Affine> nodeRest;  // relative to the parent
    Affine axes;                   // file axes to model space, above the roots
    double scale = 1;              // multiplies every position
    double fps = 30;
    std::vector<ExactMesh> meshes;
    std::vector<ExactClip> clips;  // in timeline order
    VertexFrames frames;
};

}  // namespace hm::imp
