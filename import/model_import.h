// Models in common 3D formats (glTF, FBX, Collada and whatever else Assimp
// reads) turned into the host's model, posed so the plug-in exports them as authored.
#pragma once

#include "export/script_class_file.h"
#include "host/error.h"
#include "host/host_model.h"
#include "host/warnings.h"
#include "bake/exact_scene.h"
#include "mesh_edit/simplify.h"
#include "texture/texture_convert.h"
#include "texture/texture_files.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hm {

// The ranges of the options that shape an import, stated once: where an option
// is given (the command line) and again by ImportModel for any other caller.
// "" when the value is in its range, else what it must be.
inline std::string ScaleProblem(double scale) {
    return std::isfinite(scale) && scale > 0 ? "" : "must be a finite number above 0";
}
inline constexpr double kMinFps = 0.001, kMaxFps = 100000;
inline std::string FpsProblem(double fps) {
    return std::isfinite(fps) && fps >= kMinFps && fps <= kMaxFps ? "" : "must lie between 0.001 and 100000";
}

struct ImportOptions {
    double scale = 1.0;   // multiplies every position: ScaleProblem says which
    double fps = 30.0;    // frames per second at which clips are sampled: FpsProblem says which
    // Where the file states the rate its animation was made at (FBX), clips are
    // sampled at that rate instead of fps: the frames the artist keyed, no
    // frames interpolated between them.
    bool fileRate = false;
    // Empty puts every clip on the timeline, end to end; else only these, in
    // this order, each named as the file names it or as its sequence is named.
    std::vector<std::string> clips;
    bool force = false;   // past the format's limits (vertices, triangles, frames): warn instead of failing
    // The host model is what the plug-in poses, one bone per vertex; with
    // exact set it only has to carry the triangles, texture coordinates and
    // materials, as the exact scene poses the vertices. So it may then have
    // no skeleton (when the file has more bones than the host can name), and
    // what only the host model lacks is described in hostLosses, not warned of.
    bool exact = false;
    // Joins the vertices of a mesh that no exported file tells apart (see
    // mesh_edit/weld.h): on by default, off keeps every vertex of the file.
    bool weld = true;
    imp::SimplifyRequest simplify;  // none by default
    // Textures are written as 8-bit palettised BMPs whose sides are powers of
    // two up to this (a power of two, 1 to kMaxTextureSide).
    int textureSide = kDefaultTextureSide;
    // Images are read from the model's folder and below, and from these
    // folders and below: never from elsewhere on the disk.
    std::vector<std::string> textureFolders;
    // Each vertex keeps its number among an OBJ file's vertex lines (in the
    // exact mesh's framePoint, their count in the exact scene's frames.points),
    // by which a point cache names it. OBJ files only.
    bool numberFileVertices = false;

    bool operator==(const ImportOptions&) const = default;
};

// What welding and simplifying did to the counts.
struct FitReport {
    bool welded = false;
    int64_t verticesBeforeWeld = 0;
    int64_t verticesAfterWeld = 0;
    bool simplified = false;
    imp::SimplifyResult simplify;
};

struct ClipInfo {
    std::string name;        // as the file names it ("clip<i>" when it has no name)
    double seconds = 0;      // length in the file
    int64_t frameCount = 0;  // frames at the chosen rate, both ends included
    int64_t startFrame = -1; // first frame on the exported timeline, -1 when not exported
    std::string sequence;    // as the script class names its sequence: one word, unique
    // The rate the file plays it at, where that is its own (a vertex-animated
    // file's); sampled clips play at the engine's default.
    float rate = kDefaultSequenceRate;
};

struct ImportResult {
    ModelPtr model;                     // null when the import failed
    Error error;                        // "<file>: <problem>" when model is null
    Warnings warnings;                  // what was dropped, cut or approximated
    std::vector<ClipInfo> clips;        // every clip of the file, in file order
    std::vector<TextureFile> textures;  // to be written beside the outputs
    // The engine's type of every triangle, mesh after mesh as the model holds
    // them, from its material: 0 one-sided, 1 two-sided, 2 translucent, 3
    // masked, plus 16 unlit, plus 8 on the weapon triangle.
    std::vector<uint8_t> triangleTypes;
    // Each triangle corner's texture coordinates (u, v, three corners a
    // triangle, in the same order), where vertices that differ only in them
    // were joined; empty: every corner takes its vertex's.
    std::vector<float> cornerTexCoords;
    double unitCentimetres = 0;         // centimetres per unit as the file says (0: it does not say)
    // The source's deformation, vertex for vertex in the host model's order.
    std::unique_ptr<imp::ExactScene> exact;
    // What the host model does not show of the source's deformation.
    Warnings hostLosses;
    FitReport fit;
};

// Meshes of triangles in node order (lines and points left out); positions
// in model space, right-handed with Y up; texture v growing downwards. One
// material per mesh, in mesh order, naming a diffuse texture file, always an
// 8-bit palettised BMP converted from the model's own image (from the allowed
// folders only), from one held inside the file (named after the model), or
// made of the material's colour. Bones:
// the nodes that move vertices and their ancestors up to a common root, parents
// first; every vertex on its heaviest bone. With animation, every bone has a key
// at every frame: clips sampled at options.fps, end to end; without, one frame
// at rest. Vertices are welded, and the model simplified, as the options ask,
// before the format's limits are checked. Nothing is written to disk.
ImportResult ImportModel(const std::string& path, const ImportOptions& options);

// Each exported clip as a sequence of the animation file, named as the
// script compiler reads it: one word, unique (ClipInfo::sequence). A clip
// named All over every frame is the plug-in's own All line, which the script
// compiler would reject as declared twice: it is left out.
std::vector<AnimationSequence> ClipSequences(const std::vector<ClipInfo>& clips);

}  // namespace hm
