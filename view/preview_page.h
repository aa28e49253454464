// Writes the preview page of an exported set: one HTML file that opens from
// disk with no server and no network, its data and textures inside it.
// Pages are shared: they name the set's files relative to its folder and a
// source image by its file name, never by a path of the machine (the
// reader's messages, which the page shows, are written so too).
#pragma once

#include "host/error.h"
#include "view/exported_set.h"

#include <map>
#include <string>
#include <vector>

namespace view {

// The page beside the set: its base path plus ".html".
std::string PreviewPagePath(const std::string& anyFileOfTheSet);

// The page's text into html. Failures (kOutOfMemory, kWriteFailed when
// compression fails, kBadInput for a number that would not be finite) name
// no file, and leave html empty.
Error BuildPreviewPage(const ExportedSet& set, std::string& html);

// kWriteFailed ("<path>: <reason>") when the page cannot be written, or what
// BuildPreviewPage failed with; an earlier page of that name is then left as it was.
Error WritePreviewPage(const ExportedSet& set, const std::string& pagePath);

}  // namespace view
