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
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

# Argument kinds, named after what the binding layer converts them to.
FLOATS = "float64 array"
INTS = "int64 array"
REAL = "real"
COUNT = "int64"
INT32 = "int32"
TEXT = "str"

ARRAYS = {FLOATS: np.float64, INTS: np.int64}

# Worker counts of the tests that compare results across them: one thread,
# a few, the hardware default (0 and negative), and far more than the cores.
THREADS = [1, 2, 3, 0, -1, max(64, 4 * (os.cpu_count() or 1) + 1)]


@dataclass(frozen=True)
class Function:
    module: str
    name: str
    params: tuple  # (name, kind) in call order, without n_threads
    block: int  # work items claimed at a time
    build: Callable  # (rng, n) -> {name: value}, valid, with n work items
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
        if isinstance(value, (float, str, bytes)):
            raise Refused
        try:
            v = operator.index(value)
        except TypeError:
            try:  # other numbers that int() converts, such as NumPy's float32
                v = int(value)
            except (TypeError, ValueError, OverflowError) as e:
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


def threads_back_to(before, timeout=5.0):
    """Whether the process is back to `before` threads. A joined thread can
    stay listed for a moment while the kernel reaps it, so poll briefly."""
    end = time.monotonic() + timeout
    while threads_alive() != before and time.monotonic() < end:
        time.sleep(0.005)
    return threads_alive() == before


def _holes(rng, *arrays, rate=0.05):
    """Missing values (NaN) at random places."""
    for a in arrays:
        a[rng.random(a.shape) < rate] = np.nan


def _rank_error(a, names):
    """The binding layer's IndexError when a length is read of a 0-d array."""
    for name in names:
        if a[name].ndim == 0:
            return IndexError("invalid axis: 0 (ndim = 0)")
    return None


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


def _cold_pool_build(rng, n):
    nlev = int(rng.integers(0, 12))
    z = np.cumsum(rng.uniform(1.0, 300.0, (n, nlev)), axis=1) - 50.0
    b = rng.normal(-0.01, 0.02, (n, nlev))
    _holes(rng, z, b)
    bottom = rng.uniform(-100.0, 400.0, n)
    top = rng.uniform(50.0, 1500.0, n)
    _holes(rng, bottom, rate=0.3)
    _holes(rng, top, rate=0.5)
    return {
        "z": z,
        "b": b,
        "bottom": bottom,
        "threshold": float(rng.uniform(-0.02, 0.01)),
        "top": top,
    }


def _cold_pool_invalid(rng):
    args = _cold_pool_build(rng, 6)
    args["b"] = np.zeros((6, args["z"].shape[1] + 1))
    return args


def _cold_pool_expect(a):
    if a["b"].ndim != 2 or a["z"].ndim != 2:
        return ValueError("z and b must be 2-D")
    if a["z"].shape != a["b"].shape:
        return ValueError("shape mismatch")
    ncol = a["z"].shape[0]
    if a["bottom"].size != ncol or a["top"].size != ncol:
        return ValueError("shape mismatch")
    return (3, ncol)


def _profile_build(rng, n):
    nlev = int(rng.integers(0, 12))
    z = np.cumsum(rng.uniform(50.0, 800.0, (n, nlev)), axis=1)
    u = rng.normal(5.0, 10.0, (n, nlev))
    v = rng.normal(0.0, 10.0, (n, nlev))
    _holes(rng, z, u, v)
    ground = z[:, 0] - 10.0 if nlev else rng.uniform(0.0, 100.0, n)
    cu, cv = rng.normal(0.0, 5.0, n), rng.normal(0.0, 5.0, n)
    _holes(rng, ground, cu, cv, rate=0.2)
    return {
        "z": z,
        "u": u,
        "v": v,
        "ground": ground,
        "bottom": float(rng.uniform(0.0, 500.0)),
        "top": float(rng.uniform(500.0, 3000.0)),
        "cu": cu,
        "cv": cv,
    }


def _profile_invalid(rng):
    args = _profile_build(rng, 6)
    args["cu"] = args["cu"][:5]
    return args


def _profile_expect(a):
    if a["u"].ndim != 2:
        return ValueError("u must be 2-D")
    ncol, nlev = a["u"].shape
    if a["z"].size != ncol * nlev or a["v"].size != a["z"].size:
        return ValueError("shape mismatch")
    if any(a[k].size != ncol for k in ("ground", "cu", "cv")):
        return ValueError("shape mismatch")
    return (7, ncol)


