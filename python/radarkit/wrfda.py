"""WRFDA radar observation files (``ob.radar``).

`write_radar_obs` writes a complete file of one or more radars: the
``TOTAL RADAR =`` line, then per radar its ``RADAR`` line and its column records
(those of ``_marlode.format_wrfda``). WRFDA reads the file with fixed-column
Fortran formats, so every value is checked against its field before the file is
touched, and missing values are written as WRFDA's missing value -888888.0
with QC -88 (WRFDA would read "NaN" text without complaint and use it).

Example::

    import numpy as np
    from radarkit import wrfda

    heights = np.array([500.0, 1000.0])  # m, shared by every column
    ktlx = wrfda.Radar(
        name="KTLX", radar_latitude=35.333, radar_longitude=-97.278, radar_height=370.0,
        time=np.datetime64("2024-05-20T21:35:00"),
        latitude=[35.25], longitude=[-97.5], height=[370.0], heights=heights,
        rv=[[12.3, np.nan]], rv_err=2.0,  # m/s; NaN = missing
        rf=[[25.5, 18.0]], rf_err=[[2.0, 2.0]],  # dBZ
    )
    wrfda.write_radar_obs("ob.radar", [ktlx])  # -> WriteResult(written=1, skipped=0)

The fields' older names (``lon``, ``lat``, ``elevation`` of the radar,
``col_lat``, ``col_lon``, ``col_elv`` of the columns) are still accepted, with a
DeprecationWarning.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

import _marlode

from ._names import renamed, renamed_keys
from ._output import Output, WriteResult

__all__ = ["Radar", "WriteResult", "write_radar_obs"]

MISSING = -888888.0
MISSING_QC = -88
MAX_RADARS = 999
MAX_COLUMNS = 999_999
MAX_LEVELS = 1001  # WRFDA's level array; more levels are written past it
SEPARATOR = "#" + "-" * 78 + "#"

# Ranges of the fixed-column fields WRFDA reads (value, then the widest text).
F12_3 = (-9999999.999, 99999999.999)
F8_3 = (-999.999, 9999.999)
F8_1 = (-99999.9, 999999.9)
F12_1 = (-999999999.9, 9999999999.9)
I4 = (-999, 9999)
_LINES_PER_CALL = 250_000  # level lines formatted at a time (about 19 MB of text)
_DATE = re.compile(r"\d{4}\D\d\d\D\d\d\D\d\d\D\d\d\D\d\d")


# older spellings of the fields, still accepted with a DeprecationWarning
OLD_FIELDS = {
    "lon": "radar_longitude",
    "lat": "radar_latitude",
    "elevation": "radar_height",
    "col_lat": "latitude",
    "col_lon": "longitude",
    "col_elv": "height",
}


@dataclasses.dataclass(kw_only=True)
class Radar:
    """One radar of a WRFDA radar file; any mapping with these keys works too.

    Fields are given by keyword. Positions are degrees north and east and
    metres above sea level; errors are standard deviations, written as given.

    Attributes
    ----------
    name : str
        Up to 12 ASCII characters.
    radar_latitude, radar_longitude : float
        The radar site, degrees.
    radar_height : float
        The radar site's height, m above sea level.
    time : numpy.datetime64 or str
        A datetime64 (or what it converts, seconds dropped toward the earlier
        second), or text of exactly 19 characters such as "2024-05-20_21:35:00".
    latitude, longitude : array_like, shape (n,)
        Position of each column, degrees.
    height : array_like, shape (n,)
        Ground height of each column, m above sea level.
    heights : array_like, shape (L,) or (n, L)
        Level heights, m above sea level: shared by every column, or per column
        (WRFDA's levels are free heights per column, e.g. the beam height of
        each tilt over the column). Per column, NaN marks a level the column
        does not have: its line is left out (values there are ignored) and the
        column's level count is that of its finite heights; a column without
        any is not written (counted as skipped).
    rv, rv_err : array_like, shape (n, L) or scalar
        Radial velocity and its error standard deviation, m/s.
    rf, rf_err : array_like, shape (n, L) or scalar
        Reflectivity and its error standard deviation, dBZ. NaN or infinity in
        any of the four = missing, written as -888888.0 with QC -88.
    rv_qc, rf_qc : array_like of int, shape (n, L) or scalar, optional
        QC flags (default 0); missing values get -88 whatever is given.
    """

    name: str
    radar_latitude: float
    radar_longitude: float
    radar_height: float
    time: np.datetime64 | str
    latitude: ArrayLike
    longitude: ArrayLike
    height: ArrayLike
    heights: ArrayLike
    rv: ArrayLike
    rv_err: ArrayLike
    rf: ArrayLike
    rf_err: ArrayLike
    rv_qc: ArrayLike | None = None
    rf_qc: ArrayLike | None = None


Radar.__init__ = renamed(**OLD_FIELDS)(Radar.__init__)  # type: ignore[method-assign]

_FIELDS = [f.name for f in dataclasses.fields(Radar)]
_REQUIRED = [f.name for f in dataclasses.fields(Radar) if f.default is dataclasses.MISSING]


def _fields_of(radar: Any, where: str) -> Mapping[str, Any]:
    """The fields of a Radar, a mapping or an object with such attributes, under their
    current names."""
    if isinstance(radar, Radar):
        return {k: getattr(radar, k) for k in _FIELDS}
    if not isinstance(radar, Mapping):
        names = [*_FIELDS, *OLD_FIELDS]
        radar = {k: getattr(radar, k) for k in names if getattr(radar, k, None) is not None}
    return renamed_keys(radar, OLD_FIELDS, where)  # type: ignore[no-any-return]


def _get(radar: Mapping[str, Any], name: str) -> Any:
    return radar.get(name)


def _in_range(x: np.ndarray, bounds: tuple[float, float], what: str, fmt: str) -> None:
    # NaN has already been replaced or refused here; a NaN would fail both
    # comparisons of the bounds as it fails those of the values
    if not x.size or (np.min(x) >= bounds[0] and np.max(x) <= bounds[1]):
        return
    if not ((x >= bounds[0]) & (x <= bounds[1])).all():
        bad = x[~((x >= bounds[0]) & (x <= bounds[1]))][0]
        raise ValueError(
            f"{what} must lie within [{bounds[0]}, {bounds[1]}] (WRFDA reads it as {fmt}), "
            f"not {bad!r}"
        )


def _all_finite(x: np.ndarray) -> bool:
    # min and max are NaN when any value is NaN; an infinity shows in one of them
    return not x.size or bool(np.isfinite(np.min(x)) and np.isfinite(np.max(x)))


def _stamp(t: Any, what: str) -> str:
    if isinstance(t, str):
        s = t
    else:
        try:
            d = np.datetime64(t)
        except (TypeError, ValueError) as e:
            raise ValueError(f"{what} must be a datetime64 or a 19-character text: {e}") from None
        if np.isnat(d):
            raise ValueError(f"{what} must not be NaT")
        unit, _ = np.datetime_data(d.dtype)
        if unit in ("Y", "M", "W", "D", "h", "m", "s"):
            s = str(d.astype("datetime64[s]"))
        else:
            per = {"ms": 10**3, "us": 10**6, "ns": 10**9, "ps": 10**12, "fs": 10**15}
            v = int(d.astype(f"datetime64[{unit}]").view(np.int64))
            s = str(np.datetime64(v // per.get(unit, 10**18), "s"))  # floor
        s = s.replace("T", "_")
    if len(s) != 19 or not s.isascii() or not _DATE.fullmatch(s):
        raise ValueError(
            f"{what} must be exactly 19 characters, year-month-day_hour:minute:second "
            f"such as '2024-05-20_21:35:00', not {s!r}"
        )
    return s


class _Checked:
    """One radar's arrays, checked; the level arrays are read chunk by chunk."""

    def __init__(self, radar: Any, i: int) -> None:
        where = f"radars[{i}]"
        radar = _fields_of(radar, where)
        for name in _REQUIRED:
            if _get(radar, name) is None:
                raise ValueError(f"{where}.{name} is required")
        name = _get(radar, "name")
        if not isinstance(name, str) or len(name) > 12 or not name.isascii():
            raise ValueError(f"{where}.name must be ASCII text of up to 12 characters")
        if not name.isprintable():
            raise ValueError(f"{where}.name must be printable text")
        self.name = name
        self.stamp = _stamp(_get(radar, "time"), f"{where}.time")
        self.site = []
        for key, bounds, fmt in (
            ("radar_longitude", F8_3, "F8.3"),
            ("radar_latitude", F8_3, "F8.3"),
            ("radar_height", F8_1, "F8.1"),
        ):
            x = self._floats(radar, key, where, ())
            _in_range(x, bounds, f"{where}.{key}", fmt)
            self.site.append(float(x))
        try:
            self.heights = np.asarray(_get(radar, "heights"), dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{where}.heights must be numeric") from None
        if self.heights.ndim not in (1, 2):
            raise ValueError(f"{where}.heights must be (levels,) or per column (columns, levels)")
        L = self.heights.shape[-1]
        if L > MAX_LEVELS:
            raise ValueError(f"{where}.heights must hold at most {MAX_LEVELS} levels, not {L}")
        if self.heights.ndim == 1 or np.isinf(self.heights).any():
            if not np.isfinite(self.heights).all():
                raise ValueError(f"{where}.heights must be finite (NaN: a column's missing level)")
        _in_range(self.heights[np.isfinite(self.heights)], F12_1, f"{where}.heights", "F12.1")
        cols = {}
        for key, bounds, fmt in (
            ("latitude", F12_3, "F12.3"),
            ("longitude", F12_3, "F12.3"),
            ("height", F8_1, "F8.1"),
        ):
            x = self._floats(radar, key, where, None)
            if x.ndim != 1:
                raise ValueError(f"{where}.{key} must be one-dimensional (columns,)")
            _in_range(x, bounds, f"{where}.{key}", fmt)
            cols[key] = x
        n = len(cols["latitude"])
        for key in ("longitude", "height"):
            if len(cols[key]) != n:
                raise ValueError(f"{where}.{key} has {len(cols[key])} columns but latitude has {n}")
        if self.heights.ndim == 2 and self.heights.shape[0] != n:
            raise ValueError(
                f"{where}.heights must have shape (columns, levels) = {(n, L)} or (levels,), "
                f"not {self.heights.shape}"
            )
        # per-column heights: the levels each column has; columns without any are left out
        self.has = None if self.heights.ndim == 1 else np.isfinite(self.heights)
        self.written = n if self.has is None else int(np.count_nonzero(self.has.any(axis=1)))
        if self.written > MAX_COLUMNS:
            raise ValueError(f"{where} must have at most {MAX_COLUMNS} columns, not {n}")
        self.max_levels = L if self.has is None else int(self.has.sum(axis=1).max(initial=0))
        self.n, self.L, self.cols = n, L, cols
        self.levels: dict[str, np.ndarray] = {}
        for key in ("rv", "rv_err", "rf", "rf_err", "rv_qc", "rf_qc"):
            raw = _get(radar, key)
            if raw is None:
                self.levels[key] = np.zeros((), dtype=np.int64)  # QC 0
                continue
            a = np.asarray(raw)
            if key.endswith("_qc"):
                if a.dtype.kind not in "biu" and not (
                    a.dtype.kind == "f" and np.array_equal(a, np.round(a))
                ):
                    raise ValueError(f"{where}.{key} must hold integers")
            elif a.dtype.kind not in "biuf":
                raise ValueError(f"{where}.{key} must be numeric, not {a.dtype}")
            if a.ndim and a.shape != (n, L):
                raise ValueError(
                    f"{where}.{key} must have shape (columns, levels) = {(n, L)}, not {a.shape}"
                )
            self.levels[key] = a
        # Values in chunks, so that no copy of a whole radar is made.
        for start, stop in self.chunks():
            for key in ("rv", "rv_err", "rf", "rf_err"):
                x = self._level(key, start, stop)
                if x.dtype.kind == "f" and x.size:
                    # the bounds of the finite values, NaN left aside; when
                    # neither is infinite they decide
                    lo, hi = np.fmin.reduce(x, axis=None), np.fmax.reduce(x, axis=None)
                    if np.isnan(lo) or (
                        np.isfinite(lo) and np.isfinite(hi) and lo >= F12_3[0] and hi <= F12_3[1]
                    ):
                        continue
                    x = x[np.isfinite(x)]
                _in_range(x, F12_3, f"{where}.{key}", "F12.3")
            for key in ("rv_qc", "rf_qc"):
                _in_range(self._level(key, start, stop), I4, f"{where}.{key}", "I4")

    @staticmethod
    def _floats(
        radar: Mapping[str, Any], key: str, where: str, shape: tuple[int, ...] | None
    ) -> np.ndarray:
        try:
            x = np.asarray(_get(radar, key), dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{where}.{key} must be numeric") from None
        if shape is not None and x.shape != shape:
            raise ValueError(f"{where}.{key} must be a number")
        if not np.isfinite(x).all():
            raise ValueError(f"{where}.{key} must be finite")
        return x

    def chunks(self) -> list[tuple[int, int]]:
        step = max(1, _LINES_PER_CALL // (self.L + 1))
        return [(a, min(a + step, self.n)) for a in range(0, self.n, step)]

    def _level(self, key: str, a: int, b: int) -> np.ndarray:
        x = self.levels[key]
        return x if x.ndim == 0 else x[a:b]

    def text(self, a: int, b: int, n_threads: int) -> bytes:
        m = b - a
        shape = (m, self.L)
        out = {}
        for value, err, qc in (("rv", "rv_err", "rv_qc"), ("rf", "rf_err", "rf_qc")):
            v = np.asarray(self._level(value, a, b), np.float64)
            e = np.asarray(self._level(err, a, b), np.float64)
            q = np.broadcast_to(np.asarray(self._level(qc, a, b), np.int64), shape)
            ok = None  # no value missing
            for key, src in ((value, v), (err, e)):
                x = np.broadcast_to(src, shape)
                if _all_finite(src):
                    out[key] = x
                else:
                    good = np.isfinite(x)
                    out[key] = np.where(good, x, MISSING)
                    ok = good if ok is None else ok & good
            out[qc] = q if ok is None else np.where(ok, q, MISSING_QC)
        if self.has is None:
            return self._format(self.heights, slice(a, b), out, n_threads)
        # columns with per-column heights: one call per run of columns sharing their heights
        # (NaN, a missing level, equal to NaN; per-column heights hold no infinity)
        h, has = self.heights[a:b], self.has[a:b]
        same = ((h[1:] == h[:-1]) | ~(has[1:] | has[:-1])).all(axis=1)
        starts = np.flatnonzero(np.concatenate(([True], ~same))).tolist()
        parts = []
        for i, j in zip(starts, starts[1:] + [m]):
            levels = has[i]
            if levels.all():  # every level: the arrays' own rows, no copy
                local = {k: x[i:j] for k, x in out.items()}
                parts.append(self._format(h[i], slice(a + i, a + j), local, n_threads))
            elif levels.any():
                local = {k: x[i:j, levels] for k, x in out.items()}
                parts.append(self._format(h[i, levels], slice(a + i, a + j), local, n_threads))
        return b"".join(parts)

    def _format(
        self,
        heights: np.ndarray,
        rows: slice,
        out: dict[str, np.ndarray],
        n_threads: int,
    ) -> bytes:
        return _marlode.format_wrfda(
            heights,
            self.cols["latitude"][rows],
            self.cols["longitude"][rows],
            self.cols["height"][rows],
            out["rv"],
            out["rv_qc"],
            out["rv_err"],
            out["rf"],
            out["rf_qc"],
            out["rf_err"],
            self.stamp,
            n_threads,
        )

    def head(self) -> bytes:
        lon, lat, elv = self.site
        line = (
            f"RADAR  {self.name:<12s}{lon:8.3f}  {lat:8.3f}  {elv:8.1f}  "
            f"{self.stamp}{self.written:6d}{self.max_levels:6d}"
        )
        return f"\n{line}\n{SEPARATOR}\n\n".encode("ascii")

    def record(self, n_threads: int) -> bytes:
        """The radar's whole part of the file, its RADAR line and its columns: what
        write_radar_obs writes for it, wherever it stands in the file."""
        return self.head() + b"".join(self.text(a, b, n_threads) for a, b in self.chunks())


def _total(count: int) -> bytes:
    """The file's first lines, before the radars."""
    if count > MAX_RADARS:
        raise ValueError(f"radars must hold at most {MAX_RADARS} radars, not {count}")
    return f"TOTAL RADAR = {count:3d}\n{SEPARATOR}\n".encode("ascii")


def _write_records(path: Any, count: int, records: Iterable[bytes]) -> None:
    """A WRFDA file of `count` radars' parts formatted beforehand (`_Checked.record`),
    written atomically as write_radar_obs writes; ValueError if `records` does not hold
    `count` of them (the file is then left as it was)."""
    head = _total(count)
    with Output(path) as out:
        out.write(head)
        n = 0
        for text in records:
            out.write_behind(text)
            n += 1
        if n != count:
            raise ValueError(f"{n} radar records for a file of {count}")


def write_radar_obs(path: Any, radars: Sequence[Any], *, n_threads: int = 0) -> WriteResult:
    """Write a complete WRFDA radar observation file.

    Parameters
    ----------
    path
        ``str`` or ``os.PathLike``: written atomically (a temporary file in the
        same directory, flushed to disk, then renamed over the target); on any
        exception, including KeyboardInterrupt and a full disk, the target is
        left exactly as it was. A new file gets the permissions of the umask, a
        replaced file keeps its own. Alternatively a writable binary file
        object, written from its current position without atomic rename; on
        failure what was written is cut off again if the object can seek.
    radars
        A sequence of `Radar` objects, or mappings or objects with the same
        fields (see `Radar`): degrees, metres, m/s, dBZ; NaN = missing.
    n_threads
        Worker threads of the formatter (0: all hardware threads).

    Returns
    -------
    WriteResult(written, skipped): the columns written (missing values as
    -888888.0), and those left out for having no level (per-column heights
    all NaN).

    Raises
    ------
    ValueError
        Naming the radar and the field, before the file is touched: more than
        999 radars, more than 999,999 columns or 1001 levels in a radar, a time
        that is not 19 characters, a name longer than 12 characters, non-finite
        locations or heights, arrays of the wrong shape, or any value outside
        the range of its fixed-column field (F12.3: -9999999.999 to
        99999999.999; column elevation F8.1: -99999.9 to 999999.9; height
        F12.1: -999999999.9 to 9999999999.9; QC: -999 to 9999; radar longitude
        and latitude F8.3: -999.999 to 9999.999).

    Notes
    -----
    The layout is the one WRFDA's ``da_read_obs_radar`` reads: a ``TOTAL
    RADAR`` line, per radar a ``RADAR`` line and per column an ``FM-128 RADAR``
    line followed by one line per level.

    Example
    -------
    >>> ktlx = Radar(
    ...     name="KTLX", radar_latitude=35.333, radar_longitude=-97.278, radar_height=370.0,
    ...     time=np.datetime64("2024-05-20T21:35:00"),
    ...     latitude=[35.25], longitude=[-97.5], height=[370.0], heights=[500.0, 1000.0],
    ...     rv=[[12.3, np.nan]], rv_err=2.0, rf=[[25.5, 18.0]], rf_err=2.0,
    ... )
    >>> write_radar_obs("ob.radar", [ktlx])
    WriteResult(written=1, skipped=0)
    """
    if isinstance(radars, (Mapping, Radar)):
        raise ValueError("radars must be a sequence of radars, not one radar")
    radars = list(radars)
    head = _total(len(radars))
    checked = [_Checked(r, i) for i, r in enumerate(radars)]
    with Output(path) as out:
        out.write(head)
        for r in checked:
            out.write(r.head())
            for a, b in r.chunks():
                text = r.text(a, b, n_threads)
                out.write_behind(text)
                del text
    written = sum(r.written for r in checked)
    return WriteResult(written, sum(r.n for r in checked) - written)
