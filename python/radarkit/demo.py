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


def main():
    print(f"radarkit demo on synthetic data ({os.cpu_count()} cores)")
    demo_thermo()


if __name__ == "__main__":
    main()
