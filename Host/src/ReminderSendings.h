#pragma once

// The day each reminder went out, kept beside the history: the history says
// which rules an invoice has had, this says when, so that an invoice whose
// customer sits in several groups gets at most one reminder a day.

#include <string>
#include <unordered_set>

#include "DB/DBManager.h"
#include "Date/DateType32.h"
#include "Util/HostApi.h"
#include "Util/Status.h"

namespace Host::Sendings {

// Records that the reminder of `ruleId` for transaction `txnId` went out on
// `day` (a later sending of the same pair moves the day).
HOST_API Util::Status Record(int txnView, unsigned long txnId, unsigned long ruleId, const DateType32& day,
                             DBMgr::DMTransaction* txn);
// The transactions of a view with a reminder sent on `day`.
HOST_API Util::Status SentOn(int txnView, const DateType32& day, std::unordered_set<unsigned long>& txnIds);

// The key this company file was given when it was made (or upgraded): it
// names the file's messages, so that a message in a shared outbox is never
// taken for another file's.
HOST_API Util::Status CompanyKey(std::string& key);

// Copies the write-ahead log into the company file itself and empties it.
// The log lives beside the name the file was opened by; a file reached by a
// second name (a hard link) only sees what is in the file itself.
HOST_API Util::Status FoldLog();

} // namespace Host::Sendings
