#include "TxnReminderRuleTemplate.h"

#include <cstdint>

#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderRuleTemplate"

namespace {
// The screens name the invoice template type by this text.
constexpr const char kInvoiceTypeText[] = "INV_TYPE";
} // namespace

TxnReminderRuleTemplate::TxnReminderRuleTemplate() : m_templateId(-1), m_templateTypeId(-1) {}

TxnReminderRuleTemplate::TxnReminderRuleTemplate(int templateTypeId, Util::TString body, Util::TString subject)
    : m_templateId(-1), m_templateTypeId(templateTypeId), m_templateBody(body), m_templateSubject(subject) {}

TxnReminderRuleTemplate::TxnReminderRuleTemplate(const TxnReminderRuleTemplate& other)
    : IPtreeManager(other), m_templateId(-1), m_templateTypeId(-1) {
    AssignParams(other);
}

TxnReminderRuleTemplate& TxnReminderRuleTemplate::operator=(const TxnReminderRuleTemplate& other) {
    AssignParams(other);
    return *this;
}

TxnReminderRuleTemplate::~TxnReminderRuleTemplate() { ResetParams(); }

void TxnReminderRuleTemplate::AssignParams(const TxnReminderRuleTemplate& other) {
    m_templateId = other.m_templateId;
    m_templateTypeId = other.m_templateTypeId;
    m_templateBody = other.m_templateBody;
    m_templateSubject = other.m_templateSubject;
}

void TxnReminderRuleTemplate::ResetParams() {
    m_templateId = -1;
    m_templateTypeId = -1;
    m_templateBody.clear();
    m_templateSubject.clear();
}

void TxnReminderRuleTemplate::SetTemplateId(long templateId) {
    m_templateId = static_cast<std::int32_t>(templateId);
}

bool TxnReminderRuleTemplate::GetPtree(boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        PutNumber(tree, "id", m_templateId);
        PutNumber(tree, "typeId", m_templateTypeId);
        PutText(tree, "body", m_templateBody);
        PutText(tree, "subject", m_templateSubject);
        return true;
    } catch (const std::exception&) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled constructing Ptree at TxnReminderRuleTemplate::SetPtree");
        return false;
    }
}

bool TxnReminderRuleTemplate::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_templateId = ReadInt32(tree, "id");
        if (ReadText(tree, "typeId") == kInvoiceTypeText) m_templateTypeId = kInvoiceTemplateType;
        if (HasDirectChild(tree, "body")) {
            const std::string& body = ReadText(tree, "body");
            const std::string& subject = ReadText(tree, "subject");
            m_templateBody = ToTString(body);
            m_templateSubject = ToTString(subject);
        }
        return true;
    } catch (const std::exception&) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleTemplate::SetPtree");
        return false;
    }
}
