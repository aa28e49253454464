#include "cli/export_route.h"

#include "cli/system.h"
#include "plugin/plugin.h"

#include <iostream>
#include <memory>

namespace {

ExportOutcome Failed(Error error) {
    ExportOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

// The plug-in runs the plan's request, handed over with the model, and leaves
// its outcome beside it. The model is the plug-in's to release; when the run
// ends early it is left to the host, which learns of a release through onDestroy.
ExportOutcome RunThroughPlugIn(PlugInBase* plugin, ExportPlan& plan, hm::ModelPtr owned) {
    ExportOutcome outcome;
    hmExportExtension extension;
    extension.request = &plan.request;
    extension.outcome = &outcome;
    bool released = false;
    hmModel* model = owned.release();
    model->onDestroy = [&released](const hmModel*) { released = true; };
    model->exportExtension = &extension;
    RunPlugIn(plugin, model);
    if (!released) {
        model->onDestroy = nullptr;
        hmModel_Destroy(model);
    }
    // A plug-in of another version asks its dialog instead, and nothing answers it.
    if (!outcome.error && outcome.written.empty())
        outcome.error = Fault(ErrorKind::kNothingExported,
                              plan.pluginPath + ": the plug-in ended without exporting (is it of another version?)");
    return outcome;
}

}  // namespace

ExportOutcome RunExport(ExportPlan& plan, hm::ModelPtr model, bool verbose) {
    if (!plan.throughPlugIn) {
        if (verbose) std::cout << "Bake: exact (the source's own deformation)\n";
        plan.request.model = model.get();
        plan.request.poses = plan.poses.get();
        return RunExportJob(plan.request);
    }
    CreatePlugInFunction create = nullptr;
    if (const Error error = LoadPlugIn(plan.pluginPath, create))
        return Failed(Fault(error.kind, "cannot load the plug-in: " + error.message));
    const std::unique_ptr<PlugInBase, void (*)(PlugInBase*)> plugin(create(), DeletePlugIn);
    if (!plugin) return Failed(Fault(ErrorKind::kBadInput, plan.pluginPath + ": CreatePlugIn returned no object"));
    if (PlugInKind(plugin.get()) != kExporterKind)
        return Failed(Fault(ErrorKind::kBadInput, plan.pluginPath + ": not an export plug-in"));
    if (verbose) std::cout << "Plug-in: " << PlugInCaption(plugin.get()) << " (" << plan.pluginPath << ")\n";
    return RunThroughPlugIn(plugin.get(), plan, std::move(model));
}
