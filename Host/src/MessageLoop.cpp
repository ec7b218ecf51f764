#include "Host/MessageLoop.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <chrono>
#include <deque>
#include <iostream>
#include <map>
#include <thread>
#include <vector>

#include "Host/HostContext.h"
#include "Messaging/AppMsg.h"
#include "Messaging/Notify.h"
#include "Platform/WinApi.h"
#include "Prefs/PrefsTag.h"

namespace Host {

namespace {
struct Timer {
    DateAndTime due;
    long periodSeconds;
    TIMERPROC callback;
};

// The loop's state; kept in one function-local object so that messages and
// handlers built during static initialisation of a library find it ready.
struct Loop {
    std::deque<AppMsg*> queue;
    std::map<UINT_PTR, Timer> timers;
    UINT_PTR nextTimerId = 1;
    std::vector<CNotificationBase*> closeHandlers;
    std::map<std::string, CommandHandler> commands;
    std::function<void(int, const std::string&)> messageSink;
    std::string moduleFolder = ".";
};

Loop& TheLoop() {
    static Loop loop;
    return loop;
}

// Fires the earliest timer due at or before `limit`; false when none is.
bool FireOneDueTimer(DateAndTime limit) {
    Loop& loop = TheLoop();
    auto earliest = loop.timers.end();
    for (auto it = loop.timers.begin(); it != loop.timers.end(); ++it) {
        if (it->second.due <= limit && (earliest == loop.timers.end() || it->second.due < earliest->second.due)) {
            earliest = it;
        }
    }
    if (earliest == loop.timers.end()) return false;
    const UINT_PTR id = earliest->first;
    Timer& timer = earliest->second;
    auto& ctx = HostContext::Get();
    if (ctx.ClockIsFixed() && timer.due > ctx.Now()) ctx.SetNow(timer.due);
    // Platform timers repeat until killed.
    timer.due += std::max<long>(timer.periodSeconds, 1);
    const TIMERPROC callback = timer.callback;
    if (callback) callback(nullptr, 0x0113 /* timer message */, id, 0);
    return true;
}

std::string ShortMessageText(int id) {
    if (id == 2641) {
        return "Your payment reminders are ready whenever you are: run 'reminders send' to review and send them.";
    }
    return "Host message " + std::to_string(id);
}
} // namespace

int ProcessPendingMessages() {
    Loop& loop = TheLoop();
    int processed = 0;
    while (!loop.queue.empty()) {
        AppMsg* msg = loop.queue.front();
        loop.queue.pop_front();
        msg->ProcessMsg();
        delete msg;
        ++processed;
    }
    return processed;
}

int PendingMessageCount() { return static_cast<int>(TheLoop().queue.size()); }

int ArmedTimerCount() { return static_cast<int>(TheLoop().timers.size()); }

bool NextTimerDue(DateAndTime* due) {
    const Loop& loop = TheLoop();
    if (loop.timers.empty()) return false;
    DateAndTime best = loop.timers.begin()->second.due;
    for (const auto& [id, t] : loop.timers) best = std::min(best, t.due);
    if (due) *due = best;
    return true;
}

void AdvanceAndRun(long seconds) {
    auto& ctx = HostContext::Get();
    const DateAndTime target = ctx.Now() + seconds;
    ProcessPendingMessages();
    while (FireOneDueTimer(target)) ProcessPendingMessages();
    if (ctx.Now() < target) ctx.SetNow(target);
    ProcessPendingMessages();
}

void RunLoop(const std::function<bool()>& until, int pollMs) {
    auto& ctx = HostContext::Get();
    while (!until()) {
        ProcessPendingMessages();
        if (until()) break;
        if (FireOneDueTimer(ctx.Now())) continue;
        long waitMs = pollMs;
        DateAndTime due = 0;
        if (NextTimerDue(&due)) waitMs = std::min<long>(waitMs, std::max<long>(0, (due - ctx.Now()) * 1000));
        if (ctx.ClockIsFixed()) {
            // Nothing moves a fixed clock here: jump to the next timer or stop.
            if (!NextTimerDue(&due)) break;
            ctx.SetNow(due);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max<long>(waitMs, 1)));
    }
}

void RegisterCloseSystemHandler(CNotificationBase* handler) { TheLoop().closeHandlers.push_back(handler); }

void UnregisterCloseSystemHandler(CNotificationBase* handler) {
    auto& handlers = TheLoop().closeHandlers;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
}

void NotifyCloseSystem() {
    const CNotifyDataCloseSystem data{};
    // Copy: a handler may unregister itself.
    const std::vector<CNotificationBase*> handlers = TheLoop().closeHandlers;
    for (CNotificationBase* h : handlers) h->NotifyPasser(&data);
}

void RegisterCommand(const std::string& name, CommandHandler handler) { TheLoop().commands[name] = std::move(handler); }
void UnregisterCommand(const std::string& name) { TheLoop().commands.erase(name); }

