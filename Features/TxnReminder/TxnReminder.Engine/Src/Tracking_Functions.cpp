#include "Tracking_Functions.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/WinApi.h"
#include "TxnReminderUtil.h"

namespace {
// The factory key and module name are wide literals converted to the ANSI
// code page; a failed conversion gives an empty text (and so no factory).
std::string ToAnsi(const wchar_t* wide) {
    const int needed = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::vector<char> buffer(static_cast<std::size_t>(needed));
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer.data(), needed, nullptr, nullptr) <= 0) return std::string();
    return std::string(buffer.data());
}
} // namespace

Tracking_Functions::Tracking_Functions()
    : m_proxy(ToAnsi(L"Tracking_Functions::CTOR()::80be2cd9-2de3-42ad-ac54-cc6b9970df17"), ToAnsi(L"TRACKING.dll"),
              std::make_unique<Util::ArgumentPacket0P>(), "Tracking_FunctionsInterface") {}

Tracking_Functions::~Tracking_Functions() = default;

bool Tracking_Functions::Initialize() { return m_proxy.Instance()->Initialize(); }
void Tracking_Functions::Shutdown() { m_proxy.Instance()->Shutdown(); }
void Tracking_Functions::SetUserId(const char* id) { m_proxy.Instance()->SetUserId(id); }
void Tracking_Functions::SetCompanyId(const char* id) { m_proxy.Instance()->SetCompanyId(id); }
void Tracking_Functions::Flush() { m_proxy.Instance()->Flush(); }
const char* Tracking_Functions::GetSessionId() { return m_proxy.Instance()->GetSessionId(); }
IEventTracker* Tracking_Functions::GetEventTracker() { return m_proxy.Instance()->GetEventTracker(); }
void* Tracking_Functions::GetPerformanceTracker() { return m_proxy.Instance()->GetPerformanceTracker(); }
bool Tracking_Functions::IsEnabled() { return m_proxy.Instance()->IsEnabled(); }

Tracking_Functions& Tracking_Functions::Instance() {
    static std::mutex guard;
    static std::unique_ptr<Tracking_Functions> proxy;
    static unsigned takenAt = 0;
    const std::lock_guard<std::mutex> lock(guard);
    const unsigned generation = TxnReminderUtil::ProcessCacheGeneration();
    if (!proxy || takenAt != generation) {
        proxy.reset(new Tracking_Functions());
        takenAt = generation;
    }
    return *proxy;
}
