#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Records/Names.h"

class TxnReminderTargetGroup;
class TxnReminderTransactionContainer;

// The customers and jobs of one selection's candidate invoices, read from the
// name list once, so that judging an invoice against a target group is a few
// array reads instead of a name lookup and a copy of the group per pair.
//
// It answers for the candidates that are plain invoice containers exactly as
// their IsAcceptableTarget would (hidden target, membership of the target or
// a record above it, an address on the way up). Any other container is left
// to its own virtual operations.
class InvoiceTargetIndex {
public:
    explicit InvoiceTargetIndex(const std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& candidates);
    InvoiceTargetIndex(const InvoiceTargetIndex&) = delete;
    InvoiceTargetIndex& operator=(const InvoiceTargetIndex&) = delete;

    // Makes `group` the group that Addressed answers for. The first call
    // reads the name list; throws std::runtime_error when it cannot be read.
    void SelectGroup(const TxnReminderTargetGroup& group);

    // Whether the index answers for candidate `i`.
    bool Handles(std::size_t i) const { return m_handled[i] != 0; }
    // For a handled candidate: whether the current group addresses its
    // target, and if so whether an address was found.
    bool Addressed(std::size_t i, bool& emailFound) const;

    // Records that the reminder of candidate `i`, for transaction
    // `transactionId`, went out; false when that transaction had gone out
    // before in this selection.
    bool MarkSelected(std::size_t i, std::uint32_t transactionId);
    // True when candidate `i` is known to have gone out already, so that
    // judging it again can only tell of a duplicate.
    bool KnownSelected(std::size_t i) const { return m_byIndex && m_selectedIndex[i] != 0; }

private:
    void ReadNames();
    int SlotOf(int recNum) const;

    const std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& m_candidates;
    std::vector<std::uint8_t> m_handled;
    bool m_namesRead = false;

    // Name list, ascending record number; slots index it.
    std::vector<NameLink> m_names;
    std::vector<int> m_denseSlots;                 // record number -> slot, when numbers are compact
    std::unordered_map<int, int> m_sparseSlots;    // otherwise
    // Per slot: its chain of records up through the parents (CSR form) and
    // whether one of them has an address.
    std::vector<int> m_chainStart;
    std::vector<int> m_chain;
    std::vector<std::uint8_t> m_chainEmail;
    // Per candidate: the slot of its target, -1 when the target is unknown.
    std::vector<int> m_candidateSlot;

    // Members of the current group, as a stamp per slot.
    std::vector<std::uint32_t> m_memberStamp;
    std::uint32_t m_stamp = 0;
    // Per slot, for the current group: see SelectGroup.
    std::vector<std::uint8_t> m_verdict;

    // Transactions that went out: per candidate when every candidate is a
    // handled invoice with its own ascending id, by id otherwise.
    bool m_byIndex = false;
    std::vector<std::uint8_t> m_selectedIndex;
    std::unordered_set<std::uint32_t> m_selectedIds;
};
