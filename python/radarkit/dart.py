"""DART ASCII observation-sequence files (``obs_seq.out`` / ``obs_seq.in``).

`write_obs_seq` writes a whole file from observations held in memory;
`ObsSeqWriter` writes one chunk at a time (for example sweep by sweep) when
they do not fit in memory at once. Both take what radar users hold, latitude
and longitude in degrees, heights in metres above sea level, times as
``numpy.datetime64``, errors as standard deviations, and write what DART
reads: locations in radians (longitude in [0, 2π)), times as days and seconds
since 1601-01-01, error variances, and for radial velocities the radar
location, the beam direction (east, north, up) and the Nyquist velocity. The
records are those of ``_marlode.format_dart``; every file is complete and
readable by DART.

Example::

    import numpy as np
    from radarkit import dart

    obs = {
        "type": "DOPPLER_RADIAL_VELOCITY",
        "value": [12.5, np.nan, -3.0],  # m/s; NaN gates are left out
        "error": 2.0,  # standard deviation, m/s
        "latitude": 35.4, "longitude": [-97.2, -97.1, -97.0], "height": [800.0, 900.0, 1000.0],
        "time": np.datetime64("2024-05-20T21:35:00"),
        "radar_latitude": 35.333, "radar_longitude": -97.278, "radar_height": 370.0,
        "azimuth": [60.0, 61.0, 62.0], "elevation": 0.5, "nyquist": 28.5,
    }
    dart.write_obs_seq("obs_seq.out", obs)  # -> WriteResult(written=2, skipped=1)

The fields' older names ``lon``, ``lat``, ``radar_lon`` and ``radar_lat`` are
still accepted, with a DeprecationWarning.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any, NamedTuple

import numpy as np

import _marlode

from ._names import renamed_keys
from ._output import Output, WriteResult

__all__ = ["ObsSeqWriter", "WriteResult", "write_obs_seq"]

RADIAL_VELOCITY = "DOPPLER_RADIAL_VELOCITY"
REFLECTIVITY = "RADAR_REFLECTIVITY"
CLEAR_AIR_REFLECTIVITY = "RADAR_CLEARAIR_REFLECTIVITY"
DEFAULT_KINDS = (RADIAL_VELOCITY, REFLECTIVITY, CLEAR_AIR_REFLECTIVITY)
FIELDS = ("type", "value", "error", "latitude", "longitude", "height", "time")
RADAR_FIELDS = (
    "radar_latitude",
    "radar_longitude",
    "radar_height",
    "azimuth",
    "elevation",
    "nyquist",
)
# older spellings of the fields, still accepted with a DeprecationWarning
OLD_FIELDS = {
    "lon": "longitude",
    "lat": "latitude",
    "radar_lon": "radar_longitude",
    "radar_lat": "radar_latitude",
}

_NAME = re.compile(r"[A-Z0-9_]+")
_HEIGHT = 3  # DART's vertical coordinate: height in metres above sea level
_EPOCH = 134774 * 86400  # seconds from 1601-01-01 to 1970-01-01 (proleptic Gregorian)
_END = 2**31 * 86400  # DART keeps days in a 32-bit integer
_MAX_RECORDS = 10**12 - 1  # counts and links are patched in 12-character fields
_MAX_KEY = 2**31 - 1
_TWO_PI = 2.0 * np.pi
_SUBCHUNK = 100_000
_NAT = np.iinfo(np.int64).min  # NaT as int64


# ---------------------------------------------------------------------------
# Input columns


class _Columns:
    """The fields of one call as flat arrays of n rows (0-d for a scalar)."""

    def __init__(self, fields: Mapping[str, Any], where: str) -> None:
        fields = renamed_keys(fields, OLD_FIELDS, where)
        cols: dict[str, np.ndarray | None] = {}
        shape: tuple[int, ...] | None = None
        first = ""
        for name in FIELDS + RADAR_FIELDS:
            raw = fields.get(name)
            if raw is None:
                if name in FIELDS:
                    raise ValueError(f"{name} is required")
                cols[name] = None
                continue
            if name == "time":
                a = _as_time(raw)
            elif name == "type":
                a = np.asarray(raw)
            else:
                a = np.asarray(raw)
                if a.dtype.kind not in "biuf":
                    try:
                        a = a.astype(np.float64)
                    except (TypeError, ValueError):
                        raise ValueError(f"{name} must be numeric, not {a.dtype}") from None
            if a.ndim:
                if shape is None:
                    shape, first = a.shape, name
                elif a.shape != shape:
                    raise ValueError(
                        f"{name} has shape {a.shape} but {first} has shape {shape}: "
                        "arrays must have one shape (scalars are repeated)"
                    )
                a = a.reshape(-1)
            cols[name] = a
        self.cols = cols
        self.n = 1 if shape is None else int(np.prod(shape))

    def col(self, name: str) -> np.ndarray:
        """A field known to be given (required, or checked before)."""
        a = self.cols[name]
        assert a is not None
        return a

    def take(self, name: str, rows: slice | np.ndarray, dtype: Any = np.float64) -> np.ndarray:
        a = self.cols[name]
        assert a is not None
        m = _count(rows, self.n)
        if a.ndim == 0:
            return np.full(m, a, dtype=dtype) if dtype is not None else np.repeat(a, m)
        part = a[rows]
        return part if dtype is None else np.asarray(part, dtype=dtype)


def _count(rows: slice | np.ndarray, n: int) -> int:
    if isinstance(rows, slice):
        return len(range(*rows.indices(n)))
    return len(rows)


def _as_time(raw: Any) -> np.ndarray:
    a = np.asarray(raw)
    if a.dtype.kind in "biufc" or (a.dtype.kind == "O" and _holds_numbers(a)):
        # numpy would take numbers for counts of the other values' unit, or of none (read
        # as attoseconds): every such time would land near 1970-01-01
        raise ValueError(
            f"time must be numpy.datetime64 values, not numbers ({a.dtype}): convert epoch "
            "seconds with numpy.asarray(t, 'datetime64[s]')"
        )
    if a.dtype.kind != "M":
        try:
            a = np.asarray(raw, dtype="datetime64")
        except (TypeError, ValueError) as e:
            raise ValueError(f"time must be numpy.datetime64 values or convertible: {e}") from None
    return a


def _holds_numbers(a: np.ndarray) -> bool:
    """Whether an object array holds numbers (bool, int, float, ...)."""
    return any(isinstance(x, (int, float, complex, np.number, np.bool_)) for x in a.flat)


def _dart_seconds(
    t: np.ndarray, *, values: bool = True, checked: bool = False
) -> tuple[np.ndarray | None, tuple[int, int] | None]:
    """Whole seconds since 1601-01-01 00:00:00 of datetime64 values (int64),
    sub-second parts dropped toward the earlier second (floor), and their
    smallest and largest (None for no values). values=False: only the bounds.
    checked: t passed these checks before (no bounds either)."""
    unit, step = np.datetime_data(t.dtype)
    v = t.view(np.int64)
    vmin = vmax = None
    if not checked and v.size:
        vmin, vmax = int(v.min()), int(v.max())
        if vmin == _NAT:
            raise ValueError("time must not be NaT (not a time)")
    lo, hi = -_EPOCH, _END - _EPOCH  # valid range in seconds since 1970
    s = None
    if unit in ("Y", "M", "W", "D", "h", "m", "s"):
        # Coarse units: a rough range check in floating point first, so that the
        # exact integer conversion below cannot overflow.
        per = {"Y": 31_622_400, "M": 2_678_400, "W": 604_800, "D": 86400, "h": 3600, "m": 60}
        f = per.get(unit, 1) * step
        if vmin is not None:
            fmin, fmax = np.float64(vmin) * f, np.float64(vmax) * f
            if max(abs(fmin), abs(fmax)) > 1e17:
                _time_range_error(bool(fmin < -1e17))
        if unit in ("Y", "M"):
            s = t.astype("datetime64[D]").view(np.int64) * 86400
            if vmin is not None:
                vmin, vmax = int(s.min()), int(s.max())
        else:
            if values:
                s = v * f
            if vmin is not None and vmax is not None:
                vmin, vmax = vmin * f, vmax * f
    else:
        per_second = {"ms": 10**3, "us": 10**6, "ns": 10**9, "ps": 10**12, "fs": 10**15}
        den = per_second.get(unit, 10**18)
        if den % step:
            raise ValueError(f"time has an unsupported unit: {t.dtype}")
        if values:
            s = np.floor_divide(v, den // step)
        if vmin is not None and vmax is not None:
            # floor division keeps the order, so the bounds come from the raw bounds
            vmin, vmax = vmin // (den // step), vmax // (den // step)
    if vmin is not None and vmax is not None and (vmin < lo or vmax >= hi):
        _time_range_error(vmin < lo)
    if s is not None and values:
        s += _EPOCH
    else:
        s = None
    bounds = None if vmin is None or vmax is None else (vmin + _EPOCH, vmax + _EPOCH)
    return s, bounds


def _time_range_error(early: bool) -> None:
    if early:
        raise ValueError("time must not be before 1601-01-01 (the start of DART's calendar)")
    raise ValueError("time must be before day 2**31 of DART's calendar (after 1601-01-01)")


def _variance(err: np.ndarray, error: str) -> np.ndarray:
    with np.errstate(over="ignore"):  # a square beyond the float range is left out as inf
        return err * err if error == "std" else err


def _bounds(x: np.ndarray) -> tuple[Any, Any] | None:
    """Smallest and largest of x (None when empty). NaN in x makes both NaN and
    an infinity shows in one of them, so both are finite exactly when every
    value is."""
    if not x.size:
        return None
    return x.min(), x.max()


def _finite(x: np.ndarray) -> bool:
    b = _bounds(x)
    return b is None or bool(np.isfinite(b[0]) and np.isfinite(b[1]))


def _variances_finite(err: np.ndarray, error: str) -> bool:
    """Whether every variance of err (errors already known not negative) is finite."""
    if error == "std":
        b = _bounds(err)
        # no square of a finite error up to 1e150 overflows
        if b is not None and np.isfinite(b[0]) and np.isfinite(b[1]) and b[1] <= 1e150:
            return True
    return bool(np.isfinite(_variance(err, error)).all())


def _degrees_to_lon(lon: np.ndarray) -> np.ndarray:
    r = np.mod(lon, 360.0)
    np.deg2rad(r, out=r)
    # A longitude just below 360 degrees can round to 2π, which is 0.
    if r.size and not r.max() < _TWO_PI:  # NaN (rows not written) takes this way too
        r[r >= _TWO_PI] = 0.0
    np.add(r, 0.0, out=r)  # no negative zero
    return np.asarray(r)


# ---------------------------------------------------------------------------
# Kinds


def _check_name(name: Any, what: str) -> str:
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError(
            f"{what} must hold DART kind names (upper-case letters, digits and "
            f"underscores), not {name!r}"
        )
    return name


def _kind_codes(
    types: np.ndarray, rows: slice | np.ndarray, n: int, codes: dict[str, int] | None
) -> tuple[np.ndarray, list[str]]:
    """The record kind (table code - 1) of each row and the names met, in order of
    first appearance. `codes` maps names to table codes (names missing from it
    get -1, for the caller to refuse); without it only radial velocity (0) is
    told apart from the rest (1)."""

    def code(name: str) -> int:
        if codes is None:
            return 1 if name == RADIAL_VELOCITY else 2
        return codes.get(name, 0)

    if types.ndim == 0:
        name = _check_name(types.item(), "type")
        return np.full(_count(rows, n), code(name) - 1, dtype=np.int64), [name]
    a = types[rows]
    out = np.empty(len(a), dtype=np.int64)
    rest = np.ones(len(a), dtype=bool)
    names: list[str] = []
    # A few distinct kinds in practice: one vectorised comparison per kind.
    while rest.any():
        if len(names) == 16:
            uniq, first, inv = np.unique(a[rest], return_index=True, return_inverse=True)
            found = [_check_name(u, "type") for u in uniq.tolist()]
            out[rest] = np.array([code(u) - 1 for u in found], dtype=np.int64)[inv.reshape(-1)]
            names.extend(found[i] for i in np.argsort(first, kind="stable"))
            break
        j = int(np.argmax(rest))
        name = a[j]
        name = _check_name(name.item() if isinstance(name, np.generic) else name, "type")
        same = a == name
        out[same] = code(name) - 1
        rest &= ~same
        names.append(name)
    return out, names


# ---------------------------------------------------------------------------
# One chunk of records


class _Prepared(NamedTuple):
    order: np.ndarray | None  # rows to write in file order; None: all rows as they are
    written: int
    skipped: int
    latest: int  # DART seconds of the latest written record (-1: none)
    names: list[str]
    radial: int  # radial-velocity records written


class _Rows(NamedTuple):
    keep: np.ndarray | None  # written rows of the chunk; None: all
    written: int
    first: int  # DART seconds of the first written row
    bounds: tuple[int, int] | None  # earliest and latest DART seconds written
    in_order: bool  # written rows in time order (whole seconds)
    names: list[str]
    radial: int  # radial-velocity rows written


def _check_rows(c: _Columns, rows: slice, codes: dict[str, int] | None, error: str) -> _Rows:
    """Validates rows (a chunk). Scalar fields are checked once, array fields
    by their bounds where that decides, so that a valid chunk costs few passes."""
    n = c.n
    m = _count(rows, n)
    types = c.col("type")
    if types.ndim == 0:
        one, names = _kind_codes(types, slice(0, 1), 1, codes)
        kinds, any_radial = None, bool(one[0] == 0)
    else:
        kinds, names = _kind_codes(types, rows, n, codes)
        any_radial = bool((kinds == 0).any())
    value = c.take("value", rows)
    err_col = c.col("error")
    err = err_col.astype(np.float64) if err_col.ndim == 0 else c.take("error", rows)
    with np.errstate(invalid="ignore"):
        low = _bounds(err)
        if low is not None and (low[0] < 0 or (np.isnan(low[0]) and (err < 0).any())):
            raise ValueError("error must not be negative")
    if _finite(value) and _variances_finite(err, error):
        keep = None
    else:
        keep = np.isfinite(value) & np.isfinite(_variance(c.take("error", rows), error))
        if keep.all():
            keep = None
    written = m if keep is None else int(np.count_nonzero(keep))

    def kept(name: str) -> np.ndarray:
        # the written rows of an array field, or a scalar field once (none if none written)
        col = c.col(name)
        if col.ndim == 0:
            return col.astype(np.float64).reshape(1)[: min(written, 1)]
        x = c.take(name, rows)
        return x if keep is None else x[keep]

    for name in ("latitude", "longitude", "height"):
        b = _bounds(kept(name))
        if b is not None and not (np.isfinite(b[0]) and np.isfinite(b[1])):
            raise ValueError(f"{name} must be finite")
        if name == "latitude" and b is not None and (b[0] < -90 or b[1] > 90):
            raise ValueError("latitude must lie within [-90, 90] degrees")
    time = c.col("time")
    if time.ndim == 0:
        t = time.reshape(1)[: min(written, 1)]
    else:
        t = time[rows] if keep is None else time[rows][keep]
    v = t.view(np.int64)
    # times in order tell whole seconds in order; only otherwise are seconds needed
    in_order = bool((v[1:] >= v[:-1]).all())
    secs, bounds = _dart_seconds(t, values=not in_order)
    if not in_order:
        assert secs is not None
        in_order = bool((secs[1:] >= secs[:-1]).all())
    first = -1
    if len(t):
        head = _dart_seconds(t[:1], checked=True)[0]
        assert head is not None
        first = int(head[0])
    if kinds is None:
        n_radial = written if any_radial else 0
        idx = None
    else:
        radial = kinds if keep is None else kinds[keep]
        radial = radial == 0
        n_radial = int(np.count_nonzero(radial))
        idx = None if n_radial == len(radial) else np.flatnonzero(radial)
    if any_radial:
        for name in RADAR_FIELDS:
            if c.cols[name] is None:
                raise ValueError(f"{name} is required for {RADIAL_VELOCITY} observations")
    if n_radial:
        for name in RADAR_FIELDS:
            x = kept(name)
            if idx is not None and c.col(name).ndim:
                x = x[idx]
            b = _bounds(x)
            if b is None:
                continue
            if not (np.isfinite(b[0]) and np.isfinite(b[1])):
                raise ValueError(f"{name} must be finite")
            if name == "radar_latitude" and (b[0] < -90 or b[1] > 90):
                raise ValueError("radar_latitude must lie within [-90, 90] degrees")
            if name == "nyquist" and b[0] < 0:
                raise ValueError("nyquist must not be negative")
    return _Rows(keep, written, first, bounds, in_order, names, n_radial)


def _prepare(
    c: _Columns, codes: dict[str, int] | None, error: str, step: int, after: int = -1
) -> _Prepared:
    """Checks every row (nothing is written yet) and finds the file order: written
    rows sorted stably by their DART time. Keeps no per-row array when every row
    is written and already in time order; otherwise the row order (int64 per
    written row, with an int64 time per written row while sorting)."""
    n = c.n
    written = radial = 0
    names: list[str] = []
    all_kept, in_order = True, True
    earliest, latest = -1, -1
    masks = []  # written rows of each chunk (None: all), one byte per row at most
    for a in range(0, n, step):
        r = _check_rows(c, slice(a, min(a + step, n)), codes, error)
        masks.append(r.keep)
        names.extend(x for x in r.names if x not in names)
        all_kept = all_kept and r.keep is None
        written += r.written
        radial += r.radial
        if r.bounds is not None:
            if in_order and (r.first < latest or not r.in_order):
                in_order = False
            lo, hi = r.bounds
            earliest = lo if earliest < 0 else min(earliest, lo)
            latest = max(latest, hi)
    if written and earliest < after:
        raise ValueError(
            "time goes back before the last observation already written: chunks "
            "must come in time order"
        )
    order = None
    if not (all_kept and in_order):
        pieces: list[np.ndarray] = []
        times: list[np.ndarray] = []
        for i, a in enumerate(range(0, n, step)):
            rows = slice(a, min(a + step, n))
            keep, masks[i] = masks[i], None
            kept = np.arange(_count(rows, n)) if keep is None else np.flatnonzero(keep)
            pieces.append(kept + a)
            if not in_order:
                secs = _dart_seconds(c.take("time", rows, None)[kept], checked=True)[0]
                assert secs is not None
                times.append(secs)
        order = np.concatenate(pieces) if pieces else np.empty(0, np.int64)
        del pieces
        if not in_order:
            key = np.concatenate(times)
            del times
            order = order[np.argsort(key, kind="stable")]
    return _Prepared(order, written, n - written, latest, names, radial)


def _records(
    c: _Columns,
    rows: slice | np.ndarray,
    codes: dict[str, int],
    error: str,
    first: int,
    total: int,
    key: int,
    n_threads: int,
) -> tuple[bytes, int]:
    """Record text of rows (all written, in file order) and the radial-velocity
    count among them."""
    kind, _ = _kind_codes(c.col("type"), rows, c.n, codes)
    m = len(kind)

    def per_row(name: str, convert: Callable[[np.ndarray], np.ndarray] | None = None) -> np.ndarray:
        # a scalar field is converted once (exact operations only), then repeated
        col = c.col(name)
        if col.ndim == 0:
            x = col.astype(np.float64).reshape(1)
            return np.full(m, x if convert is None else convert(x))
        x = c.take(name, rows)
        return x if convert is None else convert(x)

    variance = per_row("error", lambda e: _variance(e, error))
    t = c.col("time")
    one = _dart_seconds(t.reshape(1) if t.ndim == 0 else t[rows], checked=True)[0]
    assert one is not None
    secs = np.full(m, one) if t.ndim == 0 else one
    days, seconds = np.divmod(secs, 86400)
    radial = kind == 0
    n_radial = int(np.count_nonzero(radial))
    if n_radial:
        radar_lon = per_row("radar_longitude", _degrees_to_lon)
        radar_lat = per_row("radar_latitude", np.deg2rad)
        radar_height = per_row("radar_height")
        # sines and cosines of whole arrays, as the values must not depend on the
        # input being scalar
        az = np.deg2rad(c.take("azimuth", rows))
        el = np.deg2rad(c.take("elevation", rows))
        cos_el = np.cos(el)
        beam = np.empty((m, 3))
        part = np.sin(az)
        np.multiply(part, cos_el, out=beam[:, 0])
        np.cos(az, out=part)
        np.multiply(part, cos_el, out=beam[:, 1])
        np.sin(el, out=part)
        beam[:, 2] = part
        del az, el, cos_el, part
        np.clip(beam, -1.0, 1.0, out=beam)  # DART refuses components beyond ±1
        nyquist = per_row("nyquist")
        velkey = np.cumsum(radial, dtype=np.int64)
        velkey += key
    else:
        radar_lon = radar_lat = radar_height = nyquist = np.zeros(m)
        beam = np.zeros((m, 3))
        velkey = np.zeros(m, dtype=np.int64)
    text = _marlode.format_dart(
        kind,
        c.take("value", rows),
        variance,
        _degrees_to_lon(c.take("longitude", rows)),
        np.deg2rad(c.take("latitude", rows)),
        c.take("height", rows),
        days,
        seconds,
        radar_lon,
        radar_lat,
        radar_height,
        beam,
        nyquist,
        velkey,
        _HEIGHT,
        n_threads,
        first=first,
        total=total,
    )
    return text, n_radial


# ---------------------------------------------------------------------------
# Header


def _header(kinds: list[str], qc_name: str, count: int) -> tuple[bytes, list[int]]:
    """Header text and the offsets of its num_obs, max_num_obs, first and last
    fields (12 characters each, right-aligned)."""
    lines = [" obs_sequence", "obs_kind_definitions", f"{len(kinds):12d}"]
    lines += [f"{code:12d} {name}" for code, name in enumerate(kinds, 1)]
    lines.append(f"  num_copies: {1:12d}  num_qc: {1:12d}")
    head = "\n".join(lines) + "\n"
    counts = f"  num_obs: {count:12d}  max_num_obs: {count:12d}\n"
    at = [len(head) + 11, len(head) + 11 + 12 + 15]
    mid = head + counts + "observation\n" + qc_name + "\n"
    first, last = (1, count) if count else (-1, -1)
    at += [len(mid) + 9, len(mid) + 9 + 12 + 8]
    text = mid + f"  first: {first:12d}  last: {last:12d}\n"
    return text.encode("ascii"), at


def _kinds_table(kinds: Iterable[str]) -> list[str]:
    if isinstance(kinds, str):
        raise ValueError("kinds must be a sequence of DART kind names, not one str")
    table = [RADIAL_VELOCITY]
    for name in kinds:
        _check_name(name, "kinds")
        if name in table[1:]:
            raise ValueError(f"kinds must not repeat a name: {name!r}")
        if name != RADIAL_VELOCITY:
            table.append(name)
    return table


def _codes(table: list[str]) -> dict[str, int]:
    """Table codes (from 1) of the kind names, in table order."""
    return {name: code for code, name in enumerate(table, 1)}


def _check_options(error: str, qc_name: str) -> None:
    if error not in ("std", "variance"):
        raise ValueError(f"error must be 'std' or 'variance', not {error!r}")
    if not isinstance(qc_name, str) or not qc_name.strip() or not qc_name.isprintable():
        raise ValueError("qc_name must be a non-empty line of printable text")
    try:
        qc_name.encode("ascii")
    except UnicodeEncodeError:
        raise ValueError("qc_name must be ASCII text") from None


def _check_limits(count: int, radial: int) -> None:
    if count > _MAX_RECORDS:
        raise ValueError(f"a file holds at most {_MAX_RECORDS} observations")
    if radial > _MAX_KEY:
        raise ValueError(f"a file holds at most {_MAX_KEY} {RADIAL_VELOCITY} observations")


def _write_records(
    out: Output,
    c: _Columns,
    p: _Prepared,
    codes: dict[str, int],
    error: str,
    first: int,
    total: int,
    key: int,
    n_threads: int,
    chunk_size: int,
    progress: Callable[[int, int], None] | None = None,
) -> int:
    """Writes the records of p in chunks; returns the file offset of the last
    record's `next` link field (-1 when nothing was written)."""
    last_link = -1
    for a in range(0, p.written, chunk_size):
        b = min(a + chunk_size, p.written)
        rows = slice(a, b) if p.order is None else p.order[a:b]
        text, n_radial = _records(c, rows, codes, error, first + a, total, key, n_threads)
        key += n_radial
        if b == p.written:
            # the line `previous next -1` of the last record, its next link 24
            # characters before the line feed
            start = text.rfind(b" OBS ")
            line = start
            for _ in range(4):
                line = text.index(b"\n", line) + 1
            last_link = out.tell() + line - 1 - 24
        out.write_behind(text)
        del text
        if progress is not None:
            progress(b, p.written)
    return last_link


