#include "InvoiceTargetIndex.h"

#include <algorithm>
#include <stdexcept>
#include <typeinfo>

#include "InvoiceTransactionContainer.h"
#include "TxnReminderTargetGroup.h"

InvoiceTargetIndex::InvoiceTargetIndex(
    const std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& candidates)
    : m_candidates(candidates), m_handled(candidates.size(), 0) {
    bool ascending = true;
    bool first = true;
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const TxnReminderTransactionContainer* candidate = candidates[i].get();
        // Only the plain invoice container: a derived one may judge otherwise.
        m_handled[i] = candidate && typeid(*candidate) == typeid(InvoiceTransactionContainer) ? 1 : 0;
        if (!m_handled[i]) {
            ascending = false;
            continue;
        }
        const std::uint32_t id = static_cast<std::uint32_t>(candidates[i]->GetTransactionId());
        if (!first && id <= previous) ascending = false;
        previous = id;
        first = false;
    }
    // An invoice container's reminder carries its own transaction id, so with
    // distinct ascending ids a candidate stands for its transaction.
    m_byIndex = ascending;
    if (m_byIndex) m_selectedIndex.assign(candidates.size(), 0);
}

int InvoiceTargetIndex::SlotOf(int recNum) const {
    if (!m_denseSlots.empty() || m_sparseSlots.empty()) {
        if (recNum < 0 || static_cast<std::size_t>(recNum) >= m_denseSlots.size()) return -1;
        return m_denseSlots[static_cast<std::size_t>(recNum)];
    }
    const auto it = m_sparseSlots.find(recNum);
    return it == m_sparseSlots.end() ? -1 : it->second;
}

void InvoiceTargetIndex::ReadNames() {
    if (CName::GetNameLinks(m_names).Failed()) throw std::runtime_error("the customer list could not be read");
    m_namesRead = true;

    int minRec = 0, maxRec = 0;
    for (const NameLink& link : m_names) {
        minRec = std::min(minRec, link.recNum);
        maxRec = std::max(maxRec, link.recNum);
    }
    const std::size_t count = m_names.size();
    if (minRec >= 0 && static_cast<std::size_t>(maxRec) <= 4 * count + 1024) {
        m_denseSlots.assign(static_cast<std::size_t>(maxRec) + 1, -1);
        for (std::size_t s = 0; s < count; ++s) m_denseSlots[static_cast<std::size_t>(m_names[s].recNum)] = static_cast<int>(s);
    } else {
        m_sparseSlots.reserve(count);
        for (std::size_t s = 0; s < count; ++s) m_sparseSlots.emplace(m_names[s].recNum, static_cast<int>(s));
    }

    // The walk of a single lookup: the record, then each parent that exists
    // and was not met before on the way up.
    m_chainStart.assign(count + 1, 0);
    m_chainEmail.assign(count, 0);
    m_chain.reserve(count + count / 2);
    for (std::size_t s = 0; s < count; ++s) {
        m_chainStart[s] = static_cast<int>(m_chain.size());
        const std::size_t begin = m_chain.size();
        int at = static_cast<int>(s);
        bool email = false;
        while (at >= 0) {
            m_chain.push_back(at);
            email = email || m_names[static_cast<std::size_t>(at)].hasEmail;
            const int parent = m_names[static_cast<std::size_t>(at)].parent;
            if (parent == 0) break;
            const int next = SlotOf(parent);
            if (next < 0 || std::find(m_chain.begin() + static_cast<std::ptrdiff_t>(begin), m_chain.end(), next) !=
                                m_chain.end())
                break;
            at = next;
        }
        m_chainEmail[s] = email ? 1 : 0;
    }
    m_chainStart[count] = static_cast<int>(m_chain.size());

    m_candidateSlot.assign(m_candidates.size(), -1);
    for (std::size_t i = 0; i < m_candidates.size(); ++i) {
        if (m_handled[i]) m_candidateSlot[i] = SlotOf(m_candidates[i]->GetTargetId());
    }
    m_memberStamp.assign(count, 0);
    m_verdict.assign(count, 0);
}

void InvoiceTargetIndex::SelectGroup(const TxnReminderTargetGroup& group) {
    if (!m_namesRead) ReadNames();
    if (++m_stamp == 0) {
        std::fill(m_memberStamp.begin(), m_memberStamp.end(), 0);
        m_stamp = 1;
    }
    for (int member : group.GetTargetUserIds()) {
        const int slot = SlotOf(member);
        if (slot >= 0) m_memberStamp[static_cast<std::size_t>(slot)] = m_stamp;
    }
    // Decided once per name for the group, so that each candidate costs one
    // read: 0 not addressed, 1 addressed without an address, 2 with one.
    const int* chain = m_chain.data();
    for (std::size_t s = 0; s < m_names.size(); ++s) {
        std::uint8_t verdict = 0;
        // A hidden customer or job gets no reminder, member or not.
        if (!m_names[s].hidden) {
            for (int k = m_chainStart[s]; k < m_chainStart[s + 1]; ++k) {
                if (m_memberStamp[static_cast<std::size_t>(chain[k])] == m_stamp) {
                    verdict = m_chainEmail[s] ? 2 : 1;
                    break;
                }
            }
        }
        m_verdict[s] = verdict;
    }
}

bool InvoiceTargetIndex::Addressed(std::size_t i, bool& emailFound) const {
    const int slot = m_candidateSlot[i];
    if (slot < 0) return false;
    const std::uint8_t verdict = m_verdict[static_cast<std::size_t>(slot)];
    if (verdict == 0) return false;
    emailFound = verdict == 2;
    return true;
}

bool InvoiceTargetIndex::MarkSelected(std::size_t i, std::uint32_t transactionId) {
    if (m_byIndex) {
        if (m_selectedIndex[i]) return false;
        m_selectedIndex[i] = 1;
        return true;
    }
    return m_selectedIds.insert(transactionId).second;
}
