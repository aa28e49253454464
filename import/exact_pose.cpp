#include "import/exact_pose.h"

#include "skeleton/wide_clones.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace hm::imp {

namespace {

double TimeOf(const VectorKey& key) { return key.time; }
double TimeOf(const RotationKey& key) { return key.time; }
double TimeOf(double time) { return time; }

// Index of the last key at or before the time, and the fraction towards the
// next. hint, when given, is where the keys were found last; it is given only
// for keys whose times never go down and are never NaN, where the first key
// after the time is the same whichever way it is looked for.
template <typename Key>
std::pair<size_t, double> Locate(const std::vector<Key>& keys, double ticks, size_t* hint = nullptr) {
    const size_t count = keys.size();
    if (count == 1 || ticks <= TimeOf(keys[0])) return {0, 0.0};
    if (ticks >= TimeOf(keys[count - 1])) return {count - 1, 0.0};
    auto next = keys.end();
    if (hint) {
        for (size_t k = std::max<size_t>(*hint, 1); k < count && k < *hint + 4; ++k)
            if (TimeOf(keys[k - 1]) <= ticks && ticks < TimeOf(keys[k])) {
                next = keys.begin() + static_cast<std::ptrdiff_t>(k);
                break;
            }
    }
    if (next == keys.end())
        next = std::upper_bound(keys.begin(), keys.end(), ticks, [](double t, const Key& k) { return t < TimeOf(k); });
    if (hint) *hint = static_cast<size_t>(next - keys.begin());
    // Times out of order or NaN can leave the search at either end.
    if (next == keys.begin()) return {0, 0.0};
    if (next == keys.end()) return {count - 1, 0.0};
    const size_t i = static_cast<size_t>(next - keys.begin()) - 1;
    const double span = TimeOf(keys[i + 1]) - TimeOf(keys[i]);
    return {i, span > 0 ? (ticks - TimeOf(keys[i])) / span : 0.0};
}

Vec3d Lerp(const std::vector<VectorKey>& keys, double ticks, size_t* hint) {
    const auto [i, f] = Locate(keys, ticks, hint);
    const Vec3d& a = keys[i].value;
    if (f == 0.0) return a;
    const Vec3d& b = keys[i + 1].value;
    return {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f, a.z + (b.z - a.z) * f};
}

Affine Scaled(const Affine& a, double s) {
    Affine out = a;
    for (auto& row : out.m)
        for (double& v : row) v *= s;
    out.t = {a.t.x * s, a.t.y * s, a.t.z * s};
    return out;
}

AffineColumns ColumnsOf(const Affine& a) {
    AffineColumns out;
    const double t[3] = {a.t.x, a.t.y, a.t.z};
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) out.c[k][r] = a.m[r][k];
        out.c[3][r] = t[r];
    }
    return out;
}

// Lane r of a vector is row r of a vertex (the fourth lane is unused): each
// lane does what Apply and the weighted sum do for its row, in their order,
// rounded as there, so the bits are theirs.
using Double4 = double __attribute__((vector_size(32)));
using Double2 = double __attribute__((vector_size(16)));
using Float2 = float __attribute__((vector_size(8)));

// Aligned loads: an unaligned one g++ would split in halves. (clang 14 fails
// on the hint, and needs none.)
inline void Load(const AffineColumns& from, Double4 (&to)[4]) {
#if defined(__clang__)
    std::memcpy(&to, &from.c, sizeof to);
#else
    const void* aligned = __builtin_assume_aligned(from.c, alignof(AffineColumns));
    std::memcpy(&to, aligned, sizeof to);
#endif
}

// Every vertex from source into out, or rounded to float into rounded where
// that is given: by its influences, in their order (start null: none has
// any), or by rigid when it has none.
VANTREL_WIDE_CLONES
void PoseVertices(const AffineColumns& rigid, const AffineColumns* joints, const uint32_t* start,
                  const uint32_t* joint, const double* weight, const Vec3d* source, size_t count, Vec3d* out,
                  Vector3f* rounded) {
    // In locals, read once: the stores below could otherwise alias them.
    Double4 fixed[4];
    Load(rigid, fixed);
    for (size_t v = 0; v < count; ++v) {
        const Vec3d p = source[v];
        const Double4 x = {p.x, p.x, p.x, p.x}, y = {p.y, p.y, p.y, p.y}, z = {p.z, p.z, p.z, p.z};
        Double2 posedXy;
        double posedZ;
        if (!start || start[v] == start[v + 1]) {
            const Double4 posed = ((fixed[0] * x + fixed[1] * y) + fixed[2] * z) + fixed[3];
            posedXy = Double2{posed[0], posed[1]};
            posedZ = posed[2];
        } else {
            // Of two NaNs added, the first operand's comes out. A sum four
            // wide would live in memory where the processor has no four-wide
            // registers, and the compiler would then add it second; as a pair
            // and a single it stays in registers and first, as written.
            posedXy = Double2{};
            posedZ = 0;
            for (uint32_t i = start[v]; i < start[v + 1]; ++i) {
                Double4 a[4];
                Load(joints[joint[i]], a);
                const double w = weight[i];
                const Double4 term = Double4{w, w, w, w} * (((a[0] * x + a[1] * y) + a[2] * z) + a[3]);
                posedXy = posedXy + Double2{term[0], term[1]};
                posedZ = posedZ + term[2];
            }
        }
        if (rounded) {
            const Float2 narrow = __builtin_convertvector(posedXy, Float2);
            rounded[v] = {narrow[0], narrow[1], static_cast<float>(posedZ)};
        } else {
            out[v] = {posedXy[0], posedXy[1], posedZ};
        }
    }
}

