import math

import numpy as np
import pytest

import _kestrin
from cases import THREADS

NAN = math.nan


def reference(vr, az, cos_el, min_gates, min_spread):
    """One ring in Python floats, pass by pass with sin and cos recomputed and
    both halves of the symmetric matrix summed (same libm, no FMA)."""
    out = [NAN] * 8
    use = [(v, a) for v, a in zip(vr, az) if math.isfinite(v) and math.isfinite(a)]
    n = Ss = Sc = Sv = 0.0
    for v, a in use:
        n, Ss, Sc, Sv = n + 1, Ss + math.sin(a), Sc + math.cos(a), Sv + v
    out[4] = n
    if n < float(min_gates) or n < 3:
        return out
    sb, cb, vb = Ss / n, Sc / n, Sv / n
    S = [0.0] * 5
    for v, a in use:
        ds, dc, dv = math.sin(a) - sb, math.cos(a) - cb, v - vb
        S = [S[0] + ds * ds, S[1] + ds * dc, S[2] + dc * dc, S[3] + ds * dv, S[4] + dc * dv]
    Sss, Ssc, Scc, Ssv, Scv = S
    D2 = Sss * Scc - Ssc * Ssc
    if not D2 / (n * n) >= min_spread:
        return out
    a_, b_ = (Scc * Ssv - Ssc * Scv) / D2, (Sss * Scv - Ssc * Ssv) / D2
    c_ = (vb - a_ * sb) - b_ * cb
    E = 0.0
    for v, a in use:
        e = ((v - c_) - a_ * math.sin(a)) - b_ * math.cos(a)
        E += e * e
    out[:4] = [a_ / cos_el, b_ / cos_el, c_, math.sqrt(E / n)]
    S2s = S2c = 0.0
    for _, a in use:
        S2s, S2c = S2s + math.sin(a + a), S2c + math.cos(a + a)
    s2b, c2b = S2s / n, S2c / n
    M = [[0.0] * 4 for _ in range(4)]
    y = [0.0] * 4
    for v, a in use:
        x = [math.sin(a) - sb, math.cos(a) - cb, math.sin(a + a) - s2b, math.cos(a + a) - c2b]
        for i in range(4):
            for k in range(4):
                M[i][k] += x[i] * x[k]
            y[i] += x[i] * (v - vb)
    D4 = 1.0
    for j in range(3):
        p = j
        for i in range(j + 1, 4):
            if abs(M[i][j]) > abs(M[p][j]):
                p = i
        if M[p][j] == 0:
            return out
        if p != j:
            M[j], M[p], y[j], y[p], D4 = M[p], M[j], y[p], y[j], -D4
        D4 = D4 * M[j][j]
        for i in range(j + 1, 4):
            f = -M[i][j] / M[j][j]
            M[i][j:] = [M[j][k] * f + M[i][k] for k in range(j, 4)]
            y[i] = f * y[j] + y[i]
    if M[3][3] == 0 or D4 * M[3][3] == 0:
        return out
    D4 = D4 * M[3][3]
    if not D4 / (((n * n) * n) * n) >= 0.25 * min_spread:
        return out
    b3 = y[3] / M[3][3]
    b2 = (y[2] - M[2][3] * b3) / M[2][2]
    b1 = (y[1] - M[1][2] * b2 - M[1][3] * b3) / M[1][1]
    b0 = (y[0] - M[0][1] * b1 - M[0][2] * b2 - M[0][3] * b3) / M[0][0]
    out[5:] = [vb - b0 * sb - b1 * cb - b2 * s2b - b3 * c2b, b2, b3]
    return out


def rings(rows, cols=40, seed=0):
    """Rings of every kind: evenly spread, crowded into a sector, sparse, with
    NaN or infinite vr and az, and wholly missing."""
    rng = np.random.default_rng(seed)
    width = rng.choice([2 * np.pi, np.pi, 0.3, 0.05], rows)[:, None]
    az = rng.uniform(0.0, 1.0, (rows, cols)) * width + rng.uniform(-7.0, 7.0, (rows, 1))
    vr = 3 * np.sin(az) - 4 * np.cos(az) + np.cos(az + az) + rng.normal(0, 0.5, (rows, cols))
    gaps = rng.random((rows, cols)) < rng.choice([0.0, 0.3, 0.95], rows)[:, None]
    bad = rng.choice([np.nan, np.inf, -np.inf], (2, rows, cols))
    half = rng.random((rows, cols)) < 0.5
    vr, az = np.where(gaps & half, bad[0], vr), np.where(gaps & ~half, bad[1], az)
    vr[::17] = np.nan
    return vr, az, rng.uniform(0.3, 1.0, rows)


