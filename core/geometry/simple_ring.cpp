#include "geometry/simple_ring.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <vector>

#include "geometry/orient2d.h"
#include "geometry/wkb.h"

namespace quorvalis {

namespace {

// Whether c lies in the closed box of the segment a-b; for c on the segment's line, whether
// it lies on the segment.
bool in_segment_box(const Coordinate& a, const Coordinate& b, const Coordinate& c) {
    return std::min(a.x, b.x) <= c.x && c.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= c.y &&
           c.y <= std::max(a.y, b.y);
}

// Whether the segments a-b and c-d have a point in common, touching included.
bool meet(const Coordinate& a, const Coordinate& b, const Coordinate& c, const Coordinate& d) {
    const double o1 = orient2d(a, b, c);
    const double o2 = orient2d(a, b, d);
    if ((o1 > 0 && o2 > 0) || (o1 < 0 && o2 < 0)) return false;
    const double o3 = orient2d(c, d, a);
    const double o4 = orient2d(c, d, b);
    if ((o3 > 0 && o4 > 0) || (o3 < 0 && o4 < 0)) return false;
    if (o1 != 0 && o2 != 0 && o3 != 0 && o4 != 0) return true;  // a proper crossing
    return (o1 == 0 && in_segment_box(a, b, c)) || (o2 == 0 && in_segment_box(a, b, d)) ||
           (o3 == 0 && in_segment_box(c, d, a)) || (o4 == 0 && in_segment_box(c, d, b));
}

// Whether the edges p-q and q-r, which share q, run back along each other beyond it.
bool folds_back(const Coordinate& p, const Coordinate& q, const Coordinate& r) {
    return orient2d(p, q, r) == 0 && (in_segment_box(p, q, r) || in_segment_box(q, r, p));
}

}  // namespace

bool proven_simple(std::span<const Coordinate> ring) {
    const std::size_t n = ring.size();
    // Edges are numbered in 32 bits, and so are their entries in the buckets (8 per edge).
    if (n < 4 || n > (std::size_t{1} << 28) || !(ring.front() == ring.back())) return false;
    const std::size_t m = n - 1;  // edge i runs from ring[i] to ring[i + 1]
    double xmin = ring[0].x, xmax = ring[0].x, ymin = ring[0].y, ymax = ring[0].y;
    for (std::size_t i = 0; i < n; ++i) {
        const Coordinate& c = ring[i];
        if (!std::isfinite(c.x) || !std::isfinite(c.y)) return false;
        if (i < m && c == ring[i + 1]) return false;
        xmin = std::min(xmin, c.x);
        xmax = std::max(xmax, c.x);
        ymin = std::min(ymin, c.y);
        ymax = std::max(ymax, c.y);
    }
    const double width = xmax - xmin;
    const double height = ymax - ymin;
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height)) return false;

    // Edges filed in buckets of a grid over the ring's box, square buckets about as wide as
    // an edge is long on average (but no more buckets than about four per edge); an edge goes in
    // every bucket its box meets. Two edges that meet share a point, which lies in both
    // boxes, and the bucket of a coordinate only grows with it, so they share a bucket:
    // only edges of one bucket need testing.
    const double edges = static_cast<double>(m);
    double length = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        length += std::fabs(ring[i + 1].x - ring[i].x) + std::fabs(ring[i + 1].y - ring[i].y);
    }
    const double side = std::max(0.5 * length / edges, std::sqrt(width / edges * height / 4.0));
    if (!(side > 0) || !std::isfinite(side)) return false;
    const auto cols = static_cast<std::size_t>(std::clamp(std::ceil(width / side), 1.0, 2.0 * edges));
    const auto rows = static_cast<std::size_t>(std::clamp(std::ceil(height / side), 1.0, 2.0 * edges));
    if (cols * rows > 8 * m + 64) return false;
    const double x_scale = static_cast<double>(cols) / width;
    const double y_scale = static_cast<double>(rows) / height;
    // Clamped before the conversion, which a scale overflowed to infinity would not survive.
    const double last_col = static_cast<double>(cols - 1);
    const double last_row = static_cast<double>(rows - 1);
    const auto col_of = [&](double x) {
        return static_cast<std::size_t>(std::fmax(std::fmin((x - xmin) * x_scale, last_col), 0.0));
    };
    const auto row_of = [&](double y) {
        return static_cast<std::size_t>(std::fmax(std::fmin((y - ymin) * y_scale, last_row), 0.0));
    };
    struct Span {
        std::size_t c0, c1, r0, r1;
    };
    const auto span_of = [&](std::size_t i) {
        const Coordinate& a = ring[i];
        const Coordinate& b = ring[i + 1];
        return Span{col_of(std::min(a.x, b.x)), col_of(std::max(a.x, b.x)), row_of(std::min(a.y, b.y)),
                    row_of(std::max(a.y, b.y))};
    };
    // A ring whose edges reach across many buckets (long edges among short ones, say)
    // would cost more than a few times its size: not proven, rather than slow.
    const std::size_t max_entries = 8 * m + 64;
    std::vector<std::uint32_t> start(cols * rows + 1, 0);
    std::size_t entries = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const Span s = span_of(i);
        entries += (s.c1 - s.c0 + 1) * (s.r1 - s.r0 + 1);
        if (entries > max_entries) return false;
        for (std::size_t r = s.r0; r <= s.r1; ++r) {
            for (std::size_t c = s.c0; c <= s.c1; ++c) ++start[r * cols + c + 1];
        }
    }
    // Each pair of a bucket's edges is tested: up to a few times the ring's size in all,
    // else not proven (a long smooth ring puts many edges in each bucket of a grid this
    // coarse). Counted before any is filed, so such a ring costs one pass.
    const std::size_t max_pairs = 32 * m + 256;
    std::size_t pairs = 0;
    for (std::size_t k = 1; k < start.size(); ++k) {
        const std::size_t c = start[k];
        pairs += c * (c - 1) / 2;
        if (pairs > max_pairs) return false;
    }
    for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
    std::vector<std::uint32_t> filed(entries);
    std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < m; ++i) {
        const Span s = span_of(i);
        for (std::size_t r = s.r0; r <= s.r1; ++r) {
            for (std::size_t c = s.c0; c <= s.c1; ++c) filed[next[r * cols + c]++] = static_cast<std::uint32_t>(i);
        }
    }

    // Consecutive edges meet at their shared vertex: they only must not fold back.
    for (std::size_t i = 0; i < m; ++i) {
        if (folds_back(ring[i], ring[i + 1], ring[i + 2 < n ? i + 2 : 1])) return false;
    }
    // Any other two edges must not meet. Within a bucket the edges lie in increasing order,
    // and a pair filed in several buckets is tested in the one holding the low corner of
    // the overlap of their boxes.
    for (std::size_t k = 0; k + 1 < start.size(); ++k) {
        for (std::size_t p = start[k]; p < start[k + 1]; ++p) {
            const std::size_t i = filed[p];
            const Coordinate& a = ring[i];
            const Coordinate& b = ring[i + 1];
            for (std::size_t q = p + 1; q < start[k + 1]; ++q) {
                const std::size_t j = filed[q];
                if (j == i + 1 || (i == 0 && j == m - 1)) continue;  // consecutive, the closing edge too
                const Coordinate& c = ring[j];
                const Coordinate& d = ring[j + 1];
                const double x0 = std::max(std::min(a.x, b.x), std::min(c.x, d.x));
                const double y0 = std::max(std::min(a.y, b.y), std::min(c.y, d.y));
                if (x0 > std::min(std::max(a.x, b.x), std::max(c.x, d.x)) ||
                    y0 > std::min(std::max(a.y, b.y), std::max(c.y, d.y)) || row_of(y0) * cols + col_of(x0) != k) {
                    continue;
                }
                if (meet(a, b, c, d)) return false;
            }
        }
    }
    return true;
}

bool proven_valid_polygon(std::span<const std::uint8_t> wkb) {
    try {
        const std::vector<Polygon> parts = read_wkb(wkb);
        return parts.size() == 1 && parts[0].interiors.empty() && proven_simple(parts[0].exterior);
    } catch (const std::exception&) {
        return false;  // undecodable, or out of memory: the general test decides
    }
}

}  // namespace quorvalis
