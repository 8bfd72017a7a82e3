"""Calls from many Python threads at once, the interpreter lock released
while a call works, and requests for more workers than the system may give."""

import os
import random
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from cases import FUNCTIONS, outcome, same, sanitizer, threads_alive, threads_back_to

pytestmark = pytest.mark.threads

HERE = os.path.dirname(os.path.abspath(__file__))
CALLERS = 8
ROUNDS = 2 if sanitizer() else 10


def result(fn, args, n_threads):
    try:
        return fn.call(args, n_threads)
    except Exception as e:
        return (type(e), str(e))


def work_list():
    """Calls of every function at every size, valid and refused, with their
    results computed one at a time."""
    rng = np.random.default_rng(11)
    work = []
    for fn in FUNCTIONS.values():
        for n in fn.sizes():
            args = fn.build(rng, n)
            for n_threads in (0, 1, 3):
                work.append((fn, args, n_threads, result(fn, args, n_threads)))
        bad = fn.invalid(rng)
        want = outcome(fn, bad, 2)
        assert result(fn, bad, 2) == (type(want), str(want))
        work.append((fn, bad, 2, (type(want), str(want))))
    return work


def test_concurrent_callers_get_what_each_call_gives_alone():
    work = work_list()
    copies = [{k: np.copy(v) for k, v in args.items()} for _, args, _, _ in work]
    before = threads_alive()
    start = threading.Barrier(CALLERS)
    wrong = []

    def caller(seed):
        order = random.Random(seed)
        start.wait()
        for _ in range(ROUNDS):
            for fn, args, n_threads, want in order.sample(work, len(work)):
                got = result(fn, args, n_threads)
                if not same(got, want):
                    wrong.append((fn.name, n_threads, got))

    callers = [threading.Thread(target=caller, args=(k,)) for k in range(CALLERS)]
    for t in callers:
        t.start()
    for t in callers:
        t.join()
    assert wrong == []
    assert threads_back_to(before)
    for (_, args, _, _), kept in zip(work, copies):
        for k in args:
            assert same(np.asarray(args[k]), kept[k])


def long_arguments(fn, seconds):
    """Arguments with which one call on one thread lasts at least `seconds`."""
    rng = np.random.default_rng(5)
    n = fn.block
    while True:
        args = fn.build(rng, n)
        # rings and columns of random width: narrow draws spend the time
        # building arrays rather than in the call
        while fn.name in ("vad", "cold_pool") and next(iter(args.values())).shape[1] < 8:
            args = fn.build(rng, n)
        t0 = time.perf_counter()
        fn.call(args, 1)
        took = time.perf_counter() - t0
        if took >= seconds:
            return args
        assert n < 10**8, "the call does not take longer with more items"
        n = int(n * min(16.0, max(2.0, 1.5 * seconds / max(took, 1e-6))))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_python_thread_progresses_during_a_long_call(name):
    # A call that kept the interpreter lock would leave one gap in the ticks
    # as long as the call itself (the lock changes hands only between
    # bytecodes); with the lock released the ticks go on, gaps being
    # scheduling noise of a loaded machine.
    fn = FUNCTIONS[name]
    args = long_arguments(fn, 0.2)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            sum(range(100))
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        time.sleep(0.05)
        t0 = time.perf_counter()
        fn.call(args, 1)
        t1 = time.perf_counter()
    finally:
        stop.set()
        t.join()
    during = [t0] + [x for x in ticks if t0 < x < t1] + [t1]
    assert max(np.diff(during)) < 0.5 * (t1 - t0), (len(during), t1 - t0)


HUGE = """
import resource, sys
sys.path.insert(0, {here!r})
import numpy as np
from cases import FUNCTIONS, same, threads_alive, threads_back_to
fn = FUNCTIONS[{name!r}]
args = fn.build(np.random.default_rng(3), {n})
want = fn.call(args, 1)
before = threads_alive()
limited = {limited!r}
if limited:
    # room for the result and a few dozen thread stacks, then the system refuses
    vm = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize"))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + (256 << 20), hard))
try:
    got = fn.call(args, 2**31 - 1)
    print("same" if same(got, want) else "different")
except RuntimeError as e:
    print("refused" if str(e).startswith("thread constructor failed: ") else repr(e))
except MemoryError:
    print("memory")
if limited:
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
print(threads_back_to(before), same(fn.call(args, 3), want))
"""


def run_huge(name, limited):
    fn = FUNCTIONS[name]
    code = HUGE.format(here=HERE, name=name, n=fn.many_blocks * fn.block, limited=limited)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.split()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_largest_thread_count_on_many_blocks_works(name):
    # one worker per block: as many threads as the system gives
    assert run_huge(name, limited=False) == ["same", "True", "True"]


@pytest.mark.skipif(sanitizer() is not None, reason="sanitizer runtimes need the address space")
@pytest.mark.parametrize("name", FUNCTIONS)
def test_largest_thread_count_refused_by_the_system_raises(name):
    out = run_huge(name, limited=True)
    assert out[0] in ("refused", "memory") and out[1:] == ["True", "True"], out
