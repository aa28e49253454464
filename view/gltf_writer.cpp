#include "view/gltf_writer.h"

#include "output/output_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <tuple>
#include <unordered_map>

namespace view {

namespace {

using nlohmann::json;

constexpr float kDefaultRate = 30;  // frames per second of a sequence without RATE=
constexpr int kComponentFloat = 5126, kComponentUnsignedInt = 5125;
constexpr int kTargetArray = 34962, kTargetElements = 34963;
// Where in a texel row of 255 steps a byte's coordinate lies; see the header.
constexpr double kTexCoordMargin = 0.125;
// A sequence's animation holds a weight for every morph target at two times
// a frame, so its size grows with its frames times the targets. The
// animations together may take as many bytes as the morph targets do, and
// this much more; sequences past that, or past kMaxAnimations, are left out
// (named as differences), and sequences of one range and rate share their
// data. The sequences on the timeline the exporter gives back always go in:
// when they alone take more, the set is too large for the file.
constexpr uint64_t kAnimationBytes = 64ull << 20;
constexpr size_t kMaxAnimations = 4096;
// Lines listed for one kind of difference before the rest are only counted.
constexpr size_t kExamplesListed = 3;

// JSON has no infinity or NaN (nlohmann writes null): none may reach the file.
bool Finite(const json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured())
        for (const json& item : value)
            if (!Finite(item)) return false;
    return true;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Triangles of one texture slot and one type: one primitive, one material.
struct Group {
    uint8_t slot = 0, type = 0, flags = 0;
    std::vector<uint32_t> triangles;
    std::vector<uint32_t> vertices;                // set vertex of each corner vertex, ascending
    std::vector<std::array<uint8_t, 2>> uv;        // its texture coordinate bytes
    std::vector<uint32_t> indices;                 // three per triangle, into vertices
};

// One piece of the binary chunk: its bytes now, or a writer that makes them
// while the file is written (the morph targets, which would not fit twice).
struct Block {
    size_t size = 0;
    std::vector<uint8_t> bytes;
    std::function<void(std::vector<uint8_t>&)> make;
};

class GltfBuilder {
public:
    GltfBuilder(const ExportedSet& set, GltfReport& report, GltfFrames frames)
        : set_(set), report_(report), meshOnly_(frames == GltfFrames::kMeshOnly) {}

    Error Build() {
        if (set_.records.size() != size_t{set_.frameCount} * set_.vertexCount * 4)
            return Fault(ErrorKind::kBadInput, "the set's frames are not whole");
        GroupTriangles();
        if (groups_.empty()) return Fault(ErrorKind::kBadInput, "no triangle names vertices the set has");
        DecodeFrames();
        json mesh = {{"name", set_.meshName}, {"primitives", json::array()}};
        for (const Group& group : groups_) mesh["primitives"].push_back(Primitive(group));
        if (!targetFrames_.empty()) mesh["weights"] = std::vector<float>(targetFrames_.size(), 0.0f);
        root_["meshes"] = json::array({mesh});
        Place();
        json node = {{"name", set_.meshName}, {"mesh", 0}};
        if (placement_ != std::array<float, 3>{0, 0, 0}) node["translation"] = placement_;
        root_["nodes"] = json::array({node});
        root_["scenes"] = json::array({{{"nodes", {0}}}});
        root_["scene"] = 0;
        if (Error error = Animations()) return error;
        report_.morphTargets = targetFrames_.size();
        report_.primitives = groups_.size();
        // vantrel-export reads a file of this generator vertex for vertex.
        root_["asset"] = {{"version", "2.0"}, {"generator", "vantrel-view"}};
        return {};
    }

