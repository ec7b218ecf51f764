#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

#include "Host/DefaultTracker.h"
#include "HostFixture.h"
#include "Tracking/Tracking_FunctionsInterface.h"
#include "TxnReminderUtil.h"
#include "Util/Factory.h"

namespace {

using testsupport::QueryText;

std::string SendAndCatch(const std::string& text) {
    try {
        SendTelemetryEvent(242, text);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// A tracking service that has no event tracker to give.
class TrackerlessTracking final : public Tracking_FunctionsInterface {
public:
    bool Initialize() override { return true; }
    void Shutdown() override {}
    void SetUserId(const char*) override {}
    void SetCompanyId(const char*) override {}
    void Flush() override {}
    const char* GetSessionId() override { return ""; }
    IEventTracker* GetEventTracker() override { return nullptr; }
    void* GetPerformanceTracker() override { return nullptr; }
    bool IsEnabled() override { return false; }
};

class ScriptedFactory final : public Util::BasicDeferredFactory {
public:
    explicit ScriptedFactory(bool giveService) : m_giveService(giveService) {}
    void* Create(const Util::ArgumentPacket&) override {
        if (!m_giveService) return nullptr;
        Tracking_FunctionsInterface* created = new TrackerlessTracking();
        return created;
    }

private:
    bool m_giveService;
};

void RegisterScripted(bool giveService) {
    Util::FactoryRegistrar::Register(Host::kTrackingFactoryKey, Host::kTrackingModule,
                                     std::make_shared<ScriptedFactory>(giveService));
}

class TelemetryTest : public testsupport::HostFixture {};

TEST_F(TelemetryTest, WithoutFactoryEverySendFailsUntilOneIsRegistered) {
    Host::UnregisterDefaultTracker();
    EXPECT_EQ(SendAndCatch("first"), "Tracking_FunctionsInterface -- Internal Factory Error");
    EXPECT_EQ(SendAndCatch("second"), "Tracking_FunctionsInterface -- Internal Factory Error");
    EXPECT_TRUE(m_events.empty());

    Host::RegisterDefaultTracker();
    const std::string text = "EventSource=InvoicePaymentReminders,EventId=ScheduleCreated";
    EXPECT_EQ(SendAndCatch(text), "");
    ASSERT_EQ(m_events.size(), 1u);
    EXPECT_EQ(m_events[0].first, 242);
    EXPECT_EQ(m_events[0].second, text);
    EXPECT_EQ(QueryText("SELECT text FROM telemetry WHERE kind = 242"), text);

    // Once created, the service stays in use.
    Host::UnregisterDefaultTracker();
    EXPECT_EQ(SendAndCatch("third"), "");
    EXPECT_EQ(m_events.size(), 2u);
}

TEST_F(TelemetryTest, FactoryWithoutServiceFailsAndServiceWithoutTrackerDropsEvents) {
    RegisterScripted(false);
    EXPECT_EQ(SendAndCatch("lost"), "Tracking_FunctionsInterface -- Invalid output from client Factory method");

    RegisterScripted(true);
    EXPECT_EQ(SendAndCatch("dropped"), "");
    EXPECT_TRUE(m_events.empty());
}

TEST_F(TelemetryTest, TraceLineGivesFileFunctionAndSecondsWithSixDecimals) {
    const auto start = TxnReminderUtil::StartTracing() - std::chrono::milliseconds(1500);
    char file[] = "Features\\TxnReminder\\TxnReminder.Engine\\Src\\TxnReminderEngine";
    char function[] = "TxnReminderEngine::PrepareReminderListToSend";
    TxnReminderUtil::EndTracing(start, file, function);

    ASSERT_EQ(m_log.size(), 1u);
    EXPECT_EQ(m_log[0].level, 0);
    EXPECT_EQ(m_log[0].eventType, 6);
    std::smatch match;
    const std::regex form(
        R"(^Features\\TxnReminder\\TxnReminder\.Engine\\Src\\TxnReminderEngine - )"
        R"(TxnReminderEngine::PrepareReminderListToSend execution time=(\d+\.\d{6})$)");
    ASSERT_TRUE(std::regex_match(m_log[0].message, match, form)) << m_log[0].message;
    const double seconds = std::stod(match[1].str());
    EXPECT_GE(seconds, 1.5);
    EXPECT_LT(seconds, 30.0);
}

} // namespace
