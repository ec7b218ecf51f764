#pragma once

#include "Util/HostApi.h"
#include "Util/Status.h"

class StmtEditTag;

// Whether a statement request would show anything: an invoice of one of its
// customers (or their jobs) dated within its range, and, when the request is
// for open or overdue transactions only, still open (and, for overdue ones,
// more than its overdue-by days past due on the statement date).
class HOST_API AgingBalancesQuery {
public:
    AgingBalancesQuery();
    ~AgingBalancesQuery();
    AgingBalancesQuery(const AgingBalancesQuery&) = delete;
    AgingBalancesQuery& operator=(const AgingBalancesQuery&) = delete;

    // Runs the query for the request (fault point "AgingBalancesQuery.Execute").
    // A null request, no open file or a failing store answers failure, and
    // CanShowReminder stays false.
    Util::Status Execute(StmtEditTag* handle);
    bool CanShowReminder() const { return m_canShow; }

private:
    bool m_canShow = false;
};
