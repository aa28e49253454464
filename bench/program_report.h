// Whole runs of vantrel-export as a user runs it, a process each: on a host
// model file and on a glTF of the same size.
#pragma once

#include <filesystem>

#include "bench/model_generator.h"

// exporter: the vantrel-export to run. Writes its model files and exports
// into dir, and removes them after.
int ProgramReport(int runs, const std::filesystem::path& exporter, const std::filesystem::path& dir);

// Writes the model of that size as path: a glTF (and its .bin) when path ends
// in .gltf, else a host model file.
bool WriteReportModel(const GeneratedModelSize& size, const std::filesystem::path& path);

// The "child" mode the report measures through: runs argv (a program and its
// arguments) with its output thrown away, and prints its wall seconds,
// processor seconds, its own peak memory in KiB, the largest peak of it and
// the processes it started (a reader child), and 1 when it succeeded.
int RunChild(char** argv);