def expected(vr, az, cos_el, min_gates, min_spread):
    return (
        np.array([reference(v, a, e, min_gates, min_spread) for v, a, e in zip(vr, az, cos_el)])
        .reshape(-1, 8)
        .T
    )


@pytest.mark.threads
@pytest.mark.parametrize("rows", [1, 63, 64, 65, 129])
@pytest.mark.parametrize("n_threads", THREADS)
def test_bit_identical_to_reference_for_every_thread_count(rows, n_threads):
    vr, az, cos_el = rings(rows, seed=rows)
    got = _kestrin.vad(vr, az, cos_el, 5, 1e-3, n_threads)
    assert got.shape == (8, rows) and got.dtype == np.float64 and got.flags.c_contiguous
    np.testing.assert_array_equal(got, expected(vr, az, cos_el, 5, 1e-3))


@pytest.mark.parametrize(
    "min_gates,min_spread",
    [
        (0, 0.0),
        (-(2**63), -np.inf),
        (20, 0.05),
        (39, 1e-6),
        (2**63 - 1, 0.0),
        (3, np.nan),
        (3, 0.2),
    ],
)
def test_gates_match_reference(min_gates, min_spread):
    vr, az, cos_el = rings(100, seed=7)
    np.testing.assert_array_equal(
        _kestrin.vad(vr, az, cos_el, min_gates, min_spread),
        expected(vr, az, cos_el, min_gates, min_spread),
    )


def test_long_rings_give_the_same_bits():
    """Rings beyond the sample buffer recompute sin and cos on every pass."""
    vr, az, cos_el = rings(3, seed=3)
    pad = np.full((3, 1 << 16), np.nan)
    long = _kestrin.vad(np.hstack([pad, vr]), np.hstack([az[:, :1] + pad, az]), cos_el, 3, 1e-3)
    np.testing.assert_array_equal(long, _kestrin.vad(vr, az, cos_el, 3, 1e-3))


def eight_sample_ring():
    az = np.arange(8) * np.pi / 4
    return [1 + 3 * np.sin(az) + 4 * np.cos(az) + 0.5 * np.sin(2 * az) - 0.25 * np.cos(2 * az)], [
        az
    ]


@pytest.mark.parametrize(
    "vr,az,cos_el,min_gates,min_spread,want",
    [
        (*eight_sample_ring(), 0.5, 5, 0.1, [6, 8, 1, math.sqrt(0.15625), 8, 1, 0.5, -0.25]),
        (*eight_sample_ring(), 0.5, 9, 0.1, [NAN] * 4 + [8] + [NAN] * 3),
        ([[2.0, 2.0, 2.0]], [[0.0, 2.0, 4.0]], 1.0, 0, 1e-6, [0, 0, 2, 0, 3, NAN, NAN, NAN]),
        ([[1.0, 5.0, 2.0]], [[0.0, NAN, 1.0]], 1.0, -5, -np.inf, [NAN] * 4 + [2] + [NAN] * 3),
    ],
)
def test_worked_examples(vr, az, cos_el, min_gates, min_spread, want):
    got = _kestrin.vad(vr, az, cos_el, min_gates, min_spread)[:, 0]
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(got, reference(vr[0], az[0], cos_el, min_gates, min_spread))


@pytest.mark.parametrize(
    "spread,fits", [(2.2e-4, 0), (2.0e-4, 1), (6.4e-12, 1), (6.2e-12, 2), (0.0, 2)]
)
def test_samples_crowded_in_a_sector(spread, fits):
    az = np.deg2rad(np.arange(13) * 5.0)  # D2/n^2 about 2.1e-4, D4/n^4 about 1.6e-12
    vr = np.sin(az) + np.cos(az + az)
    got = _kestrin.vad([vr], [az], 1.0, 3, spread)[:, 0]
    assert np.isfinite(got[:4]).all() == (fits >= 1)
    assert np.isfinite(got[5:]).all() == (fits == 2)


