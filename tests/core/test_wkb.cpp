#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "error.h"
#include "wkb.h"
#include "wkb_builder.h"

namespace {

using namespace quorvalis;
using quorvalis::testing::multipolygon_wkb;
using quorvalis::testing::Order;
using quorvalis::testing::polygon_wkb;
using quorvalis::testing::square;
using quorvalis::testing::WkbBuilder;
using Bytes = std::vector<std::uint8_t>;

void expect_same_ring(const Ring& got, const Ring& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i].x), std::bit_cast<std::uint64_t>(want[i].x)) << i;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i].y), std::bit_cast<std::uint64_t>(want[i].y)) << i;
    }
}

void expect_same_polygon(const Polygon& got, const Polygon& want) {
    expect_same_ring(got.exterior, want.exterior);
    ASSERT_EQ(got.interiors.size(), want.interiors.size());
    for (std::size_t i = 0; i < got.interiors.size(); ++i) expect_same_ring(got.interiors[i], want.interiors[i]);
}

template <class Error>
std::string message_of(const Bytes& wkb) {
    try {
        read_wkb(wkb);
    } catch (const Error& e) {
        return e.what();
    }
    return "<no error of the expected kind>";
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// Non-finite and extreme values must come through bit for bit.
const Polygon kWithHole{square(0, 0, 10),
                        {square(2, 2, 3), Ring{{std::nan(""), -kInf}, {kInf, -0.0}, {5e-324, 1.7976931348623157e308}}}};

class ByteOrders : public ::testing::TestWithParam<Order> {};

TEST_P(ByteOrders, PolygonDecodesAsWritten) {
    const auto polys = read_wkb(polygon_wkb(kWithHole, GetParam()));
    ASSERT_EQ(polys.size(), 1u);
    expect_same_polygon(polys[0], kWithHole);
}

TEST_P(ByteOrders, PolygonWithoutRingsIsOneEmptyPolygon) {
    const auto polys = read_wkb(WkbBuilder{}.header(3, GetParam()).u32(0, GetParam()).bytes);
    ASSERT_EQ(polys.size(), 1u);
    EXPECT_TRUE(polys[0].exterior.empty());
    EXPECT_TRUE(polys[0].interiors.empty());
}

TEST_P(ByteOrders, MultiPolygonDropsEmptyPartsAndKeepsOrder) {
    const Polygon a{square(0, 0, 1), {}};
    const Polygon b{square(5, 5, 2), {square(5.5, 5.5, 0.5)}};
    const Polygon no_rings{};
    const Polygon empty_exterior{Ring{}, {square(0, 0, 1)}};
    const auto polys = read_wkb(multipolygon_wkb({a, no_rings, b, empty_exterior}, GetParam()));
    ASSERT_EQ(polys.size(), 2u);
    expect_same_polygon(polys[0], a);
    expect_same_polygon(polys[1], b);
}

INSTANTIATE_TEST_SUITE_P(Wkb, ByteOrders, ::testing::Values(Order::Big, Order::Little));

TEST(ByteOrderFlags, EachPartReadInItsOwnOrder) {
    const Polygon a{square(0, 0, 1), {}};
    const Polygon b{square(-3.25, 7.5, 2), {square(-3, 8, 1)}};
    const Polygon c{square(1e10, -1e-10, 3), {}};
    const auto polys = read_wkb(multipolygon_wkb({a, b, c}, Order::Big, {Order::Little, Order::Big}));
    ASSERT_EQ(polys.size(), 3u);
    expect_same_polygon(polys[0], a);
    expect_same_polygon(polys[1], b);
    expect_same_polygon(polys[2], c);
}

TEST(ByteOrderFlags, AnyNonZeroOrderByteMeansLittleEndianAndTrailingBytesAreIgnored) {
    Bytes wkb = polygon_wkb(kWithHole, Order::Little);
    wkb[0] = 2;
    wkb.insert(wkb.end(), {0xde, 0xad, 0xbe, 0xef});
    const auto polys = read_wkb(wkb);
    ASSERT_EQ(polys.size(), 1u);
    expect_same_polygon(polys[0], kWithHole);
    EXPECT_EQ(read_wkb(Bytes{0x02, 3, 0, 0, 0, 0, 0, 0, 0}).size(), 1u);
    EXPECT_EQ(read_wkb(Bytes{0x00, 0, 0, 0, 3, 0, 0, 0, 0}).size(), 1u);
}

class TooShort : public ::testing::TestWithParam<Bytes> {};

TEST_P(TooShort, RefusedAsInputError) { EXPECT_EQ(message_of<InputError>(GetParam()), "WKB too short"); }

INSTANTIATE_TEST_SUITE_P(Wkb, TooShort,
                         ::testing::Values(Bytes{}, Bytes{0x01}, Bytes{0x01, 0x03, 0x00, 0x00},
                                           Bytes{0x00, 0x00, 0x00, 0x00}));

struct TypeCase {
    std::uint32_t code;
    Order order;
};

class UnsupportedTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(UnsupportedTypes, MessageCarriesFullCode) {
    const TypeCase& t = GetParam();
    // A body that would decode if the code were taken for a polygon.
    const Bytes wkb = WkbBuilder{}.header(t.code, t.order).polygon_body(Polygon{square(0, 0, 1), {}}, t.order).bytes;
    EXPECT_EQ(message_of<InputError>(wkb), "Unsupported WKB geometry type: " + std::to_string(t.code));
}

INSTANTIATE_TEST_SUITE_P(Wkb, UnsupportedTypes,
                         ::testing::Values(TypeCase{1, Order::Little}, TypeCase{1003, Order::Big},
                                           TypeCase{2006, Order::Little}, TypeCase{0x80000003u, Order::Little},
                                           TypeCase{0x20000006u, Order::Big}, TypeCase{0xffffffffu, Order::Little}));

class Truncated : public ::testing::TestWithParam<Bytes> {};

// Declared counts far beyond the data must fail before storage is reserved for them: a
// reserve for 2^32 - 1 points or rings would surface as std::bad_alloc instead.
TEST_P(Truncated, RefusedAsInternalError) {
    const std::string msg = message_of<InternalError>(GetParam());
    EXPECT_EQ(msg.rfind("index out of range", 0), 0u) << msg;
}

const Polygon kSquare{square(0, 0, 1), {}};

Bytes cut(Bytes b, std::size_t drop) {
    b.resize(b.size() - drop);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Wkb, Truncated,
    ::testing::Values(
        // ring count 2 but one ring of data
        WkbBuilder{}.header(3, Order::Little).u32(2, Order::Little).ring(square(0, 0, 1), Order::Little).bytes,
        cut(polygon_wkb(kSquare, Order::Big), 1),  // last coordinate short by a byte
        cut(polygon_wkb(kSquare, Order::Big), 8),  // last y missing
        Bytes{0x01, 0x03, 0x00, 0x00, 0x00},       // no ring count
        Bytes{0x01, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00},  // part count cut short
        Bytes{0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00},
        cut(multipolygon_wkb({kSquare, kSquare}, Order::Little), 30),
        // counts of 2^32 - 1 on tiny values
        WkbBuilder{}.header(3, Order::Little).u32(1, Order::Little).u32(0xffffffffu, Order::Little).u32(0, Order::Little)
            .bytes,
        WkbBuilder{}.header(3, Order::Big).u32(0xffffffffu, Order::Big).u32(0, Order::Big).u32(0, Order::Big).bytes,
        WkbBuilder{}.header(6, Order::Little).u32(0xffffffffu, Order::Little).header(3, Order::Little)
            .u32(0, Order::Little).bytes));

}  // namespace
