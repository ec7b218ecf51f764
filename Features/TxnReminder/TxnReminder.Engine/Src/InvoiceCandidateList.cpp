#include "InvoiceCandidateList.h"

void InvoiceCandidateList::SetCarriedOut(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& rowAndRule) {
    // Counted per row first, then placed in arrival order: each row's rules
    // keep the order they came in.
    for (Row& row : m_rows) row.carriedOutBegin = 0;
    std::vector<std::uint32_t> count(m_rows.size() + 1, 0);
    for (const auto& entry : rowAndRule) ++count[entry.first + 1];
    for (std::size_t i = 1; i < count.size(); ++i) count[i] += count[i - 1];
    for (std::size_t i = 0; i < m_rows.size(); ++i) m_rows[i].carriedOutBegin = count[i];
    m_carriedOut.assign(rowAndRule.size(), 0);
    for (const auto& entry : rowAndRule) m_carriedOut[count[entry.first]++] = entry.second;
}
