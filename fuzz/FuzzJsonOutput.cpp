// JSON text through the reader and back out through the writer that every
// command's --json output uses: what is written must always read again.
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietHost();
    auto tree = fuzz::ParseJson(data, size);
    if (!tree) return 0;
    const std::string text = app::ToJson(*tree);
    if (!nlohmann::json::accept(text)) std::abort();
    try {
        app::FromJson(text, "written.json");
    } catch (const app::AppError&) {
        std::abort();
    }
    return 0;
}
