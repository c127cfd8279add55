// The order statistics against "mean" on the same basins, in one run: 1,000 blobs over a
// 2000 x 2000 float64 raster (about 9 million covered cells), one thread, CPU time.
//   mean               the streaming kernel, the baseline
//   weighted median    with a float64 weights raster
//   median             coverage-weighted
//   quantiles          weighted, at 0.1, 0.5 and 0.9
//   median, classes    coverage-weighted, of a raster of 7 classes
//   median, centres    weighted by whole cells only (fractions 0 or 1), where half the
//                      basins tie at exactly half their weight
//   all order stats    median, three quantiles, majority, minority, variety
//   ... uint8 / int16  the classes as uint8, and elevations (about 1000 +- 300) as int16
//                      and as float64: small integers are counted by value, not sorted,
//                      and each checksum equals that of the same values as float64
// Prints a checksum of each result so that a change to the kernels can be seen to keep
// every bit. Usage: bench_median [repeats [case]], a case picked by the start of its name.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "common.h"
#include "stats/zone_stats.h"

using namespace quorvalis;
using bench::best_seconds;
using bench::blobs;

namespace {

std::uint64_t checksum(const std::vector<double>& v) {
    std::uint64_t h = 1469598103934665603ull;
    for (double x : v) {
        std::uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}

template <class T>
ArrayView view(const std::vector<T>& v, std::uint64_t rows, std::uint64_t cols) {
    constexpr DType d = std::is_same_v<T, double>         ? DType::Float64
                        : std::is_same_v<T, std::int16_t> ? DType::Int16
                                                          : DType::UInt8;
    return {reinterpret_cast<const std::byte*>(v.data()),  d,        1, rows, cols, 0,
            static_cast<std::ptrdiff_t>(cols * sizeof(T)), sizeof(T)};
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::uint64_t rows = 2000, cols = 2000;
    std::mt19937_64 rng(3);
    const std::vector<Zone> basins = blobs(rows, cols, 1000, 25, 76, rng).zones;
    std::vector<double> raster(rows * cols), weights(rows * cols);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform(0.5, 2.0);
    for (double& x : raster) x = normal(rng);
    for (double& x : weights) x = uniform(rng);

    // The same blobs with whole cells only, built anew so that their row spans fit them.
    std::vector<Zone> centres;
    for (const Zone& b : basins) {
        DenseFractions whole{b.dense(), b.row_offset, b.col_offset};
        for (std::uint64_t i = 0; i < whole.fractions.rows(); ++i)
            for (std::uint64_t j = 0; j < whole.fractions.cols(); ++j)
                whole.fractions(i, j) = whole.fractions(i, j) >= 0.5f ? 1.0f : 0.0f;
        centres.emplace_back(whole, b.id);
    }
    std::vector<double> classes(rows * cols);
    for (double& x : classes) x = static_cast<double>(rng() % 7);

    const std::vector<std::uint8_t> classes8(classes.begin(), classes.end());
    std::vector<std::int16_t> heights(rows * cols);
    for (std::size_t k = 0; k < heights.size(); ++k)
        heights[k] = static_cast<std::int16_t>(
            std::lround(1000.0 + 300.0 * std::sin(static_cast<double>(k % cols) / 97.0) + 20.0 * normal(rng)));
    const std::vector<double> heights64(heights.begin(), heights.end());

    StatInputs in;
    in.raster = view(raster, rows, cols);
    StatInputs weighted = in;
    weighted.weights = view(weights, rows, cols);
    StatInputs classed = in;
    classed.raster = view(classes, rows, cols);
    StatInputs classed8 = in, dem = in, dem64 = in;
    classed8.raster = view(classes8, rows, cols);
    dem.raster = view(heights, rows, cols);
    dem64.raster = view(heights64, rows, cols);
    const std::size_t n = basins.size();

    std::vector<double> mean;
    const double t_mean = best_seconds(reps, [&] { mean = reduce(basins, in, Stat::Mean); });
    std::printf("1000 basins on 2000 x 2000 float64, 1 thread, best of %d (CPU time)\n", reps);
    std::printf("  %-20s %8.1f ms\n", "mean", t_mean * 1e3);

    const double qs[] = {0.1, 0.5, 0.9};
    enum Ask { Median, Quantiles, All };
    struct Case {
        const char* name;
        const std::vector<Zone>* basins;
        const StatInputs* in;
        Ask ask;
    } cases[] = {{"weighted median", &basins, &weighted, Median}, {"median", &basins, &in, Median},
                 {"quantiles", &basins, &weighted, Quantiles},    {"median, classes", &basins, &classed, Median},
                 {"median, centres", &centres, &in, Median},      {"all order stats", &basins, &weighted, All},
                 {"all, uint8 classes", &basins, &classed8, All}, {"all, float64 classes", &basins, &classed, All},
                 {"median, int16", &basins, &dem, Median},        {"median, int16 as f64", &basins, &dem64, Median}};
    for (const Case& c : cases) {
        if (argc > 2 && std::strncmp(c.name, argv[2], std::strlen(argv[2])) != 0) continue;
        std::vector<double> median(n), quantile(3 * n), majority(n), minority(n), variety(n);
        OrderRequest request{qs, c.ask == Quantiles ? nullptr : median.data()};
        if (c.ask != Median) request.quantile = quantile.data();
        if (c.ask == All) {
            request.majority = majority.data();
            request.minority = minority.data();
            request.variety = variety.data();
        }
        OrderScratch scratch;
        const double t = best_seconds(reps, [&] { reduce_order_stats(*c.basins, *c.in, 0, n, request, scratch, {}); });
        std::uint64_t h = checksum(median) ^ checksum(quantile);
        if (c.ask == All) h ^= checksum(majority) ^ checksum(minority) ^ checksum(variety);
        std::printf("  %-20s %8.1f ms  %5.2fx mean   checksum %016llx\n", c.name, t * 1e3, t / t_mean,
                    static_cast<unsigned long long>(h));
    }
    return 0;
}
