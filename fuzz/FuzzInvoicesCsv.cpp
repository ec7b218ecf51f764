// CSV text into invoice rows, as `reminders import invoices` reads it.
#include <string>

#include "Csv.h"
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietHost();
    try {
        app::ReadInvoicesCsv(std::string(reinterpret_cast<const char*>(data), size), "invoices.csv");
    } catch (const app::CsvError&) {
        // A refused file is the expected answer to most inputs.
    }
    return 0;
}
