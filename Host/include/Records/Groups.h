#pragma once

// Permission groups: named groups of entities (here customers) defined by
// rules. A rule with attribute kCustomerRecNumAttribute lists customer record
// numbers as decimal texts; the group's members are the union of those.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "DB/DBManager.h"
#include "Util/HostApi.h"
#include "Util/Status.h"

enum DLPGroupType : int {
    DLPGroupType_None = 0,
    DLPGroupType_Static = 1,     // members listed one by one
    DLPGroupType_RuleBased = 2,  // members described by other attributes
};

// Attribute of a rule whose values are customer record numbers.
constexpr int kCustomerRecNumAttribute = 554288;
// Entity type of customer groups.
constexpr int kCustomerEntityType = 1;

class HOST_API Rule {
public:
    Rule() = default;
    Rule(const Rule& other);
    Rule(Rule&& other) noexcept;
    Rule& operator=(const Rule& other);
    Rule& operator=(Rule&& other) noexcept;
    ~Rule();

    long GetId() const { return m_id; }
    void SetId(long id) { m_id = id; }
    int GetAttribute() const { return m_attribute; }
    void SetAttribute(int attribute) { m_attribute = attribute; }
    int GetOperator() const { return m_operator; }
    void SetOperator(int op) { m_operator = op; }
    std::vector<std::string> GetValues() const { return m_values; }
    void SetValues(std::vector<std::string> values) { m_values = values; }
    void AddValue(std::string value) { m_values.push_back(value); }

private:
    long m_id = 0;
    int m_attribute = 0;
    int m_operator = 0;
    std::vector<std::string> m_values;
};

class HOST_API Group {
public:
    Group() = default;
    Group(const Group& other) = default;
    Group& operator=(const Group& other) = default;
    virtual ~Group();

    // Member record numbers as a comma-separated text, ascending; with
    // `includeHidden` false the hidden customers are left out. The text lives
    // as long as the group or its next call.
    virtual const char* GetFilteredEntityListForThisGroup(bool includeHidden);
    // The service's further operations; a loaded group answers them from the
    // company file.
    virtual bool ContainsEntity(int recNum) const;
    virtual std::size_t GetEntityCount() const;
    virtual bool IsEmpty() const;
    virtual bool IsUsed() const;
    virtual bool IsValidGroup() const;
    virtual Util::Status Reload();
    virtual Util::Status Save(DBMgr::DMTransaction* txn = nullptr);
    virtual Group* Clone() const;

    long GetId() const { return m_id; }
    void SetId(long id) { m_id = id; }
    int GetGroupEntityType() const { return m_groupEntityType; }
    void SetGroupEntityType(int type) { m_groupEntityType = type; }
    DLPGroupType GetGroupType() const { return m_groupType; }
    void SetGroupType(DLPGroupType type) { m_groupType = type; }
    std::string GetGroupName() const { return m_groupName; }
    void SetGroupName(std::string name) { m_groupName = name; }
    std::string GetGroupDesc() const { return m_groupDesc; }
    void SetGroupDesc(std::string desc) { m_groupDesc = desc; }
    std::string GetUsedBy() const { return m_usedBy; }
    void SetUsedBy(std::string usedBy) { m_usedBy = usedBy; }
    // The group does not own its rules: copies share the pointers.
    std::vector<Rule*> GetRules() const { return m_rules; }
    void SetRules(std::vector<Rule*> rules) { m_rules = rules; }
    void AddRule(Rule* rule) {
        if (rule) m_rules.push_back(rule);
    }

    // Customer record numbers named by the rules of attribute
    // kCustomerRecNumAttribute (values that are not whole numbers ignored).
    std::unordered_set<int> GetTargetRecNumsOfTheGroup() const;
    // The same for a stored group, without building it.
    static Util::Status GetTargetRecNumsOfTheGroup(long groupId, std::unordered_set<int>& recNums);
    // The same read, as the rules list them: in rule order, a number named by
    // two rules twice. For a caller that only asks who is a member.
    static Util::Status GetTargetRecNumList(long groupId, std::vector<int>& recNums);

