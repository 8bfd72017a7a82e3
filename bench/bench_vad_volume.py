"""vad on a NEXRAD-like volume laid out as the radar layer hands it over: 14
sweeps of 720 rays by 1000 gates become 14,000 rings of 720 samples, one ring
per range gate, and the rings of one sweep share their azimuth row.

Baselines measured in the same run:
- the same volume with every other ring's azimuths moved up by one ulp, so no
  two consecutive rings share a row and every ring computes its own sines and
  cosines (the per-ring path, which was the only path before rows were shared);
- the two fits vectorised with NumPy (normal equations of all rings of a sweep
  at once).

`--baseline DIR` also times an earlier build of _kestrin (the directory that
holds its .so file) on the volume and on 10^4 rings with distinct rows, next
to this build.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys

import numpy as np
from bench_vad_cold_pool import best_of, rings, vad_numpy

import _kestrin
from common import report

HERE = os.path.dirname(os.path.abspath(__file__))
SWEEPS, RAYS, GATES = 14, 720, 1000
ARGS = (30, 0.01)


def volume(seed=0):
    rng = np.random.default_rng(seed)
    elev = np.deg2rad([0.5, 0.9, 1.3, 1.8, 2.4, 3.1, 4.0, 5.1, 6.4, 8.0, 10.0, 12.5, 15.6, 19.5])
    # each sweep's rays start at its own offset and step by about half a degree
    steps = rng.normal(0.5, 0.02, (SWEEPS, RAYS))
    rows = np.deg2rad(rng.uniform(0.0, 0.5, (SWEEPS, 1)) + np.cumsum(steps, axis=1))
    az = np.repeat(rows, GATES, axis=0)
    cos_el = np.repeat(np.cos(elev), GATES)
    height = np.tile(np.arange(GATES) * 0.25, SWEEPS) * np.repeat(np.sin(elev), GATES)
    u, v = 5.0 + 2.0 * height, -3.0 + 1.5 * height
    vr = (u[:, None] * np.sin(az) + v[:, None] * np.cos(az)) * cos_el[:, None]
    vr += rng.normal(0.0, 1.0, vr.shape)
    vr[rng.random(vr.shape) < 0.15] = np.nan
    return vr, az, cos_el


def per_ring_rows(az):
    """Every other ring one ulp up: no ring shares the previous ring's row."""
    out = az.copy()
    out[1::2] = np.nextafter(out[1::2], np.inf)
    return out


def numpy_by_sweep(vr, az, cos_el):
    n = GATES  # rings of one sweep
    return np.hstack(
        [
            vad_numpy(vr[i : i + n], az[i : i + n], cos_el[i : i + n], *ARGS)
            for i in range(0, len(vr), n)
        ]
    )


def child_times(repeat):
    """Run in a child interpreter: best times of one-thread calls on the volume
    and on 10^4 rings with distinct rows (the other benchmark's input), and a
    digest of both results."""
    vol, distinct = volume(), rings()
    t = best_of(
        [
            lambda: _kestrin.vad(*vol, *ARGS, n_threads=1),
            lambda: _kestrin.vad(*distinct, *ARGS, n_threads=1),
            lambda: _kestrin.vad(*distinct, *ARGS, n_threads=0),
        ],
        repeat,
    )
    digest = hashlib.sha256(_kestrin.vad(*vol, *ARGS).tobytes())
    digest.update(_kestrin.vad(*distinct, *ARGS).tobytes())
    print(json.dumps({"times": t, "digest": digest.hexdigest()}))


def times_of(build, repeat):
    """child_times of the _kestrin in directory `build` (None: this one)."""
    path = [HERE] if build is None else [os.path.abspath(build), HERE]
    code = f"import sys; sys.path[:0] = {path!r}; import bench_vad_volume as b; "
    code += f"b.child_times({repeat})"
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def against_build(build, repeat):
    """One-thread times of an earlier build and of this one, measured in
    alternating child interpreters (one process cannot load two builds of the
    same module), best of two rounds each."""
    runs = {"earlier": [], "this": []}
    for _ in range(2):
        runs["earlier"].append(times_of(build, repeat))
        runs["this"].append(times_of(None, repeat))
    digests = {r["digest"] for v in runs.values() for r in v}
    assert len(digests) == 1, "the two builds give different results"
    old, new = ([min(r["times"][k] for r in runs[w]) for k in range(3)] for w in runs)
    report(
        f"vad against the build in {build} (same result bits)",
        [
            ("volume, earlier build, n_threads=1", old[0], None),
            ("volume, this build, n_threads=1 (target >= 3x)", new[0], old[0]),
            ("10^4 distinct rows, earlier build, n_threads=1", old[1], None),
            ("10^4 distinct rows, this build, n_threads=1 (>= 0.95x)", new[1], old[1]),
            ("10^4 distinct rows, earlier build, all cores", old[2], None),
            ("10^4 distinct rows, this build, all cores (>= 0.95x)", new[2], old[2]),
        ],
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--baseline", help="directory of an earlier _kestrin build to time alongside"
    )
    parser.add_argument("--repeat", type=int, default=5)
    opts = parser.parse_args()

    vr, az, cos_el = volume()
    az_own = per_ring_rows(az)
    got = _kestrin.vad(vr, az, cos_el, *ARGS)
    np.testing.assert_allclose(numpy_by_sweep(vr, az, cos_el), got, rtol=1e-8, atol=1e-9)
    np.testing.assert_allclose(_kestrin.vad(vr, az_own, cos_el, *ARGS), got, rtol=1e-9, atol=1e-9)

    (base,) = best_of([lambda: numpy_by_sweep(vr, az, cos_el)], 2)
    own1, shared1, own_all, shared_all = best_of(
        [
            lambda: _kestrin.vad(vr, az_own, cos_el, *ARGS, n_threads=1),
            lambda: _kestrin.vad(vr, az, cos_el, *ARGS, n_threads=1),
            lambda: _kestrin.vad(vr, az_own, cos_el, *ARGS, n_threads=0),
            lambda: _kestrin.vad(vr, az, cos_el, *ARGS, n_threads=0),
        ],
        opts.repeat,
    )
    report(
        f"vad, {SWEEPS} sweeps x {RAYS} rays x {GATES} gates ({SWEEPS * GATES} rings), 15% NaN",
        [
            ("NumPy normal equations, by sweep", base, None),
            ("rows shared, all cores (vs NumPy; target >= 10x)", shared_all, base),
            ("rows shared, n_threads=1 (vs NumPy)", shared1, base),
            ("rows one ulp apart, all cores (vs NumPy)", own_all, base),
            ("rows one ulp apart, n_threads=1 (vs NumPy)", own1, base),
            ("rows shared vs one ulp apart, all cores (target >= 3x)", shared_all, own_all),
            ("rows shared vs one ulp apart, n_threads=1", shared1, own1),
            ("rows shared, all cores vs n_threads=1 (target >= 1.8x)", shared_all, shared1),
        ],
    )
    if opts.baseline:
        against_build(opts.baseline, opts.repeat)


if __name__ == "__main__":
    main()
