#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "error_text.h"
#include "geometry/wkb.h"
#include "support/error.h"
#include "wkb_builder.h"

namespace {

using namespace quorvalis;
using namespace quorvalis::testing;
using Bytes = std::vector<std::uint8_t>;
constexpr Order L = Order::Little, B = Order::Big;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Ring sizes and coordinate bits, so that NaN, -0.0 and subnormals compare exactly.
using Bits = std::uint64_t;
std::vector<Bits> bits(const std::vector<Polygon>& polys) {
    std::vector<Bits> out{polys.size()};
    auto ring = [&](const Ring& r) {
        out.push_back(r.size());
        for (const Coordinate& c : r) out.insert(out.end(), {std::bit_cast<Bits>(c.x), std::bit_cast<Bits>(c.y)});
    };
    for (const Polygon& p : polys) {
        out.push_back(p.interiors.size());
        ring(p.exterior);
        for (const Ring& r : p.interiors) ring(r);
    }
    return out;
}

template <class Error>
std::string message_of(const Bytes& wkb) {
    return error_of<Error>([&] { read_wkb(wkb); });
}

// Non-finite and extreme values must come through bit for bit.
const Polygon kOdd{square(0, 0, 10),
                   {square(2, 2, 3), Ring{{std::nan(""), -kInf}, {kInf, -0.0}, {5e-324, 1.7976931348623157e308}}}};
const Polygon kSquare{square(0, 0, 1), {}};

class ByteOrders : public ::testing::TestWithParam<Order> {};

TEST_P(ByteOrders, DecodeAsWritten) {
    const Order o = GetParam(), other = o == B ? L : B;
    EXPECT_EQ(bits(read_wkb(polygon_wkb(kOdd, o))), bits({kOdd}));
    EXPECT_EQ(bits(read_wkb(polygon_wkb({}, o))), bits({Polygon{}}));  // no rings: one empty polygon
    // Parts alternate byte orders, each read in its own; parts without an exterior are dropped.
    const Polygon far{square(1e10, -1e-10, 3), {}}, no_exterior{Ring{}, {square(0, 0, 1)}};
    EXPECT_EQ(bits(read_wkb(multipolygon_wkb({kSquare, kOdd, {}, far, no_exterior}, o, {other, o}))),
              bits({kSquare, kOdd, far}));
}

INSTANTIATE_TEST_SUITE_P(Wkb, ByteOrders, ::testing::Values(B, L));

TEST(ByteOrderFlag, AnyNonZeroByteMeansLittleEndianAndTrailingBytesAreIgnored) {
    Bytes wkb = polygon_wkb(kOdd, L);
    wkb[0] = 2;
    wkb.insert(wkb.end(), {0xde, 0xad, 0xbe, 0xef});
    EXPECT_EQ(bits(read_wkb(wkb)), bits({kOdd}));
}

class TooShort : public ::testing::TestWithParam<Bytes> {};

TEST_P(TooShort, RefusedAsInputError) { EXPECT_EQ(message_of<InputError>(GetParam()), "WKB too short"); }

INSTANTIATE_TEST_SUITE_P(Wkb, TooShort,
                         ::testing::Values(Bytes{}, Bytes{0x01}, Bytes{0x01, 0x03, 0, 0}, Bytes{0, 0, 0, 0}));

// Codes with flag bits are refused rather than read as 2-D polygons, at the top level and
// in every MultiPolygon part (a Polygon Z part read as 2-D gave a garbage polygon).
class UnsupportedTypes : public ::testing::TestWithParam<std::pair<std::uint32_t, Order>> {};

TEST_P(UnsupportedTypes, MessageCarriesFullCode) {
    const auto [code, o] = GetParam();
    const std::string want = "Unsupported WKB geometry type: " + std::to_string(code);
    // A body that would decode if the code were taken for a polygon.
    const Bytes wkb = WkbBuilder{}.header(code, o).polygon_body(kSquare, o).bytes;
    if (code != 6) {
        EXPECT_EQ(message_of<InputError>(wkb), want);
    }
    // The same code on the second part of a MultiPolygon, after a good first part.
    const Bytes multi = WkbBuilder{}
                            .header(6, L)
                            .u32(2, L)
                            .header(3, o)
                            .polygon_body(kSquare, o)
                            .header(code, o)
                            .polygon_body(kSquare, o)
                            .bytes;
    EXPECT_EQ(message_of<InputError>(multi), want);
}

INSTANTIATE_TEST_SUITE_P(Wkb, UnsupportedTypes,
                         ::testing::Values(std::pair{1u, L}, std::pair{1003u, B}, std::pair{2006u, L}, std::pair{6u, B},
                                           std::pair{0x20000003u, L}, std::pair{3003u, B}, std::pair{0x80000003u, L},
                                           std::pair{0x20000006u, B}, std::pair{0xffffffffu, L}));

// A value cut short, or declaring counts far beyond its data, is the caller's bad input.
// The counts must fail before storage is reserved for them: a reserve for 2^32 - 1 points
// or rings would surface as std::bad_alloc instead.
class Truncated : public ::testing::TestWithParam<Bytes> {};

TEST_P(Truncated, RefusedAsInputError) {
    const std::string msg = message_of<InputError>(GetParam());
    EXPECT_EQ(msg.rfind("index out of range", 0), 0u) << msg;
}

Bytes cut(Bytes b, std::size_t drop) {
    b.resize(b.size() - drop);
    return b;
}
WkbBuilder head(std::uint32_t type, Order o) { return WkbBuilder{}.header(type, o); }

INSTANTIATE_TEST_SUITE_P(
    Wkb, Truncated,
    ::testing::Values(head(3, L).u32(2, L).ring(square(0, 0, 1), L).bytes,  // ring count 2, one ring of data
                      cut(polygon_wkb(kSquare, B), 1), cut(polygon_wkb(kSquare, B), 8),  // last y short, missing
                      Bytes{0x01, 0x03, 0, 0, 0}, Bytes{0x01, 0x06, 0, 0, 0, 0x01, 0},   // counts missing or short
                      Bytes{0, 0, 0, 0, 0x06, 0, 0, 0}, cut(multipolygon_wkb({kSquare, kSquare}, L), 30),
                      // counts of 2^32 - 1 on tiny values
                      head(3, L).u32(1, L).u32(0xffffffffu, L).u32(0, L).bytes,
                      head(3, B).u32(0xffffffffu, B).u32(0, B).u32(0, B).bytes,
                      head(6, L).u32(0xffffffffu, L).header(3, L).u32(0, L).bytes));

}  // namespace
