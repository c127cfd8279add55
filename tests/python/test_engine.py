"""The package's engine module: every zone kept, the coverage exported, thread counts that
change nothing, the order and class statistics against a plain reference, and arguments
refused with clear errors."""

import ast
import itertools
import math
import re
import threading
from pathlib import Path

import numpy as np
import pytest
import scipy.sparse
import shapely

import _quorvalis as q
from quorvalis import _engine as e

GRID = (0.0, 0.0, 24.0, 20.0, 1.0, 1.0)  # 20 rows x 24 cols
ROWS, COLS = 20, 24
NODATA = -9999.0
STREAMING = ["mean", "sum", "count", "min", "max", "variance", "stdev", "weighted_mean", "weighted_sum"]
ORDER = ["median", "quantile", "majority", "minority", "variety", "frac"]
QUANTILES = [0.0, 0.1, 0.5, 0.9, 1.0]


def zones():
    """Overlapping circles and boxes, one zone off the grid, one half off it, a MultiPolygon."""
    rng = np.random.default_rng(3)
    shapes = [shapely.Point(x, y).buffer(r) for x, y, r in rng.uniform([2, 2, 1], [22, 18, 6], (14, 3))]
    shapes += [shapely.box(100, 100, 101, 101), shapely.box(20.5, -3, 30, 4.25),
               shapely.MultiPolygon([shapely.box(0.5, 0.5, 3, 3), shapely.box(18, 15, 19.5, 19.75)]),
               shapely.Point(12, 10).buffer(11)]  # enough cells to be sorted by radix
    return [s.wkb for s in shapes]


WKB = zones()


@pytest.fixture(scope="module")
def cov():
    return e.build(WKB, *GRID)


def categorical(shape, seed=5):
    """Few distinct values of both signs and far apart, so ties between cells are everywhere,
    plus nodata and NaN."""
    r = np.random.default_rng(seed).choice([-2.5, -1.0, -0.0, 0.0, 0.5, 3.0, 1e10, NODATA], shape)
    r.flat[::17] = np.nan
    return r


def reference(cov, raster, weights=None, weights_nodata=None):
    """Order statistics of each zone from the windows, by sorting and explicit loops."""
    out = {s: [] for s in ORDER}
    shares = []
    for k in range(cov.n_zones):
        r0, c0, win = cov.window(k)
        cells = []
        for i, j in zip(*np.nonzero(win > 0)):
            r, c = r0 + i, c0 + j
            if r >= ROWS or c >= COLS:
                continue
            v, w = float(raster[r, c]), float(win[i, j])
            if not math.isfinite(v) or abs(v - NODATA) <= 1e-6:
                continue
            if weights is not None:
                x = float(weights[r, c])
                if not math.isfinite(x) or x == weights_nodata:
                    continue
                w = w * x
            if w > 0:
                cells.append((v, w))
        groups = []
        for v, members in itertools.groupby(sorted(cells, key=lambda p: p[0]), key=lambda p: p[0]):
            total = 0.0
            for _, w in members:
                total = total + w
            groups.append((v, total))
        cum, running = [], 0.0
        for _, w in groups:
            running = running + w
            cum.append(running)

        def quantile(p):
            return next(v for (v, _), c in zip(groups, cum) if c >= p * cum[-1]) if groups else math.nan

        out["median"].append(quantile(0.5))
        out["quantile"].append([quantile(p) for p in QUANTILES])
        by_weight = sorted(groups, key=lambda g: (-g[1], g[0]))
        out["majority"].append(by_weight[0][0] if groups else math.nan)
        out["minority"].append(min(groups, key=lambda g: (g[1], g[0]))[0] if groups else math.nan)
        out["variety"].append(float(len(groups)))
        shares.append({v: w / cum[-1] for v, w in groups} if groups else None)
    classes = sorted({v for s in shares if s for v in s})
    out["frac"] = [[math.nan] * len(classes) if s is None else [s.get(c, 0.0) for c in classes] for s in shares]
    return out, classes


