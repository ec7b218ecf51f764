#pragma once

#include <unordered_map>
#include <vector>

// What the invoice selection needs to know of a transaction's customer or
// job: whether it is hidden, the record numbers from it up through its
// parents, and whether any of them has an e-mail address. While a cache is
// alive on a thread, invoices of that thread look their targets up in it,
// so one selection pass reads each name once however many invoices and
// target groups it judges. The name list does not change during a pass (it
// runs on the host's one user-interface thread).
class TxnReminderNameCache {
public:
    struct Target {
        bool hidden = false;
        std::vector<int> chain;  // valid records, the target first
        bool emailFound = false;
    };

    TxnReminderNameCache();
    ~TxnReminderNameCache();
    TxnReminderNameCache(const TxnReminderNameCache&) = delete;
    TxnReminderNameCache& operator=(const TxnReminderNameCache&) = delete;

    // The innermost cache alive on this thread, or null.
    static TxnReminderNameCache* Current();

    const Target* Find(int targetId) const;
    const Target& Add(int targetId, Target target);

private:
    std::unordered_map<int, Target> m_targets;
    TxnReminderNameCache* m_previous;
};
