#include "fuzz/fuzz_export.h"

#include "bake/exact_pose.h"
#include "export/export_job.h"
#include "export/export_run.h"
#include "platform/platform_ui.h"
#include "tests/support/exported_set.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzing {

namespace {

// Every frame costs a pose of every bone and vertex, and a log line of its own.
constexpr int64_t kMaxFrameWork = 5000;

std::string ScratchBase() { return ScratchFolder() + "/Fuzz"; }

}  // namespace

const std::string& ScratchFolder() {
    static const std::string folder = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "vantrel-fuzz-XXXXXX").string();
        if (!mkdtemp(folder.data())) Finding("cannot make a scratch folder");
        // Handlers registered now run after the string is gone: they keep a copy.
        static char removeAtExit[4096];
        std::snprintf(removeAtExit, sizeof removeAtExit, "%s", folder.c_str());
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        platform::SetMessagesPrinted(false);
        return folder;
    }();
    return folder;
}

void Finding(const std::string& what) {
    std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
    std::abort();
}

bool SmallEnoughToExport(const hmModel& model) {
    int64_t vertices = 0;
    for (const auto& mesh : model.meshes) vertices += static_cast<int64_t>(mesh->vertices.size());
    // The animation file holds the host's frame total in 16 bits: -1 frames are 65535.
    const int64_t frames = std::max<int64_t>(static_cast<uint16_t>(model.totalFrames), 1);
    return (vertices + static_cast<int64_t>(model.bones.size()) + 1) * frames <= kMaxFrameWork;
}

void ExportAndCheck(hm::ModelPtr model, bool cornersInRange) {
    const std::string base = ScratchBase();
    for (const char* suffix : {"_d.3d", "_a.3d", ".uc"}) std::remove((base + suffix).c_str());
    platform::SetSaveDialogAnswer(base + ".3D");
    platform::ClearRecords();

    int released = 0;
    hmModel* handle = model.release();
    handle->onDestroy = [&released](const hmModel*) { ++released; };
    const bool hasMeshes = hmModel_GetMeshCount(handle) > 0;
    // The export writes its log to the current directory; the fuzzer's paths
    // may be relative to the one it was started in.
    const std::filesystem::path started = std::filesystem::current_path();
    std::filesystem::current_path(ScratchFolder());
    const int32_t result = Run(handle);
    std::filesystem::current_path(started);
    if (released == 0) {
        handle->onDestroy = nullptr;
        hmModel_Destroy(handle);
    }
    if (result != 0) Finding("the export failed in a scratch folder: Run returned " + std::to_string(result));
    if (hasMeshes != (released == 1))
        Finding("the model was released " + std::to_string(released) + " times by a run " +
                (hasMeshes ? "with" : "without") + " meshes");
    if (!hasMeshes) return;
    const std::string problem = testing_support::CheckExportedSet(base, cornersInRange);
    if (!problem.empty()) Finding("inconsistent exported set: " + problem);
}

void ExportExactAndCheck(hm::ModelPtr model, const hm::imp::ExactScene& scene) {
    if (const Error error = hm::imp::CheckExactScene(scene)) Finding("an inconsistent exact scene: " + error.message);
    const std::string base = ScratchBase();
    for (const char* suffix : {"_d.3d", "_a.3d", ".uc"}) std::remove((base + suffix).c_str());
    hm::imp::ExactPose poses(scene);
    ExportRequest request;
    request.model = model.get();
    request.poses = &poses;
    request.destination = base + ".3D";
    request.threads = 1;
    const ExportOutcome outcome = RunExportJob(request);
    if (outcome.error) Finding("the export failed in a scratch folder: " + outcome.error.message);
    const std::string problem = testing_support::CheckExportedSet(base, true);
    if (!problem.empty()) Finding("inconsistent exported set: " + problem);
}

}  // namespace fuzzing
