// What the fuzz targets share: a whole export of a model into a scratch
// folder, with the save dialog answered, and a check of the files it wrote.
#pragma once

#include "host/host_model.h"

namespace fuzzing {

// The process's own scratch folder, made on first use; the current directory.
const std::string& ScratchFolder();

// Work the export would do, in vertex-frames and bone-frames: fuzzing spends
// its time on variety, not on size, so bigger models are only read.
bool SmallEnoughToExport(const hmModel& model);

// Runs the export as the host does and aborts (a finding) when it crashes,
// releases the model other than once on success, or writes an inconsistent
// set. cornersInRange: the model's triangle corners all name vertices.
void ExportAndCheck(hm::ModelPtr model, bool cornersInRange);

// Dies with the message, so the fuzzer keeps the input.
[[noreturn]] void Finding(const std::string& what);

}  // namespace fuzzing
