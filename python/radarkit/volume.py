"""Radar volumes as xradar gives them: reading files, listing sweeps, per-sweep ray arrays.

A volume is an xarray DataTree of sweeps (``sweep_0``, ``sweep_1``, ... with the radar site in
the root, xradar's CfRadial2 model) or one sweep as a Dataset. Every function of the radar
layer reaches the sweeps through `list_sweeps`, `radar_site` and `ray_arrays`.
"""

from __future__ import annotations

import dataclasses
import os
import warnings
from typing import TYPE_CHECKING, Any, ClassVar, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _optional
from ._names import Fields

if TYPE_CHECKING:
    import xarray as xr

__all__ = [
    "REFLECTIVITY",
    "VELOCITY",
    "RadarSite",
    "RayArrays",
    "SweepSummary",
    "VolumeSummary",
    "describe",
    "list_sweeps",
    "nyquist_velocity",
    "open_volume",
    "radar_site",
    "ray_arrays",
]

# xradar's names of the moments the radar layer reads by default
VELOCITY = "VRADH"  # radial velocity, m/s
REFLECTIVITY = "DBZH"  # equivalent reflectivity factor, dBZ

Volume = Any  # an xarray DataTree of sweeps or one sweep Dataset


class RadarSite(NamedTuple):
    """Where the radar is.

    Attributes
    ----------
    radar_latitude, radar_longitude : float
        Degrees north and east.
    radar_height : float
        Height of the antenna, m above sea level (xradar's ``altitude``).
    """

    radar_latitude: float
    radar_longitude: float
    radar_height: float


def _sweep_number(name: str) -> int | None:
    try:
        return int(name.rsplit("_", 1)[1])
    except (IndexError, ValueError):
        return None


def list_sweeps(volume: Volume) -> list[tuple[str, xr.Dataset]]:
    """The sweeps of a volume in sweep-number order.

    Parameters
    ----------
    volume : xarray.DataTree or xarray.Dataset
        A DataTree of sweeps ``sweep_0``, ``sweep_1``, ... or one sweep Dataset (named
        ``sweep_0``).

    Returns
    -------
    list of (str, xarray.Dataset)
        The name and Dataset of each sweep.

    Raises
    ------
    TypeError
        When `volume` is neither a DataTree nor a Dataset.
    ValueError
        When it has no sweeps.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> [name for name, _ in list_sweeps(synthetic_volume(elevations=(0.5, 1.5), gates=10))]
    ['sweep_0', 'sweep_1']
    """
    xr = _optional.xarray()
    if isinstance(volume, xr.Dataset):
        sweeps = [("sweep_0", volume)]
    elif isinstance(volume, xr.DataTree):
        kids = [
            (name, node.to_dataset())
            for name, node in volume.children.items()
            if name.startswith("sweep_") and _sweep_number(name) is not None
        ]
        sweeps = sorted(kids, key=lambda kv: _sweep_number(kv[0]) or 0)
    else:
        raise TypeError(
            f"volume must be an xarray DataTree of sweeps or a sweep Dataset, not "
            f"{type(volume).__name__}"
        )
    if not sweeps:
        raise ValueError("volume has no sweeps (groups sweep_0, sweep_1, ...)")
    return sweeps


def radar_site(volume: Volume) -> RadarSite:
    """The radar's position: from the volume's root, else from its first sweep.

    Parameters
    ----------
    volume : xarray.DataTree or xarray.Dataset
        As for `list_sweeps`; xradar keeps the site in ``latitude``, ``longitude`` (degrees)
        and ``altitude`` (m above sea level).

    Returns
    -------
    RadarSite
        ``(radar_latitude, radar_longitude, radar_height)``.

    Raises
    ------
    ValueError
        Naming the variable the volume lacks.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> radar_site(synthetic_volume(gates=10))
    RadarSite(radar_latitude=46.5, radar_longitude=7.5, radar_height=350.0)
    """
    xr = _optional.xarray()
    sweeps = list_sweeps(volume)
    root = volume.to_dataset() if isinstance(volume, xr.DataTree) else volume
    position = []
    for key in ("latitude", "longitude", "altitude"):
        src = root if key in root.variables else sweeps[0][1]
        if key not in src.variables:
            raise ValueError(f"volume has no radar {key}")
        position.append(float(np.asarray(src[key].values).ravel()[0]))
    return RadarSite(*position)


@dataclasses.dataclass(frozen=True, eq=False)
class RayArrays(Fields):
    """One moment of one sweep as plain arrays.

    Attributes
    ----------
    data : ndarray, shape (rays, gates)
        The moment, float64, NaN = missing.
    azimuth, elevation : ndarray, shape (rays,)
        Direction of each ray, degrees.
    range : ndarray, shape (gates,)
        Slant range of each gate, m.
    time : ndarray of datetime64, shape (rays,), or None
        Time of each ray, when the sweep has ray times.
    """

    data: npt.NDArray[np.float64]
    azimuth: npt.NDArray[np.float64]
    elevation: npt.NDArray[np.float64]
    range: npt.NDArray[np.float64]
    time: npt.NDArray[np.datetime64] | None