    // Through a temporary of a unique name, created exclusively beside path
    // and renamed over it when complete (output/): nothing planted at any
    // name is written through, and an earlier file stays until then.
    Error Write(const std::string& path) {
        root_["buffers"] = json::array({{{"byteLength", binBytes_}}});
        if (!Finite(root_))
            return Fault(ErrorKind::kBadInput, path + ": a number of the file would be infinite or not a number");
        // Names come from the script class as bytes (old sets are often in a
        // Windows code page): JSON holds UTF-8, so others become U+FFFD.
        std::string text = root_.dump(-1, ' ', false, json::error_handler_t::replace);
        text.resize((text.size() + 3) / 4 * 4, ' ');
        const uint64_t total = 12 + 8 + text.size() + 8 + binBytes_;
        if (total > 0xFFFFFFFFull)
            return Fault(ErrorKind::kLimit,
                         path + ": the file would be " + std::to_string(total) + " bytes, more than glTF's 4 GiB");
        OutputFile out;
        if (!out.Open(path)) return Fault(ErrorKind::kWriteFailed, out.Error());
        auto u32 = [&](uint64_t value) {
            const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
            out.Write(b, 4);
        };
        u32(0x46546C67);  // "glTF"
        u32(2);
        u32(total);
        u32(text.size());
        u32(0x4E4F534A);  // "JSON"
        out.Write(text);
        u32(binBytes_);
        u32(0x004E4942);  // "BIN\0"
        std::vector<uint8_t> bytes;
        for (Block& block : blocks_) {
            if (block.make) {
                bytes.clear();
                block.make(bytes);
            }
            const std::vector<uint8_t>& data = block.make ? bytes : block.bytes;
            out.Write(data.data(), data.size());
            static const char zeros[4] = {};
            out.Write(zeros, Padded(block.size) - block.size);
        }
        if (!out.Commit()) return Fault(ErrorKind::kWriteFailed, out.Error());
        report_.bytes = total;
        return {};
    }

private:
    static size_t Padded(size_t size) { return (size + 3) / 4 * 4; }
    void Difference(const std::string& text) { report_.differences.push_back(text); }

    int AddView(Block block, int target = 0) {
        json view = {{"buffer", 0}, {"byteOffset", binBytes_}, {"byteLength", block.size}};
        if (target) view["target"] = target;
        binBytes_ += Padded(block.size);
        blocks_.push_back(std::move(block));
        root_["bufferViews"].push_back(view);
        return static_cast<int>(root_["bufferViews"].size() - 1);
    }

    int AddAccessor(int view, int component, size_t count, const char* type, json extra = json::object()) {
        json accessor = {{"bufferView", view}, {"componentType", component}, {"count", count}, {"type", type}};
        accessor.update(extra);
        root_["accessors"].push_back(accessor);
        return static_cast<int>(root_["accessors"].size() - 1);
    }

    template <typename T>
    static Block BytesOf(const std::vector<T>& values) {
        Block block;
        block.size = values.size() * sizeof(T);
        block.bytes.resize(block.size);
        if (block.size) std::memcpy(block.bytes.data(), values.data(), block.size);
        return block;
    }

    std::array<float, 3> Position(uint32_t frame, uint32_t vertex) const { return GltfPosition(set_, frame, vertex); }

    void GroupTriangles() {
        std::map<std::pair<int, int>, size_t> byKey;
        size_t skipped = 0;
        for (uint32_t i = 0; i < set_.polygons.size(); ++i) {
            const SetPolygon& polygon = set_.polygons[i];
            if (std::any_of(polygon.corners.begin(), polygon.corners.end(),
                            [&](uint16_t c) { return c >= set_.vertexCount; })) {
                ++skipped;
                continue;
            }
            auto [at, added] = byKey.try_emplace({polygon.textureSlot, polygon.type}, groups_.size());
            if (added) groups_.push_back({polygon.textureSlot, polygon.type, polygon.flags, {}, {}, {}, {}});
            groups_[at->second].triangles.push_back(i);
        }
        if (skipped)
            Difference(std::to_string(skipped) + " triangles name vertices past the last and are left out");
        std::sort(groups_.begin(), groups_.end(),
                  [](const Group& a, const Group& b) { return std::pair(a.slot, a.type) < std::pair(b.slot, b.type); });

        // The exporter numbers the vertices mesh by mesh, each mesh's in its
        // order, and makes each mesh's index its slot: name what will differ.
        std::vector<uint32_t> order;
        std::vector<int> groupsOfVertex(set_.vertexCount, 0);
        size_t split = 0, slotChanges = 0, typesShared = 0, flagsDropped = 0;
        std::vector<uint32_t> triangleOrder;
        for (size_t g = 0; g < groups_.size(); ++g) {
            Group& group = groups_[g];
            if (group.slot != g) ++slotChanges;
            if (g > 0 && groups_[g - 1].slot == group.slot) ++typesShared;
            std::map<std::pair<uint32_t, uint16_t>, uint32_t> local;
            for (uint32_t t : group.triangles)
                for (int k = 0; k < 3; ++k) {
                    const SetPolygon& polygon = set_.polygons[t];
                    local.emplace(std::pair(polygon.corners[k], polygon.uv[k][0] | polygon.uv[k][1] << 8), 0);
                    if (polygon.flags != group.flags) ++flagsDropped;
                }
            for (auto& [key, index] : local) {
                index = static_cast<uint32_t>(group.vertices.size());
                if (!group.vertices.empty() && group.vertices.back() == key.first) ++split;
                else ++groupsOfVertex[key.first];
                group.vertices.push_back(key.first);
                group.uv.push_back({uint8_t(key.second), uint8_t(key.second >> 8)});
                order.push_back(key.first);
            }
            for (uint32_t t : group.triangles) {
                triangleOrder.push_back(t);
                const SetPolygon& polygon = set_.polygons[t];
                for (int k = 0; k < 3; ++k)
                    group.indices.push_back(local[{polygon.corners[k], polygon.uv[k][0] | polygon.uv[k][1] << 8}]);
            }
        }
        size_t unused = 0, shared = 0;
        for (int count : groupsOfVertex) unused += count == 0, shared += count > 1;
        if (unused) Difference(std::to_string(unused) + " vertices no triangle uses are left out");
        if (shared)
            Difference(std::to_string(shared) +
                       " vertices shared by triangles of different texture slots or types are written once for each");
        if (split)
            Difference(std::to_string(split) +
                       " more vertices are written where a vertex has other texture coordinates in another triangle");
        report_.vertices = order;
        bool renumbered = order.size() != set_.vertexCount;
        for (size_t i = 0; !renumbered && i < order.size(); ++i) renumbered = order[i] != i;
        if (renumbered && !unused && !shared && !split)
            Difference("the vertices are not numbered texture slot by texture slot: exported back, they are renumbered");
        bool reordered = false;
        for (size_t i = 0; i < triangleOrder.size(); ++i) reordered |= triangleOrder[i] != i;
        if (reordered)
            Difference("the triangles are not in texture slot order: exported back, they come slot by slot");
        if (slotChanges)
            Difference(std::to_string(slotChanges) + " texture slots" +
                       (typesShared ? " (with a slot holding triangles of several types)" : std::string()) +
                       " are not numbered 0, 1, 2, ...: exported back, slot i is the i-th material");
        if (flagsDropped)
            Difference(std::to_string(flagsDropped) + " triangle corners carry other flags than the first of their slot and type");
    }

