#include "Serve.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "Host/CompanyLocation.h"
#include "CmdData.h"
#include "CmdDue.h"
#include "CmdPrefs.h"
#include "CmdSets.h"
#include "Csv.h"
#include "Outbox.h"
#include "web/Assets.h"

namespace app {

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

namespace {
using Request = httplib::Request;
using Response = httplib::Response;
using Errors = std::map<std::string, std::string>;
const auto& H = HtmlEscape;

std::string NewToken() {
    std::random_device random;
    std::string token;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) token += kHex[random() & 15];
    return token;
}

// Equal texts take the same time to compare whatever their first difference.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string CookieValue(const Request& req, const std::string& name) {
    const std::string header = req.get_header_value("Cookie");
    std::size_t pos = 0;
    while (pos < header.size()) {
        std::size_t end = header.find(';', pos);
        if (end == std::string::npos) end = header.size();
        std::string part = header.substr(pos, end - pos);
        const std::size_t start = part.find_first_not_of(' ');
        part = start == std::string::npos ? std::string() : part.substr(start);
        if (part.compare(0, name.size() + 1, name + "=") == 0) return part.substr(name.size() + 1);
        pos = end + 1;
    }
    return std::string();
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool Contains(const std::string& text, const std::string& query) {
    return query.empty() || Lower(text).find(Lower(query)) != std::string::npos;
}

long ParseLong(const std::string& text, long fallback) {
    try {
        std::size_t used = 0;
        const long v = std::stol(text, &used);
        return used == text.size() ? v : fallback;
    } catch (const std::exception&) {
        return fallback;
    }
}

// A request's fields in order, every one kept: the rows of a form repeat
// names and may repeat whole name=value pairs, which the library's own
// parameter map folds into one.
httplib::Params Fields(const Request& req) {
    if (req.method != "POST") return req.params;
    httplib::Params fields;
    httplib::detail::split(req.body.data(), req.body.data() + req.body.size(), '&', [&](const char* b, const char* e) {
        const char* eq = std::find(b, e, '=');
        fields.emplace(httplib::detail::decode_url(std::string(b, eq), true),
                       eq == e ? std::string() : httplib::detail::decode_url(std::string(eq + 1, e), true));
    });
    return fields;
}

std::string Param(const httplib::Params& fields, const std::string& name, std::size_t i = 0) {
    auto range = fields.equal_range(name);
    for (auto it = range.first; it != range.second; ++it, --i) {
        if (i == 0) return it->second;
    }
    return std::string();
}

std::size_t Count(const httplib::Params& fields, const std::string& name) { return fields.count(name); }
bool Has(const httplib::Params& fields, const std::string& name) { return fields.count(name) != 0; }

// Shared by every client: a token bucket, so a runaway script cannot keep the
// company file busy.
class RateLimit {
public:
    RateLimit(double perSecond, int burst) : m_rate(perSecond), m_burst(burst), m_tokens(burst) {}
    bool Take() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - m_last).count();
        m_last = now;
        m_tokens = std::min<double>(m_burst, m_tokens + seconds * m_rate);
        if (m_tokens < 1) return false;
        m_tokens -= 1;
        return true;
    }

private:
    std::mutex m_mutex;
    double m_rate;
    double m_burst;
    double m_tokens;
    std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
};

struct RuleForm {
    long id = 0;
    std::string days = "0", when = "after", subject, body;
};
struct StatementRuleForm {
    long id = 0;
    std::string frequency = "every month", day = "1", templateId = "0";
};
struct SetForm {
    long id = 0;
    std::string name;
    std::string kind = "Invoice";
    std::string group;
    bool active = true;
    std::vector<RuleForm> rules;
    std::vector<StatementRuleForm> statementRules;
};

const char* const kFrequencies[] = {"every week", "every month", "every quarter"};
} // namespace

struct WebServer::Impl {
    AppContext ctx;
    ServeOptions options;
    std::string token;
    std::string outbox;
    int port = 0;
    httplib::Server server;
    RateLimit rate;
    // The engine and the company file serve one request at a time.
    std::mutex engine;

    Impl(const AppContext& c, const ServeOptions& o)
        : ctx(c), options(o), token(NewToken()), outbox(o.outbox.empty() ? c.Dir() + "/outbox" : o.outbox),
          rate(o.requestsPerSecond, o.burst) {}

