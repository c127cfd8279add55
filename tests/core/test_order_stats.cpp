#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "stats/order_stats.h"

using namespace quorvalis;

namespace {

struct Data {
    std::string name;
    std::function<double(std::mt19937_64&)> draw;
};

// Values that take the sort's every path: short and long runs of equal top halves, equal
// keys, both signs and both zeros, values far apart.
const Data kData[] = {
    {"continuous", [](std::mt19937_64& g) { return std::normal_distribution<double>(0.0, 1e3)(g); }},
    {"classes", [](std::mt19937_64& g) { return static_cast<double>(g() % 7) - 3.0; }},
    {"zeros", [](std::mt19937_64& g) { return g() % 2 ? 0.0 : -0.0; }},
    {"near_equal", [](std::mt19937_64& g) { return 1.0 + std::ldexp(static_cast<double>(g() % 4096), -45); }},
    {"far_apart",
     [](std::mt19937_64& g) { return (g() % 2 ? 1.0 : -1.0) * std::ldexp(1.0, static_cast<int>(g() % 600) - 300); }},
    {"one_exponent", [](std::mt19937_64& g) { return std::uniform_real_distribution<double>(256.0, 320.0)(g); }},
};

// Weights whose sums round (random), whose sums are exact and tie with half the total
// (ones), and whose sums can swallow the small ones (wide range).
const Data kWeights[] = {
    {"random", [](std::mt19937_64& g) { return std::uniform_real_distribution<double>(0.01, 2.0)(g); }},
    {"ones", [](std::mt19937_64&) { return 1.0; }},
    {"wide",
     [](std::mt19937_64& g) {
         return std::ldexp(1.0 + static_cast<double>(g() % 8), static_cast<int>(g() % 120) - 60);
     }},
};

class Quantiles : public ::testing::TestWithParam<std::tuple<Data, Data, std::size_t>> {};

// Selection must give every bit of what reading the quantile off the sorted groups gives.
TEST_P(Quantiles, SelectedEqualSortedGroups) {
    const auto& [data, weight, n] = GetParam();
    std::mt19937_64 g(7);
    CellBuffer cells, spare;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = data.draw(g);
        cells.push_back({order_key(v), weight.draw(g)});
    }
    const std::vector<double> qs = {0.0, 1e-9, 0.1, 0.25, 0.5, 0.5 + 1e-12, 0.9, 1.0 - 1e-16, 1.0};
    // All at once (a tie in one sorts them all), and one by one through warm scratch.
    std::vector<double> together(qs.size()), alone(qs.size());
    QuantileScratch scratch;
    CellBuffer copy = cells;
    weighted_quantiles(copy, qs, together.data(), scratch);
    for (std::size_t j = 0; j < qs.size(); ++j) weighted_quantiles(copy = cells, {&qs[j], 1}, &alone[j], scratch);
    ValueGroups groups;
    group_values(cells, spare, groups);
    for (std::size_t j = 0; j < qs.size(); ++j) {
        const double expected = weighted_quantile(groups, qs[j]);
        for (double found : {together[j], alone[j]}) {
            EXPECT_TRUE(expected == found || (std::isnan(expected) && std::isnan(found)))
                << "q " << qs[j] << ": " << found << " instead of " << expected;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Data, Quantiles,
                         ::testing::Combine(::testing::ValuesIn(kData), ::testing::ValuesIn(kWeights),
                                            ::testing::Values<std::size_t>(0, 100, 256, 5000, 40000)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name + "_" +
                                    std::to_string(std::get<2>(info.param));
                         });

class GroupValues : public ::testing::TestWithParam<std::tuple<Data, std::size_t>> {};

TEST_P(GroupValues, MatchAStableSortOfTheValues) {
    const auto& [data, n] = GetParam();
    std::mt19937_64 g(42);
    std::vector<std::pair<double, double>> cells(n);  // (value, weight) in gather order
    for (auto& c : cells) c = {data.draw(g), std::uniform_real_distribution<double>(0.01, 2.0)(g)};

    CellBuffer keyed, spare;
    for (const auto& [v, w] : cells) keyed.push_back({order_key(v), w});
    ValueGroups groups;
    group_values(keyed, spare, groups);

    auto sorted = cells;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<WeightedValue> expected;
    for (const auto& [v, w] : sorted) {
        if (!expected.empty() && expected.back().value == v) {
            expected.back().weight = expected.back().weight + w;
        } else {
            expected.push_back({v + 0.0, w});
        }
    }
    ASSERT_EQ(groups.groups.size(), expected.size());
    double running = 0.0;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(std::signbit(groups.groups[k].value), std::signbit(expected[k].value)) << k;
        EXPECT_EQ(groups.groups[k].value, expected[k].value) << k;
        EXPECT_EQ(groups.groups[k].weight, expected[k].weight) << k;  // summed in gather order
        running = running + expected[k].weight;
        EXPECT_EQ(groups.groups[k].cumulative, running) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Data, GroupValues, ::testing::Combine(::testing::ValuesIn(kData), ::testing::Values<std::size_t>(0, 1, 100, 5000)),
    [](const auto& info) { return std::get<0>(info.param).name + "_" + std::to_string(std::get<1>(info.param)); });

}  // namespace