    static float Middle(int record) { return record + (record > 0 ? 0.5f : record < 0 ? -0.5f : 0.0f); }

    // The exporter centres the box of every frame and the origin, and a set
    // keeps no offset: where the records leave one side of an axis short, the
    // origin was there (a model standing on it, say). The node stands the mesh
    // back on it, so that exporting gives the same box, and the mesh itself
    // keeps the positions the engine decodes.
    void Place() {
        const size_t records = set_.records.size() / 4;
        if (records == 0) return;
        for (int a = 0; a < 3; ++a) {
            int low = INT16_MAX, high = INT16_MIN;
            for (size_t i = 0; i < records; ++i) {
                low = std::min<int>(low, set_.records[i * 4 + a]);
                high = std::max<int>(high, set_.records[i * 4 + a]);
            }
            recordLow_[a] = low;
            recordHigh_[a] = high;
            const float lo = Middle(low) - set_.origin[a], hi = Middle(high) - set_.origin[a];
            const float shift = lo + hi > 1 ? hi * set_.scale[a] : lo + hi < -1 ? lo * set_.scale[a] : 0.0f;
            placement_[a == 0 ? 0 : 3 - a] = shift;  // host axes: x, z, y
        }
    }

    // Readers merge the vertices of a primitive that are alike in its own
    // attributes, morph targets aside (Assimp does): the mesh is the first
    // frame in which no two are alike, frame 0 when there is none.
    uint32_t BaseFrame() const {
        for (uint32_t f = 0; f < std::min<uint32_t>(set_.frameCount, 64); ++f) {
            bool alike = false;
            for (const Group& group : groups_) {
                std::set<std::tuple<std::array<int16_t, 3>, uint8_t, uint8_t>> seen;
                for (size_t i = 0; i < group.vertices.size() && !alike; ++i) {
                    const int16_t* r = set_.records.data() + (size_t(f) * set_.vertexCount + group.vertices[i]) * 4;
                    alike = !seen.insert({{r[0], r[1], r[2]}, group.uv[i][0], group.uv[i][1]}).second;
                }
                if (alike) break;
            }
            if (!alike) return f;
        }
        return 0;
    }

