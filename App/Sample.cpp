#include <iostream>
#include <memory>
#include <random>

#include "CmdData.h"
#include "CmdSets.h"
#include "Csv.h"
#include "DB/DBManager.h"
#include "Host/HostContext.h"
#include "Prefs/PrefsTag.h"
#include "Records/Groups.h"
#include "Records/MessageTemplates.h"
#include "Records/Names.h"
#include "Records/Transactions.h"
#include "StatusText.h"
#include "TxnReminderEngine.h"
#include "TxnReminderSet.h"

namespace app {

namespace {
struct SampleCustomer {
    const char* name;
    const char* email;  // "" for none
    const char* type;
    const char* terms;
};

const SampleCustomer kCustomers[] = {
    {"Alder Street Bakery", "accounts@alderbakery.test", "Retail", "Net 30"},
    {"Birchwood Dental", "billing@birchwooddental.test", "Services", "Net 15"},
    {"Cedar Ridge Farms", "office@cedarridge.test", "Wholesale", "Net 30"},
    {"Dockside Marine Supply", "ap@docksidemarine.test", "Wholesale", "Net 45"},
    {"Elm Grove Library Friends", "", "Non-profit", "Due on receipt"},
    {"Foxglove Florists", "hello@foxglove.test", "Retail", "Net 15"},
    {"Granite Peak Builders", "payables@granitepeak.test", "Contractor", "Net 30"},
    {"Harbor Light Cafe", "owner@harborlight.test", "Retail", "Net 15"},
    {"Ironwood Fitness", "", "Services", "Net 30"},
    {"Juniper Lane Apartments", "manager@juniperlane.test", "Property", "Net 30"},
    {"Kestrel Software", "finance@kestrel.test", "Services", "Net 30"},
    {"Lakeshore Veterinary", "frontdesk@lakeshorevet.test", "Services", "Net 15"},
    {"Maple Hollow Winery", "orders@maplehollow.test", "Wholesale", "Net 45"},
    {"Northgate Print Shop", "", "Retail", "Net 30"},
    {"Oakline Landscaping", "office@oakline.test", "Contractor", "Net 30"},
    {"Pinecrest School PTA", "treasurer@pinecrestpta.test", "Non-profit", "Due on receipt"},
    {"Quarry Road Motors", "service@quarryroad.test", "Retail", "Net 30"},
    {"Riverbend Clinic", "billing@riverbendclinic.test", "Services", "Net 30"},
    {"Old Mill Antiques (closed)", "owner@oldmill.test", "Retail", "Net 30"},  // hidden
};

struct SampleJob {
    int parentIndex;
    const char* name;
    const char* email;
};

const SampleJob kJobs[] = {
    {6, "Hillside Duplex", ""},                          // inherits the builder's address
    {6, "Library Annex", "annex-site@granitepeak.test"},
    {6, "Riverside Lofts", ""},
    {14, "Town Square Planters", ""},
    {14, "Pinecrest School Grounds", "grounds@oakline.test"},
    {9, "Building C Renovation", ""},
    {3, "Spring Boat Show", ""},
};

const char* const kInvoiceSetJson = R"json({
  "id": 0, "status": "true", "name": "Standard payment reminders",
  "targetGroupId": 0, "targetGroupName": "All customers", "txnType": "Invoice",
  "rules": [
    {"id": 0, "setId": 0,
     "criterion": {"days": "5", "DateToCompare": "due date", "schedule": "before"},
     "template": {"id": -1, "typeId": "INV_TYPE",
                  "subject": "Invoice {{invoice}} is due on {{due_date}}",
                  "body": "Dear {{customer}},\n\nThis is a friendly reminder that invoice {{invoice}} for {{amount}} is due on {{due_date}}.\n\nThank you for your business,\n{{company}}\n"}},
    {"id": 0, "setId": 0,
     "criterion": {"days": "0", "DateToCompare": "due date", "schedule": "after"},
     "template": {"id": -1, "typeId": "INV_TYPE",
                  "subject": "Invoice {{invoice}} is due today",
                  "body": "Dear {{customer}},\n\nInvoice {{invoice}} for {{amount}} is due today, {{due_date}}.\n\nIf you have already paid, thank you and please ignore this message.\n{{company}}\n"}},
    {"id": 0, "setId": 0,
     "criterion": {"days": "7", "DateToCompare": "due date", "schedule": "after"},
     "template": {"id": -1, "typeId": "INV_TYPE",
                  "subject": "Invoice {{invoice}} is {{days_overdue}} days overdue",
                  "body": "Dear {{customer}},\n\nOur records show that invoice {{invoice}} for {{amount}}, due on {{due_date}}, is {{days_overdue}} days overdue.\n\nPlease arrange payment at your earliest convenience.\n{{company}}\n"}},
    {"id": 0, "setId": 0,
     "criterion": {"days": "30", "DateToCompare": "due date", "schedule": "after"},
     "template": {"id": -1, "typeId": "INV_TYPE",
                  "subject": "Second notice: invoice {{invoice}} is {{days_overdue}} days overdue",
                  "body": "Dear {{customer}},\n\nInvoice {{invoice}} for {{amount}} was due on {{due_date}} and is now {{days_overdue}} days overdue.\n\nPlease contact us if there is a problem with this invoice.\n{{company}}\n"}}
  ],
  "statementRules": []
})json";

