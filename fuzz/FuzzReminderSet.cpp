// JSON text into a reminder set, as `reminders sets import` reads it.
#include "FuzzCommon.h"
#include "TxnReminderSet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietHost();
    auto tree = fuzz::ParseJson(data, size);
    if (!tree) return 0;
    TxnReminderSet set;
    if (set.SetPtree(*tree)) {
        // What was read must write back out and read in again.
        boost::property_tree::ptree out;
        if (set.GetPtree(out)) {
            TxnReminderSet again;
            again.SetPtree(out);
        }
    }
    return 0;
}
