// A company file of the first schema version is brought up to date when it is
// opened: the indexes that the selection reads in place of a sort are there,
// with what the file held untouched.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CompanyFile.h"
#include "HostFixture.h"
#include "Host/HostContext.h"
#include "Prefs/PrefsTag.h"
#include "Records/Groups.h"
#include "Schema.h"
#include "Records/Names.h"
#include "Sql.h"

using namespace testsupport;

namespace {

class SchemaUpgradeTest : public HostFixture {
protected:
    std::string IndexSql(const char* name) {
        Host::Stmt q(Ctx().File()->Db(), "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ?1");
        q.Bind(1, std::string(name));
        return q.Step() ? q.Text(0) : std::string();
    }
};

TEST_F(SchemaUpgradeTest, AFirstVersionFileGetsTheNewIndexesAndKeepsItsRows) {
    const std::string path = Dir() + "/old.db";
    ASSERT_TRUE(Ctx().OpenCompanyFile(path, true).Succeeded());
    Host::CustomerData acmeData;
    acmeData.name = "Acme";
    acmeData.hidden = true;
    int acme = 0;
    ASSERT_TRUE(Host::AddCustomer(acmeData, acme).Succeeded());
    long group = 0;
    ASSERT_TRUE(Host::CreateCustomerGroup("Main", "", {acme}, group).Succeeded());
    // Back to how the first version left its indexes.
    Host::Connection* db = Ctx().File()->Db();
    Host::Exec(db, "DROP INDEX invoices_open; DROP INDEX entity_group_rules_members; DROP INDEX customers_hidden;"
                   "CREATE INDEX invoices_open ON invoices(is_paid, is_no_post, cleared_type, due_date, customer_id);"
                   "CREATE INDEX entity_group_rules_by_group ON entity_group_rules(group_id, attribute);"
                   "PRAGMA user_version=1");
    Ctx().CloseCompanyFile();

    ASSERT_TRUE(Ctx().OpenCompanyFile(path).Succeeded()) << Ctx().LastOpenError();
    EXPECT_EQ(QueryInt("PRAGMA user_version"), Host::Schema::kVersion);
    EXPECT_NE(IndexSql("invoices_open").find("is_no_post, txn_id, cleared_type"), std::string::npos);
    EXPECT_NE(IndexSql("entity_group_rules_members").find("group_id, attribute, id, value"), std::string::npos);
    EXPECT_NE(IndexSql("customers_hidden").find("WHERE hidden <> 0"), std::string::npos);
    EXPECT_EQ(IndexSql("entity_group_rules_by_group"), "");
    EXPECT_EQ(QueryInt("SELECT count(*) FROM entity_group_rules WHERE group_id = " + std::to_string(group)), 1);
    EXPECT_EQ(QueryText("PRAGMA integrity_check"), "ok");
    std::vector<int> hidden;
    ASSERT_TRUE(CName::GetHiddenRecNums(hidden).Succeeded());
    EXPECT_EQ(hidden, std::vector<int>{acme});
}

// Version 4 kept the user's preferences and the features' values in two
// tables; the upgrade leaves one, with every value found where it was asked
// for before.
TEST_F(SchemaUpgradeTest, AVersionFourFileKeepsThePreferencesOfBothTables) {
    struct Row {
        const char* table;
        const char* key;
        const char* value;
    };
    const Row rows[] = {
        {"preferences", "paymentReminderState", "1"},
        {"preferences", "paymentReminderPromptTime", "14"},
        {"preferences", "smtpHost", "mail.example.test"},
        {"company_prefs", "invoiceReminderNextPromptLaunchDate", "20260402"},
        {"company_prefs", "companyName", "Lakeside"},
        // In both: the feature's value stays.
        {"preferences", "shared", "user"},
        {"company_prefs", "shared", "feature"},
    };
    const std::string path = Dir() + "/v4.db";
    ASSERT_TRUE(Ctx().OpenCompanyFile(path, true).Succeeded());
    Host::Connection* db = Ctx().File()->Db();
    Host::Exec(db, "CREATE TABLE preferences (key TEXT PRIMARY KEY, value TEXT NOT NULL); PRAGMA user_version=4");
    for (const Row& row : rows) {
        Host::Stmt(db, (std::string("INSERT INTO ") + row.table + "(key, value) VALUES(?1, ?2)").c_str())
            .Bind(1, row.key)
            .Bind(2, row.value)
            .Run();
    }
    Ctx().CloseCompanyFile();

    ASSERT_TRUE(Ctx().OpenCompanyFile(path).Succeeded()) << Ctx().LastOpenError();
    EXPECT_EQ(QueryInt("PRAGMA user_version"), Host::Schema::kVersion);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM sqlite_master WHERE name = 'preferences'"), 0);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM company_prefs"), 6);
    EXPECT_TRUE(PrefGetPrefHandle()->GetPaymentReminderState());
    EXPECT_EQ(PrefGetPrefHandle()->GetPaymentReminderPromptTime(), 14);
    for (const Row& row : rows) {
        const bool overridden = std::string(row.key) == "shared" && std::string(row.table) == "preferences";
        const std::string expected = overridden ? "feature" : row.value;
        std::string value;
        const Util::Status read = DBPreferences::GetCompanyDBPreference(row.key, value);
        EXPECT_TRUE(read.Succeeded() && read.GetStatusCode() == Util::Status::kOk) << row.key;
        EXPECT_EQ(value, expected) << row.key;
        EXPECT_EQ(Ctx().GetPreference(row.key, ""), expected) << row.key;
    }
    EXPECT_EQ(QueryText("PRAGMA integrity_check"), "ok");
}

} // namespace
