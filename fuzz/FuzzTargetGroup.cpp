// JSON text into a target group.
#include "FuzzCommon.h"
#include "TxnReminderTargetGroup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietHost();
    auto tree = fuzz::ParseJson(data, size);
    if (!tree) return 0;
    TxnReminderTargetGroup group;
    group.SetPtree(*tree);
    return 0;
}
