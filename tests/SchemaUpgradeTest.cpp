// A company file of the first schema version is brought up to date when it is
// opened: the indexes that the selection reads in place of a sort are there,
// with what the file held untouched.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CompanyFile.h"
#include "HostFixture.h"
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
    sqlite3* db = Ctx().File()->Db();
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

} // namespace
