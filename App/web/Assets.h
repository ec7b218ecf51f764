#pragma once

namespace app::web {

// The page's style sheet and script, served from memory: the page works
// offline and nothing a request names is read from disk.
extern const char* const kStyleSheet;
extern const char* const kScript;

} // namespace app::web
