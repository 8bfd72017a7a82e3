"""A radar network per assimilation window: every volume of every radar, on dask.distributed.

`obs_windows` takes the volume files of any number of radars and times, puts each volume in the
assimilation window that holds its scan time, runs one task per volume on a Dask cluster
(`process_volume`: read, quality control, dealiasing, superobservations) and writes one DART
file per window (and, asked for, one WRFDA file), from the small tables the tasks return: the
superobservations, never the gates.

Windows
    Windows are `window` long (e.g. ``"15min"``) and centred on the analysis times of the
    cycle: on `start` and every `window` after it, or, without `start`, on multiples of
    `window` counted from midnight UTC (on the hour for windows that divide an hour). The
    15-minute window of 18:00 holds 17:52:30 (included) to 18:07:30 (excluded). A window is
    named by its centre, ``obs_seq.YYYYMMDDHHMM`` and ``ob.radar.YYYYMMDDHHMM``, so centres fall
    on whole minutes.

A scan that straddles a boundary
    A volume is placed whole, by its mid time: halfway between its first and its last ray (over
    all its sweeps). A volume is one WRFDA record with one time, and its observations are at
    most half a volume's duration (2 to 3 minutes for NEXRAD) from the window that takes it,
    on either side; a mid time exactly on a boundary goes to the later window. With `start`,
    volumes whose mid time is before the first window are left out (and listed).

The cluster
    ``client=`` takes any `distributed.Client`: a `LocalCluster`, a scheduler's address, a
    dask-jobqueue cluster on HPC. Without one, a `LocalCluster` of one single-threaded worker
    process per core (or `workers`) is started and closed again (`local_cluster`; its workers
    keep glibc's default malloc thresholds, not Dask's trim threshold of 64 KiB, which makes
    a volume's large arrays be faulted in again page by page). The workers read the files
    themselves: local paths are made absolute and must be visible to every worker (a shared
    file system on a cluster); fsspec URLs (``s3://...``, ``https://...``) are fetched by the
    worker where fsspec and its backend are installed there. Kernels inside a task run with
    one thread (`n_threads` of the options), as the grid wrappers under Dask do: the cluster
    already runs one task per core.

Identical files
    Each window's observations are written sorted by time (whole seconds, DART's resolution),
    then radar, volume (by its first ray) and the volume's own order (velocity boxes, then
    reflectivity boxes, each by sweep and box); WRFDA records by radar and time. So the bytes
    do not depend on which task finished first: reruns, other worker counts and a worker lost
    mid-run (its tasks are rerun by the scheduler) give the same files, those of
    ``to_obs_seq(volumes, path, superob=...)`` and ``to_wrfda(volumes, path)`` called on the
    window's volumes in that order.

Memory
    A task returns superobservations only (about 13 MB for a NEXRAD volume with echo over most
    of its range). The writing process holds them in memory up to `SPOOL_MEMORY` bytes in all
    and beyond that in a spool directory in `out_dir`, removed at the end, until their window
    is written (two window files at a time), so a long run holds little more than the windows
    being written.

Faults
    A volume that cannot be read or processed is listed with its file and the reason (a
    volume whose task the scheduler gave up on, its workers having died, is first run again
    alone: it may only have shared a worker with the volume that crashes them); with
    ``on_error="skip"`` (the default) its window is written from the other volumes, with
    ``"stop"`` the run stops at the first such volume and no observation file is written.
    Either way a JSON report of the run (`REPORT`) is written in `out_dir`. Files are written
    atomically (`radarkit._output.Output`): an interrupt (Ctrl-C) leaves no partial file, only
    the windows written before it. A window file that cannot be written (a full disk, an
    unwritable directory) is not there, not even in part; it is listed with the reason
    (`NetworkResult.unwritten`) and the other windows are written. A window whose files exist
    is skipped (its volumes are read for their times, not processed) unless `overwrite`.

Example
-------
>>> from radarkit.network import obs_windows
>>> result = obs_windows(files, window="15min", out_dir="obs")  # doctest: +SKIP
>>> [w.name for w in result.windows]  # doctest: +SKIP
['202405201800', '202405201815']
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import datetime
import importlib.util
import json
import os
import pickle
import re
import shutil
import tempfile
import time as _time
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _optional
from ._output import Output
from .radar_obs import CLEAR_AIR_BELOW
from .superob import SPACING
from .volume import AUTO, RadarSite, choose_moment, list_sweeps, open_volume, radar_site

__all__ = [
    "REPORT",
    "NetworkResult",
    "VolumeFailure",
    "VolumeObs",
    "VolumeOptions",
    "WindowResult",
    "Windows",
    "local_cluster",
    "obs_windows",
    "process_volume",
    "read_volume",
    "volume_obs",
]

REPORT = "network_report.json"  # the run's report, in out_dir
FORMATS = ("dart", "wrfda")
SPOOL_MEMORY = 1 << 29  # bytes of finished volumes' tables the writing process holds in memory
_PREFIX = {"dart": "obs_seq.", "wrfda": "ob.radar."}
_MINUTE = np.timedelta64(60, "s").astype("timedelta64[ns]")
_DAY = np.timedelta64(1, "D").astype("timedelta64[ns]")


# ---------------------------------------------------------------------------------------------
# Windows


_UNITS = {
    **dict.fromkeys(("s", "sec", "secs", "second", "seconds"), 1),
    **dict.fromkeys(("m", "min", "mins", "minute", "minutes"), 60),
    **dict.fromkeys(("h", "hr", "hrs", "hour", "hours"), 3600),
    **dict.fromkeys(("d", "day", "days"), 86400),
}
_DURATION = re.compile(r"^\s*(\d+(?:\.\d*)?)\s*([a-z]+)\s*$")


def parse_window(window: str | np.timedelta64 | datetime.timedelta) -> np.timedelta64:
    """A window length as timedelta64[ns].

    Parameters
    ----------
    window : str, numpy.timedelta64 or datetime.timedelta
        Text is a number and a unit: ``"15min"``, ``"1h"``, ``"900s"``, ``"1 day"`` (units
        s, min or m, h, d and their long names).

    Returns
    -------
    numpy.timedelta64
        ns.

    Raises
    ------
    ValueError
        Naming `window` unless it is a positive whole number of minutes.

    Example
    -------
    >>> parse_window("1h") == np.timedelta64(60, "m")
    True
    """
    if isinstance(window, str):
        found = _DURATION.match(window.lower())
        if found is None or found.group(2) not in _UNITS:
            raise ValueError(f"window must be a duration such as '15min' or '1h', not {window!r}")
        seconds = float(found.group(1)) * _UNITS[found.group(2)]
        length = np.timedelta64(round(seconds * 1e9), "ns")
    elif isinstance(window, (np.timedelta64, datetime.timedelta)):
        length = np.timedelta64(window).astype("timedelta64[ns]")
    else:
        raise ValueError(f"window must be a duration such as '15min' or '1h', not {window!r}")
    if np.isnat(length) or length <= np.timedelta64(0, "ns") or length % _MINUTE:
        raise ValueError(f"window must be a positive whole number of minutes, not {window!r}")
    return length


@dataclasses.dataclass(frozen=True)
class Windows:
    """Windows of one length: window k spans [origin + k·length, origin + (k+1)·length).

    Attributes
    ----------
    length : numpy.timedelta64
        ns.
    origin : numpy.datetime64
        Start of window 0, ns.
    first : int or None
        The first window there is (0 when the windows begin at a given start), None when
        they run both ways.
    """

    length: np.timedelta64
    origin: np.datetime64
    first: int | None = None

    @classmethod
    def make(cls, window: Any, start: Any = None) -> Windows:
        """Windows of length `window` centred on `start` and every `window` after it, or on
        multiples of `window` from midnight UTC when `start` is None.

        Raises ValueError naming the argument: a bad window, a window that does not divide a
        day without `start`, a `start` that is not a whole minute.
        """
        length = parse_window(window)
        if start is None:
            if _DAY % length:
                raise ValueError(
                    f"window {window!r} does not divide a day: give start= to align the windows"
                )
            centre, first = np.datetime64(0, "ns"), None
        else:
            centre, first = _as_time(start, "start"), 0
            if (centre - np.datetime64(0, "ns")) % _MINUTE:
                raise ValueError(
                    "start must be a whole minute (files are named by the windows' centres, "
                    f"YYYYMMDDHHMM), not {start!r}"
                )
        return cls(length, centre - length // 2, first)

    def index(self, t: np.datetime64) -> int | None:
        """The window holding time `t`, None before the first window."""
        k = int((t.astype("datetime64[ns]") - self.origin) // self.length)
        return None if self.first is not None and k < self.first else k

    def start(self, k: int) -> np.datetime64:
        return self.origin + k * self.length

    def end(self, k: int) -> np.datetime64:
        return self.origin + (k + 1) * self.length

    def centre(self, k: int) -> np.datetime64:
        return self.origin + k * self.length + self.length // 2

    def name(self, k: int) -> str:
        """The window's centre as YYYYMMDDHHMM."""
        text = str(np.datetime_as_string(self.centre(k), unit="m"))
        return text.replace("-", "").replace("T", "").replace(":", "")

    def file(self, k: int, fmt: str) -> str:
        return _PREFIX[fmt] + self.name(k)


