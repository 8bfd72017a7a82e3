"""Observations of radar volumes for data assimilation: per-sweep arrays and DART files.

`sweep_observations` turns the usable gates of one sweep into the fields of
`radarkit.dart.ObsSeqWriter.write`; `to_obs_seq` writes whole volumes (one or several, from one
or several radars) as one DART observation-sequence file in time order.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, NamedTuple

import numpy as np
import numpy.typing as npt

from . import dart
from ._names import Fields, renamed
from .geometry import beam_geometry, geodesic_forward
from .readers import as_volume
from .volume import (
    AUTO,
    RadarSite,
    Volume,
    choose_moment,
    list_sweeps,
    nyquist_velocity,
    radar_site,
    ray_arrays,
)

if TYPE_CHECKING:
    import os

    import xarray as xr

__all__ = [
    "CLEAR_AIR_BELOW",
    "SweepObservations",
    "WriteResult",
    "check_obs_seq",
    "sweep_observations",
    "to_obs_seq",
]

CLEAR_AIR_BELOW = 5.0  # dBZ: reflectivity below this is written as clear-air reflectivity

WriteResult = dart.WriteResult

Array = npt.NDArray[np.float64]


@dataclasses.dataclass(frozen=True, eq=False)
class SweepObservations(Fields):
    """DART observations of the usable gates of a sweep, as equal-length 1-D arrays.

    The fields are the keyword arguments of `radarkit.dart.ObsSeqWriter.write`, so
    ``writer.write(**obs)`` and ``dart.write_obs_seq(path, obs)`` take it as it is. The older
    keys ``lon``, ``lat``, ``radar_lon``, ``radar_lat`` give the new fields with a
    DeprecationWarning.

    Attributes
    ----------
    type : ndarray of str
        DART kind of each observation.
    value : ndarray
        m/s or dBZ.
    error : ndarray
        Error standard deviation, m/s or dBZ.
    latitude, longitude : ndarray
        Gate position, degrees north and east.
    height : ndarray
        Gate height, m above sea level.
    time : ndarray of datetime64[ns]
        Time of the gate's ray.
    radar_latitude, radar_longitude, radar_height : ndarray
        The radar site, degrees and m above sea level.
    azimuth, elevation : ndarray
        Beam direction at the gate, degrees (0 for reflectivity, which has none).
    nyquist : ndarray
        Nyquist velocity, m/s (0 for reflectivity).
    """

    type: npt.NDArray[np.object_]
    value: Array
    error: Array
    latitude: Array
    longitude: Array
    height: Array
    time: npt.NDArray[np.datetime64]
    radar_latitude: Array
    radar_longitude: Array
    radar_height: Array
    azimuth: Array
    elevation: Array
    nyquist: Array

    _renamed: ClassVar[dict[str, str]] = dart.OLD_FIELDS


def _ray_times(time: Any, name: str) -> npt.NDArray[np.datetime64]:
    """Ray times as datetime64[ns]; numbers are refused (numpy would read them as counts of
    nanoseconds since 1970)."""
    t = np.asarray(time)
    if t.dtype.kind in "biufc":
        raise ValueError(f"{name} must be numpy.datetime64 values, not numbers ({t.dtype})")
    return t.astype("datetime64[ns]")


@renamed(latitude="radar_latitude", longitude="radar_longitude", altitude="radar_height")
def sweep_observations(
    *,
    radar_latitude: float,
    radar_longitude: float,
    radar_height: float,
    azimuth: npt.ArrayLike,
    elevation: npt.ArrayLike,
    range: npt.ArrayLike,
    time: npt.ArrayLike,
    velocity: npt.ArrayLike | None = None,
    reflectivity: npt.ArrayLike | None = None,
    velocity_error: float | None = None,
    reflectivity_error: float | None = None,
    nyquist: npt.ArrayLike | None = None,
    every: tuple[int, int] = (1, 1),
    clear_air_below: float = CLEAR_AIR_BELOW,
) -> SweepObservations:
    """DART observations of the usable gates of one sweep, the array form of `to_obs_seq`.

    Parameters
    ----------
    radar_latitude, radar_longitude : float
        The radar site, degrees north and east (older names: ``latitude``, ``longitude``).
    radar_height : float
        Height of the antenna, m above sea level (older name: ``altitude``).
    azimuth, elevation : array_like, shape (rays,)
        Direction of each ray, degrees.
    range : array_like, shape (gates,)
        Slant range of each gate, m.
    time : array_like of datetime64, shape (rays,)
        Time of each ray.
    velocity, reflectivity : array_like, shape (rays, gates), optional
        Radial velocity (m/s) and reflectivity (dBZ), NaN = missing; either may be None.
    velocity_error, reflectivity_error : float
        Error standard deviations, m/s and dBZ; required with their moment.
    nyquist : float or array_like (rays,)
        Nyquist velocity, m/s; required with `velocity`.
    every : (int, int)
        Keep every R-th ray and G-th gate, starting with the first.
    clear_air_below : float
        dBZ: reflectivity below it is typed RADAR_CLEARAIR_REFLECTIVITY.

    Returns
    -------
    SweepObservations
        Velocity gates first, then reflectivity gates, each in ray-major order.

    Raises
    ------
    ValueError
        Naming the argument: shapes that disagree, a moment without its error or Nyquist
        velocity, numbers as `time`, no moment at all.

    Notes
    -----
    Gate positions and the beam direction at the gate follow `radarkit.geometry.gate_geometry`
    (the 4/3 effective-earth model and the WGS84 geodesic).

    Example
    -------
    >>> obs = sweep_observations(
    ...     radar_latitude=46.5, radar_longitude=7.5, radar_height=350.0,
    ...     azimuth=[0.0, 90.0], elevation=[0.5, 0.5], range=[1000.0, 2000.0],
    ...     time=np.array(["2024-05-20T18:00:00", "2024-05-20T18:00:01"], "datetime64[s]"),
    ...     reflectivity=[[20.0, np.nan], [3.0, 40.0]], reflectivity_error=5.0,
    ... )
    >>> list(obs.type)
    ['RADAR_REFLECTIVITY', 'RADAR_CLEARAIR_REFLECTIVITY', 'RADAR_REFLECTIVITY']
    >>> obs.value, obs.error
    (array([20.,  3., 40.]), array([5., 5., 5.]))
    """
    step_ray, step_gate = every
    az = np.asarray(azimuth, dtype=np.float64)
    el = np.asarray(elevation, dtype=np.float64)
    rng = np.asarray(range, dtype=np.float64)
    t = _ray_times(time, "time")
    if not (az.ndim == 1 and el.shape == az.shape and t.shape == az.shape):
        raise ValueError("azimuth, elevation and time must be 1-D with one value per ray")
    parts = []
    for given, kind in ((velocity, "vel"), (reflectivity, "ref")):
        if given is None:
            continue
        data = np.asarray(given, dtype=np.float64)
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
        lat, lon, beam_az = geodesic_forward(radar_latitude, radar_longitude, az[ray_full], s)
        chunk = {
            "value": value,
            "latitude": lat,
            "longitude": lon,
            "height": float(radar_height) + h,
            "time": t[ray_full],
        }
        if kind == "vel":
            if velocity_error is None:
                raise ValueError("velocity_error is required with velocity")
            if nyquist is None:
                raise ValueError("nyquist is required with velocity")
            ny = np.broadcast_to(np.asarray(nyquist, dtype=np.float64), az.shape)
            chunk["type"] = np.full(n, dart.RADIAL_VELOCITY, dtype=object)
            chunk["error"] = np.full(n, float(velocity_error))
            chunk["azimuth"] = beam_az
            chunk["elevation"] = local_el
            chunk["nyquist"] = ny[ray_full]
        else:
            if reflectivity_error is None:
                raise ValueError("reflectivity_error is required with reflectivity")
            chunk["type"] = np.where(
                value < clear_air_below, dart.CLEAR_AIR_REFLECTIVITY, dart.REFLECTIVITY
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
    return SweepObservations(
        **out,
        radar_latitude=np.full(m, float(radar_latitude)),
        radar_longitude=np.full(m, float(radar_longitude)),
        radar_height=np.full(m, float(radar_height)),
    )


# ---------------------------------------------------------------------------------------------
# Volumes


class _Sweep(NamedTuple):
    """A sweep to write: its time span, its name in messages, its data, its radar and the
    names of its volume's moments to write (None: left out)."""

    start: np.datetime64
    end: np.datetime64
    name: str
    data: xr.Dataset
    site: RadarSite
    velocity: str | None
    reflectivity: str | None


