"""Labelled wrappers of the kernels for xarray DataArrays, NumPy- or Dask-backed.

Dimensions and units are dealt with here, once, at the edge: the kernels only
ever see C-ordered float64 blocks with the vertical (or horizontal) axes last.

- Results are Datasets over the input dims (``thermo``) or over the dims left
  when the vertical dim is reduced (``cold_pool``, ``profile``); ``gradient``
  keeps every dim. Coordinates that do not lie along a reduced dim are kept.
- Inputs are read in the units the kernels expect (K, Pa, m, m s-1, m s-2).
  A ``units`` attribute saying otherwise is converted for the common cases
  (degC to K, hPa/mbar/kPa to Pa, km to m, knots and km/h to m s-1) and
  refused with a ValueError naming the variable for anything else. A missing
  ``units`` attribute means the expected unit. Results carry CF ``units``.
- Dask-backed inputs give lazy results: one task per chunk calls the kernel
  on the chunk's own buffers (no copy when a chunk is C-ordered with the
  kernel's axes last), and each output of the chunk is a view of that task's
  result. The dims a kernel needs whole (the vertical dim; ``y`` and ``x``
  for ``gradient``) are merged into one chunk automatically; chunk along the
  other dims. Under Dask every call uses ``n_threads=1`` unless told
  otherwise: the scheduler already runs one task per core, and threads inside
  each task would only compete for them.
- Missing values are NaN, in and out, with the meaning the kernels give them.

Example::

    import radarkit.xarray as rkx

    ds = rkx.profile(z, u, v, dim="level", bottom=0.0, top=3000.0,
                     storm_u=cu, storm_v=cv)
    ds["helicity"]  # m2 s-2, over the dims of u other than "level"
"""

import math
from collections.abc import Callable, Hashable
from functools import partial
from typing import Any, cast

import numpy as np
import numpy.typing as npt

import _kestrin

try:
    import xarray as xr
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("radarkit.xarray needs xarray: pip install 'radarkit[xarray]'") from e

__all__ = ["cold_pool", "gradient", "profile", "thermo"]

Scalar = float | int
Operand = xr.DataArray | Scalar

# Unit spellings accepted for each quantity, lower-cased with blanks
# collapsed, and how to bring a value to the kernel's unit: (scale, offset),
# kernel value = value * scale + offset. Anything else is refused.
_KELVIN = {
    "k": (1.0, 0.0),
    "kelvin": (1.0, 0.0),
    "degk": (1.0, 0.0),
    "deg_k": (1.0, 0.0),
    "degc": (1.0, 273.15),
    "deg_c": (1.0, 273.15),
    "°c": (1.0, 273.15),
    "celsius": (1.0, 273.15),
    "degree_celsius": (1.0, 273.15),
    "degrees_celsius": (1.0, 273.15),
    "degree celsius": (1.0, 273.15),
    "degrees celsius": (1.0, 273.15),
}
_PASCAL = {
    "pa": (1.0, 0.0),
    "pascal": (1.0, 0.0),
    "pascals": (1.0, 0.0),
    "hpa": (100.0, 0.0),
    "hectopascal": (100.0, 0.0),
    "hectopascals": (100.0, 0.0),
    "mbar": (100.0, 0.0),
    "millibar": (100.0, 0.0),
    "millibars": (100.0, 0.0),
    "mb": (100.0, 0.0),
    "kpa": (1000.0, 0.0),
}
_METRE = {
    "m": (1.0, 0.0),
    "meter": (1.0, 0.0),
    "meters": (1.0, 0.0),
    "metre": (1.0, 0.0),
    "metres": (1.0, 0.0),
    "gpm": (1.0, 0.0),
    "km": (1000.0, 0.0),
    "kilometer": (1000.0, 0.0),
    "kilometers": (1000.0, 0.0),
    "kilometre": (1000.0, 0.0),
    "kilometres": (1000.0, 0.0),
}
_SPEED = {
    "m s-1": (1.0, 0.0),
    "m s**-1": (1.0, 0.0),
    "m s^-1": (1.0, 0.0),
    "m/s": (1.0, 0.0),
    "m.s-1": (1.0, 0.0),
    "meter / second": (1.0, 0.0),
    "meters/second": (1.0, 0.0),
    "meter/second": (1.0, 0.0),
    "metre/second": (1.0, 0.0),
    "knot": (1852.0 / 3600.0, 0.0),
    "knots": (1852.0 / 3600.0, 0.0),
    "kt": (1852.0 / 3600.0, 0.0),
    "kts": (1852.0 / 3600.0, 0.0),
    "km/h": (1000.0 / 3600.0, 0.0),
    "km h-1": (1000.0 / 3600.0, 0.0),
}
_ACCEL = {
    "m s-2": (1.0, 0.0),
    "m s**-2": (1.0, 0.0),
    "m s^-2": (1.0, 0.0),
    "m/s2": (1.0, 0.0),
    "m/s^2": (1.0, 0.0),
    "m/s**2": (1.0, 0.0),
    "m.s-2": (1.0, 0.0),
    "meter / second ** 2": (1.0, 0.0),
}


