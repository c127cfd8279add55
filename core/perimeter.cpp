#include "perimeter.h"

#include "error.h"
#include "format.h"

namespace quorvalis {

double perimeter_distance(const BBox& box, const Coordinate& p) {
    const double width = box.xmax - box.xmin;
    const double height = box.ymax - box.ymin;
    if (p.x == box.xmin) return p.y - box.ymin;
    if (p.y == box.ymax) return (p.x - box.xmin) + height;
    if (p.x == box.xmax) return (box.ymax - p.y) + (width + height);
    if (p.y == box.ymin) return (box.xmax - p.x) + (2 * height + width);
    throw InternalError("Cannot compute perimeter distance for point (" + format_plain(p.x) + ", " +
                        format_plain(p.y) + ") not on boundary of " + to_string(box));
}

}  // namespace quorvalis
