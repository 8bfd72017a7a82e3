"""Quality control of radar gates before they are averaged or assimilated.

`gate_filter` decides, gate by gate, which radial velocities and reflectivities of a volume are
fit to use, with one filter per reason a gate is removed, and counts what each filter removed.
`velocity_texture` is the local spread of velocity along the rays that one of the filters uses.

The defaults and where they come from (see also the README, "From volumes to assimilation"):

- range window 5 to 150 km: gates nearer than 5 km are dominated by ground clutter and the
  antenna's near field; NCEP's GSI superobservations stop at 100 km, storm-scale systems use
  about 150 km (pyOPAWS keeps gates from 10 km on). Beyond that the beam is wide and high.
- maximum elevation: none by default; GSI's superobservations use tilts up to 5 degrees.
- velocity where reflectivity reaches 5 dBZ (when the sweep has reflectivity): GSI's direct
  radar assimilation leaves out velocities where reflectivity is below 5 dBZ (clear air,
  noise, insects).
- cross-correlation ratio (RHOHV) below 0.8 removed where the sweep has it: rain and snow
  have ratios above about 0.9 (lower in hail and the melting layer); ground clutter, insects,
  birds and chaff mostly lie well below 0.8. A common choice rather than a published figure.
- velocity texture above 5 m/s over 7 gates: the sample standard deviation of (dealiased)
  velocity along the ray. Noise spread over the Nyquist interval has a texture near
  V_N / sqrt(3) (10 m/s and more); weather with 2 m/s of noise exceeds 5 m/s at about one gate
  in a thousand. A choice of this package, not a published figure.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np

import _polar

from .readers import as_volume
from .volume import AUTO, _coordinate, choose_moment, list_sweeps

__all__ = ["GateFilter", "gate_filter", "velocity_texture"]

MIN_RANGE = 5000.0  # m
MAX_RANGE = 150000.0  # m
MIN_REFLECTIVITY = 5.0  # dBZ, GSI direct radar assimilation
MIN_CROSS_CORRELATION = 0.8
MAX_TEXTURE = 5.0  # m/s
TEXTURE_GATES = 7
# names of the cross-correlation ratio (xradar/ODIM, Py-ART, CfRadial writers), in that order
RHO_NAMES = ("RHOHV", "cross_correlation_ratio", "RHOHV_CORR", "RHO", "CC", "RH")
FILTERS = ("range", "elevation", "reflectivity", "cross_correlation", "texture")


class GateFilter(NamedTuple):
    """Which gates of a volume `gate_filter` keeps, and why the others went.

    Attributes
    ----------
    velocity, reflectivity : tuple of (rays, gates) bool arrays or None
        Per sweep, in the volume's sweep order: True where the gate has a finite value of the
        moment and passes every filter; None for a sweep without the moment.
    removed : dict
        ``removed[moment][filter]``: gates with a finite value removed by that filter, for
        moment ``"velocity"`` and ``"reflectivity"`` and the filters in the order they are
        applied, ``"range"``, ``"elevation"``, ``"reflectivity"`` (velocity only),
        ``"cross_correlation"``, ``"texture"`` (velocity only). A gate is counted once, by the
        first filter that removes it.
    gates : dict
        Gates with a finite value of each moment before filtering.
    kept : dict
        Gates of each moment kept.
    settings : dict
        The thresholds applied (None: filter off or moment absent).
    """

    velocity: tuple[np.ndarray | None, ...]
    reflectivity: tuple[np.ndarray | None, ...]
    removed: dict[str, dict[str, int]]
    gates: dict[str, int]
    kept: dict[str, int]
    settings: dict[str, Any]


def velocity_texture(
    velocity: Any, gates: int = TEXTURE_GATES, *, n_threads: int = 0
) -> np.ndarray:
    """Local standard deviation of radial velocity along each ray.

    Parameters
    ----------
    velocity : array_like, (rays, gates)
        Radial velocity, m/s (dealiased: folds would count as spread); NaN = missing.
    gates : int
        Window length in gates, odd, centred on each gate.
    n_threads : int
        Worker threads of the compiled module (0: all hardware threads).

    Returns
    -------
    numpy.ndarray
        (rays, gates) float64, m/s: the sample standard deviation of the finite velocities in
        the window; NaN where the window holds fewer than 3 of them.

    Notes
    -----
    Window sums of the values and their squares, each window's sum taken over its own
    ``gates`` values (no running sum along the ray, so no digits lost far out), in the
    compiled module on all cores; gates beyond the ray's ends count as missing.

    Example
    -------
    >>> import numpy as np
    >>> v = np.array([[1.0, 2.0, 3.0, 4.0, 5.0]])
    >>> velocity_texture(v, gates=3).round(3).tolist()
    [[nan, 1.0, 1.0, 1.0, nan]]
    """
    v = np.asarray(velocity, dtype=np.float64)
    if v.ndim != 2:
        raise ValueError("velocity must be a (rays, gates) array")
    if int(gates) != gates or gates < 3 or gates % 2 == 0:
        raise ValueError(f"gates must be an odd integer of at least 3, not {gates!r}")
    return _polar.velocity_texture(v, int(gates), n_threads=n_threads)


def _span(mask: np.ndarray) -> slice:
    """The slice from the first to the last True of a 1-D mask (empty when none is)."""
    inside = np.flatnonzero(mask)
    return slice(int(inside[0]), int(inside[-1]) + 1) if inside.size else slice(0, 0)


def _texture_fails(
    data: np.ndarray, keep: np.ndarray, gates: int, limit: float, n_threads: int
) -> np.ndarray:
    """Where the texture exceeds `limit`, computed only over the gate columns that still hold
    kept gates (and the window's reach beyond them): the same values as over the whole ray."""
    fail = np.zeros(data.shape, dtype=bool)
    cols = np.flatnonzero(keep.any(axis=0))
    if not cols.size:
        return fail
    half = int(gates) // 2
    lo, hi = max(int(cols[0]) - half, 0), min(int(cols[-1]) + half + 1, data.shape[1])
    tex = velocity_texture(data[:, lo:hi], gates, n_threads=n_threads)
    fail[:, lo:hi] = tex > limit
    return fail


def _moment(ds: Any, name: str | None, sweep: str = "sweep") -> np.ndarray | None:
    """A moment of a sweep as its (rays, gates) values (their own dtype when numbers, else
    float64), None if absent; ValueError naming the sweep when they are not numbers."""
    if name is None or name not in ds.data_vars:
        return None
    da = ds[name]
    ray_dim = "azimuth" if "azimuth" in da.dims else da.dims[0]
    if da.dims != (ray_dim, "range"):  # a transpose only where one is needed: it costs
        da = da.transpose(ray_dim, "range")
    values = np.asarray(da.values)
    if values.dtype.kind not in "biuf":
        try:
            values = values.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(
                f"{sweep}: {name} must be numbers, not {values.dtype} values"
            ) from None
    return values


def _check_threshold(name: str, x: float | None) -> float | None:
    if x is None:
        return None
    x = float(x)
    if np.isnan(x):
        raise ValueError(f"{name} must be a number or None, not nan")
    return x


def gate_filter(
    volume: Any,
    *,
    velocity: str | None = AUTO,
    reflectivity: str | None = AUTO,
    cross_correlation: str | None = AUTO,
    min_range: float | None = MIN_RANGE,
    max_range: float | None = MAX_RANGE,
    max_elevation: float | None = None,
    min_reflectivity: float | None = MIN_REFLECTIVITY,
    min_cross_correlation: float | None = MIN_CROSS_CORRELATION,
    max_texture: float | None = MAX_TEXTURE,
    texture_gates: int = TEXTURE_GATES,
    n_threads: int = 0,
) -> GateFilter:
    """The gates of a volume fit for assimilation, filter by filter.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        A volume of sweeps as xradar gives it, one sweep, or a Py-ART radar.
    velocity, reflectivity, cross_correlation : str or None
        Names of the radial-velocity (m/s, dealiased for the texture filter), reflectivity
        (dBZ) and cross-correlation-ratio moments; ``"auto"`` finds them
        (`radarkit.volume.choose_moment`; the ratio by the names in `RHO_NAMES`), and None or
        a name a sweep lacks leaves the moment (and the filters that need it) out for that
        sweep.
    min_range, max_range : float or None
        Slant-range window of the gates kept, m (5 km and 150 km).
    max_elevation : float or None
        Rays above this elevation (degrees) are removed; None keeps every tilt.
    min_reflectivity : float or None
        Velocity is kept only where the reflectivity of the same gate reaches this value, dBZ
        (5 dBZ); applied to sweeps that have reflectivity. A gate without reflectivity there
        does not reach it.
    min_cross_correlation : float or None
        Gates whose cross-correlation ratio is below this value are removed, both moments
        (0.8); applied where the sweep has the moment and the gate a value.
    max_texture : float or None
        Velocity gates whose texture (`velocity_texture` over `texture_gates` gates) exceeds
        this value are removed, m/s (5 m/s).
    texture_gates : int
        Window of the texture, gates (7).
    n_threads : int
        Worker threads of the texture (0: all hardware threads).

    Returns
    -------
    GateFilter
        Masks per sweep and moment and the count of gates each filter removed.

    Notes
    -----
    The module docstring gives each default and where it comes from. Filters are applied in
    the order range, elevation, reflectivity, cross-correlation ratio, texture, and each
    removed gate is counted by the first filter that removes it. The texture is a property of
    the velocity field: it is computed on every finite velocity of the ray, before any
    filter.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> f = gate_filter(synthetic_volume(elevations=[0.5], rays=36, gates=100))
    >>> f.removed["velocity"]["range"], f.kept["velocity"]
    (720, 2880)
    """
    volume = as_volume(volume)
    sweeps = list_sweeps(volume)
    velocity = choose_moment(volume, "velocity", velocity)
    reflectivity = choose_moment(volume, "reflectivity", reflectivity)
    if cross_correlation == AUTO:
        present = {str(k) for _, ds in sweeps for k in ds.data_vars}
        cross_correlation = next((n for n in RHO_NAMES if n in present), None)
    min_range = _check_threshold("min_range", min_range)
    max_range = _check_threshold("max_range", max_range)
    max_elevation = _check_threshold("max_elevation", max_elevation)
    min_reflectivity = _check_threshold("min_reflectivity", min_reflectivity)
    min_cross_correlation = _check_threshold("min_cross_correlation", min_cross_correlation)
    max_texture = _check_threshold("max_texture", max_texture)
    if min_range is not None and max_range is not None and min_range > max_range:
        raise ValueError(f"min_range ({min_range}) must not exceed max_range ({max_range})")
    removed = {
        "velocity": dict.fromkeys(FILTERS, 0),
        "reflectivity": {k: 0 for k in FILTERS if k not in ("reflectivity", "texture")},
    }
    gates = {"velocity": 0, "reflectivity": 0}
    kept = {"velocity": 0, "reflectivity": 0}
    masks: dict[str, list[np.ndarray | None]] = {"velocity": [], "reflectivity": []}
    for label, ds in sweeps:
        vel = _moment(ds, velocity, label)
        ref = _moment(ds, reflectivity, label)
        rho = _moment(ds, cross_correlation, label)
        rng = _coordinate(ds, "range", label)
        el = _coordinate(ds, "elevation", label)
        nray = next((a.shape[0] for a in (vel, ref) if a is not None), el.size)
        el = np.broadcast_to(el, (nray,))
        in_range = np.ones(rng.shape, dtype=bool)
        if min_range is not None:
            in_range &= rng >= min_range
        if max_range is not None:
            in_range &= rng <= max_range
        low = (
            np.ones(nray, dtype=bool)
            if max_elevation is None
            else ~(el > max_elevation)  # a ray without elevation stays
        )
        # per filter the gates that fail it; None: nothing fails
        fails = {
            "range": None if in_range.all() else ~in_range[None, :],
            "elevation": None if low.all() else ~low[:, None],
            "cross_correlation": None,
        }
        # the range filter comes first: the filters after it look at the gates of its
        # window only (the columns from its first to its last gate), none beyond being kept
        window = _span(in_range)
        if rho is not None and min_cross_correlation is not None:
            # NaN ratio: no evidence
            fails["cross_correlation"] = rho[:, window] < min_cross_correlation
        for moment, data in (("reflectivity", ref), ("velocity", vel)):
            if data is None:
                masks[moment].append(None)
                continue
            keep = np.isfinite(data)
            gates[moment] += int(np.count_nonzero(keep))
            for name in list(removed[moment]):
                fail: np.ndarray | None
                cut = keep if name == "range" else keep[:, window]  # a view: written through
                if name == "reflectivity":
                    if ref is None or min_reflectivity is None:
                        continue
                    fail = ~(ref[:, window] >= min_reflectivity)
                elif name == "texture":
                    if max_texture is None:
                        continue
                    fail = _texture_fails(data, keep, texture_gates, max_texture, n_threads)
                    fail = fail[:, window]
                else:
                    fail = fails[name]
                    if fail is None:
                        continue
                hit = cut & fail
                removed[moment][name] += int(np.count_nonzero(hit))
                cut &= ~hit
            kept[moment] += int(np.count_nonzero(keep))
            masks[moment].append(keep)
    settings = {
        "velocity": velocity,
        "reflectivity": reflectivity,
        "cross_correlation": cross_correlation,
        "min_range": min_range,
        "max_range": max_range,
        "max_elevation": max_elevation,
        "min_reflectivity": min_reflectivity,
        "min_cross_correlation": min_cross_correlation,
        "max_texture": max_texture,
        "texture_gates": int(texture_gates),
    }
    return GateFilter(
        tuple(masks["velocity"]),
        tuple(masks["reflectivity"]),
        removed,
        gates,
        kept,
        settings,
    )


def apply(mask: np.ndarray | None, data: Sequence[Any] | None) -> np.ndarray | None:
    """The moment as float64 with NaN where `mask` is False (None when either is None)."""
    if mask is None or data is None:
        return None
    return np.where(mask, data, np.float64(np.nan))
