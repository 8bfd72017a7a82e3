"""gradient on 16 fields of 1000 x 1000 against numpy.gradient and a plain copy
of the output bytes; profile on 10^5 columns of 60 levels against the same
algorithm in NumPy, vectorised over columns (a Python loop over levels)."""

import numpy as np

import _kestrin
from common import best, report

EPS = 1e-6


def wind_at(Z, U, V, valid, t):
    """Height search of every column at once; NaN where a column fails."""
    ncol, nlev = Z.shape
    ru, rv = np.full(ncol, np.nan), np.full(ncol, np.nan)
    zl, ul, vl = (np.full(ncol, np.nan) for _ in range(3))
    has_lo = np.zeros(ncol, bool)
    open_ = np.ones(ncol, bool)
    for k in range(nlev):
        zk, uk, vk = Z[:, k], U[:, k], V[:, k]
        act = valid[:, k] & open_
        eq = act & (zk == t)
        above = act & (zk > t)
        mid = above & has_lo
        edge = above & ~has_lo & ~(zk - t > EPS)
        w = (t - zl) / (zk - zl)
        ru = np.where(eq | edge, uk, np.where(mid, (uk - ul) * w + ul, ru))
        rv = np.where(eq | edge, vk, np.where(mid, (vk - vl) * w + vl, rv))
        open_ &= ~(eq | above)
        below = act & ~eq & ~above
        zl, ul, vl = np.where(below, zk, zl), np.where(below, uk, ul), np.where(below, vk, vl)
        has_lo |= below
    end = open_ & has_lo & (t - zl <= EPS)
    return np.where(end, ul, ru), np.where(end, vl, rv)


def profile_numpy(Z, U, V, ground, bottom, top, cu, cv):
    ncol, nlev = U.shape
    valid = np.isfinite(Z) & np.isfinite(U) & np.isfinite(V)
    first = Z[np.arange(ncol), np.argmax(valid, axis=1)]
    g = np.where(np.isfinite(ground), ground, np.where(valid.any(axis=1), first, np.nan))
    zb, zt = bottom + g, top + g
    ub, vb = wind_at(Z, U, V, valid, zb)
    ut, vt = wind_at(Z, U, V, valid, zt)
    zp, up, vp = zb.copy(), ub.copy(), vb.copy()
    su, sv, h = np.zeros(ncol), np.zeros(ncol), np.zeros(ncol)
    walking = np.ones(ncol, bool)
    for k in range(nlev):
        zk, uk, vk = Z[:, k], U[:, k], V[:, k]
        inside = walking & valid[:, k] & ~(zk <= zb)
        walking &= ~(inside & (zk >= zt))
        add = inside & walking
        su = np.where(add, su + ((up + uk) * 0.5) * (zk - zp), su)
        sv = np.where(add, sv + ((vp + vk) * 0.5) * (zk - zp), sv)
        h = np.where(add, h + ((vp - cv) * (uk - cu) - (vk - cv) * (up - cu)), h)
        zp, up, vp = np.where(add, zk, zp), np.where(add, uk, up), np.where(add, vk, vp)
    ok = np.isfinite(ub) & np.isfinite(ut)
    srh = np.where(
        np.isfinite(cu) & np.isfinite(cv),
        h + ((vp - cv) * (ut - cu) - (up - cu) * (vt - cv)),
        np.nan,
    )
    deep = zb < zt
    mu = np.where(deep, (((ut + up) * 0.5) * (zt - zp) + su) / (zt - zb), ub)
    mv = np.where(deep, (((vt + vp) * 0.5) * (zt - zp) + sv) / (zt - zb), vb)
    rows = [ub, vb, ut, vt, srh, mu, mv]
    return np.stack([np.where(ok, r, np.nan) for r in rows])


def columns(ncol=10**5, nlev=60, seed=0):
    rng = np.random.default_rng(seed)
    ground = rng.uniform(0.0, 1500.0, ncol)
    Z = ground[:, None] + np.cumsum(rng.uniform(100.0, 400.0, (ncol, nlev)), axis=1) - 100.0
    turn = np.linspace(0.0, 2.0, nlev) + rng.normal(0.0, 0.2, (ncol, 1))
    speed = np.linspace(5.0, 30.0, nlev) * rng.uniform(0.5, 1.5, (ncol, 1))
    U, V = speed * np.cos(turn), speed * np.sin(turn)
    U[rng.random(U.shape) < 0.01] = np.nan
    ground[rng.random(ncol) < 0.02] = np.nan
    cu, cv = rng.normal(8.0, 2.0, ncol), rng.normal(4.0, 2.0, ncol)
    return Z, U, V, ground, cu, cv


def bench_gradient():
    nb, n = 16, 1000
    rng = np.random.default_rng(1)
    f = rng.normal(0.0, 1.0, (nb, n, n))
    x, y = np.arange(n) * 2.0, np.arange(n) * 3.0
    out_bytes = np.ones((2, nb, n, n))
    with np.errstate(all="ignore"):
        ny_, nx_ = np.gradient(f, 3.0, 2.0, axis=(1, 2))
    got = _kestrin.gradient(f, x, y)
    assert np.allclose(got[0], nx_, rtol=1e-12) and np.allclose(got[1], ny_, rtol=1e-12)
    del got, ny_, nx_
    base = best(lambda: np.gradient(f, 3.0, 2.0, axis=(1, 2)), 5)
    copy = best(lambda: out_bytes.copy(), 7)
    one = best(lambda: _kestrin.gradient(f, x, y, 1), 7)
    allc = best(lambda: _kestrin.gradient(f, x, y, 0), 7)
    report(
        "gradient, 16 fields of 1000 x 1000 (both axes)",
        [
            ("numpy.gradient, both axes", base, None),
            ("copy of the output bytes (256 MB)", copy, None),
            ("gradient, n_threads=1 (vs numpy.gradient)", one, base),
            ("gradient, all cores (vs numpy.gradient)", allc, base),
            ("gradient, all cores (vs copy)", allc, copy),
            ("gradient, all cores (vs n_threads=1)", allc, one),
        ],
    )


def bench_profile():
    Z, U, V, ground, cu, cv = columns()
    args = (Z, U, V, ground, 0.0, 3000.0, cu, cv)
    with np.errstate(all="ignore"):
        want = profile_numpy(*args)
        assert np.allclose(_kestrin.profile(*args), want, rtol=1e-12, equal_nan=True)
        base = best(lambda: profile_numpy(*args), 3)
    one = best(lambda: _kestrin.profile(*args, n_threads=1))
    allc = best(lambda: _kestrin.profile(*args, n_threads=0))
    report(
        "profile, 10^5 columns of 60 levels, 0-3 km layer",
        [
            ("NumPy, vectorised over columns", base, None),
            ("profile, n_threads=1 (vs NumPy)", one, base),
            ("profile, all cores (vs NumPy)", allc, base),
            ("profile, all cores (vs n_threads=1)", allc, one),
        ],
    )


def main():
    bench_gradient()
    bench_profile()


if __name__ == "__main__":
    main()
