import math

import numpy as np
import pytest

import _kestrin
from cases import THREADS

NAN = math.nan


def max0(x):
    return 0.0 if x < 0 else x  # NaN passes, unlike max(0.0, x)


def reference(z, b, bottom, tau, top):
    """One column in Python floats, in the kernel's order and grouping."""
    ok = [math.isfinite(zk) and math.isfinite(bk) for zk, bk in zip(z, b)]
    start = [k for k in range(len(z)) if ok[k] and (not math.isfinite(bottom) or z[k] >= bottom)]
    if not start:
        return [NAN] * 3
    k = start[0]
    z0 = zp = z[k]
    bp = b[k]
    S = 0.0
    rest = [j for j in range(k + 1, len(z)) if ok[j]]
    if not math.isfinite(top):
        if bp >= tau:
            return [0.0, 0.0, 0.0]
        for j in rest:
            if b[j] >= tau:
                zc = ((z[j] - zp) * (tau - bp)) / (b[j] - bp) + zp
                I = (zc - zp) * ((-bp - tau) * 0.5) + S
                return [math.sqrt(max0(I + I)), zc - z0, 0.0]
            S = S + (z[j] - zp) * ((-bp - b[j]) * 0.5)
            zp, bp = z[j], b[j]
        return [math.sqrt(max0(S + S)), zp - z0, 1.0]
    zt = top + z0
    for j in rest:
        if z[j] >= zt:
            bt = ((b[j] - bp) * (zt - zp)) / (z[j] - zp) + bp
            I = ((-bp - bt) * 0.5) * (zt - zp) + S
            return [math.sqrt(max0(I + I)), top, 0.0]
        S = S + ((-bp - b[j]) * 0.5) * (z[j] - zp)
        zp, bp = z[j], b[j]
    return [NAN] * 3


def columns(ncol, nlev=12, seed=0):
    """Columns with missing levels (NaN or infinite z or b), bottoms that skip
    levels or all of them, threshold and fixed-depth modes, depths beyond the data."""
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.uniform(20.0, 200.0, (ncol, nlev)), axis=1) - 100.0
    b = rng.uniform(-0.05, -0.01, (ncol, 1)) + z * rng.uniform(0.0, 4e-5, (ncol, 1))
    b += rng.normal(0.0, 0.004, (ncol, nlev))
    bad = rng.choice([np.nan, np.inf, -np.inf], (2, ncol, nlev))
    gap = rng.random((ncol, nlev)) < rng.choice([0.0, 0.2, 0.9], (ncol, 1))
    half = rng.random((ncol, nlev)) < 0.5
    z, b = np.where(gap & half, bad[0], z), np.where(gap & ~half, bad[1], b)
    bottom = rng.choice([np.nan, np.inf, -np.inf, 0.0, 300.0, 1e5], ncol)
    top = rng.choice([np.nan, np.inf, 0.0, 150.0, 600.0, 1e5], ncol)
    return z, b, bottom, top


def expected(z, b, bottom, tau, top):
    return (
        np.array([reference(*c, tau, t) for c, t in zip(zip(z, b, bottom), top)]).reshape(-1, 3).T
    )


@pytest.mark.threads
@pytest.mark.parametrize("ncol", [1, 63, 64, 65, 200])
@pytest.mark.parametrize("n_threads", THREADS)
def test_bit_identical_to_reference_for_every_thread_count(ncol, n_threads):
    z, b, bottom, top = columns(ncol, seed=ncol)
    got = _kestrin.cold_pool(z, b, bottom, -0.005, top, n_threads)
    assert got.shape == (3, ncol) and got.dtype == np.float64 and got.flags.c_contiguous
    np.testing.assert_array_equal(got, expected(z, b, bottom, -0.005, top))


@pytest.mark.parametrize("threshold", [-0.02, 0.0, 1.0, -np.inf, np.nan])
def test_thresholds_match_reference(threshold):
    z, b, bottom, top = columns(150, seed=9)
    np.testing.assert_array_equal(
        _kestrin.cold_pool(z, b, bottom, threshold, top), expected(z, b, bottom, threshold, top)
    )


COLUMN = ([[0.0, 100.0, 200.0]], [[-0.02, -0.01, 0.0]])


