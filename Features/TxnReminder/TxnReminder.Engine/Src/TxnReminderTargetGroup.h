#pragma once

#include <boost/property_tree/ptree.hpp>
#include <memory>
#include <vector>

#include "TxnReminderDefines.h"
#include "Util/TString.h"

// The customers a reminder set addresses: identity, name, description and
// type, the member ids, and the ids an edit removed or updated. The id is
// signed 32-bit; a wider value keeps its low 32 bits.
class TXNREMINDER_API TxnReminderTargetGroup {
public:
    TxnReminderTargetGroup();
    TxnReminderTargetGroup(const TxnReminderTargetGroup& other);
    TxnReminderTargetGroup& operator=(const TxnReminderTargetGroup& other);
    virtual ~TxnReminderTargetGroup();

    // Writes "id", "name" and "description" only. Lets the tree library's
    // errors pass to the caller.
    bool GetPtree(boost::property_tree::ptree& tree) const;
    // Reads a group edit from the screens; appends the three id arrays to
    // what the object already holds.
    bool SetPtree(const boost::property_tree::ptree& tree);

    long GetTargetGroupId() const { return m_targetGroupId; }
    void SetTargetGroupId(long targetGroupId);
    short GetTargetGroupType() const { return m_targetGroupType; }
    void SetTargetGroupType(short type) { m_targetGroupType = type; }
    Util::TString GetTargetGroupName() const { return m_targetGroupName; }
    void SetTargetGroupName(Util::TString name) { m_targetGroupName = name; }
    Util::TString GetTargetGroupDescription() const { return m_targetGroupDescription; }
    void SetTargetGroupDescription(Util::TString description) { m_targetGroupDescription = description; }

    std::vector<int> GetTargetUserIds() const;
    void SetTargetUserIds(std::vector<int> ids);
    void AddTargetUserIds(int id);
    // Whether the id is among the target user ids. Copies of a group share
    // one hashed index of its members, built on the first question, so asking
    // for every invoice of a large group stays cheap.
    bool HasTargetUser(int id) const;
    std::vector<int> GetRemovedTargetUserIds() const { return m_removedTargetUserIds; }
    void SetRemovedTargetUserIds(std::vector<int> ids) { m_removedTargetUserIds = ids; }
    std::vector<int> GetUpdatedTargetUserIds() const { return m_updatedTargetUserIds; }
    void SetUpdatedTargetUserIds(std::vector<int> ids) { m_updatedTargetUserIds = ids; }

private:
    // Members are shared between copies and copied on the first change that
    // a shared list would see.
    class MemberList;
    std::vector<int>& MutableTargetUserIds();

    long m_targetGroupId;
    short m_targetGroupType;
    Util::TString m_targetGroupName;
    Util::TString m_targetGroupDescription;
    std::shared_ptr<MemberList> m_targetUserIds;
    std::vector<int> m_removedTargetUserIds;
    std::vector<int> m_updatedTargetUserIds;
};