def _as_time(t: Any, what: str) -> np.datetime64:
    try:
        out = np.datetime64(t, "ns")
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a time such as '2024-05-20T18:00', not {t!r}") from None
    if np.isnat(out):
        raise ValueError(f"{what} must be a time, not {t!r}")
    return out


# ---------------------------------------------------------------------------------------------
# The per-volume task


@dataclasses.dataclass(frozen=True)
class VolumeOptions:
    """What the task of one volume needs besides its file (sent once to every worker).

    Attributes
    ----------
    windows : Windows
        The windows the volume is placed in.
    formats : tuple of str
        ``"dart"`` and/or ``"wrfda"``: the tables to build.
    skip : frozenset of int
        Windows whose files exist already: their volumes are read for their time only.
    superob : dict
        The DART boxes: keyword arguments of `radarkit.superob.superob_arrays` (``boxes``,
        ``range_step``, ``azimuth_step``, ``spacing``, ``grid``, ``min_count``,
        ``max_spread``) and ``qc`` (`radarkit.qc.gate_filter`'s settings); default polar
        boxes of 5 km by 5 degrees.
    cells : dict
        The WRFDA cells, the same keys: the DART layout when it is made of horizontal cells,
        else square cells of 3 km.
    terrain : ndarray or None
        Model terrain of a model grid's mass points (m), the WRFDA columns' elevation.
    velocity, reflectivity : str or None
        Moment names, ``"auto"`` (found by name) or None (left out).
    unfolded : bool
        The velocities are already unfolded: not dealiased.
    velocity_error, reflectivity_error : float
        Error standard deviations, m/s and dBZ; a velocity box takes its spread when larger.
    clear_air_below : float
        dBZ: reflectivity below it is clear-air reflectivity.
    nyquist : float or None
        m/s, replacing the volumes' own.
    reader : str
        ``open_volume``'s reader.
    n_threads : int
        Threads of the kernels inside a task (1: the cluster runs one task per core).
    """

    windows: Windows
    formats: tuple[str, ...] = ("dart",)
    skip: frozenset[int] = frozenset()
    superob: dict[str, Any] = dataclasses.field(default_factory=dict)
    cells: dict[str, Any] = dataclasses.field(
        default_factory=lambda: {"boxes": "grid", "spacing": 3000.0}
    )
    terrain: npt.NDArray[np.float64] | None = None
    velocity: str | None = AUTO
    reflectivity: str | None = AUTO
    unfolded: bool = False
    velocity_error: float = 2.0
    reflectivity_error: float = 5.0
    clear_air_below: float = CLEAR_AIR_BELOW
    nyquist: float | None = None
    reader: str = "auto"
    n_threads: int = 1


