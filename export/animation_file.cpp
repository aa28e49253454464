#include "export/animation_file.h"

#include "export/frame_pipeline.h"
#include "export/quantise.h"
#include "host/format_limits.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Room for "Writing frame no. N" before a frame's vertex lines.
constexpr size_t kFrameLineRoom = 32;

// One frame in flight: its box (first pass), or its records and log lines.
struct FrameSlot {
    FrameBox box;
    std::vector<uint8_t> records;
    std::vector<char> text;
    size_t textSize = 0;
};

// Where each worker poses its frames: the source itself with one worker, or
// a fork of it for each.
struct Workers {
    std::vector<std::unique_ptr<PoseSource>> forks;
    std::vector<std::vector<Vector3f>> positions;
    int Count() const { return static_cast<int>(positions.size()); }
};

Workers MakeWorkers(PoseSource& poses, int32_t frames, size_t vertices, int threads) {
    Workers workers;
    const int wanted = static_cast<int>(std::min<int64_t>(threads > 0 ? threads : BakeThreads(), std::max<int32_t>(frames, 1)));
    for (int i = 0; wanted > 1 && i < wanted; ++i) {
        std::unique_ptr<PoseSource> fork = poses.Fork();
        if (!fork) {
            workers.forks.clear();
            break;
        }
        workers.forks.push_back(std::move(fork));
    }
    workers.positions.resize(std::max<size_t>(workers.forks.size(), 1), std::vector<Vector3f>(vertices));
    return workers;
}

}  // namespace

AnimationResult WriteAnimationFile(hmModel* model, PoseSource& poses, OutputFile& file, ExportLog& log,
                                   uint16_t vertexTotal, int threads) {
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
    RunFramePipeline(
        workers.Count(), frameCount, slots.size(),
        [&](int worker, int32_t f, size_t slot) {
            std::vector<Vector3f>& positions = workers.positions[static_cast<size_t>(worker)];
            sourceOf(worker).PoseFrame(f, positions);
            FrameSlot& out = slots[slot];
            out.records.resize(vertices * kFrameVertexSize);
            QuantiseFrame(positions, offset, scale, out.records.data());
            file.WriteAt(kAnimHeaderSize + static_cast<uint64_t>(f) * out.records.size(), out.records.data(),
                         out.records.size());
            out.textSize = 0;
            if (!logged) return;
            out.text.resize(kFrameLineRoom + vertices * VertexLines::kLineRoom);
            char* const first = out.text.data() + kFrameLineRoom;
            out.textSize = static_cast<size_t>(lines.Format(meshVertices, out.records.data(), first) - first);
        },
        [&](int32_t, size_t slot) {
            // The frame's line goes just before its vertices' lines, so that
            // the log gets them in one piece.
            const int32_t current = hmModel_GetFrame(model);
            if (!logged) return;
            FrameSlot& frame = slots[slot];
            char line[kFrameLineRoom];
            char* end = std::to_chars(line + 18, line + sizeof line - 2, current).ptr;
            std::memcpy(line, "Writing frame no. ", 18);
            std::memcpy(end, "\r\n", 2);
            const size_t size = static_cast<size_t>(end + 2 - line);
            char* start = frame.text.data() + kFrameLineRoom - size;
            std::memcpy(start, line, size);
            log.Print(Verbatim{std::string_view(start, size + frame.textSize)});
        });
    return {frameCount, scale};
}
