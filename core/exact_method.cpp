#include "coverage_method.h"
#include "error.h"

namespace quorvalis {

PolygonRaster exact_method(const Grid&, const Ring&, const std::vector<Ring>&) {
    throw InputError("method 'exact' is not available yet; use method='center'");
}

}  // namespace quorvalis
