#include "Util/Status.h"

namespace Util {

const char* DescribeStatusCode(int code) {
    switch (code) {
        case Status::kOk: return "success";
        case Status::kGeneralFailure: return "the operation failed";
        case Status::kRecordNotFound: return "no such record";
        case Status::kConstraintFailure: return "the record conflicts with stored data";
        case Status::kBusy: return "the company file is busy (another program is writing to it)";
        case Status::kNoFile: return "no company file is open";
        default: return "unknown status";
    }
}

} // namespace Util
