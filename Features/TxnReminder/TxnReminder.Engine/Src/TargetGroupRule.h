#pragma once

#include <cstdint>

#include "TxnReminderDefines.h"

// Which statement rule a statement request of GetStmtData belongs to, and the
// e-mail template its statements go out with. Both fields are 32-bit; wider
// values keep their low 32 bits.
class TXNREMINDER_API TargetGroupRule {
public:
    TargetGroupRule();
    TargetGroupRule(unsigned long ruleId, long emailTemplateId);

    unsigned long GetRuleId() const { return m_ruleId; }
    long GetEmailTemplateId() const { return m_emailTemplateId; }

private:
    std::uint32_t m_ruleId;
    std::int32_t m_emailTemplateId;
};
