// The names a run derives from the path chosen in the save dialog: the three
// output paths and the mesh name. Shared with host programs that report them.
#pragma once

#include <string>

struct OutputPaths {
    std::string data;    // "_d.3d"
    std::string anim;    // "_a.3d"
    std::string script;  // ".uc"
};

// Everything from the last '.' of the path on is replaced by each suffix.
// When the file name itself has no '.', the suffix is appended instead, so a
// '.' in a directory name is never cut. Paths are never shortened.
inline OutputPaths DeriveOutputPaths(const std::string& filePath) {
    size_t separator = filePath.find_last_of("/\\");
    size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    size_t dot = filePath.find_last_of('.');
    std::string stem = (dot == std::string::npos || dot < nameStart) ? filePath : filePath.substr(0, dot);
    return {stem + "_d.3d", stem + "_a.3d", stem + ".uc"};
}

// The file title without its last extension (the whole title when it has none).
inline std::string DeriveMeshName(const std::string& fileTitle) {
    return fileTitle.substr(0, fileTitle.find_last_of('.'));
}
