#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "error.h"
#include "error_text.h"
#include "stats.h"

using namespace quorvalis;
using quorvalis::testing::error_of;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kNoValueBits = 0x7FF8000000000000;
const char* const kStats[] = {"mean", "sum", "count", "min", "max", "variance", "stdev", "weighted_mean", "weighted_sum"};

Basin basin(std::uint64_t rows, std::uint64_t cols, std::vector<float> cov, std::uint64_t r0 = 0, std::uint64_t c0 = 0) {
    return {{Matrix<float>(rows, cols, std::move(cov)), r0, c0}, 0};
}

// A raster stored in its own byte buffer with arbitrary byte strides, so the same values
// can be laid out contiguously, reversed or misaligned.
struct Stored {
    std::vector<std::byte> bytes;
    RasterStack stack;
    RasterView view() const { return stack.slice(0); }
};

// values are (t, r, c) row-major as the view reads them; pad adds bytes after every column,
// row and step; flip stores the rows bottom-up behind a negative row stride.
Stored store(const std::vector<double>& values, std::uint64_t steps, std::uint64_t rows, std::uint64_t cols,
             std::ptrdiff_t pad = 0, bool flip = false) {
    const std::ptrdiff_t cs = 8 + pad, rs = cs * static_cast<std::ptrdiff_t>(cols) + pad,
                         ts = rs * static_cast<std::ptrdiff_t>(rows) + pad;
    Stored s;
    s.bytes.resize(static_cast<std::size_t>(ts) * steps + 8, std::byte{0xAB});
    std::byte* origin = s.bytes.data() + (flip && rows ? rs * static_cast<std::ptrdiff_t>(rows - 1) : 0);
    s.stack = {origin, steps, rows, cols, ts, flip ? -rs : rs, cs};
    for (std::uint64_t t = 0, i = 0; t < steps; ++t)
        for (std::uint64_t r = 0; r < rows; ++r)
            for (std::uint64_t c = 0; c < cols; ++c, ++i)
                std::memcpy(const_cast<std::byte*>(s.stack.slice(t).data) + s.stack.row_stride * static_cast<std::ptrdiff_t>(r) +
                                cs * static_cast<std::ptrdiff_t>(c),
                            &values[i], 8);
    return s;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

double one(const Basin& b, const std::vector<double>& raster, std::uint64_t rows, std::uint64_t cols,
           const char* stat, double nodata = -9999.0) {
    CacheRecord cache{{b}, {}};
    return apply_stat(cache, store(raster, 1, rows, cols).view(), nodata, stat)[0];
}

// Plain reference: the documented walk and update rules, one statistic switch per cell.
double reference(const std::string& stat, const Basin& b, const RasterView& raster, const RasterView* weights,
                 double nodata, double weight_nodata) {
    auto valid = [](double x, double nd) { return std::isfinite(x) && (std::isnan(nd) || std::fabs(x - nd) > 1e-06); };
    double a = 0, w = 0, s = 0, m = 0, q = 0, ext = 0;
    bool present = false;
    const std::uint64_t rows = b.row_offset < raster.rows ? std::min(b.coverage.rows(), raster.rows - b.row_offset) : 0;
    const std::uint64_t cols = b.col_offset < raster.cols ? std::min(b.coverage.cols(), raster.cols - b.col_offset) : 0;
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < cols; ++j) {
            const double c = b.coverage(i, j), v = raster.at(b.row_offset + i, b.col_offset + j);
            const double wt = weights ? weights->at(b.row_offset + i, b.col_offset + j) : 1.0;
            if (c <= 0 || !valid(v, nodata)) continue;  // a NaN fraction gets through
            const bool wv = !weights || valid(wt, weight_nodata);
            if (stat == "mean") w += c, s += v * c;
            else if (stat == "sum") a += c * v;
            else if (stat == "count") a += c;
            else if ((stat == "min" || stat == "max") && c > 0) {
                if (!present || (stat == "min" ? v < ext : v > ext)) ext = v;
                present = true;
            } else if ((stat == "variance" || stat == "stdev") && c > 0) {
                const double w2 = w + c, d = v - m, r = (c * d) / w2;
                m += r, q += (d * w) * r, w = w2;
            } else if (stat == "weighted_mean" && wv) w += c * wt, s += v * (c * wt);
            else if (stat == "weighted_sum" && wv) a += (c * v) * wt;
        }
    }
    const double none = std::bit_cast<double>(kNoValueBits);
    if (stat == "mean" || stat == "weighted_mean") return w > 0 ? s / w : none;
    if (stat == "min" || stat == "max") return present ? ext : none;
    if (stat == "variance" || stat == "stdev") return w > 0 ? (stat == "stdev" ? std::sqrt(q / w) : q / w) : none;
    return a;
}

}  // namespace

