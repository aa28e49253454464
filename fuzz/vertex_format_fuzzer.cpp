// Our own readers of vertex-animated formats on arbitrary bytes as one kind of
// file (FUZZ_EXTENSION), and a whole export of what they accept, posed by its
// exact scene. They run in this process in the program too: a fault here is
// one the program would meet. A set (".set") is three files in one input:
// the script class's length and the mesh data file's, 16 bits each, then the
// script class, the mesh data file and the animation file.
#include "fuzz/fuzz_export.h"
#include "formats/vertex_formats.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#ifndef FUZZ_EXTENSION
#  error "FUZZ_EXTENSION names the kind of file, as \".md2\""
#endif

namespace {

void Write(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
}

// The file the reader is given: the input, or the set's three files made from it.
std::string InputFile(const uint8_t* data, size_t size) {
    const std::string folder = fuzzing::ScratchFolder();
    if (std::string(FUZZ_EXTENSION) != ".set") {
        Write(folder + "/input" FUZZ_EXTENSION, data, size);
        return folder + "/input" FUZZ_EXTENSION;
    }
    uint16_t lengths[2] = {0, 0};
    if (size >= sizeof lengths) std::memcpy(lengths, data, sizeof lengths);
    size_t at = std::min(size, sizeof lengths);
    const size_t script = std::min<size_t>(lengths[0], size - at);
    Write(folder + "/Input.uc", data + at, script);
    at += script;
    const size_t mesh = std::min<size_t>(lengths[1], size - at);
    Write(folder + "/Input_d.3d", data + at, mesh);
    at += mesh;
    Write(folder + "/Input_a.3d", data + at, size - at);
    return folder + "/Input.uc";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputFile(data, size);
    const hm::fmt::VertexFormat format = hm::fmt::RecogniseVertexFormat(path);
    if (format == hm::fmt::VertexFormat::kNone) return 0;
    hm::ImportResult result = hm::fmt::ReadVertexAnimated(path, format, hm::ImportOptions{}, false);
    if (!result.model) {
        if (!result.error || result.error.message.empty()) fuzzing::Finding("a refused file without an error");
        return 0;
    }
    if (!result.exact) fuzzing::Finding("a model without its exact scene");
    if (fuzzing::SmallEnoughToExport(*result.model)) fuzzing::ExportExactAndCheck(std::move(result.model), *result.exact);
    return 0;
}
