#pragma once

// The customer and job list. A job is a name record whose parent is a
// customer (or another job); its sub-level is its depth below the customer.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Date/DateType32.h"
#include "DB/DBManager.h"
#include "Util/HostApi.h"
#include "Util/Status.h"
#include "Util/TString.h"

// A money amount (or any fixed-point quantity) in hundredths.
struct Bal {
    std::int64_t hundredths = 0;
};
HOST_API double Bal2Double(const Bal& bal);
// Rounded to the nearest hundredth.
HOST_API Bal Double2Bal(double value);

// An element of one of the host's lists, addressed by record number.
class HOST_API CAbstractEdListElement {
public:
    virtual ~CAbstractEdListElement();
    bool IsValid() const { return m_valid; }
    int GetRecNum() const { return m_recNum; }

protected:
    CAbstractEdListElement() = default;
    CAbstractEdListElement(const CAbstractEdListElement&) = default;
    CAbstractEdListElement& operator=(const CAbstractEdListElement&) = default;

    bool m_valid = false;
    int m_recNum = 0;

    friend class EdListViewIter;
};

// A customer type or a payment-terms entry: only its name is kept.
class HOST_API CCustType : public CAbstractEdListElement {
public:
    explicit CCustType(int featureType = 1);
    CCustType(const std::string& name, int featureType);
    Util::TString GetName() const { return m_name; }

private:
    Util::TString m_name;
};

class HOST_API CTerm : public CAbstractEdListElement {
public:
    explicit CTerm(int featureType = 1);
    CTerm(const std::string& name, int featureType);
    Util::TString GetName() const { return m_name; }

private:
    Util::TString m_name;
};

struct NameRow;

// What deciding on reminders needs of one customer or job, for the whole
// list at once.
struct NameLink {
    int recNum = 0;
    int parent = 0;       // 0 for a customer
    bool hidden = false;
    bool hasEmail = false;
};

class HOST_API CName : public CAbstractEdListElement {
public:
    static constexpr std::size_t kMaxEmailChars = 1024;
    static constexpr std::size_t kMaxNameChars = 100;

    // An empty element, to be filled by a list iteration.
    explicit CName(int featureType);
    // The customer or job with that record number; not valid when absent.
    CName(int recNum, int featureType);
    ~CName() override;
    CName(const CName&);
    CName& operator=(const CName&);

    bool GetIsHidden() const { return m_hidden; }
    // Record number of the customer (or job) this job belongs to; 0 for a
    // customer.
    int GetParent() const { return m_parent; }
    Util::TString GetName() const { return m_name; }
    // "Customer:Job:Sub-job".
    Util::TString GetQualifiedName() const { return m_qualifiedName; }
    // At most kMaxEmailChars characters.
    Util::TString GetEmail() const { return m_email; }
    void GetEmail(char* buffer, std::size_t size) const;
    CCustType GetCustType() const { return m_custType; }
    CTerm GetTerms() const { return m_terms; }
    // When the name was created (customer since), seconds since 1970 in the
    // host's local time, as a 32-bit value.
    long GetTimeStamp() const { return m_timeStamp; }
    // Open balance of the customer and its jobs: unpaid posted invoices.
    Bal GetTotalEndingBalHome() const { return m_endingBal; }
    // 0 for a customer, 1 for its jobs, 2 below them, ...
    int GetSubLevel() const { return m_subLevel; }

    // For every key of `days` (a customer record number), the average number
    // of days from invoice date to payment over the paid invoices of that
    // customer and its jobs (0 when none), as a Bal of hundredths of a day.
    static Util::Status GetAverageDaysToPay(std::map<int, Bal>& days);
    static Util::Status GetAverageDaysToPay(std::map<long, Bal>& days);

    // Every customer and job, ascending record number, read in one pass:
    // record number, parent, hidden state and whether its e-mail text is
    // not empty, as single lookups would give them.
    static Util::Status GetNameLinks(std::vector<NameLink>& links);
    // Record numbers of the hidden customers and jobs, ascending, in one read.
    static Util::Status GetHiddenRecNums(std::vector<int>& hidden);

private:
    friend class EdListViewIter;
    void Fill(const NameRow& row);
    void Reset();

    int m_featureType = 1;
    bool m_hidden = false;
    int m_parent = 0;
    Util::TString m_name;
    Util::TString m_qualifiedName;
    Util::TString m_email;
    CCustType m_custType;
    CTerm m_terms;
    long m_timeStamp = 0;
    Bal m_endingBal;
    int m_subLevel = 0;
};

// --- list iteration ------------------------------------------------------------
enum EdListType : int {
    EdListType_None = 0,
    EdListType_Account = 1,
    EdListType_CustomerJob = 2,
};

class HOST_API EdList {
public:
    explicit EdList(EdListType type) : m_type(type) {}
    EdListType GetType() const { return m_type; }

private:
    EdListType m_type;
};

// The process-wide list of a type (null for a type this host does not list).
HOST_API EdList* EdListTypeToList(int type);
// Multi-user hosts refresh the lists from the file; every iteration here
// reads the file afresh, so this only counts the request.
HOST_API void EdListRefreshAllLists(int reason);
HOST_API long EdListRefreshCount();

// Walks a list in record-number order. First/Next fill the element and
// return whether it is valid; past the end the element is made invalid.
// The customer:job list walk reads the whole list with one query at First.
class HOST_API EdListViewIter {
public:
    // includeHidden: 1 lists hidden names too; includeJobs: 1 lists jobs too.
    EdListViewIter(EdList* list, int includeHidden, int includeJobs);
    ~EdListViewIter();
    EdListViewIter(const EdListViewIter&) = delete;
    EdListViewIter& operator=(const EdListViewIter&) = delete;

    bool First(CAbstractEdListElement* element);
    bool Next(CAbstractEdListElement* element);
    bool First(CAbstractEdListElement& element) { return First(&element); }
    bool Next(CAbstractEdListElement& element) { return Next(&element); }

private:
    bool Deliver(CAbstractEdListElement* element);

    EdList* m_list;
    bool m_includeHidden;
    bool m_includeJobs;
    std::unique_ptr<std::vector<NameRow>> m_rows;
    std::size_t m_pos = 0;
};

// --- host functions the application uses ---------------------------------------
namespace Host {

struct CustomerData {
    std::string name;
    int parent = 0;             // 0: a customer; otherwise the customer or job above
    bool hidden = false;
    std::string email;
    std::string custType;
    std::string terms;
    DateAndTime since = 0;      // 0: now, from the host clock
    int requestedRecNum = 0;    // AddCustomer: this record number (it must be free); 0: the next one
};

// Adds a customer (parent 0) or a job. Fails without writing (6043) when the
// name is empty, longer than CName::kMaxNameChars or taken under the same
// parent, the e-mail is longer than CName::kMaxEmailChars, or the parent does
// not exist.
HOST_API Util::Status AddCustomer(const CustomerData& data, int& recNum, DBMgr::DMTransaction* txn = nullptr);
// Rewrites one; the same checks, plus no parent that lies below itself.
HOST_API Util::Status UpdateCustomer(int recNum, const CustomerData& data, DBMgr::DMTransaction* txn = nullptr);
// Absent: succeeds with 6042.
HOST_API Util::Status LoadCustomer(int recNum, CustomerData& data);
// By name under a parent (0: top level). Absent: succeeds with 6042.
HOST_API Util::Status FindCustomer(const std::string& name, int parent, int& recNum);

} // namespace Host
