"""``.qv`` on xarray objects: ``da.qv.zonal_stats(zones, ...)``, ``da.qv.coverage(zones)``."""

from __future__ import annotations

import xarray as xr


class _Accessor:
    def __init__(self, obj):
        self._obj = obj

    def coverage(self, zones, **kwargs):
        """A :class:`quorvalis.Coverage` of ``zones`` on this object's grid."""
        from ._coverage import Coverage

        return Coverage(zones, self._obj, **kwargs)


@xr.register_dataarray_accessor("qv")
class DataArrayAccessor(_Accessor):
    """Zonal statistics of this DataArray: ``da.qv.zonal_stats(zones, stats=[...])``."""

    def zonal_stats(self, zones, stats=None, **kwargs):
        from ._coverage import zonal_stats

        return zonal_stats(zones, self._obj, stats, **kwargs)


@xr.register_dataset_accessor("qv")
class DatasetAccessor(_Accessor):
    """Zonal statistics of every gridded variable (or of ``variables=[...]``) of a Dataset on
    one coverage; results are named ``{variable}_{statistic}``."""

    def zonal_stats(self, zones, stats=None, *, variables=None, id=None, method="exact",
                    threads=0, **kwargs):
        import pandas as pd

        from ._coverage import Coverage
        from ._raster import _spatial_dims

        ds = self._obj
        if variables is None:
            variables = [v for v in ds.data_vars if ds[v].ndim >= 2
                         and _spatial_dims(ds[v], False)]
        if not variables:
            raise ValueError("the Dataset has no gridded variable")
        cov = Coverage(zones, ds[variables[0]], id=id, method=method, threads=threads)
        stats = ["count", "min", "max", "mean"] if stats is None else stats
        parts = []
        for v in variables:
            out = cov.stats(ds[v], stats, **kwargs)
            if isinstance(out, pd.DataFrame):
                parts.append(out.add_prefix(f"{v}_"))
            else:
                parts.append(out.rename({k: f"{v}_{k}" for k in out.data_vars}))
        if isinstance(parts[0], pd.DataFrame):
            return pd.concat(parts, axis=1)
        return xr.merge(parts, combine_attrs="drop_conflicts")
