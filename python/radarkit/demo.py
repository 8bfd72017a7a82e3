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


def hodograph_grid(ny=200, nx=250, nz=50, seed=11):
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


def demo_profile():
    section("profile: helicity, shear and mean wind of a hodograph grid")
    z, u, v, ground, cu, cv = hodograph_grid()
    print(f"{u.shape[0]:,} columns of {u.shape[1]} levels, ground 200-1160 m, "
          f"{np.isnan(ground).sum()} columns with unknown ground (lowest level used)")
    for name, top in (("0-1 km", 1000.0), ("0-3 km", 3000.0)):
        out, sec = timed(_kestrin.profile, z, u, v, ground, 0.0, top, cu, cv)
        shear = np.hypot(out[2] - out[0], out[3] - out[1])
        mean = np.hypot(out[5], out[6])
        print(f"  {name}: {sec * 1e3:.1f} ms, result {out.shape}")
        for label, row in (("helicity (m2/s2)", out[4]), ("bulk shear (m/s)", shear),
                           ("mean wind speed (m/s)", mean)):
            print(f"    {label:<22s} min {np.nanmin(row):8.1f}  median {np.nanmedian(row):8.1f}  "
                  f"max {np.nanmax(row):8.1f}")
    one, _ = timed(_kestrin.profile, z, u, v, ground, 0.0, 3000.0, cu, cv, n_threads=1)
    print(f"  0-3 km on one thread: identical result: {np.array_equal(one, out, equal_nan=True)}")


def field_batch(nb=3, ny=600, nx=800, seed=5):
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
    blocked = (np.arctan2(yy - y[-1] / 2, xx - x[-1] / 2) > 0.3) & \
              (np.arctan2(yy - y[-1] / 2, xx - x[-1] / 2) < 0.4)
    f[:, blocked] = np.nan
    f[rng.random(f.shape) < 0.01] = np.nan
    return f, x, y, fx, fy


def demo_gradient():
    section("gradient: derivatives of gridded fields with holes")
    f, x, y, fx, fy = field_batch()
    out, sec = timed(_kestrin.gradient, f, x, y)
    print(f"{f.shape[0]} fields of {f.shape[1]} x {f.shape[2]} on an uneven grid, "
          f"{np.isnan(f).mean():.1%} missing -> result {out.shape}, {sec * 1e3:.1f} ms")
    for name, got, exact in (("df/dx", out[0], fx), ("df/dy", out[1], fy)):
        err = np.abs(got - exact)
        print(f"  {name}: computed at {np.isfinite(got).mean():.1%} of points, "
              f"median error {np.nanmedian(err):.2e}, max {np.nanmax(err):.2e} "
              f"(field amplitude 10, scale 33-100 km)")
    kept = np.isfinite(f) & ~np.isfinite(out[0])
    print(f"  points with a value but no x-derivative (no usable neighbour): {kept.sum():,}")
    one, _ = timed(_kestrin.gradient, f, x, y, n_threads=1)
    same = np.array_equal(one, out, equal_nan=True)
    print(f"  same call on one thread: identical result: {same}")


def main():
    print(f"radarkit demo on synthetic data ({os.cpu_count()} cores)")
    demo_thermo()
    demo_profile()
    demo_gradient()


if __name__ == "__main__":
    main()
