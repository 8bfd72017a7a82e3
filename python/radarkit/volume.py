"""Radar volumes as xradar gives them: reading files, listing sweeps, per-sweep ray arrays."""

import functools
import os
import warnings

import numpy as np

__all__ = ["describe", "open_volume"]


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
