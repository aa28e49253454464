// Writes the preview page of an exported set: one HTML file that opens from
// disk with no server and no network, its data and textures inside it.
#pragma once

#include "view/exported_set.h"

#include <map>
#include <string>
#include <vector>

namespace view {

// The page beside the set: its base path plus ".html".
std::string PreviewPagePath(const std::string& anyFileOfTheSet);

// False with error set when the page cannot be written; an earlier page of
// that name is then left as it was.
bool WritePreviewPage(const ExportedSet& set, const std::string& pagePath, std::string& error);

// After an export: reads back the set written for the chosen name and writes
// its page beside it; textures are also looked for in modelFolder. What the
// reader finds goes to warnings (problems first, then notes). sourceImages
// (texture file name -> the image it was converted from) fill "as painted".
bool WriteExportPreview(const std::string& chosenPath, const std::string& modelFolder, std::string& pagePath,
                        std::vector<std::string>& warnings, std::string& error,
                        const std::map<std::string, std::string>& sourceImages = {});

}  // namespace view
