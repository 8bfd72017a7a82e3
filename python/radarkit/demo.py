"""A tour of the package on built-in synthetic data: `python -m radarkit.demo`."""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

import _kestrin
import _marlode

Array = npt.NDArray[Any]


def timed[T](fn: Callable[..., T], *args: Any, **kw: Any) -> tuple[T, float]:
    t0 = time.perf_counter()
    out = fn(*args, **kw)
    return out, time.perf_counter() - t0


def section(title: str) -> None:
    print(f"\n== {title} ==")


def sounding_grid(
    ny: int = 200, nx: int = 250, nz: int = 60, seed: int = 7
) -> tuple[Array, Array, Array]:
    """Soundings on a (ny, nx) grid, nz levels each: temperature K, pressure Pa,
    dew point K, with a moist tongue across the grid and a few missing dew points."""
    rng = np.random.default_rng(seed)
    z = np.linspace(0.0, 15000.0, nz)
    p = 101325.0 * np.exp(-z / 8000.0)
    yy, xx = np.meshgrid(np.linspace(0, 1, ny), np.linspace(0, 1, nx), indexing="ij")
    t_sfc = 300.0 - 8.0 * yy + rng.normal(0.0, 0.3, (ny, nx))
    t = t_sfc[:, :, None] - 0.0065 * z
    moist = np.exp(-(((xx - 0.4) / 0.15) ** 2))[:, :, None]
    td = t - (12.0 - 9.0 * moist) - 0.002 * z
    td[rng.random(td.shape) < 0.001] = np.nan
    return t, np.broadcast_to(p, t.shape), td


def demo_thermo() -> None:
    section("thermo: moisture and potential temperatures of a sounding grid")
    t, p, td = sounding_grid()
    out, sec = timed(_kestrin.thermo, t, p, td)
    names = ["mixing ratio (kg/kg)", "theta (K)", "theta_v (K)", "theta_e (K)"]
    print(
        f"input grid {t.shape} = {t.size:,} points -> result {out.shape}, "
        f"{sec * 1e3:.1f} ms on {os.cpu_count()} cores"
    )
    for k, name in enumerate(names):
        row = out[k]
        print(
            f"  {name:<22s} min {np.nanmin(row):10.5g}  max {np.nanmax(row):10.5g}  "
            f"missing {np.isnan(row).sum():,}"
        )
    print("  first column, levels 0, 20, 40 (T, p, Td -> r, theta, theta_v, theta_e):")
    for lev in (0, 20, 40):
        i = lev
        print(
            f"    {t.flat[i]:7.2f} {p.flat[i]:9.1f} {td.flat[i]:7.2f} -> "
            + " ".join(f"{v:10.5g}" for v in out[:, i])
        )
    one, sec1 = timed(_kestrin.thermo, t, p, td, n_threads=1)
    print(
        f"  same call on one thread: {sec1 * 1e3:.1f} ms, identical result: "
        f"{np.array_equal(one, out, equal_nan=True)}"
    )


def hodograph_grid(
    ny: int = 200, nx: int = 250, nz: int = 50, seed: int = 11
) -> tuple[Array, Array, Array, Array, Array, Array]:
    """Wind profiles on a (ny, nx) grid over sloping terrain: heights m above
    sea level, winds m/s on a clockwise-curved hodograph (a half circle over
    the lowest 3 km, radius growing across the grid), the storm moving with
    the centre of the circle; a few missing levels and columns without a
    known ground height."""
    rng = np.random.default_rng(seed)
    yy, xx = np.meshgrid(np.linspace(0, 1, ny), np.linspace(0, 1, nx), indexing="ij")
    ground = 200.0 + 900.0 * xx + 60.0 * np.sin(7.0 * yy)
    agl = np.concatenate([[0.0], np.cumsum(np.linspace(50.0, 600.0, nz - 1))])
    z = ground[:, :, None] + agl
    turn = np.pi * np.minimum(agl / 3000.0, 1.0)
    radius = (6.0 + 10.0 * yy)[:, :, None]
    cu, cv = 10.0 + 2.0 * xx, 5.0 - 2.0 * xx
    u = cu[:, :, None] - radius * np.cos(turn) + rng.normal(0.0, 0.3, z.shape)
    v = cv[:, :, None] + radius * np.sin(turn) + rng.normal(0.0, 0.3, z.shape)
    u[rng.random(u.shape) < 0.002] = np.nan
    ground[rng.random(ground.shape) < 0.01] = np.nan
    cols = ny * nx
    return z.reshape(cols, nz), u.reshape(cols, nz), v.reshape(cols, nz), ground, cu, cv


