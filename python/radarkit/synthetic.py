"""Synthetic radar volumes with a known wind, in xradar's data model.

`synthetic_volume` builds a volume scan of a radar in a horizontally uniform wind that varies
with height, returns it as an xradar-compatible DataTree (CfRadial2 layout: the radar position
in the root, one group ``sweep_k`` per elevation), and `write_volume` writes it as CfRadial1 or
ODIM_H5 through xradar's writers, so the same files can be read back as users read theirs.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import _optional
from ._names import renamed
from .geometry import beam_geometry
from .volume import REFLECTIVITY, VELOCITY

__all__ = ["default_wind", "synthetic_volume", "write_volume"]

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
    xradar = _optional.require("xradar", "radar", "radarkit.synthetic.write_volume")
    if format == "cfradial1":
        xradar.io.to_cfradial1(dtree=volume, filename=str(path))
    elif format == "odim":
        xradar.io.to_odim(volume, str(path), source="RAD:SYNTH,PLC:Synthetic")
    else:
        raise ValueError(f"format must be 'cfradial1' or 'odim', not {format!r}")
    return path
