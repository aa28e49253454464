// The import result (the host model and all else the importer returns) in a
// compact binary form, which the reader's child process hands to the host
// program. Both ends are the same program: the records go as their bytes.
#pragma once

#include "import/model_import.h"

#include <string>
#include <string_view>

namespace hm {

std::string EncodeImportResult(const ImportResult& result);

struct DecodedImportResult {
    ImportResult result;
    std::string problem;  // why bytes are not a whole result of this version; empty when they are
};

// Every count is checked against the bytes left before anything is allocated.
DecodedImportResult DecodeImportResult(std::string_view bytes);

// What the reader's child is asked to read, for a child that is this program
// started again rather than a fork (Windows). False when bytes are not one.
std::string EncodeImportRequest(const std::string& path, const ImportOptions& options);
bool DecodeImportRequest(std::string_view bytes, std::string& path, ImportOptions& options);

}  // namespace hm
