"""Radar volumes: gate positions, VAD winds, wind profiles and DART observation files.

Two layers. The array functions (`gate_geometry`, `vad_arrays`, `profile_arrays`) take plain
NumPy arrays — moments as rays x gates, azimuth and elevation per ray in degrees, range per gate
in metres — so data from any reader work. The volume functions (`vad`, `vad_profile`,
`to_obs_seq`, `describe`) take what xradar gives: a DataTree of sweeps (``sweep_0``,
``sweep_1``, ... with the radar position in the root) or one sweep as a Dataset, and call the
array functions. `open_volume` reads a file through xradar's readers.

Beam model: a straight beam over an earth of 4/3 times the mean radius (6371 km), the standard
refraction of a normal atmosphere; gate latitude and longitude follow the WGS84 geodesic from the
radar along the ray's azimuth over the ground distance. Missing values are NaN.

Example::

    import radarkit.radar as rr
    from radarkit.synthetic import synthetic_volume

    volume = synthetic_volume(elevations=[0.5, 1.5, 3.0])
    rings = rr.vad(volume)                          # Dataset over (sweep, range)
    profile = rr.vad_profile(volume, heights=np.arange(250.0, 3001.0, 250.0))
    rr.to_obs_seq(volume, "obs_seq.out", velocity_error=2.0, reflectivity_error=5.0)
"""

import functools
import os
import warnings

import numpy as np

import _kestrin

from ._geometry import EARTH_RADIUS, EFFECTIVE_FACTOR, beam_geometry, geodesic_forward

__all__ = [
    "EARTH_RADIUS",
    "EFFECTIVE_FACTOR",
    "describe",
    "gate_geometry",
    "open_volume",
    "profile_arrays",
    "sweep_observations",
    "to_obs_seq",
    "vad",
    "vad_arrays",
    "vad_profile",
]

MIN_GATES = 30  # usable samples a ring needs for a fit
MIN_SPREAD = 0.1  # azimuth coverage a ring needs: 0.25 is the full circle, ~0.047 a half circle
CLEAR_AIR_BELOW = 5.0  # dBZ: reflectivity below this is written as clear-air reflectivity

_RING_FIELDS = ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2")


def _xarray():
    try:
        import xarray
    except ImportError:
        raise ImportError(
            "radarkit.radar needs xarray and xradar for volumes: pip install 'radarkit[radar]'"
        ) from None
    return xarray


def _xradar():
    _xarray()
    try:
        import xradar
    except ImportError:
        raise ImportError(
            "radarkit.radar needs xradar to read radar files: pip install 'radarkit[radar]'"
        ) from None
    return xradar


# ---------------------------------------------------------------------------------------------
# Array functions


def gate_geometry(latitude, longitude, altitude, azimuth, elevation, range):
    """Position and beam direction of every gate of a sweep.

    Parameters: radar `latitude`, `longitude` (degrees) and `altitude` (m above sea level);
    `azimuth` and `elevation` of each ray (degrees, shape (rays,)); `range` of each gate (m,
    shape (gates,)). Any shapes that broadcast to (rays, gates) after azimuth and elevation are
    given a trailing axis work as well.

    Returns a dict of (rays, gates) float64 arrays: ``latitude``, ``longitude`` (degrees, WGS84),
    ``height`` (m above sea level), ``beam_height`` (m above the antenna), ``ground_distance``
    (m), and the beam direction at the gate in the gate's own horizon: ``beam_azimuth``
    (azimuth of the geodesic there) and ``beam_elevation`` (degrees).
    """
    az = np.asarray(azimuth, dtype=np.float64)
    el = np.asarray(elevation, dtype=np.float64)
    r = np.asarray(range, dtype=np.float64)
    if az.ndim == 1:
        az = az[:, None]
    if el.ndim == 1:
        el = el[:, None]
    h, s, local_el = beam_geometry(r, el)
    az, s = np.broadcast_arrays(az, s)
    lat, lon, beam_az = geodesic_forward(latitude, longitude, az, s)
    return {
        "latitude": lat,
        "longitude": lon,
        "height": float(altitude) + h,
        "beam_height": h,
        "ground_distance": s,
        "beam_azimuth": beam_az,
        "beam_elevation": np.broadcast_to(local_el, lat.shape),
    }


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


# ---------------------------------------------------------------------------------------------
# Volumes as xradar gives them


def _sweep_number(name):
    try:
        return int(name.rsplit("_", 1)[1])
    except (IndexError, ValueError):
        return None


