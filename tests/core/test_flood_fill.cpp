#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flood_fill.h"

namespace {

using namespace quorvalis;

constexpr float U = kUndecided;

// A window of unit cells with its top-left corner at (0, rows).
Window unit_window(std::uint64_t rows, std::uint64_t cols) {
    return {{0.0, static_cast<double>(rows), 1.0, 1.0}, 0, 0, rows, cols};
}

TEST(InteriorFill, RegionsAreDecidedOneByOne) {
    // The ring is the outline of cell (1, 1): cell (0, 0) touches it only at a corner, and
    // the snake of undecided cells in the 4 x 4 case winds through walls both ways.
    const Ring square{{1, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 0}};
    Matrix<float> m(2, 2, U);
    m.data = {U, 0.25f, 0.25f, U};
    interior_fill(square, unit_window(2, 2), m);
    EXPECT_EQ(m.data, (std::vector<float>{0, 0.25f, 0.25f, 1}));

    const Ring around{{-1, -1}, {9, -1}, {9, 9}, {-1, 9}, {-1, -1}};
    const float w = 0.5f;
    Matrix<float> snake(4, 4, U);
    snake.data = {U, U, U, U, w, w, w, U, U, U, w, U, U, w, U, U};
    interior_fill(around, unit_window(4, 4), snake);
    EXPECT_EQ(snake.data, (std::vector<float>{1, 1, 1, 1, w, w, w, 1, 1, 1, w, 1, 1, w, 1, 1}));
}

struct CentreCase {
    std::string name;
    Ring ring;
    float value;
};

class SingleCell : public ::testing::TestWithParam<CentreCase> {};

TEST_P(SingleCell, TakesTheValueOfItsCentre) {
    Matrix<float> m(1, 1, U);
    interior_fill(GetParam().ring, unit_window(1, 1), m);
    EXPECT_EQ(m(0, 0), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Rings, SingleCell,
    ::testing::Values(CentreCase{"CentreOnTheRing", {{0, 0}, {1, 0}, {1, 1}, {0, 0}}, 0.0f},
                      CentreCase{"Around", {{-1, -1}, {3, -1}, {-1, 3}, {-1, -1}}, 1.0f},
                      CentreCase{"Elsewhere", {{5, 5}, {6, 5}, {6, 6}, {5, 5}}, 0.0f},
                      CentreCase{"Empty", {}, 0.0f}),
    [](const auto& p) { return p.param.name; });

}  // namespace