def _moments(sweep: xr.Dataset) -> list[str]:
    """Names of the sweep's (rays, gates) variables, sorted."""
    return sorted(str(k) for k, v in sweep.data_vars.items() if v.ndim == 2 and "range" in v.dims)


def ray_arrays(sweep: xr.Dataset, moment: str, *, name: str = "sweep") -> RayArrays:
    """A moment of a sweep as a (rays, gates) float64 array, with its ray and gate coordinates.

    Parameters
    ----------
    sweep : xarray.Dataset
        One sweep in xradar's model: the moment over (azimuth, range) (any order), azimuth and
        elevation per ray (degrees; a scalar elevation is repeated), range per gate (m), time
        per ray.
    moment : str
        Name of the moment, e.g. `VELOCITY` (``"VRADH"``, m/s) or `REFLECTIVITY` (``"DBZH"``).
    name : str
        How errors name the sweep.

    Returns
    -------
    RayArrays
        ``data``, ``azimuth``, ``elevation``, ``range``, ``time``.

    Raises
    ------
    ValueError
        Naming the sweep, the moment and the moments it has, when it lacks the moment.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> sweep = list_sweeps(synthetic_volume(rays=36, gates=10))[0][1]
    >>> ray_arrays(sweep, VELOCITY).data.shape
    (36, 10)
    """
    if moment not in sweep.data_vars:
        have = ", ".join(sorted(str(k) for k, v in sweep.data_vars.items() if v.ndim == 2))
        raise ValueError(f"{name} has no moment {moment!r} (moments: {have or 'none'})")
    da = sweep[moment]
    ray_dim = "azimuth" if "azimuth" in da.dims else da.dims[0]
    da = da.transpose(ray_dim, "range")
    data = np.asarray(da.values, dtype=np.float64)
    az = np.asarray(sweep["azimuth"].values, dtype=np.float64)
    el = np.asarray(sweep["elevation"].values, dtype=np.float64)
    if el.ndim == 0:
        el = np.full(az.shape, float(el))
    rng = np.asarray(sweep["range"].values, dtype=np.float64)
    time = np.asarray(sweep["time"].values) if "time" in sweep.variables else None
    return RayArrays(data, az, el, rng, time)


def nyquist_velocity(
    sweep: xr.Dataset, rays: int, *, nyquist: float | None = None, name: str = "sweep"
) -> npt.NDArray[np.float64]:
    """The Nyquist velocity of each ray of a sweep, m/s.

    Parameters
    ----------
    sweep : xarray.Dataset
        One sweep; its ``nyquist_velocity`` (xradar) or ``NI`` variable is read.
    rays : int
        Rays of the sweep.
    nyquist : float, optional
        m/s; replaces the sweep's own values.
    name : str
        How errors name the sweep.

    Returns
    -------
    ndarray, shape (rays,)
        float64, m/s.

    Raises
    ------
    ValueError
        When the sweep has no finite Nyquist velocity and `nyquist` is None.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> sweep = list_sweeps(synthetic_volume(rays=4, gates=10, nyquist=28.5))[0][1]
    >>> nyquist_velocity(sweep, 4)
    array([28.5, 28.5, 28.5, 28.5])
    """
    if nyquist is not None:
        return np.full(rays, float(nyquist))
    for key in ("nyquist_velocity", "NI"):
        if key in sweep.variables:
            try:
                ny = np.asarray(sweep[key].values, dtype=np.float64)
                ny = np.broadcast_to(ny, (rays,)).copy()
            except (TypeError, ValueError):
                continue  # a reader's placeholder (None) rather than a value
            if np.isfinite(ny).all():
                return ny
    raise ValueError(f"{name} has no Nyquist velocity: pass nyquist= (m/s)")


# ---------------------------------------------------------------------------------------------
# Files


def _sniff(path: str) -> list[str]:
    """xradar engines that may read the file, most likely first, from its first bytes."""
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


