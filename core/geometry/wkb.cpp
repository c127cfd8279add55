#include "geometry/wkb.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "support/error.h"

namespace quorvalis {

namespace {

constexpr std::uint32_t kPolygon = 3;
constexpr std::uint32_t kMultiPolygon = 6;

// Smallest encodings, used to refuse a declared count before anything is reserved for it.
constexpr std::size_t kPointBytes = 16;
constexpr std::size_t kRingBytes = 4;          // point count of an empty ring
constexpr std::size_t kPartBytes = 1 + 4 + 4;  // byte order, type code, ring count

// Bounds-checked reads over one WKB value. Byte order is per call because the parts of
// a MultiPolygon each carry their own.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t byte_at(std::size_t offset) const {
        require(offset, 1, "byte");
        return bytes_[offset];
    }

    std::uint32_t u32_at(std::size_t offset, bool big_endian) const {
        require(offset, 4, "count");
        return static_cast<std::uint32_t>(assemble(offset, 4, big_endian));
    }

    // The bytes from offset on, which the caller has checked with require_room.
    const std::uint8_t* bytes(std::size_t offset) const { return bytes_.data() + offset; }

    // A count of items of at least min_bytes each, starting at offset, must fit in the rest
    // of the value; otherwise reserving for it could ask for gigabytes from a 20-byte value.
    void require_room(std::size_t offset, std::uint32_t count, std::size_t min_bytes, const char* what) const {
        const std::size_t left = offset <= bytes_.size() ? bytes_.size() - offset : 0;
        if (count > left / min_bytes) {
            throw InputError("index out of range: WKB value of " + std::to_string(bytes_.size()) + " bytes declares " +
                             std::to_string(count) + " " + what + " at offset " + std::to_string(offset));
        }
    }

private:
    void require(std::size_t offset, std::size_t len, const char* what) const {
        if (offset > bytes_.size() || len > bytes_.size() - offset) {
            throw InputError("index out of range: WKB " + std::string(what) + " at offset " + std::to_string(offset) +
                             " runs past the end of a " + std::to_string(bytes_.size()) + "-byte value");
        }
    }

    // Assembled from single bytes, so the result does not depend on the machine's order.
    std::uint64_t assemble(std::size_t offset, std::size_t len, bool big_endian) const {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < len; ++i) {
            const std::uint64_t b = bytes_[offset + (big_endian ? i : len - 1 - i)];
            v = (v << 8) | b;
        }
        return v;
    }

    std::span<const std::uint8_t> bytes_;
};

// Reads a ring at offset into ring; returns the offset just past it. The count is checked
// against the bytes left once, so the coordinates are then copied as one block: directly
// when the value's byte order is the machine's, else each 8-byte word reversed.
std::size_t read_ring(const Reader& in, std::size_t offset, bool big_endian, Ring& ring) {
    const std::uint32_t n_points = in.u32_at(offset, big_endian);
    offset += 4;
    in.require_room(offset, n_points, kPointBytes, "points");
    static_assert(sizeof(Coordinate) == kPointBytes && std::is_trivially_copyable_v<Coordinate>);
    const std::size_t n_bytes = std::size_t{n_points} * kPointBytes;
    ring.resize(n_points);
    const std::uint8_t* src = in.bytes(offset);
    auto* dst = reinterpret_cast<std::uint8_t*>(ring.data());
    if (big_endian == (std::endian::native == std::endian::big)) {
        if (n_bytes != 0) std::memcpy(dst, src, n_bytes);
    } else {
        for (std::size_t k = 0; k < n_bytes; k += 8) {
            std::uint64_t word;
            std::memcpy(&word, src + k, 8);
            word = __builtin_bswap64(word);
            std::memcpy(dst + k, &word, 8);
        }
    }
    return offset + n_bytes;
}

// Reads a Polygon body at offset; returns the offset just past its last ring.
std::size_t read_polygon_body(const Reader& in, std::size_t offset, bool big_endian, Polygon& polygon) {
    const std::uint32_t n_rings = in.u32_at(offset, big_endian);
    offset += 4;
    if (n_rings == 0) return offset;
    in.require_room(offset, n_rings, kRingBytes, "rings");
    offset = read_ring(in, offset, big_endian, polygon.exterior);
    polygon.interiors.reserve(n_rings - 1);
    for (std::uint32_t i = 1; i < n_rings; ++i) {
        offset = read_ring(in, offset, big_endian, polygon.interiors.emplace_back());
    }
    return offset;
}

bool is_big_endian(std::uint8_t order) { return order == 0; }

[[noreturn]] void unsupported(std::uint32_t type) {
    throw InputError("Unsupported WKB geometry type: " + std::to_string(type));
}

}  // namespace

std::vector<Polygon> read_wkb(std::span<const std::uint8_t> wkb) {
    if (wkb.size() < 5) throw InputError("WKB too short");
    const Reader in(wkb);
    const bool big_endian = is_big_endian(in.byte_at(0));
    const std::uint32_t type = in.u32_at(1, big_endian);

    std::vector<Polygon> polygons;
    // Codes with Z, M or SRID bits set are refused, at the top and in every part: reading
    // their coordinates as 2-D pairs would silently decode the wrong polygon.
    if (type == kPolygon) {
        read_polygon_body(in, 5, big_endian, polygons.emplace_back());
    } else if (type == kMultiPolygon) {
        const std::uint32_t n_parts = in.u32_at(5, big_endian);
        in.require_room(9, n_parts, kPartBytes, "polygons");
        polygons.reserve(n_parts);
        std::size_t offset = 9;
        for (std::uint32_t i = 0; i < n_parts; ++i) {
            const bool part_big_endian = is_big_endian(in.byte_at(offset));
            const std::uint32_t part_type = in.u32_at(offset + 1, part_big_endian);
            if (part_type != kPolygon) unsupported(part_type);
            Polygon part;
            offset = read_polygon_body(in, offset + 5, part_big_endian, part);
            if (!part.exterior.empty()) polygons.push_back(std::move(part));
        }
    } else {
        unsupported(type);
    }
    return polygons;
}

}  // namespace quorvalis
