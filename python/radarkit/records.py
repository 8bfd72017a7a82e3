"""The two observation-record formatters, documented.

Each function hands its arguments unchanged to the compiled function of the
same name in ``_marlode`` (which carries only its signature), so the text,
exceptions and messages are that function's own.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, SupportsIndex

from _marlode import format_dart as _format_dart
from _marlode import format_wrfda as _format_wrfda

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

__all__ = ["format_dart", "format_wrfda"]


def format_dart(
    kind: ArrayLike,
    value: ArrayLike,
    variance: ArrayLike,
    lon: ArrayLike,
    lat: ArrayLike,
    height: ArrayLike,
    days: ArrayLike,
    secs: ArrayLike,
    radar_lon: ArrayLike,
    radar_lat: ArrayLike,
    radar_height: ArrayLike,
    beam: ArrayLike,
    nyquist: ArrayLike,
    velkey: ArrayLike,
    vertical: SupportsIndex,
    n_threads: SupportsIndex = 0,
    *,
    first: SupportsIndex = 1,
    total: SupportsIndex = -1,
) -> bytes:
    """Records of a DART ASCII observation sequence, one per row.

    Record i is numbered first + i and linked to its neighbours in row order. The
    file header is not written. Every number is written as it arrives: no
    unit change, and NaN is written as text, so leave missing observations
    out rather than passing NaN.

    Parameters
    ----------
    kind : array_like of int, shape (n,)
        Observation kind counted from 0 (written as kind + 1); 0 is a radial
        velocity, the only kind that carries the radar block below.
    value, variance : array_like, shape (n,)
        Observation value and its error variance (square of the error's
        standard deviation).
    lon, lat, height : array_like, shape (n,)
        Observation location as DART takes it: longitude and latitude in
        radians, the vertical value in the unit of `vertical`.
    days, secs : array_like of int, shape (n,)
        Observation time: days and seconds since 1601-01-01.
    radar_lon, radar_lat, radar_height : array_like, shape (n,)
        Radar location, same units as the observation location.
    beam : array_like, shape (n, 3)
        Unit beam direction (east, north, up) at the gate.
    nyquist : array_like, shape (n,)
        Nyquist velocity, m/s.
    velkey : array_like of int, shape (n,)
        Key of each record's radial-velocity metadata.
    vertical : int
        Vertical-coordinate code written after both locations (3: height in
        metres).
    n_threads : int, default 0
        Worker threads; 0 or negative means all hardware threads. The text
        does not depend on it.
    first : int, keyword-only, default 1
        Number of this call's first record, so that a long sequence can be
        written in chunks that number and link as one call would.
    total : int, keyword-only, default -1
        Number of records of the whole sequence; the record numbered `total`
        gets -1 as its next link. Negative means first - 1 + n (this call
        ends the sequence).

    All arrays need n rows, the radar ones too, although only radial-velocity
    rows read them.

    Returns
    -------
    bytes
        The text of records first … first - 1 + n, each ending with a line
        end; empty for n = 0.

    Raises
    ------
    ValueError
        "all record arrays must have the same length", "beam must be (n, 3)",
        or a refused `first` / `total`.
    IndexError
        When an array argument is 0-dimensional.

    Example
    -------
    >>> import radarkit as rk
    >>> text = rk.format_dart([1], [35.25], [6.25], [4.5], [0.625], [2250.0], [150000], [43200],
    ...                       [0.0], [0.0], [0.0], [[0.0, 0.0, 0.0]], [0.0], [0], 3)
    >>> text.splitlines()[:2]
    [b' OBS            1', b'   3.5250000000000000E+01']
    """
    args = (
        kind,
        value,
        variance,
        lon,
        lat,
        height,
        days,
        secs,
        radar_lon,
        radar_lat,
        radar_height,
        beam,
        nyquist,
        velkey,
        vertical,
        n_threads,
    )
    if first == 1 and total == -1:
        return _format_dart(*args)  # keywords cost a little per call: skip them when unused
    return _format_dart(*args, first=first, total=total)


def format_wrfda(
    centres: ArrayLike,
    col_lat: ArrayLike,
    col_lon: ArrayLike,
    col_elv: ArrayLike,
    rv: ArrayLike,
    rv_qc: ArrayLike,
    rv_err: ArrayLike,
    rf: ArrayLike,
    rf_qc: ArrayLike,
    rf_err: ArrayLike,
    stamp: str | bytes,
    n_threads: SupportsIndex = 0,
) -> bytes:
    """Column records of a WRFDA radar observation file, one per column.

    Each record is a "FM-128 RADAR" header line (time, latitude, longitude,
    elevation, level count) and one line per level with its height, radial
    velocity and reflectivity, each with its quality flag and error. The file
    and radar headers are not written. Values are printed as they arrive, NaN
    included, in fixed columns.

    Parameters
    ----------
    centres : array_like, shape (L,)
        Height of each level, m, shared by all columns.
    col_lat, col_lon, col_elv : array_like, shape (n,)
        Latitude and longitude (degrees) and elevation (m) of each column.
    rv, rv_err : array_like, shape (n, L)
        Radial velocity and its error, m/s.
    rv_qc : array_like of int, shape (n, L)
        Quality flag of `rv`.
    rf, rf_err : array_like, shape (n, L)
        Reflectivity and its error, dBZ.
    rf_qc : array_like of int, shape (n, L)
        Quality flag of `rf`.
    stamp : str
        Observation time, "YYYY-MM-DD_hh:mm:ss", written into every header.
    n_threads : int, default 0
        Worker threads; 0 or negative means all hardware threads. The text
        does not depend on it.

    Returns
    -------
    bytes
        The text of all column records in column order; empty for n = 0.

    Raises
    ------
    ValueError
        "level arrays must be (columns, levels)", or "column arrays must have
        the same length".
    IndexError
        When `centres` or a column array is 0-dimensional.

    Example
    -------
    >>> import radarkit as rk
    >>> text = rk.format_wrfda([500.0], [35.25], [-97.5], [370.0], [[12.345]], [[0]], [[1.0]],
    ...                        [[25.5]], [[0]], [[2.0]], "2021-06-01_12:00:00")
    >>> text.splitlines()[1]
    b'          500.0      12.345   0       1.000        25.500   0       2.000  '
    """
    return _format_wrfda(
        centres, col_lat, col_lon, col_elv, rv, rv_qc, rv_err, rf, rf_qc, rf_err, stamp, n_threads
    )
