#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AppContext.h"
#include "CmdData.h"
#include "Message.h"
#include "Outbox.h"
#include "TxnSendableReminderContainer.h"

namespace CLI {
class App;
}

namespace app {

// `due`, `send`, `history`, `purge`, `migrate`.
void RegisterDueCommands(CLI::App& cli, AppContext& ctx);

// One due reminder or statement with everything needed to show or send it.
struct DueItem {
    TxnSendableReminderContainer record;
    bool statement = false;
    InvoiceView invoice;          // invoice reminders
    int customer = 0;             // who it goes to (the invoice's customer or job)
    Addressee to;
    std::string ruleText;
    std::string subject;          // template texts, not yet rendered
    std::string body;
    long daysFromDue = 0;
    DateType32 periodStart;       // statements: the period this statement belongs to
    DateType32 rangeFrom, rangeTo;
    // Invoices: every set whose group also holds the customer, when more
    // than one group does ("name (#id)"); empty otherwise.
    std::vector<std::string> overlappingSets;
};

struct DueList {
    std::vector<DueItem> items;
    bool duplicateFound = false;
    std::size_t sentToday = 0;       // invoices left out: they had their reminder today
    std::vector<std::string> notes;  // views skipped, and why
};

// Asks the engines what is due today (invoice reminders, then statements).
DueList CollectDue(bool fastMode);

void ShowDue(const AppContext& ctx, bool fastMode);

// What a listing reads that stays as it is from one day to the next while
// only the history changes (customers and their addresses, open balances,
// groups): a caller listing several days of one unchanged company keeps it
// between them.
class ListingReads {
public:
    ListingReads();
    ~ListingReads();
    ListingReads(const ListingReads&) = delete;
    ListingReads& operator=(const ListingReads&) = delete;
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// One day's due list for a caller that looks at each reminder and may then
// record some as sent exactly as `send` records them: the forecast. Made as
// `due` makes its listing, without a copy of the texts per reminder.
class DueDay {
public:
    struct Line {
        bool statement = false;
        unsigned long transactionId = 0;  // invoices; 0 for statements
        unsigned long invoice = 0;        // invoices whose record was found
        int customerId = 0;
        unsigned long ruleId = 0;
        long templateId = 0;
        std::string customer, email, ruleText;
        std::string subject;  // rendered
        std::string json;     // the reminder as `due --json` lists it, when asked for
    };

    explicit DueDay(const AppContext& ctx, ListingReads* keep = nullptr);
    ~DueDay();
    DueDay(const DueDay&) = delete;
    DueDay& operator=(const DueDay&) = delete;

    std::size_t Size() const;
    // `json` left empty unless `withJson`: only a JSON report prints it.
    Line At(std::size_t i, bool withJson) const;
    // Records these reminders as sent, in one unit of work; throws AppError
    // when any is not taken.
    void RecordSent(const std::vector<std::size_t>& rows);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// A due item's name in the outbox: stable across runs, one per reminder.
std::string DueItemKey(const DueItem& item);
// Subject and body with the placeholders filled, as they will be sent.
struct RenderedText {
    std::string subject, body;
};
RenderedText RenderDue(const AppContext& ctx, const DueItem& item);
// The message `send` writes for a due item (dated now).
MailMessage ComposeDue(const AppContext& ctx, const DueItem& item);

struct SendOptions {
    bool dryRun = false;
    std::string outbox;  // empty: "outbox" beside the company file
    bool quiet = false;
    std::vector<std::string> only;  // DueItemKey values; empty: every due item
};
struct SendSummary {
    int invoiceReminders = 0;
    int statements = 0;
    int alreadyWritten = 0;  // found in the outbox from an earlier, interrupted send
    int skippedNoEmail = 0;
    int skippedBadEmail = 0;  // an address stored before addresses were checked
    int failed = 0;
};
SendSummary SendDue(const AppContext& ctx, const SendOptions& options);

struct HistoryRow {
    unsigned long invoice = 0;
    long ruleId = 0;
    int status = 0;
    bool invoiceKnown = false;
    std::string customer;
    std::string statusText;
};
std::vector<HistoryRow> LoadHistory();
void ShowHistory(const AppContext& ctx);
void Purge(const AppContext& ctx);
void Migrate(const AppContext& ctx);

} // namespace app