def _in_unit[T: Operand](value: T, name: str, table: dict[str, Any], unit: str) -> T:
    """`value` in the kernel's `unit`, converted if its ``units`` attribute
    says another accepted unit; ValueError naming `name` otherwise."""
    if not isinstance(value, xr.DataArray):
        return value
    given = value.attrs.get("units")
    if given is None:
        return value
    key = " ".join(str(given).split()).lower()
    if key not in table:
        raise ValueError(
            f"{name} has units {given!r}; expected {unit} (or one of: {', '.join(sorted(table))})"
        )
    scale, offset = table[key]
    if scale == 1.0 and offset == 0.0:
        return value
    out = value * scale if offset == 0.0 else value * scale + offset
    return cast(T, out.assign_attrs(units=unit))


def _data_array(value: object, name: str) -> xr.DataArray:
    if not isinstance(value, xr.DataArray):
        raise TypeError(f"{name} must be an xarray.DataArray, not {type(value).__name__}")
    return value


def _column_value(value: object, name: str) -> Operand:
    """A per-column argument: a DataArray over (some of) the column dims, or
    one number for every column."""
    if value is None:
        return math.nan
    if isinstance(value, xr.DataArray):
        return value
    try:
        return float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise TypeError(
            f"{name} must be a number or an xarray.DataArray, not {type(value).__name__}"
        ) from None


def _lazy(*values: object) -> bool:
    return any(isinstance(v, xr.DataArray) and v.chunks is not None for v in values)


def _threads(n_threads: int | None, lazy: bool) -> int:
    if n_threads is None:
        return 1 if lazy else 0
    return int(n_threads)


def _whole[T: Operand](value: T, dims: tuple[Hashable, ...]) -> T:
    """Merges the chunks of a Dask-backed DataArray along `dims`."""
    if isinstance(value, xr.DataArray) and value.chunks is not None:
        along = {d: -1 for d in dims if d in value.dims}
        if along:
            return cast(T, value.chunk(along))
    return value


def _apply(
    func: Callable[..., Any],
    args: list[Any],
    core: list[Any],
    out_core: list[Any],
    lazy: bool,
    nout: int,
) -> tuple[xr.DataArray, ...]:
    """The block function over the arguments: one call for NumPy data, one
    task per chunk for Dask data. `func` returns one array with the outputs
    stacked along a leading axis."""
    run = partial(_graph, func, core, out_core[0], nout) if lazy else partial(_split, func)
    out = xr.apply_ufunc(
        run,
        *args,
        input_core_dims=core,
        output_core_dims=out_core,
        keep_attrs=False,
        dask="allowed",
    )
    return out if isinstance(out, tuple) else (out,)


def _split(func: Callable[..., Any], *blocks: object) -> tuple[Any, ...]:
    return tuple(func(*blocks))


