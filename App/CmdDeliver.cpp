#include "CmdDeliver.h"

#include <CLI/CLI.hpp>
#include <memory>

#include "Delivery.h"

namespace app {

void RegisterDeliverCommands(CLI::App& cli, AppContext& ctx) {
    auto o = std::make_shared<DeliverOptions>();
    auto* deliver = cli.add_subcommand("deliver", "deliver the queued outbox messages to the mail server (smtp-url)");
    deliver->add_option("--outbox", o->outbox, "folder of the messages (default: outbox/ beside the file)");
    deliver->add_flag("--retry-now", o->retryNow, "retry deferred messages now, not at their next try");
    deliver->callback([&ctx, o] {
        ctx.Open();
        ctx.exitCode = DeliverCommand(ctx, *o);
    });

    auto folder = std::make_shared<std::string>();
    auto* outbox = cli.add_subcommand("outbox", "each outbox message with its delivery state");
    outbox->add_option("--outbox", *folder, "folder of the messages (default: outbox/ beside the file)");
    outbox->callback([&ctx, folder] {
        ctx.Open();
        ShowOutbox(ctx, *folder);
    });
}

} // namespace app
