#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostFixture.h"
#include "Host/DefaultTracker.h"
#include "StatementReminderDBHelper.h"
#include "TxnReminderEngine.h"
#include "TxnReminderEngineTestAccess.h"

namespace {

using Access = TxnReminderEngineTestAccess;

const char* const kEngineFile = "Features\\TxnReminder\\TxnReminder.Engine\\Src\\TxnReminderEngine";

// A statement helper whose answers a test sets: it counts its own release,
// records what the engine passed on and can throw from a storage operation.
class ScriptedHelper : public StatementReminderDBHelper {
public:
    explicit ScriptedHelper(int* released = nullptr) : m_released(released) {}
    ~ScriptedHelper() override {
        if (m_released) ++*m_released;
    }

    bool DeleteReminderSet(TxnReminderStatusCode& status, unsigned long) override {
        MaybeThrow();
        status = TxnReminderStatus_Success;
        return answer;
    }
    bool DeleteRule(TxnReminderStatusCode& status, unsigned long) override {
        MaybeThrow();
        status = TxnReminderStatus_Success;
        return answer;
    }
    bool DeleteTargetGroup(TxnReminderStatusCode& status, FormViewType view, long) override {
        MaybeThrow();
        seenView = view;
        status = TxnReminderStatus_Success;
        return answer;
    }
    bool DeleteReminderRules(TxnReminderStatusCode& status, std::vector<unsigned long>& ids) override {
        MaybeThrow();
        return StatementReminderDBHelper::DeleteReminderRules(status, ids);
    }
    bool AddReminderExecutionDetails(unsigned long, int, ReminderExecutionStatus) override {
        if (throwsLeft > 0) {
            --throwsLeft;
            throw 42;  // not even a standard exception
        }
        return answer;
    }