    std::string CookieName() const { return "reminders_token_" + std::to_string(port); }
    std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port); }

    // The one gate every route passes: rate, host, token, and for changes the
    // origin and the token in the body or header. False: `res` holds the refusal.
    bool Admit(const Request& req, Response& res) {
        auto refuse = [&](int status, const std::string& why) {
            res.status = status;
            res.set_content(why + "\n", "text/plain; charset=utf-8");
            return false;
        };
        if (!rate.Take()) return refuse(429, "too many requests; wait a moment");
        // A page from elsewhere that rebinds its own name to this address
        // still sends its own name as the host.
        const std::string host = req.get_header_value("Host");
        const std::string portText = ":" + std::to_string(port);
        if (host != "127.0.0.1" + portText && host != "localhost" + portText) return refuse(403, "unexpected host");
        if (req.method == "GET" && req.has_param("token")) {
            if (!SameSecret(req.get_param_value("token"), token)) return refuse(403, "wrong access token");
            res.set_header("Set-Cookie", CookieName() + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
            res.set_redirect(req.path.empty() ? "/" : req.path, 303);
            return false;
        }
        if (!SameSecret(CookieValue(req, CookieName()), token)) {
            return refuse(403, "missing or wrong access token: open the address 'reminders serve' printed");
        }
        if (req.method == "GET" || req.method == "HEAD") return true;
        if (req.method != "POST") return refuse(405, "method not allowed");
        const std::string origin = req.get_header_value("Origin");
        const std::string referer = req.get_header_value("Referer");
        const bool sameOrigin = !origin.empty() ? (origin == Origin() || origin == "http://localhost" + portText)
                                                : (referer.rfind(Origin() + "/", 0) == 0);
        if (!sameOrigin) return refuse(403, "cross-origin request refused");
        const std::string sent = req.has_header("X-Reminders-Token") ? req.get_header_value("X-Reminders-Token")
                                                                     : req.get_param_value("_token");
        if (!SameSecret(sent, token)) return refuse(403, "missing or wrong form token");
        return true;
    }

    void Route(const char* method, const std::string& path,
               std::function<void(const Request&, Response&)> handler) {
        auto guarded = [this, handler](const Request& req, Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("X-Frame-Options", "DENY");
            res.set_header("Referrer-Policy", "same-origin");
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                           "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
            if (!Admit(req, res)) return;
            const std::lock_guard<std::mutex> lock(engine);
            try {
                handler(req, res);
            } catch (const AppError& e) {
                Problem(req, res, 400, e.what());
            } catch (const nlohmann::json::exception& e) {
                Problem(req, res, 400, std::string("not valid JSON: ") + e.what());
            } catch (const std::exception& e) {
                Problem(req, res, 500, std::string("unexpected error: ") + e.what());
            }
        };
        if (std::string(method) == "GET") server.Get(path, guarded);
        else server.Post(path, guarded);
    }

    void Problem(const Request& req, Response& res, int status, const std::string& what) {
        res.status = status;
        if (req.path.rfind("/api/", 0) == 0) {
            res.set_content(nlohmann::json{{"error", what}}.dump(), "application/json");
        } else {
            res.set_content(Page("Problem", "", "<div class=problem>" + H(what) + "</div>"), "text/html; charset=utf-8");
        }
    }

    std::string Hidden() const { return "<input type=hidden name=_token value=\"" + H(token) + "\">"; }

    std::string Page(const std::string& title, const std::string& here, const std::string& body) const {
        static const std::pair<const char*, const char*> kNav[] = {
            {"/", "Today"}, {"/sets", "Reminder sets"}, {"/groups", "Groups"},
            {"/history", "History"}, {"/prefs", "Preferences"}, {"/outbox", "Outbox"}};
        std::string html = "<!doctype html><html lang=en><head><meta charset=utf-8><title>" + H(title) +
                           " - reminders</title><meta name=reminders-token content=\"" + H(token) +
                           "\"><link rel=stylesheet href=\"/static/app.css\"><script src=\"/static/app.js\"></script>"
                           "</head><body><nav>";
        for (const auto& [path, name] : kNav) {
            html += std::string("<a href=\"") + path + "\"" + (here == path ? " class=here" : "") + ">" + name + "</a>";
        }
        return html + "</nav><main><h1>" + H(title) + "</h1>" + body + "</main></body></html>";
    }

    void Html(Response& res, const std::string& title, const std::string& here, const std::string& body) {
        res.set_content(Page(title, here, body), "text/html; charset=utf-8");
    }

    static std::string FieldError(const Errors& errors, const std::string& field) {
        auto it = errors.find(field);
        return it == errors.end() ? std::string() : "<span class=field-error>" + H(it->second) + "</span>";
    }

    // ---- Today --------------------------------------------------------------
    void Today(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        const DueList due = CollectDue(false);
        const std::string q = Param(f, "q"), kind = Param(f, "kind");
        std::string body;
        if (Has(f, "sent")) {
            body += "<div class=done id=sent-summary>Sent " + H(Param(f, "sent")) + " invoice reminder(s) and " +
                    H(Param(f, "statements")) + " statement(s); " + H(Param(f, "skipped")) +
                    " skipped for want of an e-mail address; " + H(Param(f, "failed")) + " failed.</div>";
        }
        for (const auto& note : due.notes) body += "<div class=note>" + H(note) + "</div>";
        if (due.duplicateFound) {
            body += "<div class=note id=overlap>Some invoices belong to more than one reminder group; each gets one "
                    "reminder.</div>";
        }
        body += "<form method=get action=\"/\"><label>Customer <input type=text name=q value=\"" + H(q) +
                "\"></label><label>Kind <select name=kind>";
        for (const char* k : {"", "invoice", "statement"}) {
            body += std::string("<option value=\"") + k + "\"" + (kind == k ? " selected" : "") + ">" +
                    (*k ? k : "all") + "</option>";
        }
        body += "</select></label> <button>Filter</button></form>";
        body += "<form method=post action=\"/send\" id=send-form>" + Hidden() +
                "<table id=due><tr><th><input type=checkbox id=tick-all title=\"tick all\"></th><th>Customer</th>"
                "<th>E-mail</th><th>Invoice</th><th>Due date</th><th>Days overdue</th><th>Rule</th><th>Subject</th>"
                "<th></th></tr>";
        int shown = 0;
        for (const auto& item : due.items) {
            if (!Contains(item.to.name, q)) continue;
            if (kind == "invoice" && item.statement) continue;
            if (kind == "statement" && !item.statement) continue;
            ++shown;
            const std::string key = DueItemKey(item);
            body += "<tr><td><input type=checkbox name=key value=\"" + H(key) + "\"></td><td class=customer>" +
                    H(item.to.name) + "</td><td>" + H(item.to.email.empty() ? "no e-mail" : item.to.email) +
                    "</td><td>" + (item.statement ? "statement" : std::to_string(item.invoice.number)) + "</td><td>" +
                    (item.statement ? "" : FormatIsoDate(item.invoice.dueDate)) + "</td><td>" +
                    (item.statement ? "" : std::to_string(std::max(0L, item.daysFromDue))) + "</td><td>" +
                    H(item.ruleText) + "</td><td>" + H(RenderDue(ctx, item).subject) +
                    "</td><td><a class=preview href=\"/preview?key=" + H(httplib::detail::encode_query_param(key)) +
                    "\">preview</a></td></tr>";
        }
        body += "</table>";
        if (due.items.empty()) body += "<p>Nothing is due on " + FormatIsoDate(GetSystemDate()) + ".</p>";
        else body += "<p>" + std::to_string(shown) + " of " + std::to_string(due.items.size()) + " due on " +
                     FormatIsoDate(GetSystemDate()) + ".</p>";
        body += "<button name=which value=ticked id=send-ticked>Send ticked now</button> "
                "<button name=which value=all id=send-all>Send all due now</button></form>";
        Html(res, "Today", "/", body);
    }

    void Preview(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        const std::string key = Param(f, "key");
        for (const auto& item : CollectDue(false).items) {
            if (DueItemKey(item) != key) continue;
            std::string body;
            if (item.to.email.empty()) body += "<div class=note>No e-mail address: this one is skipped when sending.</div>";
            body += "<pre class=message id=message>" + H(BuildMessage(ComposeDue(ctx, item))) + "</pre>";
            body += "<p>The Date header is the moment of sending.</p><p><a href=\"/\">Back to today</a></p>";
            return Html(res, "Message to " + item.to.name, "/", body);
        }
        res.status = 404;
        Html(res, "Preview", "/", "<div class=problem>No reminder with that name is due today.</div>");
    }

    void Send(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        SendOptions options;
        options.quiet = true;
        options.outbox = outbox;
        if (Param(f, "which") != "all") {
            for (std::size_t i = 0; i < Count(f, "key"); ++i) options.only.push_back(Param(f, "key", i));
            if (options.only.empty()) throw AppError("send: tick at least one reminder, or send all");
        }
        const SendSummary s = SendDue(ctx, options);
        res.set_redirect("/?sent=" + std::to_string(s.invoiceReminders) + "&statements=" +
                             std::to_string(s.statements) + "&skipped=" + std::to_string(s.skippedNoEmail) +
                             "&failed=" + std::to_string(s.failed),
                         303);
    }

    // ---- Reminder sets ------------------------------------------------------
    static std::string RulesText(const TxnReminderSet& set) {
        std::string text;
        for (const auto& r : set.GetReminderRules()) text += (text.empty() ? "" : "; ") + DescribeRule(r);
        for (const auto& r : set.GetStatementReminderRules()) text += (text.empty() ? "" : "; ") + DescribeRule(r);
        return text.empty() ? "(no rules)" : text;
    }

    void Sets(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        std::string body;
        if (Has(f, "saved")) body += "<div class=done>Saved reminder set " + H(Param(f, "saved")) + ".</div>";
        body += "<p><a href=\"/sets/new?kind=Invoice\" id=new-invoice-set>New invoice reminder set</a> &middot; "
                "<a href=\"/sets/new?kind=Statement\">New statement set</a></p>"
                "<table id=sets><tr><th>Id</th><th>Name</th><th>Kind</th><th>Status</th><th>Group</th><th>Rules</th>"
                "<th></th></tr>";
        for (auto set : LoadAllSets()) {
            const std::string id = std::to_string(set.GetRuleSetId());
            const bool active = set.GetReminderSetStatus() == TxnReminderSetStatus_Active;
            body += "<tr><td>" + id + "</td><td class=set-name>" + H(set.GetReminderSetName().str()) + "</td><td>" +
                    (set.GetTxnType() == FormViewType_Statement ? "statement" : "invoice") + "</td><td>" +
                    (active ? "active" : "inactive") + "</td><td>" + H(set.GetDefaultTargetGroupName().str()) +
                    "</td><td>" + H(RulesText(set)) + "</td><td><a href=\"/sets/edit?id=" + id +
                    "\">edit</a> <form class=inline method=post action=\"/sets/toggle\">" + Hidden() +
                    "<input type=hidden name=id value=" + id + "><button>" + (active ? "deactivate" : "activate") +
                    "</button></form> <form class=inline method=post action=\"/sets/delete\" data-confirm=\"Delete "
                    "this reminder set with its rules?\">" +
                    Hidden() + "<input type=hidden name=id value=" + id + "><button>delete</button></form></td></tr>";
        }
        Html(res, "Reminder sets", "/sets", body + "</table>");
    }

    static boost::property_tree::ptree StoredTree(long id) {
        for (auto set : LoadAllSets()) {
            if (static_cast<long>(set.GetRuleSetId()) != id) continue;
            boost::property_tree::ptree tree;
            if (!set.GetPtree(tree)) throw AppError("set " + std::to_string(id) + " cannot be shown");
            return tree;
        }
        throw AppError("no reminder set with id " + std::to_string(id));
    }

    static SetForm FormFromTree(const boost::property_tree::ptree& tree) {
        SetForm f;
        f.id = tree.get<long>("id", 0);
        f.name = tree.get<std::string>("name", "");
        f.kind = tree.get<std::string>("txnType", "Invoice");
        f.group = tree.get<std::string>("targetGroupId", "");
        f.active = tree.get<std::string>("status", "true") == "true";
        if (auto rules = tree.get_child_optional("rules")) {
            for (const auto& [_, r] : *rules) {
                RuleForm rf;
                rf.id = r.get<long>("id", 0);
                rf.days = r.get<std::string>("criterion.days", "0");
                rf.when = r.get<std::string>("criterion.schedule", "after");
                rf.subject = r.get<std::string>("template.subject", "");
                rf.body = r.get<std::string>("template.body", "");
                f.rules.push_back(rf);
            }
        }
        if (auto rules = tree.get_child_optional("statementRules")) {
            for (const auto& [_, r] : *rules) {
                StatementRuleForm sf;
                sf.id = r.get<long>("id", 0);
                sf.frequency = r.get<std::string>("frequency", "every month");
                sf.day = r.get<std::string>("scheduleDay", "1");
                sf.templateId = r.get<std::string>("templateId", "0");
                f.statementRules.push_back(sf);
            }
        }
        return f;
    }

    static SetForm FormFromRequest(const Request& req) {
        const httplib::Params q = Fields(req);
        SetForm f;
        f.id = ParseLong(Param(q, "id"), 0);
        f.name = Param(q, "name");
        f.kind = Param(q, "kind") == "Statement" ? "Statement" : "Invoice";
        f.group = Param(q, "group");
        f.active = Has(q, "active");
        const std::size_t n = Count(q, "rule_days");
        for (std::size_t i = 0; i < n; ++i) {
            f.rules.push_back({ParseLong(Param(q, "rule_id", i), 0), Param(q, "rule_days", i),
                               Param(q, "rule_when", i), Param(q, "rule_subject", i), Param(q, "rule_body", i)});
        }
        const std::size_t m = Count(q, "srule_day");
        for (std::size_t i = 0; i < m; ++i) {
            f.statementRules.push_back({ParseLong(Param(q, "srule_id", i), 0), Param(q, "srule_freq", i),
                                        Param(q, "srule_day", i), Param(q, "srule_template", i)});
        }
        return f;
    }

    static std::string RuleRow(const RuleForm& r, const Errors& errors, std::size_t i) {
        const std::string n = std::to_string(i);
        std::string html = "<fieldset class=\"row rule\"><legend>Rule</legend><input type=hidden name=rule_id value=" +
                           std::to_string(r.id) + "><label><input type=number name=rule_days min=0 value=\"" +
                           H(r.days) + "\"> days</label>" + FieldError(errors, "rule_days_" + n) +
                           "<select name=rule_when>";
        for (const char* w : {"before", "after"}) {
            html += std::string("<option") + (r.when == w ? " selected" : "") + ">" + w + "</option>";
        }
        return html + "</select> the due date" + FieldError(errors, "rule_when_" + n) +
               "<label>Subject <input type=text name=rule_subject size=60 value=\"" + H(r.subject) + "\"></label>" +
               FieldError(errors, "rule_subject_" + n) + "<label>Body</label><textarea name=rule_body>" + H(r.body) +
               "</textarea><div>Preview:</div><pre class=\"message live-preview\"></pre>"
               "<button type=button class=remove-row>Remove rule</button></fieldset>";
    }

    static std::string StatementRuleRow(const StatementRuleForm& r, const Errors& errors, std::size_t i) {
        const std::string n = std::to_string(i);
        std::string html = "<fieldset class=\"row\"><legend>Statement rule</legend><input type=hidden name=srule_id "
                           "value=" + std::to_string(r.id) + "><select name=srule_freq>";
        for (const char* f : kFrequencies) {
            html += std::string("<option") + (r.frequency == f ? " selected" : "") + ">" + f + "</option>";
        }
        return html + "</select>" + FieldError(errors, "srule_freq_" + n) +
               "<label>on day <input type=number name=srule_day min=1 max=31 value=\"" + H(r.day) + "\"></label>" +
               FieldError(errors, "srule_day_" + n) + "<label>e-mail template id <input type=number "
               "name=srule_template min=0 value=\"" + H(r.templateId) + "\"></label>" +
               FieldError(errors, "srule_template_" + n) +
               "<button type=button class=remove-row>Remove rule</button></fieldset>";
    }

    void SetEditor(Response& res, const SetForm& f, const Errors& errors) {
        std::string body;
        if (auto it = errors.find(""); it != errors.end()) body += "<div class=problem>" + H(it->second) + "</div>";
        body += "<form method=post action=\"/sets/save\" id=set-form>" + Hidden() +
                "<input type=hidden name=id value=" + std::to_string(f.id) + "><input type=hidden name=kind value=\"" +
                H(f.kind) + "\"><p><label>Name <input type=text name=name value=\"" + H(f.name) + "\"></label>" +
                FieldError(errors, "name") + "</p><p><label>Customer group <select name=group><option value=\"\">"
                "(choose)</option>";
        for (const auto& g : LoadGroups()) {
            const std::string id = std::to_string(g.id);
            body += "<option value=" + id + (f.group == id ? " selected" : "") + ">" + H(g.name) + "</option>";
        }
        body += "</select></label>" + FieldError(errors, "group") + "</p><p><label><input type=checkbox name=active" +
                (f.active ? " checked" : "") + "> active</label></p>";
        if (f.kind == "Statement") {
            body += "<div id=statement-rules>";
            for (std::size_t i = 0; i < f.statementRules.size(); ++i) body += StatementRuleRow(f.statementRules[i], errors, i);
            body += "</div><template id=statement-rule-template>" + StatementRuleRow({}, {}, 0) +
                    "</template><button type=button id=add-statement-rule>Add a statement rule</button>";
        } else {
            std::string firstInvoice;
            for (const auto& item : CollectDue(false).items) {
                if (!item.statement) {
                    firstInvoice = std::to_string(item.invoice.number);
                    break;
                }
            }
            body += "<p><label>Preview on invoice <input type=number id=preview-invoice value=\"" + H(firstInvoice) +
                    "\"></label> Placeholders: {{customer}} {{invoice}} {{amount}} {{due_date}} {{days_overdue}} "
                    "{{company}}</p><div id=rules>";
            for (std::size_t i = 0; i < f.rules.size(); ++i) body += RuleRow(f.rules[i], errors, i);
            body += "</div><template id=rule-template>" + RuleRow({}, {}, 0) +
                    "</template><button type=button id=add-rule>Add a rule</button>";
        }
        body += "<p><button id=save-set>Save</button> <a href=\"/sets\">Cancel</a></p></form>";
        Html(res, f.id ? "Reminder set " + std::to_string(f.id) : "New reminder set", "/sets", body);
    }

    // Every field is checked before anything is saved; the messages use the
    // command line's words.
    static Errors Validate(const SetForm& f, const std::vector<GroupView>& groups) {
        Errors errors;
        if (f.name.empty()) errors["name"] = "name: must not be empty";
        else if (f.name.size() > 100) errors["name"] = "name: at most 100 characters";
        const long group = ParseLong(f.group, -1);
        if (std::none_of(groups.begin(), groups.end(), [&](const GroupView& g) { return g.id == group; })) {
            errors["group"] = f.group.empty() ? "targetGroupId: choose a customer group"
                                              : "targetGroupId: no customer group with id " + f.group;
        }
        for (std::size_t i = 0; i < f.rules.size(); ++i) {
            const std::string n = std::to_string(i);
            const long days = ParseLong(f.rules[i].days, -1);
            if (days < 0 || days > 3650) {
                errors["rule_days_" + n] = "days: expected a number from 0 to 3650, got '" + f.rules[i].days + "'";
            }
            if (f.rules[i].when != "before" && f.rules[i].when != "after") {
                errors["rule_when_" + n] = "schedule: expected before or after";
            }
            if (f.rules[i].subject.empty()) errors["rule_subject_" + n] = "subject: must not be empty";
        }
        for (std::size_t i = 0; i < f.statementRules.size(); ++i) {
            const auto& r = f.statementRules[i];
            const std::string n = std::to_string(i);
            if (std::none_of(std::begin(kFrequencies), std::end(kFrequencies), [&](const char* k) { return r.frequency == k; })) {
                errors["srule_freq_" + n] = "frequency: expected every week, every month or every quarter";
            }
            const long day = ParseLong(r.day, 0);
            const long top = r.frequency == "every week" ? 7 : 31;
            if (day < 1 || day > top) {
                errors["srule_day_" + n] = "scheduleDay: expected a number from 1 to " + std::to_string(top) + ", got '" + r.day + "'";
            }
            if (ParseLong(r.templateId, -1) < 0) errors["srule_template_" + n] = "templateId: expected a number";
        }
        return errors;
    }

    // The engine's tree for the form: fields the page does not show are kept
    // from what is stored.
    static boost::property_tree::ptree TreeFromForm(const SetForm& f, const boost::property_tree::ptree& stored,
                                                    const std::vector<GroupView>& groups,
                                                    std::vector<unsigned long>& dropped) {
        using boost::property_tree::ptree;
        ptree tree = stored;
        tree.put("id", f.id);
        tree.put("status", f.active ? "true" : "false");
        tree.put("name", f.name);
        tree.put("txnType", f.kind);
        const long group = ParseLong(f.group, 0);
        tree.put("targetGroupId", group);
        for (const auto& g : groups) {
            if (g.id == group) tree.put("targetGroupName", g.name);
        }
        std::map<long, ptree> oldRules, oldStatementRules;
        if (auto r = stored.get_child_optional("rules")) {
            for (const auto& [_, rule] : *r) oldRules[rule.get<long>("id", 0)] = rule;
        }
        if (auto r = stored.get_child_optional("statementRules")) {
            for (const auto& [_, rule] : *r) oldStatementRules[rule.get<long>("id", 0)] = rule;
        }
        ptree rules, statementRules;
        std::set<long> kept;
        for (const auto& r : f.rules) {
            ptree rule;
            if (r.id && oldRules.count(r.id)) {
                rule = oldRules[r.id];
                kept.insert(r.id);
            } else {
                rule.put("id", 0);
                rule.put("setId", f.id);
                rule.put("criterion.DateToCompare", "due date");
                rule.put("template.id", -1);
                rule.put("template.typeId", "INV_TYPE");
            }
            rule.put("criterion.days", ParseLong(r.days, 0));
            rule.put("criterion.schedule", r.when);
            rule.put("template.subject", r.subject);
            rule.put("template.body", r.body);
            rules.push_back({"", rule});
        }
        for (const auto& r : f.statementRules) {
            ptree rule;
            if (r.id && oldStatementRules.count(r.id)) {
                rule = oldStatementRules[r.id];
                kept.insert(r.id);
            } else {
                rule.put("id", 0);
                rule.put("setId", f.id);
                rule.put("styleId", 1);
                rule.put("criterion.dateRange", "previous month");
                rule.put("criterion.txnStatus", "all");
                rule.put("criterion.overdueBy", "0");
                rule.put("criterion.itemDetails", "false");
                rule.put("criterion.memo", "false");
                rule.put("criterion.dueDate", "true");
                rule.put("criterion.custOrJob", "true");
            }
            rule.put("frequency", r.frequency);
            rule.put("scheduleDay", ParseLong(r.day, 1));
            rule.put("templateId", ParseLong(r.templateId, 0));
            statementRules.push_back({"", rule});
        }
        for (const auto* old : {&oldRules, &oldStatementRules}) {
            for (const auto& [id, _] : *old) {
                if (id && !kept.count(id)) dropped.push_back(static_cast<unsigned long>(id));
            }
        }
        tree.put_child("rules", rules);
        tree.put_child("statementRules", statementRules);
        return tree;
    }

    void SaveSet(const Request& req, Response& res) {
        const SetForm f = FormFromRequest(req);
        const auto groups = LoadGroups();
        Errors errors = Validate(f, groups);
        if (!errors.empty()) {
            res.status = 400;
            return SetEditor(res, f, errors);
        }
        const boost::property_tree::ptree stored = f.id ? StoredTree(f.id) : boost::property_tree::ptree();
        std::vector<unsigned long> dropped;
        const auto tree = TreeFromForm(f, stored, groups, dropped);
        try {
            const auto saved = SaveSetTrees({tree}, "reminder set", dropped);
            res.set_redirect("/sets?saved=" + std::to_string(saved.front().GetRuleSetId()), 303);
        } catch (const AppError& e) {
            res.status = 400;
            errors[""] = e.what();
            SetEditor(res, f, errors);
        }
    }

    void ToggleSet(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        const long id = ParseLong(Param(f, "id"), 0);
        boost::property_tree::ptree tree = StoredTree(id);
        tree.put("status", tree.get<std::string>("status", "true") == "true" ? "false" : "true");
        SaveSetTrees({tree}, "reminder set " + std::to_string(id));
        res.set_redirect("/sets", 303);
    }

    void RemoveSet(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        DeleteSet(ParseLong(Param(f, "id"), 0));
        res.set_redirect("/sets", 303);
    }

    // ---- Groups -------------------------------------------------------------
    void Groups(const Request& req, Response& res, const Errors& errors = {}) {
        const httplib::Params f = Fields(req);
        std::string body = "<table id=groups><tr><th>Id</th><th>Name</th><th>Members</th><th>Description</th></tr>";
        for (const auto& g : LoadGroups()) {
            body += "<tr><td>" + std::to_string(g.id) + "</td><td><a href=\"/groups/show?id=" + std::to_string(g.id) +
                    "\">" + H(g.name) + "</a></td><td>" + std::to_string(g.memberCount) + "</td><td>" +
                    H(g.description) + "</td></tr>";
        }
        body += "</table><h2>New group</h2>";
        if (auto it = errors.find(""); it != errors.end()) body += "<div class=problem>" + H(it->second) + "</div>";
        std::set<std::string> ticked;
        for (std::size_t i = 0; i < Count(f, "member"); ++i) ticked.insert(Param(f, "member", i));
        body += "<form method=post action=\"/groups/create\">" + Hidden() +
                "<p><label>Name <input type=text name=name value=\"" + H(Param(f, "name")) + "\"></label>" +
                FieldError(errors, "name") + "</p><p><label>Search <input type=text id=member-search></label></p>"
                "<div class=members>";
        for (const auto& c : LoadCustomers()) {
            if (c.hidden) continue;
            const std::string id = std::to_string(c.id);
            body += std::string("<div") + (c.parent ? " class=job" : "") + "><label><input type=checkbox name=member "
                    "value=" + id + (ticked.count(id) ? " checked" : "") + "> " + H(c.name) + "</label></div>";
        }
        body += "</div>" + FieldError(errors, "member") + "<p><button>Create group</button></p></form>";
        Html(res, "Groups", "/groups", body);
    }

    void GroupShow(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        std::string name;
        const auto members = LoadGroupMembers(ParseLong(Param(f, "id"), 0), &name);
        const std::unordered_map<int, Addressee> addressees = AddresseesOf(members);
        std::string body = "<table><tr><th>Id</th><th>Name</th><th>E-mail</th></tr>";
        for (int m : members) {
            const Addressee& a = addressees.at(m);
            body += "<tr><td>" + std::to_string(m) + "</td><td>" + H(a.name.empty() ? "(deleted)" : a.name) +
                    "</td><td>" + H(a.email.empty() ? "no e-mail" : a.email) + "</td></tr>";
        }
        Html(res, "Group " + name, "/groups", body + "</table>");
    }

    void GroupCreate(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        Errors errors;
        const std::string name = Param(f, "name");
        std::vector<int> members;
        for (std::size_t i = 0; i < Count(f, "member"); ++i) {
            const long id = ParseLong(Param(f, "member", i), 0);
            if (id > 0 && id < (1L << 30)) members.push_back(static_cast<int>(id));
            else errors["member"] = "--customers: not a customer id: '" + Param(f, "member", i) + "'";
        }
        if (name.empty()) errors["name"] = "NAME: must not be empty";
        if (members.empty() && !errors.count("member")) errors["member"] = "--customers: choose at least one customer";
        if (errors.empty()) {
            try {
                CreateGroup(name, members);
                return res.set_redirect("/groups", 303);
            } catch (const AppError& e) {
                errors[""] = e.what();
            }
        }
        res.status = 400;
        Groups(req, res, errors);
    }

    // ---- History, preferences, outbox ----------------------------------------
    void History(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        const std::string q = Param(f, "q");
        const long pageSize = 25;
        long page = std::max(1L, ParseLong(Param(f, "page"), 1));
        std::vector<HistoryRow> rows;
        for (auto& r : LoadHistory()) {
            if (Contains(r.customer, q) || Contains(std::to_string(r.invoice), q)) rows.push_back(std::move(r));
        }
        const long pages = std::max(1L, static_cast<long>((rows.size() + pageSize - 1) / pageSize));
        page = std::min(page, pages);
        std::string body = "<form method=get action=\"/history\"><label>Search <input type=text name=q value=\"" +
                           H(q) + "\"></label> <button>Search</button></form><table id=history><tr><th>Invoice</th>"
                           "<th>Customer</th><th>Rule</th><th>Status</th></tr>";
        for (long i = (page - 1) * pageSize; i < std::min<long>(page * pageSize, static_cast<long>(rows.size())); ++i) {
            const auto& r = rows[static_cast<std::size_t>(i)];
            body += "<tr><td>" + std::to_string(r.invoice) + "</td><td>" + H(r.customer) + "</td><td>" +
                    std::to_string(r.ruleId) + "</td><td>" + H(r.statusText) + "</td></tr>";
        }
        body += "</table><p class=pager>";
        const std::string query = "&q=" + H(httplib::detail::encode_query_param(q));
        if (page > 1) body += "<a href=\"/history?page=" + std::to_string(page - 1) + query + "\">previous</a>";
        body += "page " + std::to_string(page) + " of " + std::to_string(pages) + " (" + std::to_string(rows.size()) +
                " entries)";
        if (page < pages) body += " <a href=\"/history?page=" + std::to_string(page + 1) + query + "\">next</a>";
        Html(res, "History", "/history", body + "</p>");
    }

    void Prefs(Response& res, const std::map<std::string, std::string>& values, const Errors& errors,
               bool saved) {
        std::string body = saved ? "<div class=done>Preferences saved.</div>" : "";
        if (auto it = errors.find(""); it != errors.end()) body += "<div class=problem>" + H(it->second) + "</div>";
        body += "<form method=post action=\"/prefs\" id=prefs-form>" + Hidden() + "<table><tr><th>Preference</th>"
                "<th>Value</th><th>Meaning</th></tr>";
        for (const auto& p : LoadPrefs()) {
            auto v = values.find(p.name);
            body += "<tr><td>" + H(p.name) + "</td><td><input type=text name=\"" + H(p.name) + "\" value=\"" +
                    H(v == values.end() ? p.value : v->second) + "\">" + FieldError(errors, p.name) + "</td><td>" +
                    H(p.help) + "</td></tr>";
        }
        Html(res, "Preferences", "/prefs", body + "</table><p><button>Save</button></p></form>");
    }

    // All or nothing: a refused value puts back the ones set before it.
    void SavePrefs(const Request& req, Response& res) {
        const httplib::Params f = Fields(req);
        const auto before = LoadPrefs();
        std::map<std::string, std::string> values;
        std::vector<std::pair<std::string, std::string>> done;  // name, old value
        for (const auto& p : before) {
            if (!Has(f, p.name)) continue;
            values[p.name] = Param(f, p.name);
        }
        for (const auto& p : before) {
            auto v = values.find(p.name);
            if (v == values.end() || v->second == p.value) continue;
            try {
                SetPref(p.name, v->second);
                done.emplace_back(p.name, p.value);
            } catch (const AppError& e) {
                for (auto it = done.rbegin(); it != done.rend(); ++it) SetPref(it->first, it->second);
                res.status = 400;
                return Prefs(res, values, {{p.name, e.what()}}, false);
            }
        }
        res.set_redirect("/prefs?saved=1", 303);
    }

    std::vector<std::pair<std::string, long long>> OutboxFiles() const {
        std::vector<std::pair<std::string, long long>> files;
        DIR* dir = ::opendir(outbox.c_str());
        if (!dir) return files;
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.empty() || name[0] == '.') continue;
            struct stat st {};
            if (::stat((outbox + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.emplace_back(name, st.st_size);
        }
        ::closedir(dir);
        std::sort(files.begin(), files.end());
        return files;
    }

    void Outbox(Response& res) {
        const auto files = OutboxFiles();
        std::string body = "<p>Folder: <code>" + H(outbox) + "</code>; " + std::to_string(files.size()) +
                           " message(s) written.</p><table id=outbox><tr><th>Message</th><th>Bytes</th></tr>";
        for (const auto& [name, size] : files) {
            body += "<tr><td>" + H(name) + "</td><td>" + std::to_string(size) + "</td></tr>";
        }
        Html(res, "Outbox", "/outbox", body + "</table>");
    }

    // ---- JSON ---------------------------------------------------------------
    void ApiDue(Response& res) {
        const DueList due = CollectDue(false);
        nlohmann::json items = nlohmann::json::array();
        for (const auto& item : due.items) {
            const RenderedText text = RenderDue(ctx, item);
            items.push_back({{"key", DueItemKey(item)},
                             {"kind", item.statement ? "statement" : "invoice"},
                             {"customer", item.to.name},
                             {"email", item.to.email.empty() ? nlohmann::json() : nlohmann::json(item.to.email)},
                             {"invoice", item.statement ? nlohmann::json() : nlohmann::json(item.invoice.number)},
                             {"daysOverdue", item.statement ? 0 : std::max(0L, item.daysFromDue)},
                             {"rule", item.ruleText},
                             {"subject", text.subject},
                             {"body", text.body}});
        }
        res.set_content(nlohmann::json{{"due", items}, {"overlap", due.duplicateFound}, {"notes", due.notes}}.dump(),
                        "application/json");
    }

    void ApiSets(Response& res) {
        boost::property_tree::ptree array;
        for (auto set : LoadAllSets()) {
            boost::property_tree::ptree tree;
            if (!set.GetPtree(tree)) throw AppError("set " + std::to_string(set.GetRuleSetId()) + " cannot be shown");
            array.push_back({"", tree});
        }
        boost::property_tree::ptree root;
        root.add_child("sets", array);
        res.set_content(ToJson(root), "application/json");
    }

    void ApiHistory(Response& res) {
        nlohmann::json rows = nlohmann::json::array();
        for (const auto& r : LoadHistory()) {
            rows.push_back({{"invoice", r.invoice}, {"customer", r.customer}, {"ruleId", r.ruleId}, {"status", r.statusText}});
        }
        res.set_content(nlohmann::json{{"history", rows}}.dump(), "application/json");
    }

    // A template rendered on a real invoice, as a reminder for it would read.
    void ApiPreview(const Request& req, Response& res) {
        const nlohmann::json in = nlohmann::json::parse(req.body);
        DueItem item;
        const std::string number = in.value("invoice", std::string());
        const long id = ParseLong(number, 0);
        if (id <= 0 || !ReadInvoice(static_cast<unsigned long>(id), item.invoice)) {
            throw AppError("invoice: no invoice with number '" + number + "'");
        }
        item.customer = item.invoice.customer;
        item.to = AddresseeOf(item.customer);
        item.daysFromDue = DateMinusDate(GetSystemDate(), item.invoice.dueDate);
        item.subject = in.value("subject", std::string());
        item.body = in.value("body", std::string());
        const RenderedText text = RenderDue(ctx, item);
        res.set_content(nlohmann::json{{"subject", text.subject}, {"body", text.body}}.dump(), "application/json");
    }

    void Routes() {
        Route("GET", "/", [this](const Request& q, Response& r) { Today(q, r); });
        Route("GET", "/preview", [this](const Request& q, Response& r) { Preview(q, r); });
        Route("POST", "/send", [this](const Request& q, Response& r) { Send(q, r); });
        Route("GET", "/sets", [this](const Request& q, Response& r) { Sets(q, r); });
        Route("GET", "/sets/new", [this](const Request& q, Response& r) {
            SetForm f;
            f.kind = Param(q.params, "kind") == "Statement" ? "Statement" : "Invoice";
            if (f.kind == "Invoice") f.rules.push_back({});
            else f.statementRules.push_back({});
            SetEditor(r, f, {});
        });
        Route("GET", "/sets/edit", [this](const Request& q, Response& r) {
            SetEditor(r, FormFromTree(StoredTree(ParseLong(Param(q.params, "id"), 0))), {});
        });
        Route("POST", "/sets/save", [this](const Request& q, Response& r) { SaveSet(q, r); });
        Route("POST", "/sets/toggle", [this](const Request& q, Response& r) { ToggleSet(q, r); });
        Route("POST", "/sets/delete", [this](const Request& q, Response& r) { RemoveSet(q, r); });
        Route("GET", "/groups", [this](const Request& q, Response& r) { Groups(q, r); });
        Route("GET", "/groups/show", [this](const Request& q, Response& r) { GroupShow(q, r); });
        Route("POST", "/groups/create", [this](const Request& q, Response& r) { GroupCreate(q, r); });
        Route("GET", "/history", [this](const Request& q, Response& r) { History(q, r); });
        Route("GET", "/prefs", [this](const Request& q, Response& r) { Prefs(r, {}, {}, q.has_param("saved")); });
        Route("POST", "/prefs", [this](const Request& q, Response& r) { SavePrefs(q, r); });
        Route("GET", "/outbox", [this](const Request&, Response& r) { Outbox(r); });
        Route("GET", "/static/app.css", [](const Request&, Response& r) { r.set_content(web::kStyleSheet, "text/css"); });
        Route("GET", "/static/app.js", [](const Request&, Response& r) {
            r.set_content(web::kScript, "application/javascript");
        });
        Route("GET", "/api/due", [this](const Request&, Response& r) { ApiDue(r); });
        Route("GET", "/api/sets", [this](const Request&, Response& r) { ApiSets(r); });
        Route("GET", "/api/history", [this](const Request&, Response& r) { ApiHistory(r); });
        Route("POST", "/api/preview", [this](const Request& q, Response& r) { ApiPreview(q, r); });
    }
};

WebServer::WebServer(const AppContext& ctx, const ServeOptions& options)
    : m_impl(std::make_unique<Impl>(ctx, options)) {
    m_impl->server.set_payload_max_length(options.maxBody);
    m_impl->server.set_read_timeout(10, 0);
    m_impl->Routes();
}

WebServer::~WebServer() { Stop(); }

int WebServer::Bind() {
    if (m_impl->options.port > 0) {
        if (!m_impl->server.bind_to_port("127.0.0.1", m_impl->options.port)) {
            throw AppError("serve: port " + std::to_string(m_impl->options.port) + " on 127.0.0.1 is not free");
        }
        m_impl->port = m_impl->options.port;
    } else {
        m_impl->port = m_impl->server.bind_to_any_port("127.0.0.1");
        if (m_impl->port <= 0) throw AppError("serve: no free port on 127.0.0.1");
    }
    return m_impl->port;
}

bool WebServer::Listen() { return m_impl->server.listen_after_bind(); }
void WebServer::Stop() {
    if (m_impl) m_impl->server.stop();
}
int WebServer::Port() const { return m_impl->port; }
const std::string& WebServer::Token() const { return m_impl->token; }
std::string WebServer::Url() const { return m_impl->Origin() + "/?token=" + m_impl->token; }

int Serve(const AppContext& ctx, const ServeOptions& options) {
    // Interrupts are taken by one thread that stops the server, so the
    // company file is closed after the request under way has finished.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    WebServer server(ctx, options);
    server.Bind();
    std::cout << "Serving " << Host::DisplayLocation(ctx.file) << " at " << server.Url() << "\n(Ctrl-C stops)" << std::endl;
    if (options.open) {
        const std::string url = server.Url();
        const pid_t child = ::fork();
        if (child == 0) {
            pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
            ::execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (child < 0) std::cerr << "serve: the browser could not be started; open the address above\n";
    }
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.Stop();
    });
    const bool ok = server.Listen();
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return ok ? 0 : 1;
}

void RegisterServeCommands(CLI::App& cli, AppContext& ctx) {
    auto o = std::make_shared<ServeOptions>();
    auto* serve = AddCommand(cli, ctx, "serve", "a local web page for the reminders (127.0.0.1, with an access token)",
                             [&ctx, o] { ctx.exitCode = Serve(ctx, *o); });
    serve->add_option("--port", o->port, "port (default: any free one)")->check(CLI::Range(1, 65535));
    serve->add_flag("--open", o->open, "open the page in the browser");
    serve->add_option("--outbox", o->outbox, "folder for the messages");
}

} // namespace app
