// libFuzzer target: build_cache over a small fuzzed grid and fuzzed WKB values, then every
// statistic through all four reductions. Refusals must be InputError; any other exception
// or sanitizer report is a finding, and so are these broken promises:
//   - a NaN or infinite coverage value stored in the cache;
//   - a batched result that differs, bit for bit, from the single-raster result of its step.
//
// Input layout: 1 byte of flags (bit 0: centre method), 1 byte rows, 1 byte cols (each
// taken mod 24, plus 1), 4 bytes choosing xmin, ymin, dx, dy from tables of awkward values,
// then up to four WKB values, each preceded by its length in one byte (255: the rest).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "record/build.h"
#include "stats/raster_view.h"
#include "support/error.h"

namespace {

using quorvalis::CacheRecord;

constexpr double kOrigins[] = {0.0, -1.0, 0.5, 1e6, -180.0, 1e15, 3.0e-7, 1e17};
constexpr double kSizes[] = {1.0, 0.5, 0.1, 0.25, 3.0, 1e-3, 1e3, 1.0 / 3.0, -1.0, 1e-12, 1e12, 7.0, 1e-200, 1e155};
constexpr std::string_view kStats[] = {"mean",     "sum",   "count",         "min",         "max",
                                       "variance", "stdev", "weighted_mean", "weighted_sum"};

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<std::uint8_t> chunk() {
        std::size_t n = byte();
        if (n == 255 || n > size_ - pos_) n = size_ - pos_;
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    bool done() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

template <class T, std::size_t N>
T pick(const T (&table)[N], std::uint8_t b) {
    return table[b % N];
}

// Values with nodata, NaN and infinity mixed in, the same for every run of an input.
std::vector<double> raster(std::size_t n, std::uint32_t seed) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const std::uint32_t r = seed >> 8;
        v[i] = r % 13 == 0 ? -9999.0 : r % 17 == 0 ? std::nan("") : r % 19 == 0 ? INFINITY : (r % 2000) / 10.0 - 50.0;
    }
    return v;
}

void check_batch(const std::vector<double>& batch, const std::vector<double>& single, std::size_t step,
                 std::size_t n_basins) {
    if (n_basins != 0 && std::memcmp(batch.data() + step * n_basins, single.data(), n_basins * sizeof(double)) != 0) {
        finding("batched result differs from the single-raster result of its step");
    }
}

void run_stats(const CacheRecord& record, std::uint64_t rows, std::uint64_t cols) {
    constexpr std::uint64_t kSteps = 2;
    const std::vector<double> values = raster(kSteps * rows * cols, 7);
    const std::vector<double> weights = raster(rows * cols, 11);
    const auto row = static_cast<std::ptrdiff_t>(cols * sizeof(double));
    const auto col = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto step = static_cast<std::ptrdiff_t>(rows) * row;
    const auto* base = reinterpret_cast<const std::byte*>(values.data());
    const quorvalis::RasterStack stack{base, kSteps, rows, cols, step, row, col};
    const quorvalis::RasterView w{reinterpret_cast<const std::byte*>(weights.data()), rows, cols, row, col};
    const std::size_t n = record.zones.size();
    const auto inputs = [&](quorvalis::ArrayView r, bool weighted) {
        quorvalis::StatInputs in{r, quorvalis::Nodata::of(-9999.0), std::nullopt, quorvalis::Nodata::of(-9999.0)};
        if (weighted) in.weights = quorvalis::ArrayView(w);
        return in;
    };
    for (const std::string_view name : kStats) {
        const quorvalis::Stat stat = quorvalis::parse_stat(name);
        for (const bool weighted : {false, true}) {
            const std::vector<double> batch = quorvalis::reduce(record.zones, inputs(stack, weighted), stat);
            for (std::uint64_t t = 0; t < kSteps; ++t) {
                check_batch(batch, quorvalis::reduce(record.zones, inputs(stack.slice(t), weighted), stat), t, n);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t flags = in.byte();
    const std::uint64_t rows = in.byte() % 24 + 1;
    const std::uint64_t cols = in.byte() % 24 + 1;
    const double xmin = pick(kOrigins, in.byte());
    const double ymin = pick(kOrigins, in.byte());
    const double dx = pick(kSizes, in.byte());
    const double dy = pick(kSizes, in.byte());
    std::vector<std::vector<std::uint8_t>> wkbs;
    while (!in.done() && wkbs.size() < 4) wkbs.push_back(in.chunk());
    std::vector<std::int64_t> ids(wkbs.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<std::int64_t>(i);

    CacheRecord record;
    try {
        record = quorvalis::build_cache(wkbs, ids, xmin, ymin, xmin + static_cast<double>(cols) * dx,
                                        ymin + static_cast<double>(rows) * dy, dx, dy, flags & 1 ? "center" : "exact");
    } catch (const quorvalis::InputError&) {
        return 0;
    }
    for (const quorvalis::Zone& b : record.zones) {
        for (std::uint64_t i = 0; i < b.rows(); ++i) {
            const quorvalis::RowRun r = b.row(i);
            for (std::uint64_t j = r.first; j < r.end; ++j) {
                if (!std::isfinite(*r.at(j))) finding("non-finite coverage value stored in the cache");
            }
        }
    }
    run_stats(record, record.grid.rows, record.grid.cols);
    return 0;
}
