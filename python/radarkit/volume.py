"""Radar volumes: reading files, listing sweeps, per-sweep ray arrays, the moments to use.

A volume is an xarray DataTree of sweeps (``sweep_0``, ``sweep_1``, ... with the radar site in
the root, xradar's CfRadial2 model), one sweep as a Dataset, or a Py-ART ``Radar`` (converted
to the DataTree by `radarkit.readers.as_volume`, the one conversion point). Every function of
the radar layer reaches the sweeps through `list_sweeps`, `radar_site` and `ray_arrays`, and
its moments through `choose_moment` (``velocity="auto"``: found by `radarkit.moments`).
"""

from __future__ import annotations

import dataclasses
import os
import re
import tempfile
from typing import TYPE_CHECKING, Any, ClassVar, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _optional, readers
from ._names import Fields
from ._output import Output
from .moments import MomentChoice, find_moment

if TYPE_CHECKING:
    import xarray as xr

__all__ = [
    "AUTO",
    "REFLECTIVITY",
    "VELOCITY",
    "RadarSite",
    "RayArrays",
    "SweepSummary",
    "VolumeSummary",
    "choose_moment",
    "describe",
    "list_sweeps",
    "nyquist_velocity",
    "open_volume",
    "radar_site",
    "ray_arrays",
    "volume_format",
    "write_volume",
]

# xradar's names of the moments (those of the synthetic volumes)
VELOCITY = "VRADH"  # radial velocity, m/s
REFLECTIVITY = "DBZH"  # equivalent reflectivity factor, dBZ
# the default of the volume functions' velocity= and reflectivity=: the moment is found by
# radarkit.moments.find_moment (CF standard name, then the common names of the readers)
AUTO = "auto"

Volume = Any  # an xarray DataTree of sweeps, one sweep Dataset or a Py-ART Radar


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
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        A DataTree of sweeps ``sweep_0``, ``sweep_1``, ... or one sweep Dataset (named
        ``sweep_0``), or a Py-ART Radar (converted by `radarkit.readers.as_volume`).

    Returns
    -------
    list of (str, xarray.Dataset)
        The name and Dataset of each sweep.

    Raises
    ------
    TypeError
        When `volume` is none of these.
    ValueError
        When it has no sweeps (a Py-ART Radar: no PPI sweeps).

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> [name for name, _ in list_sweeps(synthetic_volume(elevations=(0.5, 1.5), gates=10))]
    ['sweep_0', 'sweep_1']
    """
    xr = _optional.xarray()
    volume = readers.as_volume(volume)
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
            f"volume must be an xarray DataTree of sweeps, a sweep Dataset or a Py-ART Radar, "
            f"not {type(volume).__name__}"
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
    volume = readers.as_volume(volume)
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


def _coordinate(sweep: xr.Dataset, key: str, name: str = "sweep") -> npt.NDArray[np.float64]:
    """A sweep's ``azimuth``, ``elevation`` or ``range`` as float64 values; ValueError naming
    the sweep when it has no such variable (xarray would give the index 0, 1, 2, ... of a
    dimension without one) or its values are not numbers."""
    if key not in sweep.variables:
        raise ValueError(f"{name} has no {key} variable")
    try:
        return np.asarray(sweep[key].values, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name}: {key} must be numbers, not {sweep[key].dtype} values") from None


def _moments(sweep: xr.Dataset) -> list[str]:
    """Names of the sweep's (rays, gates) variables, sorted."""
    return sorted(str(k) for k, v in sweep.data_vars.items() if v.ndim == 2 and "range" in v.dims)


def ray_arrays(
    sweep: xr.Dataset, moment: str, *, name: str = "sweep", native: bool = False
) -> RayArrays:
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
    native : bool
        Keep a float32 moment as float32 (its values are exact as float64) instead of
        converting the whole moment.

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
    data = np.asarray(da.values)
    if not (native and data.dtype == np.float32):
        data = np.asarray(data, dtype=np.float64)
    az = _coordinate(sweep, "azimuth", name)
    el = _coordinate(sweep, "elevation", name)
    if el.ndim == 0:
        el = np.full(az.shape, float(el))
    rng = _coordinate(sweep, "range", name)
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