// Random caches and rasters (NaN, infinities, nodata, zero and fractional coverage, windows
// hanging off the raster; contiguous, padded to strides that are not multiples of 8, and
// stored bottom-up), every statistic through all four entry points, compared bit for bit
// with the reference; batch row t must equal the single call on slice t.
class AgainstReference : public ::testing::TestWithParam<const char*> {};

TEST_P(AgainstReference, AllEntryPointsBitForBit) {
    const std::string stat = GetParam();
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1e3, 1e3);
    const std::uint64_t rows = 9, cols = 11;
    CacheRecord cache{};
    for (int k = 0; k < 12; ++k) {
        const std::uint64_t h = 1 + rng() % 6, w = 1 + rng() % 6;
        std::vector<float> cov(h * w);
        for (float& f : cov) {
            const auto pick = rng() % 40;
            f = pick < 10 ? 0.0f : pick < 20 ? 1.0f : pick == 20 ? std::numeric_limits<float>::quiet_NaN()
                                                               : static_cast<float>(rng() % 1000) / 997.0f;
        }
        cache.basins.push_back(basin(h, w, cov, rng() % (rows + 1), rng() % (cols + 1)));
    }
    const double nodata = -1.0;
    for (auto [steps, pad, flip] : {std::tuple{0u, 0, false}, {1u, 3, true}, {3u, 0, false}, {8u, 4, false},
                                    {13u, 0, true}, {15u, 0, false}}) {
        std::vector<double> values(steps * rows * cols), weights(rows * cols);
        for (double& v : values) {
            const auto pick = rng() % 12;
            v = pick == 0 ? kNaN : pick == 1 ? -kInf : pick == 2 ? nodata + 5e-07 : u(rng) * 1e-3 * static_cast<double>(rng() % 1000000);
        }
        for (double& v : weights) v = rng() % 8 == 0 ? 0.5 : u(rng) / 100.0;
        const Stored raster = store(values, steps, rows, cols, pad, flip), wts = store(weights, 1, rows, cols, pad, !flip);
        const RasterView wv = wts.view();

        const auto batch = apply_stat_batch(cache, raster.stack, nodata, stat);
        const auto batch_w = apply_stat_batch_weights(cache, raster.stack, wv, nodata, 0.5, stat);
        ASSERT_EQ(batch.size(), steps * cache.basins.size());
        for (std::uint64_t t = 0; t < steps; ++t) {
            const RasterView slice = raster.stack.slice(t);
            const auto single = apply_stat(cache, slice, nodata, stat);
            const auto single_w = apply_stat_weights(cache, slice, wv, nodata, 0.5, stat);
            for (std::size_t k = 0; k < cache.basins.size(); ++k) {
                const std::size_t at = t * cache.basins.size() + k;
                SCOPED_TRACE("layout " + std::to_string(pad) + " t " + std::to_string(t) + " basin " + std::to_string(k));
                EXPECT_EQ(bits(single[k]), bits(reference(stat, cache.basins[k], slice, nullptr, nodata, 0)));
                EXPECT_EQ(bits(single_w[k]), bits(reference(stat, cache.basins[k], slice, &wv, nodata, 0.5)));
                EXPECT_EQ(bits(batch[at]), bits(single[k]));
                EXPECT_EQ(bits(batch_w[at]), bits(single_w[k]));
            }
        }
    }
}

// Windows beyond the raster (including offsets that would wrap when added to an index)
// and basins whose every cell is nodata reduce to the empty results.
TEST_P(AgainstReference, EmptyBasins) {
    const std::string stat = GetParam();
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max() - 1;
    CacheRecord cache{{basin(2, 2, {1, 1, 1, 1}, 3, 0), basin(2, 2, {1, 1, 1, 1}, 0, 3),
                       basin(4, 4, std::vector<float>(16, 1.0f), huge, 0), basin(4, 4, std::vector<float>(16, 1.0f), 0, huge),
                       basin(1, 2, {1, 1}, 0, 0)},
                      {}};
    const auto out = apply_stat(cache, store({-9, -9, 1, 2, 3, 4, 5, 6, 7}, 1, 3, 3).view(), -9.0, stat);
    const bool zero = stat == "sum" || stat == "count" || stat == "weighted_sum";
    for (double v : out) EXPECT_EQ(bits(v), zero ? bits(0.0) : kNoValueBits);
}