def _sweep_list(volume):
    """[(name, sweep Dataset)] and the radar position (lat, lon, alt) of a volume."""
    xr = _xarray()
    if isinstance(volume, xr.Dataset):
        sweeps = [("sweep_0", volume)]
        root = volume
    elif isinstance(volume, xr.DataTree):
        kids = [
            (name, node.to_dataset())
            for name, node in volume.children.items()
            if name.startswith("sweep_") and _sweep_number(name) is not None
        ]
        sweeps = sorted(kids, key=lambda kv: _sweep_number(kv[0]))
        root = volume.to_dataset()
    else:
        raise TypeError(
            f"volume must be an xarray DataTree of sweeps or a sweep Dataset, not "
            f"{type(volume).__name__}"
        )
    if not sweeps:
        raise ValueError("volume has no sweeps (groups sweep_0, sweep_1, ...)")
    position = []
    for key in ("latitude", "longitude", "altitude"):
        src = root if key in root.variables else sweeps[0][1]
        if key not in src.variables:
            raise ValueError(f"volume has no radar {key}")
        position.append(float(np.asarray(src[key].values).ravel()[0]))
    return sweeps, tuple(position)


def _ray_arrays(ds, name, moment):
    """Moment as (rays, gates) float64, azimuth, elevation, range, ray times of one sweep."""
    if moment not in ds.data_vars:
        have = ", ".join(sorted(k for k, v in ds.data_vars.items() if v.ndim == 2)) or "none"
        raise ValueError(f"{name} has no moment {moment!r} (moments: {have})")
    da = ds[moment]
    ray_dim = "azimuth" if "azimuth" in da.dims else da.dims[0]
    da = da.transpose(ray_dim, "range")
    data = np.asarray(da.values, dtype=np.float64)
    az = np.asarray(ds["azimuth"].values, dtype=np.float64)
    el = np.asarray(ds["elevation"].values, dtype=np.float64)
    if el.ndim == 0:
        el = np.full(az.shape, float(el))
    rng = np.asarray(ds["range"].values, dtype=np.float64)
    time = np.asarray(ds["time"].values) if "time" in ds.variables else None
    return data, az, el, rng, time


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


# ---------------------------------------------------------------------------------------------
# Files


def _sniff(path):
    with open(path, "rb") as f:
        head = f.read(1024)
    if head.startswith(b"\x89HDF\r\n\x1a\n"):
        return ["odim", "gamic", "cfradial1"]
    if head.startswith(b"CDF"):
        return ["cfradial1"]
    if head.startswith((b"AR2V", b"ARCHIVE2")) or head.startswith(b"BZh"):
        return ["nexradlevel2"]
    if head[:1] == b"\x1b" or head[:2] in (b"\x1b\x00", b"\x00\x1b"):
        return ["iris"]
    if head.lstrip().startswith(b"<"):
        return ["rainbow"]
    return ["nexradlevel2", "iris", "furuno", "datamet"]


def open_volume(path):
    """Read a radar file with xradar's readers into a DataTree of sweeps.

    The format is recognised from the file's first bytes (HDF5: ODIM_H5, GAMIC or CfRadial;
    netCDF: CfRadial1; NEXRAD Level II; IRIS/Sigmet; Rainbow). Raises FileNotFoundError, or
    ValueError naming the file when no reader accepts it.
    """
    xd = _xradar()
    path = os.fspath(path)
    tried = []
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file")
    engines = set(getattr(xd.io, "list_xradar_engines", lambda: [])())
    for fmt in _sniff(path):
        if fmt in engines and hasattr(xd.io, "open_datatree"):
            opener = functools.partial(xd.io.open_datatree, engine=fmt)
        else:
            opener = getattr(xd.io, f"open_{fmt}_datatree", None)
        if opener is None:
            continue
        tried.append(fmt)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = opener(path)
        except Exception:  # any reader failure means "not this format"
            continue
        if any(name.startswith("sweep_") for name in tree.children):
            return tree
    raise ValueError(f"{path}: not a radar volume xradar can read (tried {', '.join(tried)})")