def _graph(
    func: Callable[..., Any], core: list[Any], out_core: list[Any], nout: int, *data: object
) -> tuple[Any, ...]:
    """The Dask graph of `func` over arrays laid out by xarray (core dims
    last, loop dims aligned on the right): one task per chunk, whose result
    holds the `nout` outputs stacked, and one view of it per output.

    ``apply_ufunc(dask="parallelized")`` copies every input block once more
    before each call (it joins the blocks along the core dims even when
    there is only one) and adds two transpose tasks per output and chunk;
    this graph does neither. The core dims are one chunk already (`_whole`).
    """
    import dask.array as da

    nloop = max(
        np.ndim(a) - len(c) for a, c in zip(data, core) if isinstance(a, (np.ndarray, da.Array))
    )
    loop = tuple(f"loop{i}" for i in range(nloop))
    args: list[Any] = []
    for a, c in zip(data, core):
        if isinstance(a, (np.ndarray, da.Array)):
            own = np.ndim(a) - len(c)
            args += [a, loop[nloop - own :] + tuple(f"core-{d}" for d in c)]
        else:
            args += [a, None]
    out_ind = ("output", *loop, *(f"core-{d}" for d in out_core))
    name = getattr(func, "func", func).__name__.strip("_")
    stacked = da.blockwise(  # type: ignore[no-untyped-call]
        partial(_one_block, func),
        out_ind,
        *args,
        new_axes={"output": nout},
        concatenate=False,
        dtype=np.float64,
        meta=np.empty((0,) * len(out_ind), np.float64),
        token=name,
    )
    # one view per output and chunk: Dask's own indexing would copy each
    # (it frees the rest of a block that way; here all outputs share it)
    rest = out_ind[1:]
    return tuple(
        da.blockwise(  # type: ignore[no-untyped-call]
            _pick,
            rest,
            stacked,
            out_ind,
            i,
            None,
            concatenate=False,
            dtype=np.float64,
            meta=np.empty((0,) * len(rest), np.float64),
            token=f"{name}-{i}",
        )
        for i in range(nout)
    )


def _one_block(func: Callable[..., Any], *blocks: object) -> Any:
    return func(*(_only(b) for b in blocks))


def _pick(blocks: list[Any], i: int) -> Any:
    return _only(blocks)[i]  # type: ignore[index]


def _only(block: object) -> object:
    # blockwise without joining hands a list of blocks along each dim it
    # contracts; the core dims are one chunk, so each list holds one block
    while isinstance(block, list):
        if len(block) != 1:
            raise ValueError("a core dim spans several chunks")
        block = block[0]
    return block


def _flat(a: npt.ArrayLike, shape: tuple[int, ...]) -> np.ndarray:
    """`a` broadcast to `shape` as one C-ordered float64 block; no copy when
    it already is one."""
    a = np.asarray(a, dtype=np.float64)
    if a.shape != shape:
        a = np.broadcast_to(a, shape)
    return np.ascontiguousarray(a)


def _thermo_block(t: Any, p: Any, td: Any, *, n_threads: int) -> Any:
    shape = np.broadcast_shapes(np.shape(t), np.shape(p), np.shape(td))
    out = _kestrin.thermo(_flat(t, shape), _flat(p, shape), _flat(td, shape), n_threads)
    return out.reshape((out.shape[0], *shape))


def _columns(shape: tuple[int, ...]) -> tuple[tuple[int, ...], int, int]:
    """Column dims, column count and level count of a (..., levels) shape."""
    return shape[:-1], math.prod(shape[:-1]), shape[-1]


def _cold_pool_block(
    z: Any, b: Any, bottom: Any, top: Any, *, threshold: float, n_threads: int
) -> Any:
    shape = np.broadcast_shapes(np.shape(z), np.shape(b))
    cols, ncol, nlev = _columns(shape)
    out = _kestrin.cold_pool(
        _flat(z, shape).reshape(ncol, nlev),
        _flat(b, shape).reshape(ncol, nlev),
        _flat(bottom, cols),
        threshold,
        _flat(top, cols),
        n_threads,
    )
    return out.reshape((out.shape[0], *cols))


def _profile_block(
    z: Any,
    u: Any,
    v: Any,
    ground: Any,
    cu: Any,
    cv: Any,
    *,
    bottom: float,
    top: float,
    n_threads: int,
) -> Any:
    shape = np.broadcast_shapes(np.shape(z), np.shape(u), np.shape(v))
    cols, ncol, nlev = _columns(shape)
    out = _kestrin.profile(
        _flat(z, shape),
        _flat(u, shape).reshape(ncol, nlev),
        _flat(v, shape),
        _flat(ground, cols),
        bottom,
        top,
        _flat(cu, cols),
        _flat(cv, cols),
        n_threads,
    )
    return out.reshape((out.shape[0], *cols))


def _gradient_block(f: Any, *, x: Any, y: Any, n_threads: int) -> Any:
    shape = np.shape(f)
    ny, nx = shape[-2:]
    f = _flat(f, shape).reshape(math.prod(shape[:-2]), ny, nx)
    return _kestrin.gradient(f, x, y, n_threads).reshape((2, *shape))


def _dataset(
    names: list[str],
    arrays: tuple[xr.DataArray, ...],
    attrs: list[dict[str, Any]],
    **ds_attrs: object,
) -> xr.Dataset:
    return xr.Dataset(
        {n: a.assign_attrs(**at) for n, a, at in zip(names, arrays, attrs)}, attrs=ds_attrs
    )