def open_volume(path: str | os.PathLike[str], *, reader: str = "auto") -> Any:
    """Read a radar file into a DataTree of PPI sweeps.

    Parameters
    ----------
    path : str or os.PathLike
        The file, plain or whole-file gzip/bzip2 compressed; its format is recognised from its
        first bytes.
    reader : {"auto", "xradar", "pyart"}
        ``"auto"``: xradar, and Py-ART (the extra ``radarkit[pyart]``) for legacy NEXRAD
        message-1, UF, MDV, CSU-CHILL and NEXRAD Level 3 files and for files xradar refuses;
        ``"xradar"`` or ``"pyart"``: that library only.

    Returns
    -------
    xarray.DataTree
        The volume in xradar's CfRadial2 model, with the reader, format and compression in the
        root's attributes and incomplete sweeps marked (see `radarkit.readers.read_volume`).

    Raises
    ------
    FileNotFoundError
        When there is no such file.
    ValueError
        `radarkit.readers.UnreadableFile`: one line naming the file and why it cannot be used
        ("not a radar file (text)", "RHI scan: no PPI sweeps", "no complete sweep (...)",
        "corrupt bzip2 stream (...)", ...), chained to the reader's own error where there is
        one.
    ImportError
        Naming the extra to install when the reader the file needs is missing.

    Notes
    -----
    `radarkit.readers.read_volume` does the work; its notes say which files go to which
    reader and why.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume, write_volume
    >>> _ = write_volume(synthetic_volume(elevations=(0.5, 1.5), gates=10), "volume.nc")
    >>> tree = open_volume("volume.nc")
    >>> sorted(tree.children), tree.attrs["radarkit_reader"]
    (['sweep_0', 'sweep_1'], 'xradar (cfradial1)')
    """
    return readers.read_volume(path, reader=reader)


VOLUME_FORMATS = ("cfradial1", "odim")  # what write_volume writes, through xradar


def volume_format(path: str | os.PathLike[str]) -> str:
    """The format `write_volume` writes to `path` by default.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write.

    Returns
    -------
    str
        ``"odim"`` for a name ending in .h5, .hdf5 or .hdf, else ``"cfradial1"``.

    Example
    -------
    >>> volume_format("KTLX.h5"), volume_format("KTLX.nc")
    ('odim', 'cfradial1')
    """
    name = os.fsdecode(os.fspath(path)).lower()
    return "odim" if name.endswith((".h5", ".hdf5", ".hdf")) else "cfradial1"


def write_volume(
    volume: Volume,
    path: str | os.PathLike[str],
    *,
    format: str | None = None,
    source: str | None = None,
) -> None:
    """Write a volume as CfRadial1 or ODIM_H5 through xradar's writers.

    The file appears only complete: xradar writes a scratch file, which is then copied over
    `path` atomically. In ODIM_H5 each sweep's Nyquist velocity is written as its dataset's
    ``how/NI`` (xradar's writer leaves it out), so the file can be dealiased again.

    Parameters
    ----------
    volume : xarray.DataTree
        A volume in xradar's model.
    path : str or os.PathLike
        The file to write.
    format : {"cfradial1", "odim"}, optional
        Default: ``"odim"`` for a path ending in .h5, .hdf5 or .hdf, else ``"cfradial1"``.
    source : str, optional
        ODIM's ``what/source`` (e.g. ``"RAD:SYNTH"``); default: from the volume's
        attributes, else ``RAD:`` and the instrument name.

    Returns
    -------
    None

    Raises
    ------
    ValueError
        For another `format`, or when xradar cannot write the volume (one line naming the
        file and xradar's reason; nothing written).

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> write_volume(synthetic_volume(elevations=(0.5,), gates=10, nyquist=12.0), "v.h5")
    >>> float(list_sweeps(open_volume("v.h5"))[0][1]["nyquist_velocity"])
    12.0
    """
    xradar = _optional.xradar()
    target = os.fsdecode(os.fspath(path))
    format = format or volume_format(target)
    if format not in VOLUME_FORMATS:
        raise ValueError(f"format must be 'cfradial1' or 'odim', not {format!r}")
    volume = readers.as_volume(volume)
    with tempfile.TemporaryDirectory(prefix="radarkit-") as tmp:
        scratch = os.path.join(tmp, "volume")
        try:
            if format == "cfradial1":
                xradar.io.to_cfradial1(dtree=volume, filename=scratch)
            else:
                xradar.io.to_odim(volume, scratch, source=source or _odim_source(volume))
                _odim_nyquist(scratch, volume)
        except Exception as e:  # the writer's own failure: one line, nothing written
            first = (str(e).strip().splitlines() or [""])[0]
            raise ValueError(
                f"{target}: xradar could not write {format} ({type(e).__name__}: {first})"
            ) from e
        with open(scratch, "rb") as src, Output(path, name="path") as out:
            while chunk := src.read(8 << 20):
                out.write(chunk)