def test_build_keeps_every_zone_in_input_order(cov):
    legacy = q.build_cache(WKB, list(range(len(WKB))), *GRID)
    present = legacy.ids()
    assert cov.n_zones == len(WKB) and (cov.rows, cov.cols, cov.grid, cov.method) == (ROWS, COLS, GRID, "exact")
    assert cov.window(14)[2].shape == (0, 0) and 14 not in present
    raster = np.random.default_rng(1).normal(size=(ROWS, COLS))
    ours = e.reduce(cov, raster, STREAMING, weights=raster, nodata=NODATA, weights_nodata=NODATA)
    for stat in STREAMING:
        theirs = q.apply_stat_weights(legacy, raster, raster, NODATA, NODATA, stat)
        np.testing.assert_array_equal(ours[stat][present], theirs)
    assert ours["sum"][14] == ours["count"][14] == 0.0 and np.isnan(ours["mean"][14])


def test_window_is_read_only_and_outlives_its_coverage():
    row, col, fractions = e.build(WKB, *GRID).window(15)
    assert (row, col, fractions.shape, fractions.dtype) == (15, 20, (5, 4), np.float32)
    assert fractions.sum() == 3.5 * 4.25 and not fractions.flags.writeable  # the box's area inside the grid
    with pytest.raises(IndexError):
        e.build(WKB, *GRID).window(len(WKB))


def test_sparse_matrix_times_raster_is_sum(cov):
    data, indices, indptr = cov.csr()
    assert (data.dtype, indices.dtype, indptr.dtype) == (np.float32, np.int64, np.int64)
    matrix = scipy.sparse.csr_matrix((data, indices, indptr), shape=(cov.n_zones, ROWS * COLS))
    raster = np.random.default_rng(2).normal(size=(ROWS, COLS))
    np.testing.assert_allclose(matrix @ raster.ravel(), e.reduce(cov, raster, ["sum"])["sum"], rtol=1e-12)
    dense = matrix.toarray().reshape(-1, ROWS, COLS)
    for k in range(cov.n_zones):  # each row is the zone's window, cut to the grid
        r, c, win = cov.window(k)
        expected = np.zeros((ROWS + 40, COLS + 40), np.float32)
        expected[r:r + win.shape[0], c:c + win.shape[1]] = win
        np.testing.assert_array_equal(dense[k], expected[:ROWS, :COLS])


def test_thread_counts_change_no_bit():
    raster = np.stack([categorical((ROWS, COLS), s) for s in range(3)])
    # Enough steps for the streaming statistics to split time, unevenly, among 2 to 4 threads.
    stack = np.stack([categorical((ROWS, COLS), s) for s in range(37)])
    weights = np.random.default_rng(4).uniform(-0.5, 2.0, (ROWS, COLS))
    results = []
    for threads in [1, 2, 3, 4]:
        cov = e.build(WKB * 4, *GRID, threads=threads)
        out = e.reduce(cov, raster, e.STATS, weights=weights, nodata=NODATA, quantiles=QUANTILES, threads=threads)
        steps = e.reduce(cov, stack, STREAMING, weights=weights, nodata=NODATA, threads=threads)
        out |= {f"{name} of 37 steps": value for name, value in steps.items()}
        windows = [cov.window(k)[2].tobytes() for k in range(cov.n_zones)]
        results.append((windows, cov.csr(threads=threads), out))
    for windows, sparse, out in results[1:]:
        assert windows == results[0][0]
        for a, b in zip(sparse, results[0][1]):
            np.testing.assert_array_equal(a, b)
        assert out.keys() == results[0][2].keys()
        for name in out:
            assert out[name].tobytes() == results[0][2][name].tobytes(), name