    // Loads a stored group with its rules into a new object that the caller
    // owns (and that owns those rules). Absent: succeeds with 6042 and
    // `group` null.
    static Util::Status GetGroupById(long groupId, Group*& group);
    // The same; with `withRules` false only the group's own fields are read
    // (the group then has no rules), for callers that do not need members.
    static Util::Status GetGroupById(long groupId, Group*& group, bool withRules);

protected:
    long m_id = 0;
    int m_groupEntityType = 0;
    DLPGroupType m_groupType = DLPGroupType_None;
    std::string m_groupName;
    std::string m_groupDesc;
    std::string m_usedBy;
    std::vector<Rule*> m_rules;
    std::string m_filteredEntityList;
};

// --- records the group manager saves ------------------------------------------
namespace DMEntityGroupsHeader {

struct DBEntityGroupsHeader {
    std::int32_t GroupId = 0;
    std::int32_t GroupEntityType = 0;
    char Name[256] = {};
    char Description[275] = {};
    char UsedBy[65] = {};
    std::int32_t GroupType = 0;
};
static_assert(offsetof(DBEntityGroupsHeader, GroupEntityType) == 4, "group header layout");
static_assert(offsetof(DBEntityGroupsHeader, Name) == 8, "group header layout");
static_assert(offsetof(DBEntityGroupsHeader, Description) == 264, "group header layout");
static_assert(offsetof(DBEntityGroupsHeader, UsedBy) == 539, "group header layout");

// Bounded setters for the texts (cut at whole UTF-8 characters).
HOST_API void SetName(DBEntityGroupsHeader& header, const std::string& name);
HOST_API void SetDescription(DBEntityGroupsHeader& header, const std::string& description);
HOST_API void SetUsedBy(DBEntityGroupsHeader& header, const std::string& usedBy);

} // namespace DMEntityGroupsHeader

namespace DMEntityGroupRules {

struct DBEntityGroupRules {
    std::int32_t Operator = 0;
    std::int32_t RuleId = -1;   // -1: a new rule
    std::int32_t GroupId = 0;   // ignored by SaveGroup, which uses the group's id
    std::int32_t Attribute = 0;
    char Value[276] = {};
};
static_assert(sizeof(DBEntityGroupRules) == 292, "group rule record is 292 bytes");
static_assert(offsetof(DBEntityGroupRules, RuleId) == 4, "group rule layout");
static_assert(offsetof(DBEntityGroupRules, GroupId) == 8, "group rule layout");
static_assert(offsetof(DBEntityGroupRules, Attribute) == 12, "group rule layout");
static_assert(offsetof(DBEntityGroupRules, Value) == 16, "group rule layout");

HOST_API void SetValue(DBEntityGroupRules& rule, const std::string& value);

} // namespace DMEntityGroupRules

namespace DLPGroupManager {

class HOST_API DLPGroupManager {
public:
    // Stores a group and its rules in one unit. `groupId` not positive: a new
    // group, whose id is handed back; positive: that group is rewritten and
    // its rules replaced (6042 failure when absent).
    static Util::Status SaveGroup(const DMEntityGroupsHeader::DBEntityGroupsHeader& header,
                                  const std::vector<DMEntityGroupRules::DBEntityGroupRules>& rules, long& groupId,
                                  DBMgr::DMTransaction* txn = nullptr);
    // Deletes a group with its rules (absent: succeeds with 6042).
    static Util::Status DeleteGroup(long groupId, DBMgr::DMTransaction* txn = nullptr);
};

} // namespace DLPGroupManager

// --- the application's view of groups -----------------------------------------
namespace Host {

struct GroupSummary {
    long id = 0;
    std::string name;
    std::string description;
    std::string usedBy;
    long memberCount = 0;
};

// Longest name and description of a customer group, in characters.
constexpr std::size_t kCustomerGroupNameChars = 50;
constexpr std::size_t kCustomerGroupDescriptionChars = 250;

// Creates a customer group with the given members (each must be a stored
// customer or job; duplicates kept once); hands back its id. Fails without
// writing (6043) when the name is empty or over its limit, the description
// over its limit, a group of that name exists, or a member is unknown.
HOST_API Util::Status CreateCustomerGroup(const std::string& name, const std::string& description,
                                          const std::vector<int>& customerRecNums, long& groupId,
                                          DBMgr::DMTransaction* txn = nullptr);
// Every group, in id order.
HOST_API Util::Status ListGroups(std::vector<GroupSummary>& out);

} // namespace Host