@dataclasses.dataclass(frozen=True)
class VolumeObs:
    """What the task of one volume returns to the process that writes: small tables only.

    Attributes
    ----------
    path : str
        The file.
    radar : str
        The radar's name (the volume's ``instrument_name``, else the file's name).
    site : RadarSite
        Its position.
    start, end, time : numpy.datetime64
        First and last ray of the volume and the time it is placed by (their middle).
    window : int or None
        Index of its window; None when it lies before the first window.
    skipped : bool
        Its window's files exist: the volume was not processed.
    dart : dict of ndarray or None
        DART observations of the volume: the fields of `radarkit.dart.write_obs_seq` as
        equal-length arrays, in the volume's own order.
    wrfda : radarkit.wrfda.Radar or None
        The volume's WRFDA radar record.
    wrfda_text : bytes or None
        That record as the WRFDA file holds it (its RADAR line and columns), formatted by
        the task on the worker, which then sends it instead of `wrfda`: the writing process
        only puts the windows' records together.
    wrfda_columns : int or None
        The columns of that text (None: no text).
    counts : dict
        Numbers worth reporting (observations, boxes rejected, ...).
    timings : dict
        Seconds spent on each step (``read``, ``dealias``, ``qc``, ``superob``, ``table``;
        in `obs_windows`' tasks also ``format``: the tables checked and the WRFDA text made).
    """

    path: str
    radar: str
    site: RadarSite
    start: np.datetime64
    end: np.datetime64
    time: np.datetime64
    window: int | None
    skipped: bool = False
    dart: dict[str, npt.NDArray[Any]] | None = None
    wrfda: Any = None
    wrfda_text: bytes | None = None
    wrfda_columns: int | None = None
    counts: dict[str, int] = dataclasses.field(default_factory=dict)
    timings: dict[str, float] = dataclasses.field(default_factory=dict)


@contextlib.contextmanager
def _local_copy(path: str) -> Iterator[str]:
    """A local path of the file: `path` itself, or for an fsspec URL a temporary copy that is
    removed afterwards."""
    if "://" not in path or path.startswith("file://"):
        yield path[len("file://") :] if path.startswith("file://") else path
        return
    fsspec = _optional.require("fsspec", "network", f"reading {path}")
    suffix = os.path.splitext(path.rsplit("/", 1)[-1])[1]
    fd, tmp = tempfile.mkstemp(prefix="radarkit-", suffix=suffix)
    try:
        with os.fdopen(fd, "wb") as out, fsspec.open(path, "rb") as src:
            while block := src.read(1 << 24):
                out.write(block)
        yield tmp
    finally:
        with contextlib.suppress(OSError):
            os.unlink(tmp)


def read_volume(path: str, *, reader: str = "auto") -> Any:
    """Read a volume file (a path or an fsspec URL) fully into memory.

    Parameters
    ----------
    path : str
        Local path or fsspec URL.
    reader : str
        `radarkit.volume.open_volume`'s reader; ``"auto"`` is its default.

    Returns
    -------
    xarray.DataTree
        The volume, loaded (the file, or the temporary copy of a URL, is no longer needed).
    """
    with _local_copy(path) as local:
        tree = open_volume(local, reader=reader)
        return tree.load()


def _radar_name(volume: Any, path: str) -> str:
    attrs = getattr(volume, "attrs", {}) or {}
    name = str(attrs.get("instrument_name", "") or "").strip()
    return name or os.path.basename(path).split(".")[0]


def volume_obs(path: str, volume: Any, options: VolumeOptions) -> VolumeObs:
    """The VolumeObs of a volume before its observations: radar, site, time span, window.

    Raises ValueError when the volume has no ray times (it cannot be placed).
    """
    starts, ends = [], []
    for name, ds in list_sweeps(volume):
        if "time" in ds.variables:
            t = np.asarray(ds["time"].values)
            if t.dtype.kind != "M":
                raise ValueError(f"{name}: ray times are not times ({t.dtype})")
            t = t.astype("datetime64[ns]")
            t = t[~np.isnat(t)]
            if t.size:
                starts.append(t.min())
                ends.append(t.max())
    if not starts:
        raise ValueError("the volume has no ray times: it cannot be placed in a window")
    start, end = min(starts), max(ends)
    mid = start + (end - start) // 2
    k = options.windows.index(mid)
    return VolumeObs(
        path=path,
        radar=_radar_name(volume, path),
        site=radar_site(volume),
        start=start,
        end=end,
        time=mid,
        window=k,
        skipped=k is not None and k in options.skip,
    )


@contextlib.contextmanager
def _clock(timings: dict[str, float], step: str) -> Iterator[None]:
    t0 = _time.perf_counter()
    try:
        yield
    finally:
        timings[step] = timings.get(step, 0.0) + _time.perf_counter() - t0