def thermo(t: xr.DataArray, p: Operand, td: Operand, *, n_threads: int | None = None) -> xr.Dataset:
    """Mixing ratio and potential temperatures of every point.

    Parameters
    ----------
    t : DataArray
        Air temperature, K (or degC).
    p : DataArray or number
        Pressure, Pa (or hPa, mbar, kPa). A pressure-level coordinate such as
        ``t["level"]`` broadcasts over the other dims.
    td : DataArray or number
        Dew point, K (or degC); NaN (or None for all points) marks a missing
        dew point. A dew point above the temperature is taken as the
        temperature.
    n_threads : int, optional
        Worker threads per kernel call; default all cores for NumPy-backed
        data, 1 under Dask.

    Returns
    -------
    Dataset
        ``mixing_ratio`` (kg kg-1), ``theta``, ``theta_v``, ``theta_e`` (K),
        over the broadcast dims of the three inputs, coordinates kept. A
        missing dew point gives NaN everywhere but ``theta``.

    Example
    -------
    >>> t = xr.DataArray([27.0, 20.0], dims="site", attrs={"units": "degC"})
    >>> p = xr.DataArray([1000.0, 850.0], dims="site", attrs={"units": "hPa"})
    >>> td = xr.DataArray([290.0, 283.15], dims="site", attrs={"units": "K"})
    >>> thermo(t, p, td)["theta_e"].values  # about [336.039, 334.933]
    """
    t = _in_unit(_data_array(t, "t"), "t", _KELVIN, "K")
    if p is None:
        raise TypeError("p must be a number or an xarray.DataArray, not NoneType")
    p = _in_unit(_column_value(p, "p"), "p", _PASCAL, "Pa")
    td = _in_unit(_column_value(td, "td"), "td", _KELVIN, "K")
    lazy = _lazy(t, p, td)
    func = partial(_thermo_block, n_threads=_threads(n_threads, lazy))
    out = _apply(func, [t, p, td], [[], [], []], [[]] * 4, lazy, 4)
    return _dataset(
        ["mixing_ratio", "theta", "theta_v", "theta_e"],
        out,
        [
            {"units": "kg kg-1", "long_name": "water vapour mixing ratio"},
            {"units": "K", "long_name": "potential temperature"},
            {"units": "K", "long_name": "virtual potential temperature"},
            {"units": "K", "long_name": "equivalent potential temperature"},
        ],
    )


def cold_pool(
    z: xr.DataArray,
    b: xr.DataArray,
    *,
    dim: Hashable,
    bottom: Operand | None = None,
    threshold: float = 0.0,
    top: Operand | None = None,
    n_threads: int | None = None,
) -> xr.Dataset:
    """Intensity and depth of the negatively buoyant layer of every column.

    Parameters
    ----------
    z : DataArray
        Heights of the levels, m (or km); may hold only `dim` (the same
        heights in every column) or the full grid. Lowest level first.
    b : DataArray
        Buoyancy, m s-2, over `dim` and the column dims.
    dim : hashable
        Name of the vertical dim, in any position.
    bottom : DataArray or number, optional
        Lowest height at which a column's integration may start, m; None or
        NaN: no lower limit.
    threshold : float
        Buoyancy that ends the cold pool, m s-2 (threshold mode).
    top : DataArray or number, optional
        Fixed integration depth above the start level, m; None or NaN selects
        threshold mode for that column.
    n_threads : int, optional
        Worker threads per kernel call; default all cores for NumPy-backed
        data, 1 under Dask.

    Returns
    -------
    Dataset
        Over the dims other than `dim`: ``intensity`` (m s-1, the square root
        of twice the integral of -b over height), ``depth`` (m, above the
        start level) and ``ran_out`` (1 where threshold mode reached the last
        valid level before the threshold, else 0). A column without a result
        is NaN in all three.

    Example
    -------
    >>> z = xr.DataArray([0.0, 100.0, 200.0], dims="level")
    >>> b = xr.DataArray([[-0.02, -0.01, 0.0]], dims=("site", "level"))
    >>> cold_pool(z, b, dim="level", threshold=-0.005)["depth"].values  # [150.]
    """
    z = _in_unit(_data_array(z, "z"), "z", _METRE, "m")
    b = _in_unit(_data_array(b, "b"), "b", _ACCEL, "m s-2")
    bottom = _in_unit(_column_value(bottom, "bottom"), "bottom", _METRE, "m")
    top = _in_unit(_column_value(top, "top"), "top", _METRE, "m")
    _has_dim(dim, b, "b", z, "z")
    _not_along(dim, bottom, "bottom", top, "top")
    lazy = _lazy(z, b, bottom, top)
    z, b = _whole(z, (dim,)), _whole(b, (dim,))
    func = partial(
        _cold_pool_block, threshold=float(threshold), n_threads=_threads(n_threads, lazy)
    )
    core = [[dim], [dim], [], []]
    out = _apply(func, [z, b, bottom, top], core, [[]] * 3, lazy, 3)
    return _dataset(
        ["intensity", "depth", "ran_out"],
        out,
        [
            {"units": "m s-1", "long_name": "cold-pool intensity"},
            {"units": "m", "long_name": "cold-pool depth above the start level"},
            {
                "units": "1",
                "long_name": "data ended before the buoyancy threshold",
                "flag_values": "0 1",
                "flag_meanings": "threshold_met data_ended",
            },
        ],
        threshold=float(threshold),
    )


