// The host's bulk reads that the invoice selection leans on give what the
// plain SQL order and the single lookups give, also over rows a damaged or
// hand-edited file may hold.

#include <random>
#include <unordered_set>

#include "CompanyFile.h"
#include "HostFixture.h"
#include "Records/BulkReads.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/ReminderRecords.h"
#include "Sql.h"

using namespace testsupport;
using DMReminderExecutionHistory::DBReminderExecutionHistory;
using DMReminderExecutionHistory::IDBReminderExecutionHistory;

namespace {

class LeanReadsTest : public HostFixture {
protected:
    Host::Connection* Db() { return Ctx().File()->Db(); }

    // Row ids of view 4's history as SQL orders them by transaction, then id.
    std::vector<int> SqlHistoryOrder() {
        std::vector<int> ids;
        Host::Stmt q(Db(), "SELECT id FROM reminder_history WHERE txn_view = 4 ORDER BY txn_id, id");
        while (q.Step()) ids.push_back(static_cast<int>(q.Int(0)));
        return ids;
    }

    std::vector<int> LoadedHistoryOrder() {
        std::vector<DBReminderExecutionHistory> rows;
        EXPECT_TRUE(IDBReminderExecutionHistory::BatchLoadByTxnView(4, rows).Succeeded());
        std::vector<int> ids;
        for (const auto& row : rows) ids.push_back(row.HistoryId);
        return ids;
    }
};

TEST_F(LeanReadsTest, HistoryComesInTransactionThenIdOrderWhateverTheTableHolds) {
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        // Few transactions, so that most have several rows; some ids past
        // 31 bits, and a few rows of another view in between.
        const long long txn = random() % 4 == 0 ? 4000000000LL + random() % 5 : random() % 40;
        const int view = random() % 10 == 0 ? 101 : 4;
        Host::Stmt(Db(), "INSERT INTO reminder_history (txn_id, txn_view, rule_id, status) VALUES (?1, ?2, ?3, 1)")
            .Bind(1, txn).Bind(2, view).Bind(3, i).Run();
    }
    const std::vector<int> expected = SqlHistoryOrder();
    ASSERT_GT(expected.size(), 250u);
    EXPECT_EQ(LoadedHistoryOrder(), expected);

    // A transaction id stored as text sorts after every number in SQL; the
    // load keeps that order rather than reading the text as a number.
    Host::Exec(Db(), "INSERT INTO reminder_history (txn_id, txn_view, rule_id, status) VALUES ('7x', 4, 1, 1), (3, 4, 2, 1)");
    const std::vector<int> withText = SqlHistoryOrder();
    ASSERT_EQ(withText.size(), expected.size() + 2);
    EXPECT_EQ(LoadedHistoryOrder(), withText);
}

TEST_F(LeanReadsTest, GroupMemberTextsAreNumbersOnlyWhenWholeAndWithin32Bits) {
    Host::Exec(Db(), "INSERT INTO entity_groups (id, name) VALUES (5, 'G')");
    // The last is named twice: once in the set, twice in the list.
    for (const char* value : {"12", "-0", "007", "2147483647", "-2147483648", "2147483648", "-2147483649", "99999999999",
                              "12a", "", "-", " 5", "+6", "123456789012", "-00042", "7"}) {
        Host::Stmt(Db(), "INSERT INTO entity_group_rules (group_id, attribute, value) VALUES (5, ?1, ?2)")
            .Bind(1, kCustomerRecNumAttribute).Bind(2, std::string(value)).Run();
    }
    // Another attribute's rule is not a member.
    Host::Exec(Db(), "INSERT INTO entity_group_rules (group_id, attribute, value) VALUES (5, 1, '77')");

    std::unordered_set<int> members;
    ASSERT_TRUE(Group::GetTargetRecNumsOfTheGroup(5, members).Succeeded());
    EXPECT_EQ(members, (std::unordered_set<int>{12, 0, 7, 2147483647, -2147483647 - 1, -42}));
    std::vector<int> listed;
    ASSERT_TRUE(Group::GetTargetRecNumList(5, listed).Succeeded());
    EXPECT_EQ(listed, (std::vector<int>{12, 0, 7, 2147483647, -2147483647 - 1, -42, 7}));

    // Both are the one read of the group's members, failing alike.
    Ctx().ArmFault("Group.GetTargetRecNums", Host::FaultKind::Fail);
    EXPECT_TRUE(Group::GetTargetRecNumList(5, listed).Failed());
}