# ODIM what/source keys xradar's reader keeps as attributes (and its writer puts back);
# WMO and NOD are radar identifiers, of which a source needs one (or RAD, never kept)
_SOURCE_ATTRS = {
    "WMO": "wmo__id",
    "NOD": "node",
    "PLC": "site_name",
    "ORG": "wmo__originating_centre",
    "WIGOS": "wmo__wsi",
}


def _odim_source(volume: Any) -> str | None:
    """None where the volume's attributes give xradar a source with a radar identifier of
    their own; else ``RAD:`` and the instrument name, then what the attributes give (the
    place of an ODIM file read back)."""
    attrs = volume.attrs

    def given(key: str) -> str | None:
        value = attrs.get(key)
        text = "" if value is None else str(value).strip()
        return None if text in ("", "None") else text

    if given("wmo__id") or given("node"):
        return None
    name = re.sub(r"[^A-Za-z0-9]", "", given("instrument_name") or "") or "XX"
    more = [f"{key}:{given(a)}" for key, a in _SOURCE_ATTRS.items() if given(a)]
    return ",".join([f"RAD:{name}", *more])


def _odim_nyquist(path: str, volume: Any) -> None:
    """Each sweep's Nyquist velocity (median of its rays, m/s) as ``how/NI`` of its dataset:
    ODIM's place for it, where readers (xradar's among them) look."""
    import h5py

    sweeps = list_sweeps(volume)
    with h5py.File(path, "r+") as f:
        names = sorted(
            (k for k in f if k.startswith("dataset") and k[7:].isdigit()), key=lambda k: int(k[7:])
        )
        if len(names) != len(sweeps):
            raise ValueError(f"{len(names)} datasets written for {len(sweeps)} sweeps")
        for key, (name, ds) in zip(names, sweeps):
            where = f[key].get("where")
            if where is not None and "elangle" in where.attrs and "sweep_fixed_angle" in ds:
                angle = float(np.asarray(ds["sweep_fixed_angle"].values).ravel()[0])
                if abs(float(where.attrs["elangle"]) - angle) > 1e-3:
                    raise ValueError(f"{key} is not {name} (elevation {angle:g} degrees)")
            ny = _median_nyquist(ds)
            if np.isfinite(ny):
                f[key].require_group("how").attrs["NI"] = ny


_KIND_WORDS = {"velocity": "radial-velocity", "reflectivity": "reflectivity"}


def choose_moment(volume: Volume, kind: str, given: str | None = AUTO) -> str | None:
    """The name of the moment a volume function reads for `kind`.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        As for `list_sweeps`.
    kind : {"velocity", "reflectivity"}
        Radial velocity (m/s) or equivalent reflectivity factor (dBZ).
    given : str or None
        `AUTO` (``"auto"``): found by `radarkit.moments.find_moment` (CF standard name, then
        the common names of xradar, Py-ART and CfRadial writers; corrected before raw), None
        when the volume has none. Any other name is returned as it is: an explicit name always
        wins. None stays None (the moment left out).

    Returns
    -------
    str or None

    Raises
    ------
    ValueError
        When `kind` is neither.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> volume = synthetic_volume(elevations=(0.5,), rays=8, gates=4)
    >>> choose_moment(volume, "velocity"), choose_moment(volume, "velocity", "VEL")
    ('VRADH', 'VEL')
    """
    if kind not in _KIND_WORDS:
        raise ValueError(f"kind must be 'velocity' or 'reflectivity', not {kind!r}")
    if given != AUTO:
        return given
    return find_moment(volume, kind).name


