// What the fuzz targets share: a whole export of a model into a scratch
// folder, with the save dialog answered, and a check of the files it wrote.
#pragma once

#include "bake/exact_scene.h"
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

// The same for a model posed by its exact scene (a vertex-animated file's
// frames), through the export job as the host program runs it.
void ExportExactAndCheck(hm::ModelPtr model, const hm::imp::ExactScene& scene);

// Dies with the message, so the fuzzer keeps the input.
[[noreturn]] void Finding(const std::string& what);

}  // namespace fuzzing
