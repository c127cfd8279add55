// Throughput of the statistic kernels, each against a baseline timed in the same run:
//  batch   a (365, 720, 1440) float64 stack (about 3 GB) and 1,000 irregular basins: "mean",
//          "variance", "weighted_mean", "weighted_sum", against one plain pass summing
//          every cell of the stack (independent sums, so it runs at memory speed), and
//          against reading only the 64-byte lines that hold covered cells, in the kernels'
//          order: the memory floor of any kernel on this stack;
//          and a float32 copy reduced in place against converting it to float64 first;
//  single  a 4000 x 4000 float64 raster and 2,000 basins: "mean" in covered cells per
//          second, against summing a contiguous array of just the covered values.
// Usage: bench_stats [single|batch|all] [repeats]
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>

#include "common.h"
#include "stats/stats.h"

using namespace quorvalis;
using bench::best_seconds;
using bench::blobs;

namespace {

std::uint64_t covered_cells(const CacheRecord& cache) {
    std::uint64_t n = 0;
    for (const Zone& b : cache.zones) {
        for (std::uint64_t i = 0; i < b.rows(); ++i) {
            const RowRun r = b.row(i);
            for (std::uint64_t j = r.first; j < r.end; ++j) n += *r.at(j) > 0.0f;
        }
    }
    return n;
}

// Large arrays as NumPy allocates them: asking for transparent huge pages before the first
// touch, which spares the page walks of a strided read through gigabytes.
template <class T>
struct Big {
    std::size_t n;
    T* p;
    explicit Big(std::size_t count)
        : n(count),
          p(static_cast<T*>(
              std::aligned_alloc(1 << 21, (count * sizeof(T) + (1 << 21) - 1) & ~std::size_t((1 << 21) - 1)))) {
        madvise(p, count * sizeof(T), MADV_HUGEPAGE);
    }
    ~Big() { std::free(p); }
    T* begin() { return p; }
    T* end() { return p + n; }
    const T* data() const { return p; }
    std::size_t size() const { return n; }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// What NumPy's sum does: one read of every value, with enough independent sums that the
// additions keep up with memory (named variables: an array of vectors was kept in memory,
// and the sum ran at two thirds of NumPy's speed).
[[gnu::noinline]] double plain_sum(const double* v, std::size_t n) {
    typedef double Two __attribute__((vector_size(16), aligned(8)));
    Two a{}, b{}, c{}, d{};
    const auto at = [v](std::size_t i) {
        Two x;
        std::memcpy(&x, v + i, sizeof x);
        return x;
    };
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        a += at(i);
        b += at(i + 2);
        c += at(i + 4);
        d += at(i + 6);
    }
    const Two t = (a + b) + (c + d);
    double total = t[0] + t[1];
    for (; i < n; ++i) total += v[i];
    return total;
}

// The 64-byte lines of one step that hold a cell of some basin's row span, in increasing
// addresses, as offsets in doubles from the step's first cell (which is line-aligned here).
std::vector<std::uint64_t> covered_lines(const CacheRecord& cache, std::uint64_t rows, std::uint64_t cols) {
    std::vector<std::uint64_t> lines;
    for (const Zone& b : cache.zones) {
        for (std::uint64_t i = 0; i < b.rows() && b.row_offset + i < rows; ++i) {
            const ColumnSpan s = b.span(i);
            const std::uint64_t first = b.col_offset + s.first, end = std::min(cols, b.col_offset + s.end);
            if (first >= end) continue;
            const std::uint64_t at = (b.row_offset + i) * cols;
            for (std::uint64_t l = (at + first) / 8; l <= (at + end - 1) / 8; ++l) lines.push_back(l * 8);
        }
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

// One value of each covered line of every step, eight steps at a time as the kernels read
// them, with the lines asked for well ahead: what reading just the cells the basins cover
// costs, whatever is computed on them. A floor for any kernel that reads a stack in place.
[[gnu::noinline]] double read_lines(const double* v, std::uint64_t steps, std::uint64_t step_cells,
                                    const std::vector<std::uint64_t>& lines) {
    constexpr std::uint64_t kSteps = 8;
    constexpr std::size_t kAhead = 48;
    double s[kSteps] = {};
    for (std::uint64_t t = 0; t + kSteps <= steps; t += kSteps) {
        const double* step = v + t * step_cells;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i + kAhead < lines.size())
                for (std::uint64_t k = 0; k < kSteps; ++k)
                    __builtin_prefetch(step + k * step_cells + lines[i + kAhead], 0, 1);
            for (std::uint64_t k = 0; k < kSteps; ++k) s[k] += step[k * step_cells + lines[i]];
        }
    }
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

template <class T, class V>
ArrayView view_of(const V& v, DType d, std::uint64_t steps, std::uint64_t rows, std::uint64_t cols) {
    const auto e = static_cast<std::ptrdiff_t>(sizeof(T));
    return {reinterpret_cast<const std::byte*>(v.data()),
            d,
            steps,
            rows,
            cols,
            e * static_cast<std::ptrdiff_t>(rows * cols),
            e * static_cast<std::ptrdiff_t>(cols),
            e};
}

template <class V>
void fill(V& v, double nodata, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-50.0, 300.0);
    for (double& x : v) x = rng() % 50 == 0 ? nodata : u(rng);
}

int single(int reps, std::mt19937_64& rng) {
    const std::uint64_t rows = 4000, cols = 4000;
    const double nodata = -9999.0;
    const CacheRecord cache = blobs(rows, cols, 2000, 10, 60, rng);
    std::vector<double> values(rows * cols);
    fill(values, nodata, rng);
    const double cells = static_cast<double>(covered_cells(cache));
    std::vector<double> covered(static_cast<std::size_t>(cells));
    for (std::size_t i = 0; i < covered.size(); ++i) covered[i] = values[(i * 7919) % values.size()];

    StatInputs in;
    in.raster = view_of<double>(values, DType::Float64, 1, rows, cols);
    in.nodata = Nodata::of(nodata);
    std::vector<double> out;
    volatile double sink = 0;
    const double t_mean = best_seconds(reps, [&] { out = reduce(cache.zones, in, Stat::Mean); });
    const double t_sum = best_seconds(reps, [&] { sink = plain_sum(covered.data(), covered.size()); });
    std::printf("single: 4000 x 4000 float64, %zu basins, %.0f covered cells\n", cache.zones.size(), cells);
    std::printf("  mean                 %8.2f ms  %7.1f M cells/s  %5.2fx the plain sum\n", t_mean * 1e3,
                cells / t_mean / 1e6, t_mean / t_sum);
    std::printf("  sum of covered only  %8.2f ms  %7.1f M cells/s\n", t_sum * 1e3, cells / t_sum / 1e6);
    (void)sink;
    return 0;
}

int batch(int reps, std::mt19937_64& rng) {
    const std::uint64_t steps = 365, rows = 720, cols = 1440;
    const double nodata = -9999.0;
    const CacheRecord cache = blobs(rows, cols, 1000, 3, 15, rng);
    Big<double> values(steps * rows * cols);
    std::vector<double> weights(rows * cols);
    fill(values, nodata, rng);
    fill(weights, nodata, rng);
    for (double& w : weights) w = std::fabs(w);
    const double cell_steps = static_cast<double>(covered_cells(cache)) * static_cast<double>(steps);
    std::printf("batch: (365, 720, 1440) float64, %zu basins, %.1f%% of cells covered\n", cache.zones.size(),
                100.0 * static_cast<double>(covered_cells(cache)) / static_cast<double>(rows * cols));

    volatile double sink = 0;
    const double t_read = best_seconds(reps, [&] { sink = plain_sum(values.data(), values.size()); });
    std::printf("  read every cell      %8.1f ms\n", t_read * 1e3);
    const std::vector<std::uint64_t> lines = covered_lines(cache, rows, cols);
    const double t_lines = best_seconds(reps, [&] { sink = read_lines(values.data(), steps, rows * cols, lines); });
    std::printf("  read covered lines   %8.1f ms  %5.2fx reading every cell (%.1f%% of the lines)\n", t_lines * 1e3,
                t_lines / t_read, 100.0 * static_cast<double>(lines.size() * 8) / static_cast<double>(rows * cols));

    StatInputs in;
    in.raster = view_of<double>(values, DType::Float64, steps, rows, cols);
    in.nodata = Nodata::of(nodata);
    in.weights = view_of<double>(weights, DType::Float64, 1, rows, cols);
    in.weight_nodata = Nodata::of(nodata);
    double t_mean = 0;
    for (Stat stat : {Stat::Mean, Stat::Variance, Stat::WeightedMean, Stat::WeightedSum, Stat::Min}) {
        std::vector<double> out;
        const double t = best_seconds(reps, [&] { out = reduce(cache.zones, in, stat); });
        if (stat == Stat::Mean) t_mean = t;
        const char* names[] = {"mean",     "sum",   "count",         "min",         "max",
                               "variance", "stdev", "weighted_mean", "weighted_sum"};
        std::printf("  %-20s %8.1f ms  %7.1f M cell-steps/s  %5.2fx reading every cell  %5.2fx mean\n",
                    names[static_cast<int>(stat)], t * 1e3, cell_steps / t / 1e6, t / t_read, t / t_mean);
    }

    // float32 in place against the conversion a float64-only kernel needs first.
    Big<float> narrow(values.size());
    std::copy(values.begin(), values.end(), narrow.begin());
    StatInputs in32 = in;
    in32.raster = view_of<float>(narrow, DType::Float32, steps, rows, cols);
    std::vector<double> a, b;
    const double t32 = best_seconds(reps, [&] { a = reduce(cache.zones, in32, Stat::Mean); });
    const double t_conv = best_seconds(reps, [&] {
        std::copy(narrow.begin(), narrow.end(), values.begin());
        b = reduce(cache.zones, in, Stat::Mean);
    });
    std::printf("  float32 mean         %8.1f ms  in place; converting first %8.1f ms (%.2fx), results %s\n", t32 * 1e3,
                t_conv * 1e3, t_conv / t32, same_bits(a, b) ? "identical" : "DIFFER");
    (void)sink;
    return same_bits(a, b) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view what = argc > 1 ? argv[1] : "all";
    const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
    std::mt19937_64 rng(20240611);
    int failed = 0;
    if (what == "all" || what == "single") failed |= single(reps, rng);
    if (what == "all" || what == "batch") failed |= batch(reps, rng);
    return failed;
}
