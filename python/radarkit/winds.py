"""VAD winds of radar rings and wind profiles on height bins.

A ring is one range gate of one sweep: the radial velocities of all its rays. `vad_arrays`
fits every ring of a volume in one call of the `vad` kernel; `profile_arrays` combines rings
on height bins. `vad` and `vad_profile` do the same for volumes as xradar gives them and return
labelled Datasets.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any, ClassVar, Literal

import numpy as np
import numpy.typing as npt

import _kestrin

from . import _optional
from ._names import Fields, renamed
from .dealias import DEALIASED
from .dealias import dealias as dealias_volume
from .geometry import beam_geometry
from .readers import as_volume
from .volume import AUTO, Volume, _require_moment, list_sweeps, radar_site, ray_arrays

__all__ = [
    "MIN_GATES",
    "MIN_SPREAD",
    "VadRings",
    "WindProfile",
    "profile_arrays",
    "vad",
    "vad_arrays",
    "vad_profile",
]

MIN_GATES = 30  # usable samples a ring needs for a fit
MIN_SPREAD = 0.1  # azimuth coverage a ring needs: 0.25 is the full circle, ~0.047 a half circle

_RING_FIELDS = ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2")
_PER_GATE = (*_RING_FIELDS, "range", "beam_height", "height", "ground_distance")

Array = npt.NDArray[np.float64]

_VAD_REFERENCE = (
    "Browning, K. A., and R. Wexler, 1968: The determination of kinematic properties of a wind "
    "field using Doppler radar. J. Appl. Meteor., 7, 105-113."
)


@dataclasses.dataclass(frozen=True, eq=False)
class VadRings(Fields):
    """VAD fits of the rings of one or more sweeps.

    Every field but ``elevation`` is a float64 array of shape (sweeps, most gates of a
    sweep), NaN beyond a sweep's last gate and for rings without a fit. Also readable as a
    mapping; the older key ``altitude`` gives ``height`` with a DeprecationWarning.

    Attributes
    ----------
    u, v : ndarray
        Eastward and northward wind, m/s.
    offset : ndarray
        Constant term of the first-harmonic fit, m/s.
    rms : ndarray
        Root-mean-square residual of the first-harmonic fit, m/s.
    count : ndarray
        Usable samples of the ring.
    offset2, sin2, cos2 : ndarray
        Constant and second-harmonic terms of the two-harmonic fit, m/s.
    range : ndarray
        Slant range of the ring, m.
    beam_height : ndarray
        Beam height above the antenna, m.
    height : ndarray
        Beam height above sea level, m.
    ground_distance : ndarray
        Distance along the ground from the radar, m.
    elevation : ndarray, shape (sweeps,)
        Mean ray elevation of each sweep, degrees.
    """

    u: Array
    v: Array
    offset: Array
    rms: Array
    count: Array
    offset2: Array
    sin2: Array
    cos2: Array
    range: Array
    beam_height: Array
    height: Array
    ground_distance: Array
    elevation: Array

    _renamed: ClassVar[dict[str, str]] = {"altitude": "height"}


def _as_sweeps(x: Any, name: str) -> list[Array]:
    """A 2-D array, or a sequence of 2-D arrays, as a list of float64 arrays."""
    if isinstance(x, np.ndarray) and x.ndim == 2:
        return [np.asarray(x, dtype=np.float64)]
    out = [np.asarray(a, dtype=np.float64) for a in x]
    if any(a.ndim != 2 for a in out):
        raise ValueError(f"{name} must be a rays x gates array or a sequence of them")
    return out


@renamed(altitude="radar_height")
def vad_arrays(
    velocity: npt.ArrayLike | Sequence[npt.ArrayLike],
    azimuth: npt.ArrayLike | Sequence[npt.ArrayLike],
    elevation: npt.ArrayLike | Sequence[npt.ArrayLike],
    range: npt.ArrayLike | Sequence[npt.ArrayLike],
    *,
    radar_height: float = 0.0,
    min_gates: int = MIN_GATES,
    min_spread: float = MIN_SPREAD,
    n_threads: int = 0,
) -> VadRings:
    """VAD wind of every ring of one or more sweeps, in one call of the `vad` kernel.

    Parameters
    ----------
    velocity : array_like (rays, gates), or a sequence of them, one per sweep
        Radial velocity, m/s, NaN = missing.
    azimuth, elevation : array_like (rays,), or a sequence of them, one per sweep
        Direction of each ray, degrees.
    range : array_like (gates,), or a sequence of them, one per sweep
        Slant range of each gate, m.
    radar_height : float
        Height of the antenna, m above sea level (older name: ``altitude``).
    min_gates : int
        Least number of usable samples of a ring (at least 3 in any case).
    min_spread : float
        Least azimuth coverage, the determinant of the covariance of (sin az, cos az): 0.25
        for the full circle, about 0.047 for a half circle.
    n_threads : int
        Worker threads of the kernel (0: all hardware threads); the result does not depend
        on it.

    Returns
    -------
    VadRings
        Fits, positions and sample counts of every ring.

    Raises
    ------
    ValueError
        When the arrays of a sweep do not agree in shape, or the sequences in length.

    Notes
    -----
    The first-harmonic fit vr = offset + a·sin(az) + b·cos(az) of a ring gives the horizontal
    wind (u, v) = (a, b) / cos θg, θg being the beam's elevation at the gate (the sweep's
    mean ray elevation plus the curvature angle s/(ke·a) of the 4/3 model), so u and v are
    the eastward and northward wind in the radar's horizontal frame; the two-harmonic fit
    adds sin 2az and cos 2az terms (Browning and Wexler 1968, J. Appl. Meteor. 7, 105-113).

    Example
    -------
    >>> az = np.arange(0.5, 360.0, 1.0)
    >>> vr = 10.0 * np.sin(np.deg2rad(az))[:, None] * np.ones((1, 3))  # a 10 m/s westerly
    >>> rings = vad_arrays(vr, az, np.zeros(360), [1e3, 2e3, 3e3])
    >>> print(np.round(rings.u, 3), np.round(np.abs(rings.v), 3))
    [[10. 10. 10.]] [[0. 0. 0.]]
    """
    vel = _as_sweeps(velocity, "velocity")
    per_sweep: tuple[Any, Any, Any] = (azimuth, elevation, range)
    if isinstance(azimuth, np.ndarray) and azimuth.ndim == 1:
        per_sweep = ([azimuth], [elevation], [range])
    az, el, rg = ([np.asarray(x, dtype=np.float64) for x in seq] for seq in per_sweep)
    if not (len(vel) == len(az) == len(el) == len(rg)):
        raise ValueError("velocity, azimuth, elevation and range must have one entry per sweep")
    for k, (v, a, e, r) in enumerate(zip(vel, az, el, rg)):
        if a.shape != (v.shape[0],) or e.shape != (v.shape[0],):
            raise ValueError(
                f"sweep {k}: azimuth and elevation must have one value per ray ({v.shape[0]})"
            )
        if r.shape != (v.shape[1],):
            raise ValueError(f"sweep {k}: range must have one value per gate ({v.shape[1]})")
    nsweep = len(vel)
    width = max((v.shape[0] for v in vel), default=0)
    depth = max((v.shape[1] for v in vel), default=0)
    rows = sum(v.shape[1] for v in vel)

    # Rings of one sweep are consecutive rows sharing one azimuth row; sweeps with fewer rays
    # are padded with NaN (unusable samples), so the whole volume is one kernel call.
    vr = np.full((rows, width), np.nan)
    az_rows = np.full((rows, width), np.nan)
    cos_el = np.empty(rows)
    mean_el = np.full(nsweep, np.nan)
    out = {k: np.full((nsweep, depth), np.nan) for k in _PER_GATE}
    o = 0
    for k, (v, a, e, r) in enumerate(zip(vel, az, el, rg)):
        nray, ngate = v.shape
        vr[o : o + ngate, :nray] = v.T
        az_rows[o : o + ngate, :nray] = np.deg2rad(a)
        mean_el[k] = np.nanmean(e) if np.isfinite(e).any() else np.nan
        h, s, local_el = beam_geometry(r, mean_el[k])
        cos_el[o : o + ngate] = np.cos(np.deg2rad(local_el))
        out["range"][k, :ngate] = r
        out["beam_height"][k, :ngate] = h
        out["height"][k, :ngate] = float(radar_height) + h
        out["ground_distance"][k, :ngate] = s
        o += ngate
    res = _kestrin.vad(vr, az_rows, cos_el, int(min_gates), float(min_spread), n_threads=n_threads)
    o = 0
    for k, v in enumerate(vel):
        ngate = v.shape[1]
        for i, name in enumerate(_RING_FIELDS):
            out[name][k, :ngate] = res[i, o : o + ngate]
        o += ngate
    return VadRings(**out, elevation=mean_el)


def _bin_edges(heights: npt.ArrayLike) -> tuple[Array, Array]:
    h = np.asarray(heights, dtype=np.float64)
    if h.ndim != 1 or h.size < 2 or not np.all(np.isfinite(h)) or np.any(np.diff(h) <= 0):
        raise ValueError("heights must be at least two finite, increasing values (m)")
    mid = 0.5 * (h[1:] + h[:-1])
    return h, np.concatenate([[h[0] - (mid[0] - h[0])], mid, [h[-1] + (h[-1] - mid[-1])]])


@dataclasses.dataclass(frozen=True, eq=False)
class WindProfile(Fields):
    """A wind profile on height bins, each field a (bins,) float64 array.

    Bins without rings hold NaN (``count`` and ``rings`` 0). Also readable as a mapping.

    Attributes
    ----------
    height : ndarray
        Bin centres, m (as given).
    u, v : ndarray
        Count-weighted mean eastward and northward wind of the rings in the bin, m/s.
    speed : ndarray
        Wind speed, m/s.
    direction : ndarray
        Direction the wind blows from, degrees clockwise from north.
    u_spread, v_spread : ndarray
        Count-weighted standard deviation of the rings' u and v about the bin's mean, the
        uncertainty of the bin's wind (0 for a single ring), m/s.
    rms : ndarray
        Count-weighted mean of the rings' fit residuals, m/s.
    count : ndarray
        Samples in the bin.
    rings : ndarray
        Rings in the bin.
    mean_height : ndarray
        Count-weighted mean of the rings' heights, m.
    """

    height: Array
    u: Array
    v: Array
    speed: Array
    direction: Array
    u_spread: Array
    v_spread: Array
    rms: Array
    count: Array
    rings: Array
    mean_height: Array


def profile_arrays(
    height: npt.ArrayLike,
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    rms: npt.ArrayLike,
    count: npt.ArrayLike,
    *,
    heights: npt.ArrayLike,
) -> WindProfile:
    """Wind profile on height bins from VAD rings (any shapes, flattened together).

    Parameters
    ----------
    height : array_like
        Beam height of each ring, m (above the radar or sea level: as `heights`).
    u, v : array_like
        Eastward and northward wind of each ring, m/s (NaN: no fit).
    rms : array_like
        Fit residual of each ring, m/s.
    count : array_like
        Usable samples of each ring.
    heights : array_like
        Bin centres, m, at least two, increasing. A bin reaches halfway to its neighbours
        (the outer bins as far out as inwards).

    Returns
    -------
    WindProfile
        The bins' winds, spreads, counts and mean heights.

    Raises
    ------
    ValueError
        When `heights` are not at least two finite, increasing values.

    Notes
    -----
    Each bin combines the rings whose `height` lies in [lower, upper) and that have a fit
    (finite u and v, count > 0), each weighted by its sample count: the mean is
    Σ n·u / Σ n and the spread sqrt(Σ n·(u - mean)² / Σ n).

    Example
    -------
    >>> p = profile_arrays([100.0, 150.0, 600.0], [1.0, 3.0, 5.0], [0.0, 0.0, -5.0],
    ...                    [0.5, 0.5, 1.0], [10, 30, 20], heights=[0.0, 500.0])
    >>> p.u, p.speed, p.direction
    (array([2.5, 5. ]), array([2.5       , 7.07106781]), array([270., 315.]))
    """
    centres, edges = _bin_edges(heights)
    z = np.asarray(height, dtype=np.float64).ravel()
    u = np.asarray(u, dtype=np.float64).ravel()
    v = np.asarray(v, dtype=np.float64).ravel()
    rms = np.asarray(rms, dtype=np.float64).ravel()
    n = np.asarray(count, dtype=np.float64).ravel()
    ok = np.isfinite(z) & np.isfinite(u) & np.isfinite(v) & (n > 0)
    z, u, v, rms, n = z[ok], u[ok], v[ok], rms[ok], n[ok]
    b = np.searchsorted(edges, z, side="right") - 1
    inside = (b >= 0) & (b < centres.size)
    b, z, u, v, rms, n = b[inside], z[inside], u[inside], v[inside], rms[inside], n[inside]
    nb = centres.size
    w = np.bincount(b, weights=n, minlength=nb)
    rings = np.bincount(b, minlength=nb).astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        um = np.bincount(b, weights=n * u, minlength=nb) / w
        vm = np.bincount(b, weights=n * v, minlength=nb) / w
        us = np.sqrt(np.bincount(b, weights=n * (u - um[b]) ** 2, minlength=nb) / w)
        vs = np.sqrt(np.bincount(b, weights=n * (v - vm[b]) ** 2, minlength=nb) / w)
        rm = np.bincount(b, weights=n * np.where(np.isfinite(rms), rms, 0.0), minlength=nb) / w
        zm = np.bincount(b, weights=n * z, minlength=nb) / w
    speed = np.hypot(um, vm)
    direction = np.where(np.isfinite(speed), np.rad2deg(np.arctan2(-um, -vm)) % 360.0, np.nan)
    return WindProfile(
        height=centres,
        u=um,
        v=vm,
        speed=speed,
        direction=direction,
        u_spread=us,
        v_spread=vs,
        rms=rm,
        count=w,
        rings=rings,
        mean_height=zm,
    )


# ---------------------------------------------------------------------------------------------
# Volumes as xradar gives them

# (long_name, units, standard_name or None) of the variables of `vad` and `vad_profile`
_ATTRS = {
    "u": ("eastward wind", "m s-1", "eastward_wind"),
    "v": ("northward wind", "m s-1", "northward_wind"),
    "offset": ("constant term of the first-harmonic fit", "m s-1", None),
    "rms": ("root-mean-square residual of the first-harmonic fit", "m s-1", None),
    "count": ("usable samples of the ring", "1", None),
    "offset2": ("constant term of the two-harmonic fit", "m s-1", None),
    "sin2": ("coefficient of sin 2az of the two-harmonic fit", "m s-1", None),
    "cos2": ("coefficient of cos 2az of the two-harmonic fit", "m s-1", None),
    "beam_height": ("beam height above the antenna (4/3 earth radius)", "m", None),
    "height": ("beam height above sea level (4/3 earth radius)", "m", "altitude"),
    "ground_distance": ("distance along the ground from the radar", "m", None),
    "range": ("slant range of the gate", "m", "projection_range_coordinate"),
    "elevation": ("mean ray elevation of the sweep", "degree", None),
    "speed": ("wind speed", "m s-1", "wind_speed"),
    "direction": ("direction the wind blows from", "degree", "wind_from_direction"),
    "u_spread": ("count-weighted spread of the rings' eastward wind", "m s-1", None),
    "v_spread": ("count-weighted spread of the rings' northward wind", "m s-1", None),
    "rings": ("rings in the bin", "1", None),
}


def _label(ds: Any, names: Sequence[str]) -> None:
    for k in names:
        long_name, units, standard = _ATTRS[k]
        ds[k].attrs.update(long_name=long_name, units=units)
        if standard is not None:
            ds[k].attrs["standard_name"] = standard


def vad(
    volume: Volume,
    *,
    velocity: str = AUTO,
    min_gates: int = MIN_GATES,
    min_spread: float = MIN_SPREAD,
    dealias: bool = False,
    nyquist: float | None = None,
    n_threads: int = 0,
) -> Any:
    """VAD wind of every ring (every range gate of every sweep) of a volume.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        An xradar DataTree of sweeps, one sweep Dataset, or a Py-ART Radar.
    velocity : str
        Name of the radial-velocity moment (m/s); ``"auto"`` (the default) finds it by its CF
        standard name or a common name (`radarkit.volume.choose_moment`).
    min_gates, min_spread, n_threads
        As for `vad_arrays`.
    dealias : bool
        Dealias the velocities first (`radarkit.dealias.dealias`) and fit the dealiased ones:
        the VAD of folded velocities is wrong wherever the wind exceeds the Nyquist velocity.
    nyquist : float, optional
        m/s, with `dealias`: replaces the sweeps' own Nyquist velocity (required when a sweep
        has none).

    Returns
    -------
    xarray.Dataset
        Over (sweep, range), range being the union of the sweeps' gate ranges (m): ``u``,
        ``v``, ``offset``, ``rms``, ``count``, ``offset2``, ``sin2``, ``cos2`` (see
        `VadRings`), ``beam_height`` (m above the antenna), ``height`` (m above sea level),
        ``ground_distance`` (m), and per sweep ``elevation`` (mean ray elevation, degrees) and
        ``sweep_name``; CF ``units``, ``long_name`` and ``standard_name`` attributes. NaN where
        a ring has no fit or a sweep has no such gate.

    Raises
    ------
    ValueError
        Naming the moment when no sweep has it, or listing the moments when ``"auto"`` finds
        none.

    Notes
    -----
    All rings go to the `vad` kernel in one call (`vad_arrays` states the fit and the beam
    model). Sweeps without the velocity moment (reflectivity-only surveillance cuts) are
    left out; ``sweep_name`` tells which sweep each row is.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> rings = vad(synthetic_volume(elevations=(0.5, 3.0), rays=90, gates=20))
    >>> dict(rings.sizes), rings["u"].attrs["standard_name"]
    ({'sweep': 2, 'range': 20}, 'eastward_wind')
    """
    xr = _optional.xarray()
    volume = as_volume(volume)
    if dealias:
        volume = dealias_volume(volume, velocity=velocity, nyquist=nyquist, n_threads=n_threads)
        velocity = DEALIASED
    sweeps = list_sweeps(volume)
    site = radar_site(volume)
    velocity = _require_moment(volume, "velocity", velocity)
    having = [(name, ds) for name, ds in sweeps if velocity in ds.data_vars]
    if not having:
        ray_arrays(sweeps[0][1], velocity, name=sweeps[0][0])  # raises the error naming it
    sweeps = having
    arrays = [ray_arrays(ds, velocity, name=name) for name, ds in sweeps]
    for (name, _), a in zip(sweeps, arrays):
        if np.unique(a.range).size != a.range.size:  # NaNs count as one value
            raise ValueError(f"{name}: its range values repeat; the rings need one range each")
    res = vad_arrays(
        [a.data for a in arrays],
        [a.azimuth for a in arrays],
        [a.elevation for a in arrays],
        [a.range for a in arrays],
        radar_height=site.radar_height,
        min_gates=min_gates,
        min_spread=min_spread,
        n_threads=n_threads,
    )
    fields = (*_RING_FIELDS, "beam_height", "height", "ground_distance")
    parts = []
    for k, a in enumerate(arrays):
        g = a.range.size
        parts.append(
            xr.Dataset(
                {f: ("range", getattr(res, f)[k, :g]) for f in fields},
                coords={
                    "range": a.range,
                    "elevation": res.elevation[k],
                    "sweep_name": sweeps[k][0],
                },
            )
        )
    out = xr.concat(parts, dim="sweep", join="outer", coords="different", compat="equals")
    out = out.assign_coords(sweep=np.arange(len(parts)))
    _label(out, (*fields, "range", "elevation"))
    return out


def vad_profile(
    volume: Any,
    *,
    heights: npt.ArrayLike,
    above: Literal["radar", "sea"] = "radar",
    velocity: str = AUTO,
    min_gates: int = MIN_GATES,
    min_spread: float = MIN_SPREAD,
    dealias: bool = False,
    nyquist: float | None = None,
    n_threads: int = 0,
) -> Any:
    """One wind profile of a volume on the heights asked for.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        A volume (its rings are computed with `vad`, which takes `velocity`,
        `min_gates`, `min_spread`, `dealias`, `nyquist` and `n_threads`), or a Dataset `vad`
        returned.
    heights : array_like
        Bin centres, m above the radar (``above="radar"``) or above sea level
        (``above="sea"``).
    above : {"radar", "sea"}
        What `heights` are measured from.
    velocity, min_gates, min_spread, dealias, nyquist, n_threads
        As for `vad`.

    Returns
    -------
    xarray.Dataset
        Over ``height``: ``u``, ``v``, ``speed``, ``direction``, ``u_spread``, ``v_spread``,
        ``rms``, ``count``, ``rings``, ``mean_height`` (see `WindProfile`), with CF
        ``units``, ``long_name`` and ``standard_name`` attributes.

    Raises
    ------
    ValueError
        When `above` is neither, or `heights` are not increasing.

    Notes
    -----
    Each bin is the count-weighted mean of the u and v of the rings whose beam height lies
    in the bin, with the count-weighted spread of the rings as its uncertainty;
    `profile_arrays` states the rule.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> prof = vad_profile(synthetic_volume(rays=90, gates=40), heights=[250.0, 500.0, 750.0])
    >>> np.round(prof["u"].values, 2), prof["direction"].attrs["standard_name"]
    (array([3.47, 3.97, 4.46]), 'wind_from_direction')
    """
    xr = _optional.xarray()
    if above not in ("radar", "sea"):
        raise ValueError(f"above must be 'radar' or 'sea', not {above!r}")
    rings = volume
    if not (isinstance(volume, xr.Dataset) and "u" in volume and "beam_height" in volume):
        rings = vad(
            volume,
            velocity=velocity,
            min_gates=min_gates,
            min_spread=min_spread,
            dealias=dealias,
            nyquist=nyquist,
            n_threads=n_threads,
        )
    # rings of an older `vad` call name the height above sea level "altitude"
    sea = "height" if "height" in rings.variables else "altitude"
    z = rings["beam_height" if above == "radar" else sea].values
    prof = profile_arrays(
        z,
        rings["u"].values,
        rings["v"].values,
        rings["rms"].values,
        rings["count"].values,
        heights=heights,
    )
    names = [f for f in prof if f != "height"]
    ds = xr.Dataset({k: ("height", prof[k]) for k in names}, coords={"height": prof.height})
    _label(ds, [k for k in names if k not in ("count", "mean_height")])
    ds["count"].attrs.update(long_name="samples in the bin", units="1")
    ds["mean_height"].attrs.update(
        long_name=f"count-weighted mean height of the rings above {above}", units="m"
    )
    if above == "radar":
        ds["height"].attrs.update(units="m", long_name="height above radar")
    else:
        ds["height"].attrs.update(
            units="m", long_name="height above sea level", standard_name="altitude"
        )
    return ds
