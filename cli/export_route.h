// Runs a planned export: the exact bake in the program, the host bake through
// the plug-in, loaded and called as the modelling host loads and calls it.
#pragma once

#include "cli/export_plan.h"
#include "host/host_model.h"

// Takes the model: through the plug-in, the plug-in releases it as it would
// the modelling host's. verbose: says which bake, and which plug-in.
ExportOutcome RunExport(ExportPlan& plan, hm::ModelPtr model, bool verbose);