def _gradient_build(rng, n):
    # n work items are n grid rows: nb fields of ny rows each
    ny = next(k for k in (6, 5, 4, 3, 2, 1) if n % k == 0) if n else int(rng.integers(1, 5))
    nx = int(rng.integers(1, 9))
    f = rng.normal(0.0, 1.0, (n // ny, ny, nx))
    _holes(rng, f)
    return {
        "f": f,
        "x": np.cumsum(rng.uniform(0.5, 2.0, nx)),
        "y": np.cumsum(rng.uniform(0.5, 2.0, ny)),
    }


def _gradient_invalid(rng):
    args = _gradient_build(rng, 6)
    args["x"] = np.append(args["x"], 99.0)
    return args


def _gradient_expect(a):
    if a["f"].ndim != 3:
        return ValueError("f must be 3-D (batch, y, x)")
    nb, ny, nx = a["f"].shape
    if a["x"].size != nx or a["y"].size != ny:
        return ValueError("coordinate size")
    return (2, nb, ny, nx)


def _vad_build(rng, n):
    cols = int(rng.integers(0, 24))
    az = rng.uniform(0.0, 2 * np.pi, (n, cols))
    vr = 1.0 + 3.0 * np.sin(az) + 4.0 * np.cos(az) + rng.normal(0.0, 0.5, (n, cols))
    _holes(rng, vr, az)
    return {
        "vr": vr,
        "az": az,
        "cos_el": rng.uniform(0.5, 1.0, n),
        "min_gates": int(rng.integers(0, 10)),
        "min_spread": float(rng.uniform(0.0, 0.1)),
    }


def _vad_invalid(rng):
    args = _vad_build(rng, 6)
    args["az"] = np.zeros((6, args["vr"].shape[1] + 1))
    return args


def _vad_expect(a):
    if a["vr"].ndim != 2 or a["az"].ndim != 2:
        return ValueError("vr, az must be 2-D")
    if a["az"].shape != a["vr"].shape or a["cos_el"].size != a["vr"].shape[0]:
        return ValueError("shape mismatch")
    return (8, a["vr"].shape[0])


DART_ARRAYS = (
    "kind",
    "value",
    "variance",
    "lon",
    "lat",
    "height",
    "days",
    "secs",
    "radar_lon",
    "radar_lat",
    "radar_height",
    "beam",
    "nyquist",
    "velkey",
)


def _dart_build(rng, n):
    args = {k: rng.normal(0.0, 100.0, n) for k in DART_ARRAYS}
    args.update(
        kind=rng.integers(-1, 4, n),
        days=rng.integers(140000, 160000, n),
        secs=rng.integers(0, 86400, n),
        velkey=rng.integers(0, 1000, n),
        beam=rng.normal(0.0, 1.0, (n, 3)),
        vertical=int(rng.integers(-2, 4)),
    )
    _holes(rng, args["value"], args["height"])
    return args


def _dart_invalid(rng):
    args = _dart_build(rng, 6)
    args["value"] = args["value"][:5]
    return args


def _dart_expect(a):
    err = _rank_error(a, DART_ARRAYS)
    if err:
        return err
    if any(a[k].shape[0] != a["kind"].shape[0] for k in DART_ARRAYS):
        return ValueError("all record arrays must have the same length")
    if a["beam"].ndim != 2 or a["beam"].shape[1] != 3:
        return ValueError("beam must be (n, 3)")
    return bytes


WRFDA_LEVELS = ("rv", "rv_err", "rf", "rf_err", "rv_qc", "rf_qc")


def _wrfda_build(rng, n):
    nlev = int(rng.integers(0, 8))
    args = {k: rng.normal(0.0, 30.0, (n, nlev)) for k in WRFDA_LEVELS}
    args.update(
        centres=np.sort(rng.uniform(100.0, 15000.0, nlev)),
        col_lat=rng.uniform(-90.0, 90.0, n),
        col_lon=rng.uniform(-180.0, 180.0, n),
        col_elv=rng.uniform(0.0, 3000.0, n),
        rv_qc=rng.integers(-888, 3, (n, nlev)),
        rf_qc=rng.integers(-888, 3, (n, nlev)),
        stamp="2021-06-01_12:00:00",
    )
    _holes(rng, args["rv"], args["rf"])
    return args


def _wrfda_invalid(rng):
    args = _wrfda_build(rng, 6)
    args["rv"] = np.zeros((6, args["centres"].shape[0] + 1))
    return args


def _wrfda_expect(a):
    err = _rank_error(a, ("centres", "col_lat"))
    if err:
        return err
    nlev, n = a["centres"].shape[0], a["col_lat"].shape[0]
    if any(a[k].shape != (n, nlev) for k in WRFDA_LEVELS):
        return ValueError("level arrays must be (columns, levels)")
    for k in ("col_lon", "col_elv"):
        err = _rank_error(a, (k,))
        if err:
            return err
        if a[k].shape[0] != n:
            return ValueError("column arrays must have the same length")
    return bytes


F, I = FLOATS, INTS
TABLE = [
    Function(
        "_kestrin",
        "thermo",
        (("t", F), ("p", F), ("td", F)),
        4096,
        _thermo_build,
        _thermo_invalid,
        _thermo_expect,
    ),
    Function(
        "_kestrin",
        "cold_pool",
        (("z", F), ("b", F), ("bottom", F), ("threshold", REAL), ("top", F)),
        64,
        _cold_pool_build,
        _cold_pool_invalid,
        _cold_pool_expect,
    ),
    Function(
        "_kestrin",
        "profile",
        (
            ("z", F),
            ("u", F),
            ("v", F),
            ("ground", F),
            ("bottom", REAL),
            ("top", REAL),
            ("cu", F),
            ("cv", F),
        ),
        64,
        _profile_build,
        _profile_invalid,
        _profile_expect,
    ),
    Function(
        "_kestrin",
        "gradient",
        (("f", F), ("x", F), ("y", F)),
        8,
        _gradient_build,
        _gradient_invalid,
        _gradient_expect,
    ),
    Function(
        "_kestrin",
        "vad",
        (("vr", F), ("az", F), ("cos_el", F), ("min_gates", COUNT), ("min_spread", REAL)),
        64,
        _vad_build,
        _vad_invalid,
        _vad_expect,
    ),
    Function(
        "_marlode",
        "format_dart",
        tuple((k, I if k in ("kind", "days", "secs", "velkey") else F) for k in DART_ARRAYS)
        + (("vertical", INT32),),
        2048,
        _dart_build,
        _dart_invalid,
        _dart_expect,
        many_blocks=100,
    ),
    Function(
        "_marlode",
        "format_wrfda",
        (
            ("centres", F),
            ("col_lat", F),
            ("col_lon", F),
            ("col_elv", F),
            ("rv", F),
            ("rv_qc", I),
            ("rv_err", F),
            ("rf", F),
            ("rf_qc", I),
            ("rf_err", F),
            ("stamp", TEXT),
        ),
        2048,
        _wrfda_build,
        _wrfda_invalid,
        _wrfda_expect,
        many_blocks=100,
    ),
]


def _built(fn):
    try:
        return hasattr(importlib.import_module(fn.module), fn.name)
    except ModuleNotFoundError:
        return False


# Entries take effect as soon as their module binds the function.
FUNCTIONS = {f.name: f for f in TABLE if _built(f)}


def run_examples(obj, name, globs=None):
    """Runs the doctest examples of `obj`'s docstring; returns (examples, failures)."""
    import doctest

    globs = {"np": np, **(globs or {})}
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    examples = 0
    for test in doctest.DocTestFinder(recurse=False).find(obj, name, globs=globs):
        examples += len(test.examples)
        runner.run(test)
    return examples, runner.summarize(verbose=False).failed


def public_functions(module):
    """(name, function) of the functions a module's __all__ lists."""
    import inspect

    return [
        (n, getattr(module, n)) for n in module.__all__ if inspect.isfunction(getattr(module, n))
    ]


def check_profile(prof, bound):
    """Asserts that a wind profile of a synthetic volume (default wind) is within `bound`
    (m/s, scalar or per bin) of the true wind at each bin's mean height."""
    from radarkit.synthetic import default_wind

    has = prof["count"].values > 0
    assert has.sum() >= 10
    u_true, v_true = default_wind(prof["mean_height"].values[has])
    du = np.abs(prof["u"].values[has] - u_true)
    dv = np.abs(prof["v"].values[has] - v_true)
    b = bound if np.ndim(bound) == 0 else bound[has]
    assert np.all(du <= b), du.max()
    assert np.all(dv <= b), dv.max()
