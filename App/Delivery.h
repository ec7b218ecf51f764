#pragma once

#include <boost/property_tree/ptree.hpp>
#include <string>
#include <vector>

#include "AppContext.h"
#include "Message.h"
#include "Smtp.h"

namespace app {

// The preferences that set up mail delivery: name, value, meaning. The
// password is never among them. `asStored` gives values that SetSmtpPref
// takes back unchanged (a form edits those); otherwise they are worded for
// reading ("(not set)").
struct SmtpPrefRow {
    std::string name, value, help;
};
std::vector<SmtpPrefRow> SmtpPrefRows(bool asStored = false);
// Sets one of them; false when `name` is not a mail preference. Throws
// AppError on a value it refuses.
bool SetSmtpPref(const std::string& name, const std::string& value);

// True when smtp-url is set: then sending goes on to deliver.
bool SmtpConfigured();

// The settings with the password from $REMINDERS_SMTP_PASSWORD or from
// smtp-password-file (refused when others may read it). Throws AppError.
SmtpSettings LoadSmtpSettings();

struct DeliverOptions {
    std::string outbox;    // empty: "outbox" beside the company file
    bool retryNow = false; // deferred messages go now, not at their next try
    bool quiet = false;
};
struct DeliverSummary {
    int delivered = 0;
    int deferred = 0;
    int failed = 0;
    int untried = 0; // left queued when the server could not be reached
    int NotDelivered() const { return deferred + failed + untried; }
};
// Delivers what is queued (and deferred messages whose time has come) over
// one connection, recording each server reply at once. Throws AppError when
// the settings cannot work; what was recorded by then stays recorded.
DeliverSummary Deliver(const AppContext& ctx, const DeliverOptions& options);

// `reminders deliver`: the exit status, with a line naming what was not
// delivered.
int DeliverCommand(const AppContext& ctx, const DeliverOptions& options);

// After `send` or the daily cycle: delivers when mail is set up. Returns how
// many messages were not delivered (0 without SMTP). Prints its own summary.
int DeliverIfConfigured(const AppContext& ctx, const std::string& outbox, bool quiet);

// One line per outbox message with its state.
void ShowOutbox(const AppContext& ctx, const std::string& outbox);

} // namespace app