    // Frames equal to the mesh's take no target; equal frames share one.
    void DecodeFrames() {
        base_ = BaseFrame();
        frameTarget_.assign(set_.frameCount, -1);
        const size_t words = static_cast<size_t>(set_.vertexCount) * 4;
        std::unordered_map<std::string_view, int> seen;
        auto frame = [&](uint32_t f) {
            return std::string_view(reinterpret_cast<const char*>(set_.records.data() + f * words), words * 2);
        };
        if (set_.frameCount) seen.emplace(frame(base_), -1);
        for (uint32_t f = 0; f < set_.frameCount && !meshOnly_; ++f) {
            auto [at, added] = seen.try_emplace(frame(f), static_cast<int>(targetFrames_.size()));
            if (added) targetFrames_.push_back(f);
            frameTarget_[f] = at->second;
        }
        if (set_.frameCount == 0) Difference("the set holds no frame: every position is written as 0");

        // Set vertices alike in every frame: the engine cannot tell them apart,
        // and vantrel-export joins them unless told not to (each corner keeps
        // its texture coordinates), as it rejoins the copies written above.
        alike_ = 0;
        for (const Group& group : groups_) {
            std::set<uint64_t> seen;
            for (size_t i = 0; i < group.vertices.size(); ++i) {
                if (i > 0 && group.vertices[i] == group.vertices[i - 1]) continue;  // a copy for other coordinates
                uint64_t hash = 14695981039346656037ull;
                for (uint32_t f = 0; f < set_.frameCount; ++f) {
                    const int16_t* r = set_.records.data() + (size_t(f) * set_.vertexCount + group.vertices[i]) * 4;
                    for (int a = 0; a < 3; ++a) hash = (hash ^ static_cast<uint16_t>(r[a])) * 1099511628211ull;
                }
                alike_ += !seen.insert(hash).second;
            }
        }
        if (alike_)
            Difference(std::to_string(alike_) + " vertices match another in every frame: exported back with "
                       "--no-weld they stay apart, and readers that join alike vertices merge them (the engine shows the same)");
    }

    json Primitive(const Group& group) {
        const size_t n = group.vertices.size();
        std::vector<float> positions(n * 3), uv(n * 2);
        std::array<float, 3> low{0, 0, 0}, high{0, 0, 0};
        for (size_t i = 0; i < n; ++i) {
            const std::array<float, 3> p = set_.frameCount ? Position(base_, group.vertices[i]) : std::array<float, 3>{};
            for (int a = 0; a < 3; ++a) {
                positions[i * 3 + a] = p[a];
                low[a] = i ? std::min(low[a], p[a]) : p[a];
                high[a] = i ? std::max(high[a], p[a]) : p[a];
            }
            for (int a = 0; a < 2; ++a) uv[i * 2 + a] = static_cast<float>((group.uv[i][a] + kTexCoordMargin) / 255.0);
        }
        json attributes;
        attributes["POSITION"] = AddAccessor(AddView(BytesOf(positions), kTargetArray), kComponentFloat, n, "VEC3",
                                             {{"min", low}, {"max", high}});
        attributes["TEXCOORD_0"] = AddAccessor(AddView(BytesOf(uv), kTargetArray), kComponentFloat, n, "VEC2");
        json primitive = {{"attributes", attributes},
                          {"indices", AddAccessor(AddView(BytesOf(group.indices), kTargetElements),
                                                  kComponentUnsignedInt, group.indices.size(), "SCALAR")},
                          {"material", Material(group)}};
        if (targetFrames_.empty()) return primitive;
        primitive["targets"] = json::array();
        const Group* g = &group;
        for (uint32_t frame : targetFrames_) {
            std::array<float, 3> dLow{0, 0, 0}, dHigh{0, 0, 0};
            for (size_t i = 0; i < n; ++i) {
                const std::array<float, 3> d = Delta(frame, g->vertices[i]);
                for (int a = 0; a < 3; ++a) {
                    dLow[a] = i ? std::min(dLow[a], d[a]) : d[a];
                    dHigh[a] = i ? std::max(dHigh[a], d[a]) : d[a];
                }
            }
            Block block;
            block.size = n * 12;
            block.make = [this, g, frame](std::vector<uint8_t>& out) {
                out.resize(g->vertices.size() * 12);
                for (size_t i = 0; i < g->vertices.size(); ++i) {
                    const std::array<float, 3> d = Delta(frame, g->vertices[i]);
                    std::memcpy(out.data() + i * 12, d.data(), 12);
                }
            };
            morphBytes_ += block.size;
            primitive["targets"].push_back(
                {{"POSITION", AddAccessor(AddView(std::move(block), kTargetArray), kComponentFloat, n, "VEC3",
                                          {{"min", dLow}, {"max", dHigh}})}});
        }
        return primitive;
    }

    std::array<float, 3> Delta(uint32_t frame, uint32_t vertex) const {
        const std::array<float, 3> p = Position(frame, vertex), base = Position(base_, vertex);
        return {p[0] - base[0], p[1] - base[1], p[2] - base[2]};
    }