def describe(volume):
    """What a volume holds: a dict with the radar position, time span and one entry per sweep
    (name, mean elevation, rays, gates, first and last range, moments)."""
    sweeps, (lat, lon, alt) = _sweep_list(volume)
    out = {"latitude": lat, "longitude": lon, "altitude": alt, "sweeps": []}
    starts, ends = [], []
    for name, ds in sweeps:
        el = np.asarray(ds["elevation"].values, dtype=np.float64)
        rng = np.asarray(ds["range"].values, dtype=np.float64)
        moments = sorted(k for k, v in ds.data_vars.items() if "range" in v.dims and v.ndim == 2)
        if "time" in ds.variables:
            t = np.asarray(ds["time"].values)
            if t.size:
                starts.append(t.min())
                ends.append(t.max())
        out["sweeps"].append(
            {
                "name": name,
                "elevation": float(np.nanmean(el)) if el.size else float("nan"),
                "rays": int(ds.sizes.get("azimuth", el.size)),
                "gates": int(rng.size),
                "first_range": float(rng[0]) if rng.size else float("nan"),
                "last_range": float(rng[-1]) if rng.size else float("nan"),
                "moments": moments,
            }
        )
    out["start"] = min(starts) if starts else None
    out["end"] = max(ends) if ends else None
    return out


def _sweep_nyquist(ds, nray, nyquist, name):
    if nyquist is not None:
        return np.full(nray, float(nyquist))
    for key in ("nyquist_velocity", "NI"):
        if key in ds.variables:
            try:
                ny = np.asarray(ds[key].values, dtype=np.float64)
                ny = np.broadcast_to(ny, (nray,)).copy()
            except (TypeError, ValueError):
                continue  # a reader's placeholder (None) rather than a value
            if np.isfinite(ny).all():
                return ny
    raise ValueError(f"{name} has no Nyquist velocity: pass nyquist= (m/s)")


