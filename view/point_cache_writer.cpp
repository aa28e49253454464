#include "view/point_cache_writer.h"

#include "output/output_file.h"
#include "view/gltf_writer.h"

#include <cstring>
#include <limits>
#include <new>

namespace view {

namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutFloat(std::vector<uint8_t>& out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    PutU32(out, bits);
}

}  // namespace

Error WriteSetAsPointCache(const ExportedSet& set, const std::vector<uint32_t>& vertices, const std::string& path,
                           uint64_t& bytes) {
    bytes = 0;
    try {
        if (set.records.size() != size_t{set.frameCount} * set.vertexCount * 4)
            return Fault(ErrorKind::kBadInput, path + ": the set's frames are not whole");
        for (uint32_t vertex : vertices)
            if (vertex >= set.vertexCount)
                return Fault(ErrorKind::kBadInput, path + ": vertex " + std::to_string(vertex) + " is past the set's " +
                                                       std::to_string(set.vertexCount));
        if (vertices.size() > std::numeric_limits<int32_t>::max())
            return Fault(ErrorKind::kLimit, path + ": more points than a point cache holds");
        std::vector<uint8_t> data;
        data.reserve(32);
        const char magic[12] = "POINTCACHE2";
        data.insert(data.end(), magic, magic + 12);
        PutU32(data, 1);                                        // version
        PutU32(data, static_cast<uint32_t>(vertices.size()));  // points
        PutFloat(data, 0.0f);                                   // start frame
        PutFloat(data, 1.0f);                                   // sample step, in frames
        PutU32(data, set.frameCount);                           // samples
        OutputFile out;
        if (!out.Open(path)) return Fault(ErrorKind::kWriteFailed, out.Error());
        out.Write(data.data(), data.size());
        for (uint32_t frame = 0; frame < set.frameCount; ++frame) {
            data.clear();
            data.reserve(vertices.size() * 12);
            for (uint32_t vertex : vertices)
                for (float value : GltfPosition(set, frame, vertex)) PutFloat(data, value);
            out.Write(data.data(), data.size());
        }
        if (!out.Commit()) return Fault(ErrorKind::kWriteFailed, out.Error());
        bytes = 32 + uint64_t{set.frameCount} * vertices.size() * 12;
        return {};
    } catch (const std::bad_alloc&) {
        return Fault(ErrorKind::kOutOfMemory, path + ": not enough memory to write the point cache");
    } catch (const std::exception& failure) {
        return Fault(ErrorKind::kWriteFailed, path + ": " + failure.what());
    }
}

}  // namespace view