def demo_profile() -> None:
    section("profile: helicity, shear and mean wind of a hodograph grid")
    z, u, v, ground, cu, cv = hodograph_grid()
    print(
        f"{u.shape[0]:,} columns of {u.shape[1]} levels, ground 200-1160 m, "
        f"{np.isnan(ground).sum()} columns with unknown ground (lowest level used)"
    )
    for name, top in (("0-1 km", 1000.0), ("0-3 km", 3000.0)):
        out, sec = timed(_kestrin.profile, z, u, v, ground, 0.0, top, cu, cv)
        shear = np.hypot(out[2] - out[0], out[3] - out[1])
        mean = np.hypot(out[5], out[6])
        print(f"  {name}: {sec * 1e3:.1f} ms, result {out.shape}")
        for label, row in (
            ("helicity (m2/s2)", out[4]),
            ("bulk shear (m/s)", shear),
            ("mean wind speed (m/s)", mean),
        ):
            print(
                f"    {label:<22s} min {np.nanmin(row):8.1f}  median {np.nanmedian(row):8.1f}  "
                f"max {np.nanmax(row):8.1f}"
            )
    one, _ = timed(_kestrin.profile, z, u, v, ground, 0.0, 3000.0, cu, cv, n_threads=1)
    print(f"  0-3 km on one thread: identical result: {np.array_equal(one, out, equal_nan=True)}")