def sweep_observations(
    *,
    latitude,
    longitude,
    altitude,
    azimuth,
    elevation,
    range,
    time,
    velocity=None,
    reflectivity=None,
    velocity_error=None,
    reflectivity_error=None,
    nyquist=None,
    every=(1, 1),
    clear_air_below=CLEAR_AIR_BELOW,
):
    """DART observations of the usable gates of one sweep, as arrays for `dart.ObsSeqWriter`.

    Array form of `to_obs_seq`. `velocity` and `reflectivity` are (rays, gates) arrays (m/s,
    dBZ; NaN = missing; either may be None), `azimuth`, `elevation` (degrees) and `time`
    (datetime64) per ray, `range` (m) per gate, the radar at `latitude`, `longitude` (degrees),
    `altitude` (m above sea level). `nyquist` (m/s, scalar or per ray) is required with
    `velocity`. `every=(R, G)` keeps every R-th ray and G-th gate, starting with the first.

    Returns a dict of equal-length 1-D arrays (velocity gates first, then reflectivity gates,
    each in ray-major order) with the keyword arguments of `ObsSeqWriter.write`: type, value,
    error, lon, lat, height, time, radar_lon, radar_lat, radar_height, azimuth, elevation
    (beam direction at the gate, see `gate_geometry`), nyquist. Reflectivity below
    `clear_air_below` dBZ is typed RADAR_CLEARAIR_REFLECTIVITY.
    """
    step_ray, step_gate = every
    az = np.asarray(azimuth, dtype=np.float64)
    el = np.asarray(elevation, dtype=np.float64)
    rng = np.asarray(range, dtype=np.float64)
    t = np.asarray(time).astype("datetime64[ns]")
    if not (az.ndim == 1 and el.shape == az.shape and t.shape == az.shape):
        raise ValueError("azimuth, elevation and time must be 1-D with one value per ray")
    parts = []
    for data, kind in ((velocity, "vel"), (reflectivity, "ref")):
        if data is None:
            continue
        data = np.asarray(data, dtype=np.float64)
        if data.shape != (az.size, rng.size):
            name = "velocity" if kind == "vel" else "reflectivity"
            raise ValueError(
                f"{name} must have shape (rays, gates) = ({az.size}, {rng.size}), not {data.shape}"
            )
        sub = data[::step_ray, ::step_gate]
        ray, gate = np.nonzero(np.isfinite(sub))
        ray_full, gate_full = ray * step_ray, gate * step_gate
        value = sub[ray, gate]
        n = value.size
        h, s, local_el = beam_geometry(rng[gate_full], el[ray_full])
        lat, lon, beam_az = geodesic_forward(latitude, longitude, az[ray_full], s)
        chunk = {
            "value": value,
            "lon": lon,
            "lat": lat,
            "height": float(altitude) + h,
            "time": t[ray_full],
        }
        if kind == "vel":
            if velocity_error is None:
                raise ValueError("velocity_error is required with velocity")
            if nyquist is None:
                raise ValueError("nyquist is required with velocity")
            ny = np.broadcast_to(np.asarray(nyquist, dtype=np.float64), az.shape)
            chunk["type"] = np.full(n, "DOPPLER_RADIAL_VELOCITY", dtype=object)
            chunk["error"] = np.full(n, float(velocity_error))
            chunk["azimuth"] = beam_az
            chunk["elevation"] = local_el
            chunk["nyquist"] = ny[ray_full]
        else:
            if reflectivity_error is None:
                raise ValueError("reflectivity_error is required with reflectivity")
            chunk["type"] = np.where(
                value < clear_air_below, "RADAR_CLEARAIR_REFLECTIVITY", "RADAR_REFLECTIVITY"
            ).astype(object)
            chunk["error"] = np.full(n, float(reflectivity_error))
            # beam fields belong to radial velocity only; zeros keep the columns aligned
            chunk["azimuth"] = np.zeros(n)
            chunk["elevation"] = np.zeros(n)
            chunk["nyquist"] = np.zeros(n)
        parts.append(chunk)
    if not parts:
        raise ValueError("velocity and reflectivity are both None: nothing to write")
    out = {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
    m = out["value"].size
    out["radar_lon"] = np.full(m, float(longitude))
    out["radar_lat"] = np.full(m, float(latitude))
    out["radar_height"] = np.full(m, float(altitude))
    return out


_BLOCK_OBS = 500_000  # observations per writer call when a sweep is split into ray blocks


def _sweep_chunks(ds, name, radar, velocity, reflectivity, nyquist, every, split, **kw):
    """The observations of one sweep, in blocks of rays in time order when `split`."""
    moments = {}
    for key, moment in (("velocity", velocity), ("reflectivity", reflectivity)):
        if moment is not None and moment in ds.data_vars:
            data, az, el, rng, time = _ray_arrays(ds, name, moment)
            moments[key] = data
    ny = _sweep_nyquist(ds, az.size, nyquist, name) if "velocity" in moments else None
    time = np.asarray(time).astype("datetime64[ns]")
    # thinning counts rays in the sweep's own order; readers may sort rays by azimuth, so the
    # kept rays are then put in time order for the writer
    keep = np.arange(0, az.size, every[0])
    keep = keep[np.argsort(time[keep], kind="stable")]
    per_ray = max(1, len(moments) * -(-rng.size // every[1]))
    step = max(1, _BLOCK_OBS // per_ray) if split else max(keep.size, 1)
    for a in range(0, keep.size, step):
        rays = keep[a : a + step]
        yield sweep_observations(
            latitude=radar[0],
            longitude=radar[1],
            altitude=radar[2],
            azimuth=az[rays],
            elevation=el[rays],
            range=rng,
            time=time[rays],
            nyquist=None if ny is None else ny[rays],
            every=(1, every[1]),
            **{k: v[rays] for k, v in moments.items()},
            **kw,
        )


def obs_seq_sweeps(volume, velocity, reflectivity, nyquist, *, label=None):
    """Check that every sweep of a volume can be written to a DART file.

    Returns [(first ray time, last ray time, label, sweep Dataset, radar position)], one per
    sweep; raises ValueError naming the sweep (prefixed with `label`) and what is missing.
    """
    sweeps, radar = _sweep_list(volume)
    for m in (velocity, reflectivity):
        if m is not None and not any(m in ds.data_vars for _, ds in sweeps):
            name = sweeps[0][0] if label is None else f"{label}: {sweeps[0][0]}"
            _ray_arrays(sweeps[0][1], name, m)  # raises the error naming the moment
    items = []
    for name, ds in sweeps:
        name = name if label is None else f"{label}: {name}"
        vel = velocity if velocity in ds.data_vars else None
        ref = reflectivity if reflectivity in ds.data_vars else None
        if vel is None and ref is None:
            continue  # a sweep of other moments only
        if vel is not None:
            _sweep_nyquist(ds, ds.sizes.get("azimuth", 1), nyquist, name)
        if "time" not in ds.variables:
            raise ValueError(f"{name} has no ray times")
        t = np.asarray(ds["time"].values).astype("datetime64[ns]")
        if t.size == 0 or np.isnat(t).any():
            raise ValueError(f"{name} has missing ray times")
        items.append((t.min(), t.max(), name, ds, radar))
    return items


def to_obs_seq(
    volume,
    path,
    *,
    velocity_error,
    reflectivity_error,
    velocity="VRADH",
    reflectivity="DBZH",
    every=(1, 1),
    clear_air_below=CLEAR_AIR_BELOW,
    nyquist=None,
    progress=None,
    timings=None,
    n_threads=0,
):
    """Write the radial-velocity and reflectivity gates of radar volumes as one DART file.

    `volume` is an xradar volume (DataTree or sweep Dataset) or a list of them (several times or
    several radars). Every usable gate becomes one observation: ``DOPPLER_RADIAL_VELOCITY``
    (value in m/s, error `velocity_error` m/s, with the radar position, the beam direction at
    the gate and the sweep's Nyquist velocity), ``RADAR_REFLECTIVITY`` (dBZ, error
    `reflectivity_error` dBZ) or, below `clear_air_below` dBZ, ``RADAR_CLEARAIR_REFLECTIVITY``.
    Gate positions follow the 4/3 effective-earth beam model and the WGS84 geodesic (see
    `gate_geometry`); heights are metres above sea level; each gate takes its ray's time.
    Missing gates (NaN) are left out. `every=(R, G)` keeps every R-th ray and G-th gate.
    `velocity` or `reflectivity` None leaves that moment out; a sweep without one of them
    contributes the other (ValueError when no sweep has a moment asked for). `nyquist` (m/s)
    replaces the sweeps' own Nyquist velocity and is required when a sweep has none.

    Sweeps are written one after another in time order (sweeps whose times overlap, e.g. two
    radars scanning together, are written together), so memory stays bounded by the largest
    such group. The file appears only when complete: any error or an interrupt leaves `path`
    as it was. `progress(done, total)` is called after each group of sweeps; `timings`, a dict,
    receives the seconds spent on ``geometry`` (gate positions and selection) and in the
    ``writer`` (formatting and writing the records).

    Returns the writer's WriteResult (observations written, skipped).
    """
    import time as _time

    from . import dart

    volumes = list(volume) if isinstance(volume, (list, tuple)) else [volume]
    if len(every) != 2 or any(int(e) != e or int(e) < 1 for e in every):
        raise ValueError(f"every must be two positive integers (rays, gates), not {every!r}")
    every = (int(every[0]), int(every[1]))
    if velocity is None and reflectivity is None:
        raise ValueError("velocity and reflectivity are both None: nothing to write")
    for label, err in (
        ("velocity_error", velocity_error),
        ("reflectivity_error", reflectivity_error),
    ):
        if not (np.isfinite(err) and err > 0):
            raise ValueError(f"{label} must be a positive number, not {err!r}")

    # Check every sweep and order them before the file is opened.
    items = []
    for vi, vol in enumerate(volumes):
        label = None if len(volumes) == 1 else f"volume {vi}"
        items += obs_seq_sweeps(vol, velocity, reflectivity, nyquist, label=label)
    items.sort(key=lambda it: it[0])
    groups = []
    for it in items:
        if groups and it[0] <= groups[-1][-1][1]:
            groups[-1].append(it)
        else:
            groups.append([it])

    t_geo = t_write = 0.0
    with dart.ObsSeqWriter(path, n_threads=n_threads) as writer:
        for gi, group in enumerate(groups):
            t0 = _time.perf_counter()
            # a sweep alone is written in ray blocks; sweeps overlapping in time go together
            blocks = [
                _sweep_chunks(
                    ds,
                    label,
                    radar,
                    velocity,
                    reflectivity,
                    nyquist,
                    every,
                    len(group) == 1,
                    velocity_error=velocity_error,
                    reflectivity_error=reflectivity_error,
                    clear_air_below=clear_air_below,
                )
                for _, _, label, ds, radar in group
            ]
            if len(group) > 1:
                parts = [c for gen in blocks for c in gen]
                blocks = [iter([{k: np.concatenate([c[k] for c in parts]) for k in parts[0]}])]
                del parts
            t_geo += _time.perf_counter() - t0
            for gen in blocks:
                while True:
                    t0 = _time.perf_counter()
                    chunk = next(gen, None)
                    t_geo += _time.perf_counter() - t0
                    if chunk is None:
                        break
                    t0 = _time.perf_counter()
                    if chunk["value"].size:
                        writer.write(**chunk)
                    t_write += _time.perf_counter() - t0
                    del chunk
            if progress is not None:
                progress(gi + 1, len(groups))
        t0 = _time.perf_counter()
    t_write += _time.perf_counter() - t0
    if timings is not None:
        timings["geometry"] = t_geo
        timings["writer"] = t_write
    return dart.WriteResult(writer.written, writer.skipped)
