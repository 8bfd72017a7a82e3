"""Synthetic radar volumes with a known wind, in xradar's data model.

`synthetic_volume` builds a volume scan of a radar in a horizontally uniform wind that varies
with height, returns it as an xradar-compatible DataTree (CfRadial2 layout: the radar position
in the root, one group ``sweep_k`` per elevation), and `write_volume` writes it as CfRadial1 or
ODIM_H5 through xradar's writers, so the same files can be read back as users read theirs.
"""

import numpy as np

from .geometry import beam_geometry

__all__ = ["default_wind", "synthetic_volume", "write_volume"]


def default_wind(z):
    """(u, v) in m/s at height z (m above the radar): veering and strengthening with height."""
    z = np.asarray(z, dtype=np.float64)
    return 3.0 + 2.0e-3 * z, 6.0 - 1.0e-3 * z + 2.0 * np.sin(z / 1500.0)


def _default_reflectivity(z, r):
    """dBZ: a stratiform echo fading with height above the radar, weak echo far out."""
    return 35.0 - 4.0e-3 * z - 1.0e-4 * r


def synthetic_volume(
    *,
    latitude=46.5,
    longitude=7.5,
    altitude=350.0,
    elevations=(0.5, 1.5, 2.5, 4.0, 6.0, 9.0),
    rays=360,
    gates=400,
    gate_spacing=250.0,
    first_gate=125.0,
    wind=default_wind,
    reflectivity=_default_reflectivity,
    velocity_noise=0.0,
    reflectivity_noise=0.0,
    missing=0.0,
    nyquist=32.0,
    start="2024-05-20T18:00:00",
    sweep_seconds=20.0,
    seed=0,
    dtype=np.float32,
):
    """A volume scan of a radar in a wind u(z), v(z), as an xradar DataTree.

    Radial velocity at each gate is the wind at the gate's beam height z (m above the radar,
    4/3 effective-earth model) projected on the beam: (u·sin az + v·cos az)·cos θg, θg being the
    beam elevation at the gate; plus Gaussian noise of standard deviation `velocity_noise` (m/s),
    folded into [-nyquist, nyquist) when `nyquist` is not None. Reflectivity is
    `reflectivity(z, range)` in dBZ plus noise of `reflectivity_noise` dBZ. A random fraction
    `missing` of the gates of both moments is NaN.

    Parameters: radar `latitude`, `longitude` (degrees), `altitude` (m); `elevations` (degrees,
    one sweep each); `rays` per sweep (azimuths evenly spaced, the first at half a step);
    `gates` per ray, `gate_spacing` and `first_gate` (centre of the first gate) in m; `wind` a
    callable z -> (u, v); `start` the time of the first ray; `sweep_seconds` per sweep; `seed`
    of the noise; `dtype` of the moments.

    Returns an xarray DataTree: the root holds latitude, longitude, altitude and the time
    coverage; ``sweep_k`` holds VRADH and DBZH (azimuth, range) with coordinates azimuth,
    elevation, time, range, and sweep_number, sweep_mode, sweep_fixed_angle, nyquist_velocity.
    """
    try:
        import xarray as xr
    except ImportError:
        raise ImportError(
            "radarkit.synthetic needs xarray: pip install 'radarkit[radar]'"
        ) from None
    rng = np.random.default_rng(seed)
    az = (np.arange(rays) + 0.5) * (360.0 / rays)
    r = first_gate + gate_spacing * np.arange(gates)
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
                "VRADH": (
                    ("azimuth", "range"),
                    vr.astype(dtype),
                    {
                        "standard_name": "radial_velocity_of_scatterers_away_from_instrument_h",
                        "long_name": "Radial velocity of scatterers away from instrument H",
                        "units": "meters per seconds",
                    },
                ),
                "DBZH": (
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
                "latitude": float(latitude),
                "longitude": float(longitude),
                "altitude": float(altitude),
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
            "latitude": float(latitude),
            "longitude": float(longitude),
            "altitude": float(altitude),
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


def write_volume(volume, path, format="cfradial1"):
    """Write a volume with xradar's writers: `format` "cfradial1" or "odim" (ODIM_H5)."""
    try:
        import xradar
    except ImportError:
        raise ImportError(
            "radarkit.synthetic needs xradar to write files: pip install 'radarkit[radar]'"
        ) from None
    if format == "cfradial1":
        xradar.io.to_cfradial1(dtree=volume, filename=str(path))
    elif format == "odim":
        xradar.io.to_odim(volume, str(path), source="RAD:SYNTH,PLC:Synthetic")
    else:
        raise ValueError(f"format must be 'cfradial1' or 'odim', not {format!r}")
    return path