void SetMessageSink(std::function<void(int, const std::string&)> sink) { TheLoop().messageSink = std::move(sink); }

void SetModuleFolder(const std::string& folder) { TheLoop().moduleFolder = folder; }
std::string ModuleFolder() { return TheLoop().moduleFolder; }

std::string ModuleFileName(const std::string& name) {
    std::string base = name;
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos) {
        std::string ext = base.substr(dot);
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (ext == ".dll") base.erase(dot);
    }
    return "lib" + base + ".so";
}

void ResetMessaging() {
    Loop& loop = TheLoop();
    while (!loop.queue.empty()) {
        AppMsg* msg = loop.queue.front();
        loop.queue.pop_front();
        delete msg;
    }
    loop.timers.clear();
    loop.commands.clear();
    loop.messageSink = nullptr;
}

} // namespace Host

// --- messages -------------------------------------------------------------------

AppMsg::~AppMsg() = default;

SequencedAppMsg::SequencedAppMsg() { Host::TheLoop().queue.push_back(this); }
SequencedAppMsg::SequencedAppMsg(const SequencedAppMsg& other) : AppMsg(other) { Host::TheLoop().queue.push_back(this); }
SequencedAppMsg::SequencedAppMsg(SequencedAppMsg&& other) noexcept : AppMsg(std::move(other)) {
    Host::TheLoop().queue.push_back(this);
}
SequencedAppMsg& SequencedAppMsg::operator=(const SequencedAppMsg& other) {
    AppMsg::operator=(other);
    return *this;
}
SequencedAppMsg& SequencedAppMsg::operator=(SequencedAppMsg&& other) noexcept {
    AppMsg::operator=(std::move(other));
    return *this;
}
SequencedAppMsg::~SequencedAppMsg() {
    auto& queue = Host::TheLoop().queue;
    queue.erase(std::remove(queue.begin(), queue.end(), this), queue.end());
}

CNotificationBase::~CNotificationBase() = default;

// --- commands and one-time messages -----------------------------------------------

void CArguments::PutBool(const std::string& name, bool value) { m_bools[name] = value; }
bool CArguments::GetBool(const std::string& name, bool fallback) const {
    auto it = m_bools.find(name);
    return it == m_bools.end() ? fallback : it->second;
}
bool CArguments::Has(const std::string& name) const { return m_bools.count(name) != 0; }

bool ExecuteCommand(const CCommandAndArgs& command) {
    auto& commands = Host::TheLoop().commands;
    auto it = commands.find(command.Command());
    if (it == commands.end()) return false;
    const Host::CommandHandler handler = it->second;  // a handler may re-register commands
    handler(command.Args());
    return true;
}

HINSTANCE GetMXWinInstance() {
    static int instance;
    return &instance;
}

int OneTimeMessage(HINSTANCE, int id, int, int, int) {
    const std::string key = "oneTimeMessageShown." + std::to_string(id);
    std::string shown;
    if (DBPreferences::GetCompanyDBPreference(key, shown).Succeeded() && shown == "1") return 0;
    const std::string text = Host::ShortMessageText(id);
    if (Host::TheLoop().messageSink) {
        Host::TheLoop().messageSink(id, text);
    } else {
        std::cout << text << std::endl;
    }
    // Not remembering it only means the message shows once more next time.
    if (DBPreferences::SetCompanyDBPreference(key, "1").Failed()) {
        Util::Ops::MessageFunctor(Util::GetOps(), 4, 5, __FILE__, __LINE__, __func__, __PRETTY_FUNCTION__)(
            "one-time message %d: could not record it as shown", id);
    }
    return 1;
}

// --- platform calls ---------------------------------------------------------------

UINT_PTR SetTimer(HWND, UINT_PTR id, UINT elapse, TIMERPROC callback) {
    if (Host::FaultFails("SetTimer")) return 0;
    Host::Loop& loop = Host::TheLoop();
    if (id == 0 || loop.timers.count(id) == 0) id = loop.nextTimerId++;
    const long seconds = static_cast<long>((static_cast<unsigned long long>(elapse) + 999) / 1000);
    loop.timers[id] = Host::Timer{Host::HostContext::Get().Now() + seconds, seconds, callback};
    return id;
}

int KillTimer(HWND, UINT_PTR id) { return Host::TheLoop().timers.erase(id) ? 1 : 0; }

HMODULE LoadLibraryA(const char* name) {
    if (!name || Host::FaultFails("LoadLibraryA")) return nullptr;
    const std::string path = Host::ModuleFolder() + "/" + Host::ModuleFileName(name);
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (!module || !name) return nullptr;
    void* symbol = ::dlsym(module, name);
    // Function and object pointers share a representation on this platform.
    FARPROC proc = nullptr;
    static_assert(sizeof proc == sizeof symbol, "function pointers must fit a data pointer");
    std::memcpy(&proc, &symbol, sizeof proc);
    return proc;
}

int FreeLibrary(HMODULE module) { return module && ::dlclose(module) == 0 ? 1 : 0; }