@pytest.mark.parametrize(
    "z,b,bottom,threshold,top,want",
    [
        (*COLUMN, NAN, -0.005, NAN, [math.sqrt(3.75), 150.0, 0.0]),
        (*COLUMN, NAN, -0.005, 150.0, [math.sqrt(3.75), 150.0, 0.0]),
        (*COLUMN, NAN, 0.5, NAN, [2.0, 200.0, 1.0]),
        (*COLUMN, 50.0, -0.005, NAN, [math.sqrt(0.75), 50.0, 0.0]),
        (*COLUMN, NAN, -0.03, NAN, [0.0, 0.0, 0.0]),
        (*COLUMN, NAN, NAN, NAN, [2.0, 200.0, 1.0]),
        (*COLUMN, 250.0, -0.005, NAN, [NAN] * 3),
        (*COLUMN, NAN, -0.005, 200.0, [2.0, 200.0, 0.0]),
        (*COLUMN, NAN, -0.005, 201.0, [NAN] * 3),
        ([[0.0, NAN, 200.0]], [[-0.02, -0.01, NAN]], NAN, -0.005, NAN, [0.0, 0.0, 1.0]),
        ([[0.0, NAN, 200.0]], [[-0.02, -0.01, NAN]], NAN, -0.005, 50.0, [NAN] * 3),
        ([[NAN, NAN, NAN]], [[-0.02, -0.01, 0.0]], NAN, -0.005, NAN, [NAN] * 3),
    ],
)
def test_worked_examples(z, b, bottom, threshold, top, want):
    got = _kestrin.cold_pool(z, b, bottom, threshold, top)[:, 0]
    np.testing.assert_allclose(got, want, rtol=1e-14)
    np.testing.assert_array_equal(got, reference(z[0], b[0], bottom, threshold, top))


def test_degenerate_values_give_ieee_results():
    # repeated height in fixed-depth mode: 0/0 interpolation, NaN intensity
    got = _kestrin.cold_pool([[0.0, 0.0, 100.0]], [[-0.02, -0.01, 0.0]], NAN, 0.0, 0.0)[:, 0]
    assert math.isnan(got[0]) and list(got[1:]) == [0.0, 0.0]
    # integral overflowing to infinity
    got = _kestrin.cold_pool([[0.0, 1e300, 2e300]], [[-1e300, -1e300, 1.0]], NAN, 0.0, NAN)[:, 0]
    assert got[0] == np.inf and got[2] == 0.0


def test_no_levels_or_no_columns():
    got = _kestrin.cold_pool(np.empty((70, 0)), np.empty((70, 0)), np.zeros(70), 0.0, np.ones(70))
    assert got.shape == (3, 70) and np.isnan(got).all()
    assert _kestrin.cold_pool(np.empty((0, 5)), np.empty((0, 5)), [], 0.0, []).shape == (3, 0)


def test_keywords_in_any_order_and_per_column_shapes():
    z, b, bottom, top = columns(6, seed=4)
    want = _kestrin.cold_pool(z, b, bottom, -0.005, top)
    got = _kestrin.cold_pool(
        threshold=-0.005, top=top.reshape(2, 3), bottom=bottom.reshape(6, 1), b=b, z=z
    )
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(
    "z,b,bottom,top,message",
    [
        (np.zeros((4, 10)), np.zeros(10), np.zeros(4), np.zeros(4), "z and b must be 2-D"),
        (np.zeros(10), np.zeros((4, 10)), np.zeros(4), np.zeros(4), "z and b must be 2-D"),
        (np.zeros(10), np.zeros((4, 9)), 0.0, 0.0, "z and b must be 2-D"),
        (np.zeros((4, 10)), np.zeros((4, 9)), np.zeros(4), np.zeros(4), "shape mismatch"),
        (np.zeros((4, 10)), np.zeros((3, 10)), np.zeros(4), np.zeros(4), "shape mismatch"),
        (np.zeros((4, 10)), np.zeros((4, 10)), 0.0, np.zeros(4), "shape mismatch"),
        (np.zeros((4, 10)), np.zeros((4, 10)), np.zeros(4), np.zeros(5), "shape mismatch"),
        (np.zeros((0, 10)), np.zeros((0, 10)), [], 0.0, "shape mismatch"),
    ],
)
def test_argument_errors(z, b, bottom, top, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _kestrin.cold_pool(z, b, bottom, 0.0, top)


def test_threshold_must_be_a_number():
    with pytest.raises(TypeError):
        _kestrin.cold_pool([[0.0]], [[0.0]], 0.0, "0.5", 0.0)
