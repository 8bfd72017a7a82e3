"""VAD winds of radar rings and wind profiles on height bins."""

import numpy as np

import _kestrin

from .geometry import beam_geometry
from .volume import _ray_arrays, _sweep_list, _xarray

__all__ = ["MIN_GATES", "MIN_SPREAD", "profile_arrays", "vad", "vad_arrays", "vad_profile"]

MIN_GATES = 30  # usable samples a ring needs for a fit
MIN_SPREAD = 0.1  # azimuth coverage a ring needs: 0.25 is the full circle, ~0.047 a half circle

_RING_FIELDS = ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2")


def _as_sweeps(x, name):
    """A 2-D array, or a sequence of 2-D arrays, as a list of float64 arrays."""
    if isinstance(x, np.ndarray) and x.ndim == 2:
        return [np.asarray(x, dtype=np.float64)]
    out = [np.asarray(a, dtype=np.float64) for a in x]
    if any(a.ndim != 2 for a in out):
        raise ValueError(f"{name} must be a rays x gates array or a sequence of them")
    return out


def vad_arrays(
    velocity,
    azimuth,
    elevation,
    range,
    *,
    altitude=0.0,
    min_gates=MIN_GATES,
    min_spread=MIN_SPREAD,
    n_threads=0,
):
    """VAD wind of every ring of one or more sweeps, in one call of the `vad` kernel.

    A ring is one range gate of one sweep: the radial velocities of all its rays. The fitted
    sine and cosine coefficients are divided by the cosine of the beam's elevation at the gate
    (the sweep's mean ray elevation plus the curvature angle s/(ke·a) of the 4/3 model), so u and
    v are the eastward and northward wind in the radar's horizontal frame.

    Parameters
    ----------
    velocity : (rays, gates) array or a sequence of them, one per sweep; m/s, NaN = missing.
    azimuth, elevation : per ray, degrees (a sequence of 1-D arrays, one per sweep).
    range : per gate, m (a sequence of 1-D arrays, one per sweep).
    altitude : antenna altitude above sea level, m.
    min_gates : least number of usable samples of a ring (at least 3 in any case).
    min_spread : least azimuth coverage, the determinant of the covariance of (sin az, cos az):
        0.25 for the full circle, about 0.047 for a half circle.

    Returns a dict of float64 arrays of shape (sweeps, most gates of a sweep), NaN beyond a
    sweep's last gate and for rings without a fit: ``u``, ``v`` (m/s), ``offset`` (the constant
    term, m/s), ``rms`` (residual of the fit, m/s), ``count`` (usable samples), ``offset2``,
    ``sin2``, ``cos2`` (constant and second-harmonic terms of the two-harmonic fit, m/s),
    ``range``, ``beam_height`` (above the antenna), ``altitude`` (above sea level),
    ``ground_distance`` (m); and ``elevation`` (sweeps,), the mean ray elevation in degrees.
    """
    vel = _as_sweeps(velocity, "velocity")
    if isinstance(azimuth, np.ndarray) and azimuth.ndim == 1:
        azimuth, elevation, range = [azimuth], [elevation], [range]
    az = [np.asarray(a, dtype=np.float64) for a in azimuth]
    el = [np.asarray(e, dtype=np.float64) for e in elevation]
    rg = [np.asarray(r, dtype=np.float64) for r in range]
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
    out = {k: np.full((nsweep, depth), np.nan) for k in (*_RING_FIELDS, "range")}
    for k in ("beam_height", "altitude", "ground_distance"):
        out[k] = np.full((nsweep, depth), np.nan)
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
        out["altitude"][k, :ngate] = float(altitude) + h
        out["ground_distance"][k, :ngate] = s
        o += ngate
    res = _kestrin.vad(vr, az_rows, cos_el, int(min_gates), float(min_spread), n_threads=n_threads)
    o = 0
    for k, v in enumerate(vel):
        ngate = v.shape[1]
        for i, name in enumerate(_RING_FIELDS):
            out[name][k, :ngate] = res[i, o : o + ngate]
        o += ngate
    out["elevation"] = mean_el
    return out


def _bin_edges(heights):
    h = np.asarray(heights, dtype=np.float64)
    if h.ndim != 1 or h.size < 2 or not np.all(np.isfinite(h)) or np.any(np.diff(h) <= 0):
        raise ValueError("heights must be at least two finite, increasing values (m)")
    mid = 0.5 * (h[1:] + h[:-1])
    return h, np.concatenate([[h[0] - (mid[0] - h[0])], mid, [h[-1] + (h[-1] - mid[-1])]])


