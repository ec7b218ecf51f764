#include "Host/MessageLoop.h"
#include "HostFixture.h"
#include "Messaging/AppMsg.h"
#include "Messaging/Notify.h"
#include "Platform/WinApi.h"

using testsupport::Date;
using testsupport::HostFixture;

namespace {
std::vector<std::string>* g_trace = nullptr;

struct RecordingMsg : SequencedAppMsg {
    explicit RecordingMsg(std::string name, bool chain = false) : m_name(std::move(name)), m_chain(chain) {}
    void ProcessMsg() override {
        g_trace->push_back(m_name);
        if (m_chain) new RecordingMsg(m_name + "+");
    }
    std::string m_name;
    bool m_chain;
};

void OnTimer(HWND, UINT, UINT_PTR id, DWORD) {
    g_trace->push_back("timer@" + std::to_string(GetMXSystemTime() % 86400));
    KillTimer(nullptr, id);
}

struct CloseCounter : CNotify<CNotifyDataCloseSystem> {
    void Notify(const CNotifyDataCloseSystem&) override { ++count; }
    int count = 0;
};
} // namespace

class MessageLoopTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        g_trace = &m_trace;
    }
    void TearDown() override {
        HostFixture::TearDown();
        g_trace = nullptr;
    }
    std::vector<std::string> m_trace;
};

TEST_F(MessageLoopTest, MessagesRunInOrderIncludingOnesTheyQueue) {
    new RecordingMsg("a", true);
    new RecordingMsg("b");
    EXPECT_EQ(Host::PendingMessageCount(), 2);
    EXPECT_EQ(Host::ProcessPendingMessages(), 3);
    EXPECT_EQ(m_trace, (std::vector<std::string>{"a", "b", "a+"}));
    // A message destroyed before the loop reached it leaves the queue.
    delete new RecordingMsg("gone");
    EXPECT_EQ(Host::PendingMessageCount(), 0);
}

TEST_F(MessageLoopTest, SimulatedClockFiresTimersAtTheirDueMomentOnce) {
    Ctx().FixClock(Date(2026, 3, 10), 8, 0, 0);
    const UINT_PTR id = SetTimer(nullptr, 0, 3600 * 1000, &OnTimer);
    ASSERT_NE(id, 0u);
    Host::AdvanceAndRun(1800);
    EXPECT_TRUE(m_trace.empty());
    Host::AdvanceAndRun(7200);
    EXPECT_EQ(m_trace, (std::vector<std::string>{"timer@" + std::to_string(9 * 3600)}));
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
    EXPECT_EQ(GetMXSystemTime() % 86400, 10 * 3600 + 1800);
    EXPECT_EQ(KillTimer(nullptr, id), 0);
}

TEST_F(MessageLoopTest, CloseNotificationReachesRegisteredHandlersOnly) {
    CloseCounter a;
    {
        CloseCounter b;
        Host::NotifyCloseSystem();
        EXPECT_EQ(b.count, 1);
    }
    Host::NotifyCloseSystem();
    EXPECT_EQ(a.count, 2);
}

TEST_F(MessageLoopTest, CommandsAndOneTimeMessages) {
    bool preview = true;
    Host::RegisterCommand("mxw:send_txnreminders", [&](const CArguments& a) { preview = !a.GetBool("sendWithoutPreview"); });
    CArguments args;
    args.PutBool("sendWithoutPreview", true);
    EXPECT_TRUE(ExecuteCommand(CCommandAndArgs("mxw:send_txnreminders", args)));
    EXPECT_FALSE(preview);
    EXPECT_FALSE(ExecuteCommand(CCommandAndArgs("no:such", args)));

    std::vector<int> shown;
    Host::SetMessageSink([&](int id, const std::string&) { shown.push_back(id); });
    EXPECT_EQ(OneTimeMessage(GetMXWinInstance(), 2641, 0, 0, 0), 1);
    ReopenFile();
    EXPECT_EQ(OneTimeMessage(GetMXWinInstance(), 2641, 0, 0, 0), 0);  // once per company file
    EXPECT_EQ(shown, std::vector<int>{2641});
}
