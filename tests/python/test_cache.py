"""CoverageCache objects: opaque, immutable, shareable between threads, and calls on them
leave no references or memory behind."""

import gc
import inspect
import os
import pickle
import struct
import sys
import tracemalloc
import weakref
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _quorvalis as q
from conftest import GRID, SQUARE, box, wkb_polygon


def test_type_is_closed_and_instances_opaque_and_immutable():
    cls, cache = q.CoverageCache, q.build_cache([SQUARE], [1], *GRID, "center")
    for make in [cls, lambda: type("Sub", (cls,), {}), lambda: weakref.ref(cache), lambda: pickle.dumps(cache)]:
        with pytest.raises(TypeError):
            make()
    for name, value in [("n_basins", 5), ("extra", 1)]:
        with pytest.raises(AttributeError):
            setattr(cache, name, value)
    assert (cls.__module__, cls.__name__, cls.__doc__) == ("builtins", "CoverageCache",
                                                           "Opaque coverage cache held on the Python side.")
    assert cls.n_basins.__doc__ == "Number of basins in the cache."
    assert cls.ids.__doc__ == "Basin IDs in cache order." and str(inspect.signature(cls.ids)) == "(self, /)"
    assert repr(cache).startswith("<builtins.CoverageCache object at ") and not gc.is_tracked(cache)
    assert cache.n_basins == 1


def test_ids_follow_the_basins():
    outside, no_rings, no_parts = wkb_polygon(box(20, 20, 21, 21)), wkb_polygon(), struct.pack("<BII", 1, 6, 0)
    cache = q.build_cache([SQUARE, outside, no_rings, SQUARE, no_parts, SQUARE], [5, 6, 7, -(2**63), 8, 5],
                          *GRID, "center")
    assert cache.n_basins == 3
    first, second = cache.ids(), cache.ids()
    assert first.dtype == np.int64 and first.flags.writeable and first is not second
    np.testing.assert_array_equal(first, [5, -(2**63), 5])  # duplicates stay separate basins
    first[:] = 0
    np.testing.assert_array_equal(second, [5, -(2**63), 5])
    np.testing.assert_array_equal(cache.ids(), [5, -(2**63), 5])
    empty = q.build_cache([], [], *GRID)
    assert empty.n_basins == 0 and empty.ids().dtype == np.int64 and empty.ids().shape == (0,)


def test_threads_reading_one_cache_agree():
    rng = np.random.default_rng(3)
    cache = q.build_cache([wkb_polygon(box(x, 0, x + 2.5, 5)) for x in range(4)], list(range(4)), *GRID)
    stacks = [rng.normal(size=(20, 5, 6)) for _ in range(4)]
    expected = [q.apply_stat_batch(cache, s, -9999.0, "variance") for s in stacks]
    with ThreadPoolExecutor(len(stacks)) as pool:
        results = pool.map(lambda s: [q.apply_stat_batch(cache, s, -9999.0, "variance") for _ in range(50)], stacks)
    for want, got in zip(expected, results, strict=True):
        assert len(got) == 50 and all(np.array_equal(g, want) for g in got)


# AddressSanitizer keeps freed memory in quarantine, so the resident size grows regardless.
@pytest.mark.skipif(not sys.platform.startswith("linux") or "libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="reads /proc/self/statm, which a sanitizer's quarantine inflates")
def test_repeated_calls_leak_nothing():
    wkbs, ids = [wkb_polygon(box(x * 0.5, 0, x * 0.5 + 3, 5)) for x in range(7)], list(range(7))
    stack, weights = np.ones((200, 5, 6)), np.ones((5, 6))
    cache = q.build_cache(wkbs, ids, *GRID)
    inputs = [wkbs, ids, stack, weights, cache]
    refs = [sys.getrefcount(x) for x in inputs]
    failing = [lambda: q.build_cache(wkbs, ids[:-1], *GRID),
               lambda: q.build_cache(wkbs, ids, *GRID, method=1),
               lambda: q.apply_stat_batch(cache, stack, 0.0, "avg"),
               lambda: q.apply_stat_weights(cache, stack[0], weights[:2], 0.0, 0.0, "mean"),
               lambda: q.apply_stat(cache, stack, 0.0, "mean")]

    def rss_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    def round_trip():
        fresh = q.build_cache(wkbs, ids, *GRID)
        q.apply_stat_batch(fresh, stack, 0.0, "mean")  # 11 KB of results per call
        q.apply_stat_batch_weights(cache, stack, weights, 0.0, 0.0, "weighted_mean")
        fresh.ids()
        for bad in failing:
            with pytest.raises((ValueError, TypeError)):
                bad()

    for _ in range(200):
        round_trip()
    gc.collect()
    tracemalloc.start()
    rss_before, (traced_before, _) = rss_bytes(), tracemalloc.get_traced_memory()
    for _ in range(3000):
        round_trip()
    gc.collect()
    traced_after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert [sys.getrefcount(x) for x in inputs] == refs
    assert traced_after - traced_before < 100_000
    assert rss_bytes() - rss_before < 16 * 2**20  # a leaked result buffer per call would be 60 MB
