import math

import numpy as np
import pytest

import _kestrin
from cases import THREADS


def reference(T, P, D):
    """The formulas one point at a time in Python floats (same libm, no FMA)."""
    Td = D if math.isnan(D) else (D if D < T else T)
    q = 100000.0 / P
    th = math.pow(q, 0.28542059262205427) * T
    if math.isnan(Td):
        return [math.nan, th, math.nan, math.nan]
    c = Td + (-273.15)
    e = math.exp((c * 17.67) / (c + 243.5)) * 611.2
    r = (e * 0.6219569156569429) / (P - e)
    thv = ((r / 0.6219569156569429 + 1) * th) / (r + 1)
    TL = 1 / (math.log(T / Td) / 800 + 1 / (Td - 56)) + 56
    rg = r * 1000
    A = math.pow(q, (rg * (-0.00028) + 1) * 0.2854) * T
    the = math.exp((rg * 0.00081 + 1) * ((3.376 / TL - 0.00254) * rg)) * A
    return [r, th, thv, the]


def random_points(n, seed=1):
    rng = np.random.default_rng(seed)
    t = rng.uniform(200.0, 320.0, n)
    p = rng.uniform(10000.0, 105000.0, n)
    td = t - rng.uniform(-5.0, 40.0, n)  # some dew points above t
    td[rng.random(n) < 0.05] = np.nan
    return t, p, td


@pytest.mark.threads
@pytest.mark.parametrize("n", [1, 4095, 4096, 4097, 9000])
@pytest.mark.parametrize("n_threads", THREADS)
def test_bit_identical_to_formulas_for_every_thread_count(n, n_threads):
    t, p, td = random_points(n)
    got = _kestrin.thermo(t, p, td, n_threads)
    want = np.array([reference(*x) for x in zip(t, p, td)]).T
    assert got.shape == (4, n) and got.dtype == np.float64 and got.flags.c_contiguous
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(
    "t,p,td,expected",
    [
        (300.0, 100000.0, 290.0, [0.0121624, 300.0, 302.1911, 335.8650]),
        (293.15, 85000.0, 283.15, [0.00911091, 307.0684, 308.7536, 334.9332]),
    ],
)
def test_worked_values(t, p, td, expected):
    got = _kestrin.thermo([t], [p], [td])[:, 0]
    np.testing.assert_allclose(got, expected, rtol=5e-6)


def test_theta_is_exact_at_reference_pressure():
    assert _kestrin.thermo(300.0, 100000.0, 290.0)[1, 0] == 300.0


def test_missing_values():
    out = _kestrin.thermo([300.0, np.nan, 300.0], [1e5, 1e5, np.nan], [np.nan, 290.0, 290.0])
    assert np.isnan(out[[0, 2, 3], 0]).all() and out[1, 0] == 300.0
    assert np.isnan(out[:, 1:]).all()


def test_dew_point_above_temperature_is_saturation():
    above = _kestrin.thermo([290.0], [90000.0], [295.0])
    equal = _kestrin.thermo([290.0], [90000.0], [290.0])
    np.testing.assert_array_equal(above, equal)
    assert equal[3, 0] > equal[1, 0]


def test_non_physical_values_are_stored_not_refused():
    out = _kestrin.thermo([300.0, np.inf], [0.0, 1e5], [290.0, 290.0])
    assert out[1, 0] == np.inf
    assert out.shape == (4, 2)


def test_shapes_pair_in_c_order():
    t, p, td = random_points(6)
    got = _kestrin.thermo(t.reshape(2, 3), p, td.reshape(3, 2))
    np.testing.assert_array_equal(got, _kestrin.thermo(t, p, td))
    assert got.shape == (4, 6)


@pytest.mark.parametrize(
    "t,p,td",
    [
        ([300.0, 301.0], 1e5, [290.0, 291.0]),
        ([300.0, 301.0], [1e5, 1e5], [290.0]),
        (np.zeros((2, 2)), np.zeros(4), np.zeros(5)),
        ([], [1e5], []),
    ],
)
def test_size_mismatch(t, p, td):
    with pytest.raises(ValueError, match=r"^size mismatch$"):
        _kestrin.thermo(t, p, td)


def test_empty_input():
    assert _kestrin.thermo([], [], np.empty((0, 3))).shape == (4, 0)


def test_argument_conversions_give_same_result():
    t, p, td = random_points(12)
    td = np.round(np.nan_to_num(td, nan=250.0))
    p = np.round(p)  # exact in float32
    want = _kestrin.thermo(t, p, td)
    wide = np.zeros((12, 3))
    wide[:, 1] = t
    assert wide[:, 1].flags.c_contiguous is False
    np.testing.assert_array_equal(
        _kestrin.thermo(wide[:, 1], p.tolist(), td.astype(np.int64)), want
    )
    np.testing.assert_array_equal(
        _kestrin.thermo(np.asfortranarray(t.reshape(3, 4)), p.astype(np.float32), tuple(td)),
        _kestrin.thermo(t.reshape(3, 4), p, td),
    )


def test_result_is_fresh_and_inputs_untouched():
    t, p, td = random_points(50)
    keep = [a.copy() for a in (t, p, td)]
    a = _kestrin.thermo(t, p, td)
    b = _kestrin.thermo(t, p, td)
    assert a is not b and not np.shares_memory(a, b)
    assert not any(np.shares_memory(a, x) for x in (t, p, td))
    a[:] = 0
    for x, k in zip((t, p, td), keep):
        np.testing.assert_array_equal(x, k)
