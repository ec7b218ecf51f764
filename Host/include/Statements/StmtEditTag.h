#pragma once

// The statement-printing request: which customers, which statement date and
// transaction range, what to show and in which style. A statement reminder
// fills one per rule and hands it to the application, which prints and sends
// the statements and then frees it with StmtEditTag::Free.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Date/DateType32.h"
#include "Records/Names.h"
#include "Util/HostApi.h"

// The account a statement is drawn on; the default is accounts receivable.
class HOST_API CAccnt : public CAbstractEdListElement {
public:
    explicit CAccnt(int featureType = 1) : m_featureType(featureType) {}
    int GetFeatureType() const { return m_featureType; }

private:
    int m_featureType;
};

// A statement layout: the style (layout template) a statement prints with.
class HOST_API CCustomStyle {
public:
    explicit CCustomStyle(int featureType = 1) : m_featureType(featureType) {}
    CCustomStyle(long styleTemplateId, int featureType) : m_styleTemplateId(styleTemplateId), m_featureType(featureType) {}
    long GetStyleTemplateId() const { return m_styleTemplateId; }
    int GetFeatureType() const { return m_featureType; }

private:
    long m_styleTemplateId = 0;
    int m_featureType;
};

// The record lock a print request holds while it runs; none until printing.
class HOST_API CLockBase {
public:
    CLockBase() = default;
    bool IsLocked() const { return m_locked; }

private:
    bool m_locked = false;
};

// Header of a statement's customer list block; the ids (32-bit record
// numbers) follow it directly.
struct StmtCustomerListHeader {
    std::int32_t count;
    std::int32_t kind;  // 1: a list of customer record numbers
    unsigned char reserved[136];
};
static_assert(sizeof(StmtCustomerListHeader) == 144, "customer list header layout");

class HOST_API StmtEditTag {
public:
    static constexpr std::size_t kCustomerListHeaderBytes = sizeof(StmtCustomerListHeader);

    // A zeroed request with its member records built (feature type 1), or
    // null when none can be had (fault point "StmtEditTag.New").
    static StmtEditTag* New();
    // Frees the request and its customer list block; null is ignored.
    static void Free(StmtEditTag* handle);
    struct Deleter {
        void operator()(StmtEditTag* handle) const { Free(handle); }
    };

    StmtEditTag();
    ~StmtEditTag();
    StmtEditTag(const StmtEditTag&) = delete;
    StmtEditTag& operator=(const StmtEditTag&) = delete;

    // Hangs a block of Util::GetMemoryManager() on the request, which frees
    // it (and any block hung before) when it is freed.
    void SetCustomerList(void* block);
    void* GetCustomerList() const { return m_customerList; }
    // Read from the block: its count and ids as stored (0 / empty without one).
    int GetCustomerCount() const;
    std::vector<int> GetCustomerIds() const;

    // Which customers: 1 = the customer list block, and a second flag the
    // reminders leave at 0.
    std::int16_t m_listSelected = 0;
    std::int16_t m_listFiltered = 0;

    CName m_nameFilter{1};
    CAccnt m_account{1};
    CCustType m_custType{1};
    CCustomStyle m_style{1};
    CLockBase m_lock;
    char m_filler = 0;

    DateType32 m_statementDate;
    DateType32 m_fromDate;
    DateType32 m_toDate;

    // Transactions shown: open or overdue ones only, overdue ones only, and
    // by how many days overdue.
    bool m_openOrOverdueOnly = false;
    bool m_overdueOnly = false;
    std::int16_t m_overdueByDays = 0;

    bool m_customerOrJob = false;
    bool m_itemDetails = false;
    bool m_dueDate = false;
    bool m_memo = false;

private:
    void* m_customerList = nullptr;
};

// Holds a request of StmtEditTag::New and frees it with StmtEditTag::Free.
using StmtEditHandle = std::unique_ptr<StmtEditTag, StmtEditTag::Deleter>;
