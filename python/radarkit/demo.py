"""A tour of the package on built-in synthetic data: `python -m radarkit.demo`."""
import os
import time

import numpy as np

import _kestrin


def timed(fn, *args, **kw):
    t0 = time.perf_counter()
    out = fn(*args, **kw)
    return out, time.perf_counter() - t0


def section(title):
    print(f"\n== {title} ==")


def sounding_grid(ny=200, nx=250, nz=60, seed=7):
    """Soundings on a (ny, nx) grid, nz levels each: temperature K, pressure Pa,
    dew point K, with a moist tongue across the grid and a few missing dew points."""
    rng = np.random.default_rng(seed)
    z = np.linspace(0.0, 15000.0, nz)
    p = 101325.0 * np.exp(-z / 8000.0)
    yy, xx = np.meshgrid(np.linspace(0, 1, ny), np.linspace(0, 1, nx), indexing="ij")
    t_sfc = 300.0 - 8.0 * yy + rng.normal(0.0, 0.3, (ny, nx))
    t = t_sfc[:, :, None] - 0.0065 * z
    moist = np.exp(-((xx - 0.4) / 0.15) ** 2)[:, :, None]
    td = t - (12.0 - 9.0 * moist) - 0.002 * z
    td[rng.random(td.shape) < 0.001] = np.nan
    return t, np.broadcast_to(p, t.shape), td


def demo_thermo():
    section("thermo: moisture and potential temperatures of a sounding grid")
    t, p, td = sounding_grid()
    out, sec = timed(_kestrin.thermo, t, p, td)
    names = ["mixing ratio (kg/kg)", "theta (K)", "theta_v (K)", "theta_e (K)"]
    print(f"input grid {t.shape} = {t.size:,} points -> result {out.shape}, "
          f"{sec * 1e3:.1f} ms on {os.cpu_count()} cores")
    for k, name in enumerate(names):
        row = out[k]
        print(f"  {name:<22s} min {np.nanmin(row):10.5g}  max {np.nanmax(row):10.5g}  "
              f"missing {np.isnan(row).sum():,}")
    print("  first column, levels 0, 20, 40 (T, p, Td -> r, theta, theta_v, theta_e):")
    for lev in (0, 20, 40):
        i = lev
        print(f"    {t.flat[i]:7.2f} {p.flat[i]:9.1f} {td.flat[i]:7.2f} -> "
              + " ".join(f"{v:10.5g}" for v in out[:, i]))
    one, sec1 = timed(_kestrin.thermo, t, p, td, n_threads=1)
    print(f"  same call on one thread: {sec1 * 1e3:.1f} ms, identical result: "
          f"{np.array_equal(one, out, equal_nan=True)}")


def radar_sweep(rows=400, cols=720, elevation_deg=2.5, seed=11):
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


def demo_vad():
    section("vad: wind from the radial velocities of a radar sweep")
    vr, az, cos_el, height, u, v = radar_sweep()
    out, sec = timed(_kestrin.vad, vr, az, cos_el, 60, 0.05)
    fitted = np.isfinite(out[0])
    print(f"{vr.shape[0]} rings of {vr.shape[1]} samples -> result {out.shape}, {sec * 1e3:.1f} ms; "
          f"fit 1 on {fitted.sum()} rings, fit 2 on {np.isfinite(out[5]).sum()}")
    print("  height m   true u   true v  ->  vad u    vad v   rms   samples")
    for r in range(0, vr.shape[0], 40):
        print(f"  {height[r]:8.0f} {u[r]:8.2f} {v[r]:8.2f}  -> {out[0, r]:7.2f}  {out[1, r]:7.2f} "
              f"{out[3, r]:5.2f}  {out[4, r]:6.0f}")
    err = np.hypot(out[0] - u, out[1] - v)[fitted]
    print(f"  vector error of the fitted rings: median {np.median(err):.3f} m/s, "
          f"max {err.max():.3f} m/s; rings left out: {np.flatnonzero(~fitted).tolist()}")
    one, sec1 = timed(_kestrin.vad, vr, az, cos_el, 60, 0.05, n_threads=1)
    print(f"  same call on one thread: {sec1 * 1e3:.1f} ms, identical result: "
          f"{np.array_equal(one, out, equal_nan=True)}")


def gust_front(ncol=2000, nlev=60, seed=5):
    """Buoyancy columns across a gust front: a cold pool 1.5 km deep at the
    left end thinning to nothing at the right, with noise and missing levels."""
    rng = np.random.default_rng(seed)
    z = np.linspace(0.0, 6000.0, nlev)[None, :] + rng.uniform(-5.0, 5.0, (ncol, nlev))
    depth = np.linspace(1500.0, 0.0, ncol)[:, None]
    deficit = 8.0 * np.clip(1.0 - z / np.maximum(depth, 1.0), 0.0, None)  # K
    b = -9.81 * deficit / 300.0 + rng.normal(0.0, 0.002, (ncol, nlev))
    b[rng.random(b.shape) < 0.02] = np.nan
    return z, b, depth[:, 0]


def demo_cold_pool():
    section("cold_pool: intensity and depth of a cold pool across a gust front")
    z, b, depth = gust_front()
    ncol = z.shape[0]
    none = np.full(ncol, np.nan)
    out, sec = timed(_kestrin.cold_pool, z, b, none, -0.01, none)
    fixed = _kestrin.cold_pool(z, b, none, -0.01, np.full(ncol, 500.0))
    print(f"{ncol} columns of {z.shape[1]} levels -> result {out.shape}, {sec * 1e3:.2f} ms; "
          f"threshold never met in {int(np.nansum(out[2]))} columns")
    print("  column  true depth m  ->  intensity m/s  depth m  flag | over 500 m: intensity")
    for c in range(0, ncol, 250):
        print(f"  {c:6d}  {depth[c]:12.0f}  ->  {out[0, c]:13.2f} {out[1, c]:8.0f} {out[2, c]:5.0f} "
              f"| {fixed[0, c]:10.2f}")
    one, sec1 = timed(_kestrin.cold_pool, z, b, none, -0.01, none, n_threads=1)
    print(f"  same call on one thread: {sec1 * 1e3:.2f} ms, identical result: "
          f"{np.array_equal(one, out, equal_nan=True)}")


def main():
    print(f"radarkit demo on synthetic data ({os.cpu_count()} cores)")
    demo_thermo()
    demo_vad()
    demo_cold_pool()


if __name__ == "__main__":
    main()