// The same joints with the same bind matrices, to the bit.
bool SameSkin(const ExactMesh& a, const ExactMesh& b) {
    return a.jointNodes == b.jointNodes && a.inverseBinds.size() == b.inverseBinds.size() &&
           (a.inverseBinds.empty() ||
            std::memcmp(a.inverseBinds.data(), b.inverseBinds.data(), a.inverseBinds.size() * sizeof(Affine)) == 0) &&
           a.influenceStart.empty() == b.influenceStart.empty();
}

bool InRange(int index, size_t count) { return index >= 0 && static_cast<size_t>(index) < count; }

bool FitsTargets(const WeightTrack& track, size_t targets) {
    if (track.keyStart.size() != track.times.size() + 1 || track.keyStart[0] != 0 ||
        track.keyStart.back() != track.target.size() || track.weight.size() != track.target.size())
        return false;
    for (size_t k = 0; k + 1 < track.keyStart.size(); ++k)
        if (track.keyStart[k] > track.keyStart[k + 1]) return false;
    return std::all_of(track.target.begin(), track.target.end(), [targets](uint32_t t) { return t < targets; });
}

// An index list [start[i], start[i + 1]) for each of `count` entries over `size` items.
bool Ranges(const std::vector<uint32_t>& start, size_t count, size_t size) {
    if (start.size() != count + 1 || start.front() != 0 || start.back() != size) return false;
    for (size_t i = 0; i < count; ++i)
        if (start[i] > start[i + 1]) return false;
    return true;
}

std::string CheckMesh(const ExactScene& scene, const ExactMesh& mesh) {
    const size_t nodes = scene.nodeParent.size(), vertices = mesh.positions.size();
    if (!InRange(mesh.node, nodes)) return "names no node";
    if (mesh.inverseBinds.size() != mesh.jointNodes.size()) return "has a joint without its bind matrix";
    for (int node : mesh.jointNodes)
        if (!InRange(node, nodes)) return "has a joint that names no node";
    if (!mesh.influenceStart.empty()) {
        if (!Ranges(mesh.influenceStart, vertices, mesh.influenceJoint.size()) ||
            mesh.influenceWeight.size() != mesh.influenceJoint.size())
            return "has influences that do not match its vertices";
        for (uint32_t joint : mesh.influenceJoint)
            if (joint >= mesh.jointNodes.size()) return "has an influence of no joint";
    }
    if (mesh.TargetCount() > 0 || !mesh.targetStart.empty()) {
        if (!Ranges(mesh.targetStart, mesh.TargetCount(), mesh.delta.size()) ||
            mesh.deltaVertex.size() != mesh.delta.size())
            return "has morph targets that do not match their deltas";
        for (uint32_t vertex : mesh.deltaVertex)
            if (vertex >= vertices) return "has a morph delta of no vertex";
    }
    return "";
}

}  // namespace

bool CheckExactScene(const ExactScene& scene, std::string& problem) {
    const size_t nodes = scene.nodeParent.size();
    if (!(scene.fps > 0) || !std::isfinite(scene.fps)) {
        problem = "the frame rate is not a positive number";
        return false;
    }
    if (scene.nodeRest.size() != nodes) {
        problem = "the node tree has transforms for " + std::to_string(scene.nodeRest.size()) + " of " +
                  std::to_string(nodes) + " nodes";
        return false;
    }
    for (size_t i = 0; i < nodes; ++i)
        if (scene.nodeParent[i] >= static_cast<int>(i) || scene.nodeParent[i] < -1) {
            problem = "node " + std::to_string(i) + " does not come after its parent";
            return false;
        }
    for (size_t m = 0; m < scene.meshes.size(); ++m) {
        const std::string wrong = CheckMesh(scene, scene.meshes[m]);
        if (!wrong.empty()) {
            problem = "mesh " + std::to_string(m) + " " + wrong;
            return false;
        }
    }
    for (size_t c = 0; c < scene.clips.size(); ++c) {
        const ExactClip& clip = scene.clips[c];
        bool fine = clip.frameCount >= 1;
        for (const NodeTrack& track : clip.nodes) fine = fine && InRange(track.node, nodes);
        for (const WeightTrack& track : clip.weights)
            fine = fine && InRange(track.mesh, scene.meshes.size()) &&
                   FitsTargets(track, scene.meshes[static_cast<size_t>(track.mesh)].TargetCount());
        if (!fine) {
            problem = "clip " + std::to_string(c) + " has a track that does not match the scene";
            return false;
        }
    }
    return true;
}

