#include "record/zone.h"

#include <algorithm>
#include <limits>
#include <string>

#include "coverage/window.h"
#include "support/error.h"

namespace quorvalis {

Zone::Zone(const DenseFractions& dense, std::int64_t zone_id)
    : id(zone_id), row_offset(dense.row_offset), col_offset(dense.col_offset) {
    const Matrix<float>& m = dense.fractions;
    if (m.cols() > std::numeric_limits<std::uint32_t>::max()) {
        throw InputError("a zone's window of " + std::to_string(m.cols()) + " columns is wider than 2^32 - 1 columns");
    }
    rows_ = m.rows();
    cols_ = m.cols();
    start_.assign(static_cast<std::size_t>(rows_) + 1, 0);
    first_.assign(static_cast<std::size_t>(rows_), 0);
    if (m.empty()) return;
    // Two passes: the bounds first, so that the runs take one allocation of their exact size.
    std::uint64_t cells = 0;
    for (std::uint64_t i = 0; i < rows_; ++i) {
        const float* row = &m(i, 0);
        std::uint64_t first = 0, end = cols_;
        while (first < end && row[first] <= 0.0f) ++first;
        while (end > first && row[end - 1] <= 0.0f) --end;
        if (first == end) first = end = 0;
        first_[i] = static_cast<std::uint32_t>(first);
        start_[i] = cells;
        cells += end - first;
    }
    start_[rows_] = cells;
    values_.resize(static_cast<std::size_t>(cells));
    for (std::uint64_t i = 0; i < rows_; ++i) {
        const float* row = &m(i, 0) + first_[i];
        std::copy(row, row + (start_[i + 1] - start_[i]), values_.data() + start_[i]);
    }
}

Matrix<float> Zone::dense() const {
    Matrix<float> m(rows_, cols_, 0.0f);
    if (m.empty()) return m;
    for (std::uint64_t i = 0; i < rows_; ++i) {
        const RowRun r = row(i);
        if (!r.empty()) std::copy(r.values, r.values + (r.end - r.first), &m(i, r.first));
    }
    return m;
}

}  // namespace quorvalis
