#include "TxnReminderTargetGroup.h"

#include <cstdint>

#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderTargetGroup"

TxnReminderTargetGroup::TxnReminderTargetGroup() : m_targetGroupId(0), m_targetGroupType(0) {}

TxnReminderTargetGroup::TxnReminderTargetGroup(const TxnReminderTargetGroup& other) = default;
TxnReminderTargetGroup& TxnReminderTargetGroup::operator=(const TxnReminderTargetGroup& other) = default;
TxnReminderTargetGroup::~TxnReminderTargetGroup() = default;

void TxnReminderTargetGroup::SetTargetGroupId(long targetGroupId) {
    m_targetGroupId = static_cast<std::int32_t>(targetGroupId);
}

bool TxnReminderTargetGroup::GetPtree(boost::property_tree::ptree& tree) const {
    using namespace TxnReminderPtree;
    PutNumber(tree, "id", m_targetGroupId);
    PutText(tree, "name", m_targetGroupName);
    PutText(tree, "description", m_targetGroupDescription);
    return true;
}

bool TxnReminderTargetGroup::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_targetGroupId = ReadInt32(tree, "id");
        m_targetGroupType = static_cast<short>(ParseIntPrefix(ReadText(tree, "typeId")));
        const std::string& name = ReadText(tree, "name");
        const std::string& description = ReadText(tree, "description");
        m_targetGroupName = ToTString(name);
        m_targetGroupDescription = ToTString(description);
        AppendIdArray(tree, "addedtargetuserids", m_targetUserIds);
        AppendIdArray(tree, "removedtargetuserids", m_removedTargetUserIds);
        AppendIdArray(tree, "updatedtargetuserids", m_updatedTargetUserIds);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderTargetGroup::SetPtree");
        return false;
    }
}