def profile_arrays(height, u, v, rms, count, *, heights):
    """Wind profile on height bins from VAD rings (any shapes, flattened together).

    `heights` are the bin centres (m, increasing); a bin reaches halfway to its neighbours
    (the outer bins as far out as inwards). Each bin combines the rings whose beam `height`
    lies in [lower, upper) and that have a fit (finite u and v), weighting each ring by its
    sample `count`:

    - ``u``, ``v``: count-weighted means (m/s);
    - ``u_spread``, ``v_spread``: count-weighted standard deviations of the rings' u and v
      about those means, the uncertainty of the bin's wind (0 for a single ring);
    - ``rms``: count-weighted mean of the rings' residuals; ``count``: samples in the bin;
      ``rings``: rings in the bin; ``mean_height``: count-weighted mean of the rings' heights;
    - ``speed`` and ``direction`` (degrees the wind blows from, clockwise from north).

    Bins without rings hold NaN (``count`` and ``rings`` 0). Returns a dict of (bins,) arrays.
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
    return {
        "height": centres,
        "u": um,
        "v": vm,
        "speed": speed,
        "direction": direction,
        "u_spread": us,
        "v_spread": vs,
        "rms": rm,
        "count": w,
        "rings": rings,
        "mean_height": zm,
    }


def vad(volume, *, velocity="VRADH", min_gates=MIN_GATES, min_spread=MIN_SPREAD, n_threads=0):
    """VAD wind of every ring (every range gate of every sweep) of a volume.

    `volume` is an xradar DataTree of sweeps or one sweep Dataset; `velocity` names the
    radial-velocity moment (m/s). All rings go to the `vad` kernel in one call; `min_gates` and
    `min_spread` gate the fits as in `vad_arrays`, which states the beam model.

    Sweeps without the velocity moment are left out (``sweep_name`` tells which sweep each
    row is); ValueError when no sweep has it.

    Returns an xarray Dataset over (sweep, range), range being the union of the sweeps' gate
    ranges (m): ``u``, ``v``, ``offset``, ``rms``, ``count``, ``offset2``, ``sin2``, ``cos2``
    (see `vad_arrays`), ``beam_height`` (m above the antenna), ``altitude`` (m above sea level),
    ``ground_distance`` (m), and per sweep ``elevation`` (mean ray elevation, degrees) and
    ``sweep_name``. NaN where a ring has no fit or a sweep has no such gate.
    """
    xr = _xarray()
    sweeps, (_, _, alt) = _sweep_list(volume)
    # sweeps without the moment (e.g. reflectivity-only surveillance cuts) are left out
    having = [(name, ds) for name, ds in sweeps if velocity in ds.data_vars]
    if not having:
        _ray_arrays(sweeps[0][1], sweeps[0][0], velocity)  # raises the error naming the moment
    sweeps = having
    vel, az, el, rg = [], [], [], []
    for name, ds in sweeps:
        data, a, e, r, _ = _ray_arrays(ds, name, velocity)
        vel.append(data)
        az.append(a)
        el.append(e)
        rg.append(r)
    res = vad_arrays(
        vel,
        az,
        el,
        rg,
        altitude=alt,
        min_gates=min_gates,
        min_spread=min_spread,
        n_threads=n_threads,
    )
    parts = []
    fields = (*_RING_FIELDS, "beam_height", "altitude", "ground_distance")
    for k, r in enumerate(rg):
        g = r.size
        parts.append(
            xr.Dataset(
                {f: ("range", res[f][k, :g]) for f in fields},
                coords={"range": r, "elevation": res["elevation"][k], "sweep_name": sweeps[k][0]},
            )
        )
    out = xr.concat(parts, dim="sweep", join="outer", coords="different", compat="equals")
    out = out.assign_coords(sweep=np.arange(len(parts)))
    units = {
        "u": ("eastward wind", "m s-1"),
        "v": ("northward wind", "m s-1"),
        "offset": ("constant term of the first-harmonic fit", "m s-1"),
        "rms": ("root-mean-square residual of the first-harmonic fit", "m s-1"),
        "count": ("usable samples of the ring", "1"),
        "offset2": ("constant term of the two-harmonic fit", "m s-1"),
        "sin2": ("coefficient of sin 2az of the two-harmonic fit", "m s-1"),
        "cos2": ("coefficient of cos 2az of the two-harmonic fit", "m s-1"),
        "beam_height": ("beam height above the antenna (4/3 earth radius)", "m"),
        "altitude": ("beam height above sea level (4/3 earth radius)", "m"),
        "ground_distance": ("distance along the ground from the radar", "m"),
        "range": ("slant range of the gate", "m"),
    }
    for k, (long_name, unit) in units.items():
        out[k].attrs.update(long_name=long_name, units=unit)
    return out


def vad_profile(volume, *, heights, above="radar", velocity="VRADH", **vad_kw):
    """One wind profile of a volume on the heights asked for.

    `volume` is an xradar volume (its rings are computed with `vad`, which takes the keyword
    arguments `vad_kw`) or a Dataset `vad` returned. `heights` are bin centres in metres above
    the radar (`above="radar"`) or above sea level (`above="sea"`). Each bin is the
    count-weighted mean of the u and v of the rings whose beam height lies in the bin, with the
    count-weighted spread of the rings as its uncertainty; `profile_arrays` states the rule.

    Returns an xarray Dataset over ``height``: u, v, speed, direction, u_spread, v_spread, rms,
    count, rings, mean_height.
    """
    xr = _xarray()
    if above not in ("radar", "sea"):
        raise ValueError(f"above must be 'radar' or 'sea', not {above!r}")
    rings = volume
    if not (isinstance(volume, xr.Dataset) and "u" in volume and "beam_height" in volume):
        rings = vad(volume, velocity=velocity, **vad_kw)
    z = rings["beam_height" if above == "radar" else "altitude"].values
    prof = profile_arrays(
        z,
        rings["u"].values,
        rings["v"].values,
        rings["rms"].values,
        rings["count"].values,
        heights=heights,
    )
    h = prof.pop("height")
    ds = xr.Dataset({k: ("height", a) for k, a in prof.items()}, coords={"height": h})
    ds["height"].attrs.update(units="m", long_name=f"height above {above}")
    ds["direction"].attrs.update(units="degree", long_name="direction the wind blows from")
    for k in ("u", "v", "speed", "u_spread", "v_spread", "rms"):
        ds[k].attrs["units"] = "m s-1"
    return ds
