#pragma once

#include <string>

#include "AppContext.h"

namespace CLI {
class App;
}

namespace app {

// `copy --to LOCATION`: the whole company, from a file to a server or back.
void RegisterCopyCommands(CLI::App& cli, AppContext& ctx);

// Copies the open company to `to`: a company file that does not exist yet
// (or holds an empty company), or a database on a server that holds no
// company or an empty one. All of it or nothing; throws AppError.
void CopyCompanyTo(const AppContext& ctx, const std::string& to);

} // namespace app
