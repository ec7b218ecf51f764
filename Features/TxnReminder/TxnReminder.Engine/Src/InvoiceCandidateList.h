#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "Date/DateType32.h"

// The open invoices of one selection as flat rows, for the selection's own
// use: what the invoice containers would carry, without a heap object per
// invoice. The rows are in ascending transaction id with each id once; of an
// invoice's reminder history only the rules carried out are kept (nothing
// else in it can decide a selection), in the store's order.
class InvoiceCandidateList {
public:
    struct Row {
        std::uint32_t transactionId;
        int targetId;
        DateType32 dueDate;
        std::uint32_t carriedOutBegin;  // into the carried-out rule ids
    };

    std::size_t Size() const { return m_rows.size(); }
    const Row& At(std::size_t i) const { return m_rows[i]; }

    // The ids of the rules carried out for row `i`: [begin, end).
    const std::uint32_t* CarriedOutBegin(std::size_t i) const { return m_carriedOut.data() + m_rows[i].carriedOutBegin; }
    const std::uint32_t* CarriedOutEnd(std::size_t i) const {
        return m_carriedOut.data() +
               (i + 1 < m_rows.size() ? m_rows[i + 1].carriedOutBegin : static_cast<std::uint32_t>(m_carriedOut.size()));
    }

    // Whether a load delivered its rows here (an empty list may be complete).
    bool Filled() const { return m_filled; }

    // Used by the loader: the rows (ascending distinct ids), then the carried
    // out rules as (row, rule id) pairs in the store's order.
    std::vector<Row>& Rows() { return m_rows; }
    void SetCarriedOut(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& rowAndRule);
    void MarkFilled() { m_filled = true; }

private:
    std::vector<Row> m_rows;
    std::vector<std::uint32_t> m_carriedOut;
    bool m_filled = false;
};