@pytest.mark.parametrize("continuous", [False, True], ids=["classes", "continuous"])
@pytest.mark.parametrize("weighted", [False, True], ids=["coverage", "weights"])
def test_order_statistics_match_reference(cov, weighted, continuous):
    raster = categorical((ROWS, COLS))
    if continuous:
        raster = np.where(np.isnan(raster), raster, np.random.default_rng(9).normal(0, 1e3, raster.shape))
    weights = None
    if weighted:  # zero, negative, NaN and nodata weights all leave a cell out
        weights = np.random.default_rng(6).choice([0.0, 0.5, 1.0, 2.0, -1.0, np.nan, 7.0], (ROWS, COLS))
    out = e.reduce(cov, raster, ORDER, weights=weights, nodata=NODATA, weights_nodata=7.0, quantiles=QUANTILES)
    expected, classes = reference(cov, raster, weights, 7.0)
    np.testing.assert_array_equal(out["frac_classes"], classes)
    for stat in ORDER:
        np.testing.assert_array_equal(out[stat], np.array(expected[stat], dtype=float), err_msg=stat)
    assert np.all(np.isnan(out["frac"][14])) and out["variety"][14] == 0.0


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("weighted", [False, True], ids=["coverage", "weights"])
def test_selected_quantiles_match_reference(cov, weighted, dtype):
    """The median and up to two quantiles alone are selected, not sorted, from a histogram
    built as the cells are read, two at a time where the types allow."""
    rng = np.random.default_rng(10)
    raster = np.where(np.isnan(categorical((ROWS, COLS))), np.nan, rng.normal(0, 1e3, (ROWS, COLS)))
    raster.flat[3::29] = NODATA
    raster.flat[5::31] = np.inf
    raster.flat[6::37] = -np.inf
    raster = raster.astype(dtype)
    weights = None
    if weighted:
        # sparse enough that the largest zone keeps the cells a selection needs
        weights = rng.choice([0.5, 1.0, 2.0, 0.25], (ROWS, COLS))
        for k, bad in enumerate([0.0, -1.0, np.nan, np.inf, 7.0]):
            weights.flat[k::23 + 2 * k] = bad
        weights = weights.astype(dtype)
    out = e.reduce(cov, raster, ["median", "quantile"], weights=weights, nodata=NODATA, weights_nodata=7.0,
                   quantiles=[0.1, 1.0])
    expected, _ = reference(cov, raster, weights, 7.0)
    np.testing.assert_array_equal(out["median"], np.array(expected["median"]))
    np.testing.assert_array_equal(out["quantile"], np.array(expected["quantile"])[:, [1, 4]])


def test_range_and_counts(cov):
    raster = categorical((ROWS, COLS))
    out = e.reduce(cov, raster, ["range", "min", "max", "count", "nodata_count", "coverage"], nodata=NODATA)
    np.testing.assert_array_equal(out["range"], out["max"] - out["min"])
    # quantiles given without asking for "quantile" are ignored, not written anywhere
    medians = e.reduce(cov, raster, ["median"], nodata=NODATA, quantiles=QUANTILES)["median"]
    np.testing.assert_array_equal(medians, e.reduce(cov, raster, ["quantile"], nodata=NODATA, quantiles=[0.5])["quantile"][:, 0])
    # every covered cell is either valid or nodata, and coverage counts them all
    np.testing.assert_allclose(out["count"] + out["nodata_count"], out["coverage"], rtol=1e-12)
    np.testing.assert_allclose(out["coverage"], e.reduce(cov, np.ones((ROWS, COLS)), ["count"])["count"], rtol=1e-12)


def test_stack_steps_equal_single_rasters(cov):
    stack = np.stack([categorical((ROWS, COLS), s) for s in range(3)])
    both = e.reduce(cov, stack, ORDER + ["mean", "range"], nodata=NODATA, quantiles=QUANTILES)
    assert both["quantile"].shape == (3, cov.n_zones, len(QUANTILES))
    for t in range(3):
        one = e.reduce(cov, stack[t], ORDER + ["mean", "range"], nodata=NODATA, quantiles=QUANTILES)
        for stat in ["median", "quantile", "majority", "minority", "variety", "mean", "range"]:
            np.testing.assert_array_equal(both[stat][t], one[stat])
        classes = np.searchsorted(both["frac_classes"], one["frac_classes"])
        np.testing.assert_array_equal(both["frac"][t][:, classes], one["frac"])


DTYPES = ["float32", "float64", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_read_in_place_equals_its_float64_copy(cov, dtype):
    rng = np.random.default_rng(8)
    values = rng.integers(0, 7, (2, ROWS, COLS))
    weights = rng.integers(0, 4, (ROWS, COLS))
    stack = values.astype(dtype)[:, ::-1, ::2]  # reversed rows, every other column: a view, not a copy
    w = weights.astype(dtype)[::-1, ::2]
    sub = e.build(WKB, 0.0, 0.0, 12.0, 20.0, 1.0, 1.0)
    kw = dict(nodata=3, weights_nodata=2, quantiles=QUANTILES)
    ours = e.reduce(sub, stack, e.STATS, weights=w, **kw)
    theirs = e.reduce(sub, stack.astype(np.float64), e.STATS, weights=w.astype(np.float64), **kw)
    for name in ours:
        np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)


