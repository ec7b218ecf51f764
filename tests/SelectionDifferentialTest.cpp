// The invoice selection against the straightforward formulation of it, kept
// here as the reference: every target group with rules, in ascending id, asked
// about every candidate invoice through the container's own judgement, with
// the candidates loaded through a map keyed by transaction. Both run over
// many small generated company files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
#include "Records/Transactions.h"
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
            x.GetCustomerId() != y.GetCustomerId() || x.GetRuleId() != y.GetRuleId() ||
            x.GetTemplateId() != y.GetTemplateId())
            return false;
    }
    return true;
}

// The candidates as the query engine lists them, one container per
// transaction in a map, the history appended in the store's order.
bool ReferenceCandidates(Candidates& out) {
    DQEWrapper query(true);
    query.SetTrans(102);
    query.SetSelect(0x6606FA);
    query.SetSelect(0x6601B5);
    query.SetSelect(0x660161);
    DQE::Statement* notPaid = query.SetStatement(0x660321, 6, 0L);
    DQE::Statement* posted = query.SetStatement(0x66031A, 6, 0L);
    DQE::Statement* notCleared = query.SetStatement(0x660100, 7, 2L);
    DQE::Statement* open = query.SetStatement(notPaid, 2, posted);
    query.SetStatement(open, 2, notCleared);
    if (!query.DoQuery()) return false;
    std::map<unsigned long, InvoiceTransactionContainer> invoices;
    for (bool row = query.First(); row; row = query.Next()) {
        const unsigned long id = query.GetUnsignedLong(0);
        invoices.insert_or_assign(id, InvoiceTransactionContainer(id, FormViewType_Invoice,
                                                                  static_cast<int>(query.GetUnsignedLong(2)),
                                                                  query.GetDateType(1)));
    }
    std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> history;
    if (DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(FormViewType_Invoice, history,
                                                                                    nullptr)
            .Failed())
        return false;
    for (const auto& entry : history) {
        auto invoice = invoices.find(entry.TransactionId);
        if (invoice == invoices.end()) continue;
        invoice->second.AddExecutionDetail(TxnReminderExecutionDetails(
            entry.TransactionId, FormViewType_Invoice, static_cast<std::uint32_t>(entry.RuleId),
            static_cast<TxnReminderExecutionStatus>(entry.Status)));
    }
    for (auto& invoice : invoices) out.push_back(std::make_unique<InvoiceTransactionContainer>(invoice.second));
    return true;
}

// The selection loop in its plain form: every (group, invoice) pair.
Outcome ReferenceSelection(bool fastMode) {
    Outcome o;
    o.status = TxnReminderStatus_Success;
    TxnReminderEngine engine(FormViewType_Invoice);
    std::vector<TxnReminderSet> sets;
    if (!engine.GetAllReminderSets(o.status, sets)) {
        o.status = TxnReminderStatus_LoadFailed;
        return o;
    }
    Candidates txns;
    if (!ReferenceCandidates(txns)) {
        o.status = TxnReminderStatus_LoadFailed;
        return o;
    }
    if (!txns.empty()) {
        std::map<long, std::vector<TxnReminderSet>> setsByGroup;
        for (const TxnReminderSet& set : sets) {
            if (set.GetReminderSetStatus() == TxnReminderSetStatus_Active) setsByGroup[set.GetTargetGroupId()].push_back(set);
        }
        std::map<int, int> selected;
        InvoiceReminderDBHelper helper;
        for (auto& [groupId, groupSets] : setsByGroup) {
            std::vector<TxnReminderRule> rules;
            for (const TxnReminderSet& set : groupSets) {
                const auto& r = set.GetReminderRules();
                rules.insert(rules.end(), r.begin(), r.end());
            }
            if (rules.empty()) continue;
            TxnReminderTargetGroup group;
            long id = groupId;
            if (!helper.GetDLPTargetGroup(id, group, true)) return o;
            std::sort(rules.begin(), rules.end());
            for (const auto& txn : txns) {
                TxnReminderStatusCode invoiceStatus = TxnReminderStatus_Success;
                if (!txn->IsAcceptableTarget(invoiceStatus, group)) continue;
                TxnSendableReminderContainer record;
                if (!txn->IsExecutable(invoiceStatus, rules, record)) continue;
                const int key = static_cast<int>(record.GetTransactionId());
                if (selected.count(key)) {
                    o.duplicateFound = true;
                    continue;
                }
                o.records.push_back(record);
                selected[key] = 1;
                if (o.status == TxnReminderStatus_Success) o.status = invoiceStatus;
                if (fastMode) {
                    o.ok = true;
                    return o;
                }
            }
        }
    }
    o.ok = true;
    return o;
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
    int withRecords = 0, withDuplicates = 0, withNoEmail = 0, withFailure = 0;
    for (int n = 0; n < kCompanies; ++n) {
        const std::uint32_t seed = 1000u + static_cast<std::uint32_t>(n);
        const std::string path = folder + "/company-" + std::to_string(seed) + ".db";
        ASSERT_NO_THROW(bench::GenerateCompany(path, SmallCompany(seed), false)) << "seed " << seed;
        // The day moves over the year of due dates.
        Ctx().FixClock(DateAdd(Date(2026, 6, 15), static_cast<long>(seed % 90) - 45), 8, 0, 0);
        // Now and then a group is gone after its sets were saved: both must
        // stop there with what earlier groups selected.
        if (seed % 11 == 0) {
            std::vector<Host::GroupSummary> groups;
            ASSERT_TRUE(Host::ListGroups(groups).Succeeded());
            if (groups.size() > 1) {
                ASSERT_TRUE(DLPGroupManager::DLPGroupManager::DeleteGroup(groups.back().id).Succeeded());
            }
        }
        for (const bool fast : {false, true}) {
            const Outcome expected = ReferenceSelection(fast);
            const Outcome actual = EngineSelection(fast);
            ASSERT_TRUE(Same(expected, actual)) << "seed " << seed << (fast ? " fast" : " full") << "\n  expected "
                                                << Describe(expected) << "\n  actual   " << Describe(actual);
            // Storage that hands over containers takes the engine's other
            // road; it must end at the same place.
            const Storage other = seed % 2 ? Storage::Containers : Storage::OwnJudgement;
            const Outcome viaContainers = EngineSelection(fast, other);
            ASSERT_TRUE(Same(expected, viaContainers))
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
