// The importer run where nothing it meets can take the host program down: in
// a child process with limits on memory and time, its result handed back.
#pragma once

#include "import/model_import.h"

#include <cstdint>

namespace hm {

// Generous for real models (the samples take milliseconds and under 20 MB);
// a damaged file that runs away is stopped by one or the other.
struct ReaderLimits {
    uint64_t memoryMegabytes = 4096;  // the reader's address space (resident memory under AddressSanitizer)
    double seconds = 120;             // wall-clock time
};

// ImportModel in a child process. A crash, an abort, memory past the limit or
// time past the limit is an error in the user's terms, naming the file and
// what happened; the result is otherwise the one ImportModel gives.
ImportResult ImportModelContained(const std::string& path, const ImportOptions& options, const ReaderLimits& limits);

#if defined(_WIN32)
// The argument that starts this program as the reader's child: what it reads
// comes on its standard input, its result goes to its standard output. A
// program that contains the reader calls ServeContainedImport first thing
// when it sees it, and exits with what that returns.
inline constexpr const char* kReaderChildFlag = "--vantrel-model-reader-child";
int ServeContainedImport();
#endif

}  // namespace hm
