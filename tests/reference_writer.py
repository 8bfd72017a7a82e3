"""The DART and WRFDA record texts written independently in pure Python, one
record at a time with format strings: the exactness check of the tests and
the baseline of bench/bench_writer.py.

Python writes exact, correctly rounded decimals like the C library, with the
same NaN and infinity letters; only a NaN with its sign bit set differs (the
C library writes "-NAN"/"-nan", Python drops the sign), so such values are
replaced by an object that formats the C library's way."""

import numpy as np


class _NegativeNaN:
    def __format__(self, spec):
        return ("-NAN" if spec.endswith("E") else "-nan").rjust(int(spec.split(".")[0]))


def _floats(a):
    a = np.asarray(a, dtype=np.float64).reshape(-1)
    out = a.tolist()
    for i in np.flatnonzero(np.isnan(a) & np.signbit(a)):
        out[i] = _NegativeNaN()
    return out


def _ints(a):
    return np.asarray(a, dtype=np.int64).reshape(-1).tolist()


def dart(
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
):
    kind, days, secs, velkey = map(_ints, (kind, days, secs, velkey))
    value, variance, lon, lat, height, radar_lon, radar_lat, radar_height, beam, nyquist = map(
        _floats,
        (value, variance, lon, lat, height, radar_lon, radar_lat, radar_height, beam, nyquist),
    )
    n = len(kind)
    out = []
    for i in range(n):
        k = kind[i]
        text = (
            f" OBS {i + 1:12d}\n{value[i]:25.16E}\n{0:12d}\n"
            f"{-1 if i == 0 else i:12d}{-1 if i == n - 1 else i + 2:12d}{-1:12d}\n"
            f"obdef\nloc3d\n {lon[i]:25.16E} {lat[i]:25.16E} {height[i]:25.16E} {vertical:2d}\n"
            f"kind\n{k + 1:12d}\n"
        )
        if k == 0:
            text += (
                f"platform\nloc3d\n {radar_lon[i]:25.16E} {radar_lat[i]:25.16E} "
                f"{radar_height[i]:25.16E} {vertical:2d}\n"
                f"dir3d\n {beam[3 * i]:25.16E} {beam[3 * i + 1]:25.16E} {beam[3 * i + 2]:25.16E}\n"
                f" {nyquist[i]:25.16E}\n{velkey[i]:12d}\n"
            )
        out.append(text + f"{secs[i]:6d} {days[i]:10d}\n{variance[i]:25.16E}\n")
    return "".join(out).encode()


def wrfda(centres, col_lat, col_lon, col_elv, rv, rv_qc, rv_err, rf, rf_qc, rf_err, stamp):
    """`stamp` as str (taken as UTF-8) or bytes; the text is built in latin-1 so
    that one character is one byte."""
    centres, col_lat, col_lon, col_elv, rv, rv_err, rf, rf_err = map(
        _floats, (centres, col_lat, col_lon, col_elv, rv, rv_err, rf, rf_err)
    )
    rv_qc, rf_qc = _ints(rv_qc), _ints(rf_qc)
    if isinstance(stamp, str):
        stamp = stamp.encode()
    stamp = stamp.decode("latin-1").ljust(19)
    L = len(centres)
    out = []
    for i in range(len(col_lat)):
        out.append(
            f"FM-128 RADAR   {stamp}  {col_lat[i]:12.3f}  {col_lon[i]:12.3f}  "
            f"{col_elv[i]:8.1f}  {L:6d}\n"
        )
        for k in range(L):
            m = i * L + k
            out.append(
                f"   {centres[k]:12.1f}{rv[m]:12.3f}{rv_qc[m]:4d}{rv_err[m]:12.3f}  "
                f"{rf[m]:12.3f}{rf_qc[m]:4d}{rf_err[m]:12.3f}  \n"
            )
    return "".join(out).encode("latin-1")


def random_dart(n, seed=0):
    """Keyword arguments of `format_dart` for n plausible records, half of them
    radial velocity (kind 0)."""
    rng = np.random.default_rng(seed)
    return dict(
        kind=np.where(rng.random(n) < 0.5, 0, rng.integers(1, 40, n)),
        value=rng.normal(0.0, 20.0, n),
        variance=rng.uniform(0.25, 16.0, n),
        lon=rng.uniform(0.0, 6.28, n),
        lat=rng.uniform(-1.5, 1.5, n),
        height=rng.uniform(0.0, 15000.0, n),
        days=rng.integers(145000, 155000, n),
        secs=rng.integers(0, 86400, n),
        radar_lon=rng.uniform(0.0, 6.28, n),
        radar_lat=rng.uniform(-1.5, 1.5, n),
        radar_height=rng.uniform(0.0, 3000.0, n),
        beam=rng.normal(0.0, 0.6, (n, 3)),
        nyquist=rng.uniform(8.0, 40.0, n),
        velkey=np.arange(1, n + 1),
        vertical=3,
    )


def random_wrfda(n, L, seed=0):
    """Keyword arguments of `format_wrfda` for n columns of L levels."""
    rng = np.random.default_rng(seed)
    return dict(
        centres=np.linspace(250.0, 250.0 * L, L),
        col_lat=rng.uniform(20.0, 50.0, n),
        col_lon=rng.uniform(-125.0, -65.0, n),
        col_elv=rng.uniform(0.0, 3000.0, n),
        rv=rng.normal(0.0, 15.0, (n, L)),
        rv_qc=rng.choice([0, 0, 0, 1, -88], (n, L)),
        rv_err=np.full((n, L), 1.0),
        rf=rng.uniform(-10.0, 65.0, (n, L)),
        rf_qc=rng.choice([0, 0, 0, 1, -88], (n, L)),
        rf_err=np.full((n, L), 2.0),
        stamp="2021-06-01_12:00:00",
    )
