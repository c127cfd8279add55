// libFuzzer target: any byte string through the WKB reader. Bad input must come back as
// InputError; anything else escaping (InternalError, bad_alloc, a sanitizer report) is a
// finding, and so is a value decoded into more points than its bytes can hold. Every
// decoded ring also goes through the simplicity proof, which must neither throw nor trip
// a sanitizer whatever the coordinates.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "geometry/simple_ring.h"
#include "geometry/wkb.h"
#include "support/error.h"

namespace {

// Points read, which bounds what the value must have held: 16 bytes per point.
std::size_t points_in(const std::vector<quorvalis::Polygon>& polygons) {
    std::size_t n = 0;
    for (const quorvalis::Polygon& p : polygons) {
        n += p.exterior.size();
        for (const quorvalis::Ring& r : p.interiors) n += r.size();
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const std::vector<quorvalis::Polygon> polygons = quorvalis::read_wkb({data, size});
        if (points_in(polygons) * 16 > size) {
            std::fprintf(stderr, "decoded more points than %zu bytes can hold\n", size);
            std::abort();
        }
        for (const quorvalis::Polygon& p : polygons) {
            quorvalis::proven_simple(p.exterior);
            for (const quorvalis::Ring& r : p.interiors) quorvalis::proven_simple(r);
        }
    } catch (const quorvalis::InputError&) {
    }
    quorvalis::proven_valid_polygon({data, size});
    return 0;
}
