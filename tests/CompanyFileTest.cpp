#include <memory>

#include "CompanyFile.h"
#include "DB/DBManager.h"
#include "HostFixture.h"
#include "Prefs/PrefsTag.h"
#include "Sql.h"

using testsupport::HostFixture;
using testsupport::QueryInt;

namespace {
void WritePref(DBMgr::DMTransaction& txn, const std::string& key) {
    txn.BeginWrite();
    Host::Stmt(txn.File()->Db(), "INSERT INTO company_prefs(key, value) VALUES(?1, '1')").Bind(1, key).Run();
}
std::unique_ptr<DBMgr::DMTransaction> NewTransaction() {
    return std::unique_ptr<DBMgr::DMTransaction>(DBMgr::DBManager::GetActiveFileMgr()->CreateTransaction(0, 1));
}
} // namespace

class CompanyFileTest : public HostFixture {};

// Whatever ends a unit of work without a commit (a rollback, one that answers
// 0, or the handle going away) leaves nothing behind; a commit survives a reopen.
TEST_F(CompanyFileTest, CommitIsDurableAndEveryOtherEndDiscards) {
    auto txn = NewTransaction();
    WritePref(*txn, "kept");
    EXPECT_TRUE(txn->Commit());
    WritePref(*txn, "rolled back");
    EXPECT_NE(txn->Rollback(), 0);
    WritePref(*txn, "kept too");  // the same handle serves the next unit of work
    EXPECT_TRUE(txn->Commit());
    WritePref(*txn, "rollback answering 0");
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_EQ(txn->Rollback(), 0);
    WritePref(*txn, "pending when destroyed");
    EXPECT_TRUE(txn->HasPendingWrites());
    txn.reset();
    ReopenFile();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM company_prefs WHERE key IN ('kept', 'kept too')"), 2);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM company_prefs"), 2);
}

TEST_F(CompanyFileTest, HandleOutlivingItsFileFailsInsteadOfCrashing) {
    auto txn = NewTransaction();
    Ctx().CloseCompanyFile();
    EXPECT_EQ(DBMgr::DBManager::GetActiveFileMgr(), nullptr);
    EXPECT_THROW(txn->BeginWrite(), std::runtime_error);
    EXPECT_FALSE(txn->Commit());
    EXPECT_EQ(txn->Rollback(), 0);
    // A file that cannot be opened leaves no manager behind either.
    EXPECT_FALSE(Ctx().OpenCompanyFile(Dir() + "/missing.db").Succeeded());
    EXPECT_EQ(DBMgr::DBManager::GetActiveFileMgr(), nullptr);
}

TEST_F(CompanyFileTest, PreferencesLiveInTheCompanyFile) {
    PrefsTag* prefs = PrefGetPrefHandle();
    EXPECT_FALSE(prefs->GetPaymentReminderState());
    EXPECT_EQ(prefs->GetPaymentReminderPromptTime(), 9);
    Ctx().SetPreference(PrefKeys::kState, "1");
    Ctx().SetPreference(PrefKeys::kPromptTime, "14");
    Ctx().SetPreference(PrefKeys::kFiscalBegin, "garbage");
    ReopenFile();
    EXPECT_TRUE(prefs->GetPaymentReminderState());
    EXPECT_EQ(prefs->GetPaymentReminderPromptTime(), 14);
    EXPECT_EQ(prefs->GetFiscalBegin(), 1);  // unreadable value: the default

    // Absent reads as an absent record does: success with 6042, no value.
    std::string value = "stale";
    const Util::Status absent = DBPreferences::GetCompanyDBPreference("absent", value);
    EXPECT_TRUE(absent.Succeeded());
    EXPECT_EQ(absent.GetStatusCode(), Util::Status::kRecordNotFound);
    EXPECT_EQ(value, "");
    EXPECT_TRUE(DBPreferences::SetCompanyDBPreference("k", "20260310").Succeeded());
    EXPECT_TRUE(DBPreferences::SetCompanyDBPreference("k", "20260311").Succeeded());
    const Util::Status found = DBPreferences::GetCompanyDBPreference("k", value);
    EXPECT_EQ(found.GetStatusCode(), Util::Status::kOk);
    EXPECT_EQ(value, "20260311");
    // One store: what either side writes, the other reads.
    EXPECT_EQ(Ctx().GetPreference("k", ""), "20260311");
    EXPECT_TRUE(DBPreferences::GetCompanyDBPreference(PrefKeys::kPromptTime, value).Succeeded());
    EXPECT_EQ(value, "14");

    // A store that cannot be read: the engine's getters answer the defaults
    // and throw nothing; the application's read reports the damage.
    Host::Exec(Ctx().File()->Db(), "DROP TABLE company_prefs");
    EXPECT_THROW(Ctx().GetPreference("k", "fallback"), Host::SqlError);
    EXPECT_NO_THROW({
        EXPECT_FALSE(prefs->GetPaymentReminderState());
        EXPECT_EQ(prefs->GetPaymentReminderPromptTime(), 9);
        const Util::Status unreadable = DBPreferences::GetCompanyDBPreference("k", value);
        EXPECT_TRUE(unreadable.Failed());
        EXPECT_NE(unreadable.GetStatusCode(), Util::Status::kRecordNotFound);
    });
}
