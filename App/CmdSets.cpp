#include "CmdSets.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <set>

#include "Csv.h"
#include "DB/DBManager.h"
#include "Records/MessageTemplates.h"
#include "Records/RecordText.h"
#include "Records/ReminderRecords.h"
#include "StatusText.h"
#include "TxnReminderEngine.h"

namespace app {

namespace {
const char* ViewName(FormViewType view) { return view == FormViewType_Statement ? "statement" : "invoice"; }

std::string RulesText(const TxnReminderSet& set) {
    std::string text;
    for (const auto& r : set.GetReminderRules()) text += (text.empty() ? "" : "; ") + DescribeRule(r);
    for (const auto& r : set.GetStatementReminderRules()) text += (text.empty() ? "" : "; ") + DescribeRule(r);
    return text.empty() ? "(no rules)" : text;
}

// Names the first rule of a set that the company file cannot keep as it is,
// and why, before anything is written.
void CheckRulesFit(const std::string& where, TxnReminderSet& set) {
    std::size_t n = 0;
    for (TxnReminderRule rule : set.GetReminderRules()) {
        const std::string which = where + ", rule " + std::to_string(++n) + " (" + DescribeRule(rule) + "): ";
        const long days = rule.GetRuleCriteria().GetDays();
        if (days > DMTransactionReminderRule::kMaxInvoiceRuleDays || days < -DMTransactionReminderRule::kMaxInvoiceRuleDays) {
            throw AppError(which + "a rule can be at most " + std::to_string(DMTransactionReminderRule::kMaxInvoiceRuleDays) +
                           " days from the due date; nothing was imported");
        }
        const std::string subject = rule.GetRuleTemplate().GetTemplateSubject().str();
        const std::string body = rule.GetRuleTemplate().GetTemplateBody().str();
        if (subject.find('\0') != std::string::npos || body.find('\0') != std::string::npos) {
            throw AppError(which + "the e-mail subject or body holds a NUL character; nothing was imported");
        }
        if (Host::Utf8Length(subject) > MessageTemplateLimits::kSubjectChars) {
            throw AppError(which + "the e-mail subject has " + std::to_string(Host::Utf8Length(subject)) +
                           " characters, at most " + std::to_string(MessageTemplateLimits::kSubjectChars) +
                           " are allowed; nothing was imported");
        }
        if (Host::Utf8Length(body) > MessageTemplateLimits::kBodyChars) {
            throw AppError(which + "the e-mail body has " + std::to_string(Host::Utf8Length(body)) +
                           " characters, at most " + std::to_string(MessageTemplateLimits::kBodyChars) +
                           " are allowed; nothing was imported");
        }
    }
}

// A stored statement rule keeps its preparation date as eight digits.
void CheckStatementRulesFit(const std::string& where, const TxnReminderSet& set) {
    std::size_t n = 0;
    for (const StatementReminderRule& rule : set.GetStatementReminderRules()) {
        ++n;
        const DateType32 date = rule.GetEmailListPrepDate();
        if (rule.GetRuleId() != 0 && (!date.IsValid() || date.GetYear() < 1000 || date.GetYear() > 9999)) {
            throw AppError(where + ", statement rule " + std::to_string(n) +
                           ": emailPrepDate is not a date between the years 1000 and 9999; nothing was imported");
        }
    }
}

// A set as JSON, with the list of its kind's rules even when it has none:
// the tree leaves an empty list out, and a program reading the output should
// not have to know that.
nlohmann::ordered_json SetJson(TxnReminderSet& set, const std::string& what) {
    boost::property_tree::ptree tree;
    if (!set.GetPtree(tree)) throw AppError(what + std::to_string(set.GetRuleSetId()) + " cannot be written");
    const char* rules = set.GetTxnType() == FormViewType_Statement ? "statementRules" : "rules";
    if (!tree.get_child_optional(rules)) tree.add_child(rules, boost::property_tree::ptree());
    return TreeToJson(tree);
}

const TxnReminderSet* FindSet(const std::vector<TxnReminderSet>& sets, long id) {
    for (const auto& s : sets) {
        if (static_cast<long>(s.GetRuleSetId()) == id) return &s;
    }
    return nullptr;
}
} // namespace

std::vector<TxnReminderSet> LoadAllSets() {
    std::vector<TxnReminderSet> all;
    for (FormViewType view : {FormViewType_Invoice, FormViewType_Statement}) {
        TxnReminderEngine engine(view);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnReminderSet> sets;
        if (!engine.GetAllReminderSets(status, sets)) {
            throw AppError(std::string("cannot list the ") + ViewName(view) + " reminder sets: " + StatusText(status));
        }
        all.insert(all.end(), sets.begin(), sets.end());
    }
    return all;
}

std::string DescribeRule(const TxnReminderRule& rule) {
    TxnReminderRule copy(rule);
    TxnReminderRuleCriteria& c = copy.GetRuleCriteria();
    const int days = c.GetDays();
    if (days == 0) return "on the due date";
    const std::string unit = (days == 1 || days == -1) ? " day" : " days";
    if (c.GetSchedule() == 1) return std::to_string(days) + unit + " before";
    if (c.GetSchedule() == 2) return std::to_string(days) + unit + " after";
    return std::to_string(days) + unit + " (no before/after)";
}

std::string DescribeRule(const StatementReminderRule& rule) {
    StatementReminderRule copy(rule);
    const short frequency = copy.GetFrequency();
    const unsigned day = copy.GetScheduleDay();
    static const char* kWeekDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    std::string text = StatementReminderRule::statementRuleFrequency_flipMap[frequency];
    if (text.empty()) text = "frequency " + std::to_string(frequency);
    if (frequency == 0 && day >= 1 && day <= 7) return text + " on " + kWeekDays[day - 1];
    return text + " on day " + std::to_string(day);
}

void SetsList(const AppContext& ctx) {
    const auto sets = LoadAllSets();
    if (ctx.json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (auto set : sets) array.push_back(SetJson(set, "set "));
        PrintJson({{"sets", array}});
        return;
    }
    if (sets.empty()) {
        std::cout << "No reminder sets. Import one with 'reminders sets import FILE.json'.\n";
        return;
    }
    Table table({"id", "name", "kind", "status", "group", "rules"});
    for (auto set : sets) {
        table.Add({std::to_string(set.GetRuleSetId()), set.GetReminderSetName().str(), ViewName(set.GetTxnType()),
                   set.GetReminderSetStatus() == TxnReminderSetStatus_Active ? "active" : "inactive",
                   set.GetDefaultTargetGroupName().str() + " (" + std::to_string(set.GetTargetGroupId()) + ")",
                   RulesText(set)});
    }
    std::cout << table.Render();
}

void SetsExport(const AppContext&, long id) {
    const auto sets = LoadAllSets();
    if (id != 0) {
        const TxnReminderSet* found = FindSet(sets, id);
        if (!found) throw AppError("sets export: no reminder set with id " + std::to_string(id));
        TxnReminderSet copy(*found);
        PrintJson(SetJson(copy, "sets export: set "));
        return;
    }
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (auto set : sets) array.push_back(SetJson(set, "sets export: set "));
    PrintJson({{"sets", array}});
}

std::vector<boost::property_tree::ptree> ReadSetTrees(const std::string& path) {
    const boost::property_tree::ptree root = FromJson(ReadLimitedFile(path, 16u << 20), path);
    // One set, or {"sets": [...]}.
    std::vector<boost::property_tree::ptree> trees;
    if (auto many = root.get_child_optional("sets")) {
        for (const auto& child : *many) trees.push_back(child.second);
    } else {
        trees.push_back(root);
    }
    if (trees.empty()) throw AppError(path + ": no reminder set in the file");
    return trees;
}

void SetsImport(const AppContext& ctx, const std::string& path) {
    const std::vector<boost::property_tree::ptree> trees = ReadSetTrees(path);
    nlohmann::ordered_json saved = nlohmann::ordered_json::array();
    for (auto& set : SaveSetTrees(trees, path)) {
        if (ctx.json) {
            saved.push_back({{"id", set.GetRuleSetId()},
                             {"kind", ViewName(set.GetTxnType())},
                             {"name", set.GetReminderSetName().str()}});
        } else {
            std::cout << "saved " << ViewName(set.GetTxnType()) << " reminder set " << set.GetRuleSetId() << " '"
                      << set.GetReminderSetName().str() << "'\n";
        }
    }
    if (ctx.json) PrintJson({{"saved", saved}});
}

std::vector<TxnReminderSet> SaveSetTrees(const std::vector<boost::property_tree::ptree>& trees, const std::string& path,
                                         std::vector<unsigned long> dropRules) {
    std::vector<TxnReminderSet> sets;
    for (std::size_t i = 0; i < trees.size(); ++i) {
        TxnReminderSet set;
        // The trees keep the key order of JSON; the reader needs both rule
        // arrays even when one is empty, so supply a missing one.
        boost::property_tree::ptree tree = trees[i];
        if (!tree.get_child_optional("rules")) tree.add_child("rules", boost::property_tree::ptree());
        if (!tree.get_child_optional("statementRules")) tree.add_child("statementRules", boost::property_tree::ptree());
        if (!set.SetPtree(tree)) {
            throw AppError(path + ": reminder set " + std::to_string(i + 1) +
                           " is not a valid reminder set tree (see 'reminders log' for the field)");
        }
        if (set.GetTxnType() != FormViewType_Invoice && set.GetTxnType() != FormViewType_Statement) {
            throw AppError(path + ": reminder set " + std::to_string(i + 1) + ": txnType must be \"Invoice\" or \"Statement\"");
        }
        const std::string where = path + ": reminder set " + std::to_string(i + 1) + " '" + set.GetReminderSetName().str() + "'";
        CheckRulesFit(where, set);
        CheckStatementRulesFit(where, set);
        sets.push_back(set);
    }

    // All sets of the file, or none: one unit of work around every save.
    DBMgr::IDBFileMgr* mgr = DBMgr::DBManager::GetActiveFileMgr();
    std::unique_ptr<DBMgr::DMTransaction> outer(mgr ? mgr->CreateTransaction(0, 1) : nullptr);
    if (!outer) throw AppError("sets import: the company file cannot start a transaction");
    outer->BeginWrite();
    for (auto& set : sets) {
        TxnReminderEngine engine(set.GetTxnType());
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        if (!engine.AddOrUpdateReminderSet(status, set)) {
            outer->Rollback();
            throw AppError("sets import: reminder set '" + set.GetReminderSetName().str() + "' was not saved: " +
                           StatusText(status) + "; nothing was imported");
        }
    }
    if (!dropRules.empty()) {
        TxnReminderEngine engine(sets.front().GetTxnType());
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        bool dropped = true;
        if (sets.front().GetTxnType() == FormViewType_Statement) {
            for (unsigned long id : dropRules) dropped = dropped && engine.DeleteReminderRule(status, id);
        } else {
            dropped = engine.DeleteReminderRules(status, dropRules);
        }
        if (!dropped) {
            outer->Rollback();
            throw AppError("sets import: the removed rules were not deleted: " + StatusText(status) +
                           "; nothing was saved");
        }
    }
    if (!outer->Commit()) throw AppError("sets import: the company file did not accept the changes; nothing was imported");
    return sets;
}

void SetsDelete(const AppContext& ctx, long id) {
    DeleteSet(id);
    if (ctx.json) {
        PrintJson({{"deleted", id}});
        return;
    }
    std::cout << "deleted reminder set " << id << "\n";
}

void DeleteSet(long id) {
    const auto sets = LoadAllSets();
    const TxnReminderSet* found = FindSet(sets, id);
    if (!found) throw AppError("sets delete: no reminder set with id " + std::to_string(id));
    TxnReminderEngine engine(found->GetTxnType());
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    if (!engine.DeleteReminderSet(status, static_cast<unsigned long>(id))) {
        throw AppError("sets delete: reminder set " + std::to_string(id) + " was not deleted: " + StatusText(status));
    }
}

void RulesDelete(const AppContext& ctx, const std::vector<long>& ids) {
    const auto sets = LoadAllSets();
    std::vector<unsigned long> invoiceRules;
    std::vector<unsigned long> statementRules;
    for (long id : ids) {
        bool known = false;
        for (const auto& set : sets) {
            TxnReminderSet copy(set);
            for (const auto& r : copy.GetReminderRules()) {
                if (static_cast<long>(r.GetRuleId()) == id && !known) {
                    invoiceRules.push_back(static_cast<unsigned long>(id));
                    known = true;
                }
            }
            for (auto r : copy.GetStatementReminderRules()) {
                if (static_cast<long>(r.GetRuleId()) == id && !known) {
                    statementRules.push_back(static_cast<unsigned long>(id));
                    known = true;
                }
            }
        }
        if (!known) throw AppError("rules delete: no rule with id " + std::to_string(id) + "; nothing was deleted");
    }
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    if (!invoiceRules.empty()) {
        TxnReminderEngine engine(FormViewType_Invoice);
        if (!engine.DeleteReminderRules(status, invoiceRules)) {
            throw AppError("rules delete: the invoice rules were not deleted: " + StatusText(status));
        }
    }
    for (unsigned long id : statementRules) {
        TxnReminderEngine engine(FormViewType_Statement);
        if (!engine.DeleteReminderRule(status, id)) {
            throw AppError("rules delete: statement rule " + std::to_string(id) + " was not deleted: " + StatusText(status));
        }
    }
    if (ctx.json) {
        PrintJson({{"deleted", ids}});
        return;
    }
    std::cout << "deleted " << ids.size() << (ids.size() == 1 ? " rule\n" : " rules\n");
}

namespace {
struct SetsOptions {
    long id = 0;
    std::string file;
    std::vector<long> ruleIds;
};
} // namespace

void RegisterSetsCommands(CLI::App& cli, AppContext& ctx) {
    auto o = std::make_shared<SetsOptions>();
    auto* sets = cli.add_subcommand("sets", "reminder sets (schedules)");
    sets->require_subcommand(1);
    AddCommand(*sets, ctx, "list", "list the reminder sets", [&ctx] { SetsList(ctx); });
    AddCommand(*sets, ctx, "export", "write reminder sets as JSON", [&ctx, o] { SetsExport(ctx, o->id); })
        ->add_option("ID", o->id, "one set (default: all)");
    AddCommand(*sets, ctx, "import", "add or change reminder sets from JSON", [&ctx, o] { SetsImport(ctx, o->file); })
        ->add_option("FILE", o->file, "JSON file")
        ->required();
    AddCommand(*sets, ctx, "delete", "delete a reminder set with its rules", [&ctx, o] { SetsDelete(ctx, o->id); })
        ->add_option("ID", o->id, "set id")
        ->required();

    auto* rules = cli.add_subcommand("rules", "reminder rules");
    rules->require_subcommand(1);
    AddCommand(*rules, ctx, "delete", "delete rules", [&ctx, o] { RulesDelete(ctx, o->ruleIds); })
        ->add_option("ID", o->ruleIds, "rule ids")
        ->required();
}

} // namespace app
