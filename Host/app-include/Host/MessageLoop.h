#pragma once

#include <functional>
#include <string>

#include "Date/DateType32.h"
#include "Messaging/Commands.h"
#include "Util/HostApi.h"

// The host's message loop, timers, commands and notifications, as the
// application and tests drive them.
namespace Host {

// Processes queued messages (and those they queue) until the queue is empty.
// Returns how many were processed.
HOST_API int ProcessPendingMessages();
HOST_API int PendingMessageCount();

// Timers armed through SetTimer.
HOST_API int ArmedTimerCount();
// Due moment of the earliest armed timer; false when none is armed.
HOST_API bool NextTimerDue(DateAndTime* due);
// With a fixed clock: moves it forward by `seconds`, firing every timer that
// falls due (the clock set to its due moment first) and processing the
// messages that follows, in order.
HOST_API void AdvanceAndRun(long seconds);
// With the system clock: runs the loop until `until` returns true, sleeping
// until the next timer or at most `pollMs` between checks.
HOST_API void RunLoop(const std::function<bool()>& until, int pollMs = 200);

// Tells every close-system handler that the system closes.
HOST_API void NotifyCloseSystem();

using CommandHandler = std::function<void(const CArguments&)>;
HOST_API void RegisterCommand(const std::string& name, CommandHandler handler);
HOST_API void UnregisterCommand(const std::string& name);

// Where one-time messages are shown (default: standard output).
HOST_API void SetMessageSink(std::function<void(int id, const std::string& text)> sink);

// Folder where LoadLibraryA looks for modules.
HOST_API void SetModuleFolder(const std::string& folder);
HOST_API std::string ModuleFolder();
// The file a module name maps to on this platform.
HOST_API std::string ModuleFileName(const std::string& name);

// Drops queued messages, timers, handlers' registrations stay; for Reset.
HOST_API void ResetMessaging();

} // namespace Host