    // The triangle type's bits as glTF says them: 1 two-sided, 2 translucent,
    // 3 masked (palette entry 0 see-through), +16 unlit, and +8 weapon as the
    // material's name (the exporter gives the first triangle of a material
    // named weapon the flag); the bytes themselves ride in the material's
    // extras for tools that read them.
    int Material(const Group& group) {
        std::string name;
        const SetTexture* texture = nullptr;
        for (const SetTexture& t : set_.textures)
            if (t.slot == group.slot) texture = &t;
        name = texture && !texture->name.empty() ? texture->name : "Slot" + std::to_string(group.slot);
        if (group.type & 8) {
            name = "weapon";
            if (group.triangles.size() > 1)
                Difference(std::to_string(group.triangles.size()) + " triangles of texture slot " +
                           std::to_string(group.slot) + " are weapon triangles: exported back, only the first is");
        }
        json material = {{"name", name}};
        json pbr = {{"metallicFactor", 0.0}, {"roughnessFactor", 1.0}};
        if (texture && !texture->png.empty()) pbr["baseColorTexture"] = {{"index", Texture(*texture)}};
        else Difference("texture slot " + std::to_string(group.slot) + " has no image: its material has none");
        material["pbrMetallicRoughness"] = pbr;
        const int kind = group.type & 7;
        material["doubleSided"] = kind != 0;
        if (kind == 2) material["alphaMode"] = "BLEND";
        if (kind == 3) material["alphaMode"] = "MASK";
        if (kind > 3) Difference("triangle type " + std::to_string(group.type) + " (slot " + std::to_string(group.slot) +
                                 ") has no glTF material of its own: it is kept only in the material's extras");
        if (group.type & 16) {
            material["extensions"] = {{"KHR_materials_unlit", json::object()}};
            root_["extensionsUsed"] = json::array({"KHR_materials_unlit"});
        }
        material["extras"] = {{"vantrelTextureSlot", group.slot},
                              {"vantrelPolyType", group.type},
                              {"vantrelPolyFlags", group.flags},
                              {"vantrelWeapon", (group.type & 8) != 0}};
        root_["materials"].push_back(material);
        return static_cast<int>(root_["materials"].size() - 1);
    }

    int Texture(const SetTexture& texture) {
        auto known = textureOf_.find(texture.foundPath);
        if (known != textureOf_.end()) return known->second;
        std::string name = texture.file.substr(texture.file.find_last_of("/\\") + 1);
        name = name.substr(0, name.find_last_of('.'));
        // The exporter names a texture it takes out of a .glb MODEL_NAME: with
        // the file named after the mesh, the name comes back as it was.
        if (Upper(name).rfind(Upper(set_.meshName) + "_", 0) == 0 && name.size() > set_.meshName.size() + 1)
            name = name.substr(set_.meshName.size() + 1);
        root_["images"].push_back(
            {{"name", name}, {"mimeType", "image/png"}, {"bufferView", AddView(BytesOf(texture.png))}});
        root_["textures"].push_back({{"source", root_["images"].size() - 1}});
        return textureOf_[texture.foundPath] = static_cast<int>(root_["textures"].size() - 1);
    }

