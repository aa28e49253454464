// How the host program turns its MODEL argument into a host model: the
// options that shape the loading, and the loading itself.
#pragma once

#include "host/host_model.h"
#include "contained/contained_import.h"
#include "import/model_import.h"

#include <memory>
#include <string>
#include <vector>

// How the frames are posed: by the source's own deformation, or by the
// plug-in from the host model, one bone per vertex, as the modelling host would.
enum class Bake { kAuto, kExact, kHost };

struct ModelOptions {
    hm::ImportOptions import;  // the import group's options, and --force
    Bake bake = Bake::kAuto;   // --bake: exact for imported models, host for host model files
    bool noWeld = false;       // --no-weld: keep every vertex of the file
    std::string simplify;      // --simplify N (triangles) or a fraction below 1; "" for none
    double height = 0;         // --height: the rest height wanted, in engine units; 0 for --scale's size
    hm::ReaderLimits limits;   // --max-memory, --timeout: the reader's child process
    bool list = false;         // --list: print the clips and stop
    bool info = false;         // --info: print the model as the host sees it and stop
    std::string dump;          // --dump FILE: write the host model file and stop
    std::vector<std::string> importOptionsGiven;  // the import group's options given, but --bake
    std::string pointCache;    // --point-cache FILE: the frames of an OBJ model's vertices
};

struct LoadedModel {
    hm::ModelPtr model;                 // null when the file could not be loaded
    Error error;                        // its message one line naming the file, the place and the problem
    hm::Warnings warnings;              // both routes' warnings, reported once before the export
    bool done = false;                  // an informational option already did all there was to do
    std::vector<hm::ClipInfo> clips;    // a file with animation clips: all of them, exported or not
    std::vector<hm::TextureFile> textures;  // to be written beside the outputs
    std::vector<uint8_t> triangleTypes;     // from the materials; empty for a host model file (all type 1)
    std::vector<float> cornerTexCoords;     // where vertices were joined across seams; else empty
    bool hostModelFile = false;         // a .hm.json: exported as it is, frames and all
    double unitCentimetres = 0;         // centimetres per unit as the file says (0: it does not say)
    // Set when the export takes its frames from the source's own deformation
    // rather than from the plug-in posing the host model.
    std::unique_ptr<hm::imp::ExactScene> exact;
    hm::FitReport fit;
};

// About the height of the engine's human-sized characters, in its units: their
// collision cylinder's half-height is 39.
inline constexpr int kCharacterHeight = 78;

// The model's extent at rest, in its units.
struct ModelSize {
    double width = 0, height = 0, depth = 0;  // along x, y (up), z
};

bool IsHostModelFile(const std::string& path);
// A host model file is read as a stream, but its model is held whole: beyond
// this it is refused before reading (the JSON text of the largest model the
// format holds is far smaller), so a huge file is not parsed only to be refused.
inline constexpr uint64_t kMaxHostModelFileBytes = uint64_t{1} << 30;

// Empty when path is a regular file of a size the host program reads; else
// "<path>: <why not>".
std::string ModelFileProblem(const std::string& path);

// Checks the file, loads or imports the model, and checks a host model file
// against the format's limits (an imported one is checked while importing).
LoadedModel LoadModel(const std::string& path, const ModelOptions& options);

ModelSize MeasureModel(const hmModel& model);
std::string DescribeSize(const ModelSize& size);

// What --info prints: meshes, counts, bones, frames, size, materials, clips.
std::string DescribeModel(const hmModel& model, const std::vector<hm::ClipInfo>& clips);
// What --info adds for an imported model: which bake it takes, and what the
// host model would lose.
std::string DescribeBake(bool exact, const hm::Warnings& hostLosses);
// What welding and simplifying did, one line each ("" when neither ran).
std::string DescribeFit(const hm::FitReport& fit);
// What --list prints: the clips of an imported model, the frames of a host model file.
std::string DescribeClips(const LoadedModel& loaded);
