// A model animated vertex by vertex as each of our readers decodes it, and its
// one way into the import result: host model, exact scene, clips and textures.
#pragma once

#include "bake/exact_scene.h"
#include "formats/file_bytes.h"
#include "formats/skin_textures.h"
#include "import/model_import.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hm::fmt {

// A triangle corner: the point it stands on, and its texture coordinates as
// the host holds them (v grows downwards).
struct Corner {
    uint32_t point = 0;
    float u = 0, v = 0;
};

struct Surface {
    std::string name;
    std::vector<Corner> corners;  // three a triangle, counter-clockwise seen from the front in model space
    Skin skin;
    uint8_t type = 1;  // the engine's triangle type, where the model has none for each triangle
};

// Frames the file plays as one animation.
struct FrameRun {
    std::string name;  // "": the model's name
    uint32_t first = 0, count = 0;
    float rate = kDefaultSequenceRate;
};

// These games' unit, by their level designers' habit: about an inch.
inline constexpr double kGameUnitCentimetres = 2.54;

struct VertexModel {
    std::vector<Surface> surfaces;
    imp::VertexFrames frames;    // every frame of the file, in memory or streamed; its timeline is made from the runs
    std::vector<FrameRun> runs;  // they may overlap and leave frames out
    std::string name;            // what its clips and textures are named after; "": the file's stem
    imp::Affine axes;            // the file's axes into model space
    Warnings warnings;           // what reading noticed
    // A set read back: its triangles' type bytes in surface order (empty, or
    // triangles simplified away: each surface's type), and its vertices
    // numbered in the order of their points, as the set numbers them, not
    // in the order triangles first use them.
    std::vector<uint8_t> triangleTypes;
    bool pointOrder = false;
    // The games' unit, which the file does not state: no hint to scale the model.
    double unitCentimetres = kGameUnitCentimetres;
};

// The axes of the Quake family's models (X forward, Y left, Z up) turned to
// the host's (Y up, right-handed): the model faces the engine's X as it did.
imp::Affine QuakeAxes();

// Runs of consecutive frames whose names are alike but for their trailing
// digits ("stand01" to "stand40", "run_1" to "run_6"), named after that part.
std::vector<FrameRun> RunsOfNames(const std::vector<std::string>& names, float rate);

// The host's texture coordinate for an integer texel coordinate of a skin of
// that side: the engine reads byte b at b / 256 of the side, and the export
// makes t x 255 its byte, so the texel the file names is the one shown.
float TexelCoordinate(int64_t texel, int64_t side);

// Decoded frames and corners may take at most this many times the file's
// size, with some room beside: a header that points many counts at the same
// bytes would otherwise make a small file fill memory.
Error CheckDecodedSize(const FileBytes& file, uint64_t points, uint64_t frames, uint64_t corners);

// The host model (each surface a mesh, at the first frame of the timeline),
// the exact scene that poses every frame from the points, the clips (by
// default every frame one to one, each run a clip where it lies; options.clips
// chooses runs, end to end) and the skins' textures; welded, simplified and
// checked against the format's limits as the options ask. rateGiven: --fps
// sets every clip's rate instead of the file.
ImportResult BuildImport(VertexModel model, const std::string& path, const ImportOptions& options, bool rateGiven);

}  // namespace hm::fmt
