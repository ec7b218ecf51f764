#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "CompanyBuilder.h"
#include "CompanyFile.h"
#include "HostFixture.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/Transactions.h"
#include "Sql.h"

using namespace testsupport;

namespace {

class DirectoryTest : public HostFixture {
protected:
    unsigned long Invoice(int customer, DateType32 date, DateType32 due, long cents, bool noPost = false,
                          short cleared = 0) {
        Host::InvoiceData d;
        d.customer = customer;
        d.txnDate = date;
        d.dueDate = due;
        d.amount.hundredths = cents;
        d.noPost = noPost;
        d.clearedType = cleared;
        unsigned long id = 0;
        EXPECT_TRUE(Host::AddInvoice(d, id).Succeeded());
        return id;
    }
    // The open-invoice query as the invoice helper builds it.
    static void BuildOpenInvoiceQuery(DQEWrapper& q) {
        q.SetTrans(102);
        q.SetSelect(0x6606FA);
        q.SetSelect(0x6601B5);
        q.SetSelect(0x660161);
        auto* c1 = q.SetStatement(0x660321, 6, 0);
        auto* c2 = q.SetStatement(0x66031A, 6, 0);
        auto* c3 = q.SetStatement(0x660100, 7, 2);
        auto* c4 = q.SetStatement(c1, 2, c2);
        q.SetStatement(c4, 2, c3);
    }
    // The rows of a query by id, each as "id|due date|customer" (or just "id"
    // when the query selects the id alone).
    static std::vector<std::string> Rows(DQEWrapper& q, bool idOnly = false) {
        std::vector<std::pair<unsigned long, std::string>> rows;
        for (bool ok = q.First(); ok; ok = q.Next()) {
            std::ostringstream row;
            row << q.GetUnsignedLong(0);
            if (!idOnly) row << '|' << q.GetDateType(1) << '|' << q.GetUnsignedLong(2);
            rows.emplace_back(q.GetUnsignedLong(0), row.str());
        }
        std::sort(rows.begin(), rows.end());
        std::vector<std::string> out;
        for (const auto& r : rows) out.push_back(r.second);
        return out;
    }
    static std::string Row(unsigned long id, const DateType32& due, int customer) {
        std::ostringstream row;
        row << id << '|' << due << '|' << customer;
        return row.str();
    }
    // Selects the ids of invoices that meet `condition`.
    static std::vector<std::string> Ids(const std::function<void(DQEWrapper&)>& condition) {
        DQEWrapper q(true);
        q.SetTrans(102);
        q.SetSelect(0x6606FA);
        condition(q);
        EXPECT_TRUE(q.DoQuery()) << q.GetLastError();
        return Rows(q, true);
    }
};

} // namespace

TEST_F(DirectoryTest, CustomersAndJobsReadBackThroughTheNameList) {
    Host::CustomerData acme;
    acme.name = "Acme";
    acme.email = "ap@acme.test";
    acme.custType = "Wholesale";
    acme.terms = "Net 30";
    acme.since = MakeDateAndTime(Date(2025, 1, 15), 0, 0, 0);
    int acmeId = 0;
    ASSERT_TRUE(Host::AddCustomer(acme, acmeId).Succeeded());
    const int job = AddName("Warehouse", acmeId);
    const int sub = AddName("Roof", job);
    AddName("Hidden Co", 0, "", true);

    ReopenFile();
    CName roof(sub, 1);
    ASSERT_TRUE(roof.IsValid());
    EXPECT_EQ(roof.GetRecNum(), sub);
    EXPECT_EQ(roof.GetParent(), job);
    EXPECT_EQ(roof.GetSubLevel(), 2);
    EXPECT_EQ(roof.GetQualifiedName(), Util::TString("Acme:Warehouse:Roof"));

    CName top(acmeId, 1);
    EXPECT_EQ(top.GetSubLevel(), 0);
    EXPECT_EQ(top.GetEmail(), Util::TString("ap@acme.test"));
    EXPECT_EQ(top.GetCustType().GetName(), Util::TString("Wholesale"));
    EXPECT_EQ(top.GetTerms().GetName(), Util::TString("Net 30"));
    EXPECT_EQ(top.GetTimeStamp(), static_cast<long>(acme.since));
    EXPECT_FALSE(top.GetIsHidden());

    CName absent(999, 1);
    EXPECT_FALSE(absent.IsValid());

    std::vector<int> seen;
    CName element(1);
    EdListViewIter all(EdListTypeToList(2), 1, 1);
    for (all.First(element); element.IsValid(); all.Next(element)) seen.push_back(element.GetRecNum());
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));

    seen.clear();
    EdListViewIter visibleTop(EdListTypeToList(2), 0, 0);
    for (visibleTop.First(element); element.IsValid(); visibleTop.Next(element)) seen.push_back(element.GetRecNum());
    EXPECT_EQ(seen, std::vector<int>{acmeId});
    EXPECT_FALSE(visibleTop.Next(element));
}

