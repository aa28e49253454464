// One export as a request in and an outcome out. Everything the export writes
// (the mesh files, the script class with its sequence lines, the log, the
// textures, the preview page) is staged into one OutputSet and committed
// once: either every file is replaced or none is.
#pragma once

#include "export/animation_file.h"
#include "export/export_log.h"
#include "export/pose_source.h"
#include "export/script_class_file.h"
#include "host/error.h"
#include "host/hm_model_lib.h"
#include "host/warnings.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class BoneTable;

inline constexpr const char* kEmptyModelText = "The model is empty!  Nothing exported!";
// The log's name: in the current folder, where the plug-in in the modelling
// host writes it; beside the outputs, where the host program writes it.
inline constexpr const char* kLogFileName = "VantrelExport.log";
// The host program's log: NAME.log beside the class NAME's files, a name no
// longer than theirs.
inline constexpr const char* kLogSuffix = ".log";

// A file written with the export whose bytes are already made (a texture).
struct ExtraFile {
    std::string path;
    std::vector<uint8_t> bytes;
};

// A file of the set before the commit: the path it will have, and the file
// that holds its complete bytes until then.
struct StagedFile {
    std::string path;
    std::string bytesAt;
};

// A page made from the staged set, committed with it.
struct PreviewPage {
    std::string path;
    std::string html;
    std::vector<std::string> findings;  // what reading the set found (problems first, then notes)
    Error error;
};
using PreviewMaker = std::function<PreviewPage(const std::vector<StagedFile>& staged)>;

// Files whose names and bytes depend on what the destination's folder holds
// (a texture must not replace another's file of its name). The job plans them
// under the folder's lock, held until its commit, so that no other export
// changes the folder between the plan and the commit. kept: files left alone.
using FilePlanner = std::function<Error(std::vector<ExtraFile>& files, std::vector<std::string>& kept)>;

// What a host program adds to the export's own files; all of it goes into
// the one commit.
struct ExportAdditions {
    std::vector<AnimationSequence> sequences;  // into the script class, after its own
    std::vector<ExtraFile> files;
    FilePlanner planFiles;  // null: none; planned files go after `files`
    PreviewMaker preview;  // null: no page
    std::vector<uint8_t> triangleTypes;  // each triangle's type byte in model order; empty: all type 1
    std::vector<float> cornerTexCoords;  // each corner's (u, v) in model order; empty: its vertex's
};

struct ExportRequest {
    hmModel* model = nullptr;     // with a mesh or more; the job does not release it
    PoseSource* poses = nullptr;  // null: the host's skeleton poses the model, with bones
    BoneTable* bones = nullptr;   // the table that skeleton uses; null: one of the job's own
    std::string destination;      // the chosen name: the outputs and the mesh are named after it
    std::string logPath;          // "" for no log
    int32_t logFrames = INT32_MAX;  // the frames whose vertices the log traces, from the first
    bool logRequired = false;     // a log that cannot be created fails the export; else it goes on without
    ExportAdditions additions;
    int threads = 0;              // that pose and write the frames; 0: the machine's cores
    OutputSet::RenameFunction rename = nullptr;  // puts a file in place; a seam for tests
};

struct ExportOutcome {
    Error error;
    std::vector<std::string> written;   // every file committed, in order; empty when the export failed
    std::string logPath;                // where the log went, "" for nowhere
    std::string pagePath;               // "" without a page
    hm::Warnings warnings;              // what the export went on past (a log that could not be created)
    std::vector<std::string> previewFindings;
    std::vector<std::string> keptFiles;  // what the additions' plan left alone
};

// Writes the whole set or nothing. The kinds it fails with: kWriteFailed (the
// message names the file and the system's reason; the earlier files are as
// they were, no temporary is left), kOutOfMemory, kNothingExported (a null
// or empty model). No exception leaves it.
ExportOutcome RunExportJob(const ExportRequest& request);

// The writers in their order: the mesh data file, the animation file and the
// script class file with sequences after its own, traced in log.
AnimationResult WriteExport(hmModel* model, PoseSource& poses, const std::string& meshName, ExportLog& log,
                            OutputFile& dataFile, OutputFile& animFile, OutputFile& scriptFile,
                            const std::vector<AnimationSequence>& sequences = {}, int threads = 0,
                            const std::vector<uint8_t>& triangleTypes = {},
                            const std::vector<float>& cornerTexCoords = {}, int32_t tracedFrames = INT32_MAX);

// The line a host shows for a failed export.
std::string DescribeFailure(const Error& error);

// What this project's host program hands the plug-in with its model: the
// export it planned, which the plug-in runs in place of asking its dialog, and
// where the run's outcome goes, an early end included. The modelling host
// hands none: the plug-in then asks, and writes its own files alone.
inline constexpr uint32_t kExportExtensionVersion = 3;
struct hmExportExtension {
    uint32_t version = kExportExtensionVersion;
    ExportRequest* request = nullptr;  // the plug-in sets its model, poses and bone table
    ExportOutcome* outcome = nullptr;
};
