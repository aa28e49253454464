#include "bake/exact_pose.h"

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
    if (hint) {
        *hint = static_cast<size_t>(next - keys.begin());
        // The keys a few frames on, fetched while this frame is posed: each
        // node's keys are far apart in memory, and every frame moves on to
        // new ones in every list, more lists than the processor follows alone.
        if (*hint + 4 < count) __builtin_prefetch(&keys[*hint + 4]);
    }
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

// A morph target's step: p + w d, each coordinate rounded once. The full
// pose and the box's scan both morph a vertex through this.
Vec3d AddScaled(const Vec3d& p, double w, const Vec3d& d) { return {p.x + w * d.x, p.y + w * d.y, p.z + w * d.z}; }

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
    if (!mesh.framePoint.empty()) {
        if (mesh.framePoint.size() != vertices) return "has vertex frame points that do not match its vertices";
        for (uint32_t point : mesh.framePoint)
            if (point >= scene.frames.points) return "has a vertex of no point of the vertex frames";
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

std::string CheckFrames(const VertexFrames& frames, size_t clips) {
    if (frames.points == 0) return frames.timeline.empty() ? "" : "have a timeline but no points";
    if (clips > 0) return "come with clips, whose place they take";
    if (frames.timeline.empty()) return "have no frame on the timeline";
    for (uint32_t frame : frames.timeline)
        if (frame >= frames.fileFrames) return "name a frame past the source's " + std::to_string(frames.fileFrames);
    const uint64_t values = uint64_t{frames.points} * 3;
    if (frames.Streamed()) return frames.stride >= values * 4 ? "" : "overlap in the file";
    return frames.positions.size() / values == frames.fileFrames && frames.positions.size() % values == 0
               ? ""
               : "do not hold the frames they count";
}

}  // namespace