def _require_moment(volume: Volume, kind: str, given: str | None) -> str:
    """`choose_moment`, or ValueError listing the moments when the volume has no candidate."""
    name = choose_moment(volume, kind, given)
    if name is None:
        have = sorted({m for _, ds in list_sweeps(volume) for m in _moments(ds)})
        raise ValueError(
            f"volume has no {_KIND_WORDS[kind]} moment (moments: {', '.join(have) or 'none'}): "
            f"name it with {kind}="
        )
    return name


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
    nyquist_velocity : float
        m/s, the median over the rays (NaN when the sweep carries none).
    incomplete : bool
        The sweep is incomplete (cut short, or a full-circle sweep with a gap): it holds only
        the rays it has.
    expected_rays : int or None
        Rays a complete sweep has, where known.
    """

    name: str
    elevation: float
    rays: int
    gates: int
    first_range: float
    last_range: float
    moments: list[str]
    nyquist_velocity: float = float("nan")
    incomplete: bool = False
    expected_rays: int | None = None


_NO_MOMENT = MomentChoice(None, "none", ())


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
    velocity, reflectivity : MomentChoice
        The moments the volume functions read by default (``velocity="auto"``): name, how it
        was found and the other candidates (see `radarkit.moments.find_moment`).
    reader, file_format, compression : str or None
        Which reader read the file, its format and its whole-file compression (``"none"``);
        None for a volume not read by `open_volume`.
    dropped_sweeps : str or None
        Sweeps of the file left out, and why (non-PPI sweeps, incomplete ones without rays).
    xradar_refused : str or None
        xradar's error when Py-ART read the file instead.
    """

    radar_latitude: float
    radar_longitude: float
    radar_height: float
    start: np.datetime64 | None
    end: np.datetime64 | None
    sweeps: list[SweepSummary]
    velocity: MomentChoice = _NO_MOMENT
    reflectivity: MomentChoice = _NO_MOMENT
    reader: str | None = None
    file_format: str | None = None
    compression: str | None = None
    dropped_sweeps: str | None = None
    xradar_refused: str | None = None

    _renamed: ClassVar[dict[str, str]] = {
        "latitude": "radar_latitude",
        "longitude": "radar_longitude",
        "altitude": "radar_height",
    }


def describe(volume: Volume) -> VolumeSummary:
    """What a volume holds: the radar site, the time span and a summary of every sweep.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        As for `list_sweeps`.

    Returns
    -------
    VolumeSummary
        ``radar_latitude``, ``radar_longitude``, ``radar_height``, ``start``, ``end``,
        ``sweeps`` (name, mean elevation, rays, gates, first and last range, moments, Nyquist
        velocity, incomplete, expected rays), the moments chosen for ``velocity`` and
        ``reflectivity`` with their alternatives, and how the file was read.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> info = describe(synthetic_volume(elevations=(0.5, 1.5), rays=36, gates=10))
    >>> info.radar_height, [s.rays for s in info.sweeps], info.sweeps[0].moments
    (350.0, [36, 36], ['DBZH', 'VRADH'])
    """
    xr = _optional.xarray()
    volume = readers.as_volume(volume)
    sweeps = list_sweeps(volume)
    site = radar_site(volume)
    attrs = dict(volume.attrs) if isinstance(volume, xr.DataTree) else {}
    incomplete = set(readers.incomplete_sweeps(volume))
    starts, ends, summaries = [], [], []
    for name, ds in sweeps:
        el = _coordinate(ds, "elevation", name)
        rng = _coordinate(ds, "range", name)
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
                nyquist_velocity=_median_nyquist(ds),
                incomplete=name in incomplete,
                expected_rays=_int_or_none(ds.attrs.get(readers.EXPECTED_RAYS_ATTR)),
            )
        )

    def attr(key: str) -> str | None:
        value = attrs.get(key)
        return None if value is None else str(value)

    return VolumeSummary(
        *site,
        start=min(starts) if starts else None,
        end=max(ends) if ends else None,
        sweeps=summaries,
        velocity=find_moment(volume, "velocity"),
        reflectivity=find_moment(volume, "reflectivity"),
        reader=attr(readers.READER_ATTR),
        file_format=attr(readers.FORMAT_ATTR),
        compression=attr(readers.COMPRESSION_ATTR),
        dropped_sweeps=attr(readers.DROPPED_ATTR),
        xradar_refused=attr(readers.FALLBACK_ATTR),
    )


def _median_nyquist(sweep: xr.Dataset) -> float:
    for key in ("nyquist_velocity", "NI"):
        if key in sweep.variables:
            try:
                ny = np.asarray(sweep[key].values, dtype=np.float64).ravel()
            except (TypeError, ValueError):
                continue
            ny = ny[np.isfinite(ny) & (ny > 0)]
            if ny.size:
                return float(np.median(ny))
    return float("nan")


def _int_or_none(value: Any) -> int | None:
    return None if value is None else int(value)
