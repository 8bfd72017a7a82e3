"""Timing helpers shared by the benchmark scripts (not tests)."""

import os
import platform
import time


def best(fn, repeat=5):
    """Best wall time of `repeat` calls, in seconds."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}"


def report(title, rows):
    """rows: (label, seconds, baseline seconds or None[, target ratio])."""
    print(f"\n{title}  [{machine()}]")
    for label, sec, base, *target in rows:
        ratio = f"  {base / sec:6.2f}x" if base else ""
        if target:
            met = "ok" if base / sec >= target[0] else "MISSED"
            ratio += f"  (target >= {target[0]:g}x: {met})"
        print(f"  {label:<44s} {sec * 1e3:9.1f} ms{ratio}")
