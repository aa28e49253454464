#include "contained/contained_import.h"

#include "contained/child_process.h"
#include "contained/import_result_codec.h"

#include <cstdio>
#include <stdexcept>

namespace hm {

namespace {

constexpr const char* kDamaged = "the file is damaged or uses a feature the reader does not handle";

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

std::string Problem(const ChildOutcome& outcome, const ReaderLimits& limits) {
    switch (outcome.end) {
        case ChildEnd::Crashed:
            if (outcome.signal != 0)
                return "the model reader crashed on this file (signal " + std::to_string(outcome.signal) + "): " +
                       kDamaged;
            return "the model reader stopped on this file without a result (exit status " +
                   std::to_string(outcome.exitStatus) + "): " + kDamaged;
        case ChildEnd::OutOfMemory:
            if (outcome.memoryBytes >> 20 < limits.memoryMegabytes)
                return "the model reader needed more than " + std::to_string(outcome.memoryBytes >> 20) +
                       " MB of memory for this file, the most this process may take (its memory limit), and was "
                       "stopped: the file is damaged, or a model this large needs a higher limit";
            return "the model reader needed more than " + std::to_string(limits.memoryMegabytes) +
                   " MB of memory for this file and was stopped: the file is damaged, or a model this large "
                   "needs a higher --max-memory";
        case ChildEnd::TimedOut:
            return "the model reader did not finish this file within " + Seconds(limits.seconds) +
                   " s and was stopped: the file is damaged, or a model this large needs a longer --timeout";
        case ChildEnd::NotStarted:
            return "the model reader could not be started: " + outcome.error;
        case ChildEnd::Finished:
            break;
    }
    return "";
}

}  // namespace

ImportResult ImportModelContained(const std::string& path, const ImportOptions& options, const ReaderLimits& limits) {
    const ChildLimits childLimits{limits.memoryMegabytes << 20, limits.seconds};
#if defined(_WIN32)
    const ChildOutcome outcome = RunProgramInChild(kReaderChildFlag, EncodeImportRequest(path, options), childLimits);
#else
    const ChildOutcome outcome =
        RunInChild([&] { return EncodeImportResult(ImportModel(path, options)); }, childLimits);
#endif
    if (outcome.end != ChildEnd::Finished) {
        ImportResult result;
        result.error = Fault(ErrorKind::kReaderCrash, path + ": " + Problem(outcome, limits));
        return result;
    }
    DecodedImportResult decoded = DecodeImportResult(outcome.bytes);
    if (!decoded.problem.empty()) {
        const std::string damaged = "the model reader handed back a damaged result (" + decoded.problem + ")";
        decoded.result.error = Fault(ErrorKind::kReaderCrash, path + ": " + damaged);
    }
    return std::move(decoded.result);
}

#if defined(_WIN32)
int ServeContainedImport() {
    PrepareChild();
    const std::string request = ReadChildInput();
    return AnswerFromChild([&] {
        std::string path;
        ImportOptions options;
        if (!DecodeImportRequest(request, path, options)) throw std::runtime_error("damaged request");
        return EncodeImportResult(ImportModel(path, options));
    });
}
#endif

}  // namespace hm
