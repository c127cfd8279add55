// Polygons that make a careless coverage algorithm quadratic, shared by the tests and the
// benchmarks. All rings are closed; exteriors run counter-clockwise.
#pragma once

#include <cmath>
#include <random>

#include "geometry/geometry.h"

// Timing tests guard against quadratic cost with generous limits; an instrumented build
// is too slow for any limit to mean something, so it skips them and runs smaller shapes.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVALIS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVALIS_SANITIZED 1
#endif
#endif
#ifdef QUORVALIS_SANITIZED
#define SKIP_TIMING_IN_SANITIZER_BUILD() GTEST_SKIP() << "timing means nothing in a sanitizer build"
#else
#define SKIP_TIMING_IN_SANITIZER_BUILD() (void)0
#endif

namespace quorvalis::testing {

// A bar below y = 0 with `teeth` thin teeth rising to y = 2, all within 0 < x < 1: on the
// unit grid every tooth crosses cell (0, 0)-(1, 1) twice, so that cell holds 2 * teeth runs.
inline Ring comb_through_cell(int teeth) {
    Ring r{{0.0, -1.0}, {1.0, -1.0}};
    const double pitch = 1.0 / teeth;
    for (int k = teeth - 1; k >= 0; --k) {
        const double x = pitch * (k + 0.25);
        r.push_back({x + pitch / 2, -0.5});
        r.push_back({x + pitch / 2, 2.0});
        r.push_back({x, 2.0});
        r.push_back({x, -0.5});
    }
    r.push_back({0.0, -1.0});
    return r;
}

// A bar with `teeth` teeth 2 cells wide and 8 cells tall, 4 cells apart, on the unit grid:
// each tooth holds whole cells and each gap leaves whole cells untouched, so the window
// has 2 * teeth separate regions of cells the ring never enters.
inline Ring comb_of_regions(int teeth) {
    Ring r{{0.5, 0.5}, {4.0 * teeth + 0.5, 0.5}};
    for (int k = teeth - 1; k >= 0; --k) {
        const double x = 4.0 * k + 0.5;
        r.push_back({x + 2.0, 1.5});
        r.push_back({x + 2.0, 10.5});
        r.push_back({x, 10.5});
        r.push_back({x, 1.5});
    }
    r.back() = {0.5, 0.5};
    return r;
}

// A bar half a cell tall with `spikes` zero-width spikes rising 10 cells along every other
// vertical cell line: each cell beside a spike is grazed from both sides, so only locating
// a point of it in the ring can decide it.
inline Ring spikes_along_cell_lines(int spikes) {
    Ring r{{0, 0}, {2.0 * spikes + 2, 0}, {2.0 * spikes + 2, 0.5}};
    for (int k = spikes; k >= 1; --k) {
        r.push_back({2.0 * k, 0.5});
        r.push_back({2.0 * k, 10.5});
        r.push_back({2.0 * k, 0.5});
    }
    r.push_back({0, 0.5});
    r.push_back({0, 0});
    return r;
}

inline Ring circle(int n, double cx, double cy, double radius) {
    Ring r;
    r.reserve(static_cast<std::size_t>(n) + 1);
    for (int k = 0; k < n; ++k) {
        const double a = 2 * 3.14159265358979323846 * k / n;
        r.push_back({cx + radius * std::cos(a), cy + radius * std::sin(a)});
    }
    r.push_back(r.front());
    return r;
}

// The square [0, size]^2 with `holes` thin parallel slivers rising diagonally across it:
// each hole's bounding box covers a quarter of the square, its own cells a thin band.
inline Polygon thin_diagonal_holes(int holes, double size) {
    Polygon p{{{0, 0}, {size, 0}, {size, size}, {0, size}, {0, 0}}, {}};
    const double pitch = size / 2 / holes;
    for (int k = 0; k < holes; ++k) {
        const double a = 1 + k * pitch;
        const double w = pitch / 3;
        const double l = size / 2 - 2;
        p.interiors.push_back({{a, 1}, {a + l, 1 + l}, {a + l + w, 1 + l}, {a + w, 1}, {a, 1}});
    }
    return p;
}

// A coastline: a star-shaped ring whose radius wanders as a mean-reverting random walk
// at every scale, n vertices around (cx, cy).
inline Ring coastline(int n, double cx, double cy, double radius, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, 1.0 / std::sqrt(static_cast<double>(n)));
    Ring r;
    r.reserve(static_cast<std::size_t>(n) + 1);
    double walk = 0.0;
    for (int k = 0; k < n; ++k) {
        walk = 0.999 * walk + step(rng);
        const double a = 2 * 3.14159265358979323846 * k / n;
        const double rr = radius * (0.75 + 0.2 * std::tanh(walk) + 0.03 * std::sin(97.0 * a));
        r.push_back({cx + rr * std::cos(a), cy + rr * std::sin(a)});
    }
    r.push_back(r.front());
    return r;
}

}  // namespace quorvalis::testing
