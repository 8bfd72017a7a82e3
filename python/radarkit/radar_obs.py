"""DART observations of radar volumes: per-sweep observation arrays and whole files."""

import numpy as np

from .geometry import beam_geometry, geodesic_forward
from .volume import _ray_arrays, _sweep_list, _sweep_nyquist

__all__ = ["CLEAR_AIR_BELOW", "obs_seq_sweeps", "sweep_observations", "to_obs_seq"]

CLEAR_AIR_BELOW = 5.0  # dBZ: reflectivity below this is written as clear-air reflectivity


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