const char* const kStatementSetJson = R"json({
  "id": 0, "status": "true", "name": "Monthly statements",
  "targetGroupId": 0, "targetGroupName": "Key accounts", "txnType": "Statement",
  "rules": [],
  "statementRules": [
    {"id": 0, "setId": 0, "templateId": 0, "styleId": 1, "scheduleDay": 1, "frequency": "every month",
     "criterion": {"dateRange": "previous month", "txnStatus": "all", "overdueBy": "0",
                   "itemDetails": "false", "memo": "false", "dueDate": "true", "custOrJob": "true"}}
  ]
})json";

[[noreturn]] void SampleFailed(const std::string& what) {
    throw AppError("init --sample: " + what + "; the sample is incomplete, delete the file and try again");
}

void SaveSet(const char* json, long groupId, long statementTemplateId) {
    boost::property_tree::ptree tree = FromJson(json, "sample set");
    tree.put("targetGroupId", groupId);
    if (auto rules = tree.get_child_optional("statementRules")) {
        for (auto& r : *rules) r.second.put("templateId", statementTemplateId);
    }
    TxnReminderSet set;
    if (!set.SetPtree(tree)) SampleFailed("a sample reminder set was refused");
    TxnReminderEngine engine(set.GetTxnType());
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    if (!engine.AddOrUpdateReminderSet(status, set)) SampleFailed("a sample reminder set was not saved: " + StatusText(status));
}
} // namespace

