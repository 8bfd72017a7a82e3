"""format_dart on 10^6 records (half radial velocity) and format_wrfda on 10^5
columns of 20 levels, against a pure-Python formatter of the same bytes, with
all cores and with one thread; then the peak memory of one call of each."""

import functools
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import _marlode  # noqa: E402
import reference_writer as ref  # noqa: E402
from common import best, report  # noqa: E402

CASES = {
    "dart": (
        "format_dart, 10^6 records, half radial velocity",
        lambda: ref.random_dart(10**6),
        _marlode.format_dart,
        ref.dart,
    ),
    "wrfda": (
        "format_wrfda, 10^5 columns of 20 levels",
        lambda: ref.random_wrfda(10**5, 20),
        _marlode.format_wrfda,
        ref.wrfda,
    ),
}


def status(field):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


def peak_of_call(case):
    """Runs in a fresh interpreter: the rise of the peak resident size during one
    call (C++ allocations included, which tracemalloc would not see) and the size
    of the text it returned."""
    _, make, fn, _ = CASES[case]
    args = make()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    base = status("VmRSS")
    text = fn(**args)
    print(status("VmHWM") - base, len(text))


def main():
    for case, (title, make, fn, python) in CASES.items():
        args = make()
        text = python(**args)
        assert fn(**args) == text and fn(**args, n_threads=1) == text
        # Calls bound now: a lambda would see whatever the loop names hold when it runs.
        base = best(functools.partial(python, **args), 1)
        one_thread, all_cores = (
            functools.partial(fn, **args, n_threads=1),
            functools.partial(fn, **args),
        )
        # Alternated, so that a change of load on a shared machine hits both.
        runs = [(best(one_thread, 1), best(all_cores, 1)) for _ in range(4)]
        one, allc = min(r[0] for r in runs), min(r[1] for r in runs)
        report(
            f"{title}, {len(text) / 1e6:.0f} MB of text",
            [
                ("pure-Python formatter", base, None),
                ("n_threads=1 (vs Python)", one, base),
                ("all cores (vs Python)", allc, base),
                ("all cores (vs n_threads=1)", allc, one),
            ],
        )
        del args, text, one_thread, all_cores
        out = subprocess.run(
            [sys.executable, __file__, "--peak", case], capture_output=True, text=True, check=True
        ).stdout.split()
        peak, size = int(out[0]), int(out[1])
        print(f"  peak memory of the call: {peak / 2**20:.0f} MiB = {peak / size:.2f}x the text")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        peak_of_call(sys.argv[2])
    else:
        main()
