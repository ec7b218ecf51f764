#include "Records/Groups.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "RecordStore.h"
#include "Records/RecordText.h"

using Host::Records::FitsInt32;
using Host::Records::Missing;
using Host::Records::Read;
using Host::Records::Refused;
using Host::Records::Write;
using Host::Stmt;
using Util::Status;

namespace {

// A record number written as a whole decimal number, nothing else.
bool ParseRecNum(std::string_view text, int& recNum) {
    if (text.empty() || text.size() > 11) return false;
    const bool negative = text[0] == '-';
    std::size_t i = negative ? 1 : 0;
    if (i == text.size()) return false;
    // At most eleven characters: the value fits a long long whatever they are.
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    if (negative) value = -value;
    if (!FitsInt32(value)) return false;
    recNum = static_cast<int>(value);
    return true;
}

// A group read from the company file; it owns the rules it was read with.
class StoredGroup : public Group {
public:
    StoredGroup() = default;
    StoredGroup(const StoredGroup& other) : Group(other) { CopyRulesFrom(other); }
    StoredGroup& operator=(const StoredGroup&) = delete;
    ~StoredGroup() override = default;

    Status LoadFrom(Host::Connection* db, long groupId, bool withRules = true);
    Status Reload() override;
    Group* Clone() const override { return new StoredGroup(*this); }

private:
    void CopyRulesFrom(const Group& other) {
        m_owned.clear();
        m_rules.clear();
        for (const Rule* r : other.GetRules()) {
            m_owned.push_back(std::make_unique<Rule>(*r));
            m_rules.push_back(m_owned.back().get());
        }
    }
    std::vector<std::unique_ptr<Rule>> m_owned;
};

Status StoredGroup::LoadFrom(Host::Connection* db, long groupId, bool withRules) {
    Stmt header(db, "SELECT id, entity_type, group_type, name, description, used_by FROM entity_groups WHERE id = ?1");
    header.Bind(1, static_cast<std::int32_t>(groupId));
    if (!header.Step()) return Status::NotFound();
    m_id = static_cast<long>(header.Int(0));
    m_groupEntityType = static_cast<int>(header.Int(1));
    m_groupType = static_cast<DLPGroupType>(header.Int(2));
    m_groupName = header.Text(3);
    m_groupDesc = header.Text(4);
    m_usedBy = header.Text(5);
    if (!withRules) {
        m_owned.clear();
        m_rules.clear();
        return Status::GetSucceeded();
    }

    std::vector<std::unique_ptr<Rule>> owned;
    Stmt rules(db, "SELECT id, attribute, operator, value FROM entity_group_rules WHERE group_id = ?1 ORDER BY id");
    rules.Bind(1, static_cast<std::int32_t>(groupId));
    while (rules.Step()) {
        auto rule = std::make_unique<Rule>();
        rule->SetId(static_cast<long>(rules.Int(0)));
        rule->SetAttribute(static_cast<int>(rules.Int(1)));
        rule->SetOperator(static_cast<int>(rules.Int(2)));
        rule->AddValue(rules.Text(3));
        owned.push_back(std::move(rule));
    }
    m_owned = std::move(owned);
    m_rules.clear();
    for (const auto& r : m_owned) m_rules.push_back(r.get());
    return Status::GetSucceeded();
}

Status StoredGroup::Reload() {
    const long id = m_id;
    return Read("Group.Reload", nullptr, [&](Host::Connection* db) { return LoadFrom(db, id); });
}

// Writes a group header and replaces its rules, on an open connection.
struct GroupTexts {
    std::string name;
    std::string description;
    std::string usedBy;
};

Status SaveGroupOn(Host::Connection* db, const DMEntityGroupsHeader::DBEntityGroupsHeader& header, const GroupTexts& texts,
                   const std::vector<DMEntityGroupRules::DBEntityGroupRules>& rules, long& groupId) {
    const std::string& name = texts.name;
    const std::string& description = texts.description;
    const std::string& usedBy = texts.usedBy;
    long id = groupId;
    if (id > 0) {
        Stmt(db, "UPDATE entity_groups SET entity_type = ?2, group_type = ?3, name = ?4, description = ?5, "
                 "used_by = ?6 WHERE id = ?1")
            .Bind(1, static_cast<std::int32_t>(id))
            .Bind(2, header.GroupEntityType)
            .Bind(3, header.GroupType)
            .Bind(4, name)
            .Bind(5, description)
            .Bind(6, usedBy)
            .Run();
        if (db->Changes() == 0) return Missing();
        Stmt(db, "DELETE FROM entity_group_rules WHERE group_id = ?1").Bind(1, static_cast<std::int32_t>(id)).Run();
    } else {
        Stmt ins(db, Host::Records::InsertReturning(db, "INSERT INTO entity_groups(entity_type, group_type, name, description, used_by) "
                     "VALUES(?1, ?2, ?3, ?4, ?5)", "id").c_str());
        ins.Bind(1, header.GroupEntityType)
            .Bind(2, header.GroupType)
            .Bind(3, name)
            .Bind(4, description)
            .Bind(5, usedBy);
        std::int32_t newId = 0;
        if (!Host::Records::NewId32(db, ins, newId)) return Status::GetFailed();
        id = newId;
    }
    Stmt ins(db, "INSERT INTO entity_group_rules(group_id, attribute, operator, value) VALUES(?1, ?2, ?3, ?4)");
    for (const auto& rule : rules) {
        ins.Reset();
        ins.Bind(1, static_cast<std::int32_t>(id))
            .Bind(2, rule.Attribute)
            .Bind(3, rule.Operator)
            .Bind(4, Host::BoundedText(rule.Value, sizeof rule.Value));
        ins.Run();
    }
    groupId = id;
    return Status::GetSucceeded();
}

std::set<int> HiddenCustomers(Host::Connection* db) {
    std::set<int> hidden;
    Stmt q(db, "SELECT id FROM customers WHERE hidden <> 0");
    while (q.Step()) hidden.insert(static_cast<int>(q.Int(0)));
    return hidden;
}

} // namespace