# ---------------------------------------------------------------------------
# Public API


def write_obs_seq(
    path: Any,
    obs: Mapping[str, Any],
    *,
    error: str = "std",
    qc_name: str = "Quality Control",
    chunk_size: int = _SUBCHUNK,
    n_threads: int = 0,
    kinds: Iterable[str] | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> WriteResult:
    """Write a complete DART ASCII observation-sequence file.

    Parameters
    ----------
    path
        ``str`` or ``os.PathLike``: the file is written atomically (a temporary
        file in the same directory, flushed to disk, then renamed over the
        target): on any exception, including KeyboardInterrupt and a full disk,
        the target is left exactly as it was (absent or the old file). A new file
        gets the permissions of the umask, a replaced file keeps its own.
        Alternatively a writable binary file object, written from its current
        position without atomic rename; on failure what was written is cut off
        again if the object can seek, and stays otherwise.
    obs
        A mapping (dict, pandas.DataFrame, xarray.Dataset, ...) with the fields
        below: arrays of one shape (flattened in C order) or scalars repeated for
        every observation.

        - ``type``: DART kind names, e.g. "DOPPLER_RADIAL_VELOCITY",
          "RADAR_REFLECTIVITY", "RADAR_CLEARAIR_REFLECTIVITY" (upper-case
          letters, digits and underscores).
        - ``value``; ``error`` (see `error`); ``latitude``, ``longitude``
          (degrees north and east, WGS84); ``height`` (m above sea level).
        - ``time``: numpy.datetime64 values, or anything
          ``numpy.asarray(x, "datetime64")`` converts (ISO strings,
          datetime.datetime); numbers are refused, having no unit. DART times
          are whole seconds: a sub-second part is dropped toward the earlier
          second (floor).
        - For DOPPLER_RADIAL_VELOCITY observations also ``radar_latitude``,
          ``radar_longitude`` (degrees), ``radar_height`` (m above sea level),
          ``azimuth`` (degrees clockwise from north) and ``elevation``
          (degrees) of the beam at the gate, and ``nyquist`` (m/s, >= 0). The
          file holds the beam's unit vector (east, north, up) = (sin az cos el,
          cos az cos el, sin el) and metadata keys 1, 2, 3, ... in file order.

        The older names ``lon``, ``lat``, ``radar_lon``, ``radar_lat`` are
        accepted with a DeprecationWarning.
    error
        "std": ``obs["error"]`` is the standard deviation of the observation
        error (squared on writing); "variance": it is the variance.
    qc_name
        Name of the single QC copy (every record's QC value is 0).
    chunk_size
        Records formatted and written at a time; memory use grows with it
        (about 1 KB per radial-velocity record).
    n_threads
        Worker threads of the formatter (0: all hardware threads).
    kinds
        The kinds table, in order: DOPPLER_RADIAL_VELOCITY is always code 1,
        the others follow from code 2. Default: the kinds present, in order of
        first appearance in `obs`. Every ``type`` must be in it.
    progress
        Called as ``progress(done, total)`` after each chunk of records.

    Returns
    -------
    WriteResult(written, skipped): observations whose value or error is not
    finite (NaN gates) are left out and counted in ``skipped``; their location,
    time and radar fields are not checked.

    Raises
    ------
    ValueError
        Naming the field, before the file is touched: arrays of different
        shapes, a missing field, a bad kind name, non-finite locations, times or
        radar fields, latitudes beyond ±90, numbers, NaT or times before
        1601-01-01 as times, a negative error or Nyquist velocity.

    Notes
    -----
    Observations are sorted stably by their (whole-second) time before they are
    numbered, as DART requires; ties keep their input order. Memory: besides
    the caller's arrays, one chunk of records (text and arrays); when some
    observations are left out or the input is not in time order, also an
    int64 row index per written observation and, while sorting, an int64
    time per written observation (up to 24 bytes per observation). The file
    layout is DART's ASCII observation sequence (``obs_sequence_mod``).

    Example
    -------
    >>> obs = {
    ...     "type": "DOPPLER_RADIAL_VELOCITY", "value": [12.5, np.nan], "error": 2.0,
    ...     "latitude": 35.4, "longitude": -97.2, "height": [800.0, 900.0],
    ...     "time": np.datetime64("2024-05-20T21:35:00"),
    ...     "radar_latitude": 35.333, "radar_longitude": -97.278, "radar_height": 370.0,
    ...     "azimuth": 60.0, "elevation": 0.5, "nyquist": 28.5,
    ... }
    >>> write_obs_seq("obs_seq.out", obs)
    WriteResult(written=1, skipped=1)
    """
    _check_options(error, qc_name)
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1:
        raise ValueError("chunk_size must be a positive int")
    c = _Columns(obs, "write_obs_seq() obs")
    codes = None
    if kinds is not None:
        table = _kinds_table(kinds)
        codes = _codes(table)
    p = _prepare(c, codes, error, max(chunk_size, _SUBCHUNK))
    if codes is None:
        table = _kinds_table(p.names)
        codes = _codes(table)
    else:
        for name in p.names:
            if name not in codes:
                raise ValueError(f"type {name!r} is not in kinds")
    _check_limits(p.written, p.radial)
    head, _ = _header(table, qc_name, p.written)
    with Output(path) as out:
        out.write(head)
        _write_records(out, c, p, codes, error, 1, p.written, 0, n_threads, chunk_size, progress)
    return WriteResult(p.written, p.skipped)


class ObsSeqWriter:
    """Writes a DART ASCII observation-sequence file chunk by chunk.

    For data that do not fit in memory at once, e.g. one sweep at a time::

        with ObsSeqWriter("obs_seq.out") as w:
            for sweep in sweeps:
                w.write(**sweep)  # fields as in write_obs_seq
        print(w.written, w.skipped)

    Chunks must come in time order: each chunk is sorted by time, and a chunk
    whose earliest time is before the latest time already written raises
    ValueError naming ``time`` (nothing of it is written; the writer stays
    usable). The header's counts are filled in by close(), which produces the
    same bytes as write_obs_seq(..., kinds=kinds) on all the observations.

    `path`: as in write_obs_seq; a file object must be seekable (ValueError
    naming ``path`` otherwise), since the header and the links are completed in
    place. `kinds` fixes the kinds table: DOPPLER_RADIAL_VELOCITY is code 1
    (added when missing), the others follow in the given order, and every
    observation's type must be among them. Used as a context manager, a normal
    exit closes the file and an exception (KeyboardInterrupt included) aborts
    it: the target is left exactly as it was.

    Example
    -------
    >>> with ObsSeqWriter("obs_seq.out") as w:
    ...     for minute in (0, 1):
    ...         _ = w.write(
    ...             type="RADAR_REFLECTIVITY", value=[30.0, 31.0], error=5.0,
    ...             latitude=35.4, longitude=-97.2, height=[900.0, 1000.0],
    ...             time=np.datetime64("2024-05-20T21:35") + np.timedelta64(minute, "m"),
    ...         )
    >>> w.close()
    WriteResult(written=4, skipped=0)
    """

    def __init__(
        self,
        path: Any,
        *,
        kinds: Iterable[str] = DEFAULT_KINDS,
        error: str = "std",
        qc_name: str = "Quality Control",
        n_threads: int = 0,
        chunk_size: int = _SUBCHUNK,
    ) -> None:
        _check_options(error, qc_name)
        if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1:
            raise ValueError("chunk_size must be a positive int")
        self._table = _kinds_table(kinds)
        self._codes = _codes(self._table)
        self._error, self._qc_name = error, qc_name
        self._n_threads, self._chunk_size = n_threads, chunk_size
        self.written = 0
        self.skipped = 0
        self._radial = 0
        self._last_time = -1
        self._last_link = -1
        self._state = "open"
        self._out = Output(path, seekable=True)
        try:
            head, self._at = _header(self._table, qc_name, 0)
            self._out.write(head)
        except BaseException:
            self._fail()
            raise

    def write(self, **fields: Any) -> WriteResult:
        """Adds one chunk of observations (fields as in write_obs_seq); returns
        this chunk's counts."""
        self._check_open()
        for name in fields:
            if name not in FIELDS + RADAR_FIELDS and name not in OLD_FIELDS:
                raise TypeError(f"write() got an unexpected keyword argument {name!r}")
        c = _Columns(fields, "ObsSeqWriter.write()")
        p = _prepare(c, self._codes, self._error, max(self._chunk_size, _SUBCHUNK), self._last_time)
        for name in p.names:
            if name not in self._codes:
                raise ValueError(f"type {name!r} is not in kinds {tuple(self._table)}")
        _check_limits(self.written + p.written, self._radial + p.radial)
        if not p.written:
            self.skipped += p.skipped
            return WriteResult(0, p.skipped)
        try:
            first = self.written + 1
            total = self.written + p.written
            if self._last_link >= 0:
                self._out.patch(self._last_link, f"{first:12d}".encode())
            link = _write_records(
                self._out,
                c,
                p,
                self._codes,
                self._error,
                first,
                total,
                self._radial,
                self._n_threads,
                self._chunk_size,
            )
        except BaseException:
            self._state = "failed"  # part of the chunk may be in the file: only abort() is left
            raise
        self._last_link = link
        self.written = total
        self.skipped += p.skipped
        self._radial += p.radial
        self._last_time = max(self._last_time, p.latest)
        return WriteResult(p.written, p.skipped)

    def close(self) -> WriteResult:
        """Completes the header and commits the file; returns the totals."""
        if self._state == "closed":
            return WriteResult(self.written, self.skipped)
        self._check_open()
        n = self.written
        first, last = (1, n) if n else (-1, -1)
        try:
            for at, v in zip(self._at, (n, n, first, last)):
                self._out.patch(at, f"{v:12d}".encode())
            self._out.commit()
        except BaseException:
            self._fail()
            raise
        self._state = "closed"
        return WriteResult(self.written, self.skipped)

    def abort(self) -> None:
        """Discards the file: the target is left exactly as it was, the temporary
        file is removed."""
        if self._state != "closed":
            self._fail()

    def _fail(self) -> None:
        self._state = "aborted"
        self._out.abort()

    def _check_open(self) -> None:
        if self._state != "open":
            raise ValueError(f"ObsSeqWriter is {self._state}")

    def __enter__(self) -> ObsSeqWriter:
        return self

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        if kind is None:
            self.close()
        else:
            self.abort()