def test_agrees_with_numpy_least_squares():
    rng = np.random.default_rng(5)
    for _ in range(20):
        cols = rng.integers(8, 200)
        az = np.sort(rng.uniform(0, 2 * np.pi, cols))
        vr = (
            rng.normal(0, 10)
            + rng.normal(0, 10, 4) @ [np.sin(az), np.cos(az), np.sin(2 * az), np.cos(2 * az)]
            + rng.normal(0, 1, cols)
        )
        cos_el = rng.uniform(0.5, 1)
        got = _kestrin.vad([vr], [az], cos_el, 3, 1e-4)[:, 0]
        X1 = np.stack([np.ones(cols), np.sin(az), np.cos(az)], 1)
        X2 = np.hstack([X1, np.stack([np.sin(2 * az), np.cos(2 * az)], 1)])
        b1 = np.linalg.lstsq(X1, vr, rcond=None)[0]
        b2 = np.linalg.lstsq(X2, vr, rcond=None)[0]
        rms = np.sqrt(np.mean((vr - X1 @ b1) ** 2))
        want = [b1[1] / cos_el, b1[2] / cos_el, b1[0], rms, cols, b2[0], b2[3], b2[4]]
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-9)


def test_degenerate_rings_give_nan_not_errors():
    same_az = _kestrin.vad([[1.0, 2.0, 3.0, 4.0]], [[0.5] * 4], 1.0, 0, 0.0)[:, 0]
    assert np.isnan(same_az[:4]).all() and same_az[4] == 4 and np.isnan(same_az[5:]).all()
    huge = _kestrin.vad([[1e308, -1e308, 1e308, 1e308]], [[0.0, 1.0, 2.0, 3.0]], 1.0, 0, 0.0)
    assert huge[4, 0] == 4


def test_missing_rows_and_columns():
    assert _kestrin.vad(np.empty((0, 5)), np.empty((0, 5)), [], 3, 0.1).shape == (8, 0)
    got = _kestrin.vad(np.empty((70, 0)), np.empty((70, 0)), np.ones(70), 3, 0.1)
    assert (got[4] == 0).all() and np.isnan(np.delete(got, 4, 0)).all()


def test_cos_el_shapes_and_values():
    vr, az = eight_sample_ring()
    vr, az = vr * np.arange(1, 5)[:, None], np.repeat(az, 4, axis=0)
    want = _kestrin.vad(vr, az, np.full(4, 0.5), 3, 0.0)
    for shape in [(4,), (4, 1), (1, 4), (2, 2)]:
        np.testing.assert_array_equal(_kestrin.vad(vr, az, np.full(shape, 0.5), 3, 0.0), want)
    zero = _kestrin.vad(vr, az, [0.0, np.nan, 0.5, 0.5], 3, 0.0)
    assert np.isinf(zero[:2, 0]).all() and np.isnan(zero[:2, 1]).all()
    np.testing.assert_array_equal(zero[2:], want[2:])


@pytest.mark.parametrize(
    "vr,az,cos_el,message",
    [
        (np.zeros(4), np.zeros((1, 4)), 1.0, "vr, az must be 2-D"),
        (np.zeros((1, 4)), np.zeros((1, 1, 4)), 1.0, "vr, az must be 2-D"),
        (np.zeros((2, 4)), np.zeros((2, 5)), [1.0, 1.0], "shape mismatch"),
        (np.zeros((2, 4)), np.zeros((1, 4)), [1.0, 1.0], "shape mismatch"),
        (np.zeros((2, 4)), np.zeros((2, 4)), 1.0, "shape mismatch"),
        (np.zeros((0, 4)), np.zeros((0, 4)), 1.0, "shape mismatch"),
    ],
)
def test_argument_errors(vr, az, cos_el, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _kestrin.vad(vr, az, cos_el, 3, 0.1)


@pytest.mark.parametrize("min_gates,min_spread", [(3.0, 0.1), (2**63, 0.1), (3, "0.1")])
def test_argument_types(min_gates, min_spread):
    with pytest.raises(TypeError):
        _kestrin.vad([[1.0, 2.0, 3.0]], [[0.0, 2.0, 4.0]], 1.0, min_gates, min_spread)