TEST_F(DirectoryTest, BadCustomerInputIsRefusedWithoutWriting) {
    const int acme = AddName("Acme");
    // Same name at the same level, a colon, no name, an e-mail address too long
    // to keep whole (it is never cut), a parent that does not exist.
    const struct {
        std::string name, email;
        int parent;
    } refused[] = {{"Acme", "", 0}, {"A:B", "", 0}, {"", "", 0}, {"Mail", std::string(1025, 'e'), 0}, {"Mail", "", 4242}};
    for (const auto& r : refused) {
        Host::CustomerData d;
        d.name = r.name;
        d.email = r.email;
        d.parent = r.parent;
        int recNum = -1;
        Util::Status s = Host::AddCustomer(d, recNum);
        EXPECT_EQ(s.GetStatusCode(), Util::Status::kConstraintFailure) << r.name;
        EXPECT_TRUE(s.Failed());
        EXPECT_EQ(recNum, -1);
    }
    EXPECT_EQ(QueryInt("SELECT count(*) FROM customers"), 1);

    // A job may share its customer's name; a customer may not move below its own job.
    const int job = AddName("Acme", acme);
    Host::CustomerData moved;
    ASSERT_TRUE(Host::LoadCustomer(acme, moved).Succeeded());
    moved.parent = job;
    EXPECT_TRUE(Host::UpdateCustomer(acme, moved).Failed());
    moved.parent = 0;
    moved.email = "new@acme.test";
    ASSERT_TRUE(Host::UpdateCustomer(acme, moved).Succeeded());
    EXPECT_EQ(CName(acme, 1).GetEmail(), Util::TString("new@acme.test"));
    EXPECT_EQ(Host::UpdateCustomer(777, moved).GetStatusCode(), 6042);

    int found = 0;
    ASSERT_EQ(Host::FindCustomer("Acme", acme, found).GetStatusCode(), 0);
    EXPECT_EQ(found, job);
}