def _sweeps_to_write(
    volume: Volume,
    velocity: str | None,
    reflectivity: str | None,
    nyquist: float | None,
    label: str | None,
) -> list[_Sweep]:
    """The sweeps of a volume with a moment asked for, each checked to be writable."""
    volume = as_volume(volume)
    sweeps = list_sweeps(volume)
    site = radar_site(volume)
    first = sweeps[0][0] if label is None else f"{label}: {sweeps[0][0]}"
    if not np.isfinite(site).all():
        raise ValueError(
            f"{'volume' if label is None else label}: radar position unknown (not in the "
            "file): give the volume its latitude, longitude and altitude"
        )
    auto = [m == AUTO for m in (velocity, reflectivity)]
    velocity = choose_moment(volume, "velocity", velocity)
    reflectivity = choose_moment(volume, "reflectivity", reflectivity)
    if velocity is None and reflectivity is None:
        if any(auto):
            have = sorted(
                {str(k) for _, ds in sweeps for k, v in ds.data_vars.items() if v.ndim == 2}
            )
            raise ValueError(
                f"{'volume' if label is None else label}: no radial-velocity or reflectivity "
                "moment found (moments: "
                f"{', '.join(have) or 'none'}): name them with velocity= and reflectivity="
            )
        raise ValueError("velocity and reflectivity are both None: nothing to write")
    for m in (velocity, reflectivity):
        if m is not None and not any(m in ds.data_vars for _, ds in sweeps):
            ray_arrays(sweeps[0][1], m, name=first)  # raises the error naming the moment
    items = []
    for name, ds in sweeps:
        name = name if label is None else f"{label}: {name}"
        vel = velocity is not None and velocity in ds.data_vars
        ref = reflectivity is not None and reflectivity in ds.data_vars
        if not (vel or ref):
            continue  # a sweep of other moments only
        if vel:
            nyquist_velocity(ds, ds.sizes.get("azimuth", 1), nyquist=nyquist, name=name)
        if "time" not in ds.variables:
            raise ValueError(f"{name} has no ray times")
        t = _ray_times(ds["time"].values, f"{name}: ray times")
        if t.size == 0 or np.isnat(t).any():
            raise ValueError(f"{name} has missing ray times")
        items.append(_Sweep(t.min(), t.max(), name, ds, site, velocity, reflectivity))
    return items


