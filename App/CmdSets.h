#pragma once

#include <map>
#include <string>
#include <vector>

#include "AppContext.h"
#include "TxnReminderSet.h"

namespace CLI {
class App;
}

namespace app {

// `sets list|export|import|delete`, `rules delete`.
void RegisterSetsCommands(CLI::App& cli, AppContext& ctx);

// Every reminder set of both views, invoices first, as the engine lists them.
// Throws AppError when the engine cannot list them.
std::vector<TxnReminderSet> LoadAllSets();

// "5 days before", "on the due date", "7 days after"; "every month on day 1".
std::string DescribeRule(const TxnReminderRule& rule);
std::string DescribeRule(const StatementReminderRule& rule);

// Saves reminder set trees through the engine, all or none; `source` names
// them in errors; `dropRules` (rules of the first set's kind) are deleted in
// the same unit of work. Returns the sets as saved (with their ids). Throws AppError.
std::vector<TxnReminderSet> SaveSetTrees(const std::vector<boost::property_tree::ptree>& trees, const std::string& source,
                                         std::vector<unsigned long> dropRules = {});
// Deletes one set with its rules; throws AppError.
void DeleteSet(long id);

void SetsList(const AppContext& ctx);
void SetsExport(const AppContext& ctx, long id);  // id 0: every set
// The reminder set trees of a JSON file as `sets import` takes it: one set,
// or {"sets": [...]}. Throws AppError naming the file.
std::vector<boost::property_tree::ptree> ReadSetTrees(const std::string& path);
void SetsImport(const AppContext& ctx, const std::string& path);
void SetsDelete(const AppContext& ctx, long id);
void RulesDelete(const AppContext& ctx, const std::vector<long>& ids);

} // namespace app
