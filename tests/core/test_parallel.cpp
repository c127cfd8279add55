#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "error_text.h"
#include "support/error.h"
#include "support/parallel.h"

using namespace quorvalis;
using quorvalis::testing::error_of;

namespace {

class ParallelFor : public ::testing::TestWithParam<std::tuple<std::size_t, unsigned>> {};

TEST_P(ParallelFor, EveryItemOnceAndTheFirstFailureInItemOrderWins) {
    const auto [n, threads] = GetParam();
    std::vector<std::atomic<int>> seen(n);
    std::atomic<unsigned> max_worker{0};
    parallel_for(n, threads, [&](std::size_t begin, std::size_t end, unsigned worker) {
        ASSERT_LT(begin, end);
        for (std::size_t k = begin; k < end; ++k) ++seen[k];
        unsigned m = max_worker.load();
        while (worker > m && !max_worker.compare_exchange_weak(m, worker)) {
        }
    });
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(seen[k].load(), 1) << "item " << k;
    EXPECT_LT(max_worker.load(), std::max(threads, 1u));

    // Item 3 and every one from the middle on fail; a sequential loop would stop at 3.
    if (n <= 3) return;
    const std::string message = error_of<InputError>([&, n = n, threads = threads] {
        parallel_for(n, threads, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                if (k == 3 || k >= std::max<std::size_t>(4, n / 2)) throw InputError("item " + std::to_string(k));
            }
        });
    });
    EXPECT_EQ(message, "item 3");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelFor,
                         ::testing::Combine(::testing::Values<std::size_t>(0, 1, 5, 64, 10007),
                                            ::testing::Values(1u, 2u, 3u, 8u)));

TEST(SplitByCost, ContiguousRangesOfAboutEqualCost) {
    const std::vector<std::uint64_t> cost = {5, 1, 1, 1, 1, 1, 5, 0, 0, 5};
    EXPECT_EQ(split_by_cost(cost, 1), (std::vector<std::size_t>{0, 10}));
    EXPECT_EQ(split_by_cost(cost, 2), (std::vector<std::size_t>{0, 6, 10}));
    EXPECT_EQ(split_by_cost(cost, 4), (std::vector<std::size_t>{0, 1, 6, 9, 10}));  // 5 each
    EXPECT_EQ(split_by_cost({}, 3), (std::vector<std::size_t>{0, 0, 0, 0}));
}

TEST(ResolveThreads, ZeroMeansEveryAvailableCoreNegativeIsRefused) {
    EXPECT_EQ(resolve_threads(0), std::min(available_cores(), kMaxThreads));
    EXPECT_EQ(resolve_threads(3), 3u);
    EXPECT_EQ(resolve_threads(1 << 20), kMaxThreads);
    EXPECT_EQ(error_of<InputError>([] { resolve_threads(-2); }),
              "threads must be 0 (all cores) or a positive count, got -2");
}

}  // namespace
