// The export run: check the model, ask for a destination, derive the output
// names, open the log, call the writers, and release the model.
#pragma once

#include "export/animation_file.h"
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

// One export of the host's model, on the host's thread.
//
// Ownership: the host owns the model until Run has it released. A run that
// gets past the save dialog (a name was chosen) releases it with
// hmModel_Destroy before returning, whether the files could be written or
// not; a run that ends before that (null model, no meshes, dialog cancelled
// or failed) leaves it to the host. The run rewrites the skinned vertices'
// positions in place (into their bones' frames) before it releases the model.
//
// Returns -1 when model is null (nothing shown) or when an output could not
// be written, or the machine could not carry the export (out of memory): a
// message box names the file and the reason, the earlier files are left as
// they were, the model is released. No exception leaves Run. Returns 0 otherwise: files
// written, or nothing to do (empty model: the empty-model message; dialog
// cancelled: nothing shown). A log that cannot be created is shown in a
// message box and the export goes on without it; a log that is created is
// one of the set, and a failed write to it fails the run like any output's.
//
// The plug-in keeps one bone table for the process: later runs reuse it, and
// a model with more bones than any before enlarges it.
int32_t Run(hmModel* model);

// The writers of a run in their order, for any caller that has its mesh name
// and its pose source (set up for the model): the mesh data file, the
// animation file and the script class file, traced in log.
AnimationResult WriteExport(hmModel* model, PoseSource& poses, const std::string& meshName, ExportLog& log,
                            OutputFile& dataFile, OutputFile& animFile, OutputFile& scriptFile);

// WriteExport into the three files of paths, and the log when it is open,
// replacing the earlier files only when all are complete. False, with error set to "<path>: <the
// system's reason>", when an output could not be written; the earlier files
// are then left as they were.
bool WriteExportFiles(hmModel* model, PoseSource& poses, const OutputPaths& paths, const std::string& meshName,
                      ExportLog& log, std::string& error);

// The same run with every frame's posed vertices taken from `poses`, which
// gives the model's vertices in its order, instead of from the host's
// skeleton; the frames are the source's. Everything else (dialog, names,
// files, log, messages, release of the model) is the plug-in's run.
int32_t Run(hmModel* model, PoseSource& poses);
