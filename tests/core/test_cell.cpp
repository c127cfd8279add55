#include <gtest/gtest.h>

#include <vector>

#include "coverage/cell.h"
#include "error_text.h"
#include "support/error.h"

namespace {

using namespace quorvalis;
using Coords = std::vector<Coordinate>;

// Cells of the unit box over one log, which outlives them all.
WalkLog g_log;

Cell cell_with(const Coords& points) {
    Cell cell({0, 0, 1, 1}, g_log);
    for (const Coordinate& p : points) EXPECT_TRUE(take(cell, p, nullptr));
    return cell;
}

Coords coords(const Traversal& t) {
    const std::span<const Coordinate> c = t.coords(g_log.points);
    return Coords(c.begin(), c.end());
}

TEST(Take, VertexOnTheEdgeStaysAndIsTheExitAgain) {
    Cell cell = cell_with({{0, 1}, {0.5, 0.5}, {1, 0.5}});  // a corner gets the vertical side
    const Coordinate p{1, 0.5};
    EXPECT_FALSE(take(cell, {2, 1.5}, &p));
    const Traversal& t = cell.last();
    EXPECT_EQ(t.entry, Side::Left);
    EXPECT_EQ(t.exit, Side::Right);
    EXPECT_EQ(coords(t), (Coords{{0, 1}, {0.5, 0.5}, {1, 0.5}, {1, 0.5}}));
}

TEST(Take, ExitFromLastPointWhenPreviousVertexRunsBesideTheBox) {
    // p and c on one vertical line right of the box: the segment p-c runs beside it and
    // would exit at (1, 0.9), not where the ring leaves.
    Cell cell = cell_with({{0, 0.5}, {0.5, 0.25}});
    const Coordinate p{3, 0.2};
    EXPECT_FALSE(take(cell, {3, 0.9}, &p));
    EXPECT_EQ(cell.last().last(g_log.points).x, 1.0);
    EXPECT_NEAR(cell.last().last(g_log.points).y, 0.38, 1e-12);
}

TEST(Take, OnlyARunStartedInsideIsClosedByItsFirstPoint) {
    EXPECT_EQ(cell_with({{0.2, 0.2}, {0.8, 0.2}, {0.2, 0.2}, {0.5, 0.5}}).traversal_count(), 2u);
    // Entered at a corner, out along a spike and back to that corner, then on: one run.
    EXPECT_EQ(cell_with({{1, 0}, {0.5, 0.5}, {1, 0}, {0.7, 0.1}}).traversal_count(), 1u);
    // A closed ring going on outside: the new run starts where the ring is, not outside.
    Cell cell = cell_with({{0.2, 0.2}, {0.8, 0.2}, {0.2, 0.2}});
    const Coordinate p{0.2, 0.2};
    EXPECT_FALSE(take(cell, {0.2, -3}, &p));
    EXPECT_EQ(coords(cell.last()), (Coords{{0.2, 0.2}, {0.2, 0}}));
}

// The walk's fast step: points offered together to a run entered from the outline end it
// as they would one by one, repeats dropped, up to the first point outside the cell.
TEST(TakeInside, SameAsTakingEachPoint) {
    const Coords rest{{0.5, 0.5}, {0.5, 0.5}, {1, 1}, {0.2, 0.9}, {2, 2}, {0.3, 0.3}};
    Cell bulk = cell_with({{0, 0.5}});
    EXPECT_EQ(take_inside(bulk, rest), 4u);
    const Coords got = coords(bulk.last());
    const Cell single = cell_with({{0, 0.5}, rest[0], rest[1], rest[2], rest[3]});
    EXPECT_EQ(got, coords(single.last()));
    // A run begun inside the cell is left to take(): coming back to its first point ends it.
    Cell inside = cell_with({{0.5, 0.5}});
    EXPECT_EQ(take_inside(inside, rest), 0u);
}

TEST(Traversals, ForcedExitsAndWhatIsMeasured) {
    Cell corner = cell_with({{0.5, 0.5}, {1, 1}}), open = cell_with({{0, 0.5}, {0.5, 0.5}}),
         point = cell_with({{0, 0.5}, {0, 0.5}});
    for (Cell* c : {&corner, &open, &point}) force_exit(*c);
    EXPECT_EQ(corner.last().exit, Side::Right);  // the vertical side, as for entries
    EXPECT_FALSE(open.last().exited());
    std::vector<std::span<const Coordinate>> lists;
    qualifying_traversals(open, lists);
    qualifying_traversals(point, lists);
    EXPECT_TRUE(lists.empty());
    EXPECT_EQ(quorvalis::testing::error_of<InternalError>([] { (void)Traversal{}.last(g_log.points); }),
              "empty traversal has no last coordinate");
}

}  // namespace
