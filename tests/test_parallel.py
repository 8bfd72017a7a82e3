"""Worker-count rule and thread-start failures of the kernels' block runner,
observed through a preloaded shim that counts and fails thread creation."""

import pytest

pytestmark = pytest.mark.threads

SETUP = """
import os, numpy as np, _kestrin
def data(n): return np.linspace(250, 300, n), np.full(n, 9e4), np.linspace(240, 290, n)
"""


# One call of each kernel on n work items, and its block size.
KERNELS = {
    "thermo": (4096, "_kestrin.thermo(*data(n), n_threads=k)"),
    "cold_pool": (
        64,
        "a = np.zeros((n, 4)); _kestrin.cold_pool(a, a, np.ones(n), 0.0, np.ones(n), n_threads=k)",
    ),
    "profile": (
        64,
        "z, u = np.tile([0.0, 1000.0], n), np.ones((n, 2)); "
        "_kestrin.profile(z, u, u, np.zeros(n), 0.0, 500.0, np.zeros(n), np.zeros(n), "
        "n_threads=k)",
    ),
    "gradient": (
        8,
        "_kestrin.gradient(np.ones((1, n, 3)), [0.0, 1.0, 2.0], np.arange(n + 0.0), n_threads=k)",
    ),
    "vad": (64, "a = np.zeros((n, 4)); _kestrin.vad(a, a, np.ones(n), 3, 0.1, n_threads=k)"),
}


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize(
    "blocks,extra,n_threads,started",
    [
        (0, 0, 0, 0),
        (0, 1, 0, 0),
        (1, 0, 0, 0),
        (1, 0, 8, 0),
        (1, 1, 2, 1),
        (3, 0, 1000, 2),
        (20, 0, 1, 0),
        (20, 0, 3, 2),
    ],
)
def test_worker_count(run_shimmed, kernel, blocks, extra, n_threads, started):
    block, call = KERNELS[kernel]
    out = run_shimmed(
        SETUP
        + f"""
n, k = {blocks * block + extra}, {n_threads}
shim.faultshim_reset()
{call}
print(shim.faultshim_created())
"""
    )
    assert int(out) == started


@pytest.mark.parametrize("fail_at,started", [(1, 0), (2, 1), (4, 3)])
def test_failed_thread_start_joins_everything_and_raises(run_shimmed, fail_at, started):
    out = run_shimmed(
        SETUP
        + f"""
args = data(40 * 4096)
want = _kestrin.thermo(*args, n_threads=1)
before = threads_alive()
shim.faultshim_reset()
shim.faultshim_fail_at({fail_at})
try:
    _kestrin.thermo(*args, n_threads=6)
    print("no error")
except RuntimeError as e:
    print(str(e).startswith("thread constructor failed: "))
print(shim.faultshim_created(), threads_back_to(before))
again = _kestrin.thermo(*args, n_threads=6)
print(np.array_equal(again, want))
"""
    )
    assert out.split() == ["True", str(started), "True", "True"]


# The hardware concurrency is asked once per process, and only by a call
# that wants all hardware threads; a report of 0 means one worker.
ASKS = """
args = data(20 * 4096)
for k in (5, 0, -1):
    shim.faultshim_reset()
    _kestrin.thermo(*args, n_threads=k)
    print(shim.faultshim_nprocs_asks(), shim.faultshim_created())
"""


@pytest.mark.parametrize("reported,started", [(0, 0), (1, 0), (3, 2)])
def test_hardware_concurrency_asked_once(run_shimmed, reported, started):
    out = run_shimmed(SETUP + f"shim.faultshim_nprocs({reported})" + ASKS)
    assert out.split() == ["0", "4", "1", str(started), "0", str(started)]
