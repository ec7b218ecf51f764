#pragma once

// Where each outbox message stands with the mail server, kept in the company
// file so that delivery survives a crash and two deliverers agree.

#include <map>
#include <string>

#include "Util/HostApi.h"

namespace Host {

struct DeliveryRecord {
    std::string name; // the message's file name in the outbox
    std::string messageId;
    std::string recipient;
    std::string state; // delivered, deferred or failed
    int attempts = 0;
    std::string reply;     // the server's last reply, or why there was none
    long long time = 0;    // of that reply, seconds since 1970
    long long nextTry = 0; // deferred: not before this
};

// Every record, by file name. Throws SqlError.
HOST_API std::map<std::string, DeliveryRecord> LoadDeliveryRecords();
// Writes one record on its own, durably, before returning. Throws SqlError.
HOST_API void SaveDeliveryRecord(const DeliveryRecord& record);

} // namespace Host
