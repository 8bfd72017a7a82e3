"""Fixed cost of one call: every kernel and both formatters on inputs of one
element, against one NumPy ufunc call (np.add on arrays of one element), and
each function called through the radarkit package against the compiled
module directly. All timings interleaved in one run."""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import numpy as np  # noqa: E402

import _kestrin  # noqa: E402
import _marlode  # noqa: E402
import radarkit  # noqa: E402
import reference_writer as ref  # noqa: E402
from common import machine  # noqa: E402

KERNEL_TARGET = 3e-6  # s per call
FORMATTER_TARGET = 6e-6
WRAPPER_TARGET = 0.3e-6  # s added by the package layer


def one_element_calls():
    """name -> (module, positional arguments, keyword arguments), every
    array already float64 or int64 and contiguous."""
    a = np.zeros((1, 4))
    one = np.ones(1)
    zero = np.zeros(1)
    u = np.ones((1, 2))
    dart = ref.random_dart(1)
    vertical = dart.pop("vertical")
    return {
        "thermo": (_kestrin, (np.full(1, 290.0), np.full(1, 9e4), np.full(1, 280.0)), {}),
        "cold_pool": (_kestrin, (a, a, one, 0.0, one), {}),
        "profile": (
            _kestrin,
            (np.array([0.0, 1000.0]), u, u, zero, 0.0, 500.0, zero, zero),
            {},
        ),
        "gradient": (_kestrin, (np.ones((1, 1, 3)), np.arange(3.0), np.arange(1.0)), {}),
        "vad": (_kestrin, (a, a, one, 3, 0.1), {}),
        "format_dart": (_marlode, (), {**dart, "vertical": vertical}),
        "format_wrfda": (_marlode, (), ref.random_wrfda(1, 1)),
    }


def limit(seconds):
    return f"{'<=' + format(seconds * 1e6, 'g'):>6s}us"


def per_call(fn, calls):
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t0) / calls


def main(calls=20000, repeat=9):
    x = np.ones(1)
    y = np.ones(1)
    timed = {"np.add": lambda: np.add(x, y)}
    for name, (module, args, kwargs) in one_element_calls().items():
        compiled = getattr(module, name)
        wrapped = getattr(radarkit, name)
        timed[name] = lambda f=compiled, a=args, k=kwargs: f(*a, **k)
        timed["radarkit." + name] = lambda f=wrapped, a=args, k=kwargs: f(*a, **k)
    for fn in timed.values():
        fn()
    # Interleaved rounds, best of each: a change of load on a shared machine
    # hits every function alike.
    best = dict.fromkeys(timed, float("inf"))
    for _ in range(repeat):
        for label, fn in timed.items():
            best[label] = min(best[label], per_call(fn, calls))

    base = best["np.add"]
    print(f"\nPer-call cost on inputs of one element  [{machine()}]")
    print(f"  np.add on arrays of one element: {base * 1e6:.2f} us")
    print(
        f"  {'function':<14s} {'per call':>9s} {'vs np.add':>10s} {'target':>8s}"
        f"   {'via radarkit':>12s} {'added':>8s} {'target':>8s}"
    )
    for name, (module, _, _) in one_element_calls().items():
        t = best[name]
        target = KERNEL_TARGET if module is _kestrin else FORMATTER_TARGET
        wrapped = best["radarkit." + name]
        added = wrapped - t
        print(
            f"  {name:<14s} {t * 1e6:7.2f}us {t / base:9.1f}x {limit(target)}"
            f" {'ok' if t <= target else 'MISSED':>6s}"
            f" {wrapped * 1e6:8.2f}us {added * 1e6:+7.2f}us {limit(WRAPPER_TARGET)}"
            f" {'ok' if added <= WRAPPER_TARGET else 'MISSED':>6s}"
        )


if __name__ == "__main__":
    main()