TEST_F(LeanReadsTest, NameListAddressFlagAgreesWithTheSingleLookup) {
    std::string longEuros;
    for (int i = 0; i < 600; ++i) longEuros += "\xE2\x82\xAC";
    const std::vector<std::string> emails = {
        "",
        "a@b.example",
        std::string(1100, '\x80'),       // nothing whole within the limit: cut to nothing
        longEuros,                        // cut on a character boundary, something left
        std::string(1024, 'x') + "\x80",  // exactly at the limit
    };
    for (std::size_t i = 0; i < emails.size(); ++i) {
        Host::Stmt(Db(), "INSERT INTO customers (name, email) VALUES (?1, ?2)")
            .Bind(1, "Customer " + std::to_string(i)).Bind(2, emails[i]).Run();
    }
    std::vector<NameLink> links;
    ASSERT_TRUE(CName::GetNameLinks(links).Succeeded());
    ASSERT_EQ(links.size(), emails.size());
    int withAddress = 0;
    for (const NameLink& link : links) {
        const CName single(link.recNum, 1);
        ASSERT_TRUE(single.IsValid());
        EXPECT_EQ(link.hasEmail, !single.GetEmail().str().empty()) << "customer " << link.recNum;
        withAddress += link.hasEmail ? 1 : 0;
    }
    EXPECT_EQ(withAddress, 3);
}

// A listing sums the statements' balances in its walk over the due invoices
// instead of reading every open invoice again: whichever ids it asks for,
// the sums must come to what the balance read gives, jobs rolled up into
// their customers, open invoices outside the walked range included.
TEST_F(LeanReadsTest, BalancesSummedDuringTheInvoiceWalkMatchTheBalanceRead) {
    std::mt19937 random(7);
    for (int c = 1; c <= 12; ++c) {
        Host::Stmt(Db(), "INSERT INTO customers (id, parent_id, name) VALUES (?1, ?2, ?3)")
            .Bind(1, c).Bind(2, c > 8 ? c - 8 : 0).Bind(3, "Name " + std::to_string(c)).Run();
    }
    for (int i = 0; i < 600; ++i) {
        // Paid, not posted and cleared invoices are mixed in; only the rest count.
        Host::Stmt(Db(), "INSERT INTO invoices (customer_id, txn_date, due_date, amount, is_paid, is_no_post, "
                         "cleared_type, mod_time) VALUES (?1, 1, 1, ?2, ?3, ?4, ?5, 1)")
            .Bind(1, static_cast<int>(random() % 12 + 1)).Bind(2, static_cast<long long>(random() % 100000))
            .Bind(3, random() % 4 == 0 ? 1 : 0).Bind(4, random() % 6 == 0 ? 1 : 0)
            .Bind(5, static_cast<int>(random() % 4)).Run();
    }
    std::vector<int> everyone;
    for (int c = 1; c <= 12; ++c) everyone.push_back(c);
    std::vector<Bal> expected;
    ASSERT_TRUE(Host::LoadOpenBalances(everyone, expected).Succeeded());
    std::int64_t total = 0;
    for (const Bal& b : expected) total += b.hundredths;
    ASSERT_GT(total, 0);

    const auto range = [](unsigned long from, unsigned long to, unsigned long step) {
        std::vector<unsigned long> ids;
        for (unsigned long id = from; id <= to; id += step) ids.push_back(id);
        return ids;
    };
    const struct {
        const char* what;
        std::vector<unsigned long> ids;
    } cases[] = {
        {"a walk over the middle, open invoices on both sides", range(150, 450, 2)},
        {"a walk from the first invoice to past the last", range(1, 700, 1)},
        {"a few lookups", {3, 299, 598}},
        {"no invoice at all", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned long> seen;
        Host::OpenAmounts open;
        ASSERT_TRUE(Host::ReadInvoices(c.ids, [&](const Host::InvoiceRead& inv) { seen.push_back(inv.id); }, &open)
                        .Succeeded());
        std::vector<unsigned long> wanted;
        for (unsigned long id : c.ids) {
            if (id <= 600) wanted.push_back(id);
        }
        EXPECT_EQ(seen, wanted);
        std::vector<Bal> summed;
        ASSERT_TRUE(Host::OpenBalancesOf(open, everyone, summed).Succeeded());
        for (std::size_t i = 0; i < everyone.size(); ++i) {
            EXPECT_EQ(summed[i].hundredths, expected[i].hundredths) << "customer " << everyone[i];
        }
    }
}

} // namespace
