"""Coverage files: what comes back reduces bit for bit like the coverage that was saved."""

import numpy as np
import pandas as pd
import pytest
import shapely

import quorvalis as qv
from quorvalis import _engine

GRID = qv.Grid(0.0, 0.0, 15.0, 10.0, 0.5, 0.5, crs="EPSG:32631")
ZONES = [
    shapely.Polygon([(1.1, 1.3), (6.2, 0.7), (7.9, 5.1), (2.4, 8.8)], [[(3, 3), (5, 3), (4, 5)]]),
    None,  # no geometry: keeps its row
    shapely.MultiPolygon([shapely.box(8.3, 1.2, 10.6, 3.9), shapely.box(11.0, 6.1, 14.8, 9.9)]),
    shapely.box(20.0, 20.0, 21.0, 21.0),  # off the grid
    shapely.Point(3, 3).buffer(2.2),
]
IDS = [None, ["a", "b", "c", "d", "e"], np.array([5, 3, 9, 1, 7], np.uint16),
       pd.to_datetime([f"2020-01-0{i}" for i in range(1, 6)])]


@pytest.fixture(params=["windows", "rebuild"])
def engine(request, monkeypatch):
    if request.param == "rebuild":
        monkeypatch.delattr(_engine, "from_windows", raising=False)
    elif not hasattr(_engine, "from_windows"):
        pytest.skip("this engine cannot take saved fractions")
    return request.param


@pytest.mark.parametrize("method", ["exact", "center"])
@pytest.mark.parametrize("ids", IDS, ids=["range", "str", "uint16", "dates"])
def test_round_trip_gives_every_statistic_bit_for_bit(tmp_path, monkeypatch, engine, method, ids):
    rng = np.random.default_rng(4)
    raster = np.round(rng.normal(10.0, 3.0, GRID.shape), 1)
    raster[4, 5] = -9999.0
    cov = qv.Coverage(ZONES, GRID, id=ids, method=method)
    cov.to_file(tmp_path / "c.qvcov")
    if engine == "windows":  # the fractions come from the file: nothing may be built
        monkeypatch.setattr(_engine, "build", None)
    back = qv.Coverage.from_file(tmp_path / "c.qvcov", GRID)
    stats = [s for s in qv.STATS if s != "frac"]
    kw = dict(nodata=-9999.0, quantiles=[0.1, 0.5, 0.9])
    pd.testing.assert_frame_equal(back.stats(raster, stats, **kw), cov.stats(raster, stats, **kw),
                                  check_exact=True)
    classes = np.floor(raster / 4)
    pd.testing.assert_frame_equal(back.stats(classes, "frac"), cov.stats(classes, "frac"))
    pd.testing.assert_index_equal(back.ids, cov.ids, exact=True)
    assert (back.grid, back.grid.crs, back.method, len(back)) == (GRID, GRID.crs, method, 5)
    for k in range(5):
        for mine, theirs in zip(back.fractions(k), cov.fractions(k), strict=True):
            np.testing.assert_array_equal(mine, theirs)


def test_reading_checks_grid_version_and_integrity(tmp_path):
    path = tmp_path / "c.qvcov"
    qv.Coverage(ZONES, GRID).to_file(path)
    assert [p.name for p in tmp_path.iterdir()] == ["c.qvcov"]  # no temporary file left
    moved = qv.Grid(0.5, 0.0, 15.5, 10.0, 0.5, 0.5, crs=GRID.crs)
    with pytest.raises(ValueError, match="not on the raster's grid"):
        qv.Coverage.from_file(path, moved)
    with pytest.raises(ValueError, match="reproject"):
        qv.Coverage.from_file(path, qv.Grid(*GRID.astuple(), crs="EPSG:4326"))
    blob = path.read_bytes()
    bad = tmp_path / "bad.qvcov"
    for damaged in (blob[:len(blob) // 2], blob[:-1], blob[:-40] + b"\1" + blob[-39:],
                    blob.replace(b'"version": 1', b'"version": 9'), b"GIF89a" + blob[6:]):
        bad.write_bytes(damaged)
        with pytest.raises(ValueError, match="bad.qvcov"):
            qv.Coverage.from_file(bad)
    with pytest.raises(ValueError, match="ids must be"):
        qv.Coverage(ZONES, GRID, id=[b"a", b"b", b"c", b"d", b"e"]).to_file(tmp_path / "t.qvcov")
    assert not (tmp_path / "t.qvcov").exists()
