// Test helper: encodes polygons as WKB in either byte order; raw fields build malformed values.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "geometry/geometry.h"

namespace quorvalis::testing {

enum class Order : std::uint8_t { Big = 0, Little = 1 };

struct WkbBuilder {
    std::vector<std::uint8_t> bytes;

    WkbBuilder& u32(std::uint32_t v, Order o) { return put(v, 4, o); }
    WkbBuilder& header(std::uint32_t type, Order o) {
        bytes.push_back(static_cast<std::uint8_t>(o));
        return u32(type, o);
    }
    WkbBuilder& ring(const Ring& r, Order o) {
        u32(static_cast<std::uint32_t>(r.size()), o);
        for (const Coordinate& c : r) f64(c.x, o).f64(c.y, o);
        return *this;
    }
    WkbBuilder& polygon_body(const Polygon& p, Order o) {
        const bool empty = p.exterior.empty() && p.interiors.empty();
        u32(empty ? 0u : static_cast<std::uint32_t>(1 + p.interiors.size()), o);
        if (!empty) ring(p.exterior, o);
        for (const Ring& r : p.interiors) ring(r, o);
        return *this;
    }

private:
    WkbBuilder& f64(double v, Order o) { return put(std::bit_cast<std::uint64_t>(v), 8, o); }
    WkbBuilder& put(std::uint64_t v, int n, Order o) {
        for (int i = 0; i < n; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> 8 * (o == Order::Big ? n - 1 - i : i)));
        return *this;
    }
};

inline std::vector<std::uint8_t> polygon_wkb(const Polygon& p, Order o = Order::Little) {
    return WkbBuilder{}.header(3, o).polygon_body(p, o).bytes;
}

// Each part may use its own byte order; `orders` is cycled over the parts.
inline std::vector<std::uint8_t> multipolygon_wkb(const std::vector<Polygon>& parts, Order outer,
                                                  const std::vector<Order>& orders = {Order::Little}) {
    WkbBuilder b;
    b.header(6, outer).u32(static_cast<std::uint32_t>(parts.size()), outer);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const Order o = orders[i % orders.size()];
        b.header(3, o).polygon_body(parts[i], o);
    }
    return b.bytes;
}

inline Ring square(double x0, double y0, double size) {
    return {{x0, y0}, {x0 + size, y0}, {x0 + size, y0 + size}, {x0, y0 + size}, {x0, y0}};
}

}  // namespace quorvalis::testing
