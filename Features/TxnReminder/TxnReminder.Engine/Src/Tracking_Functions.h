#pragma once

#include "Tracking/Tracking_FunctionsInterface.h"
#include "TxnReminderDefines.h"
#include "Util/Factory.h"

// The engine's proxy for the host tracking service: every operation forwards
// to an object that the host's registered factory creates on first use.
class Tracking_Functions : public Tracking_FunctionsInterface {
public:
    Tracking_Functions();
    ~Tracking_Functions() override;

    bool Initialize() override;
    void Shutdown() override;
    void SetUserId(const char* id) override;
    void SetCompanyId(const char* id) override;
    void Flush() override;
    const char* GetSessionId() override;
    IEventTracker* GetEventTracker() override;
    void* GetPerformanceTracker() override;
    bool IsEnabled() override;

    // The process-wide proxy, built on first use.
    static Tracking_Functions& Instance();

private:
    Util::BasicProxyWithDeferredFactory<Tracking_FunctionsInterface, Util::BasicDeferredFactory> m_proxy;
};
