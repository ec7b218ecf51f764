#pragma once

// What the storage suites share: the texts of captured telemetry, several
// expected log lines checked at once, and fault rows for table-driven tests
// of failure paths (the point that fails, the status and lines it must give).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HostFixture.h"
#include "TxnReminderDefines.h"

namespace testsupport {

constexpr int kAnyStatus = -1;

struct FaultRow {
    std::string point;
    int status;                      // kAnyStatus: not part of the promise
    std::vector<std::string> lines;  // failure lines (level 4, event type 5)
    int nth = 1;
    Host::FaultKind kind = Host::FaultKind::Fail;
    bool failedRollback = false;  // the rollback that follows answers 0
};

class StorageFixture : public HostFixture {
protected:
    std::vector<std::string> Events() const {
        std::vector<std::string> texts;
        for (const auto& e : m_events) texts.push_back(e.second);
        return texts;
    }
    bool HasEvent(const std::string& text) const {
        const auto texts = Events();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    ::testing::AssertionResult Logged(int level, int eventType, const std::vector<std::string>& messages) const {
        for (const auto& m : messages) {
            if (!HasLine(level, eventType, m))
                return ::testing::AssertionFailure() << "no line (" << level << "," << eventType << ") \"" << m << "\"";
        }
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult Failures(const std::vector<std::string>& messages) const {
        return Logged(4, 5, messages);
    }
    // Clears the log and earlier faults, then arms the row's fault (if it names a point).
    void Arm(const FaultRow& row) {
        ClearLog();
        Ctx().ClearFaults();
        if (!row.point.empty()) Ctx().ArmFault(row.point, row.kind, row.nth);
        if (row.failedRollback) Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    }
    // The call failed with the row's status and lines (status is read after the call).
    ::testing::AssertionResult FailedAs(const FaultRow& row, bool result, const TxnReminderStatusCode& status) const {
        if (result) return ::testing::AssertionFailure() << "the call succeeded";
        if (row.status != kAnyStatus && status != row.status)
            return ::testing::AssertionFailure() << "status " << status << ", expected " << row.status;
        return Failures(row.lines);
    }
};

} // namespace testsupport