@pytest.mark.parametrize("dtype", ["int16", "uint16"])
def test_16_bit_zones_counted_by_value_equal_their_float64_copy(dtype):
    """Zones of 4096 window cells and more on 16-bit rasters are counted by value, not
    sorted: with fractional weights, both ends of the type and a nodata, the same bits."""
    rng = np.random.default_rng(9)
    info = np.iinfo(dtype)
    values = rng.integers(info.min, info.max, (2, 90, 100), endpoint=True)
    values[:, ::7] = rng.integers(0, 5, (2, 13, 100))  # repeats, so that groups sum weights
    values[:, 3, :2] = info.min, info.max
    stack = values.astype(dtype)
    w = rng.uniform(0, 2, (90, 100))
    cov = e.build([shapely.Point(50, 45).buffer(40.3).wkb, shapely.box(1.5, 2.25, 99, 88).wkb,
                   shapely.box(3, 3, 5, 5).wkb], 0.0, 0.0, 100.0, 90.0, 1.0, 1.0)
    for kw in [dict(nodata=3, quantiles=[0.3]), dict(weights=w, quantiles=QUANTILES)]:
        ours = e.reduce(cov, stack, ORDER, **kw)
        theirs = e.reduce(cov, stack.astype(np.float64), ORDER, **kw)
        for name in ours:
            np.testing.assert_array_equal(ours[name], theirs[name], err_msg=name)


@pytest.mark.parametrize("dtype,values,nodata,expected", [
    ("int64", [2**62, 2**62 + 1], 2**62 + 1, 2**62),  # neighbours that float64 cannot tell apart
    ("uint64", [2**64 - 1, 7], 2**64 - 1, 7),
    ("uint8", [255, 7], -1, 131),  # no uint8 equals -1: nothing is skipped
    ("int16", [-9999, 7], -9999.0, 7),  # a float nodata stands for the integer it equals
    ("float32", [1e20, 7], 1e20, 7),  # matched after rounding to float32
])
def test_nodata_compared_in_the_rasters_type(dtype, values, nodata, expected):
    cov = e.build([shapely.box(0, 0, 2, 1).wkb], 0, 0, 2, 1, 1, 1)
    out = e.reduce(cov, np.array([values], dtype=dtype), ["mean", "count"], nodata=nodata)
    assert out["mean"][0] == float(expected) and out["count"][0] == (2.0 if nodata == -1 else 1.0)


def test_a_block_at_its_origin_equals_the_whole_raster_around_it(cov):
    raster = categorical((ROWS, COLS))
    stats = [s for s in e.STATS if s not in ("nodata_count", "coverage")]
    for r0, c0, h, w in [(0, 0, 10, 12), (7, 5, 13, 19), (19, 23, 1, 1), (0, 0, ROWS, COLS)]:
        block = raster[r0:r0 + h, c0:c0 + w]
        around = np.full((ROWS, COLS), np.nan)
        around[r0:r0 + h, c0:c0 + w] = block
        ours = e.reduce(cov, block, stats, weights=block, nodata=NODATA, quantiles=QUANTILES, origin=(r0, c0))
        whole = e.reduce(cov, around, stats, weights=around, nodata=NODATA, quantiles=QUANTILES)
        for stat in stats:
            if stat == "frac":
                continue
            np.testing.assert_array_equal(ours[stat], whole[stat], err_msg=f"{stat} at {(r0, c0)}")


@pytest.mark.parametrize("steps", [None, 1, 11])
def test_bands_carried_top_to_bottom_give_the_whole_window_bit_for_bit(cov, steps):
    """Each band's streaming states carried to the next: the same cells in the same order as
    the whole raster, so the same bits, for every statistic, weighted or not, a stack too."""
    rng = np.random.default_rng(5)
    raster = rng.normal(0, 100, (steps or 1, ROWS, COLS)).astype(np.float32)[0 if steps is None else slice(None)]
    raster[..., 4:7, 3:15] = np.nan
    stats = STREAMING + ["range"]
    for weights in (None, rng.uniform(0, 2, (ROWS, COLS))):
        whole = e.reduce(cov, raster, stats, weights=weights)
        carry = {}
        for r0, r1 in [(0, 3), (3, 4), (4, 13), (13, ROWS)]:
            band = e.reduce(cov, raster[..., r0:r1, :], stats, weights=None if weights is None else weights[r0:r1],
                            origin=(r0, 0), carry=carry)
        for stat in stats:
            assert whole[stat].tobytes() == band[stat].tobytes(), stat
    assert carry["variance"].shape == (steps or 1, len(WKB), 3)