// --- Rule ------------------------------------------------------------------------
Rule::Rule(const Rule& other) = default;
Rule::Rule(Rule&& other) noexcept
    : m_id(other.m_id), m_attribute(other.m_attribute), m_operator(other.m_operator),
      m_values(std::move(other.m_values)) {
    other.m_values.clear();
}
Rule& Rule::operator=(const Rule& other) = default;
Rule& Rule::operator=(Rule&& other) noexcept {
    if (this != &other) {
        m_id = other.m_id;
        m_attribute = other.m_attribute;
        m_operator = other.m_operator;
        m_values = std::move(other.m_values);
        other.m_values.clear();
    }
    return *this;
}
Rule::~Rule() = default;

// --- Group -----------------------------------------------------------------------
Group::~Group() = default;

std::unordered_set<int> Group::GetTargetRecNumsOfTheGroup() const {
    std::unordered_set<int> recNums;
    for (const Rule* rule : m_rules) {
        if (!rule || rule->GetAttribute() != kCustomerRecNumAttribute) continue;
        for (const std::string& value : rule->GetValues()) {
            int recNum = 0;
            if (ParseRecNum(value, recNum)) recNums.insert(recNum);
        }
    }
    return recNums;
}

Status Group::GetTargetRecNumsOfTheGroup(long groupId, std::unordered_set<int>& recNums) {
    return Read("Group.GetTargetRecNums", nullptr, [&](Host::Connection* db) {
        // Rule order, as a group read with its rules gives them: the set is
        // filled in the same order and so iterates in the same order.
        Stmt q(db, "SELECT value FROM entity_group_rules WHERE group_id = ?1 AND attribute = ?2 ORDER BY id");
        q.Bind(1, static_cast<std::int32_t>(groupId)).Bind(2, kCustomerRecNumAttribute);
        std::unordered_set<int> found;
        while (q.Step()) {
            int recNum = 0;
            if (ParseRecNum(q.TextView(0), recNum)) found.insert(recNum);
        }
        recNums = std::move(found);
        return Status::GetSucceeded();
    });
}

Status Group::GetTargetRecNumList(long groupId, std::vector<int>& recNums) {
    return Read("Group.GetTargetRecNums", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT value FROM entity_group_rules WHERE group_id = ?1 AND attribute = ?2 ORDER BY id");
        q.Bind(1, static_cast<std::int32_t>(groupId)).Bind(2, kCustomerRecNumAttribute);
        std::vector<int> found;
        while (q.Step()) {
            int recNum = 0;
            if (ParseRecNum(q.TextView(0), recNum)) found.push_back(recNum);
        }
        recNums = std::move(found);
        return Status::GetSucceeded();
    });
}

