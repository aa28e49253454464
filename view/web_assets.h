// The preview page's own source, from web/, compiled in at build time so the
// programs need no file beside them.
#pragma once

#include <string_view>

namespace web_assets {

extern const std::string_view kPreviewHtml;
extern const std::string_view kPreviewCss;
extern const std::string_view kPreviewJs;

}  // namespace web_assets
