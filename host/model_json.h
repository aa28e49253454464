// The host model file (".hm.json"): a lossless text form of the in-memory
// model, read with every problem named by file and place, and written back.
#pragma once

#include "host/error.h"
#include "host/host_model.h"
#include "host/warnings.h"

#include <string>
#include <string_view>
#include <vector>

namespace hm {

struct LoadResult {
    ModelPtr model;                     // null when the file could not be loaded
    Error error;                        // "<file>: <place>: <problem>" when model is null; kBadInput
                                        // unless memory ran out (kOutOfMemory)
    Warnings warnings;                  // suspicious but legal content, texts of the same form
};

// fileName is only used in messages.
HM_API LoadResult ParseModelJson(std::string_view text, const std::string& fileName);
HM_API LoadResult LoadModelJson(const std::string& path);

// Floats are written so that they read back to the same bits ("nan", "inf" and
// "-inf" as strings); loading the text gives a model identical to the one written.
// Limits: every NaN is written "nan" and reads back as the one quiet NaN; bytes
// of a name that are not UTF-8 are written as U+FFFD; a model the reader would
// refuse (say, two bones of one name) is written as it is and refused on loading.
HM_API std::string ModelToJson(const hmModel& model);
// kWriteFailed, "<path>: <reason>", when the file cannot be written.
HM_API Error SaveModelJson(const hmModel& model, const std::string& path);

}  // namespace hm
