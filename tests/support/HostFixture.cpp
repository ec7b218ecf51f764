#include "HostFixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "CompanyFile.h"
#include "Host/CompanyLocation.h"
#include "PgServer.h"
#include "Host/DefaultTracker.h"
#include "Sql.h"
#include "TxnReminderUtil.h"

namespace testsupport {

void HostFixture::SetUp() {
    Ctx().Reset();
    // Each case has a host of its own: what the engine took once from the
    // last one must not carry over.
    TxnReminderUtil::ResetProcessCaches();
    char pattern[] = "/tmp/reminders-test-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    ASSERT_NE(dir, nullptr);
    m_dir = dir;
    if (UsePostgres()) {
        try {
            m_path = m_database = NewDatabase();
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
    } else {
        m_path = m_dir + "/company.db";
    }
    Ctx().FixClock(Date(2026, 3, 10), 8, 0, 0);
    ASSERT_TRUE(Ctx().OpenCompanyFile(m_path, true).Succeeded()) << Ctx().LastOpenError();
    Ctx().AddLogSink([this](const Util::LogRecord& r) { m_log.push_back(r); });
    Ctx().AddTelemetrySink([this](int kind, const std::string& text) { m_events.emplace_back(kind, text); });
    Host::RegisterDefaultTracker();
}

void HostFixture::TearDown() {
    Ctx().Reset();
    TxnReminderUtil::ResetProcessCaches();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
    if (!m_database.empty()) {
        DropDatabase(m_database);
        // A company on a server logs where the program runs, not in the test's folder.
        const std::string log = Host::LogPathOf(m_database);
        for (const char* suffix : {"", ".1", ".2"}) std::filesystem::remove(log + suffix, ec);
    }
}

void HostFixture::ReopenFile() {
    Ctx().CloseCompanyFile();
    ASSERT_TRUE(Ctx().OpenCompanyFile(m_path, false).Succeeded()) << Ctx().LastOpenError();
}

std::vector<Util::LogRecord> HostFixture::LinesWith(const std::string& text) const {
    std::vector<Util::LogRecord> out;
    for (const auto& r : m_log) {
        if (r.message.find(text) != std::string::npos) out.push_back(r);
    }
    return out;
}

bool HostFixture::HasLine(const std::string& message) const { return CountLines(message) > 0; }

bool HostFixture::HasLine(int level, int eventType, const std::string& message) const {
    for (const auto& r : m_log) {
        if (r.level == level && r.eventType == eventType && r.message == message) return true;
    }
    return false;
}

int HostFixture::CountLines(const std::string& message) const {
    int n = 0;
    for (const auto& r : m_log) n += r.message == message ? 1 : 0;
    return n;
}

std::vector<std::string> HostFixture::Messages() const {
    std::vector<std::string> out;
    for (const auto& r : m_log) out.push_back(r.message);
    return out;
}

std::string QueryText(const std::string& sql) {
    Host::CompanyFile* file = Host::HostContext::Get().File();
    if (!file) return std::string();
    const std::string text = file->Db()->Kind() == Host::Connection::Store::kPostgres ? PortableSql(sql) : sql;
    Host::Stmt q(file->Db(), text.c_str());
    return q.Step() ? q.Text(0) : std::string();
}

long long QueryInt(const std::string& sql) {
    Host::CompanyFile* file = Host::HostContext::Get().File();
    if (!file) return -1;
    const std::string text = file->Db()->Kind() == Host::Connection::Store::kPostgres ? PortableSql(sql) : sql;
    Host::Stmt q(file->Db(), text.c_str());
    return q.Step() ? q.Int(0) : 0;
}

DateType32 Date(int year, int month, int day) { return DateType32(month, day, year); }

} // namespace testsupport