void FillSample(const AppContext& ctx) {
    auto& host = Host::HostContext::Get();
    const DateType32 today = GetSystemDate();
    std::mt19937 random(20261206);  // the same sample every time for the same day

    std::vector<int> customerIds;
    const std::size_t hiddenIndex = sizeof kCustomers / sizeof kCustomers[0] - 1;
    for (std::size_t i = 0; i < sizeof kCustomers / sizeof kCustomers[0]; ++i) {
        Host::CustomerData c;
        c.name = kCustomers[i].name;
        c.email = kCustomers[i].email;
        c.custType = kCustomers[i].type;
        c.terms = kCustomers[i].terms;
        c.hidden = i == hiddenIndex;
        c.since = MakeDateAndTime(DateSub(today, 90 + static_cast<long>(random() % 1500)), 9, 0, 0);
        int id = 0;
        if (!Host::AddCustomer(c, id).Succeeded()) SampleFailed(std::string("customer '") + c.name + "' was not added");
        customerIds.push_back(id);
    }
    std::vector<int> jobIds;
    for (const auto& j : kJobs) {
        Host::CustomerData c;
        c.name = j.name;
        c.parent = customerIds[static_cast<std::size_t>(j.parentIndex)];
        c.email = j.email;
        int id = 0;
        if (!Host::AddCustomer(c, id).Succeeded()) SampleFailed(std::string("job '") + j.name + "' was not added");
        jobIds.push_back(id);
    }

    // Groups: everyone (jobs are reached through their customer), the key
    // accounts that get monthly statements, and the contractors.
    long allGroup = 0, keyGroup = 0, contractorGroup = 0;
    if (!Host::CreateCustomerGroup("All customers", "Every customer and their jobs", customerIds, allGroup).Succeeded() ||
        !Host::CreateCustomerGroup("Key accounts", "Customers who get a monthly statement",
                                   {customerIds[2], customerIds[3], customerIds[6], customerIds[10], customerIds[12]},
                                   keyGroup)
             .Succeeded() ||
        !Host::CreateCustomerGroup("Contractors", "Builders and landscapers", {customerIds[6], customerIds[14]},
                                   contractorGroup)
             .Succeeded()) {
        SampleFailed("the sample groups were not created");
    }

    // Invoices with due dates from two months back to three weeks ahead; the
    // older ones mostly paid.
    std::vector<int> billable(customerIds.begin(), customerIds.end() - 1);
    billable.insert(billable.end(), jobIds.begin(), jobIds.end());
    int paidCount = 0;
    for (int i = 0; i < 80; ++i) {
        Host::InvoiceData inv;
        inv.customer = billable[random() % billable.size()];
        const long dueOffset = -60 + static_cast<long>(random() % 82);
        inv.dueDate = DateAdd(today, dueOffset);
        inv.txnDate = DateSub(inv.dueDate, 30);
        inv.amount = Double2Bal(static_cast<double>(50 + random() % 4950) + static_cast<double>(random() % 100) / 100.0);
        inv.requestedTransactionId = 1001 + static_cast<unsigned long>(i);
        unsigned long id = 0;
        if (!Host::AddInvoice(inv, id).Succeeded()) SampleFailed("an invoice was not added");
        const bool paid = dueOffset < -10 ? random() % 3 != 0 : random() % 6 == 0;
        if (paid) {
            const DateType32 paidOn = std::min(today, DateAdd(inv.txnDate, 10 + static_cast<long>(random() % 40)));
            if (!Host::MarkInvoicePaid(id, paidOn).Succeeded()) SampleFailed("an invoice was not marked paid");
            ++paidCount;
        }
    }

    // The statement e-mail's own template.
    long statementTemplate = 0;
    if (!MessageTemplateAdapter::Save(16, statementTemplate, 0, "Statement",
                                      "Dear {{customer}},\n\nPlease find your account statement for {{statement_from}} "
                                      "to {{statement_to}} below.\n\nOpen balance: {{amount}}\n\n{{company}}\n",
                                      "Your statement from {{company}}", 0)
             .Succeeded()) {
        SampleFailed("the statement template was not saved");
    }
    SaveSet(kInvoiceSetJson, allGroup, 0);
    SaveSet(kStatementSetJson, keyGroup, statementTemplate);

    std::string name;
    if (!DBPreferences::GetCompanyDBPreference("companyName", name).Succeeded() || name.empty()) {
        if (DBPreferences::SetCompanyDBPreference("companyName", "Lakeside Supply Co.").Failed()) {
            SampleFailed("the company name was not saved");
        }
    }
    std::string from;
    if (!DBPreferences::GetCompanyDBPreference("companyEmail", from).Succeeded() || from.empty()) {
        if (DBPreferences::SetCompanyDBPreference("companyEmail", "billing@lakesidesupply.test").Failed()) {
            SampleFailed("the company e-mail address was not saved");
        }
    }
    host.SetPreference(PrefKeys::kState, "1");
    host.SetPreference(PrefKeys::kPrompt, "1");
    host.SetPreference(PrefKeys::kPromptTime, "9");
    host.SetPreference(PrefKeys::kScheduleType, "1");
    if (ctx.json) return;
    std::cout << "sample company: " << customerIds.size() << " customers, " << jobIds.size() << " jobs, 3 groups, 80 invoices ("
              << paidCount << " paid), 2 reminder sets\n";
}

} // namespace app