    bool answer = true;
    int throwsLeft = 0;
    FormViewType seenView = FormViewType_None;

private:
    void MaybeThrow() {
        if (throwsLeft > 0) {
            --throwsLeft;
            throw std::runtime_error("store broke");
        }
    }
    int* m_released;
};

class EngineFrameTest : public testsupport::HostFixture {};

TEST_F(EngineFrameTest, ConstructionAndDestructionTouchNothing) {
    Ctx().ClearFaults();
    {
        TxnReminderEngine invoice(FormViewType_Invoice);
        TxnReminderEngine statement(FormViewType_Statement);
        EXPECT_EQ(Access::Helper(invoice), nullptr);
        EXPECT_EQ(Access::Helper(statement), nullptr);
    }
    EXPECT_TRUE(m_log.empty());
    EXPECT_EQ(Ctx().FaultPointHits(), 0);  // no transaction was asked for
}

TEST_F(EngineFrameTest, CopyTransfersOwnershipAndOnlyTheOwnerReleases) {
    int released = 0;
    auto* source = new TxnReminderEngine(FormViewType_Statement);
    auto* helper = new ScriptedHelper(&released);
    Access::Holder(*source).Reset(helper);
    {
        TxnReminderEngine copy(*source);
        EXPECT_EQ(Access::Helper(copy), helper);
        EXPECT_EQ(Access::Helper(*source), helper);
        EXPECT_TRUE(Access::Owns(copy));
        EXPECT_FALSE(Access::Owns(*source));

        delete source;  // the source no longer owns the helper
        EXPECT_EQ(released, 0);

        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<unsigned long> ids{3};
        EXPECT_TRUE(copy.DeleteReminderRules(status, ids));
        EXPECT_EQ(Access::Helper(copy), helper);
    }
    EXPECT_EQ(released, 1);
}

TEST_F(EngineFrameTest, SelfAssignmentChangesNothing) {
    int released = 0;
    {
        TxnReminderEngine engine(FormViewType_Statement);
        auto* helper = new ScriptedHelper(&released);
        Access::Holder(engine).Reset(helper);
        TxnReminderEngine& alias = engine;
        engine = alias;
        EXPECT_EQ(released, 0);
        EXPECT_EQ(Access::Helper(engine), helper);
        EXPECT_TRUE(Access::Owns(engine));
    }
    EXPECT_EQ(released, 1);
}

TEST_F(EngineFrameTest, AssignmentReleasesTheOldHelperExactlyOnce) {
    int releasedA = 0;
    int releasedB = 0;
    {
        TxnReminderEngine a(FormViewType_Statement);
        auto* helperB = new ScriptedHelper(&releasedB);
        Access::Holder(a).Reset(new ScriptedHelper(&releasedA));
        {
            TxnReminderEngine b(FormViewType_Statement);
            Access::Holder(b).Reset(helperB);
            a = b;
            EXPECT_EQ(releasedA, 1);
            EXPECT_EQ(releasedB, 0);
            EXPECT_EQ(Access::Helper(a), helperB);
            EXPECT_TRUE(Access::Owns(a));
            EXPECT_FALSE(Access::Owns(b));
        }
        EXPECT_EQ(releasedB, 0);  // b went without releasing what a owns now
    }
    EXPECT_EQ(releasedA, 1);
    EXPECT_EQ(releasedB, 1);
}

TEST_F(EngineFrameTest, AssignmentFromAnEngineWithoutHelperTakesItsView) {
    int released = 0;
    TxnReminderEngine engine(FormViewType_Statement);
    Access::Holder(engine).Reset(new ScriptedHelper(&released));
    TxnReminderEngine unsupported(static_cast<FormViewType>(7));

    engine = unsupported;
    EXPECT_EQ(released, 1);
    EXPECT_EQ(Access::Helper(engine), nullptr);

    // The engine now serves view 7: the next operation finds no helper for it.
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    EXPECT_FALSE(engine.DeleteReminderSet(status, 5));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::GetTxnReminderDbInstance:: Failed to retriev Reminder DB Manager instance"));
}

TEST_F(EngineFrameTest, UnsupportedViewFailsWithoutExitLineAndTriesAgain) {
    TxnReminderEngine engine(static_cast<FormViewType>(7));
    auto status = static_cast<TxnReminderStatusCode>(42);

    EXPECT_FALSE(engine.DeleteReminderSet(status, 5));
    EXPECT_EQ(status, 42);
    const std::vector<std::string> expected{
        "TxnReminder::Entering TxnReminderEngine::DeleteReminderSet",
        "TxnReminder::Entering TxnReminderEngine::Initialize",
        "TxnReminder::GetTxnReminderDbInstance:: Failed to retriev Reminder DB Manager instance",
        "TxnReminder:TxnReminderEngine::Initialize() - Failed to get TxnReminderDBHelper instance",
    };
    EXPECT_EQ(Messages(), expected);
    ASSERT_EQ(m_log.size(), 4u);
    EXPECT_EQ(m_log[0].level, 1);
    EXPECT_EQ(m_log[0].eventType, 5);
    EXPECT_EQ(m_log[0].file, kEngineFile);
    EXPECT_EQ(m_log[0].function, "TxnReminderEngine::DeleteReminderSet");
    EXPECT_NE(m_log[0].signature.find("TxnReminderEngine::DeleteReminderSet(TxnReminderStatusCode&"), std::string::npos);
    EXPECT_EQ(m_log[2].level, 4);
    EXPECT_EQ(m_log[3].level, 4);
    EXPECT_EQ(m_log[3].eventType, 5);

    // A failed Initialize leaves no helper behind: the next call asks again.
    ClearLog();
    EXPECT_FALSE(engine.PurgeOldReminderExecutionHistory());
    EXPECT_EQ(CountLines("TxnReminder:TxnReminderEngine::Initialize() - Failed to get TxnReminderDBHelper instance"), 1);
    EXPECT_EQ(engine.MigrateOldTargetGroupAndUserTableToNewDLPTables(), Util::Status::GetFailed());
    for (const auto& line : m_log) EXPECT_EQ(line.message.find("Exiting"), std::string::npos) << line.message;
}

TEST_F(EngineFrameTest, FirstOperationObtainsOneHelperThatLaterOperationsReuse) {
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<unsigned long> ids{1, 2};

    EXPECT_TRUE(engine.DeleteReminderRules(status, ids));
    const std::vector<std::string> first{
        "TxnReminder::Entering TxnReminderEngine::DeleteReminderRules",
        "TxnReminder::Entering TxnReminderEngine::Initialize",
        "TxnReminder::Exiting TxnReminderEngine::Initialize",
        "TxnReminder::Exiting TxnReminderEngine::DeleteReminderRules",
    };
    EXPECT_EQ(Messages(), first);
    TxnReminderDBHelper* helper = Access::Helper(engine);
    ASSERT_NE(dynamic_cast<StatementReminderDBHelper*>(helper), nullptr);

    ClearLog();
    EXPECT_TRUE(engine.DeleteReminderRules(status, ids));
    const std::vector<std::string> second{
        "TxnReminder::Entering TxnReminderEngine::DeleteReminderRules",
        "TxnReminder::Exiting TxnReminderEngine::DeleteReminderRules",
    };
    EXPECT_EQ(Messages(), second);
    EXPECT_EQ(Access::Helper(engine), helper);
    EXPECT_EQ(status, TxnReminderStatus_Reset);  // the engine never writes the status itself
}

TEST_F(EngineFrameTest, RejectedArgumentsLogAndNeverReachStorage) {
    TxnReminderEngine engine(FormViewType_Invoice);
    auto status = static_cast<TxnReminderStatusCode>(42);

    EXPECT_FALSE(engine.DeleteReminderRule(status, 0));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine::DeleteReminderRule Unexpected ruleId found, ruleId = 0"));
    EXPECT_FALSE(engine.DeleteReminderSet(status, 0));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine::DeleteReminderSet ruleSetId is invalid"));
    EXPECT_FALSE(engine.DeleteTargetGroup(status, -5));
    EXPECT_FALSE(engine.DeleteTargetGroup(status, 0));
    EXPECT_EQ(CountLines("TxnReminder::DeleteTargetGroup Invalid target group id"), 2);
    // The template is never looked at on this path.
    alignas(std::max_align_t) unsigned char storage[16] = {};
    EXPECT_FALSE(engine.GetReminderRuleTemplate(*reinterpret_cast<TxnReminderRuleTemplate*>(storage), -1));
    EXPECT_TRUE(HasLine(
        4, 5, "TxnReminder:TxnReminderEngine::GetReminderRuleTemplate() - Failed due to invalid rule template id"));

    std::vector<unsigned long> none;
    EXPECT_TRUE(engine.DeleteReminderRules(status, none));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: No rules to delete"));

    EXPECT_EQ(status, 42);
    EXPECT_EQ(Access::Helper(engine), nullptr);
    EXPECT_TRUE(LinesWith("Exiting").empty());
    EXPECT_TRUE(LinesWith("Initialize").empty());
}

TEST_F(EngineFrameTest, StorageAnswersDecideResultTelemetryAndExitLine) {
    TxnReminderEngine engine(FormViewType_Statement);
    auto* helper = new ScriptedHelper();
    Access::Holder(engine).Reset(helper);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    EXPECT_TRUE(engine.DeleteReminderSet(status, 9));
    EXPECT_TRUE(engine.DeleteReminderRule(status, 4));
    EXPECT_TRUE(engine.DeleteTargetGroup(status, 2));
    EXPECT_EQ(helper->seenView, FormViewType_Statement);
    const std::vector<std::pair<int, std::string>> events{
        {242, "EventSource=InvoicePaymentReminders,EventId=ScheduleDeleted, ReminderType=101"},
        {242, "EventSource=InvoicePaymentReminders,EventId=ReminderDeleted, ReminderType=101"},
        {242, "EventSource=InvoicePaymentReminders,EventId=TargetGroupDeleted"},
    };
    EXPECT_EQ(m_events, events);
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::DeleteReminderSet"));
    // Deleting a target group asks for the helper even when it has one.
    EXPECT_EQ(CountLines("TxnReminder::Entering TxnReminderEngine::Initialize"), 1);
    EXPECT_EQ(Access::Helper(engine), helper);

    ClearLog();
    m_events.clear();
    helper->answer = false;
    EXPECT_FALSE(engine.DeleteReminderSet(status, 9));
    EXPECT_EQ(status, TxnReminderStatus_Success);  // as the storage left it
    EXPECT_TRUE(m_events.empty());
    EXPECT_TRUE(LinesWith("Exiting").empty());
}

TEST_F(EngineFrameTest, ViewDefaultsAnswerFalseWithoutExitLine) {
    TxnReminderEngine statement(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    boost::property_tree::ptree tree;
    tree.put("customers.name", "stale");

    EXPECT_FALSE(statement.GetUserDetails(status, tree));
    EXPECT_TRUE(tree.empty());
    EXPECT_FALSE(statement.PurgeOldReminderExecutionHistory());

    TxnReminderEngine invoice(FormViewType_Invoice);
    EXPECT_FALSE(invoice.AddStatementReminderExecutionStatus(1, 2, ReminderExecutionStatus_Sent));
    EXPECT_FALSE(invoice.DeleteStatementReminderExecutionDetails(1));
    EXPECT_FALSE(invoice.DeleteStatementReminderExecutionDetails(1, 2));

    EXPECT_EQ(status, TxnReminderStatus_Reset);
    EXPECT_TRUE(LinesWith("Exiting TxnReminderEngine::GetUserDetails").empty());
    EXPECT_TRUE(LinesWith("Exiting TxnReminderEngine::PurgeOldReminderExecutionHistory").empty());
    EXPECT_TRUE(LinesWith("Exiting TxnReminderEngine::AddStatementReminderExecutionStatus").empty());
}

TEST_F(EngineFrameTest, ExceptionInStorageGivesFalseAndTheEngineStaysUsable) {
    TxnReminderEngine engine(FormViewType_Statement);
    auto* helper = new ScriptedHelper();
    Access::Holder(engine).Reset(helper);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<unsigned long> ids{8};

    helper->throwsLeft = 1;
    EXPECT_FALSE(engine.DeleteReminderRules(status, ids));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::DeleteReminderRules"));
    EXPECT_EQ(status, TxnReminderStatus_Reset);
    EXPECT_TRUE(LinesWith("Exiting").empty());

    ClearLog();
    EXPECT_TRUE(engine.DeleteReminderRules(status, ids));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::DeleteReminderRules"));

    // Anything thrown is caught, under the operation's own wording.
    helper->throwsLeft = 1;
    EXPECT_FALSE(engine.AddStatementReminderExecutionStatus(3, 4, ReminderExecutionStatus_Sent));
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::UpdateStatementReminderExecutionStatus"));
    EXPECT_TRUE(engine.AddStatementReminderExecutionStatus(3, 4, ReminderExecutionStatus_Sent));
}

TEST_F(EngineFrameTest, FailingTelemetryAfterStorageIsCaughtByTheOperation) {
    Host::UnregisterDefaultTracker();
    TxnReminderEngine engine(FormViewType_Statement);
    Access::Holder(engine).Reset(new ScriptedHelper());
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    EXPECT_FALSE(engine.DeleteReminderSet(status, 9));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::DeleteReminderSet"));

    Host::RegisterDefaultTracker();
    EXPECT_TRUE(engine.DeleteReminderSet(status, 9));
    EXPECT_EQ(m_events.size(), 1u);
}

TEST_F(EngineFrameTest, ThrowingTransactionFactoryIsReportedAndRetried) {
    Ctx().ArmFault("DBManager.CreateTransaction", Host::FaultKind::Throw);
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<unsigned long> ids{1};

    EXPECT_FALSE(engine.DeleteReminderRules(status, ids));
    EXPECT_TRUE(HasLine(4, 5,
                        "TxnReminder: Unable to get TxnReminder DB instance : injected fault at "
                        "DBManager.CreateTransaction"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderEngine::Initialize() - Failed to get TxnReminderDBHelper instance"));

    EXPECT_TRUE(engine.DeleteReminderRules(status, ids));
    EXPECT_NE(Access::Helper(engine), nullptr);
}

} // namespace
