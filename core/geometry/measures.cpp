#include "geometry/measures.h"

namespace quorvalis {

Ring closed_copy(const Ring& ring) {
    Ring out(ring);
    if (!out.empty() && out.front() != out.back()) out.push_back(out.front());
    return out;
}

double signed_area(std::span<const Coordinate> coords) {
    const std::size_t n = coords.size();
    if (n < 3) return 0.0;
    const double x0 = coords[0].x;
    double sum = 0.0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        sum += (coords[i].x - x0) * (coords[i + 1].y - coords[i - 1].y);
    }
    return 0.5 * sum;
}

}  // namespace quorvalis