def check_obs_seq(
    volume: Volume,
    *,
    velocity: str | None = AUTO,
    reflectivity: str | None = AUTO,
    nyquist: float | None = None,
    label: str | None = None,
) -> None:
    """Check, without writing anything, that `to_obs_seq` can write a volume.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        A volume.
    velocity, reflectivity, nyquist
        As for `to_obs_seq`.
    label : str, optional
        Prefix of the sweep's name in messages (for example the file's name).

    Returns
    -------
    None
        When every sweep with a moment asked for can be written.

    Raises
    ------
    ValueError
        Naming the sweep and what it lacks: the moments asked for, a Nyquist velocity, ray
        times.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> check_obs_seq(synthetic_volume(gates=10, nyquist=None), label="volume.nc")
    Traceback (most recent call last):
    ...
    ValueError: volume.nc: sweep_0 has no Nyquist velocity: pass nyquist= (m/s)
    """
    _sweeps_to_write(volume, velocity, reflectivity, nyquist, label)


_BLOCK_OBS = 500_000  # observations per writer call when a sweep is split into ray blocks


def _sweep_chunks(
    sweep: _Sweep,
    nyquist: float | None,
    every: tuple[int, int],
    split: bool,
    **kw: Any,
) -> Iterator[SweepObservations]:
    """The observations of one sweep, in blocks of rays in time order when `split`."""
    ds, name = sweep.data, sweep.name
    data: dict[str, Any] = {}
    for key, moment in (("velocity", sweep.velocity), ("reflectivity", sweep.reflectivity)):
        if moment is not None and moment in ds.data_vars:
            rays = ray_arrays(ds, moment, name=name)
            data[key] = rays.data
    az, el, rng = rays.azimuth, rays.elevation, rays.range
    ny = nyquist_velocity(ds, az.size, nyquist=nyquist, name=name) if "velocity" in data else None
    time = _ray_times(rays.time, f"{name}: ray times")
    # thinning counts rays in the sweep's own order; readers may sort rays by azimuth, so the
    # kept rays are then put in time order for the writer
    keep = np.arange(0, az.size, every[0])
    keep = keep[np.argsort(time[keep], kind="stable")]
    per_ray = max(1, len(data) * -(-rng.size // every[1]))
    step = max(1, _BLOCK_OBS // per_ray) if split else max(keep.size, 1)
    for a in range(0, keep.size, step):
        rows = keep[a : a + step]
        yield sweep_observations(
            radar_latitude=sweep.site.radar_latitude,
            radar_longitude=sweep.site.radar_longitude,
            radar_height=sweep.site.radar_height,
            azimuth=az[rows],
            elevation=el[rows],
            range=rng,
            time=time[rows],
            nyquist=None if ny is None else ny[rows],
            every=(1, every[1]),
            **{k: v[rows] for k, v in data.items()},
            **kw,
        )


def _time_groups(items: list[_Sweep]) -> list[list[_Sweep]]:
    """Sweeps in time order, those whose times overlap (two radars scanning together) in one
    group."""
    groups: list[list[_Sweep]] = []
    for it in sorted(items, key=lambda it: it.start):
        if groups and it.start <= groups[-1][-1].end:
            groups[-1].append(it)
        else:
            groups.append([it])
    return groups


def _group_blocks(
    group: list[_Sweep],
    nyquist: float | None,
    every: tuple[int, int],
    **kw: Any,
) -> Iterator[SweepObservations | dict[str, Any]]:
    """The writer calls of a group: a sweep alone in ray blocks; sweeps overlapping in time
    together, as one block the writer sorts."""
    if len(group) == 1:
        yield from _sweep_chunks(group[0], nyquist, every, True, **kw)
        return
    parts = [c for s in group for c in _sweep_chunks(s, nyquist, every, False, **kw)]
    yield {k: np.concatenate([c[k] for c in parts]) for k in parts[0]}


def _check_every(every: Sequence[int]) -> tuple[int, int]:
    if len(every) != 2 or any(int(e) != e or int(e) < 1 for e in every):
        raise ValueError(f"every must be two positive integers (rays, gates), not {every!r}")
    return (int(every[0]), int(every[1]))


def to_obs_seq(
    volume: Volume | Sequence[Volume],
    path: str | os.PathLike[str] | Any,
    *,
    velocity_error: float,
    reflectivity_error: float,
    velocity: str | None = AUTO,
    reflectivity: str | None = AUTO,
    every: Sequence[int] = (1, 1),
    clear_air_below: float = CLEAR_AIR_BELOW,
    nyquist: float | None = None,
    progress: Callable[[int, int], None] | None = None,
    n_threads: int = 0,
) -> dart.WriteResult:
    """Write the radial-velocity and reflectivity gates of radar volumes as one DART file.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar, or a list of them
        Volumes (several times or several radars); each finds its own moments.
    path : str, os.PathLike or binary file object
        The file, written atomically as by `radarkit.dart.ObsSeqWriter`.
    velocity_error, reflectivity_error : float
        Error standard deviations, m/s and dBZ.
    velocity, reflectivity : str or None
        Names of the moments; None leaves that moment out. ``"auto"`` (the default) finds
        each by its CF standard name or a common name (`radarkit.volume.choose_moment`), and
        leaves it out when the volume has none (an error when it has neither). A sweep
        without one of them contributes the other.
    every : (int, int)
        Keep every R-th ray and G-th gate.
    clear_air_below : float
        dBZ: reflectivity below it is written as RADAR_CLEARAIR_REFLECTIVITY.
    nyquist : float, optional
        m/s; replaces the sweeps' own Nyquist velocity, required when a sweep has none.
    progress : callable, optional
        Called as ``progress(done, total)`` after each group of sweeps.
    n_threads : int
        Worker threads of the formatter (0: all hardware threads).

    Returns
    -------
    WriteResult
        ``(written, skipped)`` observations.

    Raises
    ------
    ValueError
        Before the file is touched: no sweep has a moment asked for, a sweep lacks a Nyquist
        velocity or ray times, bad `every` or errors.

    Notes
    -----
    Every usable gate becomes one observation: ``DOPPLER_RADIAL_VELOCITY`` (with the radar
    position, the beam direction at the gate and the sweep's Nyquist velocity),
    ``RADAR_REFLECTIVITY`` or ``RADAR_CLEARAIR_REFLECTIVITY``; positions follow the 4/3
    effective-earth beam model and the WGS84 geodesic (`radarkit.geometry.gate_geometry`),
    heights are metres above sea level, each gate takes its ray's time; missing gates (NaN)
    are left out. Sweeps are written one after another in time order (sweeps whose times
    overlap, e.g. two radars scanning together, together), so memory stays bounded by the
    largest such group. Any error or an interrupt leaves `path` as it was.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> volume = synthetic_volume(elevations=(0.5, 1.5), rays=36, gates=10)
    >>> to_obs_seq(volume, "obs_seq.out", velocity_error=2.0, reflectivity_error=5.0)
    WriteResult(written=1440, skipped=0)
    """
    volumes = list(volume) if isinstance(volume, (list, tuple)) else [volume]
    steps = _check_every(every)
    if velocity is None and reflectivity is None:
        raise ValueError("velocity and reflectivity are both None: nothing to write")
    for what, err in (
        ("velocity_error", velocity_error),
        ("reflectivity_error", reflectivity_error),
    ):
        if not (np.isfinite(err) and err > 0):
            raise ValueError(f"{what} must be a positive number, not {err!r}")

    # every sweep is checked and ordered before the file is opened
    items = []
    for vi, vol in enumerate(volumes):
        label = None if len(volumes) == 1 else f"volume {vi}"
        items += _sweeps_to_write(vol, velocity, reflectivity, nyquist, label)
    groups = _time_groups(items)
    errors = {
        "velocity_error": velocity_error,
        "reflectivity_error": reflectivity_error,
        "clear_air_below": clear_air_below,
    }
    with dart.ObsSeqWriter(path, n_threads=n_threads) as writer:
        for gi, group in enumerate(groups):
            for block in _group_blocks(group, nyquist, steps, **errors):
                if block["value"].size:
                    writer.write(**block)
                del block
            if progress is not None:
                progress(gi + 1, len(groups))
    return dart.WriteResult(writer.written, writer.skipped)
