// How the host program turns its MODEL argument into a host model: the
// options that shape the loading, and the loading itself.
#pragma once

#include "host/host_model.h"
#include "import/contained_import.h"
#include "import/model_import.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

struct ModelOptions {
    hm::ImportOptions import;  // --scale, --fps, --clip, --force
    hm::ReaderLimits limits;   // --max-memory, --timeout: the reader's child process
    bool list = false;         // --list: print the clips and stop
    bool info = false;         // --info: print the model as the host sees it and stop
    std::string dump;          // --dump FILE: write the host model file and stop
};

struct LoadedModel {
    hm::ModelPtr model;                 // null when the file could not be loaded
    std::string error;                  // one line naming the file, the place and the problem
    hm::Warnings warnings;              // both routes' warnings, reported once before the export
    bool done = false;                  // an informational option already did all there was to do
    bool writeFailed = false;           // the error is an output (--dump) that could not be written
    std::vector<hm::ClipInfo> clips;    // a file with animation clips: all of them, exported or not
    std::vector<hm::EmbeddedTexture> textures;  // to be written beside the outputs
};

std::string ModelArgumentHelp();
void AddModelOptions(CLI::App& app, ModelOptions& options);
LoadedModel LoadModel(const std::string& path, const ModelOptions& options);

// What --info prints: meshes, counts, bones, frames, materials, clips.
std::string DescribeModel(const hmModel& model, const std::vector<hm::ClipInfo>& clips);
// What --list prints.
std::string DescribeClips(const std::vector<hm::ClipInfo>& clips, double fps);
