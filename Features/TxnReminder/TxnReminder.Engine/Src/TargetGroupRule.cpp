#include "TargetGroupRule.h"

TargetGroupRule::TargetGroupRule() : m_ruleId(0), m_emailTemplateId(0) {}

TargetGroupRule::TargetGroupRule(unsigned long ruleId, long emailTemplateId)
    : m_ruleId(static_cast<std::uint32_t>(ruleId)), m_emailTemplateId(static_cast<std::int32_t>(emailTemplateId)) {}
