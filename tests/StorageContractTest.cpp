#include <new>
#include <string>
#include <utility>
#include <vector>

#include "CompanyFile.h"
#include "DB/DBManager.h"
#include "HostFixture.h"
#include "InvoiceReminderDBHelper.h"
#include "Sql.h"
#include "StatementReminderDBHelper.h"

#define TXNR_SOURCE_FILE "tests\\StorageContractTest"

namespace {

using testsupport::QueryInt;

// A storage operation written the way every writing operation is: it stores
// one company preference per key in one unit of work, and can be told to have
// the write at failAt fail.
class ProbeHelper : public InvoiceReminderDBHelper {
public:
    bool WriteUnit(TxnReminderStatusCode& status, const std::vector<std::string>& keys, int failAt = -1) {
        status = TxnReminderStatus_Reset;
        if (!HasTransaction(TXNR_SITE, "TxnReminder:ProbeHelper::WriteUnit - failed to get DMTransaction ", &status,
                            TxnReminderStatus_NoTransaction))
            return false;
        for (int i = 0; i < static_cast<int>(keys.size()); ++i) {
            const Util::Status written = i == failAt ? Util::Status::GetFailed() : Insert(keys[static_cast<std::size_t>(i)]);
            if (!CheckWrite(TXNR_SITE, written,
                            {"TxnReminder:ProbeHelper::WriteUnit - failed to write",
                             "TxnReminder:ProbeHelper::WriteUnit Rollback api returned false", &status,
                             TxnReminderStatus_SaveFailed}))
                return false;
        }
        return CommitUnit(TXNR_SITE, &status, TxnReminderStatus_SaveFailed);
    }

