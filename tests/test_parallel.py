"""Worker-count rule and thread-start failures of the kernels' block runner,
observed through a preloaded shim that counts and fails thread creation."""
import pytest

pytestmark = pytest.mark.threads

THERMO = """
import os, numpy as np, _kestrin
def data(n): return np.linspace(250, 300, n), np.full(n, 9e4), np.linspace(240, 290, n)
"""


@pytest.mark.parametrize("n,n_threads,started", [
    (0, 0, 0), (1, 0, 0), (4096, 0, 0), (4096, 8, 0),
    (4097, 2, 1), (3 * 4096, 1000, 2), (20 * 4096, 1, 0), (20 * 4096, 3, 2),
])
def test_worker_count(run_shimmed, n, n_threads, started):
    out = run_shimmed(THERMO + f"""
args = data({n})
shim.faultshim_reset()
_kestrin.thermo(*args, n_threads={n_threads})
print(shim.faultshim_created())
""")
    assert int(out) == started


@pytest.mark.parametrize("fail_at,started", [(1, 0), (2, 1), (4, 3)])
def test_failed_thread_start_joins_everything_and_raises(run_shimmed, fail_at, started):
    out = run_shimmed(THERMO + f"""
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
""")
    assert out.split() == ["True", str(started), "True", "True"]
