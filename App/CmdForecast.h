#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "AppContext.h"
#include "Date/DateType32.h"

namespace app {

// One reminder or statement of a forecast day.
struct ForecastItem {
    bool statement = false;
    unsigned long transactionId = 0;  // invoices; 0 for statements
    unsigned long invoice = 0;        // invoices whose record was found
    int customerId = 0;
    std::string customer;
    unsigned long ruleId = 0;
    long templateId = 0;
    long setId = 0;
    std::string setName;
    std::string subject;  // rendered
    std::string ruleText;
    bool sendable = true;  // false: no usable address, so send would skip it
    std::string dueJson;   // as `due --json` lists it
};

struct ForecastDay {
    DateType32 date;
    // The daily cycle prompts (and, answered "send", sends) on this day.
    // On other days `items` is what is due and waits for the next prompt.
    bool prompt = false;
    std::vector<ForecastItem> items;
};

struct Forecast {
    DateType32 from;
    std::vector<ForecastDay> days;
    std::vector<std::string> notes;
};

// Days ahead, day by day, on the company file open in the host: it is first
// replaced by a copy in memory, which takes what each prompt day would
// record as sent. The file itself is not written. Throws AppError.
Forecast ForecastOnCopy(const AppContext& ctx, const DateType32& from, int days);

// Adds `forecast` and `sets diff` (under the `sets` command when there is one).
void RegisterForecastCommands(CLI::App& cli, AppContext& ctx);

} // namespace app
