// The host model file reader on arbitrary text, and a whole export of every
// model it accepts. What the reader accepts, the writer writes back so that
// reading it again gives the same text.
#include "fuzz/fuzz_export.h"
#include "host/model_json.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    hm::LoadResult loaded = hm::ParseModelJson(text, "fuzz.hm.json");
    if (!loaded.model) {
        if (!loaded.error || loaded.error.message.empty()) fuzzing::Finding("a refused file without an error");
        return 0;
    }
    const std::string written = hm::ModelToJson(*loaded.model);
    hm::LoadResult reread = hm::ParseModelJson(written, "written.hm.json");
    if (!reread.model) fuzzing::Finding("the writer's text is refused: " + reread.error.message);
    if (hm::ModelToJson(*reread.model) != written) fuzzing::Finding("the written model does not read back the same");
    if (fuzzing::SmallEnoughToExport(*loaded.model)) fuzzing::ExportAndCheck(std::move(loaded.model), true);
    return 0;
}
