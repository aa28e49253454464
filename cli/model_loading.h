// How the host program turns its MODEL argument into a host model: the
// options that shape the loading, and the loading itself.
#pragma once

#include "host/host_model.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

struct ModelOptions {};

struct LoadedModel {
    hm::ModelPtr model;                 // null when the file could not be loaded
    std::string error;                  // one line naming the file, the place and the problem
    std::vector<std::string> warnings;  // reported once, before the export
    bool done = false;                  // an informational option already did all there was to do
};

std::string ModelArgumentHelp();
void AddModelOptions(CLI::App& app, ModelOptions& options);
LoadedModel LoadModel(const std::string& path, const ModelOptions& options);