TEST_F(DirectoryTest, BalancesAndAverageDaysToPayCoverTheCustomersJobs) {
    const int acme = AddName("Acme");
    const int job = AddName("Warehouse", acme);
    const int other = AddName("Other");
    const DateType32 d0 = Date(2026, 1, 1);
    Invoice(acme, d0, Date(2026, 1, 31), 10000);
    Invoice(job, d0, Date(2026, 1, 31), 2550);
    Invoice(job, d0, Date(2026, 1, 31), 99999, /*noPost=*/true);
    Invoice(job, d0, Date(2026, 1, 31), 88888, false, /*cleared=*/2);
    const unsigned long paid1 = Invoice(acme, d0, d0, 5000);
    const unsigned long paid2 = Invoice(job, d0, d0, 7000);
    ASSERT_TRUE(Host::MarkInvoicePaid(paid1, Date(2026, 1, 11)).Succeeded());
    ASSERT_TRUE(Host::MarkInvoicePaid(paid2, Date(2026, 1, 16)).Succeeded());
    EXPECT_EQ(Host::MarkInvoicePaid(424242, d0).GetStatusCode(), 6042);

    EXPECT_DOUBLE_EQ(Bal2Double(CName(acme, 1).GetTotalEndingBalHome()), 125.50);
    EXPECT_DOUBLE_EQ(Bal2Double(CName(job, 1).GetTotalEndingBalHome()), 25.50);

    // The list walk computes the same balances in one pass.
    CName element(1);
    EdListViewIter it(EdListTypeToList(2), 1, 1);
    ASSERT_TRUE(it.First(element));
    EXPECT_EQ(element.GetRecNum(), acme);
    EXPECT_DOUBLE_EQ(Bal2Double(element.GetTotalEndingBalHome()), 125.50);

    std::map<int, Bal> days = {{acme, Bal{}}, {job, Bal{}}, {other, Double2Bal(3)}};
    ASSERT_TRUE(CName::GetAverageDaysToPay(days).Succeeded());
    EXPECT_DOUBLE_EQ(Bal2Double(days[acme]), 12.5);  // (10 + 15) / 2
    EXPECT_DOUBLE_EQ(Bal2Double(days[job]), 15.0);
    EXPECT_DOUBLE_EQ(Bal2Double(days[other]), 0.0);
}

TEST_F(DirectoryTest, OpenInvoiceQueryEvaluatesItsConditionTreeInOneIndexedScan) {
    const int acme = AddName("Acme");
    const int job = AddName("Warehouse", acme);
    const unsigned long open1 = Invoice(acme, Date(2026, 2, 1), Date(2026, 3, 3), 100);
    const unsigned long paid = Invoice(acme, Date(2026, 2, 1), Date(2026, 3, 3), 100);
    Invoice(acme, Date(2026, 2, 1), Date(2026, 3, 3), 100, /*noPost=*/true);
    Invoice(job, Date(2026, 2, 1), Date(2026, 3, 3), 100, false, /*cleared=*/2);
    const unsigned long open2 = Invoice(job, Date(2026, 2, 1), Date(2026, 4, 30), 100, false, /*cleared=*/1);
    ASSERT_TRUE(Host::MarkInvoicePaid(paid, Date(2026, 3, 1)).Succeeded());

    DQEWrapper q(true);
    BuildOpenInvoiceQuery(q);
    ASSERT_TRUE(q.DoQuery()) << q.GetLastError();
    const std::vector<std::string> expected{Row(open1, Date(2026, 3, 3), acme), Row(open2, Date(2026, 4, 30), job)};
    EXPECT_EQ(Rows(q), expected);
    EXPECT_EQ(Rows(q), expected);  // reading again from the first row gives the same rows

    std::string plan;
    Host::Stmt explain(Ctx().File()->Db(), ("EXPLAIN QUERY PLAN " + q.GetSqlText()).c_str());
    while (explain.Step()) plan += explain.Text(3) + "\n";
    EXPECT_NE(plan.find("COVERING INDEX invoices_open"), std::string::npos) << plan;

    // The tree decides, not a fixed query: paid OR cleared type 2.
    EXPECT_EQ(Ids([](DQEWrapper& q) {
                  auto* isPaid = q.SetStatement(0x660321, 6, 1);
                  q.SetStatement(isPaid, DQE::SelectOp_Or, q.SetStatement(0x660100, DQE::SelectOp_Equal, 2));
              }).size(),
              2u);
    EXPECT_EQ(Ids([](DQEWrapper& q) { q.SetStatement(0x6601B5, DQE::SelectOp_Greater, Date(2026, 3, 31)); }),
              std::vector<std::string>{std::to_string(open2)});
}

