#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Date/DateType32.h"
#include "Host/HostContext.h"
#include "Util/Ops.h"

namespace testsupport {

// A fresh host for each test: default settings, a new company file in a
// temporary folder (or a new database on the tests' server under the
// PostgreSQL switch), a fixed clock, and every log line and telemetry event
// captured.
class HostFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    Host::HostContext& Ctx() { return Host::HostContext::Get(); }
    const std::string& FilePath() const { return m_path; }
    const std::string& Dir() const { return m_dir; }
    // Closes and opens the company file again (what a restart sees).
    void ReopenFile();

    // Log lines whose message equals text, or contains it.
    std::vector<Util::LogRecord> LinesWith(const std::string& text) const;
    bool HasLine(const std::string& message) const;
    bool HasLine(int level, int eventType, const std::string& message) const;
    int CountLines(const std::string& message) const;
    std::vector<std::string> Messages() const;
    void ClearLog() { m_log.clear(); }

    std::vector<std::pair<int, std::string>> m_events;
    std::vector<Util::LogRecord> m_log;

private:
    std::string m_dir;
    std::string m_path;
    std::string m_database;
};

// Runs one SQL query on the open company and returns the first column of
// the first row as text ("" when there is no row).
std::string QueryText(const std::string& sql);
long long QueryInt(const std::string& sql);

DateType32 Date(int year, int month, int day);

} // namespace testsupport
