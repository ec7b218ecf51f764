#include "TxnReminderSet.h"

#include <cstdint>
#include <stdexcept>

#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderSet"

namespace {
constexpr const char kInvoiceText[] = "Invoice";
constexpr const char kStatementText[] = "Statement";
constexpr const char kRuleRefused[] = "False returned in rule.GetPtree()";

unsigned long Id32(unsigned long id) { return static_cast<std::uint32_t>(id); }
} // namespace

TxnReminderSet::TxnReminderSet()
    : m_ruleSetId(0), m_targetGroupId(0), m_txnType(FormViewType_None), m_status(TxnReminderSetStatus_NotSet) {}

TxnReminderSet::TxnReminderSet(unsigned long ruleSetId, FormViewType txnType)
    : m_ruleSetId(Id32(ruleSetId)), m_targetGroupId(0), m_txnType(txnType), m_status(TxnReminderSetStatus_NotSet) {}

TxnReminderSet::TxnReminderSet(const TxnReminderSet& other) = default;
TxnReminderSet& TxnReminderSet::operator=(const TxnReminderSet& other) = default;

TxnReminderSet::~TxnReminderSet() { ResetParams(); }

void TxnReminderSet::ResetParams() {
    m_ruleSetId = 0;
    m_txnType = FormViewType_None;
    m_defaultTargetGroupName.clear();
    m_reminderSetName.clear();
    m_status = TxnReminderSetStatus_NotSet;
    m_targetGroupId = 0;
    m_reminderRules.clear();
    m_statementReminderRules.clear();
}

void TxnReminderSet::SetRuleSetId(unsigned long ruleSetId) {
    m_ruleSetId = Id32(ruleSetId);
    for (auto& rule : m_reminderRules) rule.SetRuleSetId(m_ruleSetId);
    for (auto& rule : m_statementReminderRules) rule.SetRuleSetId(m_ruleSetId);
}

void TxnReminderSet::SetTargetGroupId(long targetGroupId) { m_targetGroupId = static_cast<std::int32_t>(targetGroupId); }

bool TxnReminderSet::GetPtree(boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        PutNumber(tree, "id", m_ruleSetId);
        PutBool(tree, "status", m_status == TxnReminderSetStatus_Active);
        PutText(tree, "name", m_reminderSetName);
        PutNumber(tree, "targetGroupId", m_targetGroupId);
        PutText(tree, "targetGroupName", m_defaultTargetGroupName);
        if (m_txnType == FormViewType_Invoice) {
            PutText(tree, "txnType", std::string(kInvoiceText));
        } else if (m_txnType == FormViewType_Statement) {
            PutText(tree, "txnType", std::string(kStatementText));
        }

        Tree rules;
        for (const TxnReminderRule& stored : m_reminderRules) {
            TxnReminderRule rule(stored);
            Tree element;
            if (!rule.GetPtree(element)) throw std::runtime_error(kRuleRefused);
            AppendArrayElement(rules, element);
        }
        if (!m_reminderRules.empty()) AddSubTree(tree, "rules", rules);

        Tree statementRules;
        for (const StatementReminderRule& stored : m_statementReminderRules) {
            StatementReminderRule rule(stored);
            Tree element;
            if (!rule.GetPtree(element)) throw std::runtime_error(kRuleRefused);
            AppendArrayElement(statementRules, element);
        }
        if (!m_statementReminderRules.empty()) AddSubTree(tree, "statementRules", statementRules);
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder::Engine Error constructing Ptree in TxnReminderSet::GetPtree, trace=%s",
                     ExceptionText(e).c_str());
        return false;
    } catch (...) {
        TXNR_FAILURE("TxnReminder::Engine Error constructing Ptree in TxnReminderSet::GetPtree, trace=%s",
                     kUnknownException);
        return false;
    }
}

bool TxnReminderSet::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_ruleSetId = ReadUInt32(tree, "id");
        m_reminderSetName = ToTString(ReadText(tree, "name"));
        const std::string& status = ReadText(tree, "status");
        if (status == kTrue) {
            m_status = TxnReminderSetStatus_Active;
        } else if (status == kFalse) {
            m_status = TxnReminderSetStatus_Inactive;
        }
        m_targetGroupId = ReadInt32(tree, "targetGroupId");
        m_defaultTargetGroupName = ToTString(ReadText(tree, "targetGroupName"));
        const std::string& txnType = ReadText(tree, "txnType");
        if (txnType == kInvoiceText) {
            m_txnType = FormViewType_Invoice;
        } else if (txnType == kStatementText) {
            m_txnType = FormViewType_Statement;
        } else {
            m_txnType = FormViewType_None;
        }

        m_reminderRules.clear();
        for (const auto& child : ReadChild(tree, "rules")) {
            TxnReminderRule rule;
            if (!rule.SetPtree(child.second)) {
                TXNR_FAILURE("TxnReminder::Exception in TxnReminderSet::SetPtree while calling TxnReminderRule::SetPtree");
                return false;
            }
            m_reminderRules.push_back(rule);
        }

        m_statementReminderRules.clear();
        for (const auto& child : ReadChild(tree, "statementRules")) {
            StatementReminderRule rule;
            if (!rule.SetPtree(child.second)) {
                TXNR_FAILURE(
                    "TxnReminder::Exception in TxnReminderSet::SetPtree while calling StatementReminderRule::SetPtree");
                return false;
            }
            m_statementReminderRules.push_back(rule);
        }
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder::Engine Error parsing Ptree in TxnReminderSet::SetPtree, trace=%s",
                     ExceptionText(e).c_str());
        return false;
    } catch (...) {
        TXNR_FAILURE("TxnReminder::Engine Error parsing Ptree in TxnReminderSet::SetPtree, trace=%s", kUnknownException);
        return false;
    }
}
