#include <gtest/gtest.h>

#include <vector>

#include "cell.h"
#include "error.h"

namespace {

using namespace quorvalis;

Cell cell_with(std::initializer_list<Coordinate> points) {
    Cell cell({0, 0, 1, 1});
    for (const Coordinate& p : points) EXPECT_TRUE(take(cell, p, nullptr));
    return cell;
}

TEST(Take, VertexOnTheEdgeStaysAndIsTheExitAgain) {
    Cell cell = cell_with({{0, 1}, {0.5, 0.5}, {1, 0.5}});  // a corner gets the vertical side
    const Coordinate p{1, 0.5};
    EXPECT_FALSE(take(cell, {2, 1.5}, &p));
    const Traversal& t = cell.traversals.back();
    EXPECT_EQ(t.entry, Side::Left);
    EXPECT_EQ(t.exit, Side::Right);
    EXPECT_EQ(t.coords.size(), 4u);
    EXPECT_EQ(t.last(), (Coordinate{1, 0.5}));
}

TEST(Take, ExitFromLastPointWhenPreviousVertexRunsBesideTheBox) {
    // p and c on one vertical line right of the box: the segment p-c runs beside it and
    // would exit at (1, 0.9), not where the ring leaves.
    Cell cell = cell_with({{0, 0.5}, {0.5, 0.25}});
    const Coordinate p{3, 0.2};
    EXPECT_FALSE(take(cell, {3, 0.9}, &p));
    EXPECT_EQ(cell.traversals.back().last().x, 1.0);
    EXPECT_NEAR(cell.traversals.back().last().y, 0.38, 1e-12);
}

TEST(Take, OnlyARunStartedInsideIsClosedByItsFirstPoint) {
    Cell inside = cell_with({{0.2, 0.2}, {0.8, 0.2}, {0.2, 0.2}, {0.5, 0.5}});
    EXPECT_EQ(inside.traversals.size(), 2u);
    // Entered at a corner, out along a spike and back to that corner, then on: one run.
    Cell entered = cell_with({{1, 0}, {0.5, 0.5}, {1, 0}, {0.7, 0.1}});
    EXPECT_EQ(entered.traversals.size(), 1u);
    // A closed ring going on outside: the new run starts where the ring is, not outside.
    Cell cell = cell_with({{0.2, 0.2}, {0.8, 0.2}, {0.2, 0.2}});
    const Coordinate p{0.2, 0.2};
    EXPECT_FALSE(take(cell, {0.2, -3}, &p));
    EXPECT_EQ(cell.traversals.back().coords, (std::vector<Coordinate>{{0.2, 0.2}, {0.2, 0}}));
}

TEST(Traversals, ForcedExitsAndWhatIsMeasured) {
    Cell corner = cell_with({{0.5, 0.5}, {1, 1}});
    force_exit(corner);
    EXPECT_EQ(corner.traversals.back().exit, Side::Right);  // the vertical side, as for entries
    Cell open = cell_with({{0, 0.5}, {0.5, 0.5}});
    force_exit(open);
    EXPECT_FALSE(open.traversals.back().exited());
    Cell point = cell_with({{0, 0.5}, {0, 0.5}});
    force_exit(point);

    std::vector<std::span<const Coordinate>> lists;
    qualifying_traversals(open, lists);
    EXPECT_TRUE(lists.empty());
    qualifying_traversals(point, lists);
    EXPECT_TRUE(lists.empty());
    try {
        (void)Traversal{}.last();
        ADD_FAILURE() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "empty traversal has no last coordinate");
    }
}

}  // namespace
