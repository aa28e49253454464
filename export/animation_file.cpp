#include "export/animation_file.h"

#include "export/frame_pipeline.h"
#include "export/quantise.h"
#include "host/format_limits.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Room for "Writing frame no. N" before a frame's vertex lines.
constexpr size_t kFrameLineRoom = 32;

// One frame in flight: its box (first pass), or its log lines when they
// are handed over to be written in order.
struct FrameSlot {
    FrameBox box;
    std::vector<char> text;
    size_t textSize = 0;
};

// Where each frame's log text goes when the threads that make the frames
// write it themselves: frame f's place is known once every frame before it
// has its length. Frames are claimed in order, so the frame waited for is
// always being made.
class LogPlaces {
public:
    explicit LogPlaces(uint64_t start) : next_(start) {}

    // Frame f's place for size bytes, once frame f - 1 has its own. A frame
    // that fails takes none (size 0), so that the frames after it go on.
    uint64_t Take(int32_t frame, size_t size) {
        std::unique_lock<std::mutex> hold(lock_);
        placed_.wait(hold, [&] { return taken_ == frame; });
        const uint64_t at = next_;
        next_ += size;
        ++taken_;
        placed_.notify_all();
        return at;
    }
    uint64_t End() const { return next_; }

private:
    std::mutex lock_;
    std::condition_variable placed_;
    int32_t taken_ = 0;
    uint64_t next_;
};

// Where each worker poses its frames: the source itself with one worker, or
// a fork of it for each; and its own buffers, which stay in its core's cache
// whichever frames it takes.
struct Workers {
    std::vector<std::unique_ptr<PoseSource>> forks;
    std::vector<std::vector<Vector3f>> positions;
    std::vector<std::vector<uint8_t>> records;
    std::vector<std::vector<char>> text;  // log lines written at their place
    int Count() const { return static_cast<int>(positions.size()); }
};

Workers MakeWorkers(PoseSource& poses, int32_t frames, size_t vertices, int threads) {
    Workers workers;
    const int wanted = static_cast<int>(std::min<int64_t>(threads > 0 ? threads : MachineThreads(), std::max<int32_t>(frames, 1)));
    for (int i = 0; wanted > 1 && i < wanted; ++i) {
        std::unique_ptr<PoseSource> fork = poses.Fork();
        if (!fork) {
            workers.forks.clear();
            break;
        }
        workers.forks.push_back(std::move(fork));
    }
    const size_t count = std::max<size_t>(workers.forks.size(), 1);
    workers.positions.resize(count, std::vector<Vector3f>(vertices));
    workers.records.resize(count, std::vector<uint8_t>(vertices * kFrameVertexSize));
    workers.text.resize(count);
    return workers;
}

}  // namespace