    Error Animations() {
        // Sequences as the engine has them, cut to the frames there are.
        std::vector<Sequence> sequences;
        const int frames = static_cast<int>(set_.frameCount);
        for (const Sequence& s : set_.script.sequences) {
            if (s.firstFrame < 0 || s.frameCount <= 0 || s.firstFrame >= frames) {
                Difference("sequence " + s.name + " has no frame of the set and is left out");
                continue;
            }
            Sequence kept = s;
            if (static_cast<int64_t>(s.firstFrame) + s.frameCount > frames) {
                kept.frameCount = frames - s.firstFrame;
                Difference("sequence " + s.name + " is cut to the " + std::to_string(kept.frameCount) + " frames there are");
            }
            sequences.push_back(kept);
        }
        std::vector<int> chain = Timeline(sequences, frames);
        if (frames > 0 && chain.empty()) {
            std::set<std::string> names;
            for (const Sequence& s : sequences) names.insert(Upper(s.name));
            Sequence all{"All", 0, frames, 0, 0};
            for (int n = 2; names.count(Upper(all.name)); ++n) all.name = "All" + std::to_string(n);
            Difference("no sequence or run of sequences covers every frame: animation " + all.name + " does");
            chain.push_back(static_cast<int>(sequences.size()));
            sequences.push_back(all);
        }
        if (Error error = ChooseAnimations(sequences, chain)) return error;
        for (size_t i = 0; i < sequences.size(); ++i) {
            if (!written_[i]) continue;
            const Sequence& sequence = sequences[i];
            if (!meshOnly_) Animation(sequence);
            // Rates and frames for tools that play the animations at the engine's pace.
            root_["extras"]["vantrelSequences"].push_back({{"name", sequence.name},
                                                           {"firstFrame", sequence.firstFrame},
                                                           {"frames", sequence.frameCount},
                                                           {"rate", sequence.rate > 0 ? sequence.rate : kDefaultRate}});
        }

        // What the exporter writes back: its All line, then one per clip.
        auto rate = [](const Sequence& s) { return s.rate > 0 ? s.rate : kDefaultRate; };
        using Range = std::tuple<std::string, int, int>;  // name in upper case, first frame, frames
        auto range = [](const Sequence& s) { return Range(Upper(s.name), s.firstFrame, s.frameCount); };
        std::vector<Sequence> back;
        if (frames > 0) back.push_back({"All", 0, frames, 0, 0});
        for (int i : chain)
            if (!(Upper(sequences[i].name) == "ALL" && sequences[i].frameCount == frames)) back.push_back(sequences[i]);
        std::set<Range> backRanges, classRanges;
        for (const Sequence& b : back) backRanges.insert(range(b));
        for (const Sequence& s : set_.script.sequences) classRanges.insert(range(s));
        // The exporter writes its All line at the engine's rate and every clip
        // at the one rate it samples them at: the first clip's.
        const float backRate = chain.empty() ? kDefaultRate : rate(sequences[chain[0]]);
        auto rateText = [](float r) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", r);
            return r == kDefaultRate ? std::string("no RATE= (") + text + ")" : "RATE=" + std::string(text);
        };
        size_t notClips = 0;
        for (const Sequence& s : set_.script.sequences) {
            if (!backRanges.count(range(s))) {
                if (++notClips <= kExamplesListed)
                    Difference("sequence " + s.name + " (line " + std::to_string(s.line) +
                               ") is not a clip on the exported timeline: add its line to the class again after exporting");
            } else if (const float back = range(s) == Range("ALL", 0, frames) ? kDefaultRate : backRate;
                       rate(s) != back) {
                Difference("sequence " + s.name + " has " + rateText(rate(s)) + "; exported back, its line has " +
                           rateText(back));
            }
        }
        if (notClips > kExamplesListed)
            Difference(std::to_string(notClips - kExamplesListed) +
                       " more sequences are not clips on the exported timeline either");
        for (const Sequence& b : back)
            if (!classRanges.count(range(b))) Difference("exported back, the class gains sequence " + b.name);

        report_.exportOptions.clear();
        if (alike_) report_.exportOptions.push_back("--no-weld");
        // The exporter fits the box of the positions, with the origin, to 128
        // steps, and the mesh map's scale follows from that box: a set's
        // records seldom reach 128 (truncation stops them short), so the
        // decoded box is a little smaller, and --scale stretches it back to
        // give the set's own mesh map scale. The records do not depend on it.
        float half = 0, inv = 0;
        for (int a = 0; a < 3; ++a) {
            const float shift = placement_[a == 0 ? 0 : 3 - a];
            const float lo = (Middle(recordLow_[a]) - set_.origin[a]) * set_.scale[a] + shift;
            const float hi = (Middle(recordHigh_[a]) - set_.origin[a]) * set_.scale[a] + shift;
            half = std::max(half, (std::max(std::max(lo, hi), 0.0f) - std::min(std::min(lo, hi), 0.0f)) / 2);
            inv = std::max(inv, std::fabs(set_.scale[a]));
        }
        if (set_.scale[0] != set_.scale[1] || set_.scale[0] != set_.scale[2])
            Difference("the mesh map scales X, Y and Z differ: the exporter writes one scale for all three");
        // Only a set fitted to 128 steps (its records short of them by
        // truncation, or on the box's edge at 128): another tool's set keeps
        // the size the engine shows it at.
        const float steps = inv > 0 ? half / inv : 0;
        if (const double scale = 128.0 * inv / half; half > 0 && std::isfinite(half) && std::isfinite(scale) &&
                                                     steps >= 126 && steps <= 129) {
            char text[32];
            std::snprintf(text, sizeof text, "%.9g", scale);
            if (std::string(text) != "1") report_.exportOptions.insert(report_.exportOptions.end(), {"--scale", text});
        }
        if (!chain.empty()) {
            const float fps = rate(sequences[chain[0]]);
            for (int i : chain)
                if (rate(sequences[i]) != fps)
                    Difference("the sequences on the timeline play at different rates: exported back at " +
                               std::to_string(fps) + " frames per second, sequence " + sequences[i].name +
                               " gains or loses frames");
            if (fps != kDefaultRate) {
                char text[32];
                std::snprintf(text, sizeof text, "%g", fps);
                report_.exportOptions.push_back("--fps");
                report_.exportOptions.push_back(text);
            }
            for (int i : chain) {
                report_.exportOptions.push_back("--clip");
                report_.exportOptions.push_back(sequences[i].name);
            }
        }
        root_["extras"]["vantrelExportOptions"] = report_.exportOptions;
        return {};
    }