TEST_F(DirectoryTest, MalformedQueriesFailInsteadOfAnsweringWrongly) {
    const struct {
        long trans;
        std::function<void(DQEWrapper&)> condition;
    } cases[] = {
        {102, [](DQEWrapper& q) { q.SetStatement(0x669999, 6, 0); }},  // unknown column
        {102, [](DQEWrapper& q) {  // two conditions joined by a comparison
             auto* a = q.SetStatement(0x660321, 6, 0);
             q.SetStatement(a, 6, q.SetStatement(0x66031A, 6, 0));
         }},
        {102, [](DQEWrapper& q) { q.SetStatement(0x6601B5, 3, 20260101); }},  // a date compared as a number
        {7, [](DQEWrapper&) {}},                                             // another table
    };
    for (const auto& c : cases) {
        DQEWrapper q(true);
        q.SetTrans(c.trans);
        q.SetSelect(0x6606FA);
        c.condition(q);
        EXPECT_FALSE(q.DoQuery());
        EXPECT_FALSE(q.First());
    }
    DQEWrapper faulted(true);
    BuildOpenInvoiceQuery(faulted);
    Ctx().ArmFault("DQE.DoQuery", Host::FaultKind::Fail);
    EXPECT_FALSE(faulted.DoQuery());
}

TEST_F(DirectoryTest, ReadTransGivesPaidStateAndModificationTime) {
    const int acme = AddName("Acme");
    const unsigned long id = Invoice(acme, Date(2026, 1, 1), Date(2026, 2, 1), 4200);
    const DateAndTime entered = GetMXSystemTime();
    Ctx().AdvanceClock(3 * 86400);
    ASSERT_TRUE(Host::MarkInvoicePaid(id, Date(2026, 3, 12)).Succeeded());

    TransTag* handle = NewTrans(1);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(TransTag::ReadTrans(id, handle, 0, 0, 4, 0));
    TargType* target = handle->GetTargetByIndex(0);
    ASSERT_NE(target, nullptr);
    EXPECT_TRUE(target->GetPaid());
    EXPECT_EQ(target->GetModTime(), entered + 3 * 86400);
    EXPECT_EQ(DateAndTimeToDate(target->GetModTime()), Date(2026, 3, 13));
    EXPECT_EQ(handle->GetTargetByIndex(1), nullptr);

    EXPECT_FALSE(TransTag::ReadTrans(id, handle, 0, 0, 101, 0));
    EXPECT_FALSE(TransTag::ReadTrans(id + 1, handle, 0, 0, 4, 0));
    FreeTrans(handle);

    Ctx().ArmFault("Trans.New", Host::FaultKind::Fail);
    EXPECT_EQ(NewTrans(1), nullptr);
}

TEST_F(DirectoryTest, CustomerGroupsListTheirMembersAndHideHiddenOnes) {
    const int a = AddName("A");
    const int b = AddName("B", 0, "", /*hidden=*/true);
    const int c = AddName("C");
    long id = 0;
    ASSERT_TRUE(Host::CreateCustomerGroup("Late payers", "Slow ones", {c, a, b, a}, id).Succeeded());
    ASSERT_GT(id, 0);

    long dup = 0;
    EXPECT_TRUE(Host::CreateCustomerGroup("late PAYERS", "", {}, dup).Failed());
    EXPECT_TRUE(Host::CreateCustomerGroup("Ghosts", "", {a, 9999}, dup).Failed());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM entity_groups"), 1);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM entity_group_rules"), 3);

    ReopenFile();
    Group* group = nullptr;
    ASSERT_EQ(Group::GetGroupById(id, group).GetStatusCode(), 0);
    ASSERT_NE(group, nullptr);
    std::unique_ptr<Group> owned(group);
    EXPECT_EQ(group->GetGroupName(), "Late payers");
    EXPECT_EQ(group->GetGroupDesc(), "Slow ones");
    EXPECT_EQ(group->GetGroupEntityType(), kCustomerEntityType);
    EXPECT_EQ(group->GetTargetRecNumsOfTheGroup(), (std::unordered_set<int>{a, b, c}));
    EXPECT_STREQ(group->GetFilteredEntityListForThisGroup(false),
                 (std::to_string(a) + "," + std::to_string(c)).c_str());
    EXPECT_TRUE(group->ContainsEntity(b));

    // A copy shares the rules; it stays usable while the loaded group lives.
    Group copy(*group);
    EXPECT_EQ(copy.GetRules(), group->GetRules());
    EXPECT_EQ(copy.GetTargetRecNumsOfTheGroup().size(), 3u);

    std::vector<Host::GroupSummary> groups;
    ASSERT_TRUE(Host::ListGroups(groups).Succeeded());
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].memberCount, 3);

    Group* none = reinterpret_cast<Group*>(0x1);
    Util::Status s = Group::GetGroupById(4242, none);
    EXPECT_TRUE(s.Succeeded());
    EXPECT_EQ(s.GetStatusCode(), 6042);
    EXPECT_EQ(none, nullptr);
}