Status Group::GetGroupById(long groupId, Group*& group) { return GetGroupById(groupId, group, true); }

Status Group::GetGroupById(long groupId, Group*& group, bool withRules) {
    group = nullptr;
    auto loaded = std::make_unique<StoredGroup>();
    Status status = Read("Group.GetGroupById", nullptr,
                         [&](Host::Connection* db) { return loaded->LoadFrom(db, groupId, withRules); });
    if (status.Succeeded() && status.GetStatusCode() == Status::kOk) group = loaded.release();
    return status;
}

const char* Group::GetFilteredEntityListForThisGroup(bool includeHidden) {
    const std::unordered_set<int> members = GetTargetRecNumsOfTheGroup();
    std::vector<int> sorted(members.begin(), members.end());
    std::sort(sorted.begin(), sorted.end());
    if (!includeHidden && !sorted.empty()) {
        std::set<int> hidden;
        Status status = Read("Group.GetFilteredEntityList", nullptr, [&](Host::Connection* db) {
            hidden = HiddenCustomers(db);
            return Status::GetSucceeded();
        });
        if (status.Failed()) {
            // Without knowing who is hidden, nobody is listed.
            sorted.clear();
        }
        sorted.erase(std::remove_if(sorted.begin(), sorted.end(), [&](int r) { return hidden.count(r) > 0; }),
                     sorted.end());
    }
    m_filteredEntityList.clear();
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i) m_filteredEntityList += ',';
        m_filteredEntityList += std::to_string(sorted[i]);
    }
    return m_filteredEntityList.c_str();
}

bool Group::ContainsEntity(int recNum) const { return GetTargetRecNumsOfTheGroup().count(recNum) > 0; }
std::size_t Group::GetEntityCount() const { return GetTargetRecNumsOfTheGroup().size(); }
bool Group::IsEmpty() const { return GetEntityCount() == 0; }

bool Group::IsUsed() const {
    if (m_id <= 0) return false;
    bool used = false;
    Status status = Read("Group.IsUsed", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT 1 FROM reminder_sets WHERE target_group_id = ?1 LIMIT 1");
        q.Bind(1, static_cast<std::int32_t>(m_id));
        used = q.Step();
        return Status::GetSucceeded();
    });
    // When the question cannot be answered, the group counts as used: a
    // caller deciding whether it may delete it must not.
    return status.Failed() || used;
}

bool Group::IsValidGroup() const { return m_id > 0 && !m_groupName.empty(); }

Status Group::Reload() {
    // A group made by hand has no stored rules of its own to read back.
    return Status::GetFailed();
}

Status Group::Save(DBMgr::DMTransaction* txn) {
    DMEntityGroupsHeader::DBEntityGroupsHeader header;
    header.GroupId = static_cast<std::int32_t>(m_id);
    header.GroupEntityType = m_groupEntityType;
    header.GroupType = m_groupType;
    DMEntityGroupsHeader::SetName(header, m_groupName);
    DMEntityGroupsHeader::SetDescription(header, m_groupDesc);
    DMEntityGroupsHeader::SetUsedBy(header, m_usedBy);
    std::vector<DMEntityGroupRules::DBEntityGroupRules> records;
    for (const Rule* rule : m_rules) {
        if (!rule) continue;
        for (const std::string& value : rule->GetValues()) {
            DMEntityGroupRules::DBEntityGroupRules record;
            record.GroupId = header.GroupId;
            record.Attribute = rule->GetAttribute();
            record.Operator = rule->GetOperator();
            DMEntityGroupRules::SetValue(record, value);
            records.push_back(record);
        }
    }
    long id = m_id;
    Status status = DLPGroupManager::DLPGroupManager::SaveGroup(header, records, id, txn);
    if (status.Succeeded()) m_id = id;
    return status;
}

Group* Group::Clone() const { return new Group(*this); }

// --- records ---------------------------------------------------------------------
namespace DMEntityGroupsHeader {
void SetName(DBEntityGroupsHeader& header, const std::string& name) {
    Host::CopyBoundedText(header.Name, sizeof header.Name, name);
}
void SetDescription(DBEntityGroupsHeader& header, const std::string& description) {
    Host::CopyBoundedText(header.Description, sizeof header.Description, description);
}
void SetUsedBy(DBEntityGroupsHeader& header, const std::string& usedBy) {
    Host::CopyBoundedText(header.UsedBy, sizeof header.UsedBy, usedBy);
}
} // namespace DMEntityGroupsHeader

