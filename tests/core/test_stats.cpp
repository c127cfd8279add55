#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "coverage/window.h"
#include "error_text.h"
#include "stats/raster_view.h"
#include "stats/zone_stats.h"
#include "support/error.h"

using namespace quorvalis;
using quorvalis::testing::error_of;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kNoValueBits = 0x7FF8000000000000;
const char* const kStats[] = {"mean",     "sum",   "count",         "min",         "max",
                              "variance", "stdev", "weighted_mean", "weighted_sum"};

Zone zone(std::uint64_t rows, std::uint64_t cols, std::vector<float> cov, std::uint64_t r0 = 0, std::uint64_t c0 = 0) {
    return {{Matrix<float>(rows, cols, std::move(cov)), r0, c0}, 0};
}

// Runs f with the widest vectors the processor has, then with two-double vectors: no result
// may depend on which.
template <class F>
void each_width(F&& f) {
    for (bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "widest vectors" : "two-double vectors");
        const bool was = detail::allow_wide_vectors(wide);
        f();
        detail::allow_wide_vectors(was);
    }
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
                std::memcpy(const_cast<std::byte*>(s.stack.slice(t).data) +
                                s.stack.row_stride * static_cast<std::ptrdiff_t>(r) +
                                cs * static_cast<std::ptrdiff_t>(c),
                            &values[i], 8);
    return s;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The fixed-contract module's four calls, as thin callers of the one entry point.
std::vector<double> run(const CacheRecord& cache, ArrayView raster, double nodata, const std::string& stat,
                        const RasterView* weights = nullptr, double weight_nodata = 0) {
    StatInputs in{raster, Nodata::of(nodata), std::nullopt, Nodata::of(weight_nodata)};
    if (weights) in.weights = *weights;
    if (raster.steps == 0 || cache.zones.empty()) return {};
    return reduce(cache.zones, in, parse_stat(stat));
}

double one(const Zone& b, const std::vector<double>& raster, std::uint64_t rows, std::uint64_t cols, const char* stat,
           double nodata = -9999.0) {
    CacheRecord cache{{b}, {}};
    return run(cache, store(raster, 1, rows, cols).view(), nodata, stat)[0];
}

