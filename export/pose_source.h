// Where the animation file takes each frame's posed vertices from: the
// skeleton as the host poses it, or any other evaluation of the same animation.
#pragma once

#include "host/hm_model_lib.h"
#include "skeleton/bone_table.h"
#include "skeleton/frame_box.h"
#include "skeleton/transform_math.h"

#include <cstdint>
#include <memory>
#include <span>

// The writers, their quantisation and their log exist once; a source only
// says where every vertex stands at a frame. A frame at a time, into the
// caller's array, so the per-vertex path makes no call through the interface.
//
// A source object is one evaluation state, used by one thread at a time: a
// bake that poses frames on several threads gives each thread a source of its
// own (Fork). Posing a frame twice must give the same bits (the writer poses
// every frame once to find the bounds and once to write).
class PoseSource {
public:
    virtual ~PoseSource() = default;
    // Frames 0 to FrameCount() - 1 are written; the file holds the count
    // modulo 65536.
    virtual int32_t FrameCount() const = 0;
    // Writes every vertex's model-space position at the frame into positions,
    // in the model-wide order (mesh 0's vertices, then mesh 1's, and so on),
    // as far as positions reaches.
    virtual void PoseFrame(int32_t frame, std::span<Vector3f> positions) = 0;
    // The box of the positions PoseFrame gives, to the bit, using positions
    // as room to work in. Each posed and added, unless the source knows how
    // to pose fewer.
    virtual FrameBox BoxFrame(int32_t frame, std::span<Vector3f> positions) {
        PoseFrame(frame, positions);
        return BoxOf(positions);
    }
    // A further source that gives the same bits for every frame and may pose
    // frames on another thread while this one and other forks do: it calls
    // into no host model. Called on the thread that uses this source. Null when
    // the source cannot make one; its frames are then posed on that thread.
    virtual std::unique_ptr<PoseSource> Fork() { return nullptr; }
};

// The host's own posing: the model's keys through a bone table that the
// caller has set up for the model (SetupBindPose) and keeps for as long as
// this source is used. The frame count is the model's.
//
// Its forks pose from a copy of the model's keys and vertices (a
// PoseSnapshot, made at the first Fork and shared by all), each through a
// table of its own whose bind pose Fork builds from the model.
class SkeletonSource final : public PoseSource {
public:
    SkeletonSource(BoneTable& table, hmModel* model) : table_(table), model_(model) {}
    int32_t FrameCount() const override { return hmModel_GetTotalFrames(model_); }
    void PoseFrame(int32_t frame, std::span<Vector3f> positions) override {
        table_.EvaluatePose(model_, frame);
        table_.GetPosedVertices(model_, positions);
    }
    std::unique_ptr<PoseSource> Fork() override;

private:
    BoneTable& table_;
    hmModel* model_;
    std::shared_ptr<const PoseSnapshot> snapshot_;
};
