// vantrel-export: reads the command line, loads the model, plans the export,
// runs it (the host bake through the plug-in, loaded as the modelling host
// loads it; the exact bake in the program) and reports what it wrote.
#include "cli/export_plan.h"
#include "cli/export_route.h"
#include "cli/model_loading.h"
#include "cli/options.h"
#include "cli/summary.h"
#include "cli/system.h"
#include "contained/contained_import.h"
#include "export/output_names.h"
#include "host/warnings.h"

#include <filesystem>
#include <iostream>
#include <new>
#include <string>

namespace fs = std::filesystem;

namespace {

// Messages and warnings quote the model's own strings (names, paths it
// names): whatever control characters those hold are shown escaped.
int Fail(int status, const std::string& message) {
    std::cerr << "vantrel-export: " << hm::Printable(message) << "\n";
    return status;
}

void Warn(const std::string& text) { std::cerr << "vantrel-export: " << hm::Printable(text) << "\n"; }

// A failure before the export: its line as it stands, and its exit status.
int Refuse(const Error& error) {
    return Fail(ExitStatus(error.kind),
                error.kind == ErrorKind::kNothingExported ? "nothing exported: " + error.message : error.message);
}

// The export's own failure, as a host shows it.
int Report(const Error& error) {
    return error.kind == ErrorKind::kNothingExported ? Refuse(error) : Fail(ExitStatus(error.kind), DescribeFailure(error));
}

// What the program says after an export: each warning, the textures kept,
// what the page found, then the summary of the files. The exit status.
int ReportExport(const CliOptions& options, const LoadedModel& loaded, const ExportPlan& plan,
                 const ExportOutcome& outcome) {
    const bool quiet = options.verbosity == Verbosity::Quiet;
    if (!quiet)
        for (const hm::Warning& warning : outcome.warnings) Warn("warning: " + warning.text);
    if (outcome.error) return Report(outcome.error);
    if (quiet) return kExported;
    for (const std::string& kept : outcome.keptFiles)
        Warn("warning: " + kept +
             " is not from an earlier export of this class, or is the model's own image, and differs from the "
             "converted texture; kept it (move it away and export again to get the model's)");
    for (const std::string& unused : plan.unusedTextures)
        Warn("warning: " + unused +
             " is a texture of an earlier export of this class that the new one does not use; left in place");
    for (const std::string& finding : outcome.previewFindings) Warn("preview: " + finding);

    if (!plan.nameNote.empty()) std::cout << plan.nameNote << "\n";
    const std::string& destination = plan.request.destination;
    const std::string folder = fs::path(destination).parent_path().string();
    const OutputPaths paths = DeriveOutputPaths(destination);
    ExportSummary summary;
    summary.meshName = DeriveMeshName(fs::path(destination).filename().string());
    summary.dataPath = paths.data;
    summary.animPath = paths.anim;
    summary.scriptPath = paths.script;
    for (const hm::TextureFile& texture : loaded.textures)
        summary.texturePaths.push_back((fs::path(folder) / texture.fileName).string());
    summary.logPath = outcome.logPath;
    if (plan.logShortened) summary.loggedFrames = plan.request.logFrames;
    summary.size = plan.size;
    summary.imported = !loaded.hostModelFile;
    summary.sizeChosen = options.modelOptions.import.scale != 1 || options.modelOptions.height > 0;
    summary.unitCentimetres = loaded.unitCentimetres;
    for (const AnimationSequence& sequence : plan.sequences) summary.sequences += SequenceLine(summary.meshName, sequence);
    summary.sequencesWritten = !options.noSequences;
    std::cout << DescribeExport(summary);
#if defined(_WIN32)
    constexpr bool kWindowsPath = true;
#else
    constexpr bool kWindowsPath = false;
#endif
    if (!outcome.pagePath.empty())
        std::cout << "Preview: " << FileUrl(fs::absolute(outcome.pagePath).lexically_normal().string(), kWindowsPath)
                  << "\n";
    return kExported;
}

}  // namespace

int Main(int argc, char** argv) {
    CliOptions options;
    if (std::optional<int> status = ParseCommandLine(argc, argv, options)) return *status;

    LoadedModel loaded = LoadModel(options.model, options.modelOptions);
    const bool quiet = options.verbosity == Verbosity::Quiet;
    if (!quiet)
        for (const hm::Warning& warning : loaded.warnings)
            Warn((hm::IsNote(warning.kind) ? "note: " : "warning: ") + warning.text);
    if (!loaded.model) return Refuse(loaded.error);
    if (loaded.done) return kExported;  // an informational option did all the work
    if (!quiet) std::cout << DescribeFit(loaded.fit);

    ExportPlan plan;
    if (const Error error = PlanExport(options, loaded, plan)) return Refuse(error);
    const ExportOutcome outcome = RunExport(plan, std::move(loaded.model), options.verbosity == Verbosity::Verbose);
    return ReportExport(options, loaded, plan, outcome);
}

int main(int argc, char** argv) {
#if defined(_WIN32)
    if (argc == 2 && std::string(argv[1]) == hm::kReaderChildFlag) return hm::ServeContainedImport();
#endif
    PrepareProgram();
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        return Fail(ExitStatus(ErrorKind::kOutOfMemory), "out of memory: the model is too large for this machine");
    }
}