namespace DMEntityGroupRules {
void SetValue(DBEntityGroupRules& rule, const std::string& value) {
    Host::CopyBoundedText(rule.Value, sizeof rule.Value, value);
}
} // namespace DMEntityGroupRules

namespace DLPGroupManager {

Status DLPGroupManager::SaveGroup(const DMEntityGroupsHeader::DBEntityGroupsHeader& header,
                                  const std::vector<DMEntityGroupRules::DBEntityGroupRules>& rules, long& groupId,
                                  DBMgr::DMTransaction* txn) {
    long id = groupId;
    const GroupTexts texts{Host::BoundedText(header.Name, sizeof header.Name),
                           Host::BoundedText(header.Description, sizeof header.Description),
                           Host::BoundedText(header.UsedBy, sizeof header.UsedBy)};
    Status status = Write("GroupManager.SaveGroup", txn,
                          [&](Host::Connection* db) { return SaveGroupOn(db, header, texts, rules, id); });
    if (status.Succeeded()) groupId = id;
    return status;
}

Status DLPGroupManager::DeleteGroup(long groupId, DBMgr::DMTransaction* txn) {
    return Write("GroupManager.DeleteGroup", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM entity_group_rules WHERE group_id = ?1")
            .Bind(1, static_cast<std::int32_t>(groupId))
            .Run();
        Stmt(db, "DELETE FROM entity_groups WHERE id = ?1").Bind(1, static_cast<std::int32_t>(groupId)).Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Status::NotFound();
    });
}

} // namespace DLPGroupManager

// --- the application's view --------------------------------------------------------
namespace Host {

Status CreateCustomerGroup(const std::string& name, const std::string& description,
                           const std::vector<int>& customerRecNums, long& groupId, DBMgr::DMTransaction* txn) {
    DMEntityGroupsHeader::DBEntityGroupsHeader header;
    // A reminder set reads its group back with these limits in characters:
    // a longer text stored here would make every listing of the sets fail.
    // The texts are stored whole, not through the header's byte buffers.
    if (name.empty() || Host::Utf8Length(name) > kCustomerGroupNameChars) return Refused();
    if (Host::Utf8Length(description) > kCustomerGroupDescriptionChars) return Refused();
    if (name.find('\0') != std::string::npos || description.find('\0') != std::string::npos) return Refused();
    header.GroupEntityType = kCustomerEntityType;
    header.GroupType = DLPGroupType_Static;
    const GroupTexts texts{name, description, ""};

    std::set<int> members(customerRecNums.begin(), customerRecNums.end());
    long id = -1;
    Status status = Write("Group.Create", txn, [&](Host::Connection* db) {
        {
            Stmt taken(db, "SELECT 1 FROM entity_groups WHERE lower(name) = lower(?1) AND entity_type = ?2");
            taken.Bind(1, name).Bind(2, kCustomerEntityType);
            if (taken.Step()) return Refused();
        }
        std::vector<DMEntityGroupRules::DBEntityGroupRules> rules;
        Stmt known(db, "SELECT 1 FROM customers WHERE id = ?1");
        for (int recNum : members) {
            known.Reset();
            known.Bind(1, recNum);
            if (!known.Step()) return Refused();
            DMEntityGroupRules::DBEntityGroupRules rule;
            rule.Attribute = kCustomerRecNumAttribute;
            DMEntityGroupRules::SetValue(rule, std::to_string(recNum));
            rules.push_back(rule);
        }
        return SaveGroupOn(db, header, texts, rules, id);
    });
    if (status.Succeeded()) groupId = id;
    return status;
}

Status ListGroups(std::vector<GroupSummary>& out) {
    return Read("Group.List", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT g.id, g.name, g.description, g.used_by, "
                   "(SELECT count(DISTINCT r.value) FROM entity_group_rules r "
                   " WHERE r.group_id = g.id AND r.attribute = ?1) "
                   "FROM entity_groups g ORDER BY g.id");
        q.Bind(1, kCustomerRecNumAttribute);
        std::vector<GroupSummary> rows;
        while (q.Step()) {
            GroupSummary s;
            s.id = static_cast<long>(q.Int(0));
            s.name = q.Text(1);
            s.description = q.Text(2);
            s.usedBy = q.Text(3);
            s.memberCount = static_cast<long>(q.Int(4));
            rows.push_back(s);
        }
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

} // namespace Host
