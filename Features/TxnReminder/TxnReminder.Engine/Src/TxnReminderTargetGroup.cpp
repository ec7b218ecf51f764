#include "TxnReminderTargetGroup.h"

#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderTargetGroup"

class TxnReminderTargetGroup::MemberList {
public:
    MemberList() = default;
    explicit MemberList(std::vector<int> ids) : m_ids(std::move(ids)) {}

    const std::vector<int>& Ids() const { return m_ids; }
    // Only for a list that no other group sees and that was never indexed.
    std::vector<int>& MutableIds() { return m_ids; }
    bool Indexed() const { return m_indexed; }

    bool Contains(int id) const {
        std::call_once(m_indexOnce, [this] {
            m_index.reserve(m_ids.size());
            m_index.insert(m_ids.begin(), m_ids.end());
            m_indexed = true;
        });
        return m_index.count(id) > 0;
    }

private:
    std::vector<int> m_ids;
    mutable std::once_flag m_indexOnce;
    mutable std::unordered_set<int> m_index;
    mutable bool m_indexed = false;
};

TxnReminderTargetGroup::TxnReminderTargetGroup() : m_targetGroupId(0), m_targetGroupType(0) {}

TxnReminderTargetGroup::TxnReminderTargetGroup(const TxnReminderTargetGroup& other) = default;
TxnReminderTargetGroup& TxnReminderTargetGroup::operator=(const TxnReminderTargetGroup& other) = default;
TxnReminderTargetGroup::~TxnReminderTargetGroup() = default;

std::vector<int> TxnReminderTargetGroup::GetTargetUserIds() const {
    return m_targetUserIds ? m_targetUserIds->Ids() : std::vector<int>();
}

void TxnReminderTargetGroup::SetTargetUserIds(std::vector<int> ids) {
    m_targetUserIds = std::make_shared<MemberList>(std::move(ids));
}

void TxnReminderTargetGroup::AddTargetUserIds(int id) { MutableTargetUserIds().push_back(id); }

bool TxnReminderTargetGroup::HasTargetUser(int id) const { return m_targetUserIds && m_targetUserIds->Contains(id); }

std::vector<int>& TxnReminderTargetGroup::MutableTargetUserIds() {
    if (!m_targetUserIds) {
        m_targetUserIds = std::make_shared<MemberList>();
    } else if (m_targetUserIds.use_count() > 1 || m_targetUserIds->Indexed()) {
        // Other copies keep the list (and index) they had.
        m_targetUserIds = std::make_shared<MemberList>(m_targetUserIds->Ids());
    }
    return m_targetUserIds->MutableIds();
}

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
        if (HasDirectChild(tree, "addedtargetuserids"))
            AppendIdArray(tree, "addedtargetuserids", MutableTargetUserIds());
        AppendIdArray(tree, "removedtargetuserids", m_removedTargetUserIds);
        AppendIdArray(tree, "updatedtargetuserids", m_updatedTargetUserIds);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderTargetGroup::SetPtree");
        return false;
    }
}
