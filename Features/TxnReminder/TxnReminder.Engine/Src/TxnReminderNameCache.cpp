#include "TxnReminderNameCache.h"

namespace {
thread_local TxnReminderNameCache* t_current = nullptr;
}

TxnReminderNameCache::TxnReminderNameCache() : m_previous(t_current) { t_current = this; }

TxnReminderNameCache::~TxnReminderNameCache() { t_current = m_previous; }

TxnReminderNameCache* TxnReminderNameCache::Current() { return t_current; }

const TxnReminderNameCache::Target* TxnReminderNameCache::Find(int targetId) const {
    const auto it = m_targets.find(targetId);
    return it == m_targets.end() ? nullptr : &it->second;
}

const TxnReminderNameCache::Target& TxnReminderNameCache::Add(int targetId, Target target) {
    return m_targets.insert_or_assign(targetId, std::move(target)).first->second;
}
