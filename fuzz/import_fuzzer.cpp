// The importer on arbitrary bytes as one format (FUZZ_EXTENSION), and a whole
// export of what it builds. Assimp reads each input first in a child process,
// the host program's way: when it crashes, aborts, runs past the limits or
// refuses the file there, the input is Assimp's affair and ends here. When it
// reads the file, the same read in this process goes the same way, and
// everything of ours after it (the importer, the export) runs here, under the
// sanitizers and the fuzzer's coverage: a fault there is ours.
//
// The fuzzing process grows, and forking it for every input would cost more
// than the reads: a small process forked at the start makes the children.
#include "fuzz/fuzz_export.h"
#include "host/model_json.h"
#include "contained/child_process.h"
#include "contained/import_result_codec.h"
#include "import/model_import.h"
#include "import/source_scene.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#ifndef FUZZ_EXTENSION
#  error "FUZZ_EXTENSION names the format, as \".dae\""
#endif

// Assimp's leaks on damaged files are not ours to find.
extern "C" const char* __lsan_default_suppressions() { return "leak:libassimp.so\n"; }

namespace {

const hm::ChildLimits kReadLimits{512ull << 20, 10.0};

std::string ReadWithAssimpAlone(const std::string& path) {
    // An error the sanitizer reports in the child ends the child, as a crash;
    // the fuzzer's own handler would keep the input as a finding of ours.
    __sanitizer_set_death_callback(nullptr);
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDERR_FILENO);
    hm::imp::SourceScene scene;
    hm::Warnings warnings;
    return hm::imp::LoadSourceScene(path, scene, warnings) ? "refused" : "read";
}

int toServer = -1, fromServer = -1;
pid_t server = -1;

bool ReadAll(int fd, void* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = read(fd, static_cast<char*>(data) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) std::fprintf(stderr, "read server pipe: %s\n", std::strerror(errno));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// For every byte that asks, one read in a child; answers whether Assimp read the file.
[[noreturn]] void ServeReads(const std::string& path) {
    __sanitizer_set_death_callback(nullptr);
    for (int handled : {SIGINT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ}) signal(handled, SIG_DFL);
    for (char ask; ReadAll(toServer, &ask, 1);) {
        const hm::ChildOutcome outcome = hm::RunInChild([&] { return ReadWithAssimpAlone(path); }, kReadLimits);
        const char answer = outcome.end == hm::ChildEnd::NotStarted                             ? 'x'
                            : outcome.end == hm::ChildEnd::Finished && outcome.bytes == "read" ? 'r'
                                                                                               : '-';
        if (write(fromServer, &answer, 1) != 1) break;
    }
    _exit(0);
}

void StartServer(const std::string& path) {
    int asks[2], answers[2];
    if (pipe(asks) != 0 || pipe(answers) != 0) fuzzing::Finding("no pipes for the read server");
    const pid_t pid = fork();
    if (pid < 0) fuzzing::Finding("no read server");
    if (pid == 0) {
        close(asks[1]);
        close(answers[0]);
        toServer = asks[0];
        fromServer = answers[1];
        ServeReads(path);
    }
    server = pid;
    close(asks[0]);
    close(answers[1]);
    toServer = asks[1];
    fromServer = answers[0];
}

// Whether Assimp, in a child under limits, reads the file.
bool AssimpReads() {
    char answer = 0;
    if (write(toServer, "?", 1) != 1 || !ReadAll(fromServer, &answer, 1)) {
        int status = 0;
        waitpid(server, &status, 0);
        fuzzing::Finding("the read server is gone: " +
                         (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                              : "exit " + std::to_string(WEXITSTATUS(status))));
    }
    if (answer == 'x') fuzzing::Finding("no child for the read");
    return answer == 'r';
}

std::string InputPath() { return fuzzing::ScratchFolder() + "/input" FUZZ_EXTENSION; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartServer(InputPath());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputPath();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    if (!AssimpReads()) return 0;

    const hm::ImportResult imported = hm::ImportModel(path, hm::ImportOptions{});
    if (!imported.model) {
        if (!imported.error || imported.error.message.empty()) fuzzing::Finding("an import failed without an error");
        return 0;
    }
    // What the program's reader process hands back.
    hm::DecodedImportResult decoded = hm::DecodeImportResult(hm::EncodeImportResult(imported));
    if (!decoded.problem.empty()) fuzzing::Finding("an import result that does not decode: " + decoded.problem);
    hm::ImportResult& result = decoded.result;
    if (hm::ModelToJson(*result.model) != hm::ModelToJson(*imported.model) ||
        result.warnings.size() != imported.warnings.size() || result.clips.size() != imported.clips.size() ||
        result.textures.size() != imported.textures.size())
        fuzzing::Finding("the decoded import result differs from the imported one");
    const hm::TexturePlan textures = hm::PlanTextureFiles(result.textures, fuzzing::ScratchFolder(), "");
    if (textures.error) fuzzing::Finding("textures not planned: " + textures.error.message);
    if (fuzzing::SmallEnoughToExport(*result.model)) fuzzing::ExportAndCheck(std::move(result.model), true);
    return 0;
}
