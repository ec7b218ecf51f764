// JSON text into a statement reminder rule.
#include "FuzzCommon.h"
#include "StatementReminderRule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietHost();
    auto tree = fuzz::ParseJson(data, size);
    if (!tree) return 0;
    StatementReminderRule rule;
    if (rule.SetPtree(*tree)) {
        boost::property_tree::ptree out;
        if (rule.GetPtree(out)) {
            StatementReminderRule again;
            again.SetPtree(out);
        }
    }
    return 0;
}
