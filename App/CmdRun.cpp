#include "CmdRun.h"

#include <iostream>

namespace app {

int Run(const AppContext&, const RunOptions&) {
    std::cerr << "reminders: run: the daily cycle is not available in this build yet\n";
    return 1;
}

} // namespace app
