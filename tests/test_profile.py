import math

import numpy as np
import pytest

import _kestrin
from cases import THREADS

NAN = math.nan


def finite(*xs):
    return all(math.isfinite(x) for x in xs)


def wind_at(levels, t):
    """Height search of one column in Python floats; None when it fails."""
    low = None
    for z, u, v in levels:
        if z == t:
            return u, v
        if z > t:
            if low is not None:
                zl, ul, vl = low
                w = (t - zl) / (z - zl)
                return (u - ul) * w + ul, (v - vl) * w + vl
            return None if z - t > 1e-6 else (u, v)
        low = (z, u, v)
    if low is None or not (t - low[0] <= 1e-6):
        return None
    return low[1], low[2]


def reference(z, u, v, g, bottom, top, cu, cv):
    """One column, term by term in the kernel's order and grouping."""
    levels = [(a, b, c) for a, b, c in zip(z, u, v) if finite(a, b, c)]
    out = [NAN] * 7
    if not math.isfinite(g):
        if not levels:
            return out
        g = levels[0][0]
    if len(z) == 0:
        return out
    zb, zt = bottom + g, top + g
    lo, hi = wind_at(levels, zb), wind_at(levels, zt)
    if lo is None or hi is None:
        return out
    (ub, vb), (ut, vt) = lo, hi
    out[:4] = ub, vb, ut, vt
    zp, up, vp, su, sv, h = zb, ub, vb, 0.0, 0.0, 0.0
    for zk, uk, vk in levels:
        if zk <= zb:
            continue
        if zk >= zt:
            break
        su += ((up + uk) * 0.5) * (zk - zp)
        sv += ((vp + vk) * 0.5) * (zk - zp)
        h += (vp - cv) * (uk - cu) - (vk - cv) * (up - cu)
        zp, up, vp = zk, uk, vk
    if finite(cu, cv):
        out[4] = h + ((vp - cv) * (ut - cu) - (up - cu) * (vt - cv))
    if zb < zt:
        out[5] = (((ut + up) * 0.5) * (zt - zp) + su) / (zt - zb)
        out[6] = (((vt + vp) * 0.5) * (zt - zp) + sv) / (zt - zb)
    else:
        out[5], out[6] = ub, vb
    return out


def reference_all(z, u, v, ground, bottom, top, cu, cv):
    ncol, nlev = u.shape
    z, v = np.ravel(z).reshape(ncol, nlev), np.ravel(v).reshape(ncol, nlev)
    cols = [
        reference(
            z[c].tolist(),
            u[c].tolist(),
            v[c].tolist(),
            float(ground[c]),
            bottom,
            top,
            float(cu[c]),
            float(cv[c]),
        )
        for c in range(ncol)
    ]
    return np.array(cols, dtype=float).reshape(ncol, 7).T


def random_columns(ncol, nlev, seed):
    """Rising levels with holes, some unknown grounds and storm motions,
    some levels that coincide with the layer bounds used below."""
    rng = np.random.default_rng(seed)
    ground = rng.uniform(0.0, 800.0, ncol)
    z = ground[:, None] + np.cumsum(rng.uniform(50.0, 600.0, (ncol, nlev)), axis=1)
    z[:, 0] = ground
    z[::5, 2::3] = ground[::5, None] + 1000.0
    z = np.sort(z, axis=1)
    u = rng.normal(5.0, 8.0, (ncol, nlev))
    v = rng.normal(0.0, 8.0, (ncol, nlev))
    for a in (z, u, v):
        a[rng.random(a.shape) < 0.04] = np.nan
    u[rng.random(u.shape) < 0.01] = np.inf
    ground[rng.random(ncol) < 0.15] = np.nan
    ground[rng.random(ncol) < 0.05] = -np.inf
    cu = rng.normal(3.0, 4.0, ncol)
    cv = rng.normal(2.0, 4.0, ncol)
    cu[rng.random(ncol) < 0.05] = np.nan
    cv[rng.random(ncol) < 0.05] = np.inf
    return z, u, v, ground, cu, cv


