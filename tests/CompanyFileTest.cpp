#include <fstream>
#include <memory>

#include "CompanyFile.h"
#include "DB/DBManager.h"
#include "HostFixture.h"
#include "Prefs/PrefsTag.h"
#include "Sql.h"

using testsupport::HostFixture;
using testsupport::QueryInt;

namespace {
void WritePref(DBMgr::DMTransaction& txn, const std::string& key, const std::string& value) {
    txn.BeginWrite();
    Host::Stmt(txn.File()->Db(), "INSERT INTO company_prefs(key, value) VALUES(?1, ?2)").Bind(1, key).Bind(2, value).Run();
}
} // namespace

class CompanyFileTest : public HostFixture {};

TEST_F(CompanyFileTest, CommitIsDurableAcrossReopenAndRollbackDiscards) {
    auto* mgr = DBMgr::DBManager::GetActiveFileMgr();
    ASSERT_NE(mgr, nullptr);
    std::unique_ptr<DBMgr::DMTransaction> txn(mgr->CreateTransaction(0, 1));
    WritePref(*txn, "kept", "1");
    EXPECT_TRUE(txn->Commit());
    WritePref(*txn, "dropped", "1");
    EXPECT_NE(txn->Rollback(), 0);
    // The same handle serves the next unit of work.
    WritePref(*txn, "kept too", "1");
    EXPECT_TRUE(txn->Commit());
    txn.reset();
    ReopenFile();
    EXPECT_EQ(QueryInt("SELECT count(*) FROM company_prefs WHERE key IN ('kept', 'kept too')"), 2);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM company_prefs WHERE key = 'dropped'"), 0);
}

TEST_F(CompanyFileTest, HandleDestroyedWithPendingWritesRollsBack) {
    {
        std::unique_ptr<DBMgr::DMTransaction> txn(DBMgr::DBManager::GetActiveFileMgr()->CreateTransaction(0, 1));
        WritePref(*txn, "pending", "1");
        EXPECT_TRUE(txn->HasPendingWrites());
    }
    EXPECT_EQ(QueryInt("SELECT count(*) FROM company_prefs"), 0);
}

TEST_F(CompanyFileTest, InjectedRollbackZeroStillRollsBack) {
    std::unique_ptr<DBMgr::DMTransaction> txn(DBMgr::DBManager::GetActiveFileMgr()->CreateTransaction(0, 1));
    WritePref(*txn, "x", "1");
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_EQ(txn->Rollback(), 0);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM company_prefs"), 0);
}

TEST_F(CompanyFileTest, HandleOutlivingItsFileFailsInsteadOfCrashing) {
    std::unique_ptr<DBMgr::DMTransaction> txn(DBMgr::DBManager::GetActiveFileMgr()->CreateTransaction(0, 1));
    Ctx().CloseCompanyFile();
    EXPECT_EQ(DBMgr::DBManager::GetActiveFileMgr(), nullptr);
    EXPECT_THROW(txn->BeginWrite(), std::runtime_error);
    EXPECT_FALSE(txn->Commit());
    EXPECT_EQ(txn->Rollback(), 0);
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
    EXPECT_TRUE(found.Succeeded());
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

TEST_F(CompanyFileTest, DamagedForeignAndNewerFilesAreRefusedUntouched) {
    const std::string junk = Dir() + "/junk.db";
    {
        std::ofstream(junk) << "this is not a database, just text that is long enough to have a header......";
    }
    EXPECT_FALSE(Ctx().OpenCompanyFile(junk).Succeeded());
    EXPECT_NE(Ctx().LastOpenError().find("junk.db"), std::string::npos);
    EXPECT_NE(Ctx().LastOpenError().find("not a company file"), std::string::npos);

    const std::string newer = Dir() + "/newer.db";
    ASSERT_TRUE(Ctx().OpenCompanyFile(newer, true).Succeeded());
    Host::Exec(Ctx().File()->Db(), "PRAGMA user_version=99");
    Ctx().CloseCompanyFile();
    EXPECT_FALSE(Ctx().OpenCompanyFile(newer).Succeeded());
    EXPECT_NE(Ctx().LastOpenError().find("newer version"), std::string::npos);

    EXPECT_FALSE(Ctx().OpenCompanyFile(Dir() + "/missing.db").Succeeded());
    EXPECT_NE(Ctx().LastOpenError().find("no such file"), std::string::npos);
    EXPECT_EQ(DBMgr::DBManager::GetActiveFileMgr(), nullptr);
}