// Plain reference: the documented walk and update rules, one statistic switch per cell.
double reference(const std::string& stat, const Zone& b, const RasterView& raster, const RasterView* weights,
                 double nodata, double weight_nodata) {
    auto valid = [](double x, double nd) { return std::isfinite(x) && (std::isnan(nd) || std::fabs(x - nd) > 1e-06); };
    double a = 0, w = 0, s = 0, m = 0, q = 0, ext = 0;
    bool present = false;
    const Matrix<float> dense = b.dense();
    const std::uint64_t rows = b.row_offset < raster.rows ? std::min(b.rows(), raster.rows - b.row_offset) : 0;
    const std::uint64_t cols = b.col_offset < raster.cols ? std::min(b.cols(), raster.cols - b.col_offset) : 0;
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < cols; ++j) {
            const double c = dense(i, j), v = raster.at(b.row_offset + i, b.col_offset + j);
            const double wt = weights ? weights->at(b.row_offset + i, b.col_offset + j) : 1.0;
            if (c <= 0 || !valid(v, nodata)) continue;  // a NaN fraction gets through
            const bool wv = !weights || valid(wt, weight_nodata);
            if (stat == "mean")
                w += c, s += v * c;
            else if (stat == "sum")
                a += c * v;
            else if (stat == "count")
                a += c;
            else if ((stat == "min" || stat == "max") && c > 0) {
                if (!present || (stat == "min" ? v < ext : v > ext)) ext = v;
                present = true;
            } else if ((stat == "variance" || stat == "stdev") && c > 0) {
                const double w2 = w + c, d = v - m, r = (c * d) / w2;
                m += r, q += (d * w) * r, w = w2;
            } else if (stat == "weighted_mean" && wv)
                w += c * wt, s += v * (c * wt);
            else if (stat == "weighted_sum" && wv)
                a += (c * v) * wt;
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
// stored bottom-up), every statistic through all four entry points and both vector widths,
// compared bit for bit with the reference; batch row t must equal the single call on slice t.
class AgainstReference : public ::testing::TestWithParam<const char*> {};

TEST_P(AgainstReference, AllEntryPointsBitForBit) {
    each_width([&] {
        const std::string stat = GetParam();
        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> u(-1e3, 1e3);
        const std::uint64_t rows = 9, cols = 31;
        CacheRecord cache{};
        for (int k = 0; k < 15; ++k) {
            // A third of the windows wide, with margins of zeros around each row's run.
            const std::uint64_t h = 1 + rng() % 6, w = k % 3 ? 1 + rng() % 6 : 20 + rng() % 8;
            std::vector<float> cov(h * w);
            for (std::uint64_t i = 0; i < h; ++i) {
                const std::uint64_t a = rng() % w, b = a + rng() % (w - a + 1);
                for (std::uint64_t j = 0; j < w; ++j) {
                    const auto pick = rng() % 40;
                    cov[i * w + j] = w >= 20 && (j < a || j >= b) ? 0.0f
                                     : pick < 10                  ? 0.0f
                                     : pick < 20                  ? 1.0f
                                     : pick == 20                 ? std::numeric_limits<float>::quiet_NaN()
                                     : pick == 21                 ? -0.25f
                                     : pick == 22                 ? -0.0f
                                                                  : static_cast<float>(rng() % 1000) / 997.0f;
                }
            }
            cache.zones.push_back(zone(h, w, cov, rng() % (rows + 1), rng() % (cols + 1)));
        }
        const double nodata = -1.0;
        for (auto [steps, pad, flip] : {std::tuple{0u, 0, false},
                                        {1u, 3, true},
                                        {3u, 0, false},
                                        {9u, 4, false},
                                        {10u, 0, false},
                                        {13u, 0, true},
                                        {15u, 0, false}}) {
            std::vector<double> values(steps * rows * cols), weights(rows * cols);
            for (double& v : values) {
                const auto pick = rng() % 12;
                v = pick == 0   ? kNaN
                    : pick == 1 ? -kInf
                    : pick == 2 ? nodata + 5e-07
                                : u(rng) * 1e-3 * static_cast<double>(rng() % 1000000);
            }
            for (double& v : weights) v = rng() % 8 == 0 ? 0.5 : u(rng) / 100.0;
            const Stored raster = store(values, steps, rows, cols, pad, flip),
                         wts = store(weights, 1, rows, cols, pad, !flip);
            const RasterView wv = wts.view();

            const auto batch = run(cache, raster.stack, nodata, stat);
            const auto batch_w = run(cache, raster.stack, nodata, stat, &wv, 0.5);
            ASSERT_EQ(batch.size(), steps * cache.zones.size());
            for (std::uint64_t t = 0; t < steps; ++t) {
                const RasterView slice = raster.stack.slice(t);
                const auto single = run(cache, slice, nodata, stat);
                const auto single_w = run(cache, slice, nodata, stat, &wv, 0.5);
                for (std::size_t k = 0; k < cache.zones.size(); ++k) {
                    const std::size_t at = t * cache.zones.size() + k;
                    SCOPED_TRACE("layout " + std::to_string(pad) + " t " + std::to_string(t) + " zone " +
                                 std::to_string(k));
                    EXPECT_EQ(bits(single[k]), bits(reference(stat, cache.zones[k], slice, nullptr, nodata, 0)));
                    EXPECT_EQ(bits(single_w[k]), bits(reference(stat, cache.zones[k], slice, &wv, nodata, 0.5)));
                    EXPECT_EQ(bits(batch[at]), bits(single[k]));
                    EXPECT_EQ(bits(batch_w[at]), bits(single_w[k]));
                }
            }
        }
    });
}

// Windows beyond the raster (including offsets that would wrap when added to an index)
// and zones whose every cell is nodata reduce to the empty results.
TEST_P(AgainstReference, EmptyZones) {
    const std::string stat = GetParam();
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max() - 1;
    CacheRecord cache{{zone(2, 2, {1, 1, 1, 1}, 3, 0), zone(2, 2, {1, 1, 1, 1}, 0, 3),
                       zone(4, 4, std::vector<float>(16, 1.0f), huge, 0),
                       zone(4, 4, std::vector<float>(16, 1.0f), 0, huge), zone(1, 2, {1, 1}, 0, 0)},
                      {}};
    const auto out = run(cache, store({-9, -9, 1, 2, 3, 4, 5, 6, 7}, 1, 3, 3).view(), -9.0, stat);
    const bool zero = stat == "sum" || stat == "count" || stat == "weighted_sum";
    for (double v : out) EXPECT_EQ(bits(v), zero ? bits(0.0) : kNoValueBits);
}

INSTANTIATE_TEST_SUITE_P(Stats, AgainstReference, ::testing::ValuesIn(kStats));

// Anchors for the reference: population variance (1 and 3 give 1, not the sample value 2),
// and on equal extremes the first cell stays (visible as the sign of a zero).
TEST(Stats, VarianceAndTies) {
    const Zone pair = zone(1, 2, {1, 1}), holes = zone(1, 4, {0.0f, 1.0f, 0.0f, 1.0f});
    EXPECT_EQ(one(pair, {1.0, 3.0}, 1, 2, "variance"), 1.0);
    EXPECT_EQ(one(pair, {1.0, 3.0}, 1, 2, "stdev"), 1.0);
    EXPECT_EQ(one(zone(1, 1, {0.3f}), {42.5}, 1, 1, "variance"), 0.0);
    EXPECT_FALSE(std::signbit(one(holes, {-50, 0.0, -60, -0.0}, 1, 4, "min")));
    EXPECT_TRUE(std::signbit(one(holes, {-50, -0.0, 60, 0.0}, 1, 4, "max")));
}

// The nodata band is closed (within 1e-06 inclusive is nodata); non-finite values never
// count; a NaN nodata excludes only them.
class Validity : public ::testing::TestWithParam<std::tuple<double, double, bool>> {};

TEST_P(Validity, DecidesWhetherACellCounts) {
    const auto [x, nodata, counts] = GetParam();
    EXPECT_EQ(is_valid(x, nodata), counts);
    EXPECT_EQ(one(zone(1, 2, {1, 1}), {x, 7.0}, 1, 2, "count", nodata), counts ? 2.0 : 1.0);
}

INSTANTIATE_TEST_SUITE_P(Stats, Validity,
                         ::testing::Values(std::tuple{0.0, 0.0, false}, std::tuple{5e-07, 0.0, false},
                                           std::tuple{-5e-07, 0.0, false}, std::tuple{1e-06, 0.0, false},
                                           std::tuple{2e-06, 0.0, true}, std::tuple{-2e-06, 0.0, true},
                                           std::tuple{kNaN, 0.0, false}, std::tuple{kInf, kNaN, false},
                                           std::tuple{-kInf, -kInf, false}, std::tuple{kNaN, kNaN, false},
                                           std::tuple{0.0, kNaN, true}, std::tuple{-1e300, -kInf, true}));

TEST(Stats, WeightsMustCoverEveryCountedCell) {
    CacheRecord cache{{zone(2, 2, {1, 1, 0, 1}, 1, 1)}, {}};
    const Stored raster = store(std::vector<double>(9, 1.0), 1, 3, 3);
    const Stored short_w = store(std::vector<double>(6, 1.0), 1, 2, 3);
    // Row 2 of the window is beyond 2-row weights, and cell (2, 2) has coverage 1.
    EXPECT_EQ(error_of<InputError>([&] {
                  const RasterView w = short_w.view();
                  run(cache, raster.view(), 0, "mean", &w);
              }),
              "weights of shape (2, 3) do not cover raster cell (2, 2)");
    // The order statistics gather their own cells and make the same checks first.
    double median = 0;
    OrderScratch scratch;
    const auto order_stats = [&](std::size_t end) {
        const StatInputs in{raster.view(), {}, short_w.view(), {}};
        reduce_order_stats(cache.zones, in, 0, end, OrderRequest{{}, &median}, scratch, {});
    };
    EXPECT_EQ(error_of<InputError>([&] { order_stats(1); }), "weights of shape (2, 3) do not cover raster cell (2, 2)");
    EXPECT_THROW(order_stats(2), InputError);
    // Only coverage-0 cells, or cells outside the raster, lie beyond these weights.
    cache.zones[0] = zone(2, 2, {1, 1, 0, 0}, 1, 1);
    const RasterView w = short_w.view();
    EXPECT_EQ(run(cache, raster.view(), 0, "count", &w)[0], 2.0);
    cache.zones[0] = zone(2, 2, {1, 1, 1, 1}, 1, 1);
    EXPECT_EQ(run(cache, short_w.view(), 0, "weighted_sum", &w)[0], 2.0);
}

TEST(Stats, UnknownStatisticOnlyWhenSomethingIsReduced) {
    const CacheRecord cache{{zone(1, 1, {1})}, {}}, empty{};
    const Stored raster = store({1.0}, 1, 1, 1), none = store({}, 0, 1, 1);
    const std::string supported = "mean, sum, count, min, max, variance, stdev, weighted_mean, weighted_sum";
    for (const char* name : {"Mean", " mean", "avg", "", "mean ", "nodata_count", "coverage"}) {
        const RasterView w = raster.view();
        const auto batch = [&] { run(cache, raster.stack, 0, name, &w); };
        EXPECT_EQ(error_of<InputError>(batch), "Unknown stat '" + std::string(name) + "'. Supported: " + supported);
        EXPECT_TRUE(run(empty, raster.view(), 0, name).empty());
        EXPECT_TRUE(run(cache, none.stack, 0, name).empty());
    }
}

namespace {

// Values stored as dtype T in a contiguous (steps, rows, cols) buffer.
template <class T>
struct Typed {
    std::vector<T> values;
    ArrayView view;
};

template <class T>
Typed<T> typed(const std::vector<double>& values, std::uint64_t steps, std::uint64_t rows, std::uint64_t cols,
               DType dtype) {
    Typed<T> out;
    for (double v : values) out.values.push_back(static_cast<T>(v));
    const auto e = static_cast<std::ptrdiff_t>(sizeof(T));
    out.view = {reinterpret_cast<const std::byte*>(out.values.data()),
                dtype,
                steps,
                rows,
                cols,
                e * static_cast<std::ptrdiff_t>(rows * cols),
                e * static_cast<std::ptrdiff_t>(cols),
                e};
    return out;
}

std::vector<double> run_all(const CacheRecord& cache, const StatInputs& in, Stat stat) {
    return reduce(cache.zones, in, stat);
}

CacheRecord random_cache(std::mt19937_64& rng, std::uint64_t rows, std::uint64_t cols, int n) {
    CacheRecord cache{};
    for (int k = 0; k < n; ++k) {
        const std::uint64_t h = 1 + rng() % 5, w = 1 + rng() % 5;
        std::vector<float> cov(h * w);
        for (float& f : cov) f = rng() % 4 == 0 ? 0.0f : static_cast<float>(1 + rng() % 8) / 8.0f;
        cache.zones.push_back(zone(h, w, cov, rng() % rows, rng() % cols));
    }
    return cache;
}

constexpr Stat kAllStats[] = {Stat::Mean,        Stat::Sum,         Stat::Count,   Stat::Min,
                              Stat::Max,         Stat::Variance,    Stat::Stdev,   Stat::WeightedMean,
                              Stat::WeightedSum, Stat::NodataCount, Stat::Coverage};

template <class F>
void each_dtype(F&& f) {
    f(float{}, DType::Float32);
    f(std::int8_t{}, DType::Int8);
    f(std::int16_t{}, DType::Int16);
    f(std::int32_t{}, DType::Int32);
    f(std::int64_t{}, DType::Int64);
    f(std::uint8_t{}, DType::UInt8);
    f(std::uint16_t{}, DType::UInt16);
    f(std::uint32_t{}, DType::UInt32);
    f(std::uint64_t{}, DType::UInt64);
}

}  // namespace

// Small whole numbers are the same in every dtype, so every statistic of every raster and
// weights dtype (an integer nodata, a stack of 11 steps) must equal that of the float64 copy.
TEST(StatsDtypes, EveryDtypeEqualsItsFloat64Copy) {
    each_width([&] {
        std::mt19937_64 rng(11);
        const std::uint64_t steps = 11, rows = 7, cols = 9;
        const CacheRecord cache = random_cache(rng, rows, cols, 10);
        std::vector<double> values(steps * rows * cols), weights(rows * cols);
        for (double& v : values) v = static_cast<double>(rng() % 20);
        for (double& v : weights) v = static_cast<double>(rng() % 6);
        const Typed<double> v64 = typed<double>(values, steps, rows, cols, DType::Float64);
        const Typed<double> w64 = typed<double>(weights, 1, rows, cols, DType::Float64);
        StatInputs base{v64.view, Nodata::of(std::int64_t{7}), w64.view, Nodata::of(std::int64_t{3})};
        each_dtype([&](auto t, DType d) {
            const auto v = typed<decltype(t)>(values, steps, rows, cols, d);
            const auto w = typed<decltype(t)>(weights, 1, rows, cols, d);
            for (Stat stat : kAllStats) {
                SCOPED_TRACE("dtype " + std::to_string(static_cast<int>(d)) + " stat " +
                             std::to_string(static_cast<int>(stat)));
                const auto want = run_all(cache, base, stat);
                StatInputs in = base;
                in.raster = v.view;
                const auto as_raster = run_all(cache, in, stat);
                in = base;
                in.weights = w.view;
                const auto as_weights = run_all(cache, in, stat);
                for (std::size_t i = 0; i < want.size(); ++i) {
                    EXPECT_EQ(bits(as_raster[i]), bits(want[i])) << i;
                    EXPECT_EQ(bits(as_weights[i]), bits(want[i])) << i;
                }
            }
        });
    });
}

// The widening of lanes must keep each value's sign and range, with or without a nodata,
// and a float32 value must widen to exactly its double.
TEST(StatsDtypes, ExtremeAndNegativeValuesEqualTheirFloat64Copy) {
    each_width([&] {
        std::mt19937_64 rng(5);
        const std::uint64_t steps = 6, rows = 6, cols = 7;
        const CacheRecord cache = random_cache(rng, rows, cols, 8);
        const auto check = [&](auto t, DType d, double lo, double hi) {
            using T = decltype(t);
            std::vector<double> values(steps * rows * cols);
            for (double& v : values) {
                v = rng() % 3 == 0 ? (rng() % 2 ? lo : hi)
                                   : static_cast<double>(
                                         static_cast<T>(lo + (hi - lo) * 0.001 * static_cast<double>(rng() % 1000)));
            }
            const Typed<double> v64 = typed<double>(values, steps, rows, cols, DType::Float64);
            const Typed<T> v = typed<T>(values, steps, rows, cols, d);
            for (const Nodata nodata : {Nodata::none(), Nodata::of(lo)}) {
                for (Stat stat : {Stat::Mean, Stat::Min, Stat::Max, Stat::NodataCount}) {
                    SCOPED_TRACE("dtype " + std::to_string(static_cast<int>(d)) + " stat " +
                                 std::to_string(static_cast<int>(stat)));
                    const auto want = run_all(cache, StatInputs{v64.view, nodata, std::nullopt, {}}, stat);
                    const auto got = run_all(cache, StatInputs{v.view, nodata, std::nullopt, {}}, stat);
                    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(bits(got[i]), bits(want[i])) << i;
                }
            }
        };
        check(std::int8_t{}, DType::Int8, -128.0, 127.0);
        check(std::int16_t{}, DType::Int16, -32768.0, 32767.0);
        check(std::int32_t{}, DType::Int32, -2147483648.0, 2147483647.0);
        check(std::uint16_t{}, DType::UInt16, 0.0, 65535.0);
        check(std::uint32_t{}, DType::UInt32, 0.0, 4294967295.0);
        check(float{}, DType::Float32, std::ldexp(-1.0, 127), 0.5);
    });
}

// Whether one cell holding x counts as a value against a nodata, by raster dtype.
template <class T>
bool counts(DType d, T x, Nodata nodata) {
    const T values[2] = {x, T{1}};
    const ArrayView v{reinterpret_cast<const std::byte*>(values), d, 1, 1, 2, 0, 2 * sizeof(T), sizeof(T)};
    const CacheRecord cache{{zone(1, 1, {1.0f})}, {}};
    return run_all(cache, StatInputs{v, nodata, std::nullopt, {}}, Stat::Count)[0] == 1.0;
}

TEST(StatsDtypes, NodataInTheRastersOwnType) {
    const std::int64_t big = (std::int64_t{1} << 53) + 1;  // no double holds it
    // Integers compare exactly, with no tolerance and no detour through double.
    EXPECT_FALSE(counts<std::int64_t>(DType::Int64, big, Nodata::of(big)));
    EXPECT_TRUE(counts<std::int64_t>(DType::Int64, big - 1, Nodata::of(big)));
    EXPECT_FALSE(counts<std::uint64_t>(DType::UInt64, ~std::uint64_t{0}, Nodata::of(~std::uint64_t{0})));
    // A nodata the type cannot hold matches nothing rather than a wrapped value.
    EXPECT_TRUE(counts<std::uint8_t>(DType::UInt8, 255, Nodata::of(std::int64_t{-1})));
    EXPECT_TRUE(counts<std::int8_t>(DType::Int8, 44, Nodata::of(std::int64_t{300})));
    EXPECT_TRUE(counts<std::uint16_t>(DType::UInt16, 0, Nodata::of(65536.0)));
    // A float nodata stands for the integer within 1e-06 of it, if there is one.
    EXPECT_FALSE(counts<std::int16_t>(DType::Int16, -9999, Nodata::of(-9999.0000005)));
    EXPECT_TRUE(counts<std::int16_t>(DType::Int16, 5, Nodata::of(5.5)));
    EXPECT_TRUE(counts<std::int32_t>(DType::Int32, 0, Nodata::of(std::nan(""))));
    EXPECT_TRUE(counts<std::int32_t>(DType::Int32, 0, Nodata::none()));
    // float32 data holds the float nearest 1e20, which is 4e12 away from 1e20 itself.
    EXPECT_FALSE(counts<float>(DType::Float32, 1e20f, Nodata::of(1e20)));
    EXPECT_TRUE(counts<float>(DType::Float32, 3.4e38f, Nodata::of(1e300)));
    EXPECT_FALSE(counts<float>(DType::Float32, std::numeric_limits<float>::quiet_NaN(), Nodata::none()));
    EXPECT_FALSE(counts<float>(DType::Float32, -std::numeric_limits<float>::infinity(), Nodata::none()));
    EXPECT_TRUE(counts<double>(DType::Float64, 1e-06, Nodata::none()));
    EXPECT_FALSE(counts<double>(DType::Float64, 0x1p64, Nodata::of(~std::uint64_t{0})));
}

// A raster cut into blocks placed by their origin, each block reducing a disjoint range of
// zones or all of them: sums and counts over the blocks add up to the whole raster's,
// and each call writes its range of zones and nothing else.
TEST(StatsBlocks, OriginsAndZoneRangesPartitionTheWork) {
    std::mt19937_64 rng(5);
    const std::uint64_t rows = 12, cols = 10;
    const CacheRecord cache = random_cache(rng, rows, cols, 9);
    std::vector<double> values(rows * cols);
    for (double& v : values) v = static_cast<double>(rng() % 64) / 4.0;  // sums exact in any order
    const Stored whole = store(values, 1, rows, cols);
    const std::size_t n = cache.zones.size();
    for (Stat stat : {Stat::Sum, Stat::Count, Stat::Coverage, Stat::NodataCount}) {
        StatInputs in{whole.view(), Nodata::of(2.0), std::nullopt, {}};
        const auto want = run_all(cache, in, stat);
        std::vector<double> parts(n, 0.0);
        for (std::uint64_t r0 : {0u, 5u}) {
            for (std::uint64_t c0 : {0u, 3u}) {
                const std::uint64_t h = r0 ? rows - r0 : 5, w = c0 ? cols - c0 : 3;
                RasterView block = whole.view();
                block.data += static_cast<std::ptrdiff_t>(r0) * block.row_stride + static_cast<std::ptrdiff_t>(c0) * 8;
                block.rows = h, block.cols = w;
                in.raster = block, in.origin_row = r0, in.origin_col = c0;
                std::vector<double> out(n, -1.0);
                reduce(cache.zones, in, stat, 2, 7, out.data());
                for (std::size_t k = 0; k < n; ++k) {
                    if (k < 2 || k >= 7)
                        EXPECT_EQ(out[k], -1.0);
                    else
                        parts[k] += out[k];
                }
            }
        }
        for (std::size_t k = 2; k < 7; ++k) EXPECT_EQ(parts[k], want[k]) << k;
    }
    std::vector<double> out(n);
    EXPECT_THROW(reduce(cache.zones, StatInputs{whole.view(), {}, std::nullopt, {}}, Stat::Sum, 3, n + 1, out.data()),
                 InputError);
}

// Count and nodata_count split the coverage; an empty window gives 0 for all three.
TEST(StatsBlocks, NodataCountAndCoverage) {
    const Zone b = zone(1, 4, {0.5f, 0.25f, 0.0f, 1.0f});
    const double nan = kNaN;
    for (auto [values, nodata_count] :
         {std::pair{std::vector<double>{1, 2, 3, 4}, 0.0}, {{nan, -9, nan, 4}, 0.75}, {{-9, kInf, -9, -9}, 1.75}}) {
        EXPECT_EQ(one(b, values, 1, 4, "count", -9) + 0.0, 1.75 - nodata_count);
        const CacheRecord cache{{b, zone(0, 0, {}), zone(2, 2, {1, 1, 1, 1}, 5, 5)}, {}};
        const Stored raster = store(values, 1, 1, 4);
        const StatInputs in{raster.view(), Nodata::of(-9.0), std::nullopt, {}};
        EXPECT_EQ(run_all(cache, in, Stat::NodataCount), (std::vector<double>{nodata_count, 0, 0}));
        EXPECT_EQ(run_all(cache, in, Stat::Coverage), (std::vector<double>{1.75, 0, 0}));
    }
}

// The order statistics gather their own cells: the same ones, with the same weights, as
// the streaming kernels read, for another dtype, weights with a nodata, a block placed
// inside the grid and a stack step. The mean of the class shares is then the weighted mean.
TEST(StatsBlocks, OrderStatisticsGatherTheCellsTheKernelsRead) {
    std::mt19937_64 rng(3);
    const std::uint64_t steps = 3, rows = 6, cols = 8;
    const CacheRecord cache = random_cache(rng, rows, cols, 8);
    std::vector<double> values(steps * rows * cols), weights(rows * cols);
    for (double& v : values) v = static_cast<double>(rng() % 9) * 0.75 - 2.0;
    for (double& v : weights) v = static_cast<double>(rng() % 5);
    const auto v = typed<float>(values, steps, rows, cols, DType::Float32);
    const auto w = typed<std::uint16_t>(weights, 1, rows, cols, DType::UInt16);
    const StatInputs in{v.view, Nodata::of(1.0), w.view, Nodata::of(std::int64_t{3}), 1, 2};
    const auto wmean = run_all(cache, in, Stat::WeightedMean);
    OrderScratch scratch;
    std::vector<std::vector<ClassShares>> shares(cache.zones.size());
    OrderRequest request;
    request.frac = true;
    reduce_order_stats(cache.zones, in, 0, cache.zones.size(), request, scratch, shares);
    for (std::size_t k = 0; k < cache.zones.size(); ++k) {
        double mean = 0.0;
        for (const WeightedValue& c : shares[k][2].shares) mean += c.value * c.weight;
        const double want = wmean[2 * cache.zones.size() + k];
        if (std::isnan(want)) {
            EXPECT_TRUE(shares[k][2].shares.empty()) << k;
        } else {
            EXPECT_NEAR(mean, want, 1e-12) << k;
        }
    }
}
