#include "support/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/error.h"

namespace quorvalis {

unsigned available_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned resolve_threads(std::int64_t requested) {
    if (requested < 0)
        throw InputError("threads must be 0 (all cores) or a positive count, got " + std::to_string(requested));
    if (requested == 0) return std::min(available_cores(), kMaxThreads);
    return static_cast<unsigned>(std::min<std::int64_t>(requested, kMaxThreads));
}

void parallel_for(std::size_t n, unsigned threads,
                  const std::function<void(std::size_t, std::size_t, unsigned)>& body) {
    if (n == 0) return;
    if (threads <= 1 || n == 1) {
        body(0, n, 0);
        return;
    }
    // Small chunks keep the threads busy to the end when items differ wildly in cost (a
    // continent next to a lake); sixteen per thread keeps the hand-out cost negligible.
    const std::size_t chunk = std::max<std::size_t>(1, n / (std::size_t{threads} * 16));
    const std::size_t n_chunks = (n + chunk - 1) / chunk;
    const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(threads, n_chunks));

    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_lock;
    std::size_t failed_at = std::numeric_limits<std::size_t>::max();
    std::exception_ptr failure;

    // Ranges are handed out in increasing order, so when one fails every range before it
    // has already been taken and will run to its end: the smallest failing start seen is
    // the first failure in item order.
    auto work = [&](unsigned worker) {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= n) return;
            try {
                body(begin, std::min(n, begin + chunk), worker);
            } catch (...) {
                const std::lock_guard<std::mutex> hold(failure_lock);
                if (begin < failed_at) {
                    failed_at = begin;
                    failure = std::current_exception();
                }
                stop.store(true, std::memory_order_relaxed);
            }
        }
    };

    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (unsigned i = 1; i < workers; ++i) {
        try {
            pool.emplace_back(work, i);
        } catch (const std::system_error&) {
            break;  // fewer threads than asked only costs time: the remaining ones share the work
        }
    }
    work(0);
    for (std::thread& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}

std::vector<std::size_t> split_by_cost(std::span<const std::uint64_t> cost, unsigned parts) {
    parts = std::max(parts, 1u);
    long double total = 0.0L;
    for (std::uint64_t c : cost) total += static_cast<long double>(c);
    std::vector<std::size_t> bounds{0};
    long double running = 0.0L;
    std::size_t k = 0;
    for (unsigned p = 1; p < parts; ++p) {
        const long double target = total * p / parts;
        while (k < cost.size() && running + static_cast<long double>(cost[k]) / 2 <= target) {
            running += static_cast<long double>(cost[k]);
            ++k;
        }
        bounds.push_back(k);
    }
    bounds.push_back(cost.size());
    return bounds;
}

}  // namespace quorvalis
