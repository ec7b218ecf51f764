#pragma once

#include "Util/HostApi.h"

namespace Util {

// Result of a host storage call; never to be dropped unread. A load or read
// that finds no record still succeeds,
// with the status code kRecordNotFound.
class [[nodiscard, gnu::visibility("default")]] Status {
public:
    static constexpr int kOk = 0;
    static constexpr int kGeneralFailure = 1;
    static constexpr int kRecordNotFound = 6042;
    static constexpr int kConstraintFailure = 6043;
    static constexpr int kBusy = 6044;
    static constexpr int kNoFile = 6045;

    Status() = default;
    Status(bool succeeded, int code) : m_succeeded(succeeded), m_code(code) {}

    bool Succeeded() const { return m_succeeded; }
    bool Failed() const { return !m_succeeded; }
    int GetStatusCode() const { return m_code; }

    static Status GetSucceeded() { return Status(true, kOk); }
    static Status GetFailed() { return Status(false, kGeneralFailure); }
    static Status NotFound() { return Status(true, kRecordNotFound); }
    static Status Failure(int code) { return Status(false, code); }

    bool operator==(const Status& o) const { return m_succeeded == o.m_succeeded && m_code == o.m_code; }
    bool operator!=(const Status& o) const { return !(*this == o); }

private:
    bool m_succeeded = true;
    int m_code = kOk;
};

// Words for a status code, for messages shown to a person.
HOST_API const char* DescribeStatusCode(int code);

} // namespace Util
