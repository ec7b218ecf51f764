#include "Host/DefaultTracker.h"

#include <string>

#include "Host/HostContext.h"
#include "Tracking/Tracking_FunctionsInterface.h"
#include "Util/Factory.h"

IEventTracker::~IEventTracker() = default;
Tracking_FunctionsInterface::~Tracking_FunctionsInterface() = default;

namespace Host {

namespace {
class StoringEventTracker final : public IEventTracker {
public:
    void StartSession() override {}
    void EndSession() override {}
    void TrackPage(const char*) override {}
    void TrackError(const char* text) override { HostContext::Get().Track(0, text ? text : ""); }
    void TrackTiming(const char*, double) override {}
    void SetProperty(const char*, const char*) override {}
    void Flush() override {}
    void TrackEvent(std::int32_t kind, const char* text, int) override {
        HostContext::Get().Track(kind, text ? text : "");
    }
};

class HostTracking final : public Tracking_FunctionsInterface {
public:
    bool Initialize() override { return true; }
    void Shutdown() override {}
    void SetUserId(const char*) override {}
    void SetCompanyId(const char*) override {}
    void Flush() override {}
    const char* GetSessionId() override { return ""; }
    IEventTracker* GetEventTracker() override { return &m_tracker; }
    void* GetPerformanceTracker() override { return nullptr; }
    bool IsEnabled() override { return true; }

private:
    StoringEventTracker m_tracker;
};

class HostTrackingFactory final : public Util::BasicDeferredFactory {
public:
    void* Create(const Util::ArgumentPacket&) override {
        // The proxy holds the result as the interface; hand it over as that.
        Tracking_FunctionsInterface* created = new HostTracking();
        return created;
    }
};
} // namespace

void RegisterDefaultTracker() {
    Util::FactoryRegistrar::Register(kTrackingFactoryKey, kTrackingModule, std::make_shared<HostTrackingFactory>());
}

void UnregisterDefaultTracker() { Util::FactoryRegistrar::Unregister(kTrackingFactoryKey, kTrackingModule); }

} // namespace Host