def field_batch(
    nb: int = 3, ny: int = 600, nx: int = 800, seed: int = 5
) -> tuple[Array, Array, Array, Array, Array]:
    """A batch of smooth fields on an unevenly spaced grid (km), with a blocked
    sector and scattered missing points; returns fields, x, y, d/dx, d/dy."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.5, 1.5, nx))
    y = np.cumsum(rng.uniform(0.5, 1.5, ny))
    yy, xx = np.meshgrid(y, x, indexing="ij")
    k = np.array([0.01, 0.02, 0.03])[:nb, None, None]
    f = np.sin(k * xx) * np.cos(k * yy) * 10.0
    fx = k * np.cos(k * xx) * np.cos(k * yy) * 10.0
    fy = -k * np.sin(k * xx) * np.sin(k * yy) * 10.0
    blocked = (np.arctan2(yy - y[-1] / 2, xx - x[-1] / 2) > 0.3) & (
        np.arctan2(yy - y[-1] / 2, xx - x[-1] / 2) < 0.4
    )
    f[:, blocked] = np.nan
    f[rng.random(f.shape) < 0.01] = np.nan
    return f, x, y, fx, fy


def demo_gradient() -> None:
    section("gradient: derivatives of gridded fields with holes")
    f, x, y, fx, fy = field_batch()
    out, sec = timed(_kestrin.gradient, f, x, y)
    print(
        f"{f.shape[0]} fields of {f.shape[1]} x {f.shape[2]} on an uneven grid, "
        f"{np.isnan(f).mean():.1%} missing -> result {out.shape}, {sec * 1e3:.1f} ms"
    )
    for name, got, exact in (("df/dx", out[0], fx), ("df/dy", out[1], fy)):
        err = np.abs(got - exact)
        print(
            f"  {name}: computed at {np.isfinite(got).mean():.1%} of points, "
            f"median error {np.nanmedian(err):.2e}, max {np.nanmax(err):.2e} "
            f"(field amplitude 10, scale 33-100 km)"
        )
    kept = np.isfinite(f) & ~np.isfinite(out[0])
    print(f"  points with a value but no x-derivative (no usable neighbour): {kept.sum():,}")
    one, _ = timed(_kestrin.gradient, f, x, y, n_threads=1)
    same = np.array_equal(one, out, equal_nan=True)
    print(f"  same call on one thread: identical result: {same}")


RADAR = (35.2, -97.4, 370.0)  # latitude, longitude (degrees), height (m)


def wind_at(x: Any, y: Any, z: Any) -> tuple[Array, Array, Array]:
    """Synthetic south-westerly wind veering and strengthening with height (m/s),
    and a reflectivity cell 20 km east and 25 km north of the radar (dBZ)."""
    u = 8.0 + 1.2e-3 * z
    v = 8.0 + 0.4e-3 * z
    dbz = 50.0 * np.exp(-((x - 20e3) ** 2 + (y - 25e3) ** 2) / 15e3**2 - z / 9e3) - 5.0
    return u, v, dbz


def volume_scan(
    n_az: int = 360,
    n_gates: int = 120,
    tilts: tuple[float, ...] = (0.5, 1.5, 2.5, 4.0),
    seed: int = 11,
) -> tuple[Array, Array, Array, Array, Array, Array]:
    """Gate positions (m east, north, up of the radar's site), beam directions
    and noisy radial velocity and reflectivity of one volume scan (flat earth)."""
    rng = np.random.default_rng(seed)
    az, r, el = np.meshgrid(
        np.deg2rad(np.arange(n_az) + 0.5),
        2000.0 + 500.0 * np.arange(n_gates),
        np.deg2rad(tilts),
        indexing="ij",
    )
    beam = np.stack([np.sin(az) * np.cos(el), np.cos(az) * np.cos(el), np.sin(el)], -1).reshape(
        -1, 3
    )
    x, y, z = (r[..., None] * beam.reshape(r.shape + (3,))).reshape(-1, 3).T
    u, v, dbz = wind_at(x, y, z)
    vr = u * beam[:, 0] + v * beam[:, 1] + rng.normal(0.0, 1.0, x.size)
    return x, y, z + RADAR[2], beam, vr, dbz + rng.normal(0.0, 2.0, x.size)


def to_lat_lon(x: Any, y: Any) -> tuple[Array, Array]:
    lat = RADAR[0] + y / 111_200.0
    return lat, RADAR[1] + x / (111_200.0 * np.cos(np.deg2rad(RADAR[0])))


def demo_dart() -> None:
    section("radarkit.dart: a volume scan as DART observation records")
    import io

    from radarkit import dart

    x, y, z, beam, vr, dbz = volume_scan()
    lat, lon = to_lat_lon(x, y)
    n = x.size
    # Radial velocities (with the radar platform block), then reflectivities, in degrees,
    # metres and datetime64: the writer turns them into DART's radians, days and seconds.
    obs = {
        "type": np.repeat([dart.RADIAL_VELOCITY, dart.REFLECTIVITY], n),
        "value": np.concatenate([vr, dbz]),
        "error": np.repeat([1.0, 2.0], n),  # standard deviations, m/s and dBZ
        "latitude": np.tile(lat, 2),
        "longitude": np.tile(lon, 2),
        "height": np.tile(z, 2),
        "time": np.datetime64("2021-06-01T12:00:00"),
        "radar_latitude": RADAR[0],
        "radar_longitude": RADAR[1],
        "radar_height": RADAR[2],
        "azimuth": np.tile(np.rad2deg(np.arctan2(beam[:, 0], beam[:, 1])), 2),
        "elevation": np.tile(np.rad2deg(np.arcsin(beam[:, 2])), 2),
        "nyquist": 28.5,
    }

    def records(n_threads: int) -> bytes:
        out = io.BytesIO()
        dart.write_obs_seq(out, obs, n_threads=n_threads, chunk_size=2 * n)
        return out.getvalue()

    text, sec = timed(records, 0)
    print(
        f"{2 * n:,} records ({n:,} radial velocities, {n:,} reflectivities) -> "
        f"{len(text) / 1e6:.1f} MB in {sec * 1e3:.0f} ms ({len(text) / 1e6 / sec:.0f} MB/s)"
    )
    first = text.index(b" OBS ")
    print("  first record:")
    print(
        "\n".join(
            "    " + line
            for line in text[first : text.index(b" OBS ", first + 1)].decode().splitlines()
        )
    )
    one, sec1 = timed(records, 1)
    print(f"  same file on one thread: {sec1 * 1e3:.0f} ms, identical bytes: {one == text}")


def demo_wrfda(nx: int = 120, ny: int = 120, levels: int = 20) -> None:
    section("format_wrfda: gridded radar columns as WRFDA radar records")
    rng = np.random.default_rng(5)
    xx, yy = np.meshgrid(np.linspace(-60e3, 60e3, nx), np.linspace(-60e3, 60e3, ny))
    x, y = xx.ravel()[:, None], yy.ravel()[:, None]
    centres = 500.0 * np.arange(1, levels + 1)  # level heights, m
    z = centres - RADAR[2]
    u, v, dbz = wind_at(x, y, z)
    dist = np.sqrt(x**2 + y**2 + z**2)
    rv = (u * x + v * y) / dist + rng.normal(0.0, 1.0, dist.shape)
    rf = np.round(dbz + rng.normal(0.0, 2.0, dist.shape), 1)
    lat, lon = to_lat_lon(x[:, 0], y[:, 0])
    flag = np.where(rf < 0.0, -88, 0)  # -88: below the detection threshold
    args = dict(
        centres=centres,
        col_lat=lat,
        col_lon=lon,
        col_elv=np.full(lat.size, RADAR[2]),
        rv=rv,
        rv_qc=flag,
        rv_err=np.full(rv.shape, 1.0),
        rf=rf,
        rf_qc=flag,
        rf_err=np.full(rf.shape, 2.0),
        stamp="2021-06-01_12:00:00",
    )
    text, sec = timed(_marlode.format_wrfda, **args)
    print(
        f"{lat.size:,} columns of {levels} levels -> {len(text) / 1e6:.1f} MB "
        f"in {sec * 1e3:.0f} ms ({len(text) / 1e6 / sec:.0f} MB/s)"
    )
    print("  first column, header and three levels:")
    print("\n".join("    " + line for line in text.decode().splitlines()[:4]))
    one, sec1 = timed(_marlode.format_wrfda, **args, n_threads=1)
    print(f"  same call on one thread: {sec1 * 1e3:.0f} ms, identical bytes: {one == text}")


def demo_files() -> None:
    section("radarkit.dart and radarkit.wrfda: the volume scan as complete files")
    import tempfile

    from radarkit import dart, wrfda

    x, y, z, beam, vr, dbz = volume_scan(n_gates=60, tilts=(0.5, 2.5))
    lat, lon = to_lat_lon(x, y)
    n = x.size
    dbz[dbz < 0.0] = np.nan  # below the detection threshold: left out of the DART file
    az = np.rad2deg(np.arctan2(beam[:, 0], beam[:, 1]))
    el = np.rad2deg(np.arcsin(beam[:, 2]))
    obs = {
        "type": np.repeat(["DOPPLER_RADIAL_VELOCITY", "RADAR_REFLECTIVITY"], n),
        "value": np.concatenate([vr, dbz]),
        "error": np.repeat([1.0, 2.0], n),  # standard deviations, m/s and dBZ
        "latitude": np.tile(lat, 2),
        "longitude": np.tile(lon, 2),
        "height": np.tile(z, 2),
        "time": np.datetime64("2021-06-01T12:00:00") + np.tile(np.arange(n) // 3600, 2),
        "radar_latitude": RADAR[0],
        "radar_longitude": RADAR[1],
        "radar_height": RADAR[2],
        "azimuth": np.tile(az, 2),
        "elevation": np.tile(el, 2),
        "nyquist": 28.5,
    }
    levels = 500.0 * np.arange(1, 21)
    cols = np.linspace(-60e3, 60e3, 100)
    cx, cy = (a.ravel() for a in np.meshgrid(cols, cols))
    u, v, rf = wind_at(cx[:, None], cy[:, None], levels - RADAR[2])
    dist = np.sqrt(cx[:, None] ** 2 + cy[:, None] ** 2 + (levels - RADAR[2]) ** 2)
    rf[rf < 0.0] = np.nan  # missing: written as -888888.0 with QC -88
    col_lat, col_lon = to_lat_lon(cx, cy)
    radar = wrfda.Radar(
        name="KDEMO",
        radar_latitude=RADAR[0],
        radar_longitude=RADAR[1],
        radar_height=RADAR[2],
        time=np.datetime64("2021-06-01T12:00:00"),
        latitude=col_lat,
        longitude=col_lon,
        height=np.full(cx.size, RADAR[2]),
        heights=levels,
        rv=(u * cx[:, None] + v * cy[:, None]) / dist,
        rv_err=1.0,
        rf=rf,
        rf_err=2.0,
    )
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "obs_seq.out")
        result, sec = timed(dart.write_obs_seq, path, obs)
        print(
            f"obs_seq.out: {result.written:,} observations written, {result.skipped:,} "
            f"left out (NaN), {os.path.getsize(path) / 1e6:.1f} MB in {sec:.2f} s"
        )
        try:
            from pydartdiags.obs_sequence.obs_sequence import ObsSequence
        except ImportError:
            with open(path) as f:
                head = [next(f) for _ in range(9)]
            print("  read back (header; pydartdiags not installed):", head[6].strip())
        else:
            df = ObsSequence(path).df
            print(f"  read back with pydartdiags: {len(df):,} records")
            for name, count in df["type"].value_counts().items():
                print(f"    {name:<26s} {count:8,d}")
            print(f"    times {df['time'].min()} to {df['time'].max()}")
        path = os.path.join(d, "ob.radar")
        written, sec = timed(wrfda.write_radar_obs, path, [radar])
        columns = written.written
        with open(path) as f:
            text = f.read()
        print(
            f"ob.radar: 1 radar, {columns:,} columns of {levels.size} levels, "
            f"{text.count('-888888.000'):,} missing values, {len(text) / 1e6:.1f} MB "
            f"in {sec:.2f} s; its first lines:"
        )
        print("\n".join("    " + line for line in text.splitlines()[:7]))


def radar_sweep(
    rows: int = 400, cols: int = 720, elevation_deg: float = 2.5, seed: int = 11
) -> tuple[Array, Array, Array, Array, Array, Array]:
    """Rings of a radar sweep at increasing range through a known wind that
    veers and strengthens with height; 8 % of the gates are missing, a sector
    is blocked for the far rings, every 50th ring is empty."""
    rng = np.random.default_rng(seed)
    el = np.deg2rad(elevation_deg)
    rng_m = np.linspace(2000.0, 80000.0, rows)
    height = rng_m * np.sin(el)
    speed = 5.0 + 0.006 * height
    direction = np.deg2rad(180.0 + 0.02 * height)  # wind blowing from, clockwise from north
    u, v = -speed * np.sin(direction), -speed * np.cos(direction)
    az = np.deg2rad(np.arange(cols) * (360.0 / cols))[None, :] + rng.normal(0, 0.001, (rows, cols))
    vr = (u[:, None] * np.sin(az) + v[:, None] * np.cos(az)) * np.cos(el)
    vr += rng.normal(0.0, 1.0, vr.shape)
    vr[rng.random(vr.shape) < 0.08] = np.nan
    blocked = (az > np.deg2rad(60.0)) & (az < np.deg2rad(170.0))
    vr[(rng_m > 60000.0)[:, None] & blocked] = np.nan
    vr[::50] = np.nan
    return vr, az, np.full(rows, np.cos(el)), height, u, v


def demo_vad() -> None:
    section("vad: wind from the radial velocities of a radar sweep")
    vr, az, cos_el, height, u, v = radar_sweep()
    out, sec = timed(_kestrin.vad, vr, az, cos_el, 60, 0.05)
    fitted = np.isfinite(out[0])
    print(
        f"{vr.shape[0]} rings of {vr.shape[1]} samples -> result {out.shape}, {sec * 1e3:.1f} ms; "
        f"fit 1 on {fitted.sum()} rings, fit 2 on {np.isfinite(out[5]).sum()}"
    )
    print("  height m   true u   true v  ->  vad u    vad v   rms   samples")
    for r in range(0, vr.shape[0], 40):
        print(
            f"  {height[r]:8.0f} {u[r]:8.2f} {v[r]:8.2f}  -> {out[0, r]:7.2f}  {out[1, r]:7.2f} "
            f"{out[3, r]:5.2f}  {out[4, r]:6.0f}"
        )
    err = np.hypot(out[0] - u, out[1] - v)[fitted]
    print(
        f"  vector error of the fitted rings: median {np.median(err):.3f} m/s, "
        f"max {err.max():.3f} m/s; rings left out: {np.flatnonzero(~fitted).tolist()}"
    )
    one, sec1 = timed(_kestrin.vad, vr, az, cos_el, 60, 0.05, n_threads=1)
    print(
        f"  same call on one thread: {sec1 * 1e3:.1f} ms, identical result: "
        f"{np.array_equal(one, out, equal_nan=True)}"
    )


def gust_front(ncol: int = 2000, nlev: int = 60, seed: int = 5) -> tuple[Array, Array, Array]:
    """Buoyancy columns across a gust front: a cold pool 1.5 km deep at the
    left end thinning to nothing at the right, with noise and missing levels."""
    rng = np.random.default_rng(seed)
    z = np.linspace(0.0, 6000.0, nlev)[None, :] + rng.uniform(-5.0, 5.0, (ncol, nlev))
    depth = np.linspace(1500.0, 0.0, ncol)[:, None]
    deficit = 8.0 * np.clip(1.0 - z / np.maximum(depth, 1.0), 0.0, None)  # K
    b = -9.81 * deficit / 300.0 + rng.normal(0.0, 0.002, (ncol, nlev))
    b[rng.random(b.shape) < 0.02] = np.nan
    return z, b, depth[:, 0]


def demo_cold_pool() -> None:
    section("cold_pool: intensity and depth of a cold pool across a gust front")
    z, b, depth = gust_front()
    ncol = z.shape[0]
    none = np.full(ncol, np.nan)
    out, sec = timed(_kestrin.cold_pool, z, b, none, -0.01, none)
    fixed = _kestrin.cold_pool(z, b, none, -0.01, np.full(ncol, 500.0))
    print(
        f"{ncol} columns of {z.shape[1]} levels -> result {out.shape}, {sec * 1e3:.2f} ms; "
        f"threshold never met in {int(np.nansum(out[2]))} columns"
    )
    print("  column  true depth m  ->  intensity m/s  depth m  flag | over 500 m: intensity")
    for c in range(0, ncol, 250):
        print(
            f"  {c:6d}  {depth[c]:12.0f}  ->  {out[0, c]:13.2f} {out[1, c]:8.0f} {out[2, c]:5.0f} "
            f"| {fixed[0, c]:10.2f}"
        )
    one, sec1 = timed(_kestrin.cold_pool, z, b, none, -0.01, none, n_threads=1)
    print(
        f"  same call on one thread: {sec1 * 1e3:.2f} ms, identical result: "
        f"{np.array_equal(one, out, equal_nan=True)}"
    )


def demo_radar() -> None:
    section("radarkit.radar: a synthetic volume written by xradar, read back, VAD and DART")
    try:
        import xradar  # noqa: F401

        from radarkit import radar, synthetic
    except ImportError as e:
        print(f"  skipped: {e}")
        return
    import tempfile

    vol = synthetic.synthetic_volume(
        elevations=(0.5, 1.5, 2.5, 4.0, 6.0, 9.0, 14.0), rays=360, gates=400, velocity_noise=1.0
    )
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "volume.nc")
        synthetic.write_volume(vol, path, format="cfradial1")
        back, sec = timed(radar.open_volume, path)
        info = radar.describe(back)
        print(
            f"  CfRadial1 file read back by xradar in {sec:.2f} s: {len(info.sweeps)} sweeps "
            f"of {info.sweeps[0].rays} rays x {info.sweeps[0].gates} gates, "
            f"moments {' '.join(info.sweeps[0].moments)}"
        )
        heights = np.arange(250.0, 4001.0, 250.0)
        prof, sec = timed(radar.vad_profile, back, heights=heights)
        u_true, v_true = synthetic.default_wind(prof["mean_height"].values)
        print(f"  VAD profile of every ring in one kernel call, {sec * 1e3:.0f} ms (noise 1 m/s):")
        print("    height m   u m/s   v m/s  speed  dir deg  rings | true u    v")
        for i in range(0, heights.size, 2):
            p = {k: float(prof[k].values[i]) for k in ("u", "v", "speed", "direction", "rings")}
            print(
                f"    {heights[i]:8.0f} {p['u']:7.2f} {p['v']:7.2f} {p['speed']:6.2f} "
                f"{p['direction']:8.1f} {p['rings']:6.0f} | {u_true[i]:6.2f} {v_true[i]:5.2f}"
            )
        out = os.path.join(d, "obs_seq.out")
        res, sec = timed(
            radar.to_obs_seq, back, out, velocity_error=2.0, reflectivity_error=5.0, every=(4, 4)
        )
        with open(out, "rb") as f:
            head = f.read(400).decode().splitlines()
        print(
            f"  DART file of every 4th ray and gate: {res.written:,} observations, "
            f"{os.path.getsize(out) / 2**20:.1f} MiB in {sec:.2f} s; header:"
        )
        for line in head[:9]:
            print(f"    {line}")


def demo_dealias() -> None:
    section("radarkit.radar.dealias: the VAD profile of aliased sweeps, before and after")
    try:
        from radarkit import radar, synthetic
    except ImportError as e:
        print(f"  skipped: {e}")
        return
    try:
        case = synthetic.aliased_volume("veering", nyquist=10.0, noise=1.5)
    except ImportError as e:
        print(f"  skipped: {e}")
        return
    out, sec = timed(radar.dealias, case.volume)
    right = kept = valid = 0
    for k, t in enumerate(case.truth):
        d = out[f"sweep_{k}"]["VRADDH"].values
        ok = np.isfinite(d)
        right += int((ok & (np.abs(d - t) < case.nyquist[k])).sum())
        kept += int(ok.sum())
        valid += int(np.isfinite(t).sum())
    print(
        f"  {len(case.truth)} sweeps of 360 rays x 400 gates folded at V_N = 10 m/s (wind up to "
        f"30 m/s, noise 1.5 m/s, gaps, echo-free sectors, patchy echo): dealiased in "
        f"{sec * 1e3:.0f} ms; {100.0 * right / kept:.2f}% of the gates on their true fold, "
        f"{100.0 * (1 - kept / valid):.2f}% unresolved"
    )
    heights = np.arange(500.0, 6001.0, 500.0)
    folded = radar.vad_profile(case.volume, heights=heights)
    fixed = radar.vad_profile(case.volume, heights=heights, dealias=True)
    u_true, v_true = synthetic.veering_wind(heights, top=30.0)
    print("  VAD profile of the folded velocities, of the dealiased ones, and the true wind:")
    print("    height m | folded u     v  speed | dealiased u     v  speed | true u     v  speed")
    for i, z in enumerate(heights):
        a = [float(folded[k].values[i]) for k in ("u", "v", "speed")]
        b = [float(fixed[k].values[i]) for k in ("u", "v", "speed")]
        print(
            f"    {z:8.0f} | {a[0]:8.2f} {a[1]:5.2f} {a[2]:6.2f} | {b[0]:11.2f} {b[1]:5.2f} "
            f"{b[2]:6.2f} | {u_true[i]:6.2f} {v_true[i]:5.2f} {np.hypot(u_true[i], v_true[i]):6.2f}"
        )


def demo_assimilation() -> None:
    section("from a volume to assimilation: quality control, superobservations, DART, WRFDA")
    try:
        import xradar  # noqa: F401

        from radarkit import radar, synthetic
    except ImportError as e:
        print(f"  skipped: {e}")
        return
    import tempfile

    # velocities are dealiased before they are averaged (here V_N 60 m/s: nothing is folded)
    vol = synthetic.synthetic_volume(
        elevations=(0.5, 1.5, 3.0, 6.0, 10.0),
        rays=360,
        gates=320,
        velocity_noise=2.0,
        missing=0.1,
        nyquist=60.0,
    )
    filt = radar.gate_filter(vol)
    removed = ", ".join(f"{k} {n:,}" for k, n in filt.removed["velocity"].items() if n)
    print(
        f"  gate filter: {filt.kept['velocity']:,} of {filt.gates['velocity']:,} velocity gates "
        f"kept (removed: {removed})"
    )
    ds, sec = timed(radar.superob, vol)
    print(
        f"  superob, polar boxes 5 km x 5 deg, {sec * 1e3:.0f} ms: "
        f"{int(ds['radial_velocity'].notnull().sum()):,} velocity and "
        f"{int(ds['reflectivity'].notnull().sum()):,} reflectivity superobs kept; rejected "
        f"{ds.attrs['rejected_velocity_count']:,} boxes for too few gates, "
        f"{ds.attrs['rejected_velocity_spread']:,} for spread > {ds.attrs['max_spread']:g} m/s"
    )
    spread = ds["radial_velocity_spread"].values
    print(f"    median box spread {np.nanmedian(spread):.2f} m/s (the 2 m/s noise of the gates)")
    errors = {"velocity_error": 2.0, "reflectivity_error": 5.0}
    with tempfile.TemporaryDirectory() as d:
        files = {}
        for label, kw in (
            ("per gate", {}),
            ("superob 5km,5deg", {"superob": "5km,5deg"}),
            ("superob grid 3km", {"superob": "3km"}),
        ):
            path = os.path.join(d, label.replace(" ", "_").replace(",", "_"))
            res, sec = timed(radar.to_obs_seq, vol, path, **errors, **kw)
            files[label] = (res.written, os.path.getsize(path), sec)
        path = os.path.join(d, "ob.radar")
        res, sec = timed(radar.to_wrfda, vol, path, **errors, spacing=3000.0)
        files["WRFDA ob.radar, 3 km"] = (res.written, os.path.getsize(path), sec)
        with open(path) as f:
            text = f.read().splitlines()
    gate_bytes = files["per gate"][1]
    print("  file                        records     size    time  (size / per-gate file)")
    for label, (n, size, sec) in files.items():
        unit = "columns" if "WRFDA" in label else "obs"
        print(
            f"    {label:<22s} {n:>9,} {unit:<7s} {size / 2**20:6.1f} MiB {sec:6.2f} s"
            f"  {size / gate_bytes:8.4f}"
        )
    print("  ob.radar, its first column (one level per tilt at the column's own beam height):")
    first = next(i for i, line in enumerate(text) if line.startswith("FM-128"))
    print("\n".join("    " + line for line in text[first : first + 3]))


def main() -> None:
    print(f"radarkit demo on synthetic data ({os.cpu_count()} cores)")
    demo_thermo()
    demo_cold_pool()
    demo_profile()
    demo_gradient()
    demo_vad()
    demo_dart()
    demo_wrfda()
    demo_files()
    demo_radar()
    demo_dealias()
    demo_assimilation()


if __name__ == "__main__":
    main()
