"""Every exported function of both modules, as one table entry each, for the
tests that treat them alike (concurrency, properties, memory, huge worker
requests).

An entry says how to build valid random arguments with a given number of
work items and what a call must give back: `expect` receives the arguments
as the binding layer converts them and returns the shape of the float64
result, `bytes` for the writer's text, or the exception instance the call
must raise (an instance without arguments when only the type is fixed, as
for the binding layer's TypeError)."""
import importlib
import operator
import os
import warnings
from dataclasses import dataclass
from typing import Callable

import numpy as np

# Argument kinds, named after what the binding layer converts them to.
FLOATS = "float64 array"
INTS = "int64 array"
REAL = "real"
COUNT = "int64"
INT32 = "int32"
TEXT = "str"

ARRAYS = {FLOATS: np.float64, INTS: np.int64}


@dataclass(frozen=True)
class Function:
    module: str
    name: str
    params: tuple     # (name, kind) in call order, without n_threads
    block: int        # work items claimed at a time
    build: Callable   # (rng, n) -> {name: value}, valid, with n work items
    invalid: Callable  # (rng) -> {name: value} that the checks refuse
    expect: Callable  # ({name: converted value}) -> shape | bytes | exception
    many_blocks: int = 1000  # blocks of the largest-thread-count test

    @property
    def func(self):
        return getattr(importlib.import_module(self.module), self.name)

    def call(self, args, n_threads=0):
        return self.func(*(args[p] for p, _ in self.params), n_threads)

    def sizes(self):
        """Item counts around the block edges: none, one block, several."""
        b = self.block
        return [0, 1, b - 1, b + 1, 3 * b + 5]


class Refused(Exception):
    """The binding layer would refuse this argument (TypeError)."""


def convert(kind, value):
    """The value as the binding layer hands it to the function, or Refused."""
    if kind in ARRAYS:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                return np.array(value, dtype=ARRAYS[kind], order="C")
        except Exception as e:
            raise Refused from e
    if kind == REAL:
        if isinstance(value, (str, bytes)):
            raise Refused
        try:
            return float(value)
        except (TypeError, ValueError, OverflowError) as e:
            raise Refused from e
    if kind in (COUNT, INT32):
        bits = 64 if kind == COUNT else 32
        if isinstance(value, float):
            raise Refused
        try:
            v = operator.index(value)
        except TypeError as e:
            raise Refused from e
        if not -(2 ** (bits - 1)) <= v < 2 ** (bits - 1):
            raise Refused
        return v
    if kind == TEXT:
        if not isinstance(value, (str, bytes)):
            raise Refused
        return value
    raise AssertionError(kind)


def outcome(fn, args, n_threads):
    """What `fn` called with `args` and `n_threads` must give back."""
    try:
        conv = {p: convert(k, args[p]) for p, k in fn.params}
        convert(INT32, n_threads)
    except Refused:
        return TypeError()
    return fn.expect(conv)


def same(a, b):
    """Bit-identical results (NaN payloads and signed zeros included)."""
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    return type(a) is type(b) and a == b


def sanitizer():
    """Name of the sanitizer runtime loaded into this process, or None."""
    with open("/proc/self/maps") as maps:
        text = maps.read()
    for name in ("asan", "tsan"):
        if f"/lib{name}.so" in text:
            return name
    return None


def threads_alive():
    return len(os.listdir("/proc/self/task"))


def size(a):
    return int(np.prod(np.shape(a)))


def _thermo_build(rng, n):
    t = rng.uniform(200.0, 320.0, n)
    p = rng.uniform(10000.0, 105000.0, n)
    td = t - rng.uniform(-5.0, 40.0, n)
    td[rng.random(n) < 0.05] = np.nan
    return {"t": t, "p": p, "td": td}


def _thermo_invalid(rng):
    args = _thermo_build(rng, 6)
    args["p"] = args["p"][:5]
    return args


def _thermo_expect(a):
    n = a["t"].size
    if a["p"].size != n or a["td"].size != n:
        return ValueError("size mismatch")
    return (4, n)


ALL = [
    Function("_kestrin", "thermo", (("t", FLOATS), ("p", FLOATS), ("td", FLOATS)), 4096,
             _thermo_build, _thermo_invalid, _thermo_expect),
]

FUNCTIONS = {f.name: f for f in ALL}
