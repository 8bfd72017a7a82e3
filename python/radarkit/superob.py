"""Superobservations: the gates of a radar volume averaged in boxes, per sweep.

Operational and research assimilation systems do not take every gate of a volume: they average
the gates of a box into one observation whose error comes from the box's spread. Two box
layouts, each per sweep (tilt):

- polar boxes of `range_step` metres by `azimuth_step` degrees (NCEP GSI's 5 km by 5 degrees);
- horizontal cells: a square grid of `spacing` metres in the radar's azimuthal-equidistant plane
  (x = s sin az, y = s cos az from the gate's ground distance s and the ray's azimuth, cells
  centred on multiples of `spacing`, the radar at the centre of a cell), or the cells of a
  model grid given by the latitude and longitude of its mass points (a WRF ``wrfinput`` or
  ``geo_em`` file opened with xarray): a gate goes to the column nearest to it, within half a
  grid step.

Per (sweep, box): gate count, mean radial velocity and its spread (sample standard
deviation), reflectivity averaged in linear units Z = 10^(dBZ/10) and returned in dBZ (with the
spread of the dBZ values), mean beam height above sea level, mean time, the latitude and
longitude of the mean gate position (the mean of x and y, taken back along the WGS84
geodesic) and the beam direction there (the azimuth of that geodesic at the box, and the mean
local elevation of the gates), and the sweep's Nyquist velocity. Velocity and reflectivity
have their own gates, so each has its own count and position.

A box is kept when it holds at least `min_count` gates of the moment (50 for polar boxes, as
GSI; 3 for grid cells, as the per-tilt analyses of pyOPAWS) and, for velocity, when its spread
is at most `max_spread` (6 m/s, as GSI). Averaging folded velocities is meaningless: velocity
superobservations take dealiased velocities (see `superob`).

The sums run in the compiled module `_polar` on all cores, each box's gates added in the
order of the arrays (ray by ray, along each ray), so results are the same bits for every
thread count.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _polar

from . import _optional
from .geometry import beam_geometry
from .moments import volume_moments
from .qc import MAX_RANGE, TEXTURE_GATES, GateFilter, _span, gate_filter
from .readers import as_volume
from .volume import AUTO, _coordinate, choose_moment, list_sweeps, nyquist_velocity, radar_site

__all__ = [
    "BoxMeans",
    "Columns",
    "Superobs",
    "parse_boxes",
    "superob",
    "superob_arrays",
    "superob_columns",
    "superob_observations",
]

RANGE_STEP = 5000.0  # m, GSI
AZIMUTH_STEP = 5.0  # degrees, GSI
SPACING = 3000.0  # m, pyOPAWS / Warn-on-Forecast per-tilt analyses
MIN_COUNT_POLAR = 50  # gates, GSI
MIN_COUNT_GRID = 3  # gates, pyOPAWS
MAX_SPREAD = 6.0  # m/s, GSI

Array = npt.NDArray[np.float64]
_GRID_LAT = ("XLAT_M", "XLAT", "lat", "latitude", "LAT", "nav_lat")
_GRID_LON = ("XLONG_M", "XLONG", "lon", "longitude", "LON", "nav_lon")


class BoxMeans(NamedTuple):
    """Superobservations of one moment, one entry per box holding at least one gate of it.

    Attributes
    ----------
    sweep : (n,) int64
        Index of the box's sweep in the sweeps given.
    row, column : (n,) int64
        The box in its sweep: for polar boxes the azimuth interval (from north, clockwise) and
        the range interval (from the radar); for a square grid the cell's signed row (south to
        north) and column (west to east), the radar's cell being (0, 0); for a model grid the
        mass point's indices (south_north, west_east).
    value : (n,) float64
        Mean radial velocity (m/s), or reflectivity averaged in Z and given in dBZ.
    spread : (n,) float64
        Sample standard deviation of the gates' values (m/s or dBZ); NaN for one gate.
    gates : (n,) int64
        Gates averaged.
    kept : (n,) bool
        Whether the box passes `min_count` (and, for velocity, `max_spread`).
    latitude, longitude : (n,) float64
        Position of the mean gate position, degrees north and east (WGS84).
    height : (n,) float64
        Mean gate height above sea level, m (4/3 effective earth).
    time : (n,) datetime64[ns]
        Mean ray time of the gates.
    beam_azimuth, beam_elevation : (n,) float64
        Beam direction at the box: azimuth of the geodesic from the radar there, clockwise from
        north, and the mean local elevation of the gates, degrees.
    nyquist : (n,) float64
        Nyquist velocity of the sweep (median of its rays), m/s; NaN if not known.
    """

    sweep: np.ndarray
    row: np.ndarray
    column: np.ndarray
    value: np.ndarray
    spread: np.ndarray
    gates: np.ndarray
    kept: np.ndarray
    latitude: np.ndarray
    longitude: np.ndarray
    height: np.ndarray
    time: np.ndarray
    beam_azimuth: np.ndarray
    beam_elevation: np.ndarray
    nyquist: np.ndarray


class Superobs(NamedTuple):
    """What `superob_arrays` returns.

    Attributes
    ----------
    velocity, reflectivity : BoxMeans
        The boxes of each moment (empty when the moment is absent).
    rejected : dict
        Boxes holding gates but not kept: ``velocity_count`` (fewer than `min_count` gates),
        ``velocity_spread`` (enough gates, spread above `max_spread`), ``reflectivity_count``.
    layout : dict
        The boxes: ``boxes`` ("polar", "grid" or "model") and their parameters
        (``range_step``, ``azimuth_step``; ``spacing``; ``shape`` of the model grid), the
        ``shape`` (rows, columns) of the polar layout, the ``half_width`` in cells of the
        square grid, and ``min_count``, ``max_spread``.
    """

    velocity: BoxMeans
    reflectivity: BoxMeans
    rejected: dict[str, int]
    layout: dict[str, Any]


# ---------------------------------------------------------------------------------------------
# Box layouts


@dataclasses.dataclass
class _ModelGrid:
    """Mass points of a model grid (ny, nx) and the nearest column of any point."""

    latitude: np.ndarray
    longitude: np.ndarray
    _planes: dict[tuple[float, float], tuple[Array, Array, Array]] = dataclasses.field(
        default_factory=dict
    )
    _rasters: dict[tuple[float, float, float], tuple[float, float, float, Array, Array]] = (
        dataclasses.field(default_factory=dict)
    )

    @classmethod
    def of(cls, grid: Any) -> _ModelGrid:
        lat = lon = None
        if isinstance(grid, tuple) and len(grid) == 2:
            lat, lon = grid
        elif isinstance(grid, (tuple, list)) or not (
            hasattr(grid, "variables") or isinstance(grid, Mapping)
        ):
            raise ValueError(
                "grid must be a Dataset or mapping with the latitude/longitude of its mass "
                f"points, or a (latitude, longitude) pair, not {type(grid).__name__}"
                + (f" of {len(grid)}" if isinstance(grid, (tuple, list)) else "")
            )
        else:
            keys = grid.variables if hasattr(grid, "variables") else grid
            found_lat = next((k for k in _GRID_LAT if k in keys), None)
            found_lon = next((k for k in _GRID_LON if k in keys), None)
            if found_lat is None or found_lon is None:
                raise ValueError(
                    "grid has no latitude/longitude of its mass points (looked for "
                    f"{'/'.join(_GRID_LAT)} and {'/'.join(_GRID_LON)})"
                )
            lat, lon = grid[found_lat], grid[found_lon]
        lat = np.asarray(getattr(lat, "values", lat), dtype=np.float64)
        lon = np.asarray(getattr(lon, "values", lon), dtype=np.float64)
        while lat.ndim > 2 and lat.shape[0] == 1:  # WRF's Time axis
            lat, lon = lat[0], lon[0]
        if lat.ndim == 3:
            lat, lon = lat[0], lon[0]
        if lat.ndim != 2 or lat.shape != lon.shape or min(lat.shape) < 2:
            raise ValueError(
                "grid latitude and longitude must be 2-D arrays of one shape (south_north, "
                f"west_east), at least 2 x 2, not {lat.shape} and {lon.shape}"
            )
        if not (np.isfinite(lat).all() and np.isfinite(lon).all()):
            raise ValueError("grid latitude and longitude must be finite")
        if np.abs(lat).max() > 90.0:
            raise ValueError("grid latitude must lie within [-90, 90] degrees")
        return cls(lat, lon)

    def plane(self, radar_lat: float, radar_lon: float) -> tuple[Array, Array, Array]:
        """Mass points in the radar's azimuthal-equidistant plane, and an affine first guess
        of (column, row) from (x, y)."""
        key = (radar_lat, radar_lon)
        if key not in self._planes:
            try:
                import pyproj
            except ImportError:
                raise ImportError(
                    "superobservations on a model grid need pyproj: pip install pyproj"
                ) from None
            proj = pyproj.Proj(proj="aeqd", lat_0=radar_lat, lon_0=radar_lon, ellps="WGS84")
            x, y = proj(self.longitude, self.latitude)
            ny, nx = x.shape
            jj, ii = np.mgrid[0:ny, 0:nx]
            a = np.column_stack([x.ravel(), y.ravel(), np.ones(x.size)])
            coef, *_ = np.linalg.lstsq(a, np.column_stack([ii.ravel(), jj.ravel()]), rcond=None)
            self._planes[key] = (np.asarray(x), np.asarray(y), coef)
        return self._planes[key]

    def fractional(
        self, radar_lat: float, radar_lon: float, px: np.ndarray, py: np.ndarray
    ) -> tuple[Array, Array]:
        """Fractional grid indices (column, row) of points (x, y) of the radar's plane: Newton's
        method on the bilinear map from indices to the plane, from an affine first guess
        (beyond the grid, the map of the nearest cell extended)."""
        X, Y, coef = self.plane(radar_lat, radar_lon)
        ny, nx = X.shape
        fi = px * coef[0, 0] + py * coef[1, 0] + coef[2, 0]
        fj = px * coef[0, 1] + py * coef[1, 1] + coef[2, 1]
        for _ in range(6):
            i0 = np.clip(np.floor(np.nan_to_num(fi)), 0, nx - 2).astype(np.intp)
            j0 = np.clip(np.floor(np.nan_to_num(fj)), 0, ny - 2).astype(np.intp)
            u, w = fi - i0, fj - j0
            x00, x10, x01, x11 = X[j0, i0], X[j0, i0 + 1], X[j0 + 1, i0], X[j0 + 1, i0 + 1]
            y00, y10, y01, y11 = Y[j0, i0], Y[j0, i0 + 1], Y[j0 + 1, i0], Y[j0 + 1, i0 + 1]
            xu = (1 - w) * (x10 - x00) + w * (x11 - x01)
            xw = (1 - u) * (x01 - x00) + u * (x11 - x10)
            yu = (1 - w) * (y10 - y00) + w * (y11 - y01)
            yw = (1 - u) * (y01 - y00) + u * (y11 - y10)
            rx = px - ((1 - u) * ((1 - w) * x00 + w * x01) + u * ((1 - w) * x10 + w * x11))
            ry = py - ((1 - u) * ((1 - w) * y00 + w * y01) + u * ((1 - w) * y10 + w * y11))
            det = xu * yw - xw * yu
            with np.errstate(invalid="ignore", divide="ignore"):
                fi = fi + (yw * rx - xw * ry) / det
                fj = fj + (xu * ry - yu * rx) / det
        return fi, fj

    def _raster(
        self, radar_lat: float, radar_lon: float, reach: float
    ) -> tuple[float, float, float, Array, Array]:
        """Fractional indices on a raster of half the grid's spacing over the part of the grid
        within `reach` of the radar: (x0, y0, step, column, row). Cached per radar and reach."""
        X, Y, _ = self.plane(radar_lat, radar_lon)
        step = 0.5 * float(
            min(
                np.median(np.hypot(np.diff(X, axis=1), np.diff(Y, axis=1))),
                np.median(np.hypot(np.diff(X, axis=0), np.diff(Y, axis=0))),
            )
        )
        # the reach rounded up, so that the sweeps of a volume share one raster
        reach = step * 32.0 * np.ceil(reach / (step * 32.0) + 1e-9)
        key = (radar_lat, radar_lon, reach)
        if key not in self._rasters:
            pad = 4.0 * step
            x0 = max(-reach, float(X.min()) - pad)
            y0 = max(-reach, float(Y.min()) - pad)
            x1 = min(reach, float(X.max()) + pad)
            y1 = min(reach, float(Y.max()) + pad)
            xs = x0 + step * np.arange(max(int(np.ceil((x1 - x0) / step)) + 2, 2))
            ys = y0 + step * np.arange(max(int(np.ceil((y1 - y0) / step)) + 2, 2))
            gx, gy = np.meshgrid(xs, ys)
            fi, fj = self.fractional(radar_lat, radar_lon, gx, gy)
            self._rasters[key] = (x0, y0, step, fi, fj)
        return self._rasters[key]

    def nearest(
        self, radar_lat: float, radar_lon: float, px: np.ndarray, py: np.ndarray
    ) -> npt.NDArray[np.int64]:
        """Flat index j * nx + i of the column nearest to each point (x, y) of the radar's
        plane, -1 outside the grid: the point's fractional grid indices (see `fractional`),
        rounded; the nearest mass point of a grid regular in its own projection.

        The fractional indices are interpolated bilinearly from a raster of half the grid's
        spacing where they were solved exactly; the map from the plane to the indices is so
        smooth (a projection's scale varies by about 1e-4 per 100 km) that the interpolation
        moves a point by well under a millimetre.
        """
        ny, nx = self.latitude.shape
        out = np.full(np.shape(px), -1, dtype=np.int64)
        if not np.size(px):
            return out
        reach = float(max(np.nanmax(np.abs(px)), np.nanmax(np.abs(py)), 1.0))
        x0, y0, step, FI, FJ = self._raster(radar_lat, radar_lon, reach)
        u = (px - x0) / step
        v = (py - y0) / step
        ok = (u >= 0) & (v >= 0) & (u <= FI.shape[1] - 1) & (v <= FI.shape[0] - 1)
        u, v = u[ok], v[ok]
        c = np.minimum(np.floor(u), FI.shape[1] - 2).astype(np.intp)
        r = np.minimum(np.floor(v), FI.shape[0] - 2).astype(np.intp)
        a, b = u - c, v - r

        def lerp(F: np.ndarray) -> np.ndarray:
            low = (1 - a) * F[r, c] + a * F[r, c + 1]
            high = (1 - a) * F[r + 1, c] + a * F[r + 1, c + 1]
            result: np.ndarray = (1 - b) * low + b * high
            return result

        i, j = np.rint(lerp(FI)), np.rint(lerp(FJ))
        inside = (i >= 0) & (i < nx) & (j >= 0) & (j < ny)
        out[ok] = np.where(inside, j * nx + i, -1).astype(np.int64)
        return out


def _layout(
    boxes: str | None, range_step: float, azimuth_step: float, spacing: float | None, grid: Any
) -> dict[str, Any]:
    if boxes is None:
        boxes = "model" if grid is not None else "grid" if spacing is not None else "polar"
    if boxes not in ("polar", "grid", "model"):
        raise ValueError(f"boxes must be 'polar', 'grid' or 'model', not {boxes!r}")
    if boxes == "polar":
        for name, x in (("range_step", range_step), ("azimuth_step", azimuth_step)):
            if not (np.isfinite(x) and x > 0):
                raise ValueError(f"{name} must be a positive number, not {x!r}")
        if azimuth_step > 360:
            raise ValueError(f"azimuth_step must be at most 360 degrees, not {azimuth_step!r}")
        return {
            "boxes": "polar",
            "range_step": float(range_step),
            "azimuth_step": float(azimuth_step),
        }
    if boxes == "grid":
        spacing = SPACING if spacing is None else spacing
        if not (np.isfinite(spacing) and spacing > 0):
            raise ValueError(f"spacing must be a positive number (m), not {spacing!r}")
        return {"boxes": "grid", "spacing": float(spacing)}
    if grid is None:
        raise ValueError("boxes='model' needs grid= (latitude/longitude of the mass points)")
    model = grid if isinstance(grid, _ModelGrid) else _ModelGrid.of(grid)
    return {"boxes": "model", "grid": model, "shape": model.latitude.shape}


# ---------------------------------------------------------------------------------------------
# Array form


def _per_sweep(x: Any, n: int, name: str) -> list[Any]:
    if x is None:
        return [None] * n
    if isinstance(x, np.ndarray) and x.ndim == 2:
        x = [x]
    out = list(x)
    if len(out) != n:
        raise ValueError(f"{name} must have one entry per sweep ({n}), not {len(out)}")
    return out


def _median(x: Any) -> float:
    """Median of the finite values of x, NaN for None or none finite."""
    a = np.asarray(np.nan if x is None else x, dtype=np.float64)
    a = a[np.isfinite(a)]
    return float(np.median(a)) if a.size else np.nan


def _empty_means() -> BoxMeans:
    f = np.empty(0)
    i = np.empty(0, dtype=np.int64)
    return BoxMeans(
        i, i, i, f, f, i, np.empty(0, bool), f, f, f, np.empty(0, "datetime64[ns]"), f, f, f
    )


def superob_arrays(
    velocity: Any,
    reflectivity: Any,
    azimuth: Any,
    elevation: Any,
    time: Any,
    range: Any,
    *,
    radar_latitude: float,
    radar_longitude: float,
    radar_height: float,
    boxes: str | None = None,
    range_step: float = RANGE_STEP,
    azimuth_step: float = AZIMUTH_STEP,
    spacing: float | None = None,
    grid: Any = None,
    min_count: int | None = None,
    max_spread: float | None = MAX_SPREAD,
    nyquist: Any = None,
    n_threads: int = 0,
) -> Superobs:
    """Superobservations of sweeps given as arrays.

    Parameters
    ----------
    velocity, reflectivity : sequence of (rays, gates) arrays, or None
        Per sweep, dealiased radial velocity (m/s) and reflectivity (dBZ); NaN = missing or
        filtered out. None (or None for a sweep) when the moment is absent.
    azimuth, elevation : sequence of (rays,) arrays
        Ray azimuth and elevation per sweep, degrees.
    time : sequence of (rays,) datetime64 arrays
        Ray times per sweep.
    range : sequence of (gates,) arrays
        Slant range of the gate centres per sweep, m (increasing for grid cells).
    radar_latitude, radar_longitude : float
        The radar site, degrees north and east (WGS84).
    radar_height : float
        Antenna height above sea level, m.
    boxes : {"polar", "grid", "model"} or None
        The box layout; None picks "model" when `grid` is given, "grid" when `spacing` is,
        else "polar".
    range_step, azimuth_step : float
        Polar boxes, m and degrees (5 km by 5 degrees); intervals start at range 0 and at north.
    spacing : float or None
        Square grid cells, m (3 km when boxes="grid").
    grid : xarray.Dataset, mapping or (latitude, longitude) pair
        A model grid: 2-D latitude and longitude of its mass points (``XLAT``/``XLONG`` of
        ``wrfinput``, ``XLAT_M``/``XLONG_M`` of ``geo_em``, ``lat``/``lon``, ...).
    min_count : int or None
        Gates a box needs to be kept (None: 50 for polar boxes, 3 for grid cells).
    max_spread : float or None
        Largest spread of a kept velocity box, m/s (6 m/s); None: no limit.
    nyquist : sequence of float or (rays,) arrays, or None
        Nyquist velocity per sweep, m/s (NaN in the result when None).
    n_threads : int
        Worker threads of the compiled sums (0: all hardware threads).

    Returns
    -------
    Superobs
        The velocity and reflectivity boxes, the rejection counts and the layout.

    Raises
    ------
    ValueError
        Naming the argument: a layout parameter that is not positive (``spacing <= 0``), a grid
        without latitude/longitude, arrays of the wrong shape.

    Notes
    -----
    Velocity sums are shifted by the box's first velocity (in array order), so that the spread
    keeps its digits; reflectivity is averaged as Z and converted back to dBZ, which does not
    bias the mean low as averaging dBZ does. Box positions: the mean (x, y) of the gates in the
    azimuthal-equidistant plane taken back to latitude and longitude along the WGS84 geodesic
    (Vincenty's direct solution); NCEP GSI's superobservations likewise take the box mean of
    the gates' positions and correct tilt and azimuth to their local values there.

    Example
    -------
    >>> import numpy as np
    >>> az = np.arange(0.5, 360.0, 1.0)
    >>> rng = 250.0 * np.arange(1, 201)
    >>> v = np.tile(5.0 * np.sin(np.deg2rad(az))[:, None], (1, rng.size))
    >>> t = np.datetime64("2024-05-20T18:00:00", "ns") + np.arange(360) * 10**8
    >>> so = superob_arrays([v], None, [az], [np.full(360, 0.5)], [t], [rng],
    ...                     radar_latitude=46.5, radar_longitude=7.5, radar_height=350.0)
    >>> int(so.velocity.kept.sum()), int(so.velocity.gates.max())
    (720, 100)
    """
    lay = _layout(boxes, range_step, azimuth_step, spacing, grid)
    if min_count is None:
        min_count = MIN_COUNT_POLAR if lay["boxes"] == "polar" else MIN_COUNT_GRID
    if int(min_count) != min_count or min_count < 1:
        raise ValueError(f"min_count must be a positive integer, not {min_count!r}")
    min_count = int(min_count)
    if max_spread is not None and not (max_spread >= 0):
        raise ValueError(f"max_spread must be a non-negative number or None, not {max_spread!r}")
    for name, x in (
        ("radar_latitude", radar_latitude),
        ("radar_longitude", radar_longitude),
        ("radar_height", radar_height),
    ):
        if not np.isfinite(x):
            raise ValueError(f"{name} must be finite, not {x!r}")
    lat0, lon0, h0 = float(radar_latitude), float(radar_longitude), float(radar_height)

    if isinstance(azimuth, np.ndarray) and azimuth.ndim == 1:
        azimuth, elevation, time, range = [azimuth], [elevation], [time], [range]
    az = [np.asarray(a, dtype=np.float64) for a in azimuth]
    n = len(az)
    el = [np.asarray(e, dtype=np.float64) for e in elevation]
    tm = [np.asarray(t).astype("datetime64[ns]") for t in time]
    rg = [np.asarray(r, dtype=np.float64) for r in range]
    vel = _per_sweep(velocity, n, "velocity")
    ref = _per_sweep(reflectivity, n, "reflectivity")
    nyq = _per_sweep(nyquist, n, "nyquist")
    if not (len(el) == len(tm) == len(rg) == n):
        raise ValueError("azimuth, elevation, time and range must have one entry per sweep")
    finite_t = [t[~np.isnat(t)] for t in tm]
    starts = [t.min() for t in finite_t if t.size]
    t_ref = min(starts) if starts else np.datetime64(0, "ns")

    parts: dict[str, list[dict[str, np.ndarray]]] = {"v": [], "z": []}
    half_width = 0
    polar_shape = (0, 0)
    for k, a in enumerate(az):
        e, r = el[k], rg[k]
        if a.ndim != 1 or e.shape != a.shape or tm[k].shape != a.shape:
            raise ValueError(
                f"sweep {k}: azimuth, elevation and time must be 1-D with one value per ray"
            )
        if r.ndim != 1:
            raise ValueError(f"sweep {k}: range must be 1-D with one value per gate")
        moments = []
        for name, data in (("velocity", vel[k]), ("reflectivity", ref[k])):
            if data is None:
                moments.append(np.empty((0, 0)))
                continue
            data = np.asarray(data, dtype=np.float64)
            if data.shape != (a.size, r.size):
                raise ValueError(
                    f"sweep {k}: {name} must have shape (rays, gates) = ({a.size}, {r.size}), "
                    f"not {data.shape}"
                )
            moments.append(data)
        if all(m.size == 0 for m in moments):
            continue
        secs = (tm[k] - t_ref).astype(np.float64) / 1e9
        secs[np.isnat(tm[k])] = np.nan
        vk, zk = moments
        if lay["boxes"] == "polar":
            sums = _polar.polar_box_sums(
                vk,
                zk,
                a,
                e,
                secs,
                r,
                h0,
                lay["range_step"],
                lay["azimuth_step"],
                n_threads=n_threads,
            )
            polar_shape = (sums.shape[1], max(polar_shape[1], sums.shape[2]))
            shape = sums.shape[1:]
            offset = (0, 0)
        elif lay["boxes"] == "grid":
            if r.size > 1 and not np.all(np.diff(r) > 0):
                raise ValueError(f"sweep {k}: range must increase for grid cells")
            # the grid's sums stay in the compiled module: only the boxes holding gates come back
            v_means, z_means, half = _polar.grid_box_means(
                vk, zk, a, e, secs, r, h0, lay["spacing"], n_threads=n_threads
            )
            held = (v_means, z_means)
            half_width = max(half_width, half)
            offset = (-half, -half)
        else:
            model = lay["grid"]
            _, s, _ = beam_geometry(r[None, :], e[:, None])
            ar = np.deg2rad(a)[:, None]
            box = model.nearest(lat0, lon0, s * np.sin(ar), s * np.cos(ar))
            ny, nx = lay["shape"]
            sums = _polar.index_box_sums(
                vk, zk, a, e, secs, r, h0, box, ny * nx, n_threads=n_threads
            )
            shape = (ny, nx)
            offset = (0, 0)
        if lay["boxes"] != "grid":
            held = _polar.box_means(sums.reshape(-1, *shape), n_threads=n_threads)
        ny_k = _median(nyq[k])
        for key, (rows, cols, stats) in zip(("v", "z"), held):
            if not rows.size:
                continue
            parts[key].append(
                {
                    "sweep": np.full(rows.size, k, dtype=np.int64),
                    "row": rows + offset[0] if offset[0] else rows,
                    "column": cols + offset[1] if offset[1] else cols,
                    "stats": stats,
                    "nyquist": np.full(rows.size, ny_k),
                }
            )

    out = {}
    rejected = {"velocity_count": 0, "velocity_spread": 0, "reflectivity_count": 0}
    for key, moment in (("v", "velocity"), ("z", "reflectivity")):
        if not parts[key]:
            out[moment] = _empty_means()
            continue
        cat = {f: np.concatenate([p[f] for p in parts[key]], axis=-1) for f in parts[key][0]}
        # box means of the compiled sums: gates, value (mean Z for reflectivity), spread,
        # x, y, height, time, local elevation
        cnt, value, spread, mx, my, mh, mt, me = cat["stats"]
        if key == "z":
            with np.errstate(divide="ignore"):
                value = 10.0 * np.log10(value)
        enough = cnt >= min_count
        kept = enough.copy()
        if key == "v":
            rejected["velocity_count"] = int(np.count_nonzero(~enough))
            if max_spread is not None:
                calm = spread <= max_spread
                rejected["velocity_spread"] = int(np.count_nonzero(enough & ~calm))
                kept &= calm
        else:
            rejected["reflectivity_count"] = int(np.count_nonzero(~enough))
        dist = np.hypot(mx, my)
        toward = np.rad2deg(np.arctan2(mx, my)) % 360.0
        lat, lon, beam_az = _polar.geodesic(lat0, lon0, toward, dist, n_threads=n_threads)
        when = np.full(cnt.shape, np.datetime64("NaT", "ns"), dtype="datetime64[ns]")
        good = np.isfinite(mt)
        when[good] = t_ref + np.rint(mt[good] * 1e9).astype(np.int64).astype("timedelta64[ns]")
        out[moment] = BoxMeans(
            sweep=cat["sweep"],
            row=cat["row"],
            column=cat["column"],
            value=value,
            spread=spread,
            gates=cnt.astype(np.int64),
            kept=kept,
            latitude=lat,
            longitude=lon,
            height=mh,
            time=when,
            beam_azimuth=beam_az,
            beam_elevation=me,
            nyquist=cat["nyquist"],
        )
    layout = {k: v for k, v in lay.items() if k != "grid"}
    if lay["boxes"] == "polar":
        layout["shape"] = polar_shape
    elif lay["boxes"] == "grid":
        layout["half_width"] = half_width
    layout.update(min_count=min_count, max_spread=max_spread)
    return Superobs(out["velocity"], out["reflectivity"], rejected, layout)


# ---------------------------------------------------------------------------------------------
# Volumes


def _dealiased(volume: Any, name: str) -> bool:
    """Whether a velocity moment holds dealiased velocities, by its name or standard name."""
    from .moments import _CORRECTED, _VELOCITY_CORRECTED

    if name.upper() in {n.upper() for n in _VELOCITY_CORRECTED} or _CORRECTED.search(name):
        return True
    attrs = volume_moments(volume).get(name, {})
    return str(attrs.get("standard_name", "")).lower().startswith("corrected_")


def velocity_source(
    volume: Any,
    velocity: str | None,
    unfolded: bool,
    nyquist: Any,
    n_threads: int,
    qc: bool | Mapping[str, Any] = False,
) -> tuple[Any, str | None]:
    """The volume and the name of its dealiased velocity moment (None: no velocity).

    `velocity` (a name, `AUTO` or None) is resolved by `radarkit.volume.choose_moment`; a
    moment named or marked as dealiased (``VRADDH``, ``corrected_velocity``, ...) is taken as
    it is, and so is any when `unfolded`; otherwise the volume's ``VRADDH``, or `velocity`
    dealiased by `radarkit.dealias`. With the quality control `qc` to follow (as
    `volume_arrays` takes it), only the gates its range window and texture window read are
    dealiased: the others are never averaged.
    """
    volume = as_volume(volume)
    name = choose_moment(volume, "velocity", velocity)
    if name is None:
        return volume, None
    sweeps = list_sweeps(volume)
    names = {str(k) for _, ds in sweeps for k in ds.data_vars}
    if name not in names:
        raise ValueError(f"velocity: no sweep has the moment {name!r}")
    if unfolded or _dealiased(volume, name):
        return volume, name
    if DEALIASED in names:
        return volume, DEALIASED
    from .dealias import dealias  # imported here: the dealiasing module builds on this layer

    reach = _qc_reach(sweeps, qc)
    return (
        dealias(volume, velocity=name, nyquist=nyquist, max_range=reach, n_threads=n_threads),
        DEALIASED,
    )


def _qc_reach(sweeps: Sequence[tuple[str, Any]], qc: bool | Mapping[str, Any]) -> float | None:
    """The farthest slant range (m) whose velocity the quality control `qc` reads: its
    maximum range, plus half a texture window of the widest gate spacing (the texture of the
    last gates kept reads gates beyond them). None when it reads every gate."""
    if qc is False:
        return None
    settings = {} if qc is True else dict(qc)
    far = settings.get("max_range", MAX_RANGE)
    gates = settings.get("texture_gates", TEXTURE_GATES)
    numbers = (int, float, np.integer, np.floating)
    if not (isinstance(far, numbers) and np.isfinite(far) and isinstance(gates, numbers)):
        return None  # no window, or a value gate_filter refuses by name
    spacing = 0.0
    for _, ds in sweeps:
        if "range" in ds.coords and ds.sizes.get("range", 0) > 1:
            steps = np.diff(np.asarray(ds["range"].values, dtype=np.float64))
            if np.isfinite(steps).all():
                spacing = max(spacing, float(np.abs(steps).max()))
            else:
                return None
    return float(far) + (int(gates) // 2 + 1) * spacing


def volume_arrays(
    volume: Any,
    *,
    velocity: str | None,
    reflectivity: str | None,
    qc: bool | Mapping[str, Any],
    nyquist: Any = None,
    n_threads: int = 0,
) -> tuple[dict[str, Any], GateFilter | None]:
    """The sweeps of a volume as `superob_arrays` takes them, quality-controlled.

    Returns (keyword arguments of `superob_arrays`, the GateFilter or None). Moments are
    float64 with NaN at every gate the filter removed, cut to the gates of the filter's range
    window.
    """
    sweeps = list_sweeps(volume)
    lat, lon, alt = radar_site(volume)
    filt = None
    if qc is not False:
        kw = {} if qc is True else dict(qc)
        kw.setdefault("n_threads", n_threads)
        filt = gate_filter(volume, velocity=velocity, reflectivity=reflectivity, **kw)
        lo, hi = filt.settings["min_range"], filt.settings["max_range"]
    else:
        lo = hi = None
    out: dict[str, Any] = {
        k: [] for k in ("velocity", "reflectivity", "azimuth", "elevation", "time", "range")
    }
    out["nyquist"] = []
    names = []
    for k, (name, ds) in enumerate(sweeps):
        moments: dict[str, np.ndarray | None] = {}
        for key, moment in (("velocity", velocity), ("reflectivity", reflectivity)):
            if moment is None or moment not in ds.data_vars:
                moments[key] = None
                continue
            da = ds[moment]
            ray_dim = "azimuth" if "azimuth" in da.dims else da.dims[0]
            if da.dims != (ray_dim, "range"):
                da = da.transpose(ray_dim, "range")
            moments[key] = np.asarray(da.values)
        if moments["velocity"] is None and moments["reflectivity"] is None:
            continue
        if "time" not in ds.variables:
            raise ValueError(f"{name} has no ray times")
        rng = _coordinate(ds, "range", name)
        inside = np.ones(rng.shape, dtype=bool)
        if lo is not None:
            inside &= rng >= lo
        if hi is not None:
            inside &= rng <= hi
        cut = _span(inside)
        for key, data in moments.items():
            if data is None:
                out[key].append(None)
                continue
            mask = None if filt is None else getattr(filt, key)[k]
            if mask is None:
                out[key].append(np.asarray(data[:, cut], dtype=np.float64))
            else:
                out[key].append(np.where(mask[:, cut], data[:, cut], np.float64(np.nan)))
        az = _coordinate(ds, "azimuth", name)
        el = np.broadcast_to(_coordinate(ds, "elevation", name), az.shape)
        out["azimuth"].append(az)
        out["elevation"].append(np.array(el))
        out["time"].append(np.asarray(ds["time"].values).astype("datetime64[ns]"))
        out["range"].append(rng[cut])
        ny = None
        if moments["velocity"] is not None:
            try:
                ny = nyquist_velocity(ds, az.size, nyquist=nyquist, name=name)
            except ValueError:
                ny = None  # informative only: DART's forward operator does not use it
        out["nyquist"].append(ny)
        names.append(name)
    if not names:
        raise ValueError("volume has no sweep with the velocity or reflectivity moment asked for")
    kept = 0 if filt is None else filt.kept["velocity"] + filt.kept["reflectivity"]
    if filt is not None and kept == 0:
        raise ValueError("no gate is left after quality control: nothing to average")
    out.update(radar_latitude=lat, radar_longitude=lon, radar_height=alt)
    out["sweep_names"] = names
    return out, filt


DEALIASED = "VRADDH"  # the moment radarkit.dealias adds (ODIM's name for dealiased velocity)

_ATTRS = {
    "radial_velocity": {
        "standard_name": "radial_velocity_of_scatterers_away_from_instrument",
        "long_name": "mean dealiased radial velocity of the box",
        "units": "m s-1",
    },
    "radial_velocity_spread": {
        "long_name": "sample standard deviation of the radial velocity of the box's gates",
        "units": "m s-1",
    },
    "radial_velocity_count": {"long_name": "velocity gates in the box", "units": "1"},
    "latitude": {
        "standard_name": "latitude",
        "long_name": "latitude of the mean position of the velocity gates",
        "units": "degrees_north",
    },
    "longitude": {
        "standard_name": "longitude",
        "long_name": "longitude of the mean position of the velocity gates",
        "units": "degrees_east",
    },
    "height": {
        "standard_name": "altitude",
        "long_name": "mean height of the velocity gates above sea level (4/3 earth radius)",
        "units": "m",
    },
    "time": {"standard_name": "time", "long_name": "mean ray time of the velocity gates"},
    "beam_azimuth": {
        "long_name": "beam azimuth at the box, clockwise from north in the box's horizon",
        "units": "degree",
    },
    "beam_elevation": {
        "long_name": "mean local beam elevation of the velocity gates",
        "units": "degree",
    },
    "reflectivity": {
        "standard_name": "equivalent_reflectivity_factor",
        "long_name": "reflectivity of the box, averaged as Z = 10^(dBZ/10)",
        "units": "dBZ",
    },
    "reflectivity_spread": {
        "long_name": "sample standard deviation of the reflectivity of the box's gates",
        "units": "dB",
    },
    "reflectivity_count": {"long_name": "reflectivity gates in the box", "units": "1"},
    "reflectivity_latitude": {
        "standard_name": "latitude",
        "long_name": "latitude of the mean position of the reflectivity gates",
        "units": "degrees_north",
    },
    "reflectivity_longitude": {
        "standard_name": "longitude",
        "long_name": "longitude of the mean position of the reflectivity gates",
        "units": "degrees_east",
    },
    "reflectivity_height": {
        "standard_name": "altitude",
        "long_name": "mean height of the reflectivity gates above sea level (4/3 earth radius)",
        "units": "m",
    },
    "reflectivity_time": {
        "standard_name": "time",
        "long_name": "mean ray time of the reflectivity gates",
    },
}


def superob(
    volume: Any,
    *,
    boxes: str | None = None,
    range_step: float = RANGE_STEP,
    azimuth_step: float = AZIMUTH_STEP,
    spacing: float | None = None,
    grid: Any = None,
    velocity: str | None = AUTO,
    reflectivity: str | None = AUTO,
    unfolded: bool = False,
    qc: bool | Mapping[str, Any] = True,
    min_count: int | None = None,
    max_spread: float | None = MAX_SPREAD,
    nyquist: float | None = None,
    n_threads: int = 0,
) -> Any:
    """Superobservations of a radar volume, per sweep and box, as an xarray Dataset.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        A volume of sweeps as xradar gives it (or one sweep, or a Py-ART radar).
    boxes, range_step, azimuth_step, spacing, grid, min_count, max_spread, n_threads
        The box layout and the rules that keep a box, as in `superob_arrays` (polar boxes of
        5 km by 5 degrees unless `spacing` or `grid` is given).
    velocity : str or None
        Radial-velocity moment (m/s), ``"auto"`` (found as by `radarkit.volume.choose_moment`,
        dealiased moments first) or None to leave velocity out. Only dealiased velocities are
        averaged: a moment named or marked as dealiased (``VRADDH``, ``corrected_velocity``,
        ...), else the volume's ``VRADDH`` (what `radarkit.dealias` adds), else `velocity`
        dealiased here, unless `unfolded` says it is already unfolded.
    reflectivity : str or None
        Reflectivity moment (dBZ), ``"auto"`` or None to leave it out.
    unfolded : bool
        The velocities are known to be unfolded (not aliased): use them as they are.
    qc : bool or dict
        Quality control of the gates before averaging: True applies `radarkit.qc.gate_filter`
        with its defaults, a dict gives its keyword arguments, False takes every gate.
    nyquist : float or None
        Nyquist velocity (m/s) replacing the sweeps' own; reported per box.

    Returns
    -------
    xarray.Dataset
        Over (sweep, azimuth, range) for polar boxes (box centres: degrees, m), (sweep, y, x)
        for a square grid (cell centres in the radar's azimuthal-equidistant plane, m, with
        ``cell_latitude``/``cell_longitude``), (sweep, south_north, west_east) for a model grid
        (its mass points as ``cell_latitude``/``cell_longitude``). Variables, NaN where the
        box is not kept: ``radial_velocity``, ``radial_velocity_spread``, ``latitude``,
        ``longitude``, ``height``, ``time``, ``beam_azimuth``, ``beam_elevation`` (of the
        velocity gates), ``reflectivity``, ``reflectivity_spread``, ``reflectivity_latitude``,
        ``reflectivity_longitude``, ``reflectivity_height``, ``reflectivity_time``; the gate
        counts ``radial_velocity_count`` and ``reflectivity_count`` of every box (kept or
        not); per sweep ``nyquist_velocity``, ``elevation`` and ``sweep_name``. The attributes
        give the layout, ``min_count``, ``max_spread``, the boxes rejected for each reason
        (``rejected_velocity_count``, ``rejected_velocity_spread``,
        ``rejected_reflectivity_count``) and the gates the quality control removed
        (``qc_removed_<moment>_<filter>``).

    Raises
    ------
    ValueError
        Nothing left to average after quality control, velocities that may be folded with no
        dealiasing available, or a bad layout argument (named).

    Notes
    -----
    NCEP GSI's radial-wind superobservations (5 degrees by 5 km per tilt, at least 50 gates,
    spread at most 6 m/s, the spread as the error) and DART's radar guidance (thin to about
    twice the model grid spacing) are the models of the defaults; see `superob_arrays`.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> ds = superob(synthetic_volume(elevations=[0.5, 1.5], gates=300), unfolded=True)
    >>> ds["radial_velocity"].dims
    ('sweep', 'azimuth', 'range')
    >>> int(ds["radial_velocity"].notnull().sum())
    2016
    """
    xr = _optional.xarray()
    volume, velocity = velocity_source(volume, velocity, unfolded, nyquist, n_threads, qc)
    reflectivity = choose_moment(volume, "reflectivity", reflectivity)
    arrays, filt = volume_arrays(
        volume,
        velocity=velocity,
        reflectivity=reflectivity,
        qc=qc,
        nyquist=nyquist,
        n_threads=n_threads,
    )
    names = arrays.pop("sweep_names")
    so = superob_arrays(
        **arrays,
        boxes=boxes,
        range_step=range_step,
        azimuth_step=azimuth_step,
        spacing=spacing,
        grid=grid,
        min_count=min_count,
        max_spread=max_spread,
        n_threads=n_threads,
    )
    lay = so.layout
    nsweep = len(names)
    coords: dict[str, Any] = {"sweep": np.arange(nsweep), "sweep_name": ("sweep", names)}
    if lay["boxes"] == "polar":
        na, nr = lay["shape"]
        step = lay["azimuth_step"]
        lo = np.arange(na) * step
        dims = ("sweep", "azimuth", "range")
        coords["azimuth"] = (
            "azimuth",
            0.5 * (lo + np.minimum(lo + step, 360.0)),
            {"units": "degree", "long_name": "azimuth of the box centre"},
        )
        coords["range"] = (
            "range",
            (np.arange(nr) + 0.5) * lay["range_step"],
            {"units": "m", "long_name": "slant range of the box centre"},
        )
        shape, origin = (na, nr), (0, 0)
    elif lay["boxes"] == "grid":
        h = lay["half_width"]
        c = np.arange(-h, h + 1) * lay["spacing"]
        dims = ("sweep", "y", "x")
        coords["y"] = (
            "y",
            c,
            {
                "units": "m",
                "long_name": "northward distance of the cell centre from the radar",
            },
        )
        coords["x"] = (
            "x",
            c,
            {
                "units": "m",
                "long_name": "eastward distance of the cell centre from the radar",
            },
        )
        yy, xx = np.meshgrid(c, c, indexing="ij")
        clat, clon, _ = _polar.geodesic(
            arrays["radar_latitude"],
            arrays["radar_longitude"],
            np.rad2deg(np.arctan2(xx, yy)) % 360.0,
            np.hypot(xx, yy),
        )
        coords["cell_latitude"] = (
            ("y", "x"),
            clat,
            {"units": "degrees_north", "standard_name": "latitude"},
        )
        coords["cell_longitude"] = (
            ("y", "x"),
            clon,
            {"units": "degrees_east", "standard_name": "longitude"},
        )
        shape, origin = (2 * h + 1, 2 * h + 1), (h, h)
    else:
        model = _ModelGrid.of(grid) if not isinstance(grid, _ModelGrid) else grid
        dims = ("sweep", "south_north", "west_east")
        coords["cell_latitude"] = (
            dims[1:],
            model.latitude,
            {"units": "degrees_north", "standard_name": "latitude"},
        )
        coords["cell_longitude"] = (
            dims[1:],
            model.longitude,
            {"units": "degrees_east", "standard_name": "longitude"},
        )
        shape, origin = model.latitude.shape, (0, 0)

    data: dict[str, Any] = {}
    for moment, prefix, value_name in (
        (so.velocity, "", "radial_velocity"),
        (so.reflectivity, "reflectivity_", "reflectivity"),
    ):
        where = (moment.sweep, moment.row + origin[0], moment.column + origin[1])
        k = moment.kept
        full = (nsweep, *shape)
        data[value_name] = _dense(moment.value, where, k, full, np.nan)
        data[f"{value_name}_spread"] = _dense(moment.spread, where, k, full, np.nan)
        data[f"{value_name}_count"] = _dense(moment.gates, where, slice(None), full, 0, np.int64)
        data[f"{prefix}latitude"] = _dense(moment.latitude, where, k, full, np.nan)
        data[f"{prefix}longitude"] = _dense(moment.longitude, where, k, full, np.nan)
        data[f"{prefix}height"] = _dense(moment.height, where, k, full, np.nan)
        nat = np.datetime64("NaT", "ns")
        data[f"{prefix}time"] = _dense(moment.time, where, k, full, nat, "datetime64[ns]")
        if moment is so.velocity:
            data["beam_azimuth"] = _dense(moment.beam_azimuth, where, k, full, np.nan)
            data["beam_elevation"] = _dense(moment.beam_elevation, where, k, full, np.nan)
    ds = xr.Dataset(
        {k: (dims, v, _ATTRS[k]) for k, v in data.items()},
        coords=coords,
    )
    nyq = [_median(a) for a in arrays["nyquist"]]
    ds["nyquist_velocity"] = (
        "sweep",
        np.asarray(nyq),
        {"units": "m s-1", "long_name": "Nyquist velocity of the sweep"},
    )
    ds["elevation"] = (
        "sweep",
        np.array([np.nanmean(e) if np.isfinite(e).any() else np.nan for e in arrays["elevation"]]),
        {"units": "degree", "long_name": "mean ray elevation of the sweep"},
    )
    attrs: dict[str, Any] = {
        "Conventions": "CF-1.10",
        "title": "radar superobservations",
        "radar_latitude": arrays["radar_latitude"],
        "radar_longitude": arrays["radar_longitude"],
        "radar_height": arrays["radar_height"],
        "velocity_moment": velocity or "",
        "reflectivity_moment": reflectivity or "",
    }
    for key, val in lay.items():
        if key == "shape":
            continue
        attrs[key] = "none" if val is None else val
    for key, val in so.rejected.items():
        attrs[f"rejected_{key}"] = val
    if filt is not None:
        for m, counts in filt.removed.items():
            for f, c in counts.items():
                attrs[f"qc_removed_{m}_{f}"] = c
    ds.attrs.update(attrs)
    return ds


# ---------------------------------------------------------------------------------------------
# Observation files


def parse_boxes(text: str) -> dict[str, Any]:
    """A box layout written as text, as the command line takes it.

    Parameters
    ----------
    text : str
        ``"RANGE,AZIMUTH"`` for polar boxes (``"5km,5deg"``) or a spacing for square cells
        (``"3km"``, ``"2500m"``, ``"3000"``); lengths in metres unless ``km``.

    Returns
    -------
    dict
        Keyword arguments of `superob_arrays`: ``boxes`` with ``range_step`` and
        ``azimuth_step``, or with ``spacing``.

    Raises
    ------
    ValueError
        For text of neither form.

    Example
    -------
    >>> parse_boxes("5km,5deg")
    {'boxes': 'polar', 'range_step': 5000.0, 'azimuth_step': 5.0}
    >>> parse_boxes("2500m")
    {'boxes': 'grid', 'spacing': 2500.0}
    """
    parts = [p.strip().lower() for p in str(text).split(",")]

    def length(p: str) -> float:
        for unit, scale in (("km", 1000.0), ("m", 1.0)):
            if p.endswith(unit):
                return float(p[: -len(unit)]) * scale
        return float(p)

    try:
        if len(parts) == 1:
            return {"boxes": "grid", "spacing": length(parts[0])}
        if len(parts) == 2:
            az = parts[1].removesuffix("deg").removesuffix("°")
            return {"boxes": "polar", "range_step": length(parts[0]), "azimuth_step": float(az)}
    except ValueError:
        pass
    raise ValueError(
        f"boxes must be RANGE,AZIMUTH such as 5km,5deg or a spacing such as 3km, not {text!r}"
    )


def superob_observations(
    so: Superobs,
    *,
    radar_latitude: float,
    radar_longitude: float,
    radar_height: float,
    velocity_error: float,
    reflectivity_error: float,
    clear_air_below: float,
) -> dict[str, np.ndarray]:
    """The kept superobservations as the fields of `radarkit.dart.ObsSeqWriter.write`.

    Parameters
    ----------
    so : Superobs
        What `superob_arrays` returned.
    radar_latitude, radar_longitude : float
        The radar site, degrees north and east.
    radar_height : float
        Antenna height, m above sea level.
    velocity_error : float
        Least error standard deviation of a radial velocity, m/s: each takes
        max(`velocity_error`, its box's spread).
    reflectivity_error : float
        Error standard deviation of reflectivity, dBZ.
    clear_air_below : float
        dBZ: reflectivity below it is typed RADAR_CLEARAIR_REFLECTIVITY.

    Returns
    -------
    dict of numpy.ndarray
        Equal-length columns (velocity boxes first, then reflectivity boxes): ``type``,
        ``value``, ``error``, ``latitude``, ``longitude``, ``height``, ``time``,
        ``azimuth``, ``elevation`` (the box's beam direction, 0 for reflectivity),
        ``nyquist`` (the sweep's, 0 for reflectivity), ``radar_latitude``,
        ``radar_longitude``, ``radar_height``.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> arrays, _ = volume_arrays(synthetic_volume(gates=300), velocity="VRADH",
    ...                           reflectivity="DBZH", qc=True)
    >>> so = superob_arrays(**{k: v for k, v in arrays.items() if k != "sweep_names"})
    >>> obs = superob_observations(so, radar_latitude=46.5, radar_longitude=7.5,
    ...     radar_height=350.0, velocity_error=2.0, reflectivity_error=5.0, clear_air_below=5.0)
    >>> sorted(set(obs["type"]))
    ['DOPPLER_RADIAL_VELOCITY', 'RADAR_CLEARAIR_REFLECTIVITY', 'RADAR_REFLECTIVITY']
    """
    from . import dart

    v, z = so.velocity, so.reflectivity
    kv, kz = v.kept & np.isfinite(v.value), z.kept & np.isfinite(z.value)
    nv, nz = int(kv.sum()), int(kz.sum())
    zv = z.value[kz]
    out = {
        "type": np.concatenate(
            [
                np.full(nv, dart.RADIAL_VELOCITY, dtype=object),
                np.where(
                    zv < clear_air_below, dart.CLEAR_AIR_REFLECTIVITY, dart.REFLECTIVITY
                ).astype(object),
            ]
        ),
        "value": np.concatenate([v.value[kv], zv]),
        "error": np.concatenate(
            [np.fmax(float(velocity_error), v.spread[kv]), np.full(nz, float(reflectivity_error))]
        ),
        "latitude": np.concatenate([v.latitude[kv], z.latitude[kz]]),
        "longitude": np.concatenate([v.longitude[kv], z.longitude[kz]]),
        "height": np.concatenate([v.height[kv], z.height[kz]]),
        "time": np.concatenate([v.time[kv], z.time[kz]]),
        # beam fields belong to radial velocity only; zeros keep the columns aligned
        "azimuth": np.concatenate([v.beam_azimuth[kv], np.zeros(nz)]),
        "elevation": np.concatenate([v.beam_elevation[kv], np.zeros(nz)]),
        "nyquist": np.concatenate([v.nyquist[kv], np.zeros(nz)]),
    }
    n = nv + nz
    out["radar_latitude"] = np.full(n, float(radar_latitude))
    out["radar_longitude"] = np.full(n, float(radar_longitude))
    out["radar_height"] = np.full(n, float(radar_height))
    return out


class Columns(NamedTuple):
    """Horizontal cells of a volume's superobservations as WRFDA columns.

    Attributes
    ----------
    latitude, longitude : (n,) float64
        Cell centre (square grid) or mass point (model grid), degrees.
    row, column : (n,) int64
        The cell in the layout of the superobservations.
    heights : (n, L) float64
        Per column and sweep (level), the count-weighted mean height above sea level of the
        sweep's kept gates in the cell (m); NaN where the sweep has none there.
    rv, rv_err : (n, L) float64
        Mean radial velocity and its error max(velocity_error, spread), m/s; NaN = none.
    rf, rf_err : (n, L) float64
        Reflectivity (linear-Z mean, dBZ) and its error, dBZ; NaN = none.
    """

    latitude: np.ndarray
    longitude: np.ndarray
    row: np.ndarray
    column: np.ndarray
    heights: np.ndarray
    rv: np.ndarray
    rv_err: np.ndarray
    rf: np.ndarray
    rf_err: np.ndarray


def superob_columns(
    so: Superobs,
    *,
    radar_latitude: float,
    radar_longitude: float,
    velocity_error: float,
    reflectivity_error: float,
    grid: Any = None,
) -> Columns:
    """One column per horizontal cell with a kept superobservation, one level per sweep.

    Parameters
    ----------
    so : Superobs
        What `superob_arrays` returned for horizontal cells (``boxes`` "grid" or "model").
    radar_latitude, radar_longitude : float
        The radar site, degrees north and east (the centre of a square grid).
    velocity_error : float
        Least error standard deviation of a radial velocity, m/s (max with the box spread).
    reflectivity_error : float
        Error standard deviation of reflectivity, dBZ.
    grid : optional
        The model grid of ``boxes="model"``: its mass points are the column positions.

    Returns
    -------
    Columns
        Columns in (row, column) order; levels in sweep order, one per sweep of `so` that has
        a kept box anywhere.

    Raises
    ------
    ValueError
        For polar boxes, or a model layout without `grid`.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> arrays, _ = volume_arrays(synthetic_volume(elevations=(0.5, 1.5), gates=300),
    ...                           velocity="VRADH", reflectivity="DBZH", qc=True)
    >>> so = superob_arrays(**{k: v for k, v in arrays.items() if k != "sweep_names"},
    ...                     spacing=5000.0)
    >>> cols = superob_columns(so, radar_latitude=46.5, radar_longitude=7.5,
    ...                        velocity_error=2.0, reflectivity_error=5.0)
    >>> cols.heights.shape[1]
    2
    """
    lay = so.layout
    if lay["boxes"] not in ("grid", "model"):
        raise ValueError("WRFDA columns need horizontal cells: spacing= or grid=, not polar boxes")
    v, z = so.velocity, so.reflectivity
    kv, kz = v.kept & np.isfinite(v.value), z.kept & np.isfinite(z.value)
    sweeps = np.union1d(v.sweep[kv], z.sweep[kz])
    rows = np.concatenate([v.row[kv], z.row[kz]])
    columns = np.concatenate([v.column[kv], z.column[kz]])
    r0, c0 = (int(rows.min()), int(columns.min())) if rows.size else (0, 0)
    width = int(columns.max()) - c0 + 1 if rows.size else 1

    def key_of(row: np.ndarray, col: np.ndarray) -> np.ndarray:
        # (row, column) as one number that keeps their lexicographic order
        key: np.ndarray = (row - r0) * width + (col - c0)
        return key

    keys = np.unique(key_of(rows, columns))
    cells = np.stack([keys // width + r0, keys % width + c0], 1).astype(np.int64)
    n, L = cells.shape[0], sweeps.size
    shape = (n, L)
    out = {k: np.full(shape, np.nan) for k in ("rv", "rv_err", "rf", "rf_err")}
    weight = np.zeros(shape)
    sum_h = np.zeros(shape)

    def place(m: BoxMeans, k: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        i = np.searchsorted(keys, key_of(m.row[k], m.column[k]))
        j = np.searchsorted(sweeps, m.sweep[k])
        # a moment has one box per (sweep, cell): no index repeats within a call
        weight[i, j] += m.gates[k]
        sum_h[i, j] += m.gates[k] * m.height[k]
        return i, j

    i, j = place(v, kv)
    out["rv"][i, j] = v.value[kv]
    out["rv_err"][i, j] = np.fmax(float(velocity_error), v.spread[kv])
    i, j = place(z, kz)
    out["rf"][i, j] = z.value[kz]
    out["rf_err"][i, j] = float(reflectivity_error)
    with np.errstate(invalid="ignore", divide="ignore"):
        heights = np.where(weight > 0, sum_h / weight, np.nan)
    if lay["boxes"] == "grid":
        y, x = cells[:, 0] * lay["spacing"], cells[:, 1] * lay["spacing"]
        lat, lon, _ = _polar.geodesic(
            float(radar_latitude),
            float(radar_longitude),
            np.rad2deg(np.arctan2(x, y)) % 360.0,
            np.hypot(x, y),
        )
    else:
        if grid is None:
            raise ValueError("grid is required for the columns of a model grid")
        model = grid if isinstance(grid, _ModelGrid) else _ModelGrid.of(grid)
        lat = model.latitude[cells[:, 0], cells[:, 1]]
        lon = model.longitude[cells[:, 0], cells[:, 1]]
    return Columns(lat, lon, cells[:, 0], cells[:, 1], heights, **out)


def _dense(
    values: np.ndarray,
    where: tuple[np.ndarray, ...],
    sel: np.ndarray | slice,
    shape: tuple[int, ...],
    fill: Any,
    dtype: Any = np.float64,
) -> np.ndarray:
    """The boxes `sel` of `values` placed at `where` in an array of `shape`, `fill` elsewhere."""
    a = np.full(shape, fill, dtype=dtype)
    a[tuple(w[sel] for w in where)] = values[sel]
    return a
