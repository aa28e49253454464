#include "tests/import/test_files.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace test_files {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

namespace {

std::string Base64(const std::vector<uint8_t>& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = static_cast<uint32_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) chunk |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
        out += digits[(chunk >> 18) & 63];
        out += digits[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[chunk & 63] : '=';
    }
    return out;
}

// One buffer of little-endian floats and integers, cut into views and accessors.
class Buffer {
public:
    template <typename T>
    int Add(const std::vector<T>& values, int componentType, const char* type, size_t count) {
        while (bytes_.size() % 4) bytes_.push_back(0);
        const size_t offset = bytes_.size();
        bytes_.resize(offset + values.size() * sizeof(T));
        std::memcpy(bytes_.data() + offset, values.data(), values.size() * sizeof(T));
        if (!views_.empty()) views_ += ",";
        views_ += "{\"buffer\":0,\"byteOffset\":" + std::to_string(offset) +
                  ",\"byteLength\":" + std::to_string(values.size() * sizeof(T)) + "}";
        if (!accessors_.empty()) accessors_ += ",";
        accessors_ += "{\"bufferView\":" + std::to_string(count_) + ",\"componentType\":" + std::to_string(componentType) +
                      ",\"count\":" + std::to_string(count) + ",\"type\":\"" + type + "\"" + Bounds(values, type) + "}";
        return count_++;
    }
    std::string Json() const {
        return "\"buffers\":[{\"byteLength\":" + std::to_string(bytes_.size()) +
               ",\"uri\":\"data:application/octet-stream;base64," + Base64(bytes_) + "\"}],\"bufferViews\":[" + views_ +
               "],\"accessors\":[" + accessors_ + "]";
    }

private:
    template <typename T>
    static std::string Bounds(const std::vector<T>& values, const char* type) {
        // Animation inputs must state their range.
        if (std::string(type) != "SCALAR" || !std::is_same_v<T, float>) return "";
        return ",\"min\":[" + std::to_string(values.front()) + "],\"max\":[" + std::to_string(values.back()) + "]";
    }
    std::vector<uint8_t> bytes_;
    std::string views_, accessors_;
    int count_ = 0;
};

const std::vector<float> kTriangle = {0, 0, 0, 1, 0, 0, 0, 1, 0};

}  // namespace

std::string ChainGltf(int bones) {
    Buffer buffer;
    const int positions = buffer.Add(kTriangle, 5126, "VEC3", 3);
    const int indices = buffer.Add(std::vector<uint16_t>{0, 1, 2, 0}, 5123, "SCALAR", 3);
    const uint16_t last = static_cast<uint16_t>(bones - 1);
    const int joints = buffer.Add(std::vector<uint16_t>{0, 0, 0, 0, last, 0, 0, 0, last, 0, 0, 0}, 5123, "VEC4", 3);
    const int weights = buffer.Add(std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 5126, "VEC4", 3);
    std::vector<float> inverseBinds;
    for (int i = 0; i < bones; ++i) {
        // Joint i sits i / 8 up the y axis (exact in floats); column-major inverse.
        const std::vector<float> m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -0.125f * static_cast<float>(i), 0, 1};
        inverseBinds.insert(inverseBinds.end(), m.begin(), m.end());
    }
    const int binds = buffer.Add(inverseBinds, 5126, "MAT4", static_cast<size_t>(bones));
    std::string nodes = "{\"mesh\":0,\"skin\":0}";
    std::string jointList;
    for (int i = 0; i < bones; ++i) {
        nodes += ",{\"name\":\"joint" + std::to_string(i) + "\",\"translation\":[0," + (i ? "0.125" : "0") + ",0]" +
                 (i + 1 < bones ? ",\"children\":[" + std::to_string(i + 2) + "]" : "") + "}";
        jointList += (i ? "," : "") + std::to_string(i + 1);
    }
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0,1]}],\"nodes\":[" + nodes +
           "],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(positions) +
           ",\"JOINTS_0\":" + std::to_string(joints) + ",\"WEIGHTS_0\":" + std::to_string(weights) +
           "},\"indices\":" + std::to_string(indices) + "}]}],\"skins\":[{\"joints\":[" + jointList +
           "],\"inverseBindMatrices\":" + std::to_string(binds) + "}]," + buffer.Json() + "}";
}

std::string PropOnAnimatedNodeGltf() {
    Buffer buffer;
    const int positions = buffer.Add(kTriangle, 5126, "VEC3", 3);
    const int times = buffer.Add(std::vector<float>{0, 1}, 5126, "SCALAR", 2);
    const float s = 0.70710678f;
    const int turns = buffer.Add(std::vector<float>{0, 0, 0, 1, 0, s, 0, s}, 5126, "VEC4", 2);
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":["
           "{\"name\":\"Turntable\",\"translation\":[2,0,0],\"children\":[1]},"
           "{\"name\":\"Prop\",\"mesh\":0,\"translation\":[0,0,1]}],"
           "\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(positions) + "}}]}],"
           "\"animations\":[{\"name\":\"Spin\",\"samplers\":[{\"input\":" + std::to_string(times) +
           ",\"output\":" + std::to_string(turns) + "}],\"channels\":[{\"sampler\":0,\"target\":{\"node\":0,\"path\":\"rotation\"}}]}]," +
           buffer.Json() + "}";
}

std::string AmbiguousJointGltf() {
    Buffer buffer;
    const int positions = buffer.Add(kTriangle, 5126, "VEC3", 3);
    const int joints = buffer.Add(std::vector<uint16_t>(12, 0), 5123, "VEC4", 3);
    const int weights = buffer.Add(std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 5126, "VEC4", 3);
    const int binds = buffer.Add(std::vector<float>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -1, 0, 1}, 5126, "MAT4", 1);
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0,1,3]}],\"nodes\":["
           "{\"name\":\"Skin\",\"mesh\":0,\"skin\":0},"
           "{\"name\":\"Left\",\"children\":[2]},{\"name\":\"joint\",\"translation\":[0,1,0]},"
           "{\"name\":\"Right\",\"children\":[4]},{\"name\":\"joint\",\"translation\":[0,1,0]}],"
           "\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(positions) +
           ",\"JOINTS_0\":" + std::to_string(joints) + ",\"WEIGHTS_0\":" + std::to_string(weights) + "}}]}],"
           "\"skins\":[{\"joints\":[2],\"inverseBindMatrices\":" + std::to_string(binds) + "}]," + buffer.Json() + "}";
}

std::string NoMeshGltf() {
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"name\":\"Empty\"}]}";
}

}  // namespace test_files
