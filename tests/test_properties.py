"""Every function driven with arbitrary arguments: shapes (0-d, empty,
mismatched, non-contiguous, other dtypes, lists), values (NaN, infinities,
subnormals, huge magnitudes, negative zero) and thread counts. Each call
returns a result of the documented shape or raises the documented exception;
the result equals the call on the converted arguments on one thread, never
shares memory with an input, and leaves the inputs as they were."""

import math
import struct
import warnings

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

from cases import ARRAYS, COUNT, FLOATS, FUNCTIONS, INT32, REAL, TEXT, convert, outcome, same

pytestmark = pytest.mark.threads

SPECIAL = [
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    5e-324,
    -1e-310,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e300,
]
floats = st.one_of(st.sampled_from(SPECIAL), st.floats())
int64s = st.integers(-(2**63), 2**63 - 1)

# Most draws keep an argument valid so that results get checked, not only refusals.
SHAPES = ["keep"] * 6 + ["flat", "lead", "split", "scalar", "empty", "short", "long"]
LAYOUTS = ["array"] * 4 + [
    "list",
    "strided",
    "reversed",
    "fortran",
    "readonly",
    "float32",
    "int64",
    "int8",
    "bool",
    "object",
]


def reshaped(a, how):
    flat = a.reshape(-1)
    if how == "flat":
        return flat.copy()
    if how == "lead":
        return a[np.newaxis].copy()
    if how == "split":
        k = flat.size
        return flat.reshape(2, k // 2).copy() if k % 2 == 0 else flat.reshape(k, 1).copy()
    if how == "scalar":
        return flat[:1].reshape(()).copy() if flat.size else np.zeros((), a.dtype)
    if how == "empty":
        return flat[:0].copy()
    if how == "short":
        return flat[:-1].copy() if flat.size else flat.copy()
    if how == "long":
        return np.concatenate([flat, flat[:1] if flat.size else np.zeros(1, a.dtype)])
    return a


def laid_out(a, how):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if how == "list":
            return a.tolist()
        if how == "strided":
            wide = np.zeros(a.shape + (2,), a.dtype)
            wide[..., 0] = a
            return wide[..., 0]
        if how == "reversed":
            return np.flip(np.flip(a).copy())
        if how == "fortran":
            return np.asfortranarray(a)
        if how == "readonly":
            c = a.copy()
            c.flags.writeable = False
            return c
        if how in ("float32", "int64", "int8", "bool", "object"):
            return a.astype(how)
    return a


@st.composite
def array_argument(draw, kind, a):
    a = np.array(a, dtype=ARRAYS[kind])
    if a.size and draw(st.booleans()):
        values = floats if kind == FLOATS else int64s
        for i, v in draw(st.lists(st.tuples(st.integers(0, a.size - 1), values), max_size=6)):
            a.flat[i] = v
    a = reshaped(a, draw(st.sampled_from(SHAPES)))
    return laid_out(a, draw(st.sampled_from(LAYOUTS)))


def scalar_argument(kind, value):
    if kind == REAL:
        return st.one_of(
            st.just(value),
            floats,
            st.integers(-(2**70), 2**70),
            st.just("1.0"),
            st.just(np.float32(2.5)),
        )
    if kind in (COUNT, INT32):
        bits = 64 if kind == COUNT else 32
        return st.one_of(
            st.just(value),
            st.integers(-(2**bits), 2**bits),
            st.just(2.0),
            st.just(np.int32(3)),
            st.just(np.float32(3.5)),
        )
    if kind == TEXT:
        return st.one_of(st.just(value), st.text(max_size=20), st.binary(max_size=20))
    raise AssertionError(kind)


thread_counts = st.one_of(
    st.sampled_from([0, 1, 2, 3, -1, 2**31 - 1, -(2**31)]),
    st.integers(-(2**31), 2**31 - 1),
)


@st.composite
def calls(draw, fn):
    seed = draw(st.integers(0, 2**32 - 1))
    args = fn.build(np.random.default_rng(seed), draw(st.sampled_from(fn.sizes())))
    for name, kind in fn.params:
        if draw(st.integers(0, 2)) == 0:
            continue
        if kind in ARRAYS:
            args[name] = draw(array_argument(kind, args[name]))
        else:
            args[name] = draw(scalar_argument(kind, args[name]))
    if draw(st.integers(0, 15)) == 7:  # the low end is drawn far more often
        n_threads = draw(st.sampled_from([2**31, -(2**31) - 1, 2.0, "1", np.float32(2.5)]))
    else:
        n_threads = draw(thread_counts)
    return args, n_threads


def frozen(x):
    """A comparable picture of a value, down to the bits of every float."""
    if isinstance(x, np.ndarray):
        if x.dtype == object:
            return ("object", x.shape, tuple(frozen(e) for e in x.reshape(-1)))
        return ("array", x.dtype.str, x.shape, x.strides, x.flags.writeable, x.tobytes())
    if isinstance(x, (list, tuple)):
        return (type(x), tuple(frozen(e) for e in x))
    if isinstance(x, float):
        return (type(x), struct.pack("<d", x))
    return (type(x), repr(x))


def check_result(want, got, args):
    if want is bytes:
        assert type(got) is bytes
        return
    assert isinstance(got, np.ndarray) and got.dtype == np.float64
    assert got.shape == want and got.flags.c_contiguous and got.flags.writeable
    for v in args.values():
        assert got is not v
        if isinstance(v, np.ndarray):
            assert not np.shares_memory(got, v)


@pytest.mark.parametrize("name", FUNCTIONS)
@given(data=st.data())
def test_any_arguments_give_documented_result_or_exception(name, data):
    fn = FUNCTIONS[name]
    args, n_threads = data.draw(calls(fn), label="call")
    before = {p: frozen(v) for p, v in args.items()}
    want = outcome(fn, args, n_threads)
    event(type(want).__name__ if isinstance(want, BaseException) else "result")
    if isinstance(want, BaseException):
        with pytest.raises(BaseException) as info:
            fn.call(args, n_threads)
        assert type(info.value) is type(want)
        if want.args:
            assert str(info.value) == str(want)
    else:
        got = fn.call(args, n_threads)
        check_result(want, got, args)
        converted = {p: convert(k, args[p]) for p, k in fn.params}
        alone = fn.call(converted, 1)
        assert same(got, alone)
        if isinstance(got, np.ndarray):
            assert not np.shares_memory(got, alone)
    assert {p: frozen(v) for p, v in args.items()} == before