AnimationResult WriteAnimationFile(hmModel* model, PoseSource& poses, OutputFile& file, ExportLog& log,
                                   uint16_t vertexTotal, int threads, int32_t tracedFrames) {
    float magnitude = 0.0f;
    log.Print("Beginning _a.3d file\n");

    // The model's own vertex counts, unwrapped: every vertex gets its record,
    // numbered within its mesh in the log.
    std::vector<int32_t> meshVertices;
    size_t vertices = 0;
    for (int32_t m = 0; m < hmModel_GetMeshCount(model); ++m) {
        meshVertices.push_back(std::max(hmMesh_GetVertexCount(hmModel_GetMeshAt(model, m)), 0));
        vertices += static_cast<size_t>(meshVertices.back());
    }

    std::array<uint8_t, kAnimHeaderSize> header{};
    const uint16_t frameCount = static_cast<uint16_t>(poses.FrameCount());
    log.Print("To File: Number of Frames - ", frameCount, "\n");
    if (poses.FrameCount() > hm::kMaxFrames)
        log.Print("Wrap: ", poses.FrameCount(), " frames; the frame count holds ", hm::kMaxFrames, ", so ", frameCount,
                  " frames are written\n");
    StoreU16(&header[0], frameCount);
    const uint16_t frameSize = static_cast<uint16_t>(vertexTotal * kFrameVertexSize);
    log.Print("To File: Framesize - ", frameSize, "\n");
    if (static_cast<int64_t>(vertices) > hm::kMaxFrameVertices)
        log.Print("Wrap: ", vertices, " vertices in all; the frame size holds ", hm::kMaxFrameVertices,
                  " vertices, so it reads ", frameSize, " while a frame holds ", vertices * kFrameVertexSize,
                  " bytes\n");
    StoreU16(&header[2], frameSize);
    // Every frame's records have their place in the file, so each is written
    // there by the thread that made it; only the log waits for frame order.
    file.WriteAt(0, header.data(), header.size());

    // Both passes pose on every worker; the frames come back here in order,
    // where the host is asked for its current frame and the file is written.
    Workers workers = MakeWorkers(poses, frameCount, vertices, threads);
    auto sourceOf = [&](int worker) -> PoseSource& {
        return workers.forks.empty() ? poses : *workers.forks[static_cast<size_t>(worker)];
    };
    std::vector<FrameSlot> slots(static_cast<size_t>(workers.Count()) * 4);
    // Each frame's records hashed mesh by mesh, kept for up to this many
    // meshes times frames (8 bytes each); past it, only whole frames.
    constexpr size_t kMeshHashes = size_t{1} << 20;
    const size_t meshCount = meshVertices.size();
    const size_t hashedMeshes = meshCount * frameCount <= kMeshHashes ? meshCount : 0;
    std::vector<uint64_t> meshHashes(hashedMeshes * frameCount);
    std::vector<uint64_t> frameHashes(frameCount);

    FrameBox bounds;
    RunFramePipeline(
        workers.Count(), frameCount, slots.size(),
        [&](int worker, int32_t f, size_t slot) {
            std::vector<Vector3f>& positions = workers.positions[static_cast<size_t>(worker)];
            slots[slot].box = sourceOf(worker).BoxFrame(f, positions);
        },
        [&](int32_t, size_t slot) { bounds.Add(slots[slot].box); });
    const Vector3f boundsMax = bounds.max;
    const Vector3f boundsMin = bounds.min;

    auto centre = [](float high, float low) {
        return static_cast<float>((static_cast<double>(high) - low) / 2.0 + low);
    };
    const Vector3f offset{centre(boundsMax.x, boundsMin.x), centre(boundsMax.y, boundsMin.y),
                         centre(boundsMax.z, boundsMin.z)};
    for (auto [high, middle] : {std::pair{boundsMax.x, offset.x}, std::pair{boundsMax.y, offset.y},
                                std::pair{boundsMax.z, offset.z}}) {
        double d = std::fabs(static_cast<double>(high) - static_cast<double>(middle));
        if (magnitude < d) magnitude = static_cast<float>(d);
    }
    const float scale = static_cast<float>(128.0 / static_cast<double>(magnitude));

    log.Print("Max Values - ", Fixed{boundsMax.x}, " ", Fixed{boundsMax.y}, " ", Fixed{boundsMax.z}, "\n",
              " Min Values - ", Fixed{boundsMin.x}, " ", Fixed{boundsMin.y}, " ", Fixed{boundsMin.z}, "\n");
    log.Print("Offset Values - ", Fixed{offset.x}, " ", Fixed{offset.y}, " ", Fixed{offset.z}, "\n");
    log.Print("Largest Magnitude - ", Fixed{magnitude}, "\n");
    log.Print("Scale factor - ", Fixed{scale}, "\n");

    const bool logged = log.IsOpen();
    const VertexLines lines(logged && vertices > 0 ? *std::max_element(meshVertices.begin(), meshVertices.end()) : 0);
    // Every frame's line shows the host's current frame, which stays as it
    // is while the host waits for the export.
    char frameLine[kFrameLineRoom];
    char* frameLineEnd = std::to_chars(frameLine + 18, frameLine + sizeof frameLine - 2, hmModel_GetFrame(model)).ptr;
    std::memcpy(frameLine, "Writing frame no. ", 18);
    std::memcpy(frameLineEnd, "\r\n", 2);
    const size_t frameLineSize = static_cast<size_t>(frameLineEnd + 2 - frameLine);
    // The thread that made a frame's lines writes them at their place in the
    // log, while they are in its core's cache: handed to another thread, the
    // text would cross between cores twice. A log without places (a pipe)
    // gets the frames in order on this thread instead.
    const int64_t logStart = logged && workers.Count() > 1 ? log.File().BeginPlaces() : -1;
    LogPlaces places(logStart >= 0 ? static_cast<uint64_t>(logStart) : 0);
    RunFramePipeline(
        workers.Count(), frameCount, slots.size(),
        [&](int worker, int32_t f, size_t slot) {
            const size_t w = static_cast<size_t>(worker);
            FrameSlot& out = slots[slot];
            std::vector<char>& text = logStart >= 0 ? workers.text[w] : out.text;
            size_t size = 0;
            try {
                sourceOf(worker).PoseFrame(f, workers.positions[w]);
                std::vector<uint8_t>& records = workers.records[w];
                QuantiseFrame(workers.positions[w], offset, scale, records.data());
                uint64_t frameHash = 14695981039346656037ull;
                const uint8_t* record = records.data();
                for (size_t m = 0; m < meshCount; ++m) {
                    uint64_t hash = 14695981039346656037ull;
                    for (int32_t v = 0; v < meshVertices[m]; ++v, record += kFrameVertexSize) {
                        uint64_t word;
                        std::memcpy(&word, record, sizeof word);
                        hash = (hash ^ word) * 1099511628211ull;
                    }
                    if (hashedMeshes) meshHashes[static_cast<size_t>(f) * hashedMeshes + m] = hash;
                    frameHash = (frameHash ^ hash) * 1099511628211ull;
                }
                frameHashes[static_cast<size_t>(f)] = frameHash;
                file.WriteAt(kAnimHeaderSize + static_cast<uint64_t>(f) * records.size(), records.data(),
                             records.size());
                if (logged && f < tracedFrames) {
                    // The frame's line just before its vertices' lines, so
                    // that the log gets them in one piece.
                    text.resize(kFrameLineRoom + vertices * VertexLines::kLineRoom);
                    char* const first = text.data() + kFrameLineRoom;
                    std::memcpy(first - frameLineSize, frameLine, frameLineSize);
                    size = static_cast<size_t>(lines.Format(meshVertices, records.data(), first) - first) + frameLineSize;
                }
            } catch (...) {
                if (logStart >= 0) places.Take(f, 0);
                throw;
            }
            out.textSize = size;
            if (logStart >= 0)
                log.File().WriteAt(places.Take(f, size), text.data() + kFrameLineRoom - frameLineSize, size);
        },
        [&](int32_t, size_t slot) {
            if (!logged || logStart >= 0) return;
            const FrameSlot& frame = slots[slot];
            log.Print(Verbatim{std::string_view(frame.text.data() + kFrameLineRoom - frameLineSize, frame.textSize)});
        });
    if (logStart >= 0) log.File().EndPlaces(places.End());
    if (tracedFrames < frameCount)
        log.Print("Frames ", tracedFrames, " to ", frameCount - 1, ": their vertices are not traced in this log\n");
    std::vector<bool> meshMoves(hashedMeshes, false);
    for (size_t f = 1; f < frameCount; ++f)
        for (size_t m = 0; m < hashedMeshes; ++m)
            if (meshHashes[f * hashedMeshes + m] != meshHashes[m]) meshMoves[m] = true;
    return {frameCount, scale, std::move(frameHashes), std::move(meshMoves)};
}
