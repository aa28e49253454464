// What the host program says after an export: each file written and where it
// goes in the package, the counts read back from the files, the size and the
// precision the engine will show.
#pragma once

#include "cli/model_loading.h"

#include <string>
#include <vector>

struct ExportSummary {
    std::string meshName;              // the class name
    std::string dataPath, animPath, scriptPath;
    std::vector<std::string> texturePaths;  // beside the outputs, as the class names them
    std::string logPath;               // "" when no log was written
    int32_t loggedFrames = 0;          // whose vertices the log traces, when fewer than the frames
    ModelSize size;
    bool imported = false;             // a model in a common format (--scale applies)
    bool sizeChosen = false;           // --scale or --height given
    double unitCentimetres = 0;        // as the file says (0: it does not say)
    std::string sequences;             // the clips' sequence lines
    bool sequencesWritten = true;      // into the script class; else to be pasted there
};

// A file's bytes; "" when it is no regular file or cannot be read.
std::string ReadText(const std::string& path);

std::string DescribeExport(const ExportSummary& summary);

// The hint for a model whose size is far from a character's in the engine, or
// whose file says centimetres ("" when none, or when the size was chosen).
std::string SizeHint(const ModelSize& size, bool imported, bool sizeChosen, double unitCentimetres);

// A file's address for a terminal or a browser to open: file:///... with what
// a URL cannot hold percent-encoded (spaces, non-ASCII letters as their UTF-8
// bytes); a Windows path (C:\x) as file:///C:/x.
std::string FileUrl(const std::string& absolutePath, bool windowsPath);