def test_lock_released_while_reducing():
    cov = e.build([shapely.box(0, 0, 2000, 2000).wkb], 0, 0, 2000, 2000, 1, 1)
    raster = np.random.default_rng(0).normal(size=(2000, 2000))
    ticks, done = [], threading.Event()
    worker = threading.Thread(target=lambda: (e.reduce(cov, raster, ["median"], threads=1), done.set()))
    worker.start()
    while not done.is_set():
        ticks.append(1)  # runs only while the worker does not hold the lock
    worker.join()
    assert len(ticks) > 100


@pytest.mark.parametrize("call,error,message", [
    (lambda c, r: e.reduce(c, r, ["avg"]), ValueError, "Unknown stat 'avg'. Supported: mean, sum,"),
    (lambda c, r: e.reduce(c, r.astype(bool), ["mean"]), TypeError, "raster must hold float32"),
    (lambda c, r: e.reduce(c, r.astype(">f8"), ["mean"]), TypeError, "native byte order"),
    (lambda c, r: e.reduce(c, r[0], ["mean"]), ValueError, "raster must have 2 dimensions"),
    (lambda c, r: e.reduce(c, r, ["mean"], weights=r[:-1]), ValueError, r"weights of shape \(19, 24\) do not match"),
    (lambda c, r: e.reduce(c, r, ["mean"], weights=r[None]), ValueError, "weights must have 2 dimensions"),
    (lambda c, r: e.reduce(c, r, ["mean"], origin=(1, 0)), ValueError, r"does not lie inside the grid"),
    (lambda c, r: e.reduce(c, r, ["mean"], origin=(-1, 0)), ValueError, r"does not lie inside the grid"),
    (lambda c, r: e.reduce(c, r, ["quantile"]), ValueError, "needs at least one value"),
    (lambda c, r: e.reduce(c, r, ["quantile"], quantiles=[0.5, 1.5]), ValueError, r"must lie in \[0, 1\]"),
    (lambda c, r: e.reduce(c, r, ["quantile"], quantiles=[math.nan]), ValueError, r"must lie in \[0, 1\]"),
    (lambda c, r: e.reduce(c, r, ["mean"], nodata="x"), TypeError, "nodata must be a number"),
    (lambda c, r: e.reduce(c, r, ["mean"], threads=-1), ValueError, "threads must be 0"),
    (lambda c, r: e.reduce(c, r, ["mean"], carry={"mean": np.zeros((1, 18, 1))}), ValueError,
     r"carry\['mean'\] must be a writable C-ordered float64 array of shape \(1, 18, 2\)"),
    (lambda c, r: e.reduce(c, r, ["min"], carry={"min": np.zeros((1, 18, 2)).view("i8")}), ValueError,
     r"carry\['min'\] must be"),
    (lambda c, r: e.reduce(c, r, ["sum"], carry=[]), TypeError, "carry must be a dict or None"),
    (lambda c, r: e.reduce(c, r, ["min", "max"], carry=dict.fromkeys(["min", "max"], np.zeros((1, 18, 2)))),
     ValueError, r"carry\['max'\] shares memory with carry\['min'\]"),
    (lambda c, r: e.reduce(c, r.reshape(1, 20, 24), ["sum"], carry={"sum": r.reshape(20, 24, 1)[:1, :18]}),
     ValueError, r"carry\['sum'\] shares memory with the raster"),
    (lambda c, r: e.build([WKB[0], b"\x01\x07\x00\x00\x00", b"\x01"], *GRID, threads=4), ValueError,
     "zone 1: Unsupported WKB geometry type: 7"),
    (lambda c, r: e.build(WKB, *GRID, method="Exact"), ValueError, "Unknown method 'Exact'"),
    (lambda c, r: e.build(WKB, *GRID[:4], 0.0, 1.0), ValueError, "dx must be a finite, non-zero cell size"),
])
def test_refused_arguments(cov, call, error, message):
    with pytest.raises(error, match=message):
        call(cov, np.ones((ROWS, COLS)))


