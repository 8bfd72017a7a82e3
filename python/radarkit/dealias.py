"""Dealiasing of Doppler radial velocities: every gate of a volume put on its true fold.

A Doppler radar measures radial velocity only within [-V_N, V_N), V_N being the Nyquist
velocity of the sweep; a faster wind appears folded back by a multiple of 2 V_N. `dealias_arrays`
finds, for every gate of one or more sweeps, the number of folds to add; `dealias` does it for
an xradar volume and adds the dealiased velocity to each sweep as ``VRADDH`` (the ODIM name)
with the folds as ``VRADDH_FOLDS``.

The work runs in the compiled module ``_polar`` on all cores, with the same result for every
thread count.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _polar

from . import _optional, readers
from .geometry import beam_geometry
from .moments import find_moment
from .volume import (
    AUTO,
    _coordinate,
    _require_moment,
    list_sweeps,
    nyquist_velocity,
    radar_site,
    ray_arrays,
)

__all__ = ["DEALIASED", "FOLDS", "FOLD_FILL", "Dealiased", "dealias", "dealias_arrays"]

DEALIASED = "VRADDH"  # the dealiased velocity moment (ODIM's name)
FOLDS = "VRADDH_FOLDS"  # its folds: VRADDH = VRADH + 2 V_N FOLDS
FOLD_FILL = -128  # folds of a gate without a dealiased value (no data, or unresolved)
# velocities beyond this many V_N (plus half a metre per second of quantisation) are not folded
# data of that V_N: already dealiased, or a wrong Nyquist velocity
MAX_FOLDED = 1.1
MAX_HEIGHT = 1e8  # m above the radar: the kernel refuses gates this high (a wrong range unit)


# a trusted wind profile: (heights above sea level, u, v), or a mapping with those keys
Reference = tuple[npt.ArrayLike, npt.ArrayLike, npt.ArrayLike] | Mapping[str, npt.ArrayLike]


class Dealiased(NamedTuple):
    """The result of `dealias_arrays`, one entry per sweep in the lists.

    velocity : list of (rays, gates) arrays
        Dealiased radial velocity, m/s: float32 for float32 input (views of one buffer),
        float64 otherwise; NaN where the gate had no value or its fold was not resolved.
    folds : list of (rays, gates) int8 arrays
        Folds added: velocity = measured + 2 V_N folds; `FOLD_FILL` (-128) where velocity is
        NaN.
    unresolved : (sweeps,) int64 array
        Gates with a measured value that the method left unresolved (NaN in velocity).
    valid : (sweeps,) int64 array
        Gates with a measured value.
    reference : dict of (levels,) float64 arrays
        The wind profile the unfolding started from: ``height`` (m above sea level, bin
        centres every 200 m from the radar up), ``u``, ``v`` (m/s, east and north) and
        ``count`` (velocity differences that entered each bin's fit; 0 for a profile given as
        `reference` and for bins filled from their neighbours).
    """

    velocity: list[np.ndarray]
    folds: list[np.ndarray]
    unresolved: np.ndarray
    valid: np.ndarray
    reference: dict[str, np.ndarray]


def _as_sweeps(x: Any, name: str) -> list[np.ndarray]:
    """A 2-D array, or a sequence of 2-D arrays, as a list of arrays."""
    if isinstance(x, np.ndarray) and x.ndim == 2:
        return [x]
    out = [np.asarray(a) for a in x]
    if any(a.ndim != 2 for a in out):
        raise ValueError(f"{name} must be a rays x gates array or a sequence of them")
    return out


def _sweep_nyquist_value(nyquist: Any, nray: int, label: str) -> float:
    """One V_N (m/s) from a scalar or a per-ray array, checked."""
    ny = np.asarray(nyquist, dtype=np.float64)
    if ny.ndim == 0:
        ny = np.full(nray, float(ny))
    if ny.shape != (nray,):
        raise ValueError(f"{label}: nyquist must be one value or one per ray ({nray})")
    if nray == 0:
        return 1.0  # nothing to unfold: any V_N will do
    if not np.all(np.isfinite(ny)):
        raise ValueError(f"{label} has no Nyquist velocity: pass nyquist= (m/s)")
    if np.any(ny <= 0):
        raise ValueError(f"{label}: the Nyquist velocity must be positive, not {ny.min():g} m/s")
    if ny.max() - ny.min() > 1e-6 * ny.max():
        raise ValueError(
            f"{label}: the Nyquist velocity varies between rays ({ny.min():g} to "
            f"{ny.max():g} m/s); a sweep must have one"
        )
    return float(ny[0])


def _reference_table(reference: Reference | None, radar_height: float) -> np.ndarray:
    """(3, levels) heights above the radar, u, v from (heights above sea level, u, v)."""
    if reference is None:
        return np.empty((3, 0))
    table: Any = reference
    if hasattr(table, "keys"):
        table = (table["height"], table["u"], table["v"])
    try:
        z, u, v = (np.asarray(x, dtype=np.float64).ravel() for x in table)
    except (TypeError, ValueError):
        raise ValueError("reference must be (heights, u, v): three arrays of one length") from None
    if not (z.size == u.size == v.size) or z.size == 0:
        raise ValueError("reference must be (heights, u, v): three arrays of one length")
    ok = np.isfinite(z) & np.isfinite(u) & np.isfinite(v)
    z, u, v = z[ok], u[ok], v[ok]
    if z.size == 0:
        raise ValueError("reference has no level with finite height, u and v")
    if np.any(np.diff(z) <= 0):
        raise ValueError("reference heights must increase")
    return np.stack([z - float(radar_height), u, v])


def dealias_arrays(
    velocity: npt.ArrayLike | Sequence[npt.ArrayLike],
    azimuth: npt.ArrayLike | Sequence[npt.ArrayLike],
    elevation: npt.ArrayLike | Sequence[npt.ArrayLike],
    range: npt.ArrayLike | Sequence[npt.ArrayLike],
    nyquist: float | Sequence[float | npt.ArrayLike],
    *,
    radar_height: float = 0.0,
    reference: Reference | None = None,
    names: Sequence[str] | None = None,
    n_threads: int = 0,
) -> Dealiased:
    """Dealias the radial velocities of one or more sweeps, in one call of the compiled kernel.

    Parameters
    ----------
    velocity : (rays, gates) array or a sequence of them, one per sweep
        Measured (folded) radial velocity, m/s, positive away from the radar; NaN = no data.
        float32 data are read as they are; other types are read as float32.
    azimuth, elevation : per ray, degrees (a sequence of 1-D arrays, one per sweep)
        Rays may come in any order; a sweep that covers the full circle is closed across
        north.
    range : per gate, m (a sequence of 1-D arrays, one per sweep)
    nyquist : float or sequence
        Nyquist velocity V_N, m/s: one for every sweep, or one per sweep (a number, or an
        array with one equal value per ray).
    radar_height : float
        Height of the antenna, m above sea level (for `reference` and the returned profile).
    reference : (heights, u, v) or a mapping with those keys, optional
        A wind profile to trust (a sounding, a model): heights in m above sea level,
        increasing; u, v in m/s. Without it the method finds its own from the data.
    names : sequence of str, optional
        A name for each sweep in error messages (default "sweep 0", "sweep 1", ...).
    n_threads : int
        Threads to use, 0 = all cores. The result is the same for every value.

    Returns
    -------
    Dealiased
        Dealiased velocities, folds, unresolved and valid gate counts per sweep, and the
        reference profile.

    Raises
    ------
    ValueError
        Naming the sweep and the values, before any work: a sweep without a Nyquist velocity,
        one of 0 or less or varying between its rays, velocities beyond 1.1 V_N + 0.5 m/s
        (already dealiased data, or a wrong V_N), arrays of mismatched shapes, ranges that
        put gates 1e8 m or more above the radar (a wrong unit), a reference that is not
        three arrays of one length with increasing heights.

    Notes
    -----
    The method, after the published descriptions:

    1. A reference wind by height without unfolding: the gradient VAD of Gao et al. [1]_.
       Along each ring (one gate of one sweep) the difference of velocity between two rays
       about 5 degrees apart, wrapped into [-V_N, V_N), is 2 sin(D/2) cos(el) (u cos m -
       v sin m) at the pair's middle azimuth m whatever the folding (away from fold lines).
       Their normal equations are pooled in 200 m height bins over all sweeps and solved for
       u and v (every other ring); a second pass wraps each difference around the first fit's
       prediction and drops those more than 2.5 rms from it. The same fit over cells of
       about 2 degrees by 8 gates, windows of +-60 degrees and +-1 cell, interpolated to the
       gates, follows a wind that changes across the sweep.
    2. Each gate is unfolded to the fold nearest the reference radial wind (Xu et al. [2]_).
    3. Continuity within each sweep, after the region ideas of James and Houze [3]_ and
       Louf et al. [4]_: neighbouring gates whose unfolded values differ by less than V_N / 2
       form regions; every edge between two regions that some fold makes continuous votes
       for that number of folds between them; regions are joined in order of the agreement
       of their votes, unless the join costs the two groups more agreement with the reference
       than their edges support; each joined group takes the overall fold that agrees best
       with the reference.
    4. A Jacobi pass puts each gate on the fold nearest the mean of its neighbours (+-2
       gates, +-1 ray) and leaves unresolved a gate still farther than 0.7 V_N from it.

    Unresolved (NaN) are also the gates of a group whose heights lie where the reference has
    no fit of its own within 400 m, and of a group that a second fold would fit nearly as
    well (gates about V_N from the reference, such as isolated speckle).

    Assumptions: plan-position sweeps; a wind that is close to horizontally uniform over a
    ring, or changes across it on scales of tens of degrees, or continuously at the scale of
    the gates; an echo that covers enough of each height for the gradient VAD (or a given
    reference). Every pass reads the previous pass's result and writes a new one, with work
    items and sums in a fixed order: the result does not depend on the number of threads.

    Failure modes: a discontinuity of about 2 V_N or more between neighbouring gates cannot
    be seen (a wind-shift line sharper than the ray spacing puts parts of the far side one
    fold off when the reference does not separate the two winds); a patch of echo with no
    link to the rest takes the fold nearest the reference, so one whose velocities lie more
    than V_N from the wind (weak echo, clutter, a local wind the reference does not follow)
    comes out a fold off and looks like light wind: on Py-ART's real KLOT sample folded again
    at 10 and 7 m/s these patches of fewer than 100 gates hold all but 3 of the gates off
    their recorded fold, while the echo connected over 100 gates or more comes back on
    99.9-100% of its gates; isolated echo at heights with no other echo has no reference
    (left unresolved); clutter or noise that dominates the echo biases the reference;
    rotation couplets much stronger than 3 V_N over a few gates; sweeps whose V_N varies
    between rays are refused.

    References
    ----------
    .. [1] Gao, J., K. K. Droegemeier, J. Gong and Q. Xu, 2004: A method for retrieving mean
       horizontal wind profiles from single-Doppler radar observations contaminated by
       aliasing. Mon. Wea. Rev., 132, 1399-1409.
    .. [2] Xu, Q., K. Nai, S. Liu, C. Zhang, J. Gong and Q. Wang, 2011: A VAD-based
       dealiasing method for radar velocity data quality control. J. Atmos. Oceanic
       Technol., 28, 50-62.
    .. [3] James, C. N., and R. A. Houze, 2001: A real-time four-dimensional Doppler
       dealiasing scheme. J. Atmos. Oceanic Technol., 18, 1674-1683.
    .. [4] Louf, V., A. Protat, R. C. Jackson, S. M. Collis and J. Soderholm, 2020: UNRAVEL:
       a robust modular velocity dealiasing technique for Doppler radars. J. Atmos. Oceanic
       Technol., 37, 741-758.

    Example
    -------
    >>> import numpy as np
    >>> from radarkit.dealias import dealias_arrays
    >>> from radarkit.synthetic import aliased_volume
    >>> case = aliased_volume("veering", rays=180, gates=200, gate_spacing=500.0)
    >>> sweeps = [case.volume[f"sweep_{k}"] for k in range(len(case.truth))]
    >>> out = dealias_arrays(
    ...     [s["VRADH"].values for s in sweeps],
    ...     [s["azimuth"].values for s in sweeps],
    ...     [s["elevation"].values for s in sweeps],
    ...     [s["range"].values for s in sweeps],
    ...     case.nyquist,
    ... )
    >>> right = [np.abs(d - t) < n for d, t, n in zip(out.velocity, case.truth, case.nyquist)]
    >>> bool(sum(r.sum() for r in right) >= 0.995 * out.valid.sum())
    True
    """
    vel = _as_sweeps(velocity, "velocity")
    azs: Any = azimuth
    els: Any = elevation
    rgs: Any = range
    if isinstance(azs, np.ndarray) and azs.ndim == 1:
        azs, els, rgs = [azs], [els], [rgs]
    az = [np.asarray(a, dtype=np.float64) for a in azs]
    el = [np.asarray(e, dtype=np.float64) for e in els]
    rg = [np.asarray(r, dtype=np.float64) for r in rgs]
    if not (len(vel) == len(az) == len(el) == len(rg)):
        raise ValueError("velocity, azimuth, elevation and range must have one entry per sweep")
    labels = [f"sweep {k}" for k in np.arange(len(vel))] if names is None else list(names)
    if len(labels) != len(vel):
        raise ValueError("names must have one entry per sweep")
    if isinstance(nyquist, (int, float, np.number)) or (
        isinstance(nyquist, np.ndarray) and nyquist.ndim == 0
    ):
        nyquist = [nyquist] * len(vel)
    nyquist = list(nyquist)
    if len(nyquist) != len(vel):
        raise ValueError(f"nyquist must be one value or one per sweep ({len(vel)})")
    ny = np.empty(len(vel))
    for k, (v, a, e, r, label) in enumerate(zip(vel, az, el, rg, labels)):
        if a.shape != (v.shape[0],) or e.shape != (v.shape[0],):
            raise ValueError(
                f"{label}: azimuth and elevation must have one value per ray ({v.shape[0]})"
            )
        if r.shape != (v.shape[1],):
            raise ValueError(f"{label}: range must have one value per gate ({v.shape[1]})")
        if not np.all(np.isfinite(a)):
            raise ValueError(f"{label}: azimuths must be finite")
        ny[k] = _sweep_nyquist_value(nyquist[k], v.shape[0], label)
        with np.errstate(invalid="ignore"):
            top = np.nanmax(np.abs(v)) if v.size and not np.all(np.isnan(v)) else 0.0
        if top > MAX_FOLDED * ny[k] + 0.5:
            raise ValueError(
                f"{label}: velocities reach {top:.1f} m/s, beyond its Nyquist velocity "
                f"{ny[k]:g} m/s: already dealiased, or a wrong Nyquist velocity"
            )
    ref = _reference_table(reference, radar_height)

    rays = np.array([v.shape[0] for v in vel], dtype=np.int64)
    gates = np.array([v.shape[1] for v in vel], dtype=np.int64)
    flat = np.empty(int((rays * gates).sum()), dtype=np.float32)
    heights, cosines = [], []
    o = 0
    for v, e, r, label in zip(vel, el, rg, labels):
        flat[o : o + v.size] = v.ravel()
        o += v.size
        # the sweep's beam model at its mean elevation, as the VAD rings use it
        mean_el = np.nanmean(e) if np.isfinite(e).any() else 0.0
        h, _, local = beam_geometry(r, mean_el)
        if np.any(h >= MAX_HEIGHT):
            raise ValueError(
                f"{label}: gates reach {np.nanmax(h):.2g} m above the radar (range up to "
                f"{np.nanmax(r):g} m): the heights must be below {MAX_HEIGHT:g} m"
            )
        heights.append(h)
        cosines.append(np.cos(np.deg2rad(local)))
    # the dealiased velocities go over `flat`, the kernel's own float32 copy of the input
    folds, table, counts = _polar.dealias(
        flat,
        rays,
        gates,
        np.concatenate(az) if az else np.empty(0),
        np.concatenate(heights) if heights else np.empty(0),
        np.concatenate(cosines) if cosines else np.empty(0),
        ny,
        ref,
        flat,
        n_threads=n_threads,
    )
    out_v, out_k = [], []
    o = 0
    for k, v in enumerate(vel):
        fk = folds[o : o + v.size].reshape(v.shape)
        if v.dtype == np.float32:
            d = flat[o : o + v.size].reshape(v.shape)
        else:
            # measured + 2 V_N folds in float64, from the measured values themselves
            d = np.asarray(v, dtype=np.float64).copy()
            d[fk == FOLD_FILL] = np.nan
            shifted = (fk != FOLD_FILL) & (fk != 0)
            d[shifted] += (2.0 * ny[k]) * fk[shifted]
        o += v.size
        out_v.append(d)
        out_k.append(fk)
    valid, unresolved = counts[0], counts[1]
    return Dealiased(
        out_v,
        out_k,
        unresolved,
        valid,
        {
            "height": table[0] + float(radar_height),
            "u": table[1],
            "v": table[2],
            "count": table[3],
        },
    )


def dealias(
    volume: Any,
    *,
    velocity: str = AUTO,
    nyquist: float | None = None,
    reference: Reference | None = None,
    max_range: float | None = None,
    n_threads: int = 0,
) -> Any:
    """A volume with the dealiased radial velocity added to each sweep.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        An xradar volume (sweeps ``sweep_0``, ``sweep_1``, ... with the radar site in the
        root), one sweep, or a Py-ART Radar (converted as `radarkit.volume.list_sweeps` does).
    velocity : str
        The measured radial-velocity moment (m/s); ``"auto"`` finds it (CF standard name,
        then the readers' common names, see `radarkit.moments`). Sweeps without it are left
        as they are.
    nyquist : float, optional
        Nyquist velocity (m/s) for every sweep, instead of the sweeps' own
        ``nyquist_velocity`` (required when a sweep has none).
    reference : (heights, u, v) or a mapping with those keys, optional
        A trusted wind profile: heights in m above sea level, u and v in m/s.
    max_range : float, optional
        Slant range (m) out to which gates are dealiased; the gates beyond are left out of
        the method (their ``VRADDH`` is NaN), which saves their time when they are not used
        (superobservations within a range window). None: every gate.
    n_threads : int
        Threads, 0 = all cores; the result is the same for every value.

    Returns
    -------
    xarray.DataTree or xarray.Dataset
        A new volume (a DataTree; a Dataset for a Dataset) whose sweeps with the velocity
        moment also hold ``VRADDH`` (dealiased radial velocity, m s-1, NaN where the gate had
        no value or was not resolved; attribute ``unresolved_gates``) and ``VRADDH_FOLDS``
        (int8 folds added, ``VRADDH = velocity + 2 nyquist_velocity VRADDH_FOLDS``, -128 where
        VRADDH is NaN).

    Raises
    ------
    ValueError
        Naming the sweep and the values, before anything is added: no sweep with the moment,
        a sweep without a Nyquist velocity (and no `nyquist`), one of 0 or less, velocities
        far outside +-V_N, a `max_range` that is not a positive number.

    Notes
    -----
    All sweeps go through one call of `dealias_arrays`, whose Notes state the method, its
    assumptions and its failure modes.

    Example
    -------
    >>> from radarkit.dealias import dealias
    >>> from radarkit.synthetic import aliased_volume
    >>> case = aliased_volume("vortex", rays=180, gates=200, gate_spacing=500.0)
    >>> out = dealias(case.volume)
    >>> out["sweep_0"]["VRADDH"].attrs["units"], str(out["sweep_0"]["VRADDH_FOLDS"].dtype)
    ('m s-1', 'int8')
    """
    xr = _optional.xarray()
    if max_range is not None and not (np.isfinite(max_range) and max_range > 0):
        raise ValueError(
            f"max_range must be a positive number of metres or None, not {max_range!r}"
        )
    volume = readers.as_volume(volume)
    moment = _require_moment(volume, "velocity", velocity)
    if velocity == AUTO and moment == DEALIASED:
        # a volume dealiased before: again from the measured velocity, whose VRADDH is
        # replaced
        measured = [m for m in find_moment(volume, "velocity").alternatives if m != DEALIASED]
        if measured:
            moment = measured[0]
    sweeps = list_sweeps(volume)
    alt = radar_site(volume).radar_height
    having = [(name, ds) for name, ds in sweeps if moment in ds.data_vars]
    if not having:
        ray_arrays(sweeps[0][1], moment, name=sweeps[0][0])  # raises naming the moment
    vel, az, el, rg, ny, names = [], [], [], [], [], []
    cuts = []  # per sweep, the gates dealiased: the first `cut` along each ray
    for name, ds in having:
        data = ds[moment]
        if data.dims != ("azimuth", "range"):
            data = data.transpose("azimuth", "range")
        v = np.asarray(data.values)
        r = _coordinate(ds, "range", name)
        cut = r.size
        if max_range is not None:
            inside = np.flatnonzero(r <= max_range)
            cut = int(inside[-1]) + 1 if inside.size else 0
        cuts.append(cut)
        v = v[:, :cut]
        vel.append(v if v.dtype in (np.float32, np.float64) else v.astype(np.float64))
        az.append(_coordinate(ds, "azimuth", name))
        e = _coordinate(ds, "elevation", name)
        el.append(np.full(az[-1].shape, float(e)) if e.ndim == 0 else e)
        rg.append(r[:cut])
        ny.append(nyquist_velocity(ds, az[-1].size, nyquist=nyquist, name=name))
        names.append(name)
    res = dealias_arrays(
        vel,
        az,
        el,
        rg,
        ny,
        radar_height=alt,
        reference=reference,
        names=names,
        n_threads=n_threads,
    )
    attrs = {
        "standard_name": "radial_velocity_of_scatterers_away_from_instrument_h",
        "long_name": "Dealiased radial velocity of scatterers away from instrument H",
        "units": "m s-1",
        "comment": f"dealiased from {moment} by radarkit (gradient VAD reference and continuity)",
    }
    fold_attrs = {
        "long_name": f"Nyquist intervals added to {moment}: "
        f"{DEALIASED} = {moment} + 2 nyquist_velocity {FOLDS}",
        "units": "1",
    }
    done = {}
    for k, (name, ds) in enumerate(having):
        dims = ("azimuth", "range")
        d, f = res.velocity[k], res.folds[k]
        gates = ds.sizes["range"]
        if cuts[k] < gates:  # the gates beyond max_range: not dealiased
            d = np.concatenate([d, np.full((d.shape[0], gates - cuts[k]), np.nan, d.dtype)], 1)
            f = np.concatenate([f, np.full((f.shape[0], gates - cuts[k]), FOLD_FILL, f.dtype)], 1)
        new = ds.assign(
            {
                DEALIASED: (dims, d, {**attrs, "unresolved_gates": int(res.unresolved[k])}),
                FOLDS: (dims, f, fold_attrs),
            }
        )
        new[FOLDS].encoding["_FillValue"] = np.int8(FOLD_FILL)
        done[name] = new
    if isinstance(volume, xr.Dataset):
        return done[having[0][0]]
    nodes = {}
    for node in volume.subtree:
        path = node.path
        key = path.strip("/")
        nodes[path] = done[key] if key in done else node.to_dataset(inherit=False)
    return xr.DataTree.from_dict(nodes)
