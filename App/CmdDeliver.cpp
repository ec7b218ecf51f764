#include "CmdDeliver.h"

#include <CLI/CLI.hpp>
#include <memory>

#include "Delivery.h"

namespace app {

void RegisterDeliverCommands(CLI::App& cli, AppContext& ctx) {
    // Both read the outbox beside the company file unless told otherwise.
    const char* const outboxHelp = "folder of the messages (default: outbox/ beside the file)";
    auto o = std::make_shared<DeliverOptions>();
    auto* deliver = AddCommand(cli, ctx, "deliver", "deliver the queued outbox messages to the mail server (smtp-url)",
                               [&ctx, o] { ctx.exitCode = DeliverCommand(ctx, *o); });
    deliver->add_option("--outbox", o->outbox, outboxHelp);
    deliver->add_flag("--retry-now", o->retryNow, "retry deferred messages now, not at their next try");

    auto folder = std::make_shared<std::string>();
    AddCommand(cli, ctx, "outbox", "each outbox message with its delivery state", [&ctx, folder] {
        ShowOutbox(ctx, *folder);
    })->add_option("--outbox", *folder, outboxHelp);
}

} // namespace app
