#include "flood_fill.h"

#include "intersection.h"

namespace quorvalis {

float centre_value(std::span<const Coordinate> ring, double x, double y) {
    if (ring.empty()) return 0.0f;
    return location(x, y, ring) == Location::Inside ? 1.0f : 0.0f;
}

std::pair<std::uint64_t, std::uint64_t> FillQueue::pop() {
    const auto front = items_[head_++];
    if (head_ == items_.size()) {
        clear();
    } else if (head_ >= 4096 && head_ * 2 >= items_.size()) {
        items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    return front;
}

void fill(Matrix<float>& m, std::uint64_t row, std::uint64_t col, float v, FillQueue& queue) {
    queue.clear();
    queue.push(row, col);
    while (!queue.empty()) {
        const auto [r, c] = queue.pop();
        if (m(r, c) != kUndecided) continue;
        // The left neighbour goes back in the queue; the span runs rightwards from c.
        if (c > 0 && m(r, c - 1) == kUndecided) queue.push(r, c - 1);
        std::uint64_t e = c;
        for (; e < m.cols() && m(r, e) == kUndecided; ++e) m(r, e) = v;
        if (r > 0) {
            for (std::uint64_t k = c; k < e; ++k) {
                if (m(r - 1, k) == kUndecided) queue.push(r - 1, k);
            }
        }
        if (r + 1 < m.rows()) {
            for (std::uint64_t k = c; k < e; ++k) {
                if (m(r + 1, k) == kUndecided) queue.push(r + 1, k);
            }
        }
    }
}

void interior_fill(std::span<const Coordinate> ring, const Window& window, Matrix<float>& m) {
    if (m.empty()) return;
    FillQueue queue;
    for (std::uint64_t i = 0; i < m.rows(); ++i) {
        for (std::uint64_t j = 0; j < m.cols(); ++j) {
            if (m(i, j) != kUndecided) continue;
            const Coordinate p = window.centre(i, j);
            fill(m, i, j, centre_value(ring, p.x, p.y), queue);
        }
    }
}

}  // namespace quorvalis
