"""Rasters read over HTTP give the numbers of the same file read from disk."""

import numpy as np
import pandas as pd
import pytest
import shapely
from _http import RangeServer

import quorvalis as qv

rasterio = pytest.importorskip("rasterio")
SIZE = 2048


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    folder = tmp_path_factory.mktemp("remote")
    rng = np.random.default_rng(2)
    values = rng.integers(-500, 3000, (SIZE, SIZE), dtype=np.int16)
    values[100:140, 100:140] = -32768
    with rasterio.open(folder / "x.tif", "w", driver="GTiff", height=SIZE, width=SIZE, count=1,
                       dtype="int16", crs="EPSG:32631", nodata=-32768, tiled=True,
                       blockxsize=256, blockysize=256,
                       transform=rasterio.transform.from_origin(500000, 4000000, 10, 10)) as dst:
        dst.write(values, 1)
    with RangeServer(folder) as srv:
        yield srv, folder / "x.tif"


def zones():
    """Four squares and a disc inside the first tiles: about 1% of the raster."""
    x0, y0 = 500000, 4000000
    boxes = [shapely.box(x0 + 800 + 3000 * i, y0 - 2400, x0 + 1800 + 3000 * i, y0 - 1400)
             for i in range(4)]
    return boxes + [shapely.Point(x0 + 1500, y0 - 1200).buffer(300)]


@pytest.mark.parametrize("check", ["numbers", "bytes"])
def test_http_raster_gives_the_local_numbers(served, monkeypatch, check):
    srv, path = served
    monkeypatch.setenv("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR")
    stats = ["count", "mean", "max", "median", "nodata_count"]
    before = srv.sent
    # A query of its own per case: GDAL caches what it fetched by URL.
    remote = qv.zonal_stats(zones(), srv.url("x.tif") + f"?case={check}", stats=stats)
    fetched = srv.sent - before
    pd.testing.assert_frame_equal(remote, qv.zonal_stats(zones(), str(path), stats=stats))
    assert fetched > 0 and remote["count"].gt(0).all()
    if check == "bytes":
        assert fetched < 0.25 * path.stat().st_size, f"{fetched} of {path.stat().st_size} bytes"
