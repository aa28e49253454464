// How the host program turns its MODEL argument into a host model: the
// options that shape the loading, and the loading itself.
#pragma once

#include "host/host_model.h"
#include "import/contained_import.h"
#include "import/model_import.h"

#include <string>
#include <vector>

struct ModelOptions {
    hm::ImportOptions import;  // --scale, --fps, --clip, --force
    hm::ReaderLimits limits;   // --max-memory, --timeout: the reader's child process
    bool list = false;         // --list: print the clips and stop
    bool info = false;         // --info: print the model as the host sees it and stop
    std::string dump;          // --dump FILE: write the host model file and stop
    std::vector<std::string> importOptionsGiven;  // those of --scale, --fps, --clip on the command line
};

struct LoadedModel {
    hm::ModelPtr model;                 // null when the file could not be loaded
    std::string error;                  // one line naming the file, the place and the problem
    hm::Warnings warnings;              // both routes' warnings, reported once before the export
    bool done = false;                  // an informational option already did all there was to do
    bool writeFailed = false;           // the error is an output (--dump) that could not be written
    std::vector<hm::ClipInfo> clips;    // a file with animation clips: all of them, exported or not
    std::vector<hm::TextureFile> textures;  // to be written beside the outputs
    bool hostModelFile = false;         // a .hm.json: exported as it is, frames and all
    double unitCentimetres = 0;         // centimetres per unit as the file says (0: it does not say)
};

// The model's extent at rest, in its units.
struct ModelSize {
    double width = 0, height = 0, depth = 0;  // along x, y (up), z
};

bool IsHostModelFile(const std::string& path);
LoadedModel LoadModel(const std::string& path, const ModelOptions& options);

ModelSize MeasureModel(const hmModel& model);
std::string DescribeSize(const ModelSize& size);

// What --info prints: meshes, counts, bones, frames, size, materials, clips.
std::string DescribeModel(const hmModel& model, const std::vector<hm::ClipInfo>& clips);
// What --list prints: the clips of an imported model, the frames of a host model file.
std::string DescribeClips(const LoadedModel& loaded, double fps);
