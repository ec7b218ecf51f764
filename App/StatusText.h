#pragma once

#include <string>

#include "TxnReminderDefines.h"

namespace app {

// A status code in words, for the one line a failed command prints.
std::string StatusText(TxnReminderStatusCode status);

} // namespace app
