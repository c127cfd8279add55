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
// Prints a checksum of each result so that a change to the kernels can be seen to keep
// every bit. Usage: bench_median [repeats [case]], a case picked by the start of its name.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <vector>

#include "zone_stats.h"

using namespace quorvalis;

namespace {

// Wobbly blobs with fractional edges, sized like the basins of the Python benchmark.
std::vector<Basin> blobs(std::uint64_t rows, std::uint64_t cols, int n, double r_lo, double r_hi, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Basin> out;
    for (int k = 0; k < n; ++k) {
        const double radius = r_lo * std::pow(r_hi / r_lo, u(rng));
        const double cy = u(rng) * static_cast<double>(rows), cx = u(rng) * static_cast<double>(cols);
        const double a1 = 0.35 * u(rng), a2 = 0.2 * u(rng), p1 = 6.3 * u(rng), p2 = 6.3 * u(rng);
        const double reach = radius * 1.6 + 1;
        const auto lo = [](double v) { return static_cast<std::uint64_t>(std::max(0.0, std::floor(v))); };
        const std::uint64_t r0 = lo(cy - reach), c0 = lo(cx - reach);
        const std::uint64_t r1 = std::min(rows, lo(cy + reach) + 1), c1 = std::min(cols, lo(cx + reach) + 1);
        Matrix<float> coverage(r1 - r0, c1 - c0, 0.0f);
        for (std::uint64_t i = 0; i < r1 - r0; ++i)
            for (std::uint64_t j = 0; j < c1 - c0; ++j) {
                const double y = static_cast<double>(r0 + i) + 0.5 - cy, x = static_cast<double>(c0 + j) + 0.5 - cx;
                const double t = std::atan2(y, x);
                const double edge = radius * (1 + a1 * std::sin(3 * t + p1) + a2 * std::sin(7 * t + p2));
                coverage(i, j) = static_cast<float>(std::clamp(edge - std::hypot(x, y) + 0.5, 0.0, 1.0));
            }
        // Filled in before the basin is made: it finds its row spans from the fractions.
        out.emplace_back(PlacedWindow{std::move(coverage), r0, c0}, k);
    }
    return out;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <class F>
double best_seconds(int reps, F&& f) {
    double best = std::numeric_limits<double>::infinity();
    for (int k = 0; k < reps; ++k) {
        const double t0 = cpu_seconds();
        f();
        best = std::min(best, cpu_seconds() - t0);
    }
    return best;
}

std::uint64_t checksum(const std::vector<double>& v) {
    std::uint64_t h = 1469598103934665603ull;
    for (double x : v) {
        std::uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}

ArrayView view(const std::vector<double>& v, std::uint64_t rows, std::uint64_t cols) {
    return {reinterpret_cast<const std::byte*>(v.data()), DType::Float64, 1, rows, cols, 0,
            static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::uint64_t rows = 2000, cols = 2000;
    std::mt19937_64 rng(3);
    const std::vector<Basin> basins = blobs(rows, cols, 1000, 25, 76, rng);
    std::vector<double> raster(rows * cols), weights(rows * cols);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform(0.5, 2.0);
    for (double& x : raster) x = normal(rng);
    for (double& x : weights) x = uniform(rng);

    std::vector<Basin> centres;
    for (const Basin& b : basins) {
        Matrix<float> whole = b.coverage;
        for (std::uint64_t i = 0; i < whole.rows(); ++i)
            for (std::uint64_t j = 0; j < whole.cols(); ++j) whole(i, j) = whole(i, j) >= 0.5f ? 1.0f : 0.0f;
        centres.emplace_back(PlacedWindow{std::move(whole), b.row_offset, b.col_offset}, b.id);
    }
    std::vector<double> classes(rows * cols);
    for (double& x : classes) x = static_cast<double>(rng() % 7);

    StatInputs in;
    in.raster = view(raster, rows, cols);
    StatInputs weighted = in;
    weighted.weights = view(weights, rows, cols);
    StatInputs classed = in;
    classed.raster = view(classes, rows, cols);
    const std::size_t n = basins.size();

    std::vector<double> mean;
    const double t_mean = best_seconds(reps, [&] { mean = reduce(basins, in, Stat::Mean); });
    std::printf("1000 basins on 2000 x 2000 float64, 1 thread, best of %d (CPU time)\n", reps);
    std::printf("  %-18s %8.1f ms\n", "mean", t_mean * 1e3);

    const double qs[] = {0.1, 0.5, 0.9};
    enum Ask { Median, Quantiles, All };
    struct Case {
        const char* name;
        const std::vector<Basin>* basins;
        const StatInputs* in;
        Ask ask;
    } cases[] = {{"weighted median", &basins, &weighted, Median}, {"median", &basins, &in, Median},
                 {"quantiles", &basins, &weighted, Quantiles}, {"median, classes", &basins, &classed, Median},
                 {"median, centres", &centres, &in, Median}, {"all order stats", &basins, &weighted, All}};
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
        std::printf("  %-18s %8.1f ms  %5.2fx mean   checksum %016llx\n", c.name, t * 1e3, t / t_mean,
                    static_cast<unsigned long long>(h));
    }
    return 0;
}
