// The export run: check the model, ask for a destination, derive the output
// names, open the log, call the writers, and release the model.
#pragma once

#include "host/hm_model_lib.h"

#include <cstdint>
#include <string>

// The texts the run shows.
inline constexpr const char* kMessageCaption = "Vantrel Export";
inline constexpr const char* kEmptyModelText = "The model is empty!  Nothing exported!";
inline constexpr const char* kLogFileName = "VantrelExport.log";

struct OutputPaths {
    std::string data;    // "_d.3d"
    std::string anim;    // "_a.3d"
    std::string script;  // ".uc"
};

// Everything from the last '.' of the path on is replaced by each suffix.
// When the file name itself has no '.', the suffix is appended instead, so a
// '.' in a directory name is never cut. Paths are never shortened.
OutputPaths DeriveOutputPaths(const std::string& filePath);

// The file title without its last extension (the whole title when it has none).
std::string DeriveMeshName(const std::string& fileTitle);

// -1 for a null model or an output that could not be written (the user is
// told which and why); 0 otherwise.
int32_t Run(hmModel* model);
