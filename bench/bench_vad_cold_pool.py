"""vad on 10^4 rings of 720 samples and cold_pool on 10^5 columns of 60 levels,
each against the same computation vectorised with NumPy."""

import time

import numpy as np

import _kestrin
from common import report


def best_of(fns, repeat):
    """Best wall time of each function, calls interleaved so that a load
    change on the shared machine hits all of them alike."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for fn, t in zip(fns, times):
            t0 = time.perf_counter()
            fn()
            t.append(time.perf_counter() - t0)
    return [min(t) for t in times]


def rings(rows=10**4, cols=720, seed=0):
    rng = np.random.default_rng(seed)
    az = np.deg2rad(np.arange(cols) * (360.0 / cols))[None, :] + rng.normal(
        0.0, 0.002, (rows, cols)
    )
    cos_el = np.cos(np.deg2rad(rng.uniform(0.5, 20.0, rows)))
    u = rng.uniform(-20.0, 20.0, (rows, 1))
    v = rng.uniform(-20.0, 20.0, (rows, 1))
    vr = (u * np.sin(az) + v * np.cos(az)) * cos_el[:, None] + rng.normal(0.0, 1.0, (rows, cols))
    vr[rng.random((rows, cols)) < 0.05] = np.nan
    return vr, az, cos_el


def vad_numpy(vr, az, cos_el, min_gates, min_spread):
    """Both fits from the normal equations of all rings at once (raw moments,
    then centred), with the same gates; rows as returned by `vad`."""
    ok = np.isfinite(vr) & np.isfinite(az)
    w = ok.astype(np.float64)
    a = np.where(ok, az, 0.0)
    v = np.where(ok, vr, 0.0)
    X = [np.sin(a) * w, np.cos(a) * w, np.sin(a + a) * w, np.cos(a + a) * w]
    n = w.sum(axis=1)
    out = np.full((8, len(n)), np.nan)
    out[4] = n
    with np.errstate(invalid="ignore", divide="ignore"):
        mx = np.stack([x.sum(axis=1) for x in X], axis=1) / n[:, None]
        mv = v.sum(axis=1) / n
        M = np.empty((len(n), 4, 4))
        y = np.empty((len(n), 4))
        for i in range(4):
            y[:, i] = np.einsum("ij,ij->i", X[i], v) - n * mx[:, i] * mv
            for k in range(i, 4):
                M[:, i, k] = M[:, k, i] = (
                    np.einsum("ij,ij->i", X[i], X[k]) - n * mx[:, i] * mx[:, k]
                )
        D2 = np.linalg.det(M[:, :2, :2])
        fit1 = (n >= max(min_gates, 3)) & (D2 / (n * n) >= min_spread)
        ab = np.linalg.solve(M[fit1, :2, :2], y[fit1, :2, None])[..., 0]
        c = mv[fit1] - ab[:, 0] * mx[fit1, 0] - ab[:, 1] * mx[fit1, 1]
        e = (v[fit1] - c[:, None] - ab[:, :1] * X[0][fit1] - ab[:, 1:] * X[1][fit1]) * w[fit1]
        out[0, fit1] = ab[:, 0] / cos_el[fit1]
        out[1, fit1] = ab[:, 1] / cos_el[fit1]
        out[2, fit1] = c
        out[3, fit1] = np.sqrt(np.einsum("ij,ij->i", e, e) / n[fit1])
        D4 = np.linalg.det(M)
        fit2 = fit1 & (D4 / n**4 >= 0.25 * min_spread)
        beta = np.linalg.solve(M[fit2], y[fit2, :, None])[..., 0]
        out[5, fit2] = mv[fit2] - np.einsum("ij,ij->i", beta, mx[fit2])
        out[6, fit2] = beta[:, 2]
        out[7, fit2] = beta[:, 3]
    return out


def columns(ncol=10**5, nlev=60, seed=1):
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.uniform(50.0, 150.0, (ncol, nlev)), axis=1) - 50.0
    depth = rng.uniform(300.0, 4000.0, (ncol, 1))
    b = -0.08 * (1.0 - z / depth) + rng.normal(0.0, 0.002, (ncol, nlev))
    b[rng.random((ncol, nlev)) < 0.02] = np.nan
    bottom = np.where(rng.random(ncol) < 0.2, 100.0, np.nan)
    top = np.where(rng.random(ncol) < 0.5, rng.uniform(200.0, 2000.0, ncol), np.nan)
    return z, b, bottom, top


def cold_pool_numpy(z, b, bottom, threshold, top):
    """The column algorithm stepped level by level for all columns at once."""
    ncol, nlev = z.shape
    idx = np.arange(ncol)
    valid = np.isfinite(z) & np.isfinite(b)
    floor = np.isfinite(bottom)
    with np.errstate(invalid="ignore", divide="ignore"):
        start = valid & (~floor[:, None] | (z >= bottom[:, None]))
        k = np.argmax(start, axis=1)
        found = start[idx, k]
        z0, b0 = z[idx, k], b[idx, k]
        zp, bp, S = z0.copy(), b0.copy(), np.zeros(ncol)
        thr = ~np.isfinite(top)
        zt = top + z0
        out = np.full((3, ncol), np.nan)
        at_start = found & thr & (b0 >= threshold)
        out[:, at_start] = 0.0
        active = found & ~at_start
        for j in range(1, nlev):
            zj, bj = z[:, j], b[:, j]
            m = active & valid[:, j] & (j > k)
            ct = m & thr & (bj >= threshold)
            zc = ((zj - zp) * (threshold - bp)) / (bj - bp) + zp
            it = (zc - zp) * ((-bp - threshold) * 0.5) + S
            out[0, ct] = np.sqrt(np.maximum(0.0, it[ct] + it[ct]))
            out[1, ct] = (zc - z0)[ct]
            out[2, ct] = 0.0
            cf = m & ~thr & (zj >= zt)
            bt = ((bj - bp) * (zt - zp)) / (zj - zp) + bp
            i_f = ((-bp - bt) * 0.5) * (zt - zp) + S
            out[0, cf] = np.sqrt(np.maximum(0.0, i_f[cf] + i_f[cf]))
            out[1, cf] = top[cf]
            out[2, cf] = 0.0
            step = m & ~ct & ~cf
            S = np.where(
                step,
                S + np.where(thr, (zj - zp) * ((-bp - bj) * 0.5), ((-bp - bj) * 0.5) * (zj - zp)),
                S,
            )
            zp = np.where(step, zj, zp)
            bp = np.where(step, bj, bp)
            active &= ~(ct | cf)
        left = active & thr
        out[0, left] = np.sqrt(np.maximum(0.0, S[left] + S[left]))
        out[1, left] = (zp - z0)[left]
        out[2, left] = 1.0
    return out


def main():
    vr, az, cos_el = rings()
    args = (vr, az, cos_el, 30, 0.01)
    np.testing.assert_allclose(vad_numpy(*args), _kestrin.vad(*args), rtol=1e-8, atol=1e-9)
    base, one, allc = best_of(
        [
            lambda: vad_numpy(*args),
            lambda: _kestrin.vad(*args, n_threads=1),
            lambda: _kestrin.vad(*args, n_threads=0),
        ],
        5,
    )
    report(
        "vad, 10^4 rings of 720 samples",
        [
            ("NumPy normal equations", base, None),
            ("vad, n_threads=1 (vs NumPy)", one, base),
            ("vad, all cores (vs NumPy)", allc, base),
            ("vad, all cores (vs n_threads=1)", allc, one),
        ],
    )

    z, b, bottom, top = columns()
    args = (z, b, bottom, -0.005, top)
    np.testing.assert_allclose(cold_pool_numpy(*args), _kestrin.cold_pool(*args), rtol=1e-12)
    (base,) = best_of([lambda: cold_pool_numpy(*args)], 3)
    one, allc = best_of(
        [
            lambda: _kestrin.cold_pool(*args, n_threads=1),
            lambda: _kestrin.cold_pool(*args, n_threads=0),
        ],
        30,
    )
    # The 96 MB of z and b stream from memory; a tenth of it stays in cache
    # and shows what the threads gain when memory bandwidth does not bound.
    small = tuple(a[: 10**4] if isinstance(a, np.ndarray) else a for a in args)
    one_small, all_small = best_of(
        [
            lambda: _kestrin.cold_pool(*small, n_threads=1),
            lambda: _kestrin.cold_pool(*small, n_threads=0),
        ],
        100,
    )
    report(
        "cold_pool, 10^5 columns of 60 levels",
        [
            ("NumPy, vectorised over columns", base, None),
            ("cold_pool, n_threads=1 (vs NumPy)", one, base),
            ("cold_pool, all cores (vs NumPy)", allc, base),
            ("cold_pool, all cores (vs n_threads=1)", allc, one),
            ("10^4 columns, n_threads=1", one_small, None),
            ("10^4 columns, all cores (vs n_threads=1)", all_small, one_small),
        ],
    )


if __name__ == "__main__":
    main()
