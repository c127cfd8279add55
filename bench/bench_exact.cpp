// Throughput of build_cache with the "exact" method on a global 0.1-degree grid, against the
// "center" method on the same basins in the same run (the machines are shared and noisy,
// so only the ratio means much).
//
//   bench_exact [n_basins] [n_large]     defaults: 10000 basins, 3 large basins
//   bench_exact memory                   the cache's bytes per window cell and the build's
//                                        peak memory, for one large basin
//   bench_exact profile [n_basins] [reps] [cell]
//                                        "exact" alone, repeated: a run for a profiler
#include <sys/resource.h>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common.h"
#include "record/build.h"

namespace {

using quorvalis::CacheRecord;

constexpr double kPi = 3.14159265358979323846;

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

void put_f64(std::vector<std::uint8_t>& out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int k = 0; k < 8; ++k) out.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
}

// An irregular basin: a star-shaped ring (so it is simple) whose radius follows a few
// random harmonics plus a mean-reverting random walk, giving concave, jagged outlines that
// wander across cell lines the way digitised catchments do.
std::vector<std::uint8_t> basin(std::mt19937_64& rng, double cx, double cy, double rx, double ry, int n) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> step(0.0, 0.6 / std::sqrt(static_cast<double>(n)));
    double amp[4], phase[4];
    for (int k = 0; k < 4; ++k) {
        amp[k] = 0.25 * u(rng) / (k + 1);
        phase[k] = 2 * kPi * u(rng);
    }
    std::vector<std::uint8_t> out;
    out.push_back(1);
    put_u32(out, 3);
    put_u32(out, 1);
    put_u32(out, static_cast<std::uint32_t>(n + 1));
    double x0 = 0, y0 = 0, walk = 0;
    for (int i = 0; i < n; ++i) {
        const double a = 2 * kPi * i / n;
        walk = 0.97 * walk + step(rng);
        double r = 0.6 + std::fmax(-0.25, std::fmin(0.25, walk));
        for (int k = 0; k < 4; ++k) r += amp[k] * std::sin((k + 2) * a + phase[k]);
        const double x = cx + rx * r * std::cos(a), y = cy + ry * r * std::sin(a);
        if (i == 0) x0 = x, y0 = y;
        put_f64(out, x);
        put_f64(out, y);
    }
    put_f64(out, x0);
    put_f64(out, y0);
    return out;
}

struct Run {
    double seconds;
    double cpu;
    std::uint64_t cells;   // cells of all coverage windows
    double covered;        // sum of coverage values
    std::uint64_t digest;  // FNV-1a of every basin's placement and value bits
    double bytes;          // the cache's basins: fractions, row spans and the records themselves
};

Run run(const std::vector<std::vector<std::uint8_t>>& wkbs, const char* method, double cell = 0.1) {
    std::vector<std::int64_t> ids(wkbs.size());
    for (std::size_t k = 0; k < ids.size(); ++k) ids[k] = static_cast<std::int64_t>(k);
    const double c0 = bench::cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    const CacheRecord cache = quorvalis::build_cache(wkbs, ids, -180, -90, 180, 90, cell, cell, method);
    const auto t1 = std::chrono::steady_clock::now();
    Run r{
        std::chrono::duration<double>(t1 - t0).count(), bench::cpu_seconds() - c0, 0, 0.0, 0xcbf29ce484222325ULL, 0.0};
    const auto mix = [&r](std::uint64_t v) { r.digest = (r.digest ^ v) * 0x100000001b3ULL; };
    for (const auto& b : cache.zones) {
        r.cells += b.rows() * b.cols();
        r.bytes += static_cast<double>(sizeof(b) + b.heap_bytes());
        mix(b.row_offset);
        mix(b.col_offset);
        mix(b.rows());
        // Held by name: a range over a temporary's member would outlive the temporary.
        const quorvalis::Matrix<float> dense = b.dense();
        for (const float v : dense.values()) {
            r.covered += v;
            std::uint32_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            mix(bits);
        }
    }
    return r;
}

