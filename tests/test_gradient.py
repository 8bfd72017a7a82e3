import math
import re

import numpy as np
import pytest

import _kestrin
from cases import THREADS

NAN = math.nan


def rule(vals, s, i):
    """Derivative at i of the sequence vals over coordinates s, in Python floats."""
    p = vals[i]
    has_a = i > 0 and math.isfinite(vals[i - 1])
    has_n = i + 1 < len(vals) and math.isfinite(vals[i + 1])
    if not math.isfinite(p):
        return NAN
    if has_a and has_n:
        return (vals[i + 1] - vals[i - 1]) / (s[i + 1] - s[i - 1])
    if has_n:
        return (vals[i + 1] - p) / (s[i + 1] - s[i])
    if has_a:
        return (p - vals[i - 1]) / (s[i] - s[i - 1])
    return NAN


def reference(f, x, y):
    f = np.asarray(f, dtype=float)
    nb, ny, nx = f.shape
    out = np.empty((2, nb, ny, nx))
    x, y = np.ravel(x).tolist(), np.ravel(y).tolist()
    for b in range(nb):
        for j in range(ny):
            row = f[b, j].tolist()
            for i in range(nx):
                out[0, b, j, i] = rule(row, x, i)
                out[1, b, j, i] = rule(f[b, :, i].tolist(), y, j)
    return out


def random_fields(nb, ny, nx, seed, holes=0.08):
    rng = np.random.default_rng(seed)
    f = rng.normal(0.0, 3.0, (nb, ny, nx))
    f[rng.random(f.shape) < holes] = np.nan
    f[rng.random(f.shape) < holes / 4] = rng.choice([np.inf, -np.inf])
    x = np.cumsum(rng.uniform(0.5, 2.0, nx)) - 3.0
    y = np.cumsum(rng.uniform(0.5, 2.0, ny)) + 10.0
    return f, x, y


SHAPES = [(1, 1, 1), (1, 1, 6), (2, 5, 1), (3, 9, 17), (2, 8, 33), (1, 17, 4), (4, 3, 2)]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_bit_identical_to_python_transcription(shape):
    f, x, y = random_fields(*shape, seed=sum(shape))
    got = _kestrin.gradient(f, x, y)
    assert got.shape == (2, *shape) and got.dtype == np.float64 and got.flags.c_contiguous
    np.testing.assert_array_equal(got, reference(f, x, y))


@pytest.mark.threads
@pytest.mark.parametrize("shape", [(1, 8, 70), (1, 9, 20), (3, 25, 40), (2, 64, 5)], ids=str)
@pytest.mark.parametrize("n_threads", THREADS)
def test_same_bits_for_every_thread_count(shape, n_threads):
    f, x, y = random_fields(*shape, seed=5)
    want = _kestrin.gradient(f, x, y, n_threads=1)
    assert _kestrin.gradient(f, x, y, n_threads).tobytes() == want.tobytes()


@pytest.mark.parametrize("seed", range(3))
def test_agrees_with_numpy_gradient_on_even_grids(seed):
    rng = np.random.default_rng(seed)
    nb, ny, nx = rng.integers(2, 40, 3)
    f = rng.normal(0.0, 1.0, (nb, ny, nx))
    dx, dy = rng.uniform(0.1, 5.0, 2)
    x = np.arange(nx) * dx - 7.0
    y = np.arange(ny) * dy + 3.0
    got = _kestrin.gradient(f, x, y)
    want_y, want_x = np.gradient(f, dy, dx, axis=(1, 2), edge_order=1)
    np.testing.assert_allclose(got[0], want_x, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(got[1], want_y, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize(
    "values,coords,want",
    [
        ([1.0, 2.0, 4.0], [0.0, 1.0, 3.0], [1.0, 1.0, 1.0]),
        ([1.0, NAN, 4.0, 5.0], [0.0, 1.0, 2.0, 3.0], [NAN, NAN, 1.0, 1.0]),
        ([1.0, np.inf, 4.0, 5.0], [0.0, 1.0, 2.0, 3.0], [NAN, NAN, 1.0, 1.0]),
        ([3.0, 5.0, -np.inf, 2.0], [0.0, 1.0, 3.0, 4.0], [2.0, 2.0, NAN, NAN]),
        ([1.0, 2.0, 3.0], [0.0, 0.0, 1.0], [np.inf, 2.0, 1.0]),
        ([1.0, 1.0, 3.0], [5.0, 5.0, 5.0], [NAN, np.inf, np.inf]),
        ([7.0], [2.0], [NAN]),
    ],
)
def test_worked_rows_along_both_axes(values, coords, want):
    n = len(values)
    with np.errstate(all="ignore"):
        along_x = _kestrin.gradient([[values]], coords, [0.0])
        along_y = _kestrin.gradient(np.reshape(values, (1, n, 1)), [0.0], coords)
    np.testing.assert_array_equal(along_x[0, 0, 0], want)
    np.testing.assert_array_equal(along_y[1, 0, :, 0], want)
    assert np.isnan(along_x[1]).all() and np.isnan(along_y[0]).all()


@pytest.mark.parametrize("shape", [(0, 4, 5), (3, 0, 5), (3, 4, 0), (0, 0, 0)], ids=str)
def test_empty_extents(shape):
    out = _kestrin.gradient(np.zeros(shape), np.zeros(shape[2]), np.zeros(shape[1]))
    assert out.shape == (2, *shape)


def test_coordinates_and_fields_of_any_layout():
    f, x, y = random_fields(2, 6, 5, seed=11, holes=0.0)
    want = _kestrin.gradient(f, x, y)
    got = _kestrin.gradient(np.asfortranarray(f), x.reshape(1, 5), y.reshape(2, 3, 1))
    assert got.tobytes() == want.tobytes()
    got = _kestrin.gradient(y=tuple(y), x=x.tolist(), f=f.tolist())
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize(
    "f,x,y,message",
    [
        (np.zeros((4, 5)), np.zeros(5), np.zeros(4), "f must be 3-D (batch, y, x)"),
        (np.zeros((1, 1, 4, 5)), np.zeros(5), np.zeros(4), "f must be 3-D (batch, y, x)"),
        (np.zeros((4, 5)), np.zeros(9), np.zeros(9), "f must be 3-D (batch, y, x)"),
        (np.zeros((1, 4, 5)), np.zeros(6), np.zeros(4), "coordinate size"),
        (np.zeros((1, 4, 5)), np.zeros(5), np.zeros(3), "coordinate size"),
        (np.zeros((1, 4, 5)), np.zeros((5, 2)), np.zeros(4), "coordinate size"),
        (np.zeros((1, 4, 1)), 0.0, np.zeros(5), "coordinate size"),
    ],
)
def test_argument_errors(f, x, y, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        _kestrin.gradient(f, x, y)
