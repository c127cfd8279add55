// Plain geometry records shared by the WKB reader and the coverage engine.
#pragma once

#include <vector>

namespace quorvalis {

struct Coordinate {
    double x = 0.0;
    double y = 0.0;
    // Exact comparison; a NaN coordinate equals nothing, itself included.
    friend bool operator==(const Coordinate&, const Coordinate&) = default;
};

// A ring exactly as stored in the WKB: closing point kept, nothing removed or re-oriented.
using Ring = std::vector<Coordinate>;

struct Polygon {
    Ring exterior;
    std::vector<Ring> interiors;
};

}  // namespace quorvalis