INSTANTIATE_TEST_SUITE_P(Stats, AgainstReference, ::testing::ValuesIn(kStats));

// Anchors for the reference: population variance (1 and 3 give 1, not the sample value 2),
// and on equal extremes the first cell stays (visible as the sign of a zero).
TEST(Stats, VarianceAndTies) {
    const Basin pair = basin(1, 2, {1, 1}), holes = basin(1, 4, {0.0f, 1.0f, 0.0f, 1.0f});
    EXPECT_EQ(one(pair, {1.0, 3.0}, 1, 2, "variance"), 1.0);
    EXPECT_EQ(one(pair, {1.0, 3.0}, 1, 2, "stdev"), 1.0);
    EXPECT_EQ(one(basin(1, 1, {0.3f}), {42.5}, 1, 1, "variance"), 0.0);
    EXPECT_FALSE(std::signbit(one(holes, {-50, 0.0, -60, -0.0}, 1, 4, "min")));
    EXPECT_TRUE(std::signbit(one(holes, {-50, -0.0, 60, 0.0}, 1, 4, "max")));
}

// The nodata band is closed (within 1e-06 inclusive is nodata); non-finite values never
// count; a NaN nodata excludes only them.
class Validity : public ::testing::TestWithParam<std::tuple<double, double, bool>> {};

TEST_P(Validity, DecidesWhetherACellCounts) {
    const auto [x, nodata, counts] = GetParam();
    EXPECT_EQ(is_valid(x, nodata), counts);
    EXPECT_EQ(one(basin(1, 2, {1, 1}), {x, 7.0}, 1, 2, "count", nodata), counts ? 2.0 : 1.0);
}

INSTANTIATE_TEST_SUITE_P(Stats, Validity,
                         ::testing::Values(std::tuple{0.0, 0.0, false}, std::tuple{5e-07, 0.0, false},
                                           std::tuple{-5e-07, 0.0, false}, std::tuple{1e-06, 0.0, false},
                                           std::tuple{2e-06, 0.0, true}, std::tuple{-2e-06, 0.0, true},
                                           std::tuple{kNaN, 0.0, false}, std::tuple{kInf, kNaN, false},
                                           std::tuple{-kInf, -kInf, false}, std::tuple{kNaN, kNaN, false},
                                           std::tuple{0.0, kNaN, true}, std::tuple{-1e300, -kInf, true}));

TEST(Stats, WeightsMustCoverEveryCountedCell) {
    CacheRecord cache{{basin(2, 2, {1, 1, 0, 1}, 1, 1)}, {}};
    const Stored raster = store(std::vector<double>(9, 1.0), 1, 3, 3);
    const Stored short_w = store(std::vector<double>(6, 1.0), 1, 2, 3);
    // Row 2 of the window is beyond 2-row weights, and cell (2, 2) has coverage 1.
    EXPECT_EQ(error_of<InputError>([&] { apply_stat_weights(cache, raster.view(), short_w.view(), 0, 0, "mean"); }),
              "weights of shape (2, 3) do not cover raster cell (2, 2)");
    // Only coverage-0 cells, or cells outside the raster, lie beyond these weights.
    cache.basins[0].coverage = Matrix<float>(2, 2, {1, 1, 0, 0});
    EXPECT_EQ(apply_stat_weights(cache, raster.view(), short_w.view(), 0, 0, "count")[0], 2.0);
    cache.basins[0].coverage = Matrix<float>(2, 2, {1, 1, 1, 1});
    EXPECT_EQ(apply_stat_weights(cache, short_w.view(), short_w.view(), 0, 0, "weighted_sum")[0], 2.0);
}

TEST(Stats, UnknownStatisticOnlyWhenSomethingIsReduced) {
    const CacheRecord cache{{basin(1, 1, {1})}, {}}, empty{};
    const Stored raster = store({1.0}, 1, 1, 1), none = store({}, 0, 1, 1);
    const std::string supported = "mean, sum, count, min, max, variance, stdev, weighted_mean, weighted_sum";
    for (const char* name : {"Mean", " mean", "avg", "", "mean "}) {
        const auto batch = [&] { apply_stat_batch_weights(cache, raster.stack, raster.view(), 0, 0, name); };
        EXPECT_EQ(error_of<InputError>(batch), "Unknown stat '" + std::string(name) + "'. Supported: " + supported);
        EXPECT_TRUE(apply_stat(empty, raster.view(), 0, name).empty());
        EXPECT_TRUE(apply_stat_batch(cache, none.stack, 0, name).empty());
    }
}
