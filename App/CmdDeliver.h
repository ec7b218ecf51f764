#pragma once

#include "AppContext.h"

namespace CLI {
class App;
}

namespace app {

// `deliver`, `outbox`.
void RegisterDeliverCommands(CLI::App& cli, AppContext& ctx);

} // namespace app
