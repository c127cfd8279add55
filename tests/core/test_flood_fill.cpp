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

Matrix<float> matrix(std::uint64_t cols, const std::vector<float>& values) {
    Matrix<float> m(values.size() / cols, cols, 0.0f);
    m.data = values;
    return m;
}

const Ring kDiamond{{3, 0.5}, {5.5, 3}, {3, 5.5}, {0.5, 3}, {3, 0.5}};

TEST(InteriorFill, RegionsInsideAndOutsideTheRing) {
    // The diamond over a 6 x 6 window: the cells it crosses are decided (0.5), the block
    // they enclose is inside, the corners are outside.
    const float h = 0.5f;
    Matrix<float> m = matrix(6, {U, U, h, h, U, U,
                                 U, h, h, h, h, U,
                                 h, h, U, U, h, h,
                                 h, h, U, U, h, h,
                                 U, h, h, h, h, U,
                                 U, U, h, h, U, U});
    interior_fill(kDiamond, unit_window(6, 6), m);
    const Matrix<float> want = matrix(6, {0, 0, h, h, 0, 0,
                                          0, h, h, h, h, 0,
                                          h, h, 1, 1, h, h,
                                          h, h, 1, 1, h, h,
                                          0, h, h, h, h, 0,
                                          0, 0, h, h, 0, 0});
    EXPECT_EQ(m.data, want.data);
}

TEST(InteriorFill, RegionsMeetingAtACornerAreDecidedSeparately) {
    // The ring is the outline of cell (1, 1); cell (0, 0) touches that cell only at a corner.
    const Ring square{{1, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 0}};
    Matrix<float> m = matrix(2, {U, 0.25f, 0.25f, U});
    interior_fill(square, unit_window(2, 2), m);
    EXPECT_EQ(m.data, (std::vector<float>{0, 0.25f, 0.25f, 1}));
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
    ::testing::Values(CentreCase{"Inside", {{0, 0}, {1, 0}, {1, 1}, {0, 0}}, 0.0f},  // centre on the diagonal
                      CentreCase{"Around", {{-1, -1}, {3, -1}, {-1, 3}, {-1, -1}}, 1.0f},
                      CentreCase{"Elsewhere", {{5, 5}, {6, 5}, {6, 6}, {5, 5}}, 0.0f},
                      CentreCase{"Empty", {}, 0.0f}),
    [](const auto& p) { return p.param.name; });

TEST(Fill, SpreadsOverASnakeOfUndecidedCells) {
    // One region winding through walls: a span fill must follow it both ways.
    const float w = 0.5f;
    Matrix<float> m = matrix(5, {U, U, U, U, U,
                                 w, w, w, w, U,
                                 U, U, U, w, U,
                                 U, w, U, w, U,
                                 U, w, U, U, U});
    FillQueue queue;
    fill(m, 4, 4, 1.0f, queue);
    for (const float v : m.data) EXPECT_NE(v, U);
}

}  // namespace
