"""Observations of radar volumes for data assimilation: per-sweep arrays and DART files.

`sweep_observations` turns the usable gates of one sweep into the fields of
`radarkit.dart.ObsSeqWriter.write`; `to_obs_seq` writes whole volumes (one or several, from one
or several radars) as one DART observation-sequence file in time order.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, NamedTuple

import numpy as np
import numpy.typing as npt

import _polar

from . import _optional, dart, wrfda
from ._names import Fields, renamed
from .dealias import DEALIASED
from .dealias import dealias as dealias_volume
from .readers import as_volume
from .superob import (
    MAX_SPREAD,
    Superobs,
    parse_boxes,
    superob_arrays,
    superob_columns,
    superob_observations,
    velocity_source,
    volume_arrays,
)
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
    "to_wrfda",
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
    n_threads: int = 0,
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
    n_threads : int
        Worker threads of the compiled gate geometry (0: all hardware threads).

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
    (the 4/3 effective-earth model and the WGS84 geodesic) bit for bit, computed in the
    compiled module once per gate of the kept rays and gates and written only for the usable
    gates of each moment; moments keep their precision (float32 values are exact as float64).

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
    # the usable gates of each moment, in ray-major order
    moments = []
    for given, kind in ((velocity, "vel"), (reflectivity, "ref")):
        if given is None:
            continue
        data = np.asarray(given)
        if data.dtype not in (np.float32, np.float64):
            data = data.astype(np.float64)
        if data.shape != (az.size, rng.size):
            name = "velocity" if kind == "vel" else "reflectivity"
            raise ValueError(
                f"{name} must have shape (rays, gates) = ({az.size}, {rng.size}), not {data.shape}"
            )
        if kind == "vel" and velocity_error is None:
            raise ValueError("velocity_error is required with velocity")
        if kind == "vel" and nyquist is None:
            raise ValueError("nyquist is required with velocity")
        if kind == "ref" and reflectivity_error is None:
            raise ValueError("reflectivity_error is required with reflectivity")
        # the moment in its own precision: float32 values are exact as float64
        sub = data[::step_ray, ::step_gate]
        moments.append((kind, sub, np.isfinite(sub)))
    if not moments:
        raise ValueError("velocity and reflectivity are both None: nothing to write")
    # positions of the kept gates only, each moment's in its place (velocity gates first)
    positions, per_ray = _polar.kept_gate_geometry(
        float(radar_latitude),
        float(radar_longitude),
        float(radar_height),
        az[::step_ray],
        el[::step_ray],
        rng[::step_gate],
        moments[0][2],
        moments[1][2] if len(moments) > 1 else np.empty((0, 0), dtype=bool),
        n_threads=n_threads,
    )
    m = positions.shape[1]
    out: dict[str, Any] = {
        "latitude": positions[0],
        "longitude": positions[1],
        "height": positions[2],
        "azimuth": positions[3],
        "elevation": positions[4],
    }
    for f in ("value", "error", "nyquist"):
        out[f] = np.empty(m)
    out["time"] = np.empty(m, dtype="datetime64[ns]")
    out["type"] = np.empty(m, dtype=object)
    a = 0
    for (kind, sub, ok), counts in zip(moments, per_ray):
        n = int(counts.sum())
        at = slice(a, a + n)
        a += n
        if sub.dtype == np.float64:
            np.compress(ok.ravel(), sub.ravel(), out=out["value"][at])
        else:
            out["value"][at] = sub[ok]  # float32 values, exact as float64
        out["time"][at] = np.repeat(t[::step_ray], counts)
        if kind == "vel":
            ny = np.broadcast_to(np.asarray(nyquist, dtype=np.float64), az.shape)
            out["type"][at].fill(dart.RADIAL_VELOCITY)
            out["error"][at] = velocity_error
            out["nyquist"][at] = np.repeat(ny[::step_ray], counts)
        else:
            # one name filled, the other set where it applies: no object array in between
            types = out["type"][at]
            types.fill(dart.REFLECTIVITY)
            types[out["value"][at] < clear_air_below] = dart.CLEAR_AIR_REFLECTIVITY
            out["error"][at] = reflectivity_error
            # beam fields belong to radial velocity only; zeros keep the columns aligned
            out["azimuth"][at] = 0.0
            out["elevation"][at] = 0.0
            out["nyquist"][at] = 0.0
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
    need_nyquist: bool = True,
) -> list[_Sweep]:
    """The sweeps of a volume with a moment asked for, each checked to be writable (with a
    Nyquist velocity for velocity, unless not `need_nyquist`)."""
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
        if vel and need_nyquist:
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
            rays = ray_arrays(ds, moment, name=name, native=True)
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
        rows = _rows(keep[a : a + step])
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


def _rows(index: npt.NDArray[np.intp]) -> npt.NDArray[np.intp] | slice:
    """Ray indices as a slice when they are evenly spaced and increasing (rays read in time
    order), so that the block's moments are views instead of copies."""
    if index.size > 1:
        step = int(index[1] - index[0])
        if step > 0 and (np.diff(index) == step).all():
            return slice(int(index[0]), int(index[-1]) + 1, step)
    return index


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
    dealias: bool = False,
    progress: Callable[[int, int], None] | None = None,
    n_threads: int = 0,
    superob: bool | str | Mapping[str, Any] | None = None,
    unfolded: bool = False,
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
    dealias : bool
        Dealias the radial velocities first (`radarkit.dealias.dealias`) and write only the
        dealiased gates (those it leaves unresolved are left out). DART's standard forward
        operator compares each observation with the model's unfolded wind: folded velocities
        must be dealiased before assimilation.
    progress : callable, optional
        Called as ``progress(done, total)`` after each group of sweeps.
    n_threads : int
        Worker threads of the gate geometry, the box sums and the formatter (0: all hardware
        threads).
    superob : bool, str or mapping, optional
        Write one observation per kept superobservation box instead of one per gate: True
        for polar boxes of 5 km by 5 degrees, a layout as text (``"5km,5deg"``, ``"3km"``;
        see `radarkit.superob.parse_boxes`), or a mapping of `radarkit.superob.superob`'s
        keyword arguments (``boxes``, ``range_step``, ``azimuth_step``, ``spacing``,
        ``grid``, ``min_count``, ``max_spread``, ``qc``). Radial velocities then take the
        error max(`velocity_error`, box spread) and the box's beam direction; `every` must
        be left at (1, 1).
    unfolded : bool
        With `superob`: the velocities are already unfolded. Otherwise velocity
        superobservations average dealiased velocities only (the volume's ``VRADDH``, or
        `velocity` dealiased first).

    Returns
    -------
    WriteResult
        ``(written, skipped)`` observations.

    Raises
    ------
    ValueError
        Before the file is touched: no sweep has a moment asked for, a sweep lacks a Nyquist
        velocity or ray times, bad `every`, errors or `superob`, or no superobservation kept
        (nothing to write).

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

    # every sweep is checked (and dealiased) and ordered before the file is opened
    items = []
    prepared = []  # each volume with the velocity moment to write, after any dealiasing
    for vi, vol in enumerate(volumes):
        label = None if len(volumes) == 1 else f"volume {vi}"
        vel = velocity
        if dealias and velocity is not None:
            vol = as_volume(vol)
            if choose_moment(vol, "velocity", velocity) is not None:
                try:
                    vol = dealias_volume(vol, velocity=velocity, nyquist=nyquist)
                except ValueError as e:
                    raise ValueError(str(e) if label is None else f"{label}: {e}") from None
                vel = DEALIASED
        prepared.append((vol, vel))
        items += _sweeps_to_write(vol, vel, reflectivity, nyquist, label)
    if superob is not None and superob is not False:
        options = _superob_options(superob)
        if steps != (1, 1):
            raise ValueError("every does not apply to superobservations: give one or the other")
        obs = []
        for vi, (vol, vel) in enumerate(prepared):
            so, site = _volume_superobs(
                vol, vel, reflectivity, unfolded, nyquist, options, n_threads
            )
            obs.append(
                superob_observations(
                    so,
                    **site._asdict(),
                    velocity_error=velocity_error,
                    reflectivity_error=reflectivity_error,
                    clear_air_below=clear_air_below,
                )
            )
            if progress is not None:
                progress(vi + 1, len(volumes))
        merged = {k: np.concatenate([o[k] for o in obs]) for k in obs[0]}
        if not merged["value"].size:
            raise ValueError("no superobservation is kept: nothing to write")
        return dart.write_obs_seq(path, merged, n_threads=n_threads)
    groups = _time_groups(items)
    errors = {
        "velocity_error": velocity_error,
        "reflectivity_error": reflectivity_error,
        "clear_air_below": clear_air_below,
        "n_threads": n_threads,
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


# ---------------------------------------------------------------------------------------------
# Superobservations


_SUPEROB_KEYS = (
    "boxes",
    "range_step",
    "azimuth_step",
    "spacing",
    "grid",
    "min_count",
    "max_spread",
    "qc",
)


def _superob_options(superob: bool | str | Mapping[str, Any]) -> dict[str, Any]:
    """The keyword arguments of `superob` the caller's `superob` value stands for."""
    if superob is True:
        return {}
    if isinstance(superob, str):
        return parse_boxes(superob)
    if isinstance(superob, Mapping):
        unknown = sorted(set(superob) - set(_SUPEROB_KEYS))
        if unknown:
            raise ValueError(
                f"superob: unknown option(s) {', '.join(unknown)} (known: "
                f"{', '.join(_SUPEROB_KEYS)})"
            )
        return dict(superob)
    raise ValueError(
        "superob must be True, a layout such as '5km,5deg' or '3km', or a mapping of "
        f"superob's keyword arguments, not {superob!r}"
    )


def _volume_superobs(
    volume: Volume,
    velocity: str | None,
    reflectivity: str | None,
    unfolded: bool,
    nyquist: float | None,
    options: Mapping[str, Any],
    n_threads: int,
) -> tuple[Superobs, RadarSite]:
    """The superobservations of one volume (quality control, dealiasing unless unfolded)."""
    opts = dict(options)
    qc = opts.pop("qc", True)
    volume, vel = velocity_source(volume, velocity, unfolded, nyquist, n_threads, qc)
    reflectivity = choose_moment(volume, "reflectivity", reflectivity)
    arrays, _ = volume_arrays(
        volume, velocity=vel, reflectivity=reflectivity, qc=qc, nyquist=nyquist
    )
    arrays.pop("sweep_names")
    return superob_arrays(**arrays, **opts, n_threads=n_threads), radar_site(volume)


def _radar_name(volume: Volume, default: str) -> str:
    """A radar's name for WRFDA (at most 12 ASCII characters) from the volume's attributes."""
    attrs = getattr(volume, "attrs", {}) or {}
    for key in ("instrument_name", "radar_name", "site_name"):
        text = attrs.get(key)
        if isinstance(text, bytes):
            text = text.decode("ascii", "replace")
        if isinstance(text, str) and text.strip():
            name = "".join(c for c in text.strip() if c.isascii() and c.isprintable())
            if name:
                return name[:12]
    return default


def _open_grid(grid: Any) -> Any:
    """A model grid given by its file's path, opened with xarray; anything else as given."""
    import os

    if isinstance(grid, (str, os.PathLike)):
        path = os.fspath(grid)
        if not os.path.exists(path):
            raise ValueError(f"grid: {path}: no such file")
        xr = _optional.xarray()
        try:
            return xr.open_dataset(path)
        except Exception as e:  # any reader failure: not a grid file we can read
            raise ValueError(f"grid: {path}: not a file xarray can read ({e})") from e
    return grid


def to_wrfda(
    volume: Volume | Sequence[Volume],
    path: str | os.PathLike[str] | Any,
    *,
    velocity_error: float,
    reflectivity_error: float,
    spacing: float | None = None,
    grid: Any = None,
    velocity: str | None = AUTO,
    reflectivity: str | None = AUTO,
    unfolded: bool = False,
    qc: bool | Mapping[str, Any] = True,
    min_count: int | None = None,
    max_spread: float | None = MAX_SPREAD,
    nyquist: float | None = None,
    names: Sequence[str] | None = None,
    n_threads: int = 0,
) -> wrfda.WriteResult:
    """Write radar volumes as a WRFDA radar observation file (``ob.radar``).

    Parameters
    ----------
    volume : xarray.DataTree or xarray.Dataset, or a list of them
        xradar volumes; each becomes one radar record with its own time (several volumes of one
        radar are several records).
    path : str, os.PathLike or binary file object
        The file, written atomically as by `radarkit.wrfda.write_radar_obs`.
    velocity_error, reflectivity_error : float
        Error standard deviations, m/s and dBZ; velocities take max(`velocity_error`, box
        spread).
    spacing : float, optional
        Columns on a square grid of this spacing (m) around each radar (3 km when neither
        `spacing` nor `grid` is given).
    grid : xarray.Dataset, mapping or path, optional
        Columns at the mass points of a model grid (``wrfinput``/``geo_em``: ``XLAT``/
        ``XLONG`` or ``XLAT_M``/``XLONG_M``), or the path of such a file.
    velocity, reflectivity : str or None
        Moment names; None leaves the moment out.
    unfolded : bool
        The velocities are already unfolded; otherwise only dealiased velocities are averaged.
    qc : bool or mapping
        Quality control of the gates (`radarkit.qc.gate_filter`; a mapping gives its keyword
        arguments, False none).
    min_count, max_spread : optional
        Rules that keep a superobservation (`radarkit.superob.superob_arrays`; 3 gates for
        grid cells, 6 m/s).
    nyquist : float, optional
        m/s; replaces the sweeps' Nyquist velocities.
    names : sequence of str, optional
        Radar names (12 characters at most), one per volume; by default the volume's
        ``instrument_name`` attribute, else "RADAR".
    n_threads : int
        Worker threads (0: all hardware threads).

    Returns
    -------
    WriteResult
        ``(written, skipped)`` columns.

    Raises
    ------
    ValueError
        Before the file is touched: both or a bad `spacing`/`grid` (named), a grid without
        latitude/longitude, a moment no sweep has, nothing left to write.

    Notes
    -----
    One column per horizontal cell with a kept superobservation, at the cell centre (square
    grid) or the mass point (model grid); one level per sweep at the count-weighted mean height
    above sea level of that sweep's gates in the cell, so heights differ from column to column,
    as WRFDA allows (a sweep without data in the cell is no level of that column). Column
    elevation: the model terrain (``HGT``/``HGT_M``) when the grid has it, else the radar's
    height. WRFDA's operator uses the column's position for every level and the height
    difference to the radar. Missing values are written as -888888 with QC -88.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> vol = synthetic_volume(elevations=(0.5, 1.5), rays=90, gates=200, nyquist=None)
    >>> to_wrfda(vol, "ob.radar", velocity_error=2.0, reflectivity_error=5.0, unfolded=True)
    WriteResult(written=880, skipped=0)
    """
    volumes = list(volume) if isinstance(volume, (list, tuple)) else [volume]
    if spacing is not None and grid is not None:
        raise ValueError("spacing and grid are alternatives: give one of them")
    for what, err in (
        ("velocity_error", velocity_error),
        ("reflectivity_error", reflectivity_error),
    ):
        if not (np.isfinite(err) and err > 0):
            raise ValueError(f"{what} must be a positive number, not {err!r}")
    if names is not None and len(names) != len(volumes):
        raise ValueError(f"names must have one name per volume ({len(volumes)}), not {len(names)}")
    if velocity is None and reflectivity is None:
        raise ValueError("velocity and reflectivity are both None: nothing to write")
    options: dict[str, Any]
    terrain = None
    if grid is not None:
        from .superob import _ModelGrid

        opened = _open_grid(grid)
        model = _ModelGrid.of(opened)
        terrain = _terrain(opened, model.latitude.shape)
        options = {"boxes": "model", "grid": model}
    else:
        options = {"boxes": "grid", "spacing": 3000.0 if spacing is None else spacing}
    options.update(min_count=min_count, max_spread=max_spread, qc=qc)
    for vi, vol in enumerate(volumes):
        label = None if len(volumes) == 1 else f"volume {vi}"
        _sweeps_to_write(vol, velocity, reflectivity, nyquist, label, need_nyquist=False)
    radars = []
    for vi, vol in enumerate(volumes):
        vol = as_volume(vol)
        so, site = _volume_superobs(
            vol, velocity, reflectivity, unfolded, nyquist, options, n_threads
        )
        record = _wrfda_radar(
            vol,
            so,
            site,
            name=names[vi] if names is not None else _radar_name(vol, "RADAR"),
            velocity_error=velocity_error,
            reflectivity_error=reflectivity_error,
            grid=options.get("grid"),
            terrain=terrain,
        )
        if record is not None:
            radars.append(record)
    if not radars:
        raise ValueError("no superobservation is kept: nothing to write")
    return wrfda.write_radar_obs(path, radars, n_threads=n_threads)


def _wrfda_radar(
    volume: Volume,
    so: Superobs,
    site: RadarSite,
    *,
    name: str,
    velocity_error: float,
    reflectivity_error: float,
    grid: Any,
    terrain: np.ndarray | None,
) -> wrfda.Radar | None:
    """The WRFDA record of one volume's superobservations in horizontal cells (None when no
    cell has one), timed by the volume's first ray."""
    cols = superob_columns(
        so,
        radar_latitude=site.radar_latitude,
        radar_longitude=site.radar_longitude,
        velocity_error=velocity_error,
        reflectivity_error=reflectivity_error,
        grid=grid,
    )
    if not cols.latitude.size:
        return None
    times = [
        np.asarray(ds["time"].values).astype("datetime64[ns]")
        for _, ds in list_sweeps(volume)
        if "time" in ds.variables
    ]
    start = min(t.min() for t in times if t.size)
    height = (
        np.full(cols.latitude.size, site.radar_height)
        if terrain is None
        else terrain[cols.row, cols.column]
    )
    return wrfda.Radar(
        name=name,
        radar_latitude=site.radar_latitude,
        radar_longitude=site.radar_longitude,
        radar_height=site.radar_height,
        time=start,
        latitude=cols.latitude,
        longitude=cols.longitude,
        height=height,
        heights=cols.heights,
        rv=cols.rv,
        rv_err=cols.rv_err,
        rf=cols.rf,
        rf_err=cols.rf_err,
    )


def _terrain(grid: Any, shape: tuple[int, ...]) -> np.ndarray | None:
    """The model terrain height of the mass points (m), when the grid has it."""
    for key in ("HGT_M", "HGT"):
        if (hasattr(grid, "variables") and key in grid.variables) or (
            isinstance(grid, Mapping) and key in grid
        ):
            h = np.asarray(getattr(grid[key], "values", grid[key]), dtype=np.float64)
            while h.ndim > 2:
                h = h[0]
            if h.shape == shape and np.isfinite(h).all():
                return h
    return None
