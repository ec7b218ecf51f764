// The two date-text parsers: the compact eight-digit form and the
// statement form. The first byte picks the parser.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "FuzzCommon.h"
#include "TxnReminderTimerUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietHost();
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        DateType32 d = (data[0] & 1) ? TxnReminderTimerUtil::StatementStringToDate(text)
                                     : TxnReminderTimerUtil::StringToDate(text);
        // A date that was read writes back as text without trouble.
        (void)TxnReminderTimerUtil::DateToString(d);
    } catch (const std::invalid_argument& e) {
        // The parsers' documented refusals; anything else is a finding.
        if (std::string(e.what()) != "invalid stoi argument") std::abort();
    } catch (const std::out_of_range& e) {
        const std::string what = e.what();
        if (what != "invalid string position" && what != "stoi argument out of range") std::abort();
    }
    return 0;
}