void report(const char* label, std::size_t n, const Run& exact, const Run& center) {
    const auto count = static_cast<double>(n);
    std::printf("%s: %zu basins, %.3g window cells, %.4g covered cells (exact) / %.4g (center)\n", label, n,
                static_cast<double>(exact.cells), exact.covered, center.covered);
    std::printf("  exact : %8.3f s  %10.1f basins/s  %10.3g cells/s\n", exact.seconds, count / exact.seconds,
                static_cast<double>(exact.cells) / exact.seconds);
    std::printf("  center: %8.3f s  %10.1f basins/s  %10.3g cells/s\n", center.seconds, count / center.seconds,
                static_cast<double>(center.cells) / center.seconds);
    std::printf("  exact is %.2fx the speed of center\n", center.seconds / exact.seconds);
    std::printf("  exact cache %.4g bytes: %.3f per window cell, or %.3f per cell besides %zu bytes per basin\n",
                exact.bytes, exact.bytes / static_cast<double>(exact.cells),
                (exact.bytes - count * sizeof(quorvalis::Zone)) / static_cast<double>(exact.cells),
                sizeof(quorvalis::Zone));
}

}  // namespace

// Peak resident memory of the process so far, in bytes.
double peak_bytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) * 1024.0;
}

// A cache should cost at most 4.2 bytes per window cell (fractions and row spans), and building it no more than the
// cache plus twice the largest window at its peak.
int memory() {
    std::mt19937_64 rng(20240611);
    const std::vector<std::vector<std::uint8_t>> one{basin(rng, 0, 0, 150, 80, 200000)};
    const std::vector<std::int64_t> ids{1};
    const double before = peak_bytes();
    const CacheRecord cache = quorvalis::build_cache(one, ids, -180, -90, 180, 90, 0.05, 0.05, "exact");
    const double growth = peak_bytes() - before;
    double cells = 0.0, bytes = sizeof(CacheRecord), largest = 0.0;
    for (const auto& b : cache.zones) {
        const double n = static_cast<double>(b.rows() * b.cols());
        cells += n;
        largest = std::fmax(largest, 4.0 * n);
        bytes += static_cast<double>(sizeof(b) + b.heap_bytes());
    }
    std::printf("one basin of 200,000 vertices on a 0.05-degree grid: %.4g window cells\n", cells);
    std::printf("  cache %.4g bytes = %.3f bytes per window cell\n", bytes, bytes / cells);
    std::printf("  peak growth during the build %.4g bytes = cache + %.2f x the largest window\n", growth,
                (growth - bytes) / largest);
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "memory") == 0) return memory();
    const bool profile = argc > 1 && std::strcmp(argv[1], "profile") == 0;
    if (profile) ++argv, --argc;
    const int n_basins = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int n_large = argc > 2 ? std::atoi(argv[2]) : 3;
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> u(0.0, 1.0);

    std::vector<std::vector<std::uint8_t>> small;
    for (int k = 0; k < n_basins; ++k) {
        const int n = 50 + static_cast<int>(u(rng) * 1951);
        const double r = 0.3 + 2.2 * u(rng);  // 3 to 25 cells across
        small.push_back(basin(rng, -170 + 340 * u(rng), -80 + 160 * u(rng), r, r * (0.6 + 0.8 * u(rng)), n));
    }
    if (profile) {
        const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
        const double cell = argc > 3 ? std::atof(argv[3]) : 0.1;
        double best = 1e300, best_cpu = 1e300;
        std::uint64_t digest = 0;
        for (int k = 0; k < reps; ++k) {
            const Run r = run(small, "exact", cell);
            best = std::fmin(best, r.seconds);
            best_cpu = std::fmin(best_cpu, r.cpu);
            digest = r.digest;
        }
        // The digest tells a faster build from a different one.
        std::printf("exact, %zu basins, cells of %g: best of %d %.3f s (%.3f s of CPU), coverage digest %016llx\n",
                    small.size(), cell, reps, best, best_cpu, static_cast<unsigned long long>(digest));
        return 0;
    }
    std::vector<std::vector<std::uint8_t>> large;
    for (int k = 0; k < n_large; ++k) {  // windows of 1500 x 1000 cells and more
        large.push_back(basin(rng, -20 + 40 * u(rng), -10 + 20 * u(rng), 140 + 20 * u(rng), 95 + 10 * u(rng), 2000));
    }

    report("irregular basins", small.size(), run(small, "exact"), run(small, "center"));
    if (!large.empty()) report("large basins", large.size(), run(large, "exact"), run(large, "center"));
    return 0;
}