LAYERS = [
    (0.0, 1000.0),
    (0.0, 3000.0),
    (500.0, 500.0),
    (2000.0, 1000.0),
    (-5e-7, 2500.0),
    (250.0, 4000.0),
    (0.0, 1e9),
    (NAN, 1000.0),
    (0.0, np.inf),
    (-np.inf, 0.0),
]


@pytest.mark.parametrize("seed,bottom,top", [(k, *b) for k, b in enumerate(LAYERS)])
def test_columns_bit_identical_to_python_transcription(seed, bottom, top):
    z, u, v, ground, cu, cv = random_columns(150, 14, seed)
    got = _kestrin.profile(z, u, v, ground, bottom, top, cu, cv)
    assert got.shape == (7, 150) and got.dtype == np.float64 and got.flags.c_contiguous
    np.testing.assert_array_equal(got, reference_all(z, u, v, ground, bottom, top, cu, cv))


@pytest.mark.threads
@pytest.mark.parametrize("ncol", [1, 63, 64, 65, 129, 700])
@pytest.mark.parametrize("n_threads", THREADS)
def test_same_bits_for_every_thread_count(ncol, n_threads):
    z, u, v, ground, cu, cv = random_columns(ncol, 9, seed=ncol)
    want = _kestrin.profile(z, u, v, ground, 100.0, 2500.0, cu, cv, n_threads=1)
    got = _kestrin.profile(z, u, v, ground, 100.0, 2500.0, cu, cv, n_threads=n_threads)
    assert got.tobytes() == want.tobytes()


RAMP = dict(z=[0.0, 1000.0, 2000.0], u=[0.0, 10.0, 20.0], v=[0.0, 0.0, 0.0])
STEP = dict(z=[0.0, 1000.0], u=[0.0, 10.0], v=[10.0, 10.0])
ALL_NAN = [NAN] * 7


@pytest.mark.parametrize(
    "col,ground,bottom,top,want",
    [
        (RAMP, 0.0, 0.0, 2000.0, [0, 0, 20, 0, 0, 10, 0]),
        (STEP, 0.0, 0.0, 1000.0, [0, 10, 10, 10, 100, 5, 10]),
        (RAMP, 0.0, 500.0, 2000.0, [5, 0, 20, 0, 0, 12.5, 0]),
        (RAMP, 0.0, 2000.0, 1000.0, [20, 0, 10, 0, 0, 20, 0]),
        (RAMP, 0.0, -1e-6, 1000.0, [0, 0, 10, 0, 0, 5, 0]),
        (RAMP, 0.0, -2e-6, 1000.0, ALL_NAN),
        (RAMP, 1000.0, 0.0, 1000.0, [10, 0, 20, 0, 0, 15, 0]),
        (RAMP, NAN, 1000.0, 1000.0, [10, 0, 10, 0, 0, 10, 0]),
        (
            dict(z=[150.0, 1000.0, 2000.0], **{k: RAMP[k] for k in "uv"}),
            NAN,
            0.0,
            850.0,
            [0, 0, 10, 0, 0, 5, 0],
        ),
        (
            dict(z=[NAN, 150.0, 1000.0], u=[99.0, 0.0, 10.0], v=[9.0, 0.0, 0.0]),
            -np.inf,
            0.0,
            850.0,
            [0, 0, 10, 0, 0, 5, 0],
        ),
        (
            dict(z=[-2000.0, -1000.0, 0.0], **{k: RAMP[k] for k in "uv"}),
            0.0,
            -1000.0,
            1e-6,
            [10, 0, 20, 0, 0, 15, 0],
        ),
        (
            dict(z=[-2000.0, -1000.0, 0.0], **{k: RAMP[k] for k in "uv"}),
            0.0,
            -1000.0,
            2e-6,
            ALL_NAN,
        ),
        (RAMP, 0.0, 0.0, 2500.0, ALL_NAN),
        (RAMP, np.inf, 0.0, 2000.0, [0, 0, 20, 0, 0, 10, 0]),
        (
            dict(z=[0.0, 1000.0, 2000.0], u=[0.0, NAN, 20.0], v=[0.0, 0.0, NAN]),
            0.0,
            0.0,
            1000.0,
            ALL_NAN,
        ),
    ],
)
def test_worked_columns(col, ground, bottom, top, want):
    out = _kestrin.profile(col["z"], [col["u"]], col["v"], [ground], bottom, top, [0.0], [0.0])
    # the layer depth is 1000 + 1e-6 in the tolerance cases, hence not 1e-12
    np.testing.assert_allclose(out[:, 0], want, rtol=1e-8, atol=0)