def process_volume(path: str, options: VolumeOptions) -> VolumeObs:
    """The task of one volume: read, dealias, quality control, superobservations.

    Parameters
    ----------
    path : str
        The volume's file (local path or fsspec URL), read by the worker.
    options : VolumeOptions
        Windows, formats, moments and the superobservation settings.

    Returns
    -------
    VolumeObs
        The volume's place and its superobservations as DART rows and a WRFDA record: a few
        thousand rows, never the gates. The same rows and record as
        ``to_obs_seq(volume, path, superob=options.superob)`` and ``to_wrfda(volume, path)``
        write for the volume.

    Raises
    ------
    Exception
        Whatever reading or processing the volume raises; `obs_windows` reports it with the
        file's name.

    Notes
    -----
    Dealiasing comes first (`radarkit.superob.velocity_source`: the volume's own dealiased
    moment, else `radarkit.dealias`, unless `unfolded`), as the velocity texture of the
    quality control (`radarkit.qc.gate_filter`) is taken on dealiased velocities; then the
    gates left are averaged per sweep and box (`radarkit.superob.superob_arrays`), once for
    the DART boxes and, when they are polar, once more for the WRFDA cells.
    """
    from .radar_obs import _radar_name as record_name
    from .radar_obs import _wrfda_radar
    from .superob import superob_arrays, superob_observations, velocity_source, volume_arrays

    timings: dict[str, float] = {}
    with _clock(timings, "read"):
        volume = read_volume(path, reader=options.reader)
    placed = volume_obs(path, volume, options)
    if placed.window is None or placed.skipped:
        return dataclasses.replace(placed, timings=timings)
    n = options.n_threads
    qc = options.superob.get("qc", True)
    with _clock(timings, "dealias"):
        volume, velocity = velocity_source(
            volume, options.velocity, options.unfolded, options.nyquist, n, qc
        )
    with _clock(timings, "qc"):
        reflectivity = choose_moment(volume, "reflectivity", options.reflectivity)
        arrays, _ = volume_arrays(
            volume,
            velocity=velocity,
            reflectivity=reflectivity,
            qc=qc,
            nyquist=options.nyquist,
            n_threads=n,
        )
        arrays.pop("sweep_names")
    dart_rows, record, counts = None, None, {}
    with _clock(timings, "superob"):
        layouts = {"dart": options.superob, "wrfda": options.cells}
        boxes: dict[str, Any] = {}
        for fmt in options.formats:
            layout = {k: v for k, v in layouts[fmt].items() if k != "qc"}
            same = [f for f in boxes if layouts[f] == layouts[fmt]]
            boxes[fmt] = boxes[same[0]] if same else superob_arrays(**arrays, **layout, n_threads=n)
    with _clock(timings, "table"):
        site = placed.site
        if "dart" in boxes:
            dart_rows = superob_observations(
                boxes["dart"],
                **site._asdict(),
                velocity_error=options.velocity_error,
                reflectivity_error=options.reflectivity_error,
                clear_air_below=options.clear_air_below,
            )
            counts["observations"] = int(dart_rows["value"].size)
        if "wrfda" in boxes:
            record = _wrfda_radar(
                volume,
                boxes["wrfda"],
                site,
                name=record_name(volume, "RADAR"),
                velocity_error=options.velocity_error,
                reflectivity_error=options.reflectivity_error,
                grid=options.cells.get("grid"),
                terrain=options.terrain,
            )
            counts["columns"] = 0 if record is None else int(np.size(record.latitude))
        for fmt, so in boxes.items():
            for why, k in so.rejected.items():
                counts[f"{fmt}_rejected_{why}"] = int(k)
    return dataclasses.replace(placed, dart=dart_rows, wrfda=record, counts=counts, timings=timings)


def _same(x: Any) -> Any:
    return x


def _task(
    path: str, options: VolumeOptions, step: Callable[[str, VolumeOptions], VolumeObs]
) -> VolumeObs:
    """`step` on one volume, its tables checked as the writers check them: a table they would
    refuse fails its volume here, on the worker, not the window's file at the end. The WRFDA
    record is formatted here too, as its text does not depend on its place in the file: the
    workers format in parallel what the writing process would otherwise format alone."""
    from . import dart, wrfda

    obs = step(path, options)
    timings = dict(obs.timings)
    with _clock(timings, "format"):  # the worker's share of the writing, timed as a step
        if obs.dart is not None and len(obs.dart["value"]):
            cols = dart._Columns(obs.dart, "the volume's DART observations")
            dart._prepare(cols, None, "std", dart._SUBCHUNK)
        if obs.wrfda is not None:
            record = wrfda._Checked(obs.wrfda, 0)
            obs = dataclasses.replace(
                obs,
                wrfda=None,
                wrfda_text=record.record(options.n_threads),
                wrfda_columns=record.written,
            )
    return dataclasses.replace(obs, timings=timings)


# ---------------------------------------------------------------------------------------------
# Writing


def _radar_key(obs: VolumeObs) -> tuple[str, float, float, float]:
    return (obs.radar, *obs.site)


def _writing_order(tables: Sequence[VolumeObs]) -> list[VolumeObs]:
    """A window's volumes by radar (name, then site), first ray and file: the same order
    whatever order the tasks finished in."""
    return sorted(tables, key=lambda o: (_radar_key(o), o.start, o.path))


def window_dart(tables: Sequence[VolumeObs]) -> dict[str, npt.NDArray[Any]]:
    """The DART fields of a window's volumes, volume after volume in writing order; the
    writer then sorts them stably by time (whole seconds), which keeps that order among
    observations of one second."""
    parts = [o.dart for o in _writing_order(tables) if o.dart is not None]
    if not parts:
        return {}
    return {k: np.concatenate([np.asarray(p[k]) for p in parts]) for k in parts[0]}


def window_wrfda(tables: Sequence[VolumeObs]) -> list[Any]:
    """The WRFDA records of a window's volumes, in writing order."""
    return [o.wrfda for o in _writing_order(tables) if o.wrfda is not None]


def _write_window(
    path: str,
    fmt: str,
    tables: Sequence[VolumeObs],
    n_threads: int,
    load: Callable[[VolumeObs, str], VolumeObs] | None = None,
) -> int:
    """Writes one window's file (atomically); returns the observations or columns written.

    `load(obs, fmt)` gives a volume's tables of that format when `tables` holds them
    elsewhere (the spool); WRFDA records are then loaded one volume at a time, as they are
    written. A volume's WRFDA record is either its text, formatted by its task, or the
    record itself, formatted here: the same bytes."""
    if load is None:
        load = lambda obs, fmt: obs  # noqa: E731
    order = _writing_order(tables)
    if fmt == "dart":
        from . import dart

        cols = window_dart([load(o, fmt) for o in order])
        if not cols:
            with dart.ObsSeqWriter(path, n_threads=n_threads):
                pass  # a window without observations: a valid file of none
            return 0
        return dart.write_obs_seq(path, cols, n_threads=n_threads).written
    from . import wrfda

    order = [o for o in order if o.wrfda is not None or o.wrfda_columns is not None]
    written = 0

    def records() -> Iterator[bytes]:
        nonlocal written
        for i, o in enumerate(order):
            full = load(o, fmt)
            if full.wrfda_text is not None:
                text, columns = full.wrfda_text, full.wrfda_columns or 0
            else:
                record = wrfda._Checked(full.wrfda, i)
                text, columns = record.record(n_threads), record.written
            del full
            written += columns
            yield text

    wrfda._write_records(path, len(order), records())
    return written


