#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "coverage/coverage_method.h"
#include "geometry/measures.h"
#include "hostile_shapes.h"
#include "support/error.h"

namespace {

using namespace quorvalis;

Ring box_ring(double x0, double y0, double x1, double y1) { return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}}; }

struct Example {
    std::string name;
    Grid grid;
    Ring exterior;
    std::vector<Ring> holes;
    std::uint64_t cols;
    std::vector<float> matrix;
};

class WorkedExample : public ::testing::TestWithParam<Example> {};

TEST_P(WorkedExample, Matrix) {
    const Example& e = GetParam();
    const DenseFractions r = exact_method(e.grid, e.exterior, e.holes);
    EXPECT_EQ(r.fractions.cols(), e.cols);
    ASSERT_EQ(r.fractions.values().size(), e.matrix.size());
    for (std::size_t k = 0; k < e.matrix.size(); ++k) EXPECT_NEAR(r.fractions.values()[k], e.matrix[k], 1e-6) << k;
}

const Grid g2 = grid_from_params(0, 0, 2, 2, 1, 1);
const Grid g4 = grid_from_params(0, 0, 4, 4, 1, 1);
constexpr double kTiny = 0x1p-20;

std::vector<float> frame() {  // 10 x 10: edges 0.5, corners 0.75, inside 0
    std::vector<float> m(100);
    for (std::size_t k = 0; k < 100; ++k) {
        const int edges = (k / 10 % 9 == 0) + (k % 10 % 9 == 0);
        m[k] = edges ? 0.25f * static_cast<float>(edges + 1) : 0.0f;
    }
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Polygons, WorkedExample,
    ::testing::Values(
        Example{"AlignedSquare", g4, box_ring(0, 0, 2, 2), {}, 2, {1, 1, 1, 1}},
        Example{"ClockwiseFromAnotherCorner", g4, {{2, 2}, {2, 0}, {0, 0}, {0, 2}, {2, 2}}, {}, 2, {1, 1, 1, 1}},
        Example{"OffsetRectangle", g2, box_ring(0.5, 0.5, 1.5, 1.5), {}, 2, {0.25f, 0.25f, 0.25f, 0.25f}},
        Example{
            "RectangleInOneCell", grid_from_params(0, 0, 1, 1, 1, 1), box_ring(0.25, 0.25, 0.75, 0.75), {}, 1, {0.25f}},
        Example{"SquareWithHole",
                g4,
                box_ring(0, 0, 4, 4),
                {box_ring(1, 1, 3, 3)},
                4,
                {1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1}},
        Example{"TriangularHole",
                g4,
                box_ring(0, 0, 4, 4),
                {{{1, 1}, {3, 1}, {1, 3}, {1, 1}}},
                4,
                {1, 1, 1, 1, 1, 0.5f, 1, 1, 1, 0, 0.5f, 1, 1, 1, 1, 1}},
        Example{"Frame",
                grid_from_params(0, 0, 10, 10, 1, 1),
                box_ring(0, 0, 10, 10),
                {box_ring(0.5, 0.5, 9.5, 9.5)},
                10,
                frame()},
        Example{"FiveCoordinatesNotARectangle",
                g4,
                {{0, 0}, {2, 0}, {2, 2}, {1, 3}, {0, 0}},
                {},
                2,
                {1 / 6.0f, 0.5f, 0.5f, 1, 5 / 6.0f, 1}},
        // the same shape about a million times smaller: its area is within 1e-10 of its
        // box's, yet it is no rectangle
        Example{"TinyFiveCoordinatesNotARectangle",
                grid_from_params(0, 0, 4 * kTiny, 4 * kTiny, kTiny, kTiny),
                {{0, 0}, {2 * kTiny, 0}, {2 * kTiny, 2 * kTiny}, {kTiny, 3 * kTiny}, {0, 0}},
                {},
                2,
                {1 / 6.0f, 0.5f, 0.5f, 1, 5 / 6.0f, 1}},
        // Unclosed rings measure as their closed forms: a triangle of three coordinates, and
        // a notched square whose five points are no box once closed.
        Example{"UnclosedTriangle", g4, {{0, 0}, {2, 0}, {2, 2}}, {}, 2, {0, 0.5f, 0.5f, 1}},
        Example{"UnclosedPentagonIsNoBox",
                grid_from_params(0, 0, 1, 1, 1, 1),
                {{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0.5, 0.5}},
                {},
                1,
                {0.75f}},
        Example{"UnclosedRingIsClosed", g4, {{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {}, 2, {1, 1, 1, 1}},
        Example{"OverlappingHolesSubtractTwice",
                g4,
                box_ring(0, 0, 2, 1),
                {box_ring(0, 0, 1, 1), box_ring(0, 0, 1, 1)},
                2,
                {-1, 1}},
        Example{"OutsideTheGrid", g4, box_ring(5, 5, 6, 6), {}, 0, {}}),
    [](const auto& p) { return p.param.name; });

// Rings no valid polygon has, as exterior and as hole: each gives a matrix or a quorvalis
// error, promptly; never a crash, a hang or a wild allocation.
class BadGeometry : public ::testing::TestWithParam<Ring> {};

TEST_P(BadGeometry, ResultOrCleanError) {
    const Grid grid = grid_from_params(-180, -90, 180, 90, 0.1, 0.1);
    try {
        const DenseFractions r = exact_method(grid, GetParam(), {GetParam()});
        EXPECT_EQ(r.fractions.values().size(), r.fractions.rows() * r.fractions.cols());
    } catch (const InternalError&) {
    } catch (const InputError&) {
    }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Ring zigzag() {  // self-crossing, with repeated points and spikes out and back along cell lines
    Ring r;
    for (int k = 0; k < 400; ++k) {
        const Coordinate c{-10 + 0.05 * (k % 7) * (k % 3), -5 + 0.1 * (k % 11)};
        r.insert(r.end(), {c, k % 13 ? c : Coordinate{c.x + 1, c.y}});
        if (k % 13 == 0) r.push_back(c);
    }
    r.push_back(r.front());
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Rings, BadGeometry,
    ::testing::Values(Ring{{0, 0}, {1, kNaN}, {1, 1}, {0, 0}}, Ring{{kNaN, kNaN}, {1, 0}, {1, 1}, {0, 1}, {kNaN, kNaN}},
                      Ring{{0, 0}, {kInf, 0}, {1, 1}, {0, 0}},
                      Ring{{-kInf, -kInf}, {kInf, -kInf}, {0, kInf}, {-kInf, -kInf}},
                      Ring{{0, 0}, {2, 2}, {2, 0}, {0, 2}, {0, 0}},                  // bow tie
                      Ring{{0, 0}, {5, 0}, {5, 5}, {5, 9}, {5, 5}, {0, 5}, {0, 0}},  // zero-area spike
                      Ring{{0, 0}, {0.1, 0.1}, {0, 0}},                              // three points
                      Ring{{-1e300, -1e300}, {1e300, -1e300}, {0, 1e300}, {-1e300, -1e300}},
                      Ring{{1e-300, 0}, {2e-300, 0}, {2e-300, 1e-300}, {1e-300, 0}}, zigzag()));

// Translating a polygon and its grid together changes nothing, however far: measured in
// absolute coordinates near 1e15, exit points rounded to 1/8 lost most of this sliver.
TEST(ExactMethod, TranslationChangesNothing) {
    const Ring sliver{{0.125, 0.125}, {3.875, 0.5}, {0.25, 0.375}, {0.125, 0.125}};
    const DenseFractions at_origin = exact_method(grid_from_params(0, 0, 4, 4, 1, 1), sliver, {});
    double total = 0.0;
    for (const float v : at_origin.fractions.values()) total += v;
    EXPECT_NEAR(total, std::fabs(signed_area(sliver)), 1e-6);
    for (const double t : {1e15, -1e15, 0x1p49, 12345.5}) {
        Ring moved = sliver;
        for (Coordinate& c : moved) c = {c.x + t, c.y + t};
        const DenseFractions far = exact_method(grid_from_params(t, t, t + 4, t + 4, 1, 1), moved, {});
        EXPECT_EQ(far.fractions.values(), at_origin.fractions.values()) << t;
    }
}

struct Hostile {
    const char* name;
    Grid grid;
    Polygon polygon;
};

class HostileShape : public ::testing::TestWithParam<Hostile> {};

// Sized so that the quadratic steps these shapes once hit (matching the runs in one cell
// pairwise, one point-in-ring test per untouched region or per cell grazed from both
// sides, a whole window per hole) took 20 seconds and more; measured right, every covered area adds up to the
// polygon's.
TEST_P(HostileShape, MeasuredRightWithoutQuadraticCost) {
    const Hostile& h = GetParam();
    const auto t0 = std::chrono::steady_clock::now();
    const DenseFractions r = exact_method(h.grid, h.polygon.exterior, h.polygon.interiors);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double area = std::fabs(signed_area(h.polygon.exterior));
    for (const Ring& hole : h.polygon.interiors) area -= std::fabs(signed_area(hole));
    double total = 0.0;
    for (const float v : r.fractions.values()) total += v;
    EXPECT_NEAR(total * h.grid.dx * h.grid.dy, area, 1e-6 * area);
    SKIP_TIMING_IN_SANITIZER_BUILD();
    EXPECT_LT(seconds, 8.0);
}

#ifdef QUORVALIS_SANITIZED
constexpr int kSize = 16;  // the same shapes, small enough for an instrumented build
#else
constexpr int kSize = 1;
#endif

INSTANTIATE_TEST_SUITE_P(
    Shapes, HostileShape,
    ::testing::Values(Hostile{"comb_through_one_cell",
                              grid_from_params(-1, -1, 2, 2, 1, 1),
                              {quorvalis::testing::comb_through_cell(128000 / kSize), {}}},
                      // 14 runs and 4 corners: just past the plain scan for the next chain
                      Hostile{"comb_of_seven_teeth",
                              grid_from_params(-1, -1, 2, 2, 1, 1),
                              {quorvalis::testing::comb_through_cell(7), {}}},
                      Hostile{"comb_of_separate_regions",
                              grid_from_params(0, 0, 128001, 11, 1, 1),
                              {quorvalis::testing::comb_of_regions(32000 / kSize), {}}},
                      // the grid as wide as the shape (2 per spike + 2), so all of its area lies inside
                      Hostile{"spikes_along_cell_lines",
                              grid_from_params(0, 0, 2.0 * (16000 / kSize) + 2, 11, 1, 1),
                              {quorvalis::testing::spikes_along_cell_lines(16000 / kSize), {}}},
                      Hostile{"thin_diagonal_holes", grid_from_params(0, 0, 1000, 1000, 1, 1),
                              quorvalis::testing::thin_diagonal_holes(400 / kSize, 1000.0 / kSize)}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