def _signatures(tree, prefix=""):
    """name -> FunctionDef of every function and property in a stub, methods as Class.name."""
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[prefix + node.name] = node
        elif isinstance(node, ast.ClassDef):
            out[prefix + node.name] = None
            out.update(_signatures(node, f"{prefix}{node.name}."))
        elif isinstance(node, ast.AnnAssign):
            out[prefix + node.target.id] = None
    return out


def _plain(annotation):
    """An annotation without module prefixes: collections.abc.Sequence -> Sequence."""
    return re.sub(r"\b(?:[A-Za-z_]\w*\.)+(?=[A-Za-z_])", "", ast.unparse(annotation)) if annotation else None


def test_engine_stub_matches_the_module():
    stub = _signatures(ast.parse((Path(e.__file__).parent / "_engine.pyi").read_text()))
    public = {n for n in dir(e) if not n.startswith("_")}
    public |= {f"Coverage.{n}" for n in dir(e.Coverage) if not n.startswith("_")}
    assert set(stub) == public
    for name, fn in stub.items():
        if fn is None:
            continue
        obj = e
        for part in name.split("."):
            obj = getattr(obj, part) if obj is not e.Coverage else e.Coverage.__dict__[part]
        obj = obj.fget if isinstance(obj, property) else obj
        (text, _, defaults), = obj.__nb_signature__
        text = re.sub(r"\\(\d+)", r"_d\1", re.sub(r"^def \(", "def f(", text)) + ": ..."
        text = re.sub(r"ndarray\[dtype=[^\]]*\]", "ndarray", text)  # not Python syntax
        nb = ast.parse(text).body[0]
        for mine, theirs in [(fn.args.args, nb.args.args), (fn.args.kwonlyargs, nb.args.kwonlyargs)]:
            assert [a.arg for a in mine] == [a.arg for a in theirs], name
            for a, b in zip(mine, theirs):
                # nanobind says "object" for the arrays it takes as they come
                assert _plain(b.annotation) in (None, "object", "object | None", _plain(a.annotation)), (name, a.arg)
        given = [ast.literal_eval(d) for d in fn.args.defaults + [d for d in fn.args.kw_defaults if d]]
        expected = [tuple(d) if isinstance(d, list) else d for d in defaults or ()]
        assert given == expected, name
        # nanobind names containers without their items: tuple for tuple[int, int, ndarray]
        assert _plain(fn.returns).startswith(_plain(nb.returns)), name


def test_proven_valid_zones_are_valid_and_simple_rings_are_proven():
    """Every zone proven valid is valid by shapely's test, over rings on a small lattice (all
    the touching, collinear and folding cases) and random rings; simple rings are proven."""
    rng = np.random.default_rng(11)
    rings = [rng.integers(0, 4, (rng.integers(3, 9), 2)).astype(float) for _ in range(3000)]
    rings += [rng.normal(0, 1, (rng.integers(3, 40), 2)) * 1e6 + 5e8 for _ in range(500)]
    polygons = [shapely.Polygon(r) for r in rings]
    proven = e.proven_valid([p.wkb for p in polygons])
    assert proven.sum() > 400 and shapely.is_valid(np.array(polygons)[proven]).all()
    # outlines of basins (simple) of every size; a self-touching ring, a spike, a hole
    basins = [shapely.Polygon(np.column_stack([np.cos(a), np.sin(a)]) * r[:, None])
              for n in (3, 10, 1000, 100_000) for a in [np.linspace(0, 2 * np.pi, n, endpoint=False)]
              for r in [1 + 0.2 * np.sin(3 * a) + np.cumsum(rng.normal(0, 0.3 / n, n))]]
    assert e.proven_valid([p.wkb for p in basins]).all()
    others = [shapely.Polygon([(0, 0), (2, 0), (1, 1), (2, 2), (0, 2), (1, 1)]),
              shapely.Polygon([(0, 0), (2, 0), (2, 2), (2, 3), (2, 2), (0, 2)]),
              shapely.box(0, 0, 3, 3).difference(shapely.box(1, 1, 2, 2))]
    assert not e.proven_valid([p.wkb for p in others] + [b"\x01"]).any()
