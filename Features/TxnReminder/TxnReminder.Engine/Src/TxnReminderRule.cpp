#include "TxnReminderRule.h"

#include <cstdint>

#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderRule"

namespace {
unsigned long Id32(unsigned long id) { return static_cast<std::uint32_t>(id); }
} // namespace

TxnReminderRule::TxnReminderRule() : m_ruleSetId(0), m_ruleId(0) {}

TxnReminderRule::TxnReminderRule(const unsigned long& ruleSetId, const unsigned long& ruleId)
    : m_ruleSetId(Id32(ruleSetId)), m_ruleId(Id32(ruleId)) {}

TxnReminderRule::TxnReminderRule(const TxnReminderRule& other) : IPtreeManager(other), m_ruleSetId(0), m_ruleId(0) {
    AssignParams(other);
}

TxnReminderRule& TxnReminderRule::operator=(const TxnReminderRule& other) {
    AssignParams(other);
    return *this;
}

TxnReminderRule::~TxnReminderRule() = default;

void TxnReminderRule::AssignParams(const TxnReminderRule& other) {
    m_ruleSetId = other.m_ruleSetId;
    m_ruleId = other.m_ruleId;
    m_ruleCriteria = other.m_ruleCriteria;
    m_ruleTemplate = other.m_ruleTemplate;
}

void TxnReminderRule::SetRuleSetId(unsigned long ruleSetId) { m_ruleSetId = Id32(ruleSetId); }
void TxnReminderRule::SetRuleId(unsigned long ruleId) { m_ruleId = Id32(ruleId); }

bool TxnReminderRule::operator<(const TxnReminderRule& other) const {
    const int schedule = m_ruleCriteria.GetSchedule();
    const int otherSchedule = other.m_ruleCriteria.GetSchedule();
    if (schedule == otherSchedule) {
        if (schedule == TxnReminderRuleCriteria::kScheduleBefore) {
            return m_ruleCriteria.GetDays() > other.m_ruleCriteria.GetDays();
        }
        return m_ruleCriteria.GetDays() < other.m_ruleCriteria.GetDays();
    }
    if (schedule == TxnReminderRuleCriteria::kScheduleBefore) return true;
    if (schedule == 0) return otherSchedule == TxnReminderRuleCriteria::kScheduleAfter;
    return false;
}

bool TxnReminderRule::GetPtree(boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        PutNumber(tree, "id", m_ruleId);
        PutNumber(tree, "setId", m_ruleSetId);

        Tree criterion;
        if (!static_cast<IPtreeManager&>(m_ruleCriteria).GetPtree(criterion)) {
            TXNR_FAILURE("TxnReminder: Error occurred while constructing Ptree at m_ruleCriteria.GetTree");
            return false;
        }
        AddSubTree(tree, "criterion", criterion);

        Tree message;
        if (!static_cast<IPtreeManager&>(m_ruleTemplate).GetPtree(message)) {
            TXNR_FAILURE("TxnReminder: Error occurred while constructing Ptree at m_ruleTemplate.GetTree");
            return false;
        }
        AddSubTree(tree, "template", message);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Error occurred while constructing Ptree at TxnReminderRule::SetPtree");
        return false;
    }
}

bool TxnReminderRule::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_ruleSetId = ReadUInt32(tree, "setId");
        m_ruleId = ReadUInt32(tree, "id");

        TxnReminderRuleCriteria criteria;
        if (!criteria.SetPtree(ReadChild(tree, "criterion"))) {
            TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleCriteria::SetPtree");
            return false;
        }
        m_ruleCriteria = criteria;

        TxnReminderRuleTemplate ruleTemplate;
        if (!ruleTemplate.SetPtree(ReadChild(tree, "template"))) {
            TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleTemplate::SetPtree");
            return false;
        }
        m_ruleTemplate = ruleTemplate;
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRule::SetPtree");
        return false;
    }
}
