#include "view/set_compare.h"

#include <stb_image.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace view {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Pixels {
    int width = 0, height = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> data{nullptr, stbi_image_free};
};

Pixels Decode(const std::vector<uint8_t>& png) {
    Pixels pixels;
    int channels = 0;
    if (!png.empty())
        pixels.data.reset(stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &pixels.width,
                                                &pixels.height, &channels, 3));
    return pixels;
}

// The largest channel difference, or -1 when the images differ in size or do not decode.
int ImageDifference(const SetTexture& a, const SetTexture& b) {
    Pixels x = Decode(a.png), y = Decode(b.png);
    if (!x.data || !y.data || x.width != y.width || x.height != y.height) return -1;
    int largest = 0;
    const size_t count = static_cast<size_t>(x.width) * x.height * 3;
    for (size_t i = 0; i < count; ++i) largest = std::max(largest, std::abs(int(x.data.get()[i]) - int(y.data.get()[i])));
    return largest;
}

}  // namespace

SetComparison CompareSets(const ExportedSet& original, const ExportedSet& copy) {
    SetComparison result;
    result.sameMeshData = !original.dataPath.empty() && Bytes(original.dataPath) == Bytes(copy.dataPath);
    if (!result.sameMeshData) result.differences.push_back("the mesh data files differ");

    result.sameFrames = original.frameCount == copy.frameCount && original.vertexCount == copy.vertexCount &&
                        original.records.size() == copy.records.size();
    if (!result.sameFrames)
        result.differences.push_back(std::to_string(original.frameCount) + " frames of " +
                                     std::to_string(original.vertexCount) + " vertices came back as " +
                                     std::to_string(copy.frameCount) + " of " + std::to_string(copy.vertexCount));
    else
        for (size_t i = 0; i < original.records.size(); ++i) {
            if (i % 4 == 3) continue;  // the reserved word
            const int step = std::abs(int(original.records[i]) - int(copy.records[i]));
            result.largestStep = std::max(result.largestStep, step);
            result.coordinatesOff += step != 0;
        }
    result.sameDrawing = original.polygons.size() == copy.polygons.size() && original.frameCount == copy.frameCount;
    for (size_t t = 0; result.sameDrawing && t < original.polygons.size(); ++t) {
        const SetPolygon& a = original.polygons[t];
        const SetPolygon& b = copy.polygons[t];
        result.sameDrawing = a.textureSlot == b.textureSlot && a.type == b.type && a.uv == b.uv;
        for (int k = 0; result.sameDrawing && k < 3; ++k) {
            if (a.corners[k] >= original.vertexCount || b.corners[k] >= copy.vertexCount) {
                result.sameDrawing = a.corners[k] >= original.vertexCount && b.corners[k] >= copy.vertexCount;
                continue;
            }
            for (uint32_t f = 0; f < original.frameCount; ++f)
                for (int axis = 0; axis < 3; ++axis) {
                    const int step = std::abs(original.records[(size_t(f) * original.vertexCount + a.corners[k]) * 4 + axis] -
                                              copy.records[(size_t(f) * copy.vertexCount + b.corners[k]) * 4 + axis]);
                    if (!result.sameFrames) result.largestStep = std::max(result.largestStep, step);
                }
        }
    }
    if (!result.sameDrawing) result.differences.push_back("the triangles are drawn otherwise");
    if (result.largestStep > 0)
        result.differences.push_back(std::to_string(result.coordinatesOff) + " record coordinates differ, by up to " +
                                     std::to_string(result.largestStep) + " steps");

    auto key = [](const Sequence& s) { return Upper(s.name) + " " + std::to_string(s.firstFrame) + " " + std::to_string(s.frameCount); };
    std::vector<std::string> a, b;
    for (const Sequence& s : original.script.sequences) a.push_back(key(s));
    for (const Sequence& s : copy.script.sequences) b.push_back(key(s));
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    result.sameSequences = a == b;
    if (!result.sameSequences) result.differences.push_back("the sequences differ");

    result.sameTextures = original.textures.size() == copy.textures.size();
    for (size_t i = 0; result.sameTextures && i < original.textures.size(); ++i) {
        const int difference = ImageDifference(original.textures[i], copy.textures[i]);
        // An image the set lacks cannot come back; the copy has a stand-in.
        result.sameTextures = original.textures[i].slot == copy.textures[i].slot &&
                              (original.textures[i].png.empty() || (difference >= 0 && difference <= kTextureTolerance));
    }
    if (!result.sameTextures) result.differences.push_back("the textures differ");
    return result;
}

}  // namespace view
