#include <cstddef>
#include <functional>
#include <memory>
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
    bool DeleteReminderSet(TxnReminderStatusCode& status, unsigned long) override { return Answer(status); }
    bool DeleteRule(TxnReminderStatusCode& status, unsigned long) override { return Answer(status); }
    bool DeleteTargetGroup(TxnReminderStatusCode& status, FormViewType view, long) override {
        seenView = view;
        return Answer(status);
    }
    bool DeleteReminderRules(TxnReminderStatusCode& status, std::vector<unsigned long>& ids) override {
        MaybeThrow(std::runtime_error("store broke"));
        return StatementReminderDBHelper::DeleteReminderRules(status, ids);
    }
    bool AddReminderExecutionDetails(unsigned long, int, ReminderExecutionStatus) override {
        MaybeThrow(42);  // not even a standard exception
        return answer;
    }

    bool answer = true;
    int throwsLeft = 0;
    FormViewType seenView = FormViewType_None;

private:
    bool Answer(TxnReminderStatusCode& status) {
        MaybeThrow(std::runtime_error("store broke"));
        status = TxnReminderStatus_Success;
        return answer;
    }
    template <class E>
    void MaybeThrow(const E& e) {
        if (throwsLeft > 0) {
            --throwsLeft;
            throw e;
        }
    }
    int* m_released;
};

class EngineFrameTest : public testsupport::HostFixture {
protected:
    static ScriptedHelper* Give(TxnReminderEngine& engine, int* released = nullptr) {
        auto* helper = new ScriptedHelper(released);
        Access::Holder(engine).Reset(helper);
        return helper;
    }
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
};

// A helper lives as long as any engine that can reach it and is released
// once, after the last of them, whichever goes first. Copies made by passing
// an engine by value are the common case; a release while another engine
// still reaches the helper reads freed memory (seen under the sanitizer
// build).
TEST_F(EngineFrameTest, HelperLivesAsLongAsAnyEngineThatReachesIt) {
    struct Row {
        const char* name;
        // Makes engines from `a` (which holds the helper) and says which to
        // use after the others are gone.
        std::function<void(std::unique_ptr<TxnReminderEngine>& a, std::unique_ptr<TxnReminderEngine>& b)> share;
    };
    const auto byValue = [](TxnReminderEngine engine) { return engine; };
    const Row rows[] = {
        {"copy, then the copy goes first",
         [](auto& a, auto& b) {
             { TxnReminderEngine copy(*a); }
             b.reset();
         }},
        {"copy, then the source goes first",
         [](auto& a, auto& b) {
             b = std::make_unique<TxnReminderEngine>(*a);
             a.swap(b);
             b.reset();
         }},
        {"passed by value and back",
         [&byValue](auto& a, auto&) { TxnReminderEngine back = byValue(*a); (void)back; }},
        {"assigned over an engine with its own helper",
         [](auto& a, auto& b) {
             int otherReleased = 0;
             b = std::make_unique<TxnReminderEngine>(FormViewType_Statement);
             Give(*b, &otherReleased);
             *b = *a;
             EXPECT_EQ(otherReleased, 1);  // b's old helper, once
             b.reset();
         }},
        {"assigned to itself",
         [](auto& a, auto&) {
             TxnReminderEngine& alias = *a;
             *a = alias;
         }},
        {"copied twice, copies go in turn",
         [](auto& a, auto& b) {
             b = std::make_unique<TxnReminderEngine>(*a);
             { TxnReminderEngine second(*b); }
             b.reset();
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int released = 0;
        auto a = std::make_unique<TxnReminderEngine>(FormViewType_Statement);
        std::unique_ptr<TxnReminderEngine> b;
        ScriptedHelper* helper = Give(*a, &released);
        row.share(a, b);
        EXPECT_EQ(released, 0);
        EXPECT_EQ(Access::Helper(*a), helper);
        std::vector<unsigned long> ids{3};
        EXPECT_TRUE(a->DeleteReminderRules(status, ids));  // reaches the helper
        a.reset();
        EXPECT_EQ(released, 1);
    }
}

TEST_F(EngineFrameTest, AssignmentFromAnEngineWithoutHelperTakesItsView) {
    int released = 0;
    TxnReminderEngine engine(FormViewType_Statement);
    Give(engine, &released);
    engine = TxnReminderEngine(static_cast<FormViewType>(7));
    EXPECT_EQ(released, 1);
    EXPECT_EQ(Access::Helper(engine), nullptr);
    // The engine now serves view 7: the next operation finds no helper for it.
    EXPECT_FALSE(engine.DeleteReminderSet(status, 5));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::GetTxnReminderDbInstance:: Failed to retriev Reminder DB Manager instance"));
}

TEST_F(EngineFrameTest, UnsupportedViewFailsWithoutExitLineAndTriesAgain) {
    TxnReminderEngine engine(static_cast<FormViewType>(7));
    status = static_cast<TxnReminderStatusCode>(42);
    EXPECT_FALSE(engine.DeleteReminderSet(status, 5));
    EXPECT_EQ(status, 42);
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "TxnReminder::Entering TxnReminderEngine::DeleteReminderSet",
                              "TxnReminder::Entering TxnReminderEngine::Initialize",
                              "TxnReminder::GetTxnReminderDbInstance:: Failed to retriev Reminder DB Manager instance",
                              "TxnReminder:TxnReminderEngine::Initialize() - Failed to get TxnReminderDBHelper instance",
                          }));
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
    EXPECT_TRUE(LinesWith("Exiting").empty());
}

