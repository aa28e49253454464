// The export run: check the model, ask for a destination, derive the output
// names, open the log, call the writers, and release the model.
#pragma once

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

// The same run with every frame's posed vertices taken from `poses`, which
// gives the model's vertices in its order, instead of from the host's
// skeleton; the frames are the source's. Everything else (dialog, names,
// files, log, messages, release of the model) is the plug-in's run.
int32_t Run(hmModel* model, PoseSource& poses);