namespace {

template <typename Key>
bool Ordered(const std::vector<Key>& keys) {
    for (size_t k = 0; k < keys.size(); ++k)
        if (std::isnan(TimeOf(keys[k])) || (k > 0 && TimeOf(keys[k]) < TimeOf(keys[k - 1]))) return false;
    return true;
}

Affine SampleTrackFrom(const NodeTrack& track, double ticks, NodePose::Cursor* cursor) {
    auto hint = [cursor](int kind) { return cursor && cursor->ordered[kind] ? &cursor->next[kind] : nullptr; };
    Vec3d t = track.restTranslation, s = track.restScale;
    Quat r = track.restRotation;
    if (!track.positions.empty()) t = Lerp(track.positions, ticks, hint(0));
    if (!track.scales.empty()) s = Lerp(track.scales, ticks, hint(2));
    if (!track.rotations.empty()) {
        const auto& keys = track.rotations;
        const auto [i, f] = Locate(keys, ticks, hint(1));
        r = keys[i].value;
        if (f != 0.0) r = Slerp(r, keys[i + 1].value, f);
    }
    return FromTrs(t, r, s);
}

}  // namespace

Affine SampleTrack(const NodeTrack& track, double ticks) { return SampleTrackFrom(track, ticks, nullptr); }

int64_t FrameCount(const ExactScene& scene) {
    if (scene.clips.empty()) return 1;
    int64_t frames = 0;
    for (const ExactClip& clip : scene.clips) frames += clip.frameCount;
    return frames;
}

ClipTime FrameTime(const ExactScene& scene, int64_t frame) {
    if (scene.clips.empty()) return {};
    frame = std::max<int64_t>(frame, 0);
    size_t c = 0;
    while (c + 1 < scene.clips.size() && frame >= scene.clips[c].frameCount) frame -= scene.clips[c++].frameCount;
    const ExactClip& clip = scene.clips[c];
    frame = std::min(frame, clip.frameCount - 1);
    return {static_cast<int>(c),
            std::min(static_cast<double>(frame) / scene.fps * clip.ticksPerSecond, clip.durationTicks)};
}

NodePose::NodePose(const ExactScene& scene) : scene_(scene), globals_(scene.nodeParent.size()) {
    for (const ExactClip& clip : scene.clips) {
        cursors_.emplace_back();
        for (const NodeTrack& track : clip.nodes) {
            Cursor cursor;
            cursor.ordered[0] = Ordered(track.positions);
            cursor.ordered[1] = Ordered(track.rotations);
            cursor.ordered[2] = Ordered(track.scales);
            cursors_.back().push_back(cursor);
        }
        trackOfNode_.emplace_back(scene.nodeParent.size(), -1);
        for (size_t k = 0; k < clip.nodes.size(); ++k) {
            const int node = clip.nodes[k].node;
            if (node >= 0 && static_cast<size_t>(node) < scene.nodeParent.size() && trackOfNode_.back()[node] < 0)
                trackOfNode_.back()[node] = static_cast<int>(k);
        }
    }
}

void NodePose::Evaluate(ClipTime time) {
    const std::vector<int>* tracks = time.clip >= 0 ? &trackOfNode_[static_cast<size_t>(time.clip)] : nullptr;
    for (size_t i = 0; i < globals_.size(); ++i) {
        const int track = tracks ? (*tracks)[i] : -1;
        const Affine local =
            track >= 0 ? SampleTrackFrom(scene_.clips[static_cast<size_t>(time.clip)].nodes[static_cast<size_t>(track)],
                                         time.ticks,
                                         &cursors_[static_cast<size_t>(time.clip)][static_cast<size_t>(track)])
                       : scene_.nodeRest[i];
        const int parent = scene_.nodeParent[i];
        globals_[i] = Multiply(parent < 0 ? scene_.axes : globals_[static_cast<size_t>(parent)], local);
    }
}

