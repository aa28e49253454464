// The export run: check the model, ask for a destination, derive the output
// names, open the log, call the writers, and release the model.
#pragma once

#include "export/export_log.h"
#include "export/output_names.h"
#include "export/pose_source.h"
#include "host/hm_model_lib.h"

#include <cstdint>
#include <string>

// The texts the run shows.
inline constexpr const char* kMessageCaption = "Vantrel Export";
inline constexpr const char* kEmptyModelText = "The model is empty!  Nothing exported!";
inline constexpr const char* kLogFileName = "VantrelExport.log";

// -1 for a null model or an output that could not be written (the user is
// told which and why); 0 otherwise.
int32_t Run(hmModel* model);

// The writers of a run in their order, for any caller that has its paths, its
// mesh name and its pose source (set up for the model): the mesh data file,
// the animation file and the script class file, traced in log, replacing the
// earlier files only when all three are complete. False, with error set to
// "<path>: <the system's reason>", when an output could not be written; the
// earlier files are then left as they were.
bool WriteExportFiles(hmModel* model, PoseSource& poses, const OutputPaths& paths, const std::string& meshName,
                      ExportLog& log, std::string& error);