def profile(
    z: xr.DataArray,
    u: xr.DataArray,
    v: xr.DataArray,
    *,
    dim: Hashable,
    ground: Operand | None = None,
    bottom: float = 0.0,
    top: float,
    storm_u: Operand = 0.0,
    storm_v: Operand = 0.0,
    n_threads: int | None = None,
) -> xr.Dataset:
    """Layer winds, storm-relative helicity and mean wind of every column.

    Parameters
    ----------
    z : DataArray
        Heights of the levels, m (or km), in the datum of `ground`; may hold
        only `dim` or the full grid. Lowest level first.
    u, v : DataArray
        Wind components, m s-1 (or knots, km/h), over `dim` and the column
        dims. A level with NaN in z, u or v is skipped.
    dim : hashable
        Name of the vertical dim, in any position.
    ground : DataArray or number, optional
        Ground height of each column, m; None or NaN: the height of the
        column's lowest valid level.
    bottom, top : float
        The layer, m above ground.
    storm_u, storm_v : DataArray or number
        Storm motion, m s-1; default 0 (ground-relative helicity). NaN blanks
        only ``helicity``.
    n_threads : int, optional
        Worker threads per kernel call; default all cores for NumPy-backed
        data, 1 under Dask.

    Returns
    -------
    Dataset
        Over the dims other than `dim`: ``u_bottom``, ``v_bottom``,
        ``u_top``, ``v_top`` (m s-1, wind at the layer bottom and top; their
        differences are the bulk shear), ``helicity`` (m2 s-2, storm-relative
        helicity of the layer), ``mean_u``, ``mean_v`` (m s-1, depth-weighted
        mean wind). A column where the layer lies outside the data is NaN.

    Example
    -------
    >>> z = xr.DataArray([0.0, 1000.0], dims="level", attrs={"units": "m"})
    >>> u = xr.DataArray([[0.0, 10.0]], dims=("site", "level"))
    >>> v = xr.DataArray([[10.0, 10.0]], dims=("site", "level"))
    >>> profile(z, u, v, dim="level", top=1000.0)["helicity"].values  # [100.]
    """
    z = _in_unit(_data_array(z, "z"), "z", _METRE, "m")
    u = _in_unit(_data_array(u, "u"), "u", _SPEED, "m s-1")
    v = _in_unit(_data_array(v, "v"), "v", _SPEED, "m s-1")
    ground = _in_unit(_column_value(ground, "ground"), "ground", _METRE, "m")
    storm_u = _in_unit(_column_value(storm_u, "storm_u"), "storm_u", _SPEED, "m s-1")
    storm_v = _in_unit(_column_value(storm_v, "storm_v"), "storm_v", _SPEED, "m s-1")
    _has_dim(dim, u, "u", v, "v", z, "z")
    _not_along(dim, ground, "ground", storm_u, "storm_u", storm_v, "storm_v")
    lazy = _lazy(z, u, v, ground, storm_u, storm_v)
    z, u, v = (_whole(a, (dim,)) for a in (z, u, v))
    func = partial(
        _profile_block, bottom=float(bottom), top=float(top), n_threads=_threads(n_threads, lazy)
    )
    core = [[dim], [dim], [dim], [], [], []]
    out = _apply(func, [z, u, v, ground, storm_u, storm_v], core, [[]] * 7, lazy, 7)
    wind = "m s-1"
    return _dataset(
        ["u_bottom", "v_bottom", "u_top", "v_top", "helicity", "mean_u", "mean_v"],
        out,
        [
            {"units": wind, "long_name": "eastward wind at the layer bottom"},
            {"units": wind, "long_name": "northward wind at the layer bottom"},
            {"units": wind, "long_name": "eastward wind at the layer top"},
            {"units": wind, "long_name": "northward wind at the layer top"},
            {"units": "m2 s-2", "long_name": "storm-relative helicity of the layer"},
            {"units": wind, "long_name": "depth-weighted mean eastward wind of the layer"},
            {"units": wind, "long_name": "depth-weighted mean northward wind of the layer"},
        ],
        layer_bottom=float(bottom),
        layer_top=float(top),
        layer_units="m above ground",
    )