TEST_F(EngineFrameTest, FirstOperationObtainsOneHelperThatLaterOperationsReuse) {
    TxnReminderEngine engine(FormViewType_Statement);
    std::vector<unsigned long> ids{1, 2};
    EXPECT_TRUE(engine.DeleteReminderRules(status, ids));
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "TxnReminder::Entering TxnReminderEngine::DeleteReminderRules",
                              "TxnReminder::Entering TxnReminderEngine::Initialize",
                              "TxnReminder::Exiting TxnReminderEngine::Initialize",
                              "TxnReminder::Exiting TxnReminderEngine::DeleteReminderRules",
                          }));
    TxnReminderDBHelper* helper = Access::Helper(engine);
    ASSERT_NE(dynamic_cast<StatementReminderDBHelper*>(helper), nullptr);

    ClearLog();
    EXPECT_TRUE(engine.DeleteReminderRules(status, ids));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"TxnReminder::Entering TxnReminderEngine::DeleteReminderRules",
                                                    "TxnReminder::Exiting TxnReminderEngine::DeleteReminderRules"}));
    EXPECT_EQ(Access::Helper(engine), helper);
    EXPECT_EQ(status, TxnReminderStatus_Reset);  // the engine never writes the status itself
}

TEST_F(EngineFrameTest, RejectedArgumentsLogAndNeverReachStorage) {
    TxnReminderEngine engine(FormViewType_Invoice);
    status = static_cast<TxnReminderStatusCode>(42);
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
    ScriptedHelper* helper = Give(engine);
    EXPECT_TRUE(engine.DeleteReminderSet(status, 9));
    EXPECT_TRUE(engine.DeleteReminderRule(status, 4));
    EXPECT_TRUE(engine.DeleteTargetGroup(status, 2));
    EXPECT_EQ(helper->seenView, FormViewType_Statement);
    EXPECT_EQ(m_events, (std::vector<std::pair<int, std::string>>{
                            {242, "EventSource=InvoicePaymentReminders,EventId=ScheduleDeleted, ReminderType=101"},
                            {242, "EventSource=InvoicePaymentReminders,EventId=ReminderDeleted, ReminderType=101"},
                            {242, "EventSource=InvoicePaymentReminders,EventId=TargetGroupDeleted"},
                        }));
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
    for (const char* op : {"GetUserDetails", "PurgeOldReminderExecutionHistory", "AddStatementReminderExecutionStatus"})
        EXPECT_TRUE(LinesWith(std::string("Exiting TxnReminderEngine::") + op).empty()) << op;
}

TEST_F(EngineFrameTest, ExceptionInStorageGivesFalseAndTheEngineStaysUsable) {
    TxnReminderEngine engine(FormViewType_Statement);
    ScriptedHelper* helper = Give(engine);
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
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::UpdateStatementReminderExecutionStatus"));
    EXPECT_TRUE(engine.AddStatementReminderExecutionStatus(3, 4, ReminderExecutionStatus_Sent));
}

TEST_F(EngineFrameTest, FailingTelemetryAfterStorageIsCaughtByTheOperation) {
    Host::UnregisterDefaultTracker();
    TxnReminderEngine engine(FormViewType_Statement);
    Give(engine);
    EXPECT_FALSE(engine.DeleteReminderSet(status, 9));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::DeleteReminderSet"));
    Host::RegisterDefaultTracker();
    EXPECT_TRUE(engine.DeleteReminderSet(status, 9));
    EXPECT_EQ(m_events.size(), 1u);
}

TEST_F(EngineFrameTest, ThrowingTransactionFactoryIsReportedAndRetried) {
    Ctx().ArmFault("DBManager.CreateTransaction", Host::FaultKind::Throw);
    TxnReminderEngine engine(FormViewType_Statement);
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
