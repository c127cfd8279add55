// Results are bit-for-bit only if every expression is rounded as written. A compiler that
// contracts a * b + c into one fused multiply-add (the default on some architectures and in
// GNU modes) changes them silently; this case fails on such a build, whatever the machine.
#include <gtest/gtest.h>

#include <cmath>

#include "coverage/lattice_scan.h"

namespace quorvalis {
namespace {

// A cell center is (col + 0.5) * dx + xmin and ymax - (row + 0.5) * dy, each rounded twice.
// With the origin set to minus the rounded product, the written order gives exactly 0; a
// fused operation keeps the product's error term and gives that instead. lattice_scan.cpp is built
// with the core's own flags, so this checks the library's compilation, not only this test's.
TEST(Determinism, ProductErrorTermsAreRoundedAway) {
    const double product = 3.5 * 0.1;
    ASSERT_NE(std::fma(3.5, 0.1, -product), 0.0);  // the case tells the two apart
    const Grid grid = grid_from_params(-product, -10.0, 10.0, product, 0.1, 0.1);
    const Lattice centers = center_lattice(grid_rect(grid));
    EXPECT_EQ(centers.xs[3], 0.0);
    EXPECT_EQ(centers.ys[3], 0.0);
}

}  // namespace
}  // namespace quorvalis
