// A point cache on arbitrary bytes (as FUZZ_EXTENSION, .pc2 or .mdd) against
// the box OBJ of the seeds, read once with its vertices numbered: the cache
// checked and attached, and a whole export of what it accepts, its frames read
// from the file a frame at a time.
#include "fuzz/fuzz_export.h"
#include "contained/import_result_codec.h"
#include "formats/point_cache.h"

#include <cstdint>
#include <fstream>
#include <string>

#ifndef FUZZ_EXTENSION
#  error "FUZZ_EXTENSION names the kind of cache, as \".pc2\""
#endif

namespace {

// Nine vertex lines, the fifth used by no face, in two objects.
const char* const kBoxObj =
    "v -1 0 -1\nv 1 0 -1\nv 1 0 1\nv -1 0 1\nv 100 100 100\nv -1 2 -1\nv 1 2 -1\nv 1 2 1\nv -1 2 1\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "o Bottom\nf 1/1 2/2 3/3 4/4\nf 1/1 6/2 7/3 2/4\nf 2/1 7/2 8/3 3/4\n"
    "o Top\nf 9/1 8/2 7/3 6/4\nf 3/1 8/2 9/3 4/4\nf 4/1 9/2 6/3 1/4\n";

std::string box;  // the box's import result, encoded: a fresh copy for each input

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string path = fuzzing::ScratchFolder() + "/box.obj";
    std::ofstream(path) << kBoxObj;
    hm::ImportOptions options;
    options.exact = true;
    options.numberFileVertices = true;
    const hm::ImportResult result = hm::ImportModel(path, options);
    if (!result.model) fuzzing::Finding("the box does not import: " + result.error.message);
    box = hm::EncodeImportResult(result);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzing::ScratchFolder() + "/input" FUZZ_EXTENSION;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    hm::ImportResult result = hm::DecodeImportResult(box).result;
    const Error error = hm::fmt::AttachPointCache(result, "box.obj", path, hm::ImportOptions{}, false);
    if (error) {
        if (error.message.empty()) fuzzing::Finding("a refused cache without an error");
        return 0;
    }
    if (fuzzing::SmallEnoughToExport(*result.model)) fuzzing::ExportExactAndCheck(std::move(result.model), *result.exact);
    return 0;
}
