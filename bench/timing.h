// Timing shared by the C++ benchmarks.
#pragma once

#include <time.h>

#include <algorithm>
#include <limits>

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

}  // namespace bench