ExactPose::ExactPose(const ExactScene& scene)
    : scene_(scene),
      frameCount_(static_cast<int32_t>(std::min<int64_t>(imp::FrameCount(scene), INT32_MAX))),
      nodes_(scene) {
    size_t total = 0, largest = 0;
    for (const ExactMesh& mesh : scene.meshes) {
        meshStart_.push_back(total);
        total += mesh.positions.size();
        largest = std::max(largest, mesh.positions.size());
    }
    meshStart_.push_back(total);
    positions_.resize(total);
    morphed_.resize(largest);
    joints_.resize(scene.meshes.size());
    for (size_t m = 0; m < scene.meshes.size(); ++m) {
        const ExactMesh& mesh = scene.meshes[m];
        size_t first = 0;
        while (first < m && !SameSkin(scene.meshes[first], mesh)) ++first;
        skinOf_.push_back(first);
    }
    for (const ExactClip& clip : scene.clips) {
        weightTrackOf_.emplace_back(scene.meshes.size(), -1);
        for (size_t k = 0; k < clip.weights.size(); ++k) {
            const int mesh = clip.weights[k].mesh;
            if (mesh >= 0 && static_cast<size_t>(mesh) < scene.meshes.size() && weightTrackOf_.back()[mesh] < 0)
                weightTrackOf_.back()[mesh] = static_cast<int>(k);
        }
    }
}

void ExactPose::PoseFrame(int32_t frame, std::span<Vector3f> positions) { Pose(frame, &positions); }

void ExactPose::Evaluate(int64_t frame) { Pose(frame, nullptr); }

void ExactPose::Pose(int64_t frame, std::span<Vector3f>* rounded) {
    const ClipTime time = FrameTime(scene_, std::min<int64_t>(frame, frameCount_ - 1));
    nodes_.Evaluate(time);
    const std::vector<Affine>& globals = nodes_.Globals();
    for (size_t m = 0; m < scene_.meshes.size(); ++m) {
        const ExactMesh& mesh = scene_.meshes[m];
        if (skinOf_[m] != m || mesh.influenceStart.empty()) continue;
        std::vector<AffineColumns>& joints = joints_[m];
        joints.clear();
        for (size_t j = 0; j < mesh.jointNodes.size(); ++j) {
            const Affine& global = globals[static_cast<size_t>(mesh.jointNodes[j])];
            joints.push_back(ColumnsOf(Scaled(Multiply(global, mesh.inverseBinds[j]), scene_.scale)));
        }
    }
    for (size_t m = 0; m < scene_.meshes.size(); ++m) PoseMesh(m, time, rounded);
}

void ExactPose::PoseMesh(size_t m, ClipTime time, std::span<Vector3f>* rounded) {
    const ExactMesh& mesh = scene_.meshes[m];
    const std::vector<Affine>& globals = nodes_.Globals();
    size_t count = mesh.positions.size();
    if (rounded) count = std::min(count, rounded->size() - std::min(rounded->size(), meshStart_[m]));
    if (count == 0) return;

    // Targets first: the skin deforms the morphed mesh.
    const Vec3d* source = mesh.positions.data();
    if (mesh.TargetCount() > 0) {
        weights_ = mesh.restWeights;
        const int track = time.clip >= 0 ? weightTrackOf_[static_cast<size_t>(time.clip)][m] : -1;
        if (track >= 0) {
            const WeightTrack& keys = scene_.clips[static_cast<size_t>(time.clip)].weights[static_cast<size_t>(track)];
            if (!keys.times.empty()) {
                const auto [i, f] = Locate(keys.times, time.ticks);
                std::fill(weights_.begin(), weights_.end(), 0.0);
                keys.Scatter(i, weights_);
                if (f != 0.0) {
                    nextWeights_.assign(weights_.size(), 0.0);
                    keys.Scatter(i + 1, nextWeights_);
                    for (size_t t = 0; t < weights_.size(); ++t)
                        weights_[t] = weights_[t] + (nextWeights_[t] - weights_[t]) * f;
                }
            }
        }
        std::copy(mesh.positions.begin(), mesh.positions.end(), morphed_.begin());
        for (size_t t = 0; t < mesh.TargetCount(); ++t) {
            const double w = weights_[t];
            if (w == 0.0) continue;
            for (uint32_t i = mesh.targetStart[t]; i < mesh.targetStart[t + 1]; ++i) {
                Vec3d& p = morphed_[mesh.deltaVertex[i]];
                const Vec3d& d = mesh.delta[i];
                p = {p.x + w * d.x, p.y + w * d.y, p.z + w * d.z};
            }
        }
        source = morphed_.data();
    }

    const AffineColumns rigid = ColumnsOf(Scaled(globals[static_cast<size_t>(mesh.node)], scene_.scale));
    PoseVertices(rigid, joints_[skinOf_[m]].data(), mesh.influenceStart.empty() ? nullptr : mesh.influenceStart.data(),
                 mesh.influenceJoint.data(), mesh.influenceWeight.data(), source, count,
                 positions_.data() + meshStart_[m], rounded ? rounded->data() + meshStart_[m] : nullptr);
}

}  // namespace hm::imp