# ---------------------------------------------------------------------------------------------
# Results


@dataclasses.dataclass(frozen=True)
class WindowResult:
    """One window of a run.

    Attributes
    ----------
    name : str
        Its centre, YYYYMMDDHHMM.
    start, end : numpy.datetime64
        Its span, [start, end).
    volumes : list of str
        The files placed in it, in writing order (radar, time).
    observations : dict
        Per format, the observations (DART) or columns (WRFDA) written; absent for a file that
        existed and was kept.
    files : dict
        Per format, the file's path.
    existed : bool
        Every file of the window existed: nothing was processed or written.
    errors : dict
        Per format, why its file could not be written (e.g. ``"OSError: [Errno 28] No space
        left on device"``); no such file is left, not even in part, and a rerun writes it.
    """

    name: str
    start: np.datetime64
    end: np.datetime64
    volumes: list[str]
    observations: dict[str, int]
    files: dict[str, str]
    existed: bool = False
    errors: dict[str, str] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class VolumeFailure:
    """A volume that could not be read or processed: its file and the reason."""

    path: str
    reason: str


@dataclasses.dataclass(frozen=True)
class NetworkResult:
    """What `obs_windows` did.

    Attributes
    ----------
    windows : list of WindowResult
        In time order.
    failed : list of VolumeFailure
        In the order of the files given.
    outside : list of str
        Files whose volume lies before `start`.
    stopped : bool
        A volume failed with ``on_error="stop"``: no observation file was written.
    report : str
        Path of the JSON report.
    timings : dict
        Per step, the seconds the tasks spent (summed over volumes), and ``wall``.
    unwritten : list of (str, str)
        The window files that could not be written, with the reason (`WindowResult.errors`).
    """

    windows: list[WindowResult]
    failed: list[VolumeFailure]
    outside: list[str]
    stopped: bool
    report: str
    timings: dict[str, float]

    @property
    def unwritten(self) -> list[tuple[str, str]]:
        return [(w.files[f], why) for w in self.windows for f, why in w.errors.items()]


def _reason(e: BaseException) -> str:
    text = str(e).strip()
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def _iso(t: np.datetime64) -> str:
    return str(np.datetime_as_string(t, unit="s")) + "Z"


def _write_report(path: str, result: NetworkResult, settings: dict[str, Any]) -> None:
    doc = {
        **settings,
        "stopped": result.stopped,
        "windows": [
            {
                "name": w.name,
                "start": _iso(w.start),
                "end": _iso(w.end),
                "volumes": w.volumes,
                "observations": w.observations,
                "files": w.files,
                "existed": w.existed,
                "errors": w.errors,
            }
            for w in result.windows
        ],
        "failed": [{"path": f.path, "reason": f.reason} for f in result.failed],
        "unwritten": [{"path": p, "reason": why} for p, why in result.unwritten],
        "outside": result.outside,
        "timings": {k: round(v, 3) for k, v in result.timings.items()},
    }
    with Output(path, name="report") as out:
        out.write((json.dumps(doc, indent=2) + "\n").encode())


# ---------------------------------------------------------------------------------------------
# The run


def _normalise(files: Iterable[str | os.PathLike[str]]) -> list[str]:
    """Absolute local paths (the workers' working directory is not ours) and URLs as given,
    each once, in the order given."""
    out: dict[str, None] = {}
    for f in files:
        s = os.fspath(f)
        out[s if "://" in s else os.path.abspath(s)] = None
    return list(out)


@contextlib.contextmanager
def _client(client: Any, workers: int | None) -> Iterator[Any]:
    """The given client; a client of the scheduler at an address, closed here; or a
    LocalCluster of single-threaded worker processes started and closed here."""
    if client is not None and not isinstance(client, str):
        yield client
        return
    distributed = _optional.require("distributed", "network", "radarkit.network")
    if isinstance(client, str):
        try:
            connected = distributed.Client(client, timeout=30)
        except (OSError, TimeoutError) as e:
            raise OSError(f"{client}: no Dask scheduler to be reached ({e})") from None
        with connected as c:
            yield c
        return
    with local_cluster(workers) as cluster, distributed.Client(cluster) as c:
        yield c


# Dask's nanny starts its workers with MALLOC_TRIM_THRESHOLD_=65536, so glibc hands every
# freed block above 64 KiB back to the system; a volume task allocates and frees some 70 MB
# of moments per sweep pass, which is then faulted in again page by page (several times the
# page faults, a slower task). The workers radarkit starts keep glibc's own adaptive
# thresholds; a cluster given by the caller is left as it is.
_TRIM = "MALLOC_TRIM_THRESHOLD_"


@contextlib.contextmanager
def local_cluster(workers: int | None = None) -> Iterator[Any]:
    """The LocalCluster `obs_windows` starts without a client: `workers` single-threaded
    worker processes (default one per core), the dashboard on a free port, glibc's default
    malloc thresholds in the workers. Closed on leaving.

    Parameters
    ----------
    workers : int, optional
        Worker processes.

    Yields
    ------
    distributed.LocalCluster
    """
    distributed = _optional.require("distributed", "network", "radarkit.network")
    import dask.config

    n = workers if workers is not None else (os.cpu_count() or 1)
    key = f"distributed.nanny.pre-spawn-environ.{_TRIM}"
    # A nanny also writes its variables into this process's environment, which workers
    # spawned later inherit: a value equal to Dask's own, left by an earlier cluster, is
    # taken out while this cluster lives (a value of the user's own is kept).
    dask_value = dask.config.get(key, None)
    inherited = os.environ.get(_TRIM)
    if inherited is not None and dask_value is not None and inherited == str(dask_value):
        del os.environ[_TRIM]
    else:
        inherited = None
    try:
        # the nannies read the setting when they are made, here, and keep it for restarts
        with dask.config.set({key: None}):
            cluster = distributed.LocalCluster(
                n_workers=n, threads_per_worker=1, processes=True, dashboard_address=":0"
            )
        with cluster:
            yield cluster
    finally:
        if inherited is not None:
            os.environ.setdefault(_TRIM, inherited)


