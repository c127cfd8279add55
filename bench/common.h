// Timing and synthetic coverage shared by the C++ benchmarks.
#pragma once

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>

#include "record/build.h"

namespace bench {

// CPU time of this thread: the machine is often shared, and time spent descheduled says
// nothing about the code (time stalled on memory does count).
inline double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The least CPU time of `reps` calls of f.
template <class F>
double best_seconds(int reps, F&& f) {
    double best = std::numeric_limits<double>::infinity();
    for (int k = 0; k < reps; ++k) {
        const double t0 = cpu_seconds();
        f();
        best = std::min(best, cpu_seconds() - t0);
    }
    return best;
}

// Blobs of random size and wobbly outline around random centres, with fractional coverage
// along their edges, so windows hold runs of zeros, partial cells and full cells as the
// windows of real basins do. Blobs may overlap.
inline quorvalis::CacheRecord blobs(std::uint64_t rows, std::uint64_t cols, int n, double r_lo, double r_hi,
                                    std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    quorvalis::CacheRecord cache{};
    for (int k = 0; k < n; ++k) {
        const double radius = r_lo * std::pow(r_hi / r_lo, u(rng));
        const double cy = u(rng) * static_cast<double>(rows), cx = u(rng) * static_cast<double>(cols);
        const double a1 = 0.35 * u(rng), a2 = 0.2 * u(rng), p1 = 6.3 * u(rng), p2 = 6.3 * u(rng);
        const double reach = radius * 1.6 + 1;
        const auto lo = [](double v) { return static_cast<std::uint64_t>(std::max(0.0, std::floor(v))); };
        const std::uint64_t r0 = lo(cy - reach), c0 = lo(cx - reach);
        const std::uint64_t r1 = std::min(rows, lo(cy + reach) + 1), c1 = std::min(cols, lo(cx + reach) + 1);
        quorvalis::Matrix<float> coverage(r1 - r0, c1 - c0, 0.0f);
        for (std::uint64_t i = 0; i < r1 - r0; ++i)
            for (std::uint64_t j = 0; j < c1 - c0; ++j) {
                const double y = static_cast<double>(r0 + i) + 0.5 - cy, x = static_cast<double>(c0 + j) + 0.5 - cx;
                const double t = std::atan2(y, x);
                const double edge = radius * (1 + a1 * std::sin(3 * t + p1) + a2 * std::sin(7 * t + p2));
                const double inside = edge - std::hypot(x, y) + 0.5;  // crude fraction across the edge
                coverage(i, j) = static_cast<float>(std::clamp(inside, 0.0, 1.0));
            }
        cache.zones.emplace_back(quorvalis::DenseFractions{std::move(coverage), r0, c0}, k);
    }
    return cache;
}

}  // namespace bench
