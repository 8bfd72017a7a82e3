"""The writer's block runner and number writers, seen through both formats:
thread-count invariance, worker counts and failures on worker threads
(through the preloaded shim), and the exact text of the number fields."""

import os
import threading
import time

import numpy as np
import pytest

import reference_writer as ref
from _marlode import format_dart, format_wrfda
from cases import THREADS, sanitizer


@pytest.fixture(scope="module", params=[2047, 2048, 2049, 6500])
def dart_case(request):
    args = ref.random_dart(request.param, request.param)
    return args, ref.dart(**args)


@pytest.fixture(scope="module", params=[2047, 2048, 2049, 6500])
def wrfda_case(request):
    args = ref.random_wrfda(request.param, 3, request.param)
    return args, ref.wrfda(**args)


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", THREADS)
def test_dart_same_bytes_for_every_thread_count(dart_case, n_threads):
    args, want = dart_case
    assert format_dart(**args, n_threads=n_threads) == want


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", THREADS)
def test_wrfda_same_bytes_for_every_thread_count(wrfda_case, n_threads):
    args, want = wrfda_case
    assert format_wrfda(**args, n_threads=n_threads) == want


@pytest.mark.parametrize(
    "x,text",
    [
        (12.5, b"   1.2500000000000000E+01"),
        (-0.25, b"  -2.5000000000000000E-01"),
        (1e100, b"  1.0000000000000000E+100"),
        (-0.0, b"  -0.0000000000000000E+00"),
        (5e-324, b"  4.9406564584124654E-324"),
        (-1.7976931348623157e308, b" -1.7976931348623157E+308"),
        (0.1, b"   1.0000000000000001E-01"),
        (np.inf, b" " * 22 + b"INF"),
        (-np.inf, b" " * 21 + b"-INF"),
        (np.nan, b" " * 22 + b"NAN"),
        (-np.nan, b" " * 21 + b"-NAN"),
    ],
)
def test_e_field_is_25_characters(x, text):
    args = {k: v[:1] for k, v in ref.random_dart(1).items() if k != "vertical"}
    out = format_dart(**{**args, "value": [x]}, vertical=3).split(b"\n")
    assert out[1] == text


COUNT = f"""
import os, sys
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
import _marlode, reference_writer as ref
"""


@pytest.mark.parametrize(
    "n,n_threads,started",
    [
        (0, 0, 0),
        (1, 8, 0),
        (2048, 8, 0),
        (2049, 1000, 1),
        (2049, 1, 0),
        (3 * 2048, 1000, 2),
        (20 * 2048, 1, 0),
        (20 * 2048, 3, 2),
        (20 * 2048, -1, min(os.cpu_count() or 1, 20) - 1),
    ],
)
def test_worker_count(run_shimmed, n, n_threads, started):
    out = run_shimmed(
        COUNT
        + f"""
args = ref.random_wrfda({n}, 1)
shim.faultshim_reset()
_marlode.format_wrfda(**args, n_threads={n_threads})
print(shim.faultshim_created())
"""
    )
    assert int(out) == started


FAILURES = (
    COUNT
    + """
shim.faultshim_fail_malloc_off_main.argtypes = [ctypes.c_size_t]
args = ref.random_dart(40 * 2048)
want = _marlode.format_dart(**args, n_threads=1)
before = threads_alive()
shim.faultshim_reset()
{arm}
try:
    _marlode.format_dart(**args, n_threads=3)
    print("no-error")
except Exception as e:
    print(type(e).__name__, str(e).replace(" ", "_"))
shim.faultshim_fail_malloc_off_main(0)
print(shim.faultshim_created(), threads_back_to(before))
print(_marlode.format_dart(**args, n_threads=3) == want)
"""
)


@pytest.mark.parametrize(
    "arm,error,message,started",
    [
        ("shim.faultshim_fail_at(1)", "RuntimeError", "thread_constructor_failed:_", 0),
        ("shim.faultshim_fail_at(2)", "RuntimeError", "thread_constructor_failed:_", 1),
        # every block string of a started thread fails to allocate
        pytest.param(
            "shim.faultshim_fail_malloc_off_main(1 << 20)",
            "MemoryError",
            "std::bad_alloc",
            2,
            marks=pytest.mark.skipif(
                sanitizer() is not None, reason="the sanitizer runtime owns malloc"
            ),
        ),
    ],
    ids=["first-start", "second-start", "worker-memory"],
)
def test_failure_ends_call_after_all_threads_stopped(run_shimmed, arm, error, message, started):
    out = run_shimmed(FAILURES.format(arm=arm)).split()
    assert out[0] == error and out[1].startswith(message)
    assert out[2:] == [str(started), "True", "True"]


def test_other_python_threads_run_while_formatting():
    args = ref.random_dart(100_000, 9)
    gaps, done = [], threading.Event()

    def spin():
        last = time.perf_counter()
        while not done.is_set():
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    spinner = threading.Thread(target=spin)
    spinner.start()
    t0 = time.perf_counter()
    format_dart(**args, n_threads=1)
    call = time.perf_counter() - t0
    done.set()
    spinner.join()
    # Holding the lock for the call would stall the spinner for all of it.
    assert max(gaps) < call / 2
