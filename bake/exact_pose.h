// The source scene posed at a frame in double precision, as its format defines
// it: node animation, morph targets, then linear-blend skins with every influence.
#pragma once

#include "export/pose_source.h"
#include "bake/exact_scene.h"
#include "bake/vertex_frames.h"
#include "host/error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hm::imp {

// Whether every index and count in the scene is consistent (nodes, joints,
// influences, targets, tracks), so that evaluating it reads only what it
// holds. Scenes made by the importer always are; one that arrives from
// elsewhere (another process) is checked first. Otherwise kBadInput, naming
// the first problem (not the file, which the scene does not know).
Error CheckExactScene(const ExactScene& scene);

// A track's local transform at a time in ticks: positions and scales
// interpolated linearly, rotations along the shortest arc, held at the ends.
Affine SampleTrack(const NodeTrack& track, double ticks);

// Where each frame of the timeline falls: its clip and its time in that clip's ticks.
struct ClipTime {
    int clip = -1;  // -1: no clips, every node at rest
    double ticks = 0;
};
ClipTime FrameTime(const ExactScene& scene, int64_t frame);

// The frames of the timeline: the clips' frames end to end, the vertex
// frames' timeline, or 1 without either.
int64_t FrameCount(const ExactScene& scene);

// Model-space transforms (before scale) of every node at a moment. Nodes
// without a track in the clip keep their rest.
class NodePose {
public:
    explicit NodePose(const ExactScene& scene);
    void Evaluate(ClipTime time);
    const std::vector<Affine>& Globals() const { return globals_; }

    // Where a track's keys were found last, for each of its positions,
    // rotations and scales: frames come mostly in order, so the next time
    // lies a key or two on.
    struct Cursor {
        size_t next[3] = {};
        bool ordered[3] = {};  // no time goes down or is NaN: any search finds the same key
    };

private:
    const ExactScene& scene_;
    std::vector<std::vector<int>> trackOfNode_;  // per clip, per node: track index or -1
    std::vector<std::vector<Cursor>> cursors_;   // per clip, per track
    std::vector<Affine> globals_;
};

// An affine transform by columns, each padded to four, so that one vector
// operation works on the three rows of a column at once: c[k][r] is m[r][k]
// for k < 3, and c[3][r] is t[r].
struct alignas(32) AffineColumns {
    double c[4][4] = {};
};

// Every vertex of every mesh posed at a frame. Memory does not grow with the
// frame count (vertex frames streamed from a file are read a frame at a
// time); a frame costs time in proportion to the vertices times their
// influences, plus the deltas of the targets whose weight is not 0. As the
// animation writer's source, it gives each position rounded once, from
// double to float, and the frame count of the timeline (which the format's
// limits keep far below 2^31).
class ExactPose final : public PoseSource {
public:
    explicit ExactPose(const ExactScene& scene);

    int32_t FrameCount() const override { return frameCount_; }
    void PoseFrame(int32_t frame, std::span<Vector3f> positions) override;
    FrameBox BoxFrame(int32_t frame, std::span<Vector3f> positions) override;
    // Another evaluation of the same scene, which only reads it.
    std::unique_ptr<PoseSource> Fork() override;

    // Frames outside 0 to FrameCount() - 1 are held at the nearest end.
    void Evaluate(int64_t frame);
    // Model space after scale, mesh after mesh in the scene's order, as the
    // last Evaluate left them (all at the origin before the first).
    const std::vector<Vec3d>& Positions() const { return positions_; }
    // Where mesh m's vertices begin in Positions().
    size_t MeshStart(size_t mesh) const { return meshStart_[mesh]; }

    // The scene's vertices in blocks of nearby ones, with what bounds each
    // block's posed positions (made once, shared by forks).
    struct Blocks;
    // What bounding and posing the blocks needs of a mesh at a frame.
    struct MeshFrame {
        AffineColumns rigid;            // the mesh's node transform, scale included
        AffineColumns rigidMagnitudes;  // its elements' magnitudes
        const AffineColumns* joints;           // the skin's joint transforms
        const AffineColumns* jointMagnitudes;  // theirs
        const double* weights;  // target weights
        bool morphing;          // whether a target weight is not 0
    };

private:
    // The nodes, and the joints of each skin, at the frame.
    ClipTime PoseNodes(int64_t frame);
    // Mesh m's target weights at the time, into weights_[m]; false when they are all 0.
    bool MeshWeights(size_t m, ClipTime time);
    AffineColumns Rigid(size_t m) const;
    // Into Positions(), or rounded to float into rounded as far as it reaches.
    void Pose(int64_t frame, std::span<Vector3f>* rounded);
    void PoseMesh(size_t m, ClipTime time, std::span<Vector3f>* rounded);

    const ExactScene& scene_;
    int32_t frameCount_;
    NodePose nodes_;
    std::vector<size_t> meshStart_;
    std::vector<std::vector<int>> weightTrackOf_;  // per clip, per mesh: track index or -1
    std::vector<Vec3d> positions_;
    std::vector<Vec3d> morphed_;                // one mesh's vertices after its targets
    std::vector<std::vector<double>> weights_;  // each mesh's target weights
    std::vector<double> nextWeights_;           // at the key after
    // Per mesh: the first mesh with the same joints and bind matrices (meshes
    // that share a skin share its joint transforms, made once a frame), and
    // for each such first mesh its joint transforms, scale included.
    std::vector<size_t> skinOf_;
    std::vector<std::vector<AffineColumns>> joints_;
    std::shared_ptr<const Blocks> blocks_;
    BoxScan scan_;
    // Per mesh that owns its skin: the magnitudes of its joints' elements.
    std::vector<std::vector<AffineColumns>> magnitudes_;
    std::vector<MeshFrame> meshFrames_;
    FramePoints framePoints_;
    const float* points_ = nullptr;  // the vertex frames' points at the frame being posed
};

}  // namespace hm::imp
