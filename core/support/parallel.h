// Spreading independent work items (geometries to build, ranges of zones, blocks of time
// steps) over worker threads. Items are handed out in contiguous chunks in increasing order,
// each item is done by exactly one thread, and the caller decides where each item's result
// goes, so results never depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quorvalis {

// CPUs this process may run on (its affinity mask, so containers and taskset are honoured);
// at least 1.
unsigned available_cores();

// The worker count for a caller's request: 0 means available_cores(); negative throws
// InputError; anything else is taken as asked, up to kMaxThreads.
inline constexpr unsigned kMaxThreads = 256;
unsigned resolve_threads(std::int64_t requested);

// Calls body(begin, end, worker) on disjoint ranges that together cover [0, n), from up to
// `threads` threads (the calling thread among them); worker < threads numbers the thread,
// so a caller can keep scratch storage per thread. When bodies throw, the exception of
// the range that starts first is rethrown once every thread has stopped, so the error a
// caller sees is the one a sequential loop would have met first; no new range is started
// after a failure.
void parallel_for(std::size_t n, unsigned threads, const std::function<void(std::size_t, std::size_t, unsigned)>& body);

// Boundaries 0 = b[0] <= b[1] <= ... <= b[parts] = cost.size() cutting the items into
// `parts` contiguous ranges of about equal total cost: for work whose ranges pay a setup
// of their own, so that each thread takes exactly one range.
std::vector<std::size_t> split_by_cost(std::span<const std::uint64_t> cost, unsigned parts);

}  // namespace quorvalis