def open_volume(path: str | os.PathLike[str]) -> Any:
    """Read a radar file with xradar's readers into a DataTree of sweeps.

    Parameters
    ----------
    path : str or os.PathLike
        The file. Its format is recognised from its first bytes (HDF5: ODIM_H5, GAMIC or
        CfRadial; netCDF: CfRadial1; NEXRAD Level II; IRIS/Sigmet; Rainbow), and the readers
        of the formats it may be are tried in turn.

    Returns
    -------
    xarray.DataTree
        The volume, in xradar's CfRadial2 model.

    Raises
    ------
    FileNotFoundError
        When there is no such file.
    ValueError
        Naming the file and the readers tried when none reads it, chained to the last
        reader's own error (``raise ... from``), whose message it also gives.
    ImportError
        Naming the extra to install when xradar is missing.

    Notes
    -----
    Warnings of a reader that fails are dropped with its attempt; those of the reader that
    reads the file are passed on.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume, write_volume
    >>> _ = write_volume(synthetic_volume(elevations=(0.5, 1.5), gates=10), "volume.nc")
    >>> sorted(open_volume("volume.nc").children)
    ['sweep_0', 'sweep_1']
    """
    xd = _optional.xradar()
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file")
    readers = set(xd.io.list_xradar_engines())
    tried: list[str] = []
    error: Exception | None = None
    for engine in (e for e in _sniff(path) if e in readers):
        tried.append(engine)
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            try:
                tree = xd.io.open_datatree(path, engine=engine)
            except Exception as e:  # any reader failure: try the next format
                error = e
                continue
        if any(name.startswith("sweep_") for name in tree.children):
            for w in said:
                warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
            return tree
        error = ValueError(f"the {engine} reader found no sweeps")
    why = f"; {tried[-1]}: {type(error).__name__}: {error}" if error is not None else ""
    raise ValueError(
        f"{path}: not a radar volume xradar can read (tried {', '.join(tried) or 'none'}{why})"
    ) from error


@dataclasses.dataclass(frozen=True, eq=False)
class SweepSummary(Fields):
    """What one sweep holds.

    Attributes
    ----------
    name : str
        ``sweep_k``.
    elevation : float
        Mean ray elevation, degrees (NaN without rays).
    rays, gates : int
        Size of the sweep.
    first_range, last_range : float
        Slant range of the first and last gate, m (NaN without gates).
    moments : list of str
        Names of its (rays, gates) variables.
    """

    name: str
    elevation: float
    rays: int
    gates: int
    first_range: float
    last_range: float
    moments: list[str]


@dataclasses.dataclass(frozen=True, eq=False)
class VolumeSummary(Fields):
    """What a volume holds; also readable as a mapping (the older keys ``latitude``,
    ``longitude`` and ``altitude`` give the site's fields, with a DeprecationWarning).

    Attributes
    ----------
    radar_latitude, radar_longitude : float
        Degrees north and east.
    radar_height : float
        m above sea level.
    start, end : numpy.datetime64 or None
        Time of the first and last ray (None without ray times).
    sweeps : list of SweepSummary
        One per sweep, in sweep order.
    """

    radar_latitude: float
    radar_longitude: float
    radar_height: float
    start: np.datetime64 | None
    end: np.datetime64 | None
    sweeps: list[SweepSummary]

    _renamed: ClassVar[dict[str, str]] = {
        "latitude": "radar_latitude",
        "longitude": "radar_longitude",
        "altitude": "radar_height",
    }


def describe(volume: Volume) -> VolumeSummary:
    """What a volume holds: the radar site, the time span and a summary of every sweep.

    Parameters
    ----------
    volume : xarray.DataTree or xarray.Dataset
        As for `list_sweeps`.

    Returns
    -------
    VolumeSummary
        ``radar_latitude``, ``radar_longitude``, ``radar_height``, ``start``, ``end`` and
        ``sweeps`` (name, mean elevation, rays, gates, first and last range, moments).

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> info = describe(synthetic_volume(elevations=(0.5, 1.5), rays=36, gates=10))
    >>> info.radar_height, [s.rays for s in info.sweeps], info.sweeps[0].moments
    (350.0, [36, 36], ['DBZH', 'VRADH'])
    """
    sweeps = list_sweeps(volume)
    site = radar_site(volume)
    starts, ends, summaries = [], [], []
    for name, ds in sweeps:
        el = np.asarray(ds["elevation"].values, dtype=np.float64)
        rng = np.asarray(ds["range"].values, dtype=np.float64)
        if "time" in ds.variables:
            t = np.asarray(ds["time"].values)
            if t.size:
                starts.append(t.min())
                ends.append(t.max())
        summaries.append(
            SweepSummary(
                name=name,
                elevation=float(np.nanmean(el)) if el.size else float("nan"),
                rays=int(ds.sizes.get("azimuth", el.size)),
                gates=int(rng.size),
                first_range=float(rng[0]) if rng.size else float("nan"),
                last_range=float(rng[-1]) if rng.size else float("nan"),
                moments=_moments(ds),
            )
        )
    return VolumeSummary(
        *site,
        start=min(starts) if starts else None,
        end=max(ends) if ends else None,
        sweeps=summaries,
    )
