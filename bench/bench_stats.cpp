// Throughput of the statistic kernels, as ratios against baselines timed in the same run:
//  1. apply_stat "mean" on a 2000 x 2000 raster with a few thousand basins, against a
//     straightforward reduction that reads every cell through the view and dispatches the
//     statistic per cell through a virtual accumulator;
//  2. apply_stat_batch "mean" and "variance" on a (365, 1000, 1000) stack, against one
//     apply_stat call per time step (the plain time-outer order); the blocked walk pays off
//     most where each update is a long dependency chain, as in the variance's division.
// Usage: bench_stats [--no-batch]   (the batch needs about 3 GB of memory)
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "stats.h"

using namespace quorvalis;

namespace {

// Tiles the raster with windows of random size (strips of random height cut into pieces of
// random width), each grown by a one-cell margin of partial coverage that overlaps its
// neighbours, as the windows of adjacent polygons do.
CacheRecord synthetic_cache(std::uint64_t rows, std::uint64_t cols, std::uint64_t lo, std::uint64_t hi,
                            std::mt19937_64& rng) {
    CacheRecord cache{};
    std::uniform_int_distribution<std::uint64_t> size(lo, hi);
    std::uniform_real_distribution<float> part(0.0f, 1.0f);
    for (std::uint64_t r0 = 0; r0 < rows;) {
        const std::uint64_t h = std::min(size(rng), rows - r0);
        for (std::uint64_t c0 = 0; c0 < cols;) {
            const std::uint64_t w = std::min(size(rng), cols - c0);
            const std::uint64_t top = r0 ? r0 - 1 : 0, left = c0 ? c0 - 1 : 0;
            const std::uint64_t wr = r0 + h + 1 - top, wc = c0 + w + 1 - left;
            Basin b{{Matrix<float>(wr, wc, 0.0f), top, left}, static_cast<std::int64_t>(cache.basins.size())};
            for (std::uint64_t i = 0; i < wr; ++i)
                for (std::uint64_t j = 0; j < wc; ++j) {
                    const std::uint64_t r = top + i, c = left + j;
                    const bool inside = r >= r0 && r < r0 + h && c >= c0 && c < c0 + w;
                    const bool edge = inside && (r == r0 || c == c0 || r + 1 == r0 + h || c + 1 == c0 + w);
                    b.coverage(i, j) = inside ? (edge ? 0.5f + 0.5f * part(rng) : 1.0f) : 0.25f * part(rng);
                }
            cache.basins.push_back(std::move(b));
            c0 += w;
        }
        r0 += h;
    }
    return cache;
}

std::uint64_t covered_cells(const CacheRecord& cache, std::uint64_t rows, std::uint64_t cols) {
    std::uint64_t n = 0;
    for (const Basin& b : cache.basins)
        for (std::uint64_t i = 0; i < b.coverage.rows() && b.row_offset + i < rows; ++i)
            for (std::uint64_t j = 0; j < b.coverage.cols() && b.col_offset + j < cols; ++j) n += b.coverage(i, j) > 0.0f;
    return n;
}

// The naive baseline: one heap accumulator per basin behind a virtual interface, picked
// by name, and a per-cell call through it.
struct Acc {
    virtual ~Acc() = default;
    virtual void update(double v, double c, bool valid) = 0;
    virtual double finish() const = 0;
};
struct NaiveMean final : Acc {
    double w = 0, s = 0;
    void update(double v, double c, bool valid) override {
        if (valid) w = w + c, s = s + v * c;
    }
    double finish() const override { return w > 0 ? s / w : std::numeric_limits<double>::quiet_NaN(); }
};
struct NaiveSum final : Acc {
    double a = 0;
    void update(double v, double c, bool valid) override {
        if (valid) a = a + c * v;
    }
    double finish() const override { return a; }
};

[[gnu::noinline]] std::unique_ptr<Acc> make_naive(std::string_view name) {
    if (name == "sum") return std::make_unique<NaiveSum>();
    return std::make_unique<NaiveMean>();
}

[[gnu::noinline]] std::vector<double> naive_apply(const CacheRecord& cache, const RasterView& raster, double nodata,
                                                  std::string_view stat) {
    std::vector<double> out;
    out.reserve(cache.basins.size());
    for (const Basin& b : cache.basins) {
        auto acc = make_naive(stat);
        for (std::uint64_t i = 0; i < b.coverage.rows(); ++i) {
            if (b.row_offset + i >= raster.rows) break;
            for (std::uint64_t j = 0; j < b.coverage.cols(); ++j) {
                if (b.col_offset + j >= raster.cols) break;
                const float f = b.coverage(i, j);
                if (f <= 0) continue;
                const double v = raster.at(b.row_offset + i, b.col_offset + j);
                acc->update(v, f, is_valid(v, nodata));
            }
        }
        out.push_back(acc->finish());
    }
    return out;
}

template <class F>
double best_seconds(int reps, F&& f) {
    double best = std::numeric_limits<double>::infinity();
    for (int k = 0; k < reps; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool both_nan = a[i] != a[i] && b[i] != b[i];
        if (!both_nan && std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
    }
    return true;
}

std::vector<double> random_raster(std::size_t n, double nodata, std::mt19937_64& rng) {
    std::vector<double> v(n);
    std::uniform_real_distribution<double> u(-50.0, 300.0);
    for (double& x : v) x = rng() % 50 == 0 ? nodata : u(rng);
    return v;
}

int single_raster(std::mt19937_64& rng) {
    const std::uint64_t rows = 2000, cols = 2000;
    const double nodata = -9999.0;
    const CacheRecord cache = synthetic_cache(rows, cols, 15, 60, rng);
    const std::vector<double> values = random_raster(rows * cols, nodata, rng);
    const RasterView view{reinterpret_cast<const std::byte*>(values.data()), rows, cols,
                          static_cast<std::ptrdiff_t>(cols * 8), 8};
    const double cells = static_cast<double>(covered_cells(cache, rows, cols));

    std::vector<double> fast, slow;
    const double t_fast = best_seconds(7, [&] { fast = apply_stat(cache, view, nodata, "mean"); });
    const double t_slow = best_seconds(7, [&] { slow = naive_apply(cache, view, nodata, "mean"); });
    std::printf("single raster: %zu basins, %.0f covered cells, 2000 x 2000, \"mean\"\n", cache.basins.size(), cells);
    std::printf("  apply_stat        %8.2f ms  %7.1f M cells/s\n", t_fast * 1e3, cells / t_fast / 1e6);
    std::printf("  virtual baseline  %8.2f ms  %7.1f M cells/s\n", t_slow * 1e3, cells / t_slow / 1e6);
    std::printf("  speed-up %.2fx, results %s\n", t_slow / t_fast, same_bits(fast, slow) ? "identical" : "DIFFER");
    return same_bits(fast, slow) ? 0 : 1;
}

int batch(std::mt19937_64& rng) {
    const std::uint64_t steps = 365, rows = 1000, cols = 1000;
    const double nodata = -9999.0;
    const CacheRecord cache = synthetic_cache(rows, cols, 40, 70, rng);
    const std::vector<double> values = random_raster(steps * rows * cols, nodata, rng);
    const RasterStack stack{reinterpret_cast<const std::byte*>(values.data()), steps, rows, cols,
                            static_cast<std::ptrdiff_t>(rows * cols * 8), static_cast<std::ptrdiff_t>(cols * 8), 8};
    const double cell_steps = static_cast<double>(covered_cells(cache, rows, cols)) * static_cast<double>(steps);

    int failed = 0;
    for (const char* stat : {"mean", "variance"}) {
        std::vector<double> fast, slow(steps * cache.basins.size());
        const double t_fast = best_seconds(3, [&] { fast = apply_stat_batch(cache, stack, nodata, stat); });
        const double t_slow = best_seconds(3, [&] {
            for (std::uint64_t t = 0; t < steps; ++t) {
                const auto row = apply_stat(cache, stack.slice(t), nodata, stat);
                std::copy(row.begin(), row.end(), slow.begin() + static_cast<std::ptrdiff_t>(t * cache.basins.size()));
            }
        });
        std::printf("batch: %zu basins, (365, 1000, 1000), \"%s\", %.0f covered cell-steps\n", cache.basins.size(),
                    stat, cell_steps);
        std::printf("  apply_stat_batch     %8.1f ms  %7.1f M cell-steps/s\n", t_fast * 1e3, cell_steps / t_fast / 1e6);
        std::printf("  apply_stat per step  %8.1f ms  %7.1f M cell-steps/s\n", t_slow * 1e3, cell_steps / t_slow / 1e6);
        std::printf("  speed-up %.2fx, results %s\n", t_slow / t_fast, same_bits(fast, slow) ? "identical" : "DIFFER");
        failed |= same_bits(fast, slow) ? 0 : 1;
    }
    return failed;
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937_64 rng(20240611);
    int failed = single_raster(rng);
    if (!(argc > 1 && std::string_view(argv[1]) == "--no-batch")) failed |= batch(rng);
    return failed;
}