    // The bytes a sequence's animation takes: a time and a weight for every
    // target (the node's translation when there is none) twice a frame.
    uint64_t AnimationBytes(const Sequence& sequence) const {
        const uint64_t keys = 2 * static_cast<uint64_t>(sequence.frameCount);
        return keys * 4 * (1 + (targetFrames_.empty() ? 3 : targetFrames_.size()));
    }

    // Which sequences become animations (written_): those on the timeline
    // first, then the rest in the class's order while they fit the budget.
    Error ChooseAnimations(const std::vector<Sequence>& sequences, const std::vector<int>& chain) {
        written_.assign(sequences.size(), meshOnly_);  // without animations, every sequence is in the extras
        if (meshOnly_) return {};
        const uint64_t budget = kAnimationBytes + morphBytes_;
        uint64_t spent = 0;
        size_t count = 0;
        std::set<SamplerKey> paid;
        auto cost = [&](const Sequence& s) { return paid.count(Key(s)) ? 0 : AnimationBytes(s); };
        auto take = [&](size_t i) {
            spent += cost(sequences[i]);
            paid.insert(Key(sequences[i]));
            written_[i] = true;
            ++count;
        };
        for (int i : chain) take(static_cast<size_t>(i));
        if (spent > budget)
            return Fault(ErrorKind::kLimit, "the animations of the sequences on the timeline would take " +
                                                std::to_string(spent) + " bytes (a weight for each of " +
                                                std::to_string(targetFrames_.size()) +
                                                " morph targets twice a frame), more than the " + std::to_string(budget) +
                                                " this file allows");
        std::vector<std::string> leftOut;
        bool overBudget = false;
        for (size_t i = 0; i < sequences.size(); ++i) {
            if (written_[i]) continue;
            const bool fits = spent + cost(sequences[i]) <= budget;
            if (count < kMaxAnimations && fits) take(i);
            else leftOut.push_back(sequences[i].name), overBudget = overBudget || !fits;
        }
        if (!leftOut.empty()) {
            std::string names;
            for (size_t i = 0; i < std::min(leftOut.size(), kExamplesListed); ++i) names += (i ? ", " : "") + leftOut[i];
            if (leftOut.size() > kExamplesListed) names += " and " + std::to_string(leftOut.size() - kExamplesListed) + " more";
            Difference(std::to_string(leftOut.size()) + (leftOut.size() == 1 ? " sequence is" : " sequences are") +
                       " left out of the file (" + names + "): " +
                       (overBudget ? "their animations would take more than the " + std::to_string(budget) +
                                         " bytes the file allows them"
                                   : "it holds at most " + std::to_string(kMaxAnimations) + " animations"));
        }
        return {};
    }

    // The run of sequences, end to end from frame 0 to the last, that the
    // exporter's clips reproduce: the most of them, a sequence over every
    // frame only when nothing finer covers them. Empty when none does.
    static std::vector<int> Timeline(const std::vector<Sequence>& sequences, int frames) {
        std::vector<int> best(static_cast<size_t>(frames) + 1, -1), via(static_cast<size_t>(frames) + 1, -1);
        std::vector<std::vector<int>> starting(static_cast<size_t>(frames));  // the sequences starting at each frame
        for (size_t i = 0; i < sequences.size(); ++i) starting[sequences[i].firstFrame].push_back(static_cast<int>(i));
        best[0] = 0;
        for (int f = 0; f < frames; ++f) {
            if (best[f] < 0) continue;
            for (int i : starting[f]) {
                const Sequence& s = sequences[i];
                if (f == 0 && s.frameCount == frames) continue;
                const int end = f + s.frameCount;
                if (best[f] + 1 > best[end]) best[end] = best[f] + 1, via[end] = i;
            }
        }
        std::vector<int> chain;
        if (frames > 0 && best[frames] > 0) {
            for (int f = frames; f > 0; f = sequences[via[f]].firstFrame) chain.insert(chain.begin(), via[f]);
            return chain;
        }
        int whole = -1;
        for (size_t i = 0; i < sequences.size(); ++i)
            if (sequences[i].firstFrame == 0 && sequences[i].frameCount == frames &&
                (whole < 0 || Upper(sequences[static_cast<size_t>(whole)].name) == "ALL"))
                whole = static_cast<int>(i);
        return whole < 0 ? std::vector<int>() : std::vector<int>{whole};
    }

    // Sequences of one range and rate share their animation's data.
    using SamplerKey = std::tuple<int, int, float>;
    static SamplerKey Key(const Sequence& s) { return {s.firstFrame, s.frameCount, s.rate > 0 ? s.rate : kDefaultRate}; }

