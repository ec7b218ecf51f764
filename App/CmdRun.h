#pragma once

#include <string>

#include "AppContext.h"

namespace CLI {
class App;
}

namespace app {

// `run`.
void RegisterRunCommands(CLI::App& cli, AppContext& ctx);

struct RunOptions {
    int simulateDays = 0;
    std::string answer;  // later | review | send; empty: ask at the terminal
    std::string outbox;
};

// The daily cycle; returns the exit status.
int Run(const AppContext& ctx, const RunOptions& options);

} // namespace app
