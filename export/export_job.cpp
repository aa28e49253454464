#include "export/export_job.h"

#include "export/mesh_data_file.h"
#include "export/output_names.h"
#include "skeleton/bone_table.h"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>

namespace {

// What the set shows that the artist may not have meant: a clip during which
// nothing moves, a mesh that no frame moves while others move.
void WarnOfStillness(hmModel* model, const AnimationResult& animation, const std::vector<AnimationSequence>& sequences,
                     hm::Warnings& warnings) {
    const std::vector<uint64_t>& hashes = animation.frameHashes;
    for (const AnimationSequence& sequence : sequences) {
        const size_t first = static_cast<size_t>(std::max<int64_t>(sequence.startFrame, 0));
        const size_t end = std::min(hashes.size(), first + static_cast<size_t>(std::max<int64_t>(sequence.frameCount, 0)));
        if (end < first + 2) continue;
        if (std::all_of(hashes.begin() + static_cast<ptrdiff_t>(first), hashes.begin() + static_cast<ptrdiff_t>(end),
                        [&](uint64_t hash) { return hash == hashes[first]; }))
            hm::AddWarning(warnings, hm::WarningKind::StillClip,
                           "nothing moves during clip " + sequence.name + " (" + std::to_string(end - first) +
                               " frames alike)",
                           1, {sequence.name});
    }
    const std::vector<bool>& moves = animation.meshMoves;
    if (std::find(moves.begin(), moves.end(), true) == moves.end()) return;
    for (size_t m = 0; m < moves.size(); ++m) {
        if (moves[m]) continue;
        char name[256] = "";
        hmMesh_GetName(hmModel_GetMeshAt(model, static_cast<int32_t>(m)), name, sizeof name);
        name[sizeof name - 1] = '\0';
        const std::string shown = hm::Printable(name);
        hm::AddWarning(warnings, hm::WarningKind::StillMesh,
                       "mesh '" + shown +
                           "' moves in no frame while others move: does any clip animate its armature or object?",
                       1, {shown});
    }
}


std::string FileTitle(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

// Removes every temporary of the set; the message names the file that failed.
Error WriteFailure(OutputSet& outputs, const OutputFile* failed = nullptr) {
    outputs.Discard();
    return Fault(ErrorKind::kWriteFailed, failed && failed->Failed() ? failed->Error() : outputs.Error());
}

// Stages every file of the request into outputs, in the order they are
// committed: the mesh files, the script class, the log, the extra files, the page.
Error Stage(const ExportRequest& request, OutputSet& outputs, ExportLog& log, ExportOutcome& outcome) {
    const OutputPaths paths = DeriveOutputPaths(request.destination);
    if (!request.logPath.empty() && !log.Open(request.logPath)) {
        if (request.logRequired) return Fault(ErrorKind::kWriteFailed, log.Error());
        hm::AddWarning(outcome.warnings, hm::WarningKind::LogNotCreated,
                       "Could not create the log " + log.Error() + ". The export goes on without it.");
    }
    log.Print(paths.data, paths.anim);

    PoseSource* poses = request.poses;
    std::optional<BoneTable> ownBones;
    std::optional<SkeletonSource> skeleton;
    if (!poses) {
        BoneTable& table = request.bones ? *request.bones : ownBones.emplace();
        table.SetupBindPose(request.model);
        poses = &skeleton.emplace(table, request.model);
    }

    // From here to the commit the folder is this export's: what the plan
    // finds there stays true until the set replaces it.
    outputs.LockFolder(paths.data);
    std::vector<ExtraFile> planned;
    const std::vector<ExtraFile>* const extraFiles[] = {&request.additions.files, &planned};
    if (request.additions.planFiles)
        if (Error error = request.additions.planFiles(planned, outcome.keptFiles)) {
            outputs.Discard();
            return error;
        }

    OutputFile* dataFile = outputs.Add(paths.data);
    OutputFile* animFile = dataFile ? outputs.Add(paths.anim) : nullptr;
    OutputFile* scriptFile = animFile ? outputs.Add(paths.script) : nullptr;
    if (!scriptFile) return WriteFailure(outputs);
    const bool logged = log.IsOpen();
    if (logged) outputs.Include(log.File());
    const AnimationResult animation =
        WriteExport(request.model, *poses, DeriveMeshName(FileTitle(request.destination)), log, *dataFile, *animFile,
                    *scriptFile, request.additions.sequences, request.threads, request.additions.triangleTypes,
                    request.additions.cornerTexCoords, request.logFrames);
    WarnOfStillness(request.model, animation, request.additions.sequences, outcome.warnings);

    // The page is made from the files as they will be: each is complete in
    // its temporary before the page reads it.
    std::vector<StagedFile> staged;
    for (OutputFile* file : {dataFile, animFile, scriptFile}) {
        if (!file->Finish()) return WriteFailure(outputs, file);
        staged.push_back({file->Path(), file->WrittenPath()});
    }
    for (const std::vector<ExtraFile>* extras : extraFiles)
        for (const ExtraFile& extra : *extras) {
            OutputFile* file = outputs.Add(extra.path);
            if (!file) return WriteFailure(outputs);
            file->Write(extra.bytes.data(), extra.bytes.size());
            if (!file->Finish()) return WriteFailure(outputs, file);
            staged.push_back({file->Path(), file->WrittenPath()});
        }
    if (request.additions.preview) {
        PreviewPage page = request.additions.preview(staged);
        outcome.previewFindings = std::move(page.findings);
        if (page.error) {
            outputs.Discard();
            return page.error;
        }
        OutputFile* file = outputs.Add(page.path);
        if (!file) return WriteFailure(outputs);
        file->Write(page.html);
        outcome.pagePath = page.path;
    }
    if (!outputs.Commit()) return Fault(ErrorKind::kWriteFailed, outputs.Error());
    outcome.written = {paths.data, paths.anim, paths.script};
    if (logged) outcome.written.push_back(outcome.logPath = request.logPath);
    for (const std::vector<ExtraFile>* extras : extraFiles)
        for (const ExtraFile& extra : *extras) outcome.written.push_back(extra.path);
    if (!outcome.pagePath.empty()) outcome.written.push_back(outcome.pagePath);
    return {};
}

}  // namespace

ExportOutcome RunExportJob(const ExportRequest& request) {
    ExportOutcome outcome;
    if (!request.model || hmModel_GetMeshCount(request.model) == 0) {
        outcome.error = Fault(ErrorKind::kNothingExported, kEmptyModelText);
        return outcome;
    }
    // Nothing may leave the job: a failure of the machine (memory, threads)
    // fails this export like an output that cannot be written, and the
    // outputs' temporaries go with the unwinding.
    try {
        ExportLog log;
        OutputSet outputs(request.rename);
        outcome.error = Stage(request, outputs, log, outcome);
    } catch (const std::bad_alloc&) {
        outcome.error = Fault(ErrorKind::kOutOfMemory, "the files: there is not enough memory for this model");
    } catch (const std::exception& thrown) {
        outcome.error = Fault(ErrorKind::kWriteFailed, std::string("the files: ") + thrown.what());
    }
    if (outcome.error) {
        outcome.written.clear();
        outcome.logPath.clear();
        outcome.pagePath.clear();
    }
    return outcome;
}

AnimationResult WriteExport(hmModel* model, PoseSource& poses, const std::string& meshName, ExportLog& log,
                            OutputFile& dataFile, OutputFile& animFile, OutputFile& scriptFile,
                            const std::vector<AnimationSequence>& sequences, int threads,
                            const std::vector<uint8_t>& triangleTypes, const std::vector<float>& cornerTexCoords,
                            int32_t tracedFrames) {
    const uint16_t vertexTotal = WriteMeshDataFile(model, dataFile, log, triangleTypes, cornerTexCoords);
    const AnimationResult animation = WriteAnimationFile(model, poses, animFile, log, vertexTotal, threads, tracedFrames);
    WriteScriptClassFile(model, scriptFile, meshName, animation.frameCount, animation.scale, log, sequences);
    return animation;
}

std::string DescribeFailure(const Error& error) {
    if (error.kind == ErrorKind::kWriteFailed || error.kind == ErrorKind::kOutOfMemory)
        return "Could not write " + error.message + ". Nothing was exported; the earlier files were left as they were.";
    return error.message;
}
