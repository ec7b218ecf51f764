#pragma once

#include <string>

#include "Util/HostApi.h"
#include "Util/Status.h"

// The user's preferences as the host exposes them. Values live in the open
// company file (table company_prefs) so that each company keeps its own; with
// no file open the built-in defaults answer.
class HOST_API PrefsTag {
public:
    bool GetPaymentReminderState() const;        // reminders on
    bool GetPaymentReminderPrompt() const;       // daily prompt on
    int GetPaymentReminderPromptTime() const;    // hour of day, 0..23
    int GetPaymentReminderScheduleType() const;  // 1 daily, 2 weekly, 3 monthly
    unsigned short GetPaymentReminderWeekDay() const;    // numbered as DayOfWeek
    unsigned short GetPaymentReminderMonthDate() const;  // 1..31
    bool GetCurrentFileIsSample() const;
    int GetIsAccntntCopy() const;
    int GetFiscalBegin() const;                  // first month of the fiscal year, 1..12
};

HOST_API PrefsTag* PrefGetPrefHandle();

// Preference keys, as `reminders prefs` shows and sets them.
namespace PrefKeys {
constexpr const char* kState = "paymentReminderState";
constexpr const char* kPrompt = "paymentReminderPrompt";
constexpr const char* kPromptTime = "paymentReminderPromptTime";
constexpr const char* kScheduleType = "paymentReminderScheduleType";
constexpr const char* kWeekDay = "paymentReminderWeekDay";
constexpr const char* kMonthDate = "paymentReminderMonthDate";
constexpr const char* kIsSample = "currentFileIsSample";
constexpr const char* kAccountantCopy = "isAccntntCopy";
constexpr const char* kFiscalBegin = "fiscalBegin";
} // namespace PrefKeys

// Values kept in the company file on behalf of a feature, in the same table as
// the preferences above. An absent key succeeds with kRecordNotFound and an
// empty value, as an absent record does; with no file open both fail (kNoFile).
namespace DBPreferences {
HOST_API Util::Status GetCompanyDBPreference(const std::string& key, std::string& value);
HOST_API Util::Status SetCompanyDBPreference(const std::string& key, const std::string& value);
} // namespace DBPreferences
