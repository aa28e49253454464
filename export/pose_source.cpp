#include "export/pose_source.h"

#include <utility>
#include <vector>

namespace {

// A fork of the host's posing: the model's keys and vertices as copied, through
// a table of its own.
class SnapshotSource final : public PoseSource {
public:
    SnapshotSource(std::shared_ptr<const PoseSnapshot> snapshot, int32_t frames)
        : snapshot_(std::move(snapshot)), frames_(frames), cursors_(2 * snapshot_->positionOrdered.size()) {}
    BoneTable& Table() { return table_; }
    int32_t FrameCount() const override { return frames_; }
    void PoseFrame(int32_t frame, std::span<Vector3f> positions) override {
        table_.EvaluatePose(*snapshot_, frame, cursors_);
        table_.GetPosedVertices(*snapshot_, positions);
    }
    FrameBox BoxFrame(int32_t frame, std::span<Vector3f> positions) override {
        table_.EvaluatePose(*snapshot_, frame, cursors_);
        return table_.BoxPosedVertices(*snapshot_, positions, scan_);
    }

private:
    std::shared_ptr<const PoseSnapshot> snapshot_;
    int32_t frames_;
    std::vector<int32_t> cursors_;  // where each bone's keys were found for the last frame
    BoneTable table_;
    BoxScan scan_;
};

}  // namespace

std::unique_ptr<PoseSource> SkeletonSource::Fork() {
    if (!snapshot_) snapshot_ = std::make_shared<const PoseSnapshot>(table_.CopyPoseSnapshot(model_));
    auto fork = std::make_unique<SnapshotSource>(snapshot_, FrameCount());
    // The fork's bones must be the table's, or its frames would differ.
    fork->Table().BuildBindPose(model_);
    if (fork->Table().BoneCount() != table_.BoneCount()) return nullptr;
    return fork;
}
