// What one export of the program will do, worked out from the options and the
// loaded model before anything is written: one request for the export job.
#pragma once

#include "cli/model_loading.h"
#include "cli/options.h"
#include "export/export_job.h"

#include <memory>
#include <string>
#include <vector>

struct ExportPlan {
    // Everything the export writes, in its one commit. Its model and poses are
    // set when it runs: through the plug-in the model is the plug-in's to release.
    ExportRequest request;
    bool throughPlugIn = false;  // the host bake: the plug-in poses the host model
    std::string pluginPath;      // which plug-in, when through it
    std::unique_ptr<PoseSource> poses;  // the exact bake's source, when not through the plug-in
    std::vector<AnimationSequence> sequences;  // the clips' sequence lines, written or only printed
    ModelSize size;  // at rest, measured before the plug-in poses the model in place
    std::string nameNote;  // how the class was named, when the model's own name would not compile
    bool logShortened = false;  // the log traces the vertices of fewer frames than the model has
    std::vector<std::string> unusedTextures;  // an earlier export's of this class, which the new set leaves
};

// The plan, or why the export cannot be made: the destination (DEST, a folder,
// or asked for with --ask), the log, the room on the disk, the textures and
// sequences the program adds, the threads, and which bake poses the frames.
Error PlanExport(const CliOptions& options, LoadedModel& loaded, ExportPlan& plan);