TEST_F(DirectoryTest, MigratedGroupRecordsRoundTrip) {
    DMEntityGroupsHeader::DBEntityGroupsHeader header;
    header.GroupEntityType = 1;
    DMEntityGroupsHeader::SetName(header, "Old group");
    DMEntityGroupsHeader::SetDescription(header, std::string(400, 'x'));
    DMEntityGroupsHeader::SetUsedBy(header, "PaymentReminder");
    std::vector<DMEntityGroupRules::DBEntityGroupRules> rules(2);
    for (std::size_t i = 0; i < rules.size(); ++i) {
        rules[i].GroupId = 77;
        rules[i].Attribute = 0x87530;
        DMEntityGroupRules::SetValue(rules[i], std::to_string(10 + i));
    }
    long id = -1;
    ASSERT_TRUE(DLPGroupManager::DLPGroupManager::SaveGroup(header, rules, id).Succeeded());
    ASSERT_GT(id, 0);

    Group* group = nullptr;
    ASSERT_TRUE(Group::GetGroupById(id, group).Succeeded());
    std::unique_ptr<Group> owned(group);
    EXPECT_EQ(group->GetGroupName(), "Old group");
    EXPECT_EQ(group->GetGroupDesc(), std::string(274, 'x'));
    EXPECT_EQ(group->GetUsedBy(), "PaymentReminder");
    EXPECT_EQ(group->GetGroupEntityType(), 1);
    ASSERT_EQ(group->GetRules().size(), 2u);
    EXPECT_EQ(group->GetRules()[0]->GetAttribute(), 554288);
    EXPECT_EQ(group->GetRules()[1]->GetValues(), std::vector<std::string>{"11"});
    EXPECT_EQ(group->GetTargetRecNumsOfTheGroup(), (std::unordered_set<int>{10, 11}));

    // Saving again under its id replaces the rules.
    rules.resize(1);
    ASSERT_TRUE(DLPGroupManager::DLPGroupManager::SaveGroup(header, rules, id).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM entity_group_rules"), 1);

    Ctx().ArmFault("GroupManager.SaveGroup", Host::FaultKind::Fail);
    long another = -1;
    EXPECT_TRUE(DLPGroupManager::DLPGroupManager::SaveGroup(header, rules, another).Failed());
    EXPECT_EQ(another, -1);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM entity_groups"), 1);
}

TEST_F(DirectoryTest, RuleMoveTakesOverTheValues) {
    Rule rule;
    rule.SetAttribute(kCustomerRecNumAttribute);
    rule.AddValue("5");
    rule.AddValue("6");
    Rule moved(std::move(rule));
    EXPECT_EQ(moved.GetValues().size(), 2u);
    EXPECT_TRUE(rule.GetValues().empty());  // NOLINT(bugprone-use-after-move): the contract says so
    Rule assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(moved.GetValues().empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(assigned.GetAttribute(), kCustomerRecNumAttribute);

    Group group;
    group.AddRule(nullptr);
    group.AddRule(&assigned);
    EXPECT_EQ(group.GetRules().size(), 1u);
    EXPECT_EQ(group.GetTargetRecNumsOfTheGroup(), (std::unordered_set<int>{5, 6}));
}