@pytest.mark.parametrize("level", [2, 3])
@pytest.mark.parametrize("bad", ["z", "u", "v"])
def test_missing_level_is_as_if_absent(level, bad):
    col = {
        "z": np.array([0.0, 400.0, 900.0, 1500.0, 2600.0, 3100.0]),
        "u": np.array([1.0, 4.0, 7.5, 9.0, 12.0, 15.0]),
        "v": np.array([-2.0, 0.5, 3.0, 6.0, 6.5, 7.0]),
    }
    keep = [k for k in range(6) if k != level]
    want = _kestrin.profile(
        col["z"][keep], col["u"][None, keep], col["v"][keep], 0.0, 1000.0, 3000.0, 2.0, -1.0
    )
    col[bad][level] = -np.inf if bad == "u" else np.nan
    got = _kestrin.profile(col["z"], col["u"][None], col["v"], 0.0, 1000.0, 3000.0, 2.0, -1.0)
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("ncol,nlev", [(0, 5), (0, 0), (4, 0)])
def test_empty_extents(ncol, nlev):
    out = _kestrin.profile(
        np.zeros(ncol * nlev),
        np.zeros((ncol, nlev)),
        np.zeros(ncol * nlev),
        np.zeros(ncol),
        0.0,
        1.0,
        np.zeros(ncol),
        np.zeros(ncol),
    )
    assert out.shape == (7, ncol) and np.isnan(out).all()


def test_other_shapes_with_the_right_counts_are_read_flat():
    z, u, v, ground, cu, cv = random_columns(6, 4, seed=9)
    want = _kestrin.profile(z, u, v, ground, 0.0, 1500.0, cu, cv)
    got = _kestrin.profile(
        z.reshape(-1),
        u,
        v.reshape(2, 3, 4),
        ground.reshape(3, 2),
        0.0,
        1500.0,
        cu.reshape(6, 1),
        cv.reshape(1, 6),
    )
    assert got.tobytes() == want.tobytes()
    one = _kestrin.profile(
        z=z[:1], v=v[:1].tolist(), u=u[:1], top=1500, bottom=0, ground=0, cu=np.float32(1.0), cv=2
    )
    assert (
        one.tobytes()
        == _kestrin.profile(z[:1], u[:1], v[:1], [0.0], 0.0, 1500.0, [1.0], [2.0]).tobytes()
    )


GOOD = dict(
    z=np.zeros(6),
    u=np.zeros((2, 3)),
    v=np.zeros(6),
    ground=np.zeros(2),
    cu=np.zeros(2),
    cv=np.zeros(2),
)


@pytest.mark.parametrize(
    "change,message",
    [
        (dict(u=np.zeros(6)), "u must be 2-D"),
        (dict(u=np.zeros((1, 2, 3))), "u must be 2-D"),
        (dict(u=5.0, z=np.zeros(7)), "u must be 2-D"),
        (dict(z=np.zeros(5)), "shape mismatch"),
        (dict(v=np.zeros((3, 3))), "shape mismatch"),
        (dict(ground=np.zeros(3)), "shape mismatch"),
        (dict(cu=0.0), "shape mismatch"),
        (dict(cv=np.zeros(6)), "shape mismatch"),
        (dict(z=np.zeros(2), cv=np.zeros(1)), "shape mismatch"),
    ],
)
def test_argument_errors(change, message):
    args = dict(GOOD, bottom=0.0, top=1.0, **change)
    with pytest.raises(ValueError, match=f"^{message}$"):
        _kestrin.profile(**args)


@pytest.mark.parametrize("bottom", ["0", None, [0.0]])
def test_layer_bounds_must_be_real_numbers(bottom):
    with pytest.raises(TypeError):
        _kestrin.profile(**GOOD, bottom=bottom, top=1.0)
