#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Records/Names.h"

class InvoiceCandidateList;
class TxnReminderTargetGroup;
class TxnReminderTransactionContainer;

// The customers and jobs of one selection's candidate invoices, read from the
// name list once, so that judging an invoice against a target group is a few
// array reads instead of a name lookup and a copy of the group per pair.
//
// It answers for the candidates that are plain invoice containers (or flat
// rows) exactly as their IsAcceptableTarget would (hidden target, membership
// of the target or a record above it, an address on the way up). Any other
// container is left to its own virtual operations.
class InvoiceTargetIndex {
public:
    explicit InvoiceTargetIndex(const std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& candidates);
    explicit InvoiceTargetIndex(const InvoiceCandidateList& candidates);
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

    // The candidates the current group addresses, in ascending order: the
    // first at or after `from`, or npos. Only for an index built over flat rows.
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::size_t NextAddressed(std::size_t from) const;
    // For an addressed candidate of flat rows: whether an address was found.
    bool EmailFound(std::size_t i) const { return (m_noEmailBits[i / 64] >> (i % 64) & 1u) == 0; }

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

    std::vector<int> m_candidateTarget;   // per candidate: its target record number
    std::vector<std::uint8_t> m_handled;
    bool m_flat = false;
    bool m_namesRead = false;

    // Name list, ascending record number; slots index it.
    std::vector<NameLink> m_names;
    std::vector<int> m_denseSlots;                 // record number -> slot, when numbers are compact
    std::unordered_map<int, int> m_sparseSlots;    // otherwise
    // Per slot (CSR form): the slots whose walk up through the parents meets
    // it, the slot itself included; and whether the walk from the slot
    // finds an address.
    std::vector<int> m_reachStart;
    std::vector<int> m_reach;
    std::vector<std::uint8_t> m_chainEmail;
    // Per candidate: the slot of its target, -1 when the target is unknown.
    std::vector<int> m_candidateSlot;
    // Flat rows only, per slot (CSR form): the candidates whose target it is,
    // ascending.
    std::vector<int> m_slotCandidateStart;
    std::vector<std::uint32_t> m_slotCandidates;

    // Per slot, what a group that reaches it decides: 0 not addressed (the
    // name is hidden), 1 addressed without an address, 2 with one.
    std::vector<std::uint8_t> m_reachedVerdict;
    // Slots decided for the current group carry its stamp.
    std::vector<std::uint32_t> m_verdictStamp;
    std::uint32_t m_stamp = 0;
    // Flat rows only: the addressed candidates of the current group, and
    // those of them without an address, one bit each.
    std::vector<std::uint64_t> m_addressedBits;
    std::vector<std::uint64_t> m_noEmailBits;
    // The current group's member slots, one bit each: walked in slot order,
    // the per-slot arrays are read front to back instead of at random.
    std::vector<std::uint64_t> m_memberBits;

    // Transactions that went out: per candidate when every candidate is a
    // handled invoice with its own ascending id, by id otherwise.
    bool m_byIndex = false;
    std::vector<std::uint8_t> m_selectedIndex;
    std::unordered_set<std::uint32_t> m_selectedIds;
};
