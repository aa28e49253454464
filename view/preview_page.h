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

struct PageText {
    std::string html;
    std::string error;  // why the page could not be made; empty when it was
};
PageText BuildPreviewPage(const ExportedSet& set);

// False with error set ("<path>: <reason>") when the page cannot be written;
// an earlier page of that name is then left as it was.
bool WritePreviewPage(const ExportedSet& set, const std::string& pagePath, std::string& error);

}  // namespace view
