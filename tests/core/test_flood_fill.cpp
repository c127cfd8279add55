#include <gtest/gtest.h>

#include <vector>

#include "flood_fill.h"

namespace {

using namespace quorvalis;

constexpr float U = kUndecided;

// The matrix `data` over a window of unit cells with its top-left corner at (0, rows), filled.
std::vector<float> filled(const Ring& ring, std::uint64_t rows, std::uint64_t cols, std::vector<float> data) {
    Matrix<float> m(rows, cols, std::move(data));
    interior_fill(ring, Window{{0.0, static_cast<double>(rows), 1.0, 1.0}, 0, 0, rows, cols}, m);
    return m.values();
}

TEST(InteriorFill, RegionsAreDecidedOneByOne) {
    // The ring is the outline of cell (1, 1): cell (0, 0) touches it only at a corner, and
    // the snake of undecided cells in the 4 x 4 case winds through walls both ways.
    const Ring square{{1, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 0}};
    EXPECT_EQ(filled(square, 2, 2, {U, 0.25f, 0.25f, U}), (std::vector<float>{0, 0.25f, 0.25f, 1}));
    const Ring around{{-1, -1}, {9, -1}, {9, 9}, {-1, 9}, {-1, -1}};
    const float w = 0.5f;
    EXPECT_EQ(filled(around, 4, 4, {U, U, U, U, w, w, w, U, U, U, w, U, U, w, U, U}),
              (std::vector<float>{1, 1, 1, 1, w, w, w, 1, 1, 1, w, 1, 1, w, 1, 1}));
}

TEST(InteriorFill, SingleCellTakesTheValueOfItsCentre) {
    EXPECT_EQ(filled({{0, 0}, {1, 0}, {1, 1}, {0, 0}}, 1, 1, {U}), std::vector<float>{0});  // centre on the ring
    EXPECT_EQ(filled({{-1, -1}, {3, -1}, {-1, 3}, {-1, -1}}, 1, 1, {U}), std::vector<float>{1});
    EXPECT_EQ(filled({{5, 5}, {6, 5}, {6, 6}, {5, 5}}, 1, 1, {U}), std::vector<float>{0});
    EXPECT_EQ(filled({}, 1, 1, {U}), std::vector<float>{0});
}

}  // namespace