Error CheckExactScene(const ExactScene& scene) {
    const auto bad = [](std::string problem) { return Fault(ErrorKind::kBadInput, std::move(problem)); };
    const size_t nodes = scene.nodeParent.size();
    if (!(scene.fps > 0) || !std::isfinite(scene.fps)) return bad("the frame rate is not a positive number");
    if (scene.nodeRest.size() != nodes)
        return bad("the node tree has transforms for " + std::to_string(scene.nodeRest.size()) + " of " +
                   std::to_string(nodes) + " nodes");
    for (size_t i = 0; i < nodes; ++i)
        if (scene.nodeParent[i] >= static_cast<int>(i) || scene.nodeParent[i] < -1)
            return bad("node " + std::to_string(i) + " does not come after its parent");
    for (size_t m = 0; m < scene.meshes.size(); ++m) {
        const std::string wrong = CheckMesh(scene, scene.meshes[m]);
        if (!wrong.empty()) return bad("mesh " + std::to_string(m) + " " + wrong);
    }
    if (const std::string wrong = CheckFrames(scene.frames, scene.clips.size()); !wrong.empty())
        return bad("the vertex frames " + wrong);
    for (size_t c = 0; c < scene.clips.size(); ++c) {
        const ExactClip& clip = scene.clips[c];
        bool fine = clip.frameCount >= 1;
        for (const NodeTrack& track : clip.nodes) fine = fine && InRange(track.node, nodes);
        for (const WeightTrack& track : clip.weights)
            fine = fine && InRange(track.mesh, scene.meshes.size()) &&
                   FitsTargets(track, scene.meshes[static_cast<size_t>(track.mesh)].TargetCount());
        if (!fine) return bad("clip " + std::to_string(c) + " has a track that does not match the scene");
    }
    return {};
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
    if (scene.frames.points > 0) return static_cast<int64_t>(scene.frames.timeline.size());
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
      nodes_(scene),
      framePoints_(scene.frames) {
    size_t total = 0, largest = 0;
    for (const ExactMesh& mesh : scene.meshes) {
        meshStart_.push_back(total);
        total += mesh.positions.size();
        largest = std::max(largest, mesh.positions.size());
    }
    meshStart_.push_back(total);
    positions_.resize(total);
    morphed_.resize(largest);
    weights_.resize(scene.meshes.size());
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

ClipTime ExactPose::PoseNodes(int64_t frame) {
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
    return time;
}

bool ExactPose::MeshWeights(size_t m, ClipTime time) {
    const ExactMesh& mesh = scene_.meshes[m];
    std::vector<double>& weights = weights_[m];
    weights = mesh.restWeights;
    const int track = time.clip >= 0 ? weightTrackOf_[static_cast<size_t>(time.clip)][m] : -1;
    if (track >= 0) {
        const WeightTrack& keys = scene_.clips[static_cast<size_t>(time.clip)].weights[static_cast<size_t>(track)];
        if (!keys.times.empty()) {
            const auto [i, f] = Locate(keys.times, time.ticks);
            std::fill(weights.begin(), weights.end(), 0.0);
            keys.Scatter(i, weights);
            if (f != 0.0) {
                nextWeights_.assign(weights.size(), 0.0);
                keys.Scatter(i + 1, nextWeights_);
                for (size_t t = 0; t < weights.size(); ++t)
                    weights[t] = weights[t] + (nextWeights_[t] - weights[t]) * f;
            }
        }
    }
    return std::any_of(weights.begin(), weights.end(), [](double w) { return w != 0.0; });
}

AffineColumns ExactPose::Rigid(size_t m) const {
    return ColumnsOf(Scaled(nodes_.Globals()[static_cast<size_t>(scene_.meshes[m].node)], scene_.scale));
}

void ExactPose::Pose(int64_t frame, std::span<Vector3f>* rounded) {
    const ClipTime time = PoseNodes(frame);
    if (scene_.frames.points > 0) {
        const auto& timeline = scene_.frames.timeline;
        points_ = framePoints_.Read(timeline[static_cast<size_t>(std::clamp<int64_t>(frame, 0, frameCount_ - 1))]);
    }
    for (size_t m = 0; m < scene_.meshes.size(); ++m) PoseMesh(m, time, rounded);
}

void ExactPose::PoseMesh(size_t m, ClipTime time, std::span<Vector3f>* rounded) {
    const ExactMesh& mesh = scene_.meshes[m];
    size_t count = mesh.positions.size();
    if (rounded) count = std::min(count, rounded->size() - std::min(rounded->size(), meshStart_[m]));
    if (count == 0) return;

    // The frame's points stand in for the positions; then targets: the
    // skin deforms the morphed mesh.
    const Vec3d* source = mesh.positions.data();
    if (!mesh.framePoint.empty()) {
        for (size_t v = 0; v < mesh.framePoint.size(); ++v) {
            const float* point = points_ + size_t{mesh.framePoint[v]} * 3;
            morphed_[v] = {point[0], point[1], point[2]};
        }
        source = morphed_.data();
    }
    if (mesh.TargetCount() > 0) {
        MeshWeights(m, time);
        if (source != morphed_.data()) std::copy(mesh.positions.begin(), mesh.positions.end(), morphed_.begin());
        for (size_t t = 0; t < mesh.TargetCount(); ++t) {
            const double w = weights_[m][t];
            if (w == 0.0) continue;
            for (uint32_t i = mesh.targetStart[t]; i < mesh.targetStart[t + 1]; ++i) {
                Vec3d& p = morphed_[mesh.deltaVertex[i]];
                p = AddScaled(p, w, mesh.delta[i]);
            }
        }
        source = morphed_.data();
    }

    PoseVertices(Rigid(m), joints_[skinOf_[m]].data(), mesh.influenceStart.empty() ? nullptr : mesh.influenceStart.data(),
                 mesh.influenceJoint.data(), mesh.influenceWeight.data(), source, count,
                 positions_.data() + meshStart_[m], rounded ? rounded->data() + meshStart_[m] : nullptr);
}

// Blocks of nearby vertices of one mesh that are posed alike (by the mesh's
// node, or mostly by one joint), and what each frame's bounds need of them.
struct ExactPose::Blocks {
    struct Block {
        uint32_t mesh;
        uint32_t first, end;              // its vertices: vertex[first, end)
        uint32_t jointFirst, jointEnd;    // its joints' weights: none when posed by the mesh's node
        uint32_t targetFirst, targetEnd;  // its targets' deltas
        bool always;                      // something is not finite: always posed
        double low[3], high[3];           // the rest positions' box
        // The least and most of a vertex's positive weights' sum, and of its
        // negative weights' magnitudes' sum; the most of all magnitudes' sum.
        double positive[2], negative[2], weightSize;
        double rounding;  // the room for rounding, relative to the sizes of the terms
    };
    struct JointWeights {
        uint32_t joint;
        double low, high;  // a vertex's weights of the joint summed, 0 where it has none
    };
    struct TargetDeltas {
        uint32_t target;
        double low[3], high[3];  // a vertex's deltas of the target summed, 0 where it has none
    };
    std::vector<Block> blocks;
    std::vector<uint32_t> vertex;
    std::vector<JointWeights> joints;
    std::vector<TargetDeltas> targets;
    // Per mesh and vertex, its deltas in the order posing adds them: the
    // targets and deltas of morphEntry[morphStart[v], morphStart[v + 1]).
    std::vector<std::vector<uint32_t>> morphStart;
    std::vector<std::vector<std::pair<uint32_t, uint32_t>>> morphEntry;
};

namespace {

Vec3d operator+(const Vec3d& a, const Vec3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

struct Sums {
    std::vector<std::pair<uint32_t, double>> joint;  // joint, weights summed
    std::vector<std::pair<uint32_t, Vec3d>> target;  // target, deltas summed
};

// Adds value to key's entry, or adds the entry.
template <typename Value>
void AddTo(std::vector<std::pair<uint32_t, Value>>& entries, uint32_t key, const Value& value) {
    for (auto& [k, v] : entries)
        if (k == key) {
            v = v + value;
            return;
        }
    entries.push_back({key, value});
}

double Component(const Vec3d& p, int k) { return k == 0 ? p.x : k == 1 ? p.y : p.z; }

void AddBlock(ExactPose::Blocks& out, const ExactMesh& mesh, uint32_t m, std::span<const uint32_t> vertices,
              const std::vector<uint32_t>& morphStart, const std::vector<std::pair<uint32_t, uint32_t>>& morphEntry) {
    ExactPose::Blocks::Block block{m, static_cast<uint32_t>(out.vertex.size()), 0, 0, 0, 0, 0, false,
                                   {HUGE_VAL, HUGE_VAL, HUGE_VAL}, {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL},
                                   {HUGE_VAL, -HUGE_VAL}, {HUGE_VAL, -HUGE_VAL}, 0, 0};
    std::vector<Sums> sums(vertices.size());
    size_t mostTerms = 0;
    bool finite = true;
    for (size_t n = 0; n < vertices.size(); ++n) {
        const uint32_t v = vertices[n];
        out.vertex.push_back(v);
        for (int k = 0; k < 3; ++k) {
            const double c = Component(mesh.positions[v], k);
            finite = finite && std::isfinite(c);
            block.low[k] = std::min(block.low[k], c);
            block.high[k] = std::max(block.high[k], c);
        }
        Sums& sum = sums[n];
        size_t terms = 0;
        if (!mesh.influenceStart.empty())
            for (uint32_t i = mesh.influenceStart[v]; i < mesh.influenceStart[v + 1]; ++i, ++terms)
                AddTo(sum.joint, mesh.influenceJoint[i], mesh.influenceWeight[i]);
        for (uint32_t e = morphStart[v]; e < morphStart[v + 1]; ++e, ++terms) {
            const auto [t, i] = morphEntry[e];
            AddTo(sum.target, t, mesh.delta[i]);
        }
        mostTerms = std::max(mostTerms, terms);
        double positive = 0, negative = 0;
        for (const auto& [joint, w] : sum.joint) (w > 0 ? positive : negative) += std::fabs(w);
        finite = finite && std::isfinite(positive) && std::isfinite(negative);
        block.positive[0] = std::min(block.positive[0], positive);
        block.positive[1] = std::max(block.positive[1], positive);
        block.negative[0] = std::min(block.negative[0], negative);
        block.negative[1] = std::max(block.negative[1], negative);
        block.weightSize = std::max(block.weightSize, positive + negative);
    }
    block.end = static_cast<uint32_t>(out.vertex.size());
    // Every joint and target of the block, with the range of its sums; a
    // vertex without it has 0.
    block.jointFirst = static_cast<uint32_t>(out.joints.size());
    block.targetFirst = static_cast<uint32_t>(out.targets.size());
    for (const Sums& sum : sums) {
        for (const auto& entry : sum.joint) {
            const uint32_t joint = entry.first;
            auto first = out.joints.begin() + block.jointFirst;
            if (std::none_of(first, out.joints.end(), [joint](const auto& j) { return j.joint == joint; }))
                out.joints.push_back({joint, 0, 0});
        }
        for (const auto& entry : sum.target) {
            const uint32_t target = entry.first;
            auto first = out.targets.begin() + block.targetFirst;
            if (std::none_of(first, out.targets.end(), [target](const auto& t) { return t.target == target; }))
                out.targets.push_back({target, {0, 0, 0}, {0, 0, 0}});
        }
    }
    for (auto j = out.joints.begin() + block.jointFirst; j != out.joints.end(); ++j) {
        j->low = HUGE_VAL;
        j->high = -HUGE_VAL;
        for (const Sums& sum : sums) {
            double w = 0;
            for (const auto& [joint, value] : sum.joint)
                if (joint == j->joint) w = value;
            j->low = std::min(j->low, w);
            j->high = std::max(j->high, w);
        }
    }
    for (auto t = out.targets.begin() + block.targetFirst; t != out.targets.end(); ++t) {
        for (int k = 0; k < 3; ++k) {
            t->low[k] = HUGE_VAL;
            t->high[k] = -HUGE_VAL;
        }
        for (const Sums& sum : sums) {
            Vec3d d{0, 0, 0};
            for (const auto& [target, value] : sum.target)
                if (target == t->target) d = value;
            for (int k = 0; k < 3; ++k) {
                const double c = Component(d, k);
                finite = finite && std::isfinite(c);
                t->low[k] = std::min(t->low[k], c);
                t->high[k] = std::max(t->high[k], c);
            }
        }
    }
    block.jointEnd = static_cast<uint32_t>(out.joints.size());
    block.targetEnd = static_cast<uint32_t>(out.targets.size());
    block.always = !finite;
    // Each term of a vertex's sums is rounded a few times, each time by at
    // most 2^-53 of the sizes involved; this allows far more.
    block.rounding = static_cast<double>(mostTerms + 8) * 0x1p-40;
    out.blocks.push_back(block);
}

std::shared_ptr<const ExactPose::Blocks> MakeBlocks(const ExactScene& scene) {
    auto blocks = std::make_shared<ExactPose::Blocks>();
    for (uint32_t m = 0; m < scene.meshes.size(); ++m) {
        const ExactMesh& mesh = scene.meshes[m];
        const auto count = static_cast<uint32_t>(mesh.positions.size());
        // Each vertex's deltas, in the order posing adds them.
        std::vector<uint32_t>& start = blocks->morphStart.emplace_back(count + 1, 0);
        auto& entry = blocks->morphEntry.emplace_back(mesh.delta.size());
        for (uint32_t v : mesh.deltaVertex) ++start[v + 1];
        for (uint32_t v = 0; v < count; ++v) start[v + 1] += start[v];
        std::vector<uint32_t> next(start.begin(), start.end() - 1);
        for (uint32_t t = 0; t < mesh.TargetCount(); ++t)
            for (uint32_t i = mesh.targetStart[t]; i < mesh.targetStart[t + 1]; ++i)
                entry[next[mesh.deltaVertex[i]]++] = {t, i};

        // Vertices posed alike together, then near ones together.
        auto dominant = [&](uint32_t v) -> int64_t {
            if (mesh.influenceStart.empty() || mesh.influenceStart[v] == mesh.influenceStart[v + 1]) return -1;
            uint32_t best = mesh.influenceStart[v];
            for (uint32_t i = best; i < mesh.influenceStart[v + 1]; ++i)
                if (std::fabs(mesh.influenceWeight[i]) > std::fabs(mesh.influenceWeight[best])) best = i;
            return mesh.influenceJoint[best];
        };
        std::vector<std::pair<int64_t, uint32_t>> keyed;
        for (uint32_t v = 0; v < count; ++v) keyed.push_back({dominant(v), v});
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<uint32_t> order;
        for (const auto& [key, v] : keyed) order.push_back(v);
        for (size_t first = 0, end = 0; first < count; first = end) {
            while (end < count && keyed[end].first == keyed[first].first) ++end;
            const std::span<uint32_t> run(order.data() + first, end - first);
            OrderNearby(run, [&](uint32_t v) {
                const Vec3d& p = mesh.positions[v];
                return std::array<double, 3>{p.x, p.y, p.z};
            });
            CutBlocks(run.size(), [&](size_t at, size_t end) {
                AddBlock(*blocks, mesh, m, run.subspan(at, end - at), start, entry);
            });
        }
    }
    return blocks;
}

// The helpers below are always inlined into BoundBlocks, built also for
// four-wide registers: no call passes a vector, so the warning about how
// calls would pass one does not apply (it comes at the file's end, so it is
// off from here on).
#pragma GCC diagnostic ignored "-Wpsabi"

// Where transform a (and m, its elements' magnitudes) takes a box of that
// centre, half size and extent (the largest magnitude on each axis): the
// middle, the reach either side, and the size of the terms, a row a lane.
struct Reach {
    Double4 middle, reach, size;
};

[[gnu::always_inline]] inline Reach Transform(const AffineColumns& a, const AffineColumns& m, const Double4 (&centre)[3],
                       const Double4 (&half)[3], const Double4 (&extent)[3]) {
    Double4 c[4], d[4];
    Load(a, c);
    Load(m, d);
    return {c[3] + c[0] * centre[0] + c[1] * centre[1] + c[2] * centre[2],
            d[0] * half[0] + d[1] * half[1] + d[2] * half[2],
            d[3] + d[0] * extent[0] + d[1] * extent[1] + d[2] * extent[2]};
}

[[gnu::always_inline]] inline Double4 Min(Double4 a, Double4 b) { return a < b ? a : b; }
[[gnu::always_inline]] inline Double4 Max(Double4 a, Double4 b) { return a > b ? a : b; }
[[gnu::always_inline]] inline Double4 Splat(double v) { return Double4{v, v, v, v}; }

AffineColumns Magnitudes(const AffineColumns& a) {
    AffineColumns m;
    for (int k = 0; k < 4; ++k)
        for (int r = 0; r < 4; ++r) m.c[k][r] = std::fabs(a.c[k][r]);
    return m;
}

// Bounds on where each block's vertices are at a frame, with room for the
// rounding of posing them.
VANTREL_WIDE_CLONES
void BoundBlocks(const ExactPose::Blocks& blocks, std::span<const ExactPose::MeshFrame> meshes, std::span<BlockBound> bounds) {
    for (size_t b = 0; b < bounds.size(); ++b) {
        const ExactPose::Blocks::Block& block = blocks.blocks[b];
        // The box of the vertices after their targets, and the size of the terms.
        double low[3], high[3], largest[3];
        for (int k = 0; k < 3; ++k) {
            low[k] = block.low[k];
            high[k] = block.high[k];
            largest[k] = std::max(std::fabs(low[k]), std::fabs(high[k]));
        }
        const ExactPose::MeshFrame& mesh = meshes[block.mesh];
        if (mesh.morphing)
            for (uint32_t t = block.targetFirst; t < block.targetEnd; ++t) {
                const ExactPose::Blocks::TargetDeltas& deltas = blocks.targets[t];
                const double w = mesh.weights[deltas.target];
                for (int k = 0; k < 3; ++k) {
                    const double a = w * deltas.low[k], c = w * deltas.high[k];
                    low[k] += std::min(a, c);
                    high[k] += std::max(a, c);
                    largest[k] += std::max(std::fabs(a), std::fabs(c));
                }
            }
        Double4 centre[3], half[3], extent[3];
        for (int k = 0; k < 3; ++k) {
            centre[k] = Splat((low[k] + high[k]) / 2);
            half[k] = Splat((high[k] - low[k]) / 2);
            extent[k] = Splat(largest[k]);
        }
        // A NaN or an infinity anywhere reaches this sum.
        Double4 check = centre[0] + half[0] + centre[1] + half[1] + centre[2] + half[2];
        Double4 down, up, size;
        double weightSize = 1;
        if (block.jointFirst == block.jointEnd) {
            const Reach r = Transform(mesh.rigid, mesh.rigidMagnitudes, centre, half, extent);
            down = r.middle - r.reach;
            up = r.middle + r.reach;
            size = r.size;
            check += r.middle + r.reach + r.size;
        } else {
            // Two bounds, the tighter taken: each joint's weight and position
            // apart, and the hull of the joints' positions scaled by the sums
            // of positive and of negative weights.
            Double4 sumDown = Splat(0), sumUp = Splat(0), least = Splat(HUGE_VAL), most = Splat(-HUGE_VAL);
            size = Splat(0);
            for (uint32_t j = block.jointFirst; j < block.jointEnd; ++j) {
                const ExactPose::Blocks::JointWeights& weight = blocks.joints[j];
                const Reach r = Transform(mesh.joints[weight.joint], mesh.jointMagnitudes[weight.joint], centre, half, extent);
                const Double4 lo = r.middle - r.reach, hi = r.middle + r.reach;
                const Double4 a = Splat(weight.low) * lo, b = Splat(weight.low) * hi;
                const Double4 c = Splat(weight.high) * lo, d = Splat(weight.high) * hi;
                sumDown += Min(Min(a, b), Min(c, d));
                sumUp += Max(Max(a, b), Max(c, d));
                least = Min(least, lo);
                most = Max(most, hi);
                size = Max(size, r.size);
                check += r.middle + r.reach + r.size;
            }
            const Double4 hullUp = Max(Splat(block.positive[0]) * most, Splat(block.positive[1]) * most) +
                                   Max(Splat(-block.negative[0]) * least, Splat(-block.negative[1]) * least);
            const Double4 hullDown = Min(Splat(block.positive[0]) * least, Splat(block.positive[1]) * least) +
                                     Min(Splat(-block.negative[0]) * most, Splat(-block.negative[1]) * most);
            up = Min(sumUp, hullUp);
            down = Max(sumDown, hullDown);
            weightSize = block.weightSize;
        }
        const Double4 room = Splat(block.rounding * weightSize) * size + Splat(0x1p-1000);
        BlockBound& bound = bounds[b];
        for (int r = 0; r < 3; ++r) {
            const bool finite = !block.always && std::isfinite(check[r]);
            bound.low[r] = finite ? down[r] - room[r] : NAN;
            bound.high[r] = finite ? up[r] + room[r] : NAN;
        }
    }
}

}  // namespace

std::unique_ptr<PoseSource> ExactPose::Fork() {
    // Vertex frames move every vertex anywhere: no rest box bounds them.
    if (scene_.frames.points > 0) return std::make_unique<ExactPose>(scene_);
    if (!blocks_) blocks_ = MakeBlocks(scene_);
    auto fork = std::make_unique<ExactPose>(scene_);
    fork->blocks_ = blocks_;
    return fork;
}

FrameBox ExactPose::BoxFrame(int32_t frame, std::span<Vector3f> positions) {
    if (positions.size() != meshStart_.back() || scene_.frames.points > 0)
        return PoseSource::BoxFrame(frame, positions);
    if (!blocks_) blocks_ = MakeBlocks(scene_);
    const ClipTime time = PoseNodes(frame);
    magnitudes_.resize(scene_.meshes.size());
    meshFrames_.clear();
    for (size_t m = 0; m < scene_.meshes.size(); ++m) {
        // A skin's first mesh comes before the meshes that share it.
        magnitudes_[m].clear();
        if (skinOf_[m] == m)
            for (const AffineColumns& joint : joints_[m]) magnitudes_[m].push_back(Magnitudes(joint));
        const AffineColumns rigid = Rigid(m);
        const bool morphing = scene_.meshes[m].TargetCount() > 0 && MeshWeights(m, time);
        meshFrames_.push_back({rigid, Magnitudes(rigid), joints_[skinOf_[m]].data(), magnitudes_[skinOf_[m]].data(),
                               weights_[m].data(), morphing});
    }
    BoundBlocks(*blocks_, meshFrames_, scan_.Bounds(blocks_->blocks.size()));

    return scan_.Run([&](uint32_t b, FrameBox& box) {
        const Blocks::Block& block = blocks_->blocks[b];
        const ExactMesh& mesh = scene_.meshes[block.mesh];
        const MeshFrame& at = meshFrames_[block.mesh];
        const std::vector<uint32_t>& morphStart = blocks_->morphStart[block.mesh];
        const auto& morphEntry = blocks_->morphEntry[block.mesh];
        for (uint32_t n = block.first; n < block.end; ++n) {
            const uint32_t v = blocks_->vertex[n];
            Vec3d p = mesh.positions[v];
            if (at.morphing)
                for (uint32_t e = morphStart[v]; e < morphStart[v + 1]; ++e) {
                    const auto [t, i] = morphEntry[e];
                    if (at.weights[t] != 0.0) p = AddScaled(p, at.weights[t], mesh.delta[i]);
                }
            Vector3f posed;
            PoseVertices(at.rigid, at.joints,
                         mesh.influenceStart.empty() ? nullptr : mesh.influenceStart.data() + v,
                         mesh.influenceJoint.data(), mesh.influenceWeight.data(), &p, 1, nullptr, &posed);
            box.Add(posed);
        }
    });
}

}  // namespace hm::imp
