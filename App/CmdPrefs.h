#pragma once

#include <string>

#include "AppContext.h"

namespace app {

// `prefs show`, `prefs set KEY VALUE`.
void PrefsShow(const AppContext& ctx);
void PrefsSet(const AppContext& ctx, const std::string& key, const std::string& value);

// `log [--tail N]`, `stats`.
void ShowLog(const AppContext& ctx, int tail);
void ShowStats(const AppContext& ctx);

} // namespace app