    bool HasHandle() const { return GetTransaction() != nullptr; }
    bool WriteWithoutCommit(const std::string& key) { return Insert(key).Succeeded(); }

private:
    Util::Status Insert(const std::string& key) {
        GetTransaction()->BeginWrite();
        Host::Stmt(Host::HostContext::Get().File()->Db(), "INSERT INTO company_prefs(key, value) VALUES(?1, 'x')")
            .Bind(1, key)
            .Run();
        return Util::Status::GetSucceeded();
    }
};

// An empty vector of owning pointers to a class the library only declares so
// far. Destroying it would need the full class; being empty it owns nothing,
// so it is built in place and never destroyed.
template <class Vector>
class EmptyVector {
public:
    EmptyVector() : m_vector(new (m_raw) Vector()) {}
    Vector& Get() { return *m_vector; }

private:
    alignas(Vector) unsigned char m_raw[sizeof(Vector)];
    Vector* m_vector;
};

long long Stored(const std::string& key) {
    return QueryInt("SELECT COUNT(*) FROM company_prefs WHERE key = '" + key + "'");
}

class StorageContractTest : public testsupport::HostFixture {};

TEST_F(StorageContractTest, StatementDefaultsAnswerWithoutAStore) {
    Ctx().CloseCompanyFile();
    StatementReminderDBHelper helper;  // no file: no transaction either
    auto status = static_cast<TxnReminderStatusCode>(42);
    std::vector<unsigned long> ids{1, 2};

    EXPECT_TRUE(helper.DeleteReminderRules(status, ids));
    EXPECT_TRUE(helper.CreateRuleTemplateType(15));
    EmptyVector<std::vector<std::unique_ptr<TxnReminderTransactionContainer>>> txns;
    EXPECT_FALSE(helper.GetTxnDetailsFromDB(txns.Get()));
    EXPECT_FALSE(helper.PurgeReminderExecutionHistory());

    boost::property_tree::ptree tree;
    tree.put("customers.name", "stale");
    tree.put("count", 3);
    EXPECT_FALSE(helper.GetUserDetails(status, tree));
    EXPECT_TRUE(tree.empty());

    EXPECT_EQ(status, 42);
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_TRUE(m_log.empty());
}

TEST_F(StorageContractTest, InCIndexFollowsTheFileManagerState) {
    ProbeHelper helper;
    EXPECT_FALSE(helper.InCIndex());
    Ctx().SetFileManagerState(1);
    EXPECT_TRUE(helper.InCIndex());
    Ctx().SetFileManagerState(2);
    EXPECT_FALSE(helper.InCIndex());

    Ctx().CloseCompanyFile();
    EXPECT_FALSE(helper.InCIndex());
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::InCIndex::IDBFileMgr is not retrieved properly"));
}

TEST_F(StorageContractTest, FailedWriteRollsBackTheWholeUnit) {
    ProbeHelper helper;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    EXPECT_FALSE(helper.WriteUnit(status, {"a", "b", "c"}, 2));
    EXPECT_EQ(status, TxnReminderStatus_SaveFailed);
    EXPECT_EQ(Messages(), std::vector<std::string>{"TxnReminder:ProbeHelper::WriteUnit - failed to write"});
    ASSERT_EQ(m_log.size(), 1u);
    EXPECT_EQ(m_log[0].level, 4);
    EXPECT_EQ(m_log[0].eventType, 5);
    EXPECT_EQ(m_log[0].function, "ProbeHelper::WriteUnit");
    EXPECT_EQ(m_log[0].file, "tests\\StorageContractTest");

    // The same transaction serves the next unit, and a committed unit survives reopening.
    ASSERT_TRUE(helper.WriteUnit(status, {"d", "e"}));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    ReopenFile();
    EXPECT_EQ(Stored("a") + Stored("b"), 0);
    EXPECT_EQ(Stored("d") + Stored("e"), 2);
}

TEST_F(StorageContractTest, NoTransactionFailedRollbackOrFailedCommitIsNotReportedAsSuccess) {
    const struct {
        const char* fault;
        Host::FaultKind kind;
        int failAt;
        TxnReminderStatusCode status;
        std::vector<std::string> messages;  // every line logged, in order
    } cases[] = {
        {"DBManager.CreateTransaction", Host::FaultKind::Fail, -1, TxnReminderStatus_NoTransaction,
         {"TxnReminder:ProbeHelper::WriteUnit - failed to get DMTransaction "}},
        {"DMTransaction.Rollback", Host::FaultKind::RollbackZero, 1, TxnReminderStatus_SaveFailed,
         {"TxnReminder:ProbeHelper::WriteUnit - failed to write", "TxnReminder:ProbeHelper::WriteUnit Rollback api returned false"}},
        {"DMTransaction.Commit", Host::FaultKind::Fail, -1, TxnReminderStatus_SaveFailed,
         {"TxnReminder: Unable to commit the unit of work"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ClearLog();
        Ctx().ArmFault(c.fault, c.kind);
        ProbeHelper helper;
        TxnReminderStatusCode status = TxnReminderStatus_Success;
        EXPECT_FALSE(helper.WriteUnit(status, {"a", "b"}, c.failAt));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(Messages(), c.messages);
        for (const auto& m : c.messages) EXPECT_TRUE(HasLine(4, 5, m));
        ReopenFile();
        EXPECT_EQ(Stored("a"), 0);
    }
    Ctx().ArmFault("DBManager.CreateTransaction", Host::FaultKind::Fail);
    EXPECT_FALSE(ProbeHelper().HasHandle());
}

TEST_F(StorageContractTest, DestroyingAHelperReleasesItsTransaction) {
    {
        ProbeHelper helper;
        ASSERT_TRUE(helper.WriteWithoutCommit("a"));
    }
    // A transaction left behind would still own the file's open unit of work,
    // and the next helper's commit would not reach the file.
    ProbeHelper next;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    EXPECT_TRUE(next.WriteUnit(status, {"b"}));
    ReopenFile();
    EXPECT_EQ(Stored("a"), 0);
    EXPECT_EQ(Stored("b"), 1);
}

} // namespace