def gradient(
    f: xr.DataArray, *, x: Hashable, y: Hashable, n_threads: int | None = None
) -> xr.Dataset:
    """Horizontal derivatives of gridded fields on their own coordinates.

    Parameters
    ----------
    f : DataArray
        Fields with the dims `x` and `y` in any position; every other dim is
        a batch of fields. Both dims need 1-D numeric coordinates, possibly
        unevenly spaced. Under Dask each field is handled whole: `x` and `y`
        are merged into one chunk (every point needs its neighbours), so
        chunk along the other dims.
    x, y : hashable
        Names of the two horizontal dims.
    n_threads : int, optional
        Worker threads per kernel call; default all cores for NumPy-backed
        data, 1 under Dask.

    Returns
    -------
    Dataset
        ``dfdx`` and ``dfdy`` with the dims and coordinates of `f`: centred
        differences, one-sided at the edges and next to missing values, NaN
        where no neighbour is usable. Units are those of `f` over those of
        the coordinate, when both are given.

    Example
    -------
    >>> f = xr.DataArray([[1.0, 2.0, 4.0]], dims=("y", "x"),
    ...                  coords={"x": [0.0, 1.0, 3.0], "y": [0.0]})
    >>> gradient(f, x="x", y="y")["dfdx"].values  # [[1., 1., 1.]]
    """
    f = _data_array(f, "f")
    _has_dim(x, f, "f")
    _has_dim(y, f, "f")
    if x == y:
        raise ValueError("x and y must name two different dims")
    cx, cy = _coordinate(f, x), _coordinate(f, y)
    lazy = _lazy(f)
    f = _whole(f, (y, x))
    func = partial(_gradient_block, x=cx.values, y=cy.values, n_threads=_threads(n_threads, lazy))
    out = _apply(func, [f], [[y, x]], [[y, x], [y, x]], lazy, 2)
    # the kernel's axes are (..., y, x); give the results the order of f
    out = tuple(a.transpose(*f.dims) for a in out)
    fu = f.attrs.get("units")
    return _dataset(
        ["dfdx", "dfdy"],
        out,
        [
            _per(fu, cx.attrs.get("units"), f"derivative along {x}"),
            _per(fu, cy.attrs.get("units"), f"derivative along {y}"),
        ],
    )


def _coordinate(f: xr.DataArray, d: Hashable) -> xr.DataArray:
    if d not in f.coords or f.coords[d].dims != (d,):
        raise ValueError(f"f needs a 1-D coordinate for dim {d!r} (the grid spacing)")
    c = f.coords[d]
    if not np.issubdtype(c.dtype, np.number):
        raise ValueError(f"coordinate {d!r} of f must be numeric, not {c.dtype}")
    return cast(xr.DataArray, c)


def _per(fu: object, cu: object, long_name: str) -> dict[str, Any]:
    attrs: dict[str, Any] = {"long_name": long_name}
    if fu is not None and cu is not None:
        cu = str(cu)
        attrs["units"] = f"{fu} {cu}-1" if cu.isalpha() else f"({fu})/({cu})"
    return attrs


def _has_dim(dim: Hashable, *named: object) -> None:
    for value, name in zip(named[::2], named[1::2]):
        if dim not in value.dims:  # type: ignore[attr-defined]
            raise ValueError(f"{name} has no dim {dim!r} (its dims: {value.dims})")  # type: ignore[attr-defined]


def _not_along(dim: Hashable, *named: object) -> None:
    for value, name in zip(named[::2], named[1::2]):
        if isinstance(value, xr.DataArray) and dim in value.dims:
            raise ValueError(f"{name} is one value per column and must not have the dim {dim!r}")
