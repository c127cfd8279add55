// Deciding the cells of a ring's window that the ring never entered: each 4-connected
// region of them lies wholly inside or wholly outside the ring, so one point-in-ring test
// of a cell centre decides the whole region.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "cell.h"
#include "geometry.h"
#include "matrix.h"

namespace quorvalis {

// Marks an entry of a per-ring matrix that is not decided yet.
inline constexpr float kUndecided = -1.0f;

// 1.0 when (x, y) lies strictly inside the closed ring; 0.0 on its boundary, outside it,
// or for a ring with no coordinates.
float centre_value(std::span<const Coordinate> ring, double x, double y);

// First-in, first-out queue of (row, column) for the span fill; keeps its storage between
// fills and drops the consumed front now and then, so it stays near the fill's frontier.
class FillQueue {
public:
    void clear() {
        items_.clear();
        head_ = 0;
    }
    bool empty() const { return head_ == items_.size(); }
    void push(std::uint64_t r, std::uint64_t c) { items_.emplace_back(r, c); }
    std::pair<std::uint64_t, std::uint64_t> pop();

private:
    std::vector<std::pair<std::uint64_t, std::uint64_t>> items_;
    std::size_t head_ = 0;
};

// Sets every undecided entry of the 4-connected undecided region holding (row, col) to v.
void fill(Matrix<float>& m, std::uint64_t row, std::uint64_t col, float v, FillQueue& queue);

// Decides every undecided entry of m, a matrix over `window`, region by region in
// row-major order of their first cells, from the centre of that first cell.
void interior_fill(std::span<const Coordinate> ring, const Window& window, Matrix<float>& m);

}  // namespace quorvalis