def obs_windows(
    files: Iterable[str | os.PathLike[str]],
    *,
    window: Any,
    start: Any = None,
    out_dir: str | os.PathLike[str],
    formats: Sequence[str] = ("dart",),
    client: Any = None,
    workers: int | None = None,
    on_error: str = "skip",
    overwrite: bool = False,
    velocity: str | None = AUTO,
    reflectivity: str | None = AUTO,
    unfolded: bool = False,
    velocity_error: float = 2.0,
    reflectivity_error: float = 5.0,
    clear_air_below: float = CLEAR_AIR_BELOW,
    nyquist: float | None = None,
    reader: str = "auto",
    n_threads: int = 1,
    progress: Callable[[int, int, str], None] | None = None,
    step: Callable[[str, VolumeOptions], VolumeObs] = process_volume,
    **superob_options: Any,
) -> NetworkResult:
    """Superobservations of a radar network, one DART (and WRFDA) file per assimilation window.

    Parameters
    ----------
    files : iterable of str or os.PathLike
        Volume files (any format `radarkit.volume.open_volume` reads) or fsspec URLs, of any
        radars and times; each file once (repeats are dropped).
    window : str or timedelta
        Length of the windows, e.g. ``"15min"``: a whole number of minutes.
    start : str or numpy.datetime64, optional
        Centre of the first window (the first analysis time; a whole minute); default: windows
        centred on multiples of `window` from midnight UTC (then `window` must divide a day).
    out_dir : str or os.PathLike
        Where the files go (created if missing): ``obs_seq.YYYYMMDDHHMM``,
        ``ob.radar.YYYYMMDDHHMM`` (the window's centre) and the report `REPORT`.
    formats : sequence of str
        ``"dart"`` and/or ``"wrfda"``.
    client : distributed.Client or str, optional
        The cluster to run on, or a scheduler's address (connected to and let go here);
        default a LocalCluster started and closed here.
    workers : int, optional
        Worker processes of that LocalCluster (default: one per core).
    on_error : {"skip", "stop"}
        A volume that fails: written around (skip) or the run stops before writing (stop).
    overwrite : bool
        Rewrite windows whose files exist (default: skip them).
    velocity, reflectivity : str or None
        Moment names; ``"auto"`` finds them by name (`radarkit.volume.choose_moment`), None
        leaves the moment out.
    unfolded : bool
        The velocities are already unfolded; otherwise they are dealiased
        (`radarkit.dealias`) before they are averaged.
    velocity_error, reflectivity_error : float
        Error standard deviations, m/s and dBZ; a velocity box takes its spread when larger.
    clear_air_below : float
        dBZ: reflectivity below it is written as clear-air reflectivity.
    nyquist : float, optional
        m/s, replacing the volumes' own Nyquist velocities.
    reader : str
        `open_volume`'s reader.
    n_threads : int
        Threads of the kernels inside each task.
    progress : callable, optional
        ``progress(done, total, path)`` after each volume.
    step : callable
        The per-volume task, ``step(path, options) -> VolumeObs``; default `process_volume`.
    **superob_options
        The boxes, as `to_obs_seq`'s ``superob`` mapping takes them: ``boxes``,
        ``range_step``, ``azimuth_step`` (polar boxes, default 5 km by 5 degrees),
        ``spacing`` (square cells, m), ``grid`` (a model grid: Dataset or file),
        ``min_count``, ``max_spread``, ``qc``. WRFDA files take the same cells when they are
        horizontal, else square cells of 3 km with their own least count and the given
        ``max_spread`` and ``qc``.

    Returns
    -------
    NetworkResult
        Windows written or kept, failed volumes with their reasons, volumes outside the
        windows, the report's path.

    Raises
    ------
    ValueError
        Before any work: a bad window, start, format or on_error, an out_dir that is a file,
        no files.
    KeyboardInterrupt
        Passed on; no partial file is left.

    Notes
    -----
    See the module's documentation for the windows, the placement of a scan that straddles a
    boundary, the cluster and the faults. Memory: each finished volume's tables go to a
    hidden directory in `out_dir` (removed at the end, whatever happens) until its window is
    written, so the writing process holds one window's DART tables at a time (about 110 bytes
    per superobservation; a NEXRAD volume with echo everywhere has some 40,000) and one
    volume's WRFDA text (formatted by its task; some 9 MB for such a volume in 3 km cells).
    """
    windows = Windows.make(window, start)
    formats = tuple(dict.fromkeys(formats))
    if not formats or any(f not in FORMATS for f in formats):
        raise ValueError(f"formats must be one or both of {FORMATS}, not {formats!r}")
    if on_error not in ("skip", "stop"):
        raise ValueError(f"on_error must be 'skip' or 'stop', not {on_error!r}")
    paths = _normalise(files)
    if not paths:
        raise ValueError("files: no volume files given")
    layout, cells, terrain = _layouts(superob_options)
    if step is process_volume and not unfolded and velocity is not None:
        _dealiasing()  # a radarkit without it fails here, before any cluster is started
    out_dir = os.fspath(out_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise ValueError(f"out_dir is not a directory: {out_dir!r}")
    os.makedirs(out_dir, exist_ok=True)

    done = frozenset() if overwrite else _complete_windows(out_dir, windows, formats)
    options = VolumeOptions(
        windows=windows,
        formats=formats,
        skip=done,
        superob=layout,
        cells=cells,
        terrain=terrain,
        velocity=velocity,
        reflectivity=reflectivity,
        unfolded=bool(unfolded),
        velocity_error=float(velocity_error),
        reflectivity_error=float(reflectivity_error),
        clear_air_below=float(clear_air_below),
        nyquist=nyquist,
        reader=reader,
        n_threads=int(n_threads),
    )

    spool = _Spool(out_dir)
    try:
        return _run((client, workers), paths, options, step, on_error, overwrite, progress, spool)
    finally:
        spool.close()


class _Spool:
    """The tables of finished volumes until their window is written: in memory while they
    take at most `SPOOL_MEMORY` bytes in all, beyond that on disk beside the output, so that
    the writing process of a long run holds one window's tables at a time, not the run's
    (and a short run does not pay for writing and reading them back)."""

    def __init__(self, out_dir: str, memory: int | None = None) -> None:
        self.dir = tempfile.mkdtemp(prefix=".radarkit-spool-", dir=out_dir)
        self.files: dict[str, str] = {}
        self.held: dict[str, tuple[Any, Any, bytes | None]] = {}
        self.room = SPOOL_MEMORY if memory is None else memory

    @staticmethod
    def _size(obs: VolumeObs) -> int:
        """Bytes of a volume's tables (their arrays and text)."""
        n = len(obs.wrfda_text or b"")
        for x in (obs.dart or {}).values():
            n += getattr(x, "nbytes", 64)
        if obs.wrfda is not None:
            try:
                fields = obs.wrfda if isinstance(obs.wrfda, Mapping) else vars(obs.wrfda)
            except TypeError:  # an object without a __dict__: size unknown, kept on disk
                return 1 << 62
            n += sum(getattr(x, "nbytes", 64) for x in fields.values())
        return n

    def keep(self, obs: VolumeObs) -> VolumeObs:
        """The volume without its tables, which stay in memory or go to disk: the arrays
        pickled, a WRFDA text as it is (read back as one block when its file is written)."""
        if obs.dart is None and obs.wrfda is None and obs.wrfda_text is None:
            return obs
        size = self._size(obs)
        if size <= self.room:
            self.room -= size
            self.held[obs.path] = (obs.dart, obs.wrfda, obs.wrfda_text)
            return dataclasses.replace(obs, dart=None, wrfda=None, wrfda_text=None)
        path = os.path.join(self.dir, str(len(self.files)))
        with open(path + ".pickle", "wb") as f:
            pickle.dump((obs.dart, obs.wrfda), f, protocol=pickle.HIGHEST_PROTOCOL)
        if obs.wrfda_text is not None:
            with open(path + ".wrfda", "wb") as f:
                f.write(obs.wrfda_text)
        self.files[obs.path] = path
        return dataclasses.replace(obs, dart=None, wrfda=None, wrfda_text=None)

    def load(self, obs: VolumeObs, fmt: str) -> VolumeObs:
        """The volume with its tables of format `fmt` again."""
        if obs.path in self.held:
            dart, record, text = self.held[obs.path]
            if fmt == "wrfda" and obs.wrfda_columns is not None:
                return dataclasses.replace(obs, wrfda_text=text)
            return dataclasses.replace(obs, dart=dart, wrfda=record)
        path = self.files.get(obs.path)
        if path is None:
            return obs
        if fmt == "wrfda" and obs.wrfda_columns is not None:
            with open(path + ".wrfda", "rb") as f:
                return dataclasses.replace(obs, wrfda_text=f.read())
        with open(path + ".pickle", "rb") as f:
            dart, record = pickle.load(f)
        return dataclasses.replace(obs, dart=dart, wrfda=record)

    def close(self) -> None:
        self.held.clear()
        shutil.rmtree(self.dir, ignore_errors=True)


def _run(
    cluster: tuple[Any, int | None],
    paths: list[str],
    options: VolumeOptions,
    step: Callable[[str, VolumeOptions], VolumeObs],
    on_error: str,
    overwrite: bool,
    progress: Callable[[int, int, str], None] | None,
    spool: _Spool,
) -> NetworkResult:
    """The tasks, then the windows' files and the report (see `obs_windows`)."""
    windows, formats, done = options.windows, options.formats, options.skip
    out_dir = os.path.dirname(spool.dir)
    t_start = _time.perf_counter()
    results: dict[str, VolumeObs] = {}
    failed: dict[str, str] = {}
    stopped = False
    with _client(*cluster) as c:
        distributed = _optional.require("distributed", "network", "radarkit.network")
        from dask.base import tokenize

        # one batch of tasks, keyed by file, settings and this run: a task rerun after a lost
        # worker computes the same thing under the same name, and a run never shares a key
        # with an earlier one on the same cluster (whose tasks may still be being cancelled
        # after an interrupt, and would cancel this run's)
        token = tokenize(options, step, uuid.uuid4().hex)
        keys = [f"radarkit-volume-{tokenize(p, token)}" for p in paths]
        # the options as a task of their own: sent once to each worker that needs them, and
        # made again if the workers holding them die (scattered data would be lost for good)
        shared = c.submit(_same, options, key=f"radarkit-options-{token}")
        futures = dict(zip(c.map(_task, paths, [shared] * len(paths), step=step, key=keys), paths))
        suspects: list[str] = []
        try:
            for n, fut in enumerate(distributed.as_completed(list(futures)), 1):
                p = futures[fut]
                try:
                    results[p] = spool.keep(fut.result())
                except distributed.KilledWorker:
                    # the scheduler gave up after workers died running it; the volume
                    # may only have shared a worker with one that kills it: retried alone
                    suspects.append(p)
                except (Exception, asyncio.CancelledError) as e:
                    failed[p] = _reason(e)  # its own error, or the task cancelled
                fut.release()
                if progress is not None and p not in suspects:
                    progress(n - len(suspects), len(paths), p)
                if failed and on_error == "stop":
                    stopped = True
                    break
            for p in suspects if not stopped else []:
                alone = c.submit(
                    _task, p, shared, step=step, key=f"radarkit-volume-alone-{tokenize(p, token)}"
                )
                try:
                    results[p] = spool.keep(alone.result())
                except (Exception, asyncio.CancelledError) as e:
                    failed[p] = _reason(e)
                alone.release()
                if progress is not None:
                    progress(len(results) + len(failed), len(paths), p)
                if failed and on_error == "stop":
                    stopped = True
                    break
        finally:
            # a stop, an error or an interrupt: nothing more is computed
            pending = [f for f in futures if f.status == "pending"]
            if pending:
                c.cancel(pending)
    t_tasks = _time.perf_counter() - t_start

    outside = [p for p in paths if p in results and results[p].window is None]
    by_window: dict[int, list[VolumeObs]] = {}
    for p in paths:
        if p in results and results[p].window is not None:
            by_window.setdefault(results[p].window, []).append(results[p])  # type: ignore[arg-type]
    written: list[WindowResult] = []
    if not stopped:
        ordered = {k: _writing_order(by_window[k]) for k in sorted(by_window)}
        jobs = {}
        for k, tables in ordered.items():
            for fmt in formats if k not in done else ():
                path = os.path.join(out_dir, windows.file(k, fmt))
                if overwrite or not os.path.exists(path):  # else: there already, kept
                    jobs[k, fmt] = (path, fmt, tables)
        outcome = _write_windows(jobs, spool.load)
        for k, tables in ordered.items():
            files_of = {fmt: os.path.join(out_dir, windows.file(k, fmt)) for fmt in formats}
            got = {fmt: outcome[k, fmt] for fmt in formats if (k, fmt) in outcome}
            counts = {f: x for f, x in got.items() if isinstance(x, int)}
            errors = {f: x for f, x in got.items() if isinstance(x, str)}
            written.append(
                WindowResult(
                    name=windows.name(k),
                    start=windows.start(k),
                    end=windows.end(k),
                    volumes=[o.path for o in tables],
                    observations=counts,
                    files=files_of,
                    existed=k in done,
                    errors=errors,
                )
            )
    timings: dict[str, float] = {}
    for o in results.values():
        for step_name, sec in o.timings.items():
            timings[step_name] = timings.get(step_name, 0.0) + sec
    timings["tasks_wall"] = t_tasks
    timings["wall"] = _time.perf_counter() - t_start
    result = NetworkResult(
        windows=written,
        failed=[VolumeFailure(p, failed[p]) for p in paths if p in failed],
        outside=outside,
        stopped=stopped,
        report=os.path.join(out_dir, REPORT),
        timings=timings,
    )
    _write_report(
        result.report,
        result,
        {
            "files": len(paths),
            "window_minutes": int(windows.length // _MINUTE),
            "first_window_start": _iso(windows.origin) if windows.first is not None else None,
            "formats": list(formats),
            "on_error": on_error,
        },
    )
    return result


def _write_windows(
    jobs: Mapping[tuple[int, str], tuple[str, str, list[VolumeObs]]],
    load: Callable[[VolumeObs, str], VolumeObs],
) -> dict[tuple[int, str], int | str]:
    """The window files `jobs` (key: (path, format, tables)), two at a time: the formatters
    release the interpreter lock and a file's wait for the disk overlaps the next one's
    formatting. Per key, the observations or columns written, or why the file could not be
    written (a full disk, a lost directory: the file is then not there, as files are written
    atomically, and the other windows are still written). An interrupt lets the files being
    written finish (whole or not at all) and starts no other."""
    from concurrent.futures import ThreadPoolExecutor

    outcome: dict[tuple[int, str], int | str] = {}
    pool = ThreadPoolExecutor(max_workers=2, thread_name_prefix="radarkit-write")
    try:
        futures = {
            key: pool.submit(_write_window, path, fmt, tables, 0, load)
            for key, (path, fmt, tables) in jobs.items()
        }
        for key, fut in futures.items():
            try:
                outcome[key] = fut.result()
            except Exception as e:
                outcome[key] = _reason(e)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
    return outcome


def _dealiasing() -> None:
    """ValueError unless radarkit.dealias is installed."""
    if importlib.util.find_spec("radarkit.dealias") is None:
        raise ValueError(
            "velocity superobservations average dealiased velocities only and radarkit.dealias "
            "is not available here: pass unfolded=True (--unfolded) if the velocities are "
            "already unfolded, or velocity=None to leave them out"
        )


def _layouts(superob: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any], Any]:
    """The DART boxes, the WRFDA cells and the model terrain (or None) of the settings."""
    from .radar_obs import _open_grid, _superob_options, _terrain
    from .superob import _ModelGrid

    layout = _superob_options(dict(superob))  # ValueError naming unknown settings
    terrain = None
    if layout.get("boxes") == "model" or layout.get("grid") is not None:
        opened = _open_grid(layout["grid"])
        model = _ModelGrid.of(opened)  # ValueError without latitude and longitude
        terrain = _terrain(opened, model.latitude.shape)
        layout = {**layout, "boxes": "model", "grid": model}
    # a least count belongs to its boxes' size; the spread limit and the gate filter do not
    rules: dict[str, Any] = {k: layout[k] for k in ("max_spread", "qc") if k in layout}
    if layout.get("boxes") in ("grid", "model") or "spacing" in layout:
        cells = dict(layout)
    else:
        cells = {"boxes": "grid", "spacing": SPACING, **rules}
    return layout, cells, terrain


def _complete_windows(out_dir: str, windows: Windows, formats: tuple[str, ...]) -> frozenset[int]:
    """The windows whose file of every format in `formats` is in `out_dir`."""
    have: dict[int, set[str]] = {}
    for name in os.listdir(out_dir):
        for fmt in formats:
            stamp = name[len(_PREFIX[fmt]) :]
            if not (name.startswith(_PREFIX[fmt]) and len(stamp) == 12 and stamp.isdigit()):
                continue
            try:
                t = np.datetime64(
                    f"{stamp[:4]}-{stamp[4:6]}-{stamp[6:8]}T{stamp[8:10]}:{stamp[10:]}", "ns"
                )
            except ValueError:
                continue  # digits that are no time
            k = windows.index(t)
            if k is not None and windows.centre(k) == t:
                have.setdefault(k, set()).add(fmt)
    return frozenset(k for k, fmts in have.items() if fmts == set(formats))