    // A set whose frames are all alike has no targets, and glTF animates the
    // weights only of a mesh that has them: its sequences hold the node still
    // instead, which keeps their names and lengths for the tool and the exporter.
    void Animation(const Sequence& sequence) {
        const bool still = targetFrames_.empty();
        auto [sampler, added] = samplers_.try_emplace(Key(sequence));
        if (added) {
            const float rate = sequence.rate > 0 ? sequence.rate : kDefaultRate;
            const size_t width = still ? 3 : targetFrames_.size();
            std::vector<float> times, values;
            const int n = sequence.frameCount;
            for (int k = 0; k < n; ++k) {
                const int target = frameTarget_[static_cast<size_t>(sequence.firstFrame + k)];
                for (double at : {k == 0 ? 0.0 : k - 0.25, k == n - 1 ? k : k + 0.25}) {
                    const float time = static_cast<float>(at / rate);
                    if (!times.empty() && time <= times.back()) continue;
                    times.push_back(time);
                    for (size_t t = 0; t < width; ++t)
                        values.push_back(still ? placement_[t] : static_cast<int>(t) == target ? 1.0f : 0.0f);
                }
            }
            const int input = AddAccessor(AddView(BytesOf(times)), kComponentFloat, times.size(), "SCALAR",
                                          {{"min", {times.front()}}, {"max", {times.back()}}});
            const int output = AddAccessor(AddView(BytesOf(values)), kComponentFloat, values.size() / (still ? 3 : 1),
                                           still ? "VEC3" : "SCALAR");
            sampler->second = {input, output};
        }
        root_["animations"].push_back(
            {{"name", sequence.name},
             {"samplers", json::array({{{"input", sampler->second.first},
                                        {"output", sampler->second.second},
                                        {"interpolation", "LINEAR"}}})},
             {"channels",
              json::array({{{"sampler", 0}, {"target", {{"node", 0}, {"path", still ? "translation" : "weights"}}}}})}});
    }

    const ExportedSet& set_;
    GltfReport& report_;
    const bool meshOnly_;  // the frames are in a point cache: no morph target, no animation
    json root_ = {{"bufferViews", json::array()}, {"accessors", json::array()}};
    std::vector<Block> blocks_;
    uint64_t binBytes_ = 0;
    std::vector<Group> groups_;
    size_t alike_ = 0;  // set vertices alike in every frame to another of their group
    std::vector<uint32_t> targetFrames_;  // the frame of each morph target
    std::vector<int> frameTarget_;        // each frame's target, -1 for the mesh's own positions
    uint32_t base_ = 0;                   // the frame the mesh holds
    std::map<std::string, int> textureOf_;
    std::array<float, 3> placement_{0, 0, 0};  // the node's translation, host axes
    std::array<int, 3> recordLow_{0, 0, 0}, recordHigh_{0, 0, 0};  // over every record, engine axes
    uint64_t morphBytes_ = 0;                 // the morph targets' bytes in the file
    std::vector<bool> written_;               // each sequence of Animations(): written as an animation
    std::map<SamplerKey, std::pair<int, int>> samplers_;  // range and rate -> its times' and weights' accessors
};

}  // namespace

// The host's axes from the engine's: x, z, y.
// The middle of the span of positions the exporter truncates to the record (r
// to r + 1 for r above 0, r - 1 to r below, -1 to 1 at 0), not its end:
// decoded exactly, a record sits on the edge of its span, and the arithmetic
// of a new export falls on either side of it at random.
std::array<float, 3> GltfPosition(const ExportedSet& set, uint32_t frame, uint32_t vertex) {
    const int16_t* record = set.records.data() + (static_cast<size_t>(frame) * set.vertexCount + vertex) * 4;
    std::array<float, 3> e;
    for (int a = 0; a < 3; ++a) {
        const float middle = record[a] + (record[a] > 0 ? 0.5f : record[a] < 0 ? -0.5f : 0.0f);
        e[a] = (middle - set.origin[a]) * set.scale[a];
    }
    return {e[0], e[2], e[1]};
}

Error WriteSetAsGltf(const ExportedSet& set, const std::string& path, GltfReport& report, GltfFrames frames) {
    report = GltfReport();
    try {
        GltfBuilder builder(set, report, frames);
        if (Error error = builder.Build()) return Fault(error.kind, path + ": " + error.message);
        return builder.Write(path);
    } catch (const std::bad_alloc&) {
        return Fault(ErrorKind::kOutOfMemory, path + ": not enough memory to build the file");
    } catch (const std::exception& failure) {
        return Fault(ErrorKind::kWriteFailed, path + ": " + failure.what());
    }
}

}  // namespace view
