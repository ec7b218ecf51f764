#pragma once

#include "IPtreeManager.h"
#include "TxnReminderDefines.h"
#include "Util/TString.h"

// The message of an invoice reminder: subject and body of a stored template.
class TXNREMINDER_API TxnReminderRuleTemplate : public IPtreeManager {
public:
    static constexpr int kInvoiceTemplateType = 15;

    TxnReminderRuleTemplate();
    TxnReminderRuleTemplate(int templateTypeId, Util::TString body, Util::TString subject);
    TxnReminderRuleTemplate(const TxnReminderRuleTemplate& other);
    TxnReminderRuleTemplate& operator=(const TxnReminderRuleTemplate& other);

    bool GetPtree(boost::property_tree::ptree& tree) override;
    bool SetPtree(const boost::property_tree::ptree& tree) override;
    ~TxnReminderRuleTemplate() override;

    // Template ids are 32-bit; a wider value keeps its low 32 bits.
    long GetTemplateId() const { return m_templateId; }
    void SetTemplateId(long templateId);
    int GetTemplateTypeId() const { return m_templateTypeId; }
    void SetTemplateTypeId(int templateTypeId) { m_templateTypeId = templateTypeId; }
    Util::TString GetTemplateBody() const { return m_templateBody; }
    void SetTemplateBody(Util::TString body) { m_templateBody = body; }
    Util::TString GetTemplateSubject() const { return m_templateSubject; }
    void SetTemplateSubject(Util::TString subject) { m_templateSubject = subject; }

private:
    void AssignParams(const TxnReminderRuleTemplate& other);
    void ResetParams();

    long m_templateId;
    int m_templateTypeId;
    Util::TString m_templateBody;
    Util::TString m_templateSubject;
};
