// What this project's host programs hand the export plug-in besides the
// model: an extension of the run (defined with the export job), reached
// through one entry of the host library that the modelling host's library
// does not have. The plug-in looks the entry up by name, so that it still
// loads where the entry is missing.
#pragma once

#include "host/hm_model_lib.h"

struct hmExportExtension;

inline constexpr const char* kHostExtensionEntry = "hmHost_GetExportExtension";
using HostExtensionEntry = hmExportExtension* (*)(const hmModel* model);

extern "C" {
// The extension the host program set on the model; null when none.
HM_API hmExportExtension* hmHost_GetExportExtension(const hmModel* model);
}
