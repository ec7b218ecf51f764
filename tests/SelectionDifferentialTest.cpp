// The invoice selection against the straightforward formulation of it, kept
// here as the reference: every target group with rules, in ascending id, asked
// about every candidate invoice through the container's own judgement, with
// the candidates loaded through a map keyed by transaction. Both run over
// many small generated company files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "GenerateCompany.h"
#include "HostFixture.h"
#include "InvoiceReminderDBHelper.h"
#include "InvoiceTransactionContainer.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/ReminderRecords.h"
#include "Records/StmtReminderRecords.h"
#include "Sql.h"
#include "CompanyFile.h"
#include "StatementReminderRule.h"
#include "TxnReminderEngine.h"
#include "TxnReminderEngineTestAccess.h"
#include "TxnReminderExecutionDetails.h"
#include "TxnReminderSet.h"
#include "TxnReminderTargetGroup.h"
#include "TxnSendableReminderContainer.h"

using namespace testsupport;

namespace {

using Candidates = std::vector<std::unique_ptr<TxnReminderTransactionContainer>>;

struct Outcome {
    bool ok = false;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    bool duplicateFound = false;
    std::vector<TxnSendableReminderContainer> records;
    // The reference's only: per record, the (rule, template) pairs it may
    // carry, where rules that fall due together may come in any order; and
    // whether that order could decide more than the rule's id.
    std::vector<std::vector<std::pair<unsigned long, long>>> choices;
    bool ambiguous = false;
};

std::string Describe(const Outcome& o) {
    std::ostringstream out;
    out << "ok=" << o.ok << " status=" << o.status << " duplicate=" << o.duplicateFound << " records:";
    for (const auto& r : o.records) {
        out << " (" << r.GetTxnType() << "," << r.GetTransactionId() << "," << r.GetCustomerId() << ","
            << r.GetRuleId() << "," << r.GetTemplateId() << ")";
    }
    return out.str();
}

bool Same(const Outcome& a, const Outcome& b) {
    if (a.ok != b.ok || a.status != b.status || a.duplicateFound != b.duplicateFound) return false;
    if (a.records.size() != b.records.size()) return false;
    for (std::size_t i = 0; i < a.records.size(); ++i) {
        const auto& x = a.records[i];
        const auto& y = b.records[i];
        if (x.GetTxnType() != y.GetTxnType() || x.GetTransactionId() != y.GetTransactionId() ||
            x.GetCustomerId() != y.GetCustomerId())
            return false;
        const std::pair<unsigned long, long> rule{y.GetRuleId(), y.GetTemplateId()};
        const bool chosen = i < a.choices.size()
                                ? std::find(a.choices[i].begin(), a.choices[i].end(), rule) != a.choices[i].end()
                                : rule == std::make_pair(x.GetRuleId(), x.GetTemplateId());
        if (!chosen) return false;
    }
    return true;
}

// The invoice selection restated from its rules over the company file's
// own tables, sharing nothing with the engine: the active invoice sets by
// target group (ascending), each group's rules pooled and put in the order
// they fall due (days before, most first; then on the day; then days after,
// fewest first; equal ones as saved), and per open invoice (ascending
// transaction) its customer's walk up the parents for membership and an
// address, then the latest rule whose day has come unless it or a later one
// was carried out (history status 1 or 2). An invoice selected under an
// earlier group is a duplicate; a group that is gone ends the selection.
struct RefRule {
    unsigned long id;
    int schedule;
    long days;
    long templateId;
};

bool FallsDueBefore(const RefRule& a, const RefRule& b) {
    const auto rank = [](const RefRule& r) { return r.schedule == 1 ? 0 : r.schedule == 0 ? 1 : 2; };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (a.schedule != b.schedule) return false;
    return a.schedule == 1 ? a.days > b.days : a.days < b.days;
}

Outcome ReferenceSelection(bool fastMode, long today) {
    Host::Connection* db = Host::HostContext::Get().File()->Db();
    Outcome o;
    o.status = TxnReminderStatus_Success;

    struct Name {
        int parent;
        bool hidden;
        bool email;
    };
    std::map<int, Name> names;
    for (Host::Stmt q(db, "SELECT id, parent_id, hidden, email <> '' FROM customers"); q.Step();)
        names[static_cast<int>(q.Int(0))] = Name{static_cast<int>(q.Int(1)), q.Int(2) != 0, q.Int(3) != 0};

    struct Invoice {
        unsigned long id;
        int customer;
        long due;
        std::set<unsigned long> carriedOut;
    };
    std::map<unsigned long, Invoice> invoices;
    for (Host::Stmt q(db, "SELECT txn_id, customer_id, due_date FROM invoices "
                          "WHERE is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2");
         q.Step();) {
        const auto id = static_cast<unsigned long>(q.Int(0));
        invoices[id] = Invoice{id, static_cast<int>(q.Int(1)), static_cast<long>(q.Int(2)), {}};
    }
    for (Host::Stmt q(db, "SELECT txn_id, rule_id FROM reminder_history WHERE txn_view = 4 AND status IN (1, 2)");
         q.Step();) {
        const auto invoice = invoices.find(static_cast<unsigned long>(q.Int(0)));
        if (invoice != invoices.end()) invoice->second.carriedOut.insert(static_cast<unsigned long>(q.Int(1)));
    }

    // Listing the sets reads every invoice set's group, active or not: one
    // that is gone fails the listing, and with it the selection.
    for (Host::Stmt q(db, "SELECT count(*) FROM reminder_sets s WHERE s.txn_view = 4 AND NOT EXISTS "
                          "(SELECT 1 FROM entity_groups g WHERE g.id = s.target_group_id)");
         q.Step();) {
        if (q.Int(0) > 0) {
            o.status = TxnReminderStatus_LoadFailed;
            return o;
        }
    }

    std::map<long, std::vector<RefRule>> rulesByGroup;
    // An invoice rule keeps its days as seconds.
    for (Host::Stmt q(db, "SELECT s.target_group_id, r.id, r.condition, r.trigger_interval, r.template_id "
                          "FROM reminder_sets s LEFT JOIN reminder_rules r ON r.set_id = s.id "
                          "WHERE s.txn_view = 4 AND s.is_active = 1 ORDER BY s.id, r.id");
         q.Step();) {
        std::vector<RefRule>& rules = rulesByGroup[static_cast<long>(q.Int(0))];
        if (!q.IsNull(1))
            rules.push_back(RefRule{static_cast<unsigned long>(q.Int(1)), static_cast<int>(q.Int(2)),
                                    static_cast<long>(q.Int(3) / 86400), static_cast<long>(q.Int(4))});
    }

    std::set<unsigned long> selected;
    for (auto& [groupId, rules] : rulesByGroup) {
        if (rules.empty() || invoices.empty()) continue;
        Host::Stmt exists(db, "SELECT count(*) FROM entity_groups WHERE id = ?1");
        exists.Bind(1, groupId);
        if (!exists.Step() || exists.Int(0) == 0) return o;  // ok stays false
        std::set<int> members;
        Host::Stmt m(db, "SELECT value FROM entity_group_rules WHERE group_id = ?1 AND attribute = ?2");
        m.Bind(1, groupId).Bind(2, kCustomerRecNumAttribute);
        while (m.Step()) members.insert(std::atoi(m.Text(0).c_str()));
        std::stable_sort(rules.begin(), rules.end(), FallsDueBefore);

        for (const auto& [id, invoice] : invoices) {
            const auto target = names.find(invoice.customer);
            if (target == names.end() || target->second.hidden) continue;
            bool member = false, email = false;
            std::set<int> seen;
            for (auto at = target; at != names.end() && seen.insert(at->first).second;
                 at = names.find(at->second.parent)) {
                member = member || members.count(at->first) > 0;
                email = email || at->second.email;
            }
            if (!member) continue;
            // Rules that fall due together (same schedule and days) form a
            // run whose order is not fixed: the latest due run offers any of
            // its rules; a rule of it carried out blocks only if it is the
            // one that comes last, which the order decides.
            const auto same = [](const RefRule& x, const RefRule& y) {
                return !FallsDueBefore(x, y) && !FallsDueBefore(y, x);
            };
            std::size_t end = rules.size();
            bool blocked = false;
            std::vector<const RefRule*> run;
            while (end > 0 && !blocked) {
                std::size_t begin = end - 1;
                while (begin > 0 && same(rules[begin - 1], rules[end - 1])) --begin;
                std::size_t carried = 0;
                for (std::size_t r = begin; r < end; ++r) carried += invoice.carriedOut.count(rules[r].id);
                const RefRule& rule = rules[end - 1];
                const long trigger = rule.schedule == 1 ? invoice.due - rule.days : invoice.due + rule.days;
                if (carried > 0) {
                    // Not yet due, the scan meets the carried-out rule whatever
                    // the order; due, only when it comes last.
                    o.ambiguous = o.ambiguous || (carried < end - begin && trigger <= today);
                    blocked = true;
                } else if (trigger <= today) {
                    for (std::size_t r = begin; r < end; ++r) run.push_back(&rules[r]);
                    break;
                }
                end = begin;
            }
            if (run.empty()) continue;
            const RefRule* due = run.back();
            if (!selected.insert(id).second) {
                o.duplicateFound = true;
                continue;
            }
            TxnSendableReminderContainer record;
            record.SetTxnType(FormViewType_Invoice);
            record.SetTransactionId(id);
            record.SetRuleId(due->id);
            record.SetTemplateId(due->templateId);
            o.records.push_back(record);
            o.choices.emplace_back();
            for (const RefRule* r : run) o.choices.back().emplace_back(r->id, r->templateId);
            if (o.status == TxnReminderStatus_Success && !email) o.status = TxnReminderStatus_NoEmail;
            if (fastMode) {
                o.ok = true;
                return o;
            }
        }
    }
    o.ok = true;
    return o;
}

// Spreads the customers' record numbers far apart (and the references to
// them with them), as a company whose names were made and deleted over years.
void SpreadRecordNumbers(long factor) {
    Host::Connection* db = Host::HostContext::Get().File()->Db();
    const std::string f = std::to_string(factor);
    Host::Exec(db, ("PRAGMA foreign_keys = OFF;"
                    "UPDATE customers SET id = -id;"
                    "UPDATE customers SET id = -id * " + f + ", parent_id = parent_id * " + f + ";"
                    "UPDATE invoices SET customer_id = customer_id * " + f + ";"
                    "UPDATE entity_group_rules SET value = CAST(CAST(value AS INTEGER) * " + f +
                    " AS TEXT) WHERE attribute = " + std::to_string(kCustomerRecNumAttribute) + ";"
                    "UPDATE reminder_target_users SET customer_id = customer_id * " + f + ";")
                       .c_str());
}

// A container of a type the engine does not know, so that it is judged
// through its own operations.
class OwnJudgementInvoice : public InvoiceTransactionContainer {
public:
    explicit OwnJudgementInvoice(const InvoiceTransactionContainer& plain) : InvoiceTransactionContainer(plain) {}
};

// Storage of a type other than the plain invoice storage: the engine gets
// containers from it. With `ownJudgement`, every other container is of a
// type the engine does not know.
class ContainerStorage : public InvoiceReminderDBHelper {
public:
    explicit ContainerStorage(bool ownJudgement) : m_ownJudgement(ownJudgement) {}
    bool GetTxnDetailsFromDB(Candidates& txns) override {
        Candidates plain;
        if (!InvoiceReminderDBHelper::GetTxnDetailsFromDB(plain)) return false;
        for (std::size_t i = 0; i < plain.size(); ++i) {
            if (m_ownJudgement && i % 2 == 0) {
                txns.push_back(std::make_unique<OwnJudgementInvoice>(
                    static_cast<const InvoiceTransactionContainer&>(*plain[i])));
            } else {
                txns.push_back(std::move(plain[i]));
            }
        }
        return true;
    }
    // The storage-wide default: containers, never flat rows.
    bool LoadSelectionCandidates(InvoiceCandidateList& rows, Candidates& txns) override {
        return TxnReminderDBHelper::LoadSelectionCandidates(rows, txns);
    }

private:
    bool m_ownJudgement;
};

enum class Storage { Plain, Containers, OwnJudgement };

Outcome EngineSelection(bool fastMode, Storage storage = Storage::Plain) {
    Outcome o;
    TxnReminderEngine engine(FormViewType_Invoice);
    if (storage != Storage::Plain)
        TxnReminderEngineTestAccess::Holder(engine).Reset(new ContainerStorage(storage == Storage::OwnJudgement));
    o.ok = engine.PrepareReminderListToSend(o.status, o.records, o.duplicateFound, fastMode);
    return o;
}

// The statement selection in its plain form, worked out before the engine
// runs (the engine moves periods and deletes the statuses it uses up): each
// rule's group read with its rules, every member looked up by name, the
// rule's statuses taken as they stand unless a new period clears them.
Outcome ReferenceStatementSelection() {
    Outcome o;
    o.status = TxnReminderStatus_Success;
    TxnReminderEngine engine(FormViewType_Statement);
    std::vector<TxnReminderSet> sets;
    if (!engine.GetAllReminderSets(o.status, sets)) {
        o.status = TxnReminderStatus_LoadFailed;
        return o;
    }
    std::map<unsigned long, long> groupOfSet;
    std::vector<StatementReminderRule> rules;
    for (const TxnReminderSet& set : sets) {
        if (set.GetReminderSetStatus() != TxnReminderSetStatus_Active) continue;
        Group* found = nullptr;
        const bool loaded = Group::GetGroupById(set.GetTargetGroupId(), found).Succeeded() && found;
        delete found;
        if (!loaded) {
            o.status = TxnReminderStatus_LoadFailed;
            return o;
        }
        groupOfSet[set.GetRuleSetId()] = set.GetTargetGroupId();
        for (const StatementReminderRule& rule : set.GetStatementReminderRules()) rules.push_back(rule);
    }
    for (const StatementReminderRule& rule : rules) {
        std::set<int> members;
        Group* found = nullptr;
        if (Group::GetGroupById(groupOfSet[rule.GetRuleSetId()], found).Succeeded() && found) {
            for (int recNum : found->GetTargetRecNumsOfTheGroup()) {
                if (!CName(recNum, 1).GetIsHidden()) members.insert(recNum);
            }
        }
        delete found;
        std::map<int, int> statusOf;
        if (!(rule.GetEmailListPrepDate() < rule.GetLastTriggerDate())) {
            std::vector<DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus> rows;
            if (!engine.GetCustomersStatusForGivenRule(rule.GetRuleId(), rows)) return o;
            for (const auto& row : rows) statusOf.emplace(row.CustomerId, row.Status);
        }
        for (int customer : members) {
            const auto row = statusOf.find(customer);
            if (row != statusOf.end() && row->second != 1) continue;
            TxnSendableReminderContainer record;
            record.SetTxnType(FormViewType_Statement);
            record.SetCustomerId(customer);
            record.SetRuleId(rule.GetRuleId());
            record.SetTemplateId(rule.GetEmailTemplateId());
            o.records.push_back(record);
        }
    }
    o.ok = true;
    return o;
}

Outcome EngineStatementSelection() {
    Outcome o;
    TxnReminderEngine engine(FormViewType_Statement);
    o.ok = engine.PrepareReminderListToSendForStmt(o.status, o.records, false);
    return o;
}

// A small company of its own for each seed: a handful of customers, jobs
// (some under jobs), hidden names and names without an address, groups that
// overlap and hold jobs, sets sharing groups, inactive and empty sets, and
// history of every status.
bench::CompanyShape SmallCompany(std::uint32_t seed) {
    std::mt19937 r(seed);
    auto between = [&r](int lo, int hi) { return lo + static_cast<int>(r() % static_cast<unsigned>(hi - lo + 1)); };
    bench::CompanyShape shape;
    shape.seed = seed;
    shape.customers = between(1, 12);
    shape.jobs = between(0, 8);
    shape.openInvoices = between(0, 40);
    shape.paidInvoices = between(0, 5);
    shape.groups = between(1, 4);
    shape.groupSize = between(1, shape.customers);
    shape.invoiceSets = between(1, 5);
    shape.statementSets = 0;
    shape.history = between(0, 30);
    shape.noEmailShare = between(0, 4) / 8.0;
    shape.hiddenShare = between(0, 2) / 8.0;
    shape.subJobShare = 0.4;
    shape.jobMemberShare = 0.2;
    shape.inactiveSetShare = 0.2;
    shape.emptySetShare = 0.15;
    shape.randomSetGroups = true;
    shape.dueSpanDays = between(20, 400);
    // Now and then a larger company whose invoices fall due over years, so
    // that they carry many hundreds of distinct due dates.
    if (seed % 16 == 0) {
        shape.openInvoices = between(1500, 2500);
        shape.dueSpanDays = between(1400, 2400);
        shape.history = between(100, 400);
    }
    return shape;
}

class SelectionDifferentialTest : public HostFixture {
protected:
    // Small files on a memory-backed folder when there is one: hundreds of
    // them are written.
    std::string Folder() {
        std::error_code ec;
        const std::string shm = "/dev/shm";
        std::string base = std::filesystem::is_directory(shm, ec) ? shm : Dir();
        std::string folder = base + "/reminders-diff-" + std::to_string(::getpid());
        std::filesystem::create_directories(folder, ec);
        return folder;
    }
};

TEST_F(SelectionDifferentialTest, AgreesWithThePlainLoopOverManyRandomCompanies) {
    const std::string folder = Folder();
    const int kCompanies = 520;
    int withRecords = 0, withDuplicates = 0, withNoEmail = 0, withFailure = 0, withSparseNames = 0, ambiguous = 0;
    long mostDueDates = 0;
    for (int n = 0; n < kCompanies; ++n) {
        const std::uint32_t seed = 1000u + static_cast<std::uint32_t>(n);
        const std::string path = folder + "/company-" + std::to_string(seed) + ".db";
        ASSERT_NO_THROW(bench::GenerateCompany(path, SmallCompany(seed), false)) << "seed " << seed;
        if (seed % 3 == 0) {
            SpreadRecordNumbers(4999);
            ++withSparseNames;
        }
        {
            Host::Stmt dates(Host::HostContext::Get().File()->Db(), "SELECT count(DISTINCT due_date) FROM invoices");
            ASSERT_TRUE(dates.Step());
            mostDueDates = std::max(mostDueDates, static_cast<long>(dates.Int(0)));
        }
        // The day moves over the year of due dates.
        const DateType32 today = DateAdd(Date(2026, 6, 15), static_cast<long>(seed % 90) - 45);
        Ctx().FixClock(today, 8, 0, 0);
        // Now and then a group is gone after its sets were saved: both must
        // fail the same way.
        if (seed % 11 == 0) {
            std::vector<Host::GroupSummary> groups;
            ASSERT_TRUE(Host::ListGroups(groups).Succeeded());
            if (groups.size() > 1) {
                ASSERT_TRUE(DLPGroupManager::DLPGroupManager::DeleteGroup(groups.back().id).Succeeded());
            }
        }
        for (const bool fast : {false, true}) {
            const Outcome expected = ReferenceSelection(fast, DateToDayNumber(today));
            const Outcome actual = EngineSelection(fast);
            // Where the order of rules that fall due together decides, the
            // two roads of the engine must still agree with each other.
            const Outcome& judge = expected.ambiguous ? actual : expected;
            ambiguous += expected.ambiguous ? 1 : 0;
            if (!expected.ambiguous) {
                ASSERT_TRUE(Same(expected, actual)) << "seed " << seed << (fast ? " fast" : " full")
                                                    << "\n  expected " << Describe(expected) << "\n  actual   "
                                                    << Describe(actual);
            }
            // Storage that hands over containers takes the engine's other
            // road; it must end at the same place.
            const Storage other = seed % 2 ? Storage::Containers : Storage::OwnJudgement;
            const Outcome viaContainers = EngineSelection(fast, other);
            ASSERT_TRUE(Same(judge, viaContainers))
                << "seed " << seed << (fast ? " fast" : " full") << " via containers\n  expected "
                << Describe(expected) << "\n  actual   " << Describe(viaContainers);
            if (!fast) {
                withRecords += actual.records.empty() ? 0 : 1;
                withDuplicates += actual.duplicateFound ? 1 : 0;
                withNoEmail += actual.status == TxnReminderStatus_NoEmail ? 1 : 0;
                withFailure += actual.ok ? 0 : 1;
            }
        }
        Ctx().CloseCompanyFile();
        std::error_code ec;
        for (const char* suffix : {"", "-wal", "-shm", ".log"}) std::filesystem::remove(path + suffix, ec);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    // The companies must exercise what the comparison is about.
    EXPECT_GT(withRecords, kCompanies / 3);
    EXPECT_GT(withDuplicates, 20);
    EXPECT_GT(withNoEmail, 20);
    EXPECT_GT(withFailure, 5);
    EXPECT_GT(withSparseNames, kCompanies / 4);
    EXPECT_GT(mostDueDates, 512);
    // (two runs per company)
    EXPECT_LT(ambiguous, kCompanies / 5);
}

TEST_F(SelectionDifferentialTest, StatementSelectionAgreesWithThePlainFormOverRandomCompanies) {
    const std::string folder = Folder();
    const int kCompanies = 160;
    int withRecords = 0, withRenewed = 0, withFailure = 0, statusesStored = 0;
    for (int n = 0; n < kCompanies; ++n) {
        const std::uint32_t seed = 5000u + static_cast<std::uint32_t>(n);
        const std::string path = folder + "/company-" + std::to_string(seed) + ".db";
        bench::CompanyShape shape = SmallCompany(seed);
        shape.statementSets = 1 + static_cast<int>(seed % 3);
        ASSERT_NO_THROW(bench::GenerateCompany(path, shape, false)) << "seed " << seed;
        Ctx().FixClock(DateAdd(Date(2026, 6, 15), static_cast<long>(seed % 40)), 8, 0, 0);

        // A first run opens each rule's period; then customers, members or
        // not, get statuses of every kind.
        ASSERT_TRUE(EngineStatementSelection().ok) << "seed " << seed;
        std::mt19937 r(seed);
        TxnReminderEngine engine(FormViewType_Statement);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnReminderSet> sets;
        ASSERT_TRUE(engine.GetAllReminderSets(status, sets));
        for (const TxnReminderSet& set : sets) {
            for (const StatementReminderRule& rule : set.GetStatementReminderRules()) {
                for (int k = 0, count = static_cast<int>(r() % 10); k < count; ++k) {
                    const int customer = 1 + static_cast<int>(r() % static_cast<unsigned>(shape.customers + shape.jobs + 2));
                    const int statuses[] = {1, 2, 3, 0};
                    // A customer that is not there, or already has a status
                    // for the rule, is refused.
                    statusesStored += engine.AddStatementReminderExecutionStatus(
                                          rule.GetRuleId(), customer,
                                          static_cast<ReminderExecutionStatus>(statuses[r() % 4]))
                                          ? 1
                                          : 0;
                }
            }
        }
        // Now and then the days move into the next period, or a group is gone.
        if (seed % 5 == 0) Ctx().FixClock(DateAdd(Date(2026, 6, 15), 100), 8, 0, 0);
        if (seed % 13 == 0) {
            std::vector<Host::GroupSummary> groups;
            ASSERT_TRUE(Host::ListGroups(groups).Succeeded());
            if (groups.size() > 1) {
                ASSERT_TRUE(DLPGroupManager::DLPGroupManager::DeleteGroup(groups[1].id).Succeeded());
            }
        }

        const Outcome expected = ReferenceStatementSelection();
        const Outcome actual = EngineStatementSelection();
        ASSERT_TRUE(Same(expected, actual)) << "seed " << seed << "\n  expected " << Describe(expected)
                                            << "\n  actual   " << Describe(actual);
        // What the run used up is gone: a second run selects the same.
        if (actual.ok) {
            const Outcome again = EngineStatementSelection();
            ASSERT_TRUE(Same(actual, again)) << "seed " << seed << " again " << Describe(again);
        }
        withRecords += actual.records.empty() ? 0 : 1;
        withFailure += actual.ok ? 0 : 1;
        withRenewed += seed % 5 == 0 ? 1 : 0;
        Ctx().CloseCompanyFile();
        std::error_code ec;
        for (const char* suffix : {"", "-wal", "-shm", ".log"}) std::filesystem::remove(path + suffix, ec);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    EXPECT_GT(withRecords, kCompanies / 2);
    EXPECT_GT(withFailure, 2);
    EXPECT_GT(withRenewed, 10);
    EXPECT_GT(statusesStored, kCompanies);
}

} // namespace
