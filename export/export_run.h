// The plug-in's run: the host's side of an export job. It asks the save
// dialog for the destination, runs the job, shows its failure in a message
// box, and releases the host's model.
#pragma once

#include "export/export_job.h"
#include "export/pose_source.h"
#include "host/hm_model_lib.h"

#include <cstdint>
#include <string>

// The texts the run shows.
inline constexpr const char* kMessageCaption = "Vantrel Export";

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
// a model with more bones than any before enlarges it. The frames are posed
// and written on VANTREL_THREADS threads, or the machine's cores.
//
// A host program of this project may hand the run an hmExportExtension with
// the model (hmHost_GetExportExtension in its host library): the run then
// exports the program's request (its destination, log, threads, sequences,
// files and page, in its one commit) without a dialog or a message box, and
// leaves every end in the extension's outcome, an empty model's too; the
// model is released as above. A host without it gets the run described here.
int32_t Run(hmModel* model);

// The same run with every frame's posed vertices taken from `poses`, which
// gives the model's vertices in its order, instead of from the host's
// skeleton; the frames are the source's. Everything else (dialog, names,
// files, log, messages, release of the model) is the plug-in's run.
int32_t Run(hmModel* model, PoseSource& poses);
