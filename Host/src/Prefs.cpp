#include "Prefs/PrefsTag.h"

#include <cstdlib>

#include "CompanyFile.h"
#include "Host/HostContext.h"
#include "Sql.h"
#include "StoredPrefs.h"

namespace {
// The engine reads these where an exception has no one to catch it; an
// unreadable store answers the built-in defaults (the application meets the
// damage on its own reads and says so).
std::string StoredText(const char* key) {
    try {
        return Host::HostContext::Get().GetPreference(key, "");
    } catch (const Host::SqlError&) {
        return std::string();
    }
}
int IntPref(const char* key, int fallback) {
    const std::string text = StoredText(key);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    return (end && *end == '\0') ? static_cast<int>(v) : fallback;
}
bool BoolPref(const char* key, bool fallback) {
    const std::string text = StoredText(key);
    if (text == "1" || text == "true" || text == "on") return true;
    if (text == "0" || text == "false" || text == "off") return false;
    return fallback;
}
} // namespace

bool PrefsTag::GetPaymentReminderState() const { return BoolPref(PrefKeys::kState, false); }
bool PrefsTag::GetPaymentReminderPrompt() const { return BoolPref(PrefKeys::kPrompt, true); }
int PrefsTag::GetPaymentReminderPromptTime() const { return IntPref(PrefKeys::kPromptTime, 9); }
int PrefsTag::GetPaymentReminderScheduleType() const { return IntPref(PrefKeys::kScheduleType, 1); }
unsigned short PrefsTag::GetPaymentReminderWeekDay() const {
    return static_cast<unsigned short>(IntPref(PrefKeys::kWeekDay, 2));
}
unsigned short PrefsTag::GetPaymentReminderMonthDate() const {
    return static_cast<unsigned short>(IntPref(PrefKeys::kMonthDate, 1));
}
bool PrefsTag::GetCurrentFileIsSample() const { return BoolPref(PrefKeys::kIsSample, false); }
int PrefsTag::GetIsAccntntCopy() const { return IntPref(PrefKeys::kAccountantCopy, 0); }
int PrefsTag::GetFiscalBegin() const { return IntPref(PrefKeys::kFiscalBegin, 1); }

PrefsTag* PrefGetPrefHandle() {
    static PrefsTag prefs;
    return &prefs;
}

namespace Host::StoredPrefs {

Util::Status Read(Host::Connection* db, const std::string& key, std::string& value) {
    value.clear();
    Stmt read(db, "SELECT value FROM company_prefs WHERE key = ?1");
    read.Bind(1, key);
    if (!read.Step()) return Util::Status::NotFound();
    value = read.Text(0);
    return Util::Status::GetSucceeded();
}

void Write(Host::Connection* db, const std::string& key, const std::string& value) {
    Stmt(db, "INSERT INTO company_prefs(key, value) VALUES(?1, ?2) "
             "ON CONFLICT(key) DO UPDATE SET value = excluded.value")
        .Bind(1, key)
        .Bind(2, value)
        .Run();
}

} // namespace Host::StoredPrefs

namespace DBPreferences {

Util::Status GetCompanyDBPreference(const std::string& key, std::string& value) {
    Host::CompanyFile* file = Host::HostContext::Get().File();
    if (!file) return Util::Status::Failure(Util::Status::kNoFile);
    if (Host::FaultFails("DBPreferences.Get")) return Util::Status::GetFailed();
    try {
        return Host::StoredPrefs::Read(file->Db(), key, value);
    } catch (const Host::SqlError&) {
        return Util::Status::GetFailed();
    }
}

Util::Status SetCompanyDBPreference(const std::string& key, const std::string& value) {
    Host::CompanyFile* file = Host::HostContext::Get().File();
    if (!file) return Util::Status::Failure(Util::Status::kNoFile);
    if (Host::FaultFails("DBPreferences.Set")) return Util::Status::GetFailed();
    try {
        Host::StoredPrefs::Write(file->Db(), key, value);
        return Util::Status::GetSucceeded();
    } catch (const Host::SqlError&) {
        return Util::Status::GetFailed();
    }
}

} // namespace DBPreferences
