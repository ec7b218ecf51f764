#include "InvoiceTargetIndex.h"

#include <algorithm>
#include <stdexcept>
#include <typeinfo>

#include "InvoiceCandidateList.h"
#include "InvoiceTransactionContainer.h"
#include "TxnReminderTargetGroup.h"

InvoiceTargetIndex::InvoiceTargetIndex(
    const std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& candidates)
    : m_candidateTarget(candidates.size(), 0), m_handled(candidates.size(), 0) {
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
        m_candidateTarget[i] = candidates[i]->GetTargetId();
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

InvoiceTargetIndex::InvoiceTargetIndex(const InvoiceCandidateList& candidates)
    : m_candidateTarget(candidates.Size(), 0), m_handled(candidates.Size(), 1), m_flat(true) {
    bool ascending = true;
    for (std::size_t i = 0; i < candidates.Size(); ++i) {
        m_candidateTarget[i] = candidates.At(i).targetId;
        if (i > 0 && candidates.At(i).transactionId <= candidates.At(i - 1).transactionId) ascending = false;
    }
    m_byIndex = ascending;
    if (m_byIndex) m_selectedIndex.assign(candidates.Size(), 0);
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
    std::vector<int> chainStart(count + 1, 0);
    std::vector<int> chain;
    chain.reserve(count + count / 2);
    m_chainEmail.assign(count, 0);
    for (std::size_t s = 0; s < count; ++s) {
        chainStart[s] = static_cast<int>(chain.size());
        const std::size_t begin = chain.size();
        int at = static_cast<int>(s);
        bool email = false;
        while (at >= 0) {
            chain.push_back(at);
            email = email || m_names[static_cast<std::size_t>(at)].hasEmail;
            const int parent = m_names[static_cast<std::size_t>(at)].parent;
            if (parent == 0) break;
            const int next = SlotOf(parent);
            if (next < 0 ||
                std::find(chain.begin() + static_cast<std::ptrdiff_t>(begin), chain.end(), next) != chain.end())
                break;
            at = next;
        }
        m_chainEmail[s] = email ? 1 : 0;
    }
    chainStart[count] = static_cast<int>(chain.size());

    // Turned round: per slot, the slots whose walk meets it, so that a group
    // is decided over what its members reach rather than over every name.
    m_reachStart.assign(count + 1, 0);
    for (int k : chain) ++m_reachStart[static_cast<std::size_t>(k) + 1];
    for (std::size_t s = 1; s <= count; ++s) m_reachStart[s] += m_reachStart[s - 1];
    m_reach.assign(chain.size(), 0);
    {
        std::vector<int> fill(m_reachStart.begin(), m_reachStart.end() - 1);
        for (std::size_t s = 0; s < count; ++s) {
            for (int k = chainStart[s]; k < chainStart[s + 1]; ++k)
                m_reach[static_cast<std::size_t>(fill[static_cast<std::size_t>(chain[static_cast<std::size_t>(k)])]++)] =
                    static_cast<int>(s);
        }
    }

    const std::size_t candidates = m_candidateTarget.size();
    m_candidateSlot.assign(candidates, -1);
    for (std::size_t i = 0; i < candidates; ++i) {
        if (m_handled[i]) m_candidateSlot[i] = SlotOf(m_candidateTarget[i]);
    }
    if (m_flat) {
        m_slotCandidateStart.assign(count + 1, 0);
        for (int slot : m_candidateSlot) {
            if (slot >= 0) ++m_slotCandidateStart[static_cast<std::size_t>(slot) + 1];
        }
        for (std::size_t s = 1; s <= count; ++s) m_slotCandidateStart[s] += m_slotCandidateStart[s - 1];
        m_slotCandidates.assign(static_cast<std::size_t>(m_slotCandidateStart[count]), 0);
        std::vector<int> fill(m_slotCandidateStart.begin(), m_slotCandidateStart.end() - 1);
        for (std::size_t i = 0; i < candidates; ++i) {
            const int slot = m_candidateSlot[i];
            if (slot >= 0) m_slotCandidates[static_cast<std::size_t>(fill[static_cast<std::size_t>(slot)]++)] =
                               static_cast<std::uint32_t>(i);
        }
        m_addressedBits.assign((candidates + 63) / 64, 0);
        m_noEmailBits.assign((candidates + 63) / 64, 0);
    }
    m_reachedVerdict.assign(count, 0);
    for (std::size_t s = 0; s < count; ++s) {
        // A hidden customer or job gets no reminder, member or not.
        m_reachedVerdict[s] = m_names[s].hidden ? 0 : (m_chainEmail[s] ? 2 : 1);
    }
    m_verdictStamp.assign(count, 0);
    m_memberBits.assign((count + 63) / 64, 0);
}

void InvoiceTargetIndex::SelectGroup(const TxnReminderTargetGroup& group) {
    if (!m_namesRead) ReadNames();
    if (++m_stamp == 0) {
        std::fill(m_verdictStamp.begin(), m_verdictStamp.end(), 0);
        m_stamp = 1;
    }
    if (m_flat) {
        std::fill(m_addressedBits.begin(), m_addressedBits.end(), 0);
        std::fill(m_noEmailBits.begin(), m_noEmailBits.end(), 0);
    }
    for (int member : group.GetTargetUserIds()) {
        const int slot = SlotOf(member);
        if (slot >= 0) m_memberBits[static_cast<std::size_t>(slot) / 64] |= std::uint64_t{1} << (slot % 64);
    }
    // Each member decides the names whose walk up meets it; everything else
    // keeps an older stamp and so is not addressed.
    for (std::size_t word = 0; word < m_memberBits.size(); ++word) {
        std::uint64_t bits = m_memberBits[word];
        m_memberBits[word] = 0;
        while (bits != 0) {
            const std::size_t slot = word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
            bits &= bits - 1;
            for (int k = m_reachStart[slot]; k < m_reachStart[slot + 1]; ++k) {
                const std::size_t s = static_cast<std::size_t>(m_reach[static_cast<std::size_t>(k)]);
                if (m_verdictStamp[s] == m_stamp) continue;
                m_verdictStamp[s] = m_stamp;
                const std::uint8_t verdict = m_reachedVerdict[s];
                if (!m_flat || verdict == 0) continue;
                for (int c = m_slotCandidateStart[s]; c < m_slotCandidateStart[s + 1]; ++c) {
                    const std::uint32_t i = m_slotCandidates[static_cast<std::size_t>(c)];
                    m_addressedBits[i / 64] |= std::uint64_t{1} << (i % 64);
                    if (verdict == 1) m_noEmailBits[i / 64] |= std::uint64_t{1} << (i % 64);
                }
            }
        }
    }
}

bool InvoiceTargetIndex::Addressed(std::size_t i, bool& emailFound) const {
    const int slot = m_candidateSlot[i];
    if (slot < 0 || m_verdictStamp[static_cast<std::size_t>(slot)] != m_stamp) return false;
    const std::uint8_t verdict = m_reachedVerdict[static_cast<std::size_t>(slot)];
    if (verdict == 0) return false;
    emailFound = verdict == 2;
    return true;
}

std::size_t InvoiceTargetIndex::NextAddressed(std::size_t from) const {
    std::size_t word = from / 64;
    if (word >= m_addressedBits.size()) return npos;
    std::uint64_t bits = m_addressedBits[word] & (~std::uint64_t{0} << (from % 64));
    while (bits == 0) {
        if (++word >= m_addressedBits.size()) return npos;
        bits = m_addressedBits[word];
    }
    return word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
}

bool InvoiceTargetIndex::MarkSelected(std::size_t i, std::uint32_t transactionId) {
    if (m_byIndex) {
        if (m_selectedIndex[i]) return false;
        m_selectedIndex[i] = 1;
        return true;
    }
    return m_selectedIds.insert(transactionId).second;
}
