"""Synthetic radar volumes with a known wind, in xradar's data model.

`synthetic_volume` builds a volume scan of a radar in a horizontally uniform wind that varies
with height, returns it as an xradar-compatible DataTree (CfRadial2 layout: the radar position
in the root, one group ``sweep_k`` per elevation), and `write_volume` writes it as CfRadial1 or
ODIM_H5 through xradar's writers, so the same files can be read back as users read theirs.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _optional
from ._names import renamed
from .geometry import beam_geometry
from .volume import REFLECTIVITY, VELOCITY

__all__ = [
    "ALIASED_CASES",
    "AliasedCase",
    "aliased_volume",
    "default_wind",
    "fold",
    "nexrad_sample",
    "synthetic_volume",
    "veering_wind",
    "write_volume",
]

Array = npt.NDArray[np.float64]


def default_wind(z: npt.ArrayLike) -> tuple[Array, Array]:
    """The wind of the synthetic volumes: veering and strengthening with height.

    Parameters
    ----------
    z : array_like
        Height above the radar, m.

    Returns
    -------
    (u, v) : tuple of ndarray
        Eastward and northward wind, m/s: u = 3 + 0.002 z, v = 6 - 0.001 z + 2 sin(z / 1500).

    Example
    -------
    >>> default_wind([0.0, 1000.0])
    (array([3., 5.]), array([6.        , 6.23673961]))
    """
    z = np.asarray(z, dtype=np.float64)
    return 3.0 + 2.0e-3 * z, 6.0 - 1.0e-3 * z + 2.0 * np.sin(z / 1500.0)


def _default_reflectivity(z: Array, r: Array) -> Array:
    """dBZ: a stratiform echo fading with height above the radar, weak echo far out."""
    return 35.0 - 4.0e-3 * z - 1.0e-4 * r


@renamed(latitude="radar_latitude", longitude="radar_longitude", altitude="radar_height")
def synthetic_volume(
    *,
    radar_latitude: float = 46.5,
    radar_longitude: float = 7.5,
    radar_height: float = 350.0,
    elevations: Sequence[float] = (0.5, 1.5, 2.5, 4.0, 6.0, 9.0),
    rays: int = 360,
    gates: int = 400,
    gate_spacing: float = 250.0,
    first_gate: float = 125.0,
    wind: Callable[[Array], tuple[Any, Any]] = default_wind,
    reflectivity: Callable[[Array, Array], Any] = _default_reflectivity,
    velocity_noise: float = 0.0,
    reflectivity_noise: float = 0.0,
    missing: float = 0.0,
    nyquist: float | None = 32.0,
    start: str | np.datetime64 = "2024-05-20T18:00:00",
    sweep_seconds: float = 20.0,
    seed: int = 0,
    dtype: npt.DTypeLike = np.float32,
) -> Any:
    """A volume scan of a radar in a wind u(z), v(z), as an xradar DataTree.

    Parameters
    ----------
    radar_latitude, radar_longitude : float
        The radar site, degrees (older names: ``latitude``, ``longitude``).
    radar_height : float
        Height of the antenna, m above sea level (older name: ``altitude``).
    elevations : sequence of float
        Degrees, one sweep each.
    rays : int
        Rays per sweep, azimuths evenly spaced, the first at half a step.
    gates : int
        Gates per ray.
    gate_spacing, first_gate : float
        m; `first_gate` is the centre of the first gate.
    wind : callable
        z (m above the radar) -> (u, v) in m/s.
    reflectivity : callable
        (z, range) in m -> dBZ.
    velocity_noise, reflectivity_noise : float
        Standard deviations of Gaussian noise, m/s and dBZ.
    missing : float
        Fraction of the gates of both moments set to NaN, at random.
    nyquist : float or None
        m/s: velocities are folded into [-nyquist, nyquist); None: no folding and no
        ``nyquist_velocity`` variable.
    start : str or numpy.datetime64
        Time of the first ray.
    sweep_seconds : float
        Duration of a sweep, s.
    seed : int
        Of the noise and the missing gates.
    dtype : numpy dtype
        Of the moments.

    Returns
    -------
    xarray.DataTree
        The root holds latitude, longitude, altitude (xradar's names of the site) and the time
        coverage; ``sweep_k`` holds VRADH and DBZH (azimuth, range) with coordinates azimuth,
        elevation, time, range, and sweep_number, sweep_mode, sweep_fixed_angle,
        nyquist_velocity.

    Notes
    -----
    Radial velocity at each gate is the wind at the gate's beam height z (m above the radar,
    4/3 effective-earth model, `radarkit.geometry.beam_geometry`) projected on the beam:
    (u·sin az + v·cos az)·cos θg, θg being the beam elevation at the gate.

    Example
    -------
    >>> volume = synthetic_volume(elevations=(0.5, 1.5), rays=90, gates=20)
    >>> sorted(volume.children), volume["sweep_0"]["VRADH"].shape
    (['sweep_0', 'sweep_1'], (90, 20))
    """
    xr = _optional.require("xarray", "radar", "radarkit.synthetic")
    if nyquist is not None and not (np.isfinite(nyquist) and nyquist > 0):
        raise ValueError(f"nyquist must be positive or None, not {nyquist!r}")
    if operator.index(rays) < 1:
        raise ValueError(f"rays must be at least 1, not {rays!r}")
    if operator.index(gates) < 0:
        raise ValueError(f"gates must be at least 0, not {gates!r}")
    rng = np.random.default_rng(seed)
    az = (np.arange(rays) + 0.5) * (360.0 / rays)
    r = first_gate + gate_spacing * np.arange(gates, dtype=np.float64)
    t0 = np.datetime64(start, "ns")
    sweeps = {}
    for k, el in enumerate(elevations):
        h, _, local_el = beam_geometry(r, el)
        u, v = wind(h)
        a = np.deg2rad(az)[:, None]
        vr = (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(local_el))
        if velocity_noise:
            vr = vr + rng.normal(0.0, velocity_noise, vr.shape)
        if nyquist is not None:
            vr = (vr + nyquist) % (2.0 * nyquist) - nyquist
        dbz = np.broadcast_to(reflectivity(h, r), vr.shape).astype(np.float64)
        if reflectivity_noise:
            dbz = dbz + rng.normal(0.0, reflectivity_noise, vr.shape)
        if missing:
            vr[rng.random(vr.shape) < missing] = np.nan
            dbz = dbz.copy()
            dbz[rng.random(vr.shape) < missing] = np.nan
        offsets = (k * sweep_seconds + np.arange(rays) * (sweep_seconds / rays)) * 1e9
        times = t0 + offsets.astype("timedelta64[ns]")
        ds = xr.Dataset(
            {
                VELOCITY: (
                    ("azimuth", "range"),
                    vr.astype(dtype),
                    {
                        "standard_name": "radial_velocity_of_scatterers_away_from_instrument_h",
                        "long_name": "Radial velocity of scatterers away from instrument H",
                        "units": "meters per seconds",
                    },
                ),
                REFLECTIVITY: (
                    ("azimuth", "range"),
                    dbz.astype(dtype),
                    {
                        "standard_name": "radar_equivalent_reflectivity_factor_h",
                        "long_name": "Equivalent reflectivity factor H",
                        "units": "dBZ",
                    },
                ),
                "sweep_number": k,
                "sweep_mode": "azimuth_surveillance",
                "sweep_fixed_angle": float(el),
                "nyquist_velocity": (
                    "azimuth",
                    np.full(rays, np.nan if nyquist is None else float(nyquist)),
                    {"units": "m/s"},
                ),
            },
            coords={
                "azimuth": (
                    "azimuth",
                    az,
                    {"standard_name": "ray_azimuth_angle", "units": "degrees"},
                ),
                "elevation": (
                    "azimuth",
                    np.full(rays, float(el)),
                    {"standard_name": "ray_elevation_angle", "units": "degrees"},
                ),
                "time": ("azimuth", times, {"standard_name": "time"}),
                "range": (
                    "range",
                    r,
                    {"standard_name": "projection_range_coordinate", "units": "meters"},
                ),
                "latitude": float(radar_latitude),
                "longitude": float(radar_longitude),
                "altitude": float(radar_height),
            },
        )
        if nyquist is None:
            ds = ds.drop_vars("nyquist_velocity")
        sweeps[f"sweep_{k}"] = ds
    end = t0 + np.timedelta64(int(len(elevations) * sweep_seconds * 1e9), "ns")
    root = xr.Dataset(
        {
            "volume_number": 0,
            "platform_type": "fixed",
            "instrument_type": "radar",
            "time_coverage_start": str(np.datetime_as_string(t0, unit="s")) + "Z",
            "time_coverage_end": str(np.datetime_as_string(end, unit="s")) + "Z",
            "latitude": float(radar_latitude),
            "longitude": float(radar_longitude),
            "altitude": float(radar_height),
            "sweep_group_name": ("sweep", list(sweeps)),
            "sweep_fixed_angle": ("sweep", [float(e) for e in elevations]),
        },
        attrs={
            "Conventions": "Cf/Radial",
            "instrument_name": "SYNTH",
            "source": "radarkit synthetic volume",
            "version": "2.0",
        },
    )
    return xr.DataTree.from_dict({"/": root, **sweeps})


def write_volume(
    volume: Any,
    path: str | os.PathLike[str],
    format: Literal["cfradial1", "odim"] = "cfradial1",
) -> str | os.PathLike[str]:
    """Write a volume with xradar's writers.

    Parameters
    ----------
    volume : xarray.DataTree
        A volume in xradar's model, e.g. from `synthetic_volume`.
    path : str or os.PathLike
        The file to write.
    format : {"cfradial1", "odim"}
        CfRadial1 (netCDF) or ODIM_H5.

    Returns
    -------
    str or os.PathLike
        `path`.

    Raises
    ------
    ValueError
        For another `format`.

    Example
    -------
    >>> write_volume(synthetic_volume(elevations=(0.5,), gates=10), "volume.h5", format="odim")
    'volume.h5'
    """
    from .volume import write_volume as write

    if format not in ("cfradial1", "odim"):
        raise ValueError(f"format must be 'cfradial1' or 'odim', not {format!r}")
    write(volume, path, format=format, source="RAD:SYNTH,PLC:Synthetic")
    return path


# ---------------------------------------------------------------------------------------------
# Aliased volumes with their true velocity, for dealiasing


ALIASED_CASES = ("veering", "nexrad_cuts", "vortex", "shift_line", "jet")

# Elevations (degrees) and Nyquist velocities (m/s) of a NEXRAD-like volume of 14 cuts: the
# low cuts of a split scan at a low pulse repetition frequency, the rest at higher ones.
NEXRAD_ELEVATIONS = (0.5, 0.9, 1.3, 1.8, 2.4, 3.1, 4.0, 5.1, 6.4, 8.0, 10.0, 12.5, 15.6, 19.5)
NEXRAD_NYQUIST = (8.0, 26.0, 8.5, 26.5, 21.0, 22.5, 24.0, 25.5, 26.5, 27.0, 28.0, 28.0, 28.0, 28.0)


class AliasedCase(NamedTuple):
    """An aliased volume with its truth.

    ``volume`` is the DataTree a reader would give (VRADH folded into each sweep's
    [-V_N, V_N), DBZH, nyquist_velocity per ray); ``truth`` the true radial velocity of each
    sweep, (rays, gates), m/s, NaN where the gate has no echo (the same gates as VRADH);
    ``region`` a boolean (rays, gates) mask per sweep of the gates the case is about (the
    vortex core, the wind-shift zone), or None; ``nyquist`` the V_N of each sweep (m/s).
    """

    volume: Any
    truth: list[np.ndarray]
    region: list[np.ndarray] | None
    nyquist: np.ndarray


def fold(velocity: npt.ArrayLike, nyquist: float) -> Array:
    """Velocity folded into [-nyquist, nyquist), as a Doppler radar measures it.

    Parameters
    ----------
    velocity : array_like
        True radial velocity, m/s (NaN stays NaN).
    nyquist : float
        Nyquist velocity V_N, m/s.

    Returns
    -------
    ndarray
        velocity - 2 V_N round(velocity / 2 V_N), float64.

    Example
    -------
    >>> fold([5.0, 15.0, -25.0], 10.0)
    array([ 5., -5., -5.])
    """
    v = np.asarray(velocity, dtype=np.float64)
    return (v + nyquist) % (2.0 * nyquist) - nyquist


def _wind_from(speed: Any, direction: Any) -> tuple[Array, Array]:
    """(u, v) of a wind of `speed` (m/s) blowing from `direction` (degrees from north)."""
    d = np.deg2rad(direction)
    return -speed * np.sin(d), -speed * np.cos(d)


def veering_wind(
    z: npt.ArrayLike,
    *,
    surface: float = 5.0,
    top: float = 36.0,
    depth: float = 8000.0,
    turn: tuple[float, float] = (180.0, 300.0),
) -> tuple[Array, Array]:
    """A wind veering and increasing with height, the wind of the aliased volumes.

    Parameters
    ----------
    z : array_like
        Height above the radar, m.
    surface, top : float
        Speed at the ground and from `depth` up, m/s (linear between).
    depth : float
        Height of the top speed and direction, m.
    turn : (float, float)
        Direction the wind blows from at the ground and from `depth` up, degrees clockwise
        from north (linear between): south to west-north-west by default.

    Returns
    -------
    (u, v) : tuple of ndarray
        Eastward and northward wind, m/s.

    Example
    -------
    >>> u, v = veering_wind([0.0, 8000.0], top=30.0)
    >>> np.round(u, 2), np.round(v, 2)
    (array([-0.  , 25.98]), array([  5., -15.]))
    """
    f = np.clip(np.asarray(z, dtype=np.float64) / depth, 0.0, 1.0)
    return _wind_from(surface + (top - surface) * f, turn[0] + (turn[1] - turn[0]) * f)


def _patch_field(extent: float, wavelength: float, seed: int) -> tuple[Array, float]:
    """A smooth random field on a 1 km grid over [-extent, extent]^2 (m): a sum of plane
    waves of wavelengths in [wavelength/2, 2*wavelength], unit variance."""
    rng = np.random.default_rng(seed)
    n = int(np.ceil(2.0 * extent / 1000.0)) + 2
    x = -extent + 1000.0 * np.arange(n)
    k = 2.0 * np.pi / (wavelength * np.exp(rng.uniform(np.log(0.5), np.log(2.0), 24)))
    th = rng.uniform(0.0, 2.0 * np.pi, 24)
    ph = rng.uniform(0.0, 2.0 * np.pi, 24)
    f = np.zeros((n, n))
    for kk, t, p in zip(k, th, ph):
        f += np.cos(kk * np.cos(t) * x[None, :] + kk * np.sin(t) * x[:, None] + p)
    return f / np.sqrt(12.0), x[0]


def _sample(field: Array, origin: float, x: Array, y: Array) -> Array:
    """Bilinear value of a 1 km grid field at ground positions x, y (m)."""
    fx = (x - origin) / 1000.0
    fy = (y - origin) / 1000.0
    i = np.clip(np.floor(fx).astype(np.int64), 0, field.shape[1] - 2)
    j = np.clip(np.floor(fy).astype(np.int64), 0, field.shape[0] - 2)
    ax, ay = fx - i, fy - j
    return (
        field[j, i] * (1 - ax) * (1 - ay)
        + field[j, i + 1] * ax * (1 - ay)
        + field[j + 1, i] * (1 - ax) * ay
        + field[j + 1, i + 1] * ax * ay
    )


def aliased_volume(
    case: str = "veering",
    *,
    nyquist: float | Sequence[float] | None = None,
    elevations: Sequence[float] | None = None,
    rays: int = 360,
    gates: int = 400,
    gate_spacing: float = 250.0,
    noise: float = 1.5,
    missing: float = 0.05,
    sectors: Sequence[tuple[float, float]] | None = None,
    patchy: float | None = None,
    echo_top: float = 10000.0,
    max_wind: float | None = None,
    seed: int = 0,
    dtype: npt.DTypeLike = np.float32,
) -> AliasedCase:
    """A volume of folded radial velocities with the true velocities, for dealiasing.

    Parameters
    ----------
    case : str
        One of `ALIASED_CASES`:

        - ``"veering"``: a horizontally uniform wind veering from south to west-north-west
          and increasing with height to `max_wind` (default 3 V_N) at 8 km;
        - ``"nexrad_cuts"``: the same wind (default top 30 m/s) seen by the 14 cuts of a
          NEXRAD-like volume, whose Nyquist velocities range from 8 to 28 m/s
          (`NEXRAD_ELEVATIONS`, `NEXRAD_NYQUIST`);
        - ``"vortex"``: a Rankine vortex (radius 3 km, 35 m/s, cyclonic, tapering off above
          8 km) 40 km from the radar at azimuth 50 degrees, in a veering wind of top 2 V_N;
          ``region`` marks the gates within 3 km of its axis;
        - ``"shift_line"``: a straight wind-shift line 25 km from the radar (normal towards
          azimuth 120 degrees) across which the wind veers by 90 degrees over about 1 km
          (tanh, half-width 500 m) in the lowest 3 km, a front's depth; the wind ahead of it
          veers and increases from 0.6 `max_wind` at the ground to `max_wind` (default
          2.5 V_N) at 8 km, so the line changes the wind by about 2 V_N; ``region`` marks the
          gates within 3 km of the line;
        - ``"jet"``: a jet of `max_wind` (default 7.5 V_N, 60 m/s at V_N = 8) centred at
          3 km height, half-width 1.2 km, over a 10 m/s westerly.
    nyquist : float or sequence of float, optional
        V_N, m/s, one or one per sweep (default 12; 10 for "shift_line", 8 for "jet",
        `NEXRAD_NYQUIST` for "nexrad_cuts").
    elevations : sequence of float, optional
        Degrees, one sweep each (default `synthetic_volume`'s six, `NEXRAD_ELEVATIONS` for
        "nexrad_cuts").
    rays, gates : int
        Per sweep; azimuths evenly spaced, the first at half a step.
    gate_spacing : float
        m; the first gate is centred at half a spacing.
    noise : float
        Standard deviation of Gaussian noise on the velocity, m/s (part of the truth: a radar
        without folding would measure it).
    missing : float
        Random fraction of the gates without echo.
    sectors : sequence of (float, float), optional
        Echo-free azimuth sectors, (from, to) degrees clockwise (default two for "veering"
        and "nexrad_cuts", none otherwise).
    patchy : float, optional
        Fraction of the area without echo, where a smooth random field of 20 km scale falls
        below its quantile (default 0.3 for "veering" and "nexrad_cuts", 0 otherwise).
    echo_top : float
        No echo above this height, m above the radar.
    max_wind : float, optional
        m/s, as each case says.
    seed : int
        Of the noise, the gaps and the patches.
    dtype : numpy dtype
        Of the moments and the truth.

    Returns
    -------
    AliasedCase
        ``volume`` (VRADH folded at each sweep's V_N, DBZH, nyquist_velocity; NaN where no
        echo), ``truth`` (the true velocity at each gate of each sweep, NaN where no echo),
        ``region`` and ``nyquist``. The true velocity at a gate is the wind at the gate's beam
        height projected on the beam (4/3 earth model), plus the noise.

    Raises
    ------
    ValueError
        For an unknown case or a Nyquist velocity of 0 or less.

    Example
    -------
    >>> case = aliased_volume("vortex", rays=90, gates=60, gate_spacing=1000.0)
    >>> case.nyquist[0], len(case.truth), case.truth[0].shape
    (np.float64(12.0), 6, (90, 60))
    """
    if case not in ALIASED_CASES:
        raise ValueError(f"case must be one of {', '.join(ALIASED_CASES)}, not {case!r}")
    smooth = case in ("veering", "nexrad_cuts")
    if elevations is None:
        elevations = NEXRAD_ELEVATIONS if case == "nexrad_cuts" else (0.5, 1.5, 2.5, 4.0, 6.0, 9.0)
    if nyquist is None:
        default: dict[str, float | Sequence[float]] = {
            "nexrad_cuts": NEXRAD_NYQUIST,
            "shift_line": 10.0,
            "jet": 8.0,
        }
        nyquist = default.get(case, 12.0)
    ny = np.broadcast_to(np.asarray(nyquist, dtype=np.float64), (len(elevations),)).copy()
    if not np.all(np.isfinite(ny) & (ny > 0)):
        raise ValueError(f"nyquist must be positive, not {nyquist!r}")
    if sectors is None:
        sectors = ((100.0, 140.0), (250.0, 265.0)) if smooth else ()
    if patchy is None:
        patchy = 0.3 if smooth else 0.0
    vmin = float(ny.min())
    if max_wind is None:
        max_wind = {
            "veering": 3.0 * vmin,
            "nexrad_cuts": 30.0,
            "vortex": 2.0 * vmin,
            "shift_line": 2.5 * vmin,
            "jet": 7.5 * vmin,
        }[case]

    def environment(z: Array) -> tuple[Array, Array]:
        if case == "jet":
            s = 10.0 + (max_wind - 10.0) * np.exp(-(((z - 3000.0) / 1200.0) ** 2))
            return _wind_from(s, 270.0)
        if case == "shift_line":
            return veering_wind(z, surface=0.6 * max_wind, top=max_wind)
        return veering_wind(z, top=max_wind)

    xr = _optional.require("xarray", "radar", "radarkit.synthetic")
    skeleton = synthetic_volume(
        elevations=elevations,
        rays=rays,
        gates=gates,
        gate_spacing=gate_spacing,
        first_gate=0.5 * gate_spacing,
        wind=lambda z: (0.0 * z, 0.0 * z),
        nyquist=None,
        seed=seed,
        dtype=dtype,
    )
    rng = np.random.default_rng(seed + 1)
    az = (np.arange(rays) + 0.5) * (360.0 / rays)
    r = 0.5 * gate_spacing + gate_spacing * np.arange(gates)
    a = np.deg2rad(az)[:, None]
    sin_a, cos_a = np.sin(a), np.cos(a)
    extent = float(r[-1]) + 2000.0
    patches = _patch_field(extent, 20000.0, seed + 2) if patchy > 0 else None
    if patches is not None:
        cut = np.quantile(patches[0], patchy)
    nodes = {"/": skeleton.to_dataset()}
    truth: list[np.ndarray] = []
    regions: list[np.ndarray] = []
    for k, el in enumerate(elevations):
        h, s, local_el = beam_geometry(r, el)
        u, v = environment(h)
        u = np.broadcast_to(u, (rays, gates)).astype(np.float64)
        v = np.broadcast_to(v, (rays, gates)).astype(np.float64)
        x, y = s * sin_a, s * cos_a
        if case == "vortex":
            x0, y0 = 40e3 * np.sin(np.deg2rad(50.0)), 40e3 * np.cos(np.deg2rad(50.0))
            dx, dy = x - x0, y - y0
            d = np.hypot(dx, dy)
            radius, vmax = 3000.0, 35.0
            vt = np.where(d < radius, vmax * d / radius, vmax * radius / np.maximum(d, 1.0))
            vt = vt * (0.5 - 0.5 * np.tanh((h - 8000.0) / 500.0))  # its top, over ~1 km
            with np.errstate(invalid="ignore", divide="ignore"):
                u = u - np.where(d > 0, vt * dy / d, 0.0)
                v = v + np.where(d > 0, vt * dx / d, 0.0)
            regions.append(d <= radius)
        elif case == "shift_line":
            nx, nyv = np.sin(np.deg2rad(120.0)), np.cos(np.deg2rad(120.0))
            across = x * nx + y * nyv - 25e3
            w = 0.5 * (1.0 + np.tanh(across / 500.0))
            # beyond the line the wind has veered by 90 degrees, (u, v) -> (-v, u), in the
            # lowest 3 km (the depth of the front, 300 m transition above)
            w = w * (0.5 - 0.5 * np.tanh((h - 3000.0) / 300.0))
            u, v = u * (1.0 - w) - v * w, v * (1.0 - w) + u * w
            regions.append(np.abs(across) <= 3000.0)
        vr = (u * sin_a + v * cos_a) * np.cos(np.deg2rad(local_el))
        if noise:
            vr = vr + rng.normal(0.0, noise, vr.shape)
        echo = np.broadcast_to(h <= echo_top, vr.shape).copy()
        for lo, hi in sectors:
            inside = (az - lo) % 360.0 < (hi - lo) % 360.0
            echo[inside, :] = False
        if patches is not None:
            echo &= _sample(patches[0], patches[1], x, y) > cut
        if missing:
            echo &= rng.random(vr.shape) >= missing
        vr[~echo] = np.nan
        dbz = np.where(echo, 35.0 - 4.0e-3 * h - 1.0e-4 * r, np.nan)
        truth.append(vr.astype(dtype))
        name = f"sweep_{k}"
        ds = skeleton[name].to_dataset()
        dims = ("azimuth", "range")
        ds[VELOCITY] = (dims, fold(vr, ny[k]).astype(dtype), ds[VELOCITY].attrs)
        ds[REFLECTIVITY] = (dims, dbz.astype(dtype), ds[REFLECTIVITY].attrs)
        ds["nyquist_velocity"] = ("azimuth", np.full(rays, ny[k]), {"units": "m/s"})
        nodes[f"/{name}"] = ds
    return AliasedCase(
        xr.DataTree.from_dict(nodes),
        truth,
        regions if case in ("vortex", "shift_line") else None,
        ny,
    )


def nexrad_sample(
    nyquist: float | None = 10.0, *, dtype: npt.DTypeLike = np.float32
) -> AliasedCase:
    """Py-ART's real NEXRAD sample (KLOT, 2003-01-01 00:09 UTC) folded again at `nyquist`.

    The file is Py-ART's test file ``example_nexrad_archive_msg1.bz2``, read with
    ``pyart.io.read``. Its five sweeps that carry velocity (Doppler cuts at 0.5 to 4.5
    degrees, V_N 28.34 m/s, 0.5 m/s steps) become the sweeps of the volume; their recorded
    velocities are the truth, and VRADH is that truth folded into [-nyquist, nyquist).

    What the recording holds (measured, not a dummy fill: 115 distinct values): clear-air echo
    of a winter evening, 29,692 gates with velocity, nearly all within 60 km, besides one echo
    at 210-225 km; ground clutter near 0 m/s around the radar, light winds (a few m/s) with
    patches of 15-28 m/s, scattered noisy gates (about 9% differ by more than 10 m/s from the
    median of their 5 x 5 neighbours) and a few gates already folded at 28.34 m/s. Where the
    recording is noise or itself folded it is no truth: tests and the benchmark also score the
    gates whose recording is coherent with their neighbours. The file carries no radar
    position (latitude, longitude and altitude are 0).

    Parameters
    ----------
    nyquist : float or None
        V_N to fold the recording at, m/s; None: as recorded (V_N 28.34 m/s).
    dtype : numpy dtype
        Of the moments and the truth.

    Returns
    -------
    AliasedCase
        The volume, the recorded velocities as truth (region None) and each sweep's V_N.

    Raises
    ------
    ImportError
        Without Py-ART (``pip install 'radarkit[pyart]'``).

    Example
    -------
    >>> case = nexrad_sample(10.0)
    >>> len(case.truth), case.nyquist[0], sum(int(np.isfinite(t).sum()) for t in case.truth)
    (5, np.float64(10.0), 29692)
    """
    import contextlib
    import io
    import warnings

    xr = _optional.require("xarray", "radar", "radarkit.synthetic")
    try:
        # without Py-ART's citation banner on stdout
        with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import pyart
    except ImportError:
        raise ImportError("nexrad_sample needs Py-ART: pip install 'radarkit[pyart]'") from None

    path = os.path.join(
        os.path.dirname(pyart.__file__), "testing", "data", "example_nexrad_archive_msg1.bz2"
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        radar = pyart.io.read(path)
    vel = radar.fields["velocity"]["data"]
    ref = radar.fields["reflectivity"]["data"]
    recorded = radar.instrument_parameters["nyquist_velocity"]["data"]
    r = np.asarray(radar.range["data"], dtype=np.float64)
    t0 = np.datetime64(radar.time["units"].split("since ")[1].rstrip("Z"), "ns")
    nodes: dict[str, Any] = {}
    truth: list[np.ndarray] = []
    nys: list[float] = []
    angles: list[float] = []
    for s in range(radar.nsweeps):
        sl = radar.get_slice(s)
        v = np.ma.filled(vel[sl].astype(np.float64), np.nan)
        if not np.isfinite(v).any():
            continue  # a surveillance cut: reflectivity only
        vn_rec = float(np.max(recorded[sl]))
        vn = vn_rec if nyquist is None else float(nyquist)
        k = len(truth)
        truth.append(v.astype(dtype))
        nys.append(vn)
        angles.append(float(radar.fixed_angle["data"][s]))
        folded = v if nyquist is None else fold(v, vn)
        times = t0 + (np.asarray(radar.time["data"][sl]) * 1e9).astype("timedelta64[ns]")
        nodes[f"/sweep_{k}"] = xr.Dataset(
            {
                "VRADH": (("azimuth", "range"), folded.astype(dtype), {"units": "m/s"}),
                "DBZH": (
                    ("azimuth", "range"),
                    np.ma.filled(ref[sl].astype(np.float64), np.nan).astype(dtype),
                    {"units": "dBZ"},
                ),
                "sweep_number": k,
                "sweep_mode": "azimuth_surveillance",
                "sweep_fixed_angle": angles[-1],
                "nyquist_velocity": ("azimuth", np.full(v.shape[0], vn), {"units": "m/s"}),
            },
            coords={
                "azimuth": ("azimuth", np.asarray(radar.azimuth["data"][sl], dtype=np.float64)),
                "elevation": (
                    "azimuth",
                    np.asarray(radar.elevation["data"][sl], dtype=np.float64),
                ),
                "time": ("azimuth", times),
                "range": ("range", r),
                "latitude": 0.0,
                "longitude": 0.0,
                "altitude": 0.0,
            },
        )
    nodes["/"] = xr.Dataset(
        {
            "latitude": 0.0,
            "longitude": 0.0,
            "altitude": 0.0,
            "sweep_group_name": ("sweep", [n[1:] for n in nodes]),
            "sweep_fixed_angle": ("sweep", angles),
        },
        attrs={"instrument_name": "KLOT", "source": "Py-ART example_nexrad_archive_msg1"},
    )
    return AliasedCase(xr.DataTree.from_dict(nodes), truth, None, np.asarray(nys))
