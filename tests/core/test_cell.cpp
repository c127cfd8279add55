#include <gtest/gtest.h>

#include <vector>

#include "cell.h"
#include "error.h"

namespace {

using namespace quorvalis;

const BBox kUnit{0, 0, 1, 1};

Cell cell_with(std::initializer_list<Coordinate> points) {
    Cell cell(kUnit);
    for (const Coordinate& p : points) EXPECT_TRUE(take(cell, p, nullptr));
    return cell;
}

struct SideCase {
    Coordinate p;
    Side side;
};

class SideOf : public ::testing::TestWithParam<SideCase> {};

// Corners take the vertical side; the walk's route through grid corners depends on it.
TEST_P(SideOf, VerticalSidesWinAtCorners) { EXPECT_EQ(side_of(kUnit, GetParam().p), GetParam().side); }

INSTANTIATE_TEST_SUITE_P(Points, SideOf,
                         ::testing::Values(SideCase{{0, 1}, Side::Left}, SideCase{{0, 0}, Side::Left},
                                           SideCase{{1, 0}, Side::Right}, SideCase{{1, 1}, Side::Right},
                                           SideCase{{0.5, 0}, Side::Bottom}, SideCase{{0.5, 1}, Side::Top},
                                           SideCase{{0.5, 0.5}, Side::None}));

TEST(Take, PointOnTheOutlineStaysAndLeavingRecordsTheExit) {
    Cell cell = cell_with({{0, 1}, {0.5, 0.5}, {1, 0.5}});  // first point at a corner, last on the right side
    EXPECT_EQ(cell.traversals.back().entry, Side::Left);
    EXPECT_FALSE(cell.traversals.back().exited());

    const Coordinate p{1, 0.5};
    EXPECT_FALSE(take(cell, {2, 1.5}, &p));
    const Traversal& t = cell.traversals.back();
    EXPECT_EQ(t.exit, Side::Right);
    EXPECT_EQ(t.last(), (Coordinate{1, 0.5}));  // the vertex on the edge is the exit again
    EXPECT_TRUE(t.traversed());
}

TEST(Take, ExitFromLastPointWhenPreviousVertexRunsBesideTheBox) {
    Cell cell = cell_with({{0, 0.5}, {0.5, 0.25}});
    // p and c on one vertical line right of the box: the segment p-c runs beside it, and
    // its exit would be (1, 0.9) instead of where the ring really leaves.
    const Coordinate p{3, 0.2};
    EXPECT_FALSE(take(cell, {3, 0.9}, &p));
    EXPECT_EQ(cell.traversals.back().exit, Side::Right);
    EXPECT_EQ(cell.traversals.back().last().x, 1.0);
    EXPECT_NEAR(cell.traversals.back().last().y, 0.38, 1e-12);
}

TEST(Take, OnlyARunStartedInsideIsClosedByItsFirstPoint) {
    Cell inside = cell_with({{0.2, 0.2}, {0.8, 0.2}, {0.2, 0.2}});
    EXPECT_TRUE(inside.traversals.back().is_closed_ring());
    EXPECT_TRUE(take(inside, {0.5, 0.5}, nullptr));
    EXPECT_EQ(inside.traversals.size(), 2u);

    // Entered at a corner, out along a spike and back to that corner, then on: still one run.
    Cell entered = cell_with({{1, 0}, {0.5, 0.5}, {1, 0}, {0.7, 0.1}});
    EXPECT_EQ(entered.traversals.size(), 1u);
}

TEST(Take, ClosedRingGoingOnOutsideRestartsFromWhereTheRingIs) {
    Cell cell = cell_with({{0.2, 0.2}, {0.8, 0.2}, {0.2, 0.2}});
    const Coordinate p{0.2, 0.2};
    EXPECT_FALSE(take(cell, {0.2, -3}, &p));
    const Traversal& t = cell.traversals.back();
    EXPECT_EQ(t.coords.front(), (Coordinate{0.2, 0.2}));
    EXPECT_EQ(t.last(), (Coordinate{0.2, 0}));
    EXPECT_EQ(t.exit, Side::Bottom);
}

TEST(ForceExit, ClosesOnlyOnTheOutline) {
    Cell corner = cell_with({{0.5, 0.5}, {1, 1}});
    force_exit(corner);
    EXPECT_EQ(corner.traversals.back().exit, Side::Right);

    Cell inner = cell_with({{0, 0.5}, {0.5, 0.5}});
    force_exit(inner);
    EXPECT_FALSE(inner.traversals.back().exited());
}

TEST(Qualifying, RepeatedPointsAndUnfinishedRunsAreNotMeasured) {
    Cell cell = cell_with({{0, 0.5}, {0, 0.5}});
    force_exit(cell);  // a traversal of two equal points
    std::vector<std::span<const Coordinate>> lists;
    qualifying_traversals(cell, lists);
    EXPECT_TRUE(lists.empty());

    Cell open = cell_with({{0, 0.5}, {0.5, 0.5}});
    qualifying_traversals(open, lists);
    EXPECT_TRUE(lists.empty());

    try {
        (void)Traversal{}.last();
        ADD_FAILURE() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "empty traversal has no last coordinate");
    }
}

TEST(Windows, CroppedWindowsKeepTheFullGridsCellLines) {
    const Grid grid = grid_from_params(1e6, -90, 1e6 + 360, 90, 0.1, 0.1);
    const Window full = window_of(grid, grid);
    const Window outer = crop_window(full, {1e6 + 13.37, -41.3, 1e6 + 29.9, 17.2});
    // A box whose sides lie on cell lines takes no cell beyond them.
    const Window inner = crop_window(outer, {full.left(171), full.top(900), full.left(213), full.top(880)});
    EXPECT_EQ(inner.col0, 171u);
    EXPECT_EQ(inner.cols, 42u);
    EXPECT_EQ(inner.row0, 880u);
    EXPECT_EQ(inner.rows, 20u);
    // The last inner column ends where the next column of the full grid starts.
    EXPECT_EQ(inner.box(0, inner.cols - 1).xmax, full.box(0, 213).xmin);
}

}  // namespace
