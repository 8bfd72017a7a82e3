"""radarkit.radar on a NEXRAD-size synthetic volume (14 sweeps x 720 rays x 1832 gates):
`vad` of every ring against NumPy least squares of the same rings, and `to_obs_seq` of the whole
volume with its time split (the writer timed from outside, by a subclass) and the peak memory
of the process."""

import os
import resource
import sys
import tempfile
import time

import numpy as np

from common import machine

ELEVATIONS = (0.5, 0.9, 1.3, 1.8, 2.4, 3.1, 4.0, 5.1, 6.4, 8.0, 10.0, 12.5, 15.6, 19.5)


def numpy_rings(vel, az_deg):
    """Both fits of every ring of one sweep (rings = gates), vectorised as far as NumPy goes:
    the normal equations of all rings of the sweep at once, solved as one batched solve."""
    a = np.deg2rad(az_deg)
    x = np.column_stack([np.ones_like(a), np.sin(a), np.cos(a), np.sin(2 * a), np.cos(2 * a)])
    ok = np.isfinite(vel.T)  # (rings, rays)
    w = ok.astype(np.float64)
    y = np.where(ok, vel.T, 0.0)
    out = []
    for k in (3, 5):
        xk = x[:, :k]
        m = np.einsum("gr,ri,rj->gij", w, xk, xk)
        b = np.einsum("gr,ri->gi", y, xk)
        good = np.linalg.det(m) > 0
        m[~good] = np.eye(k)
        beta = np.linalg.solve(m, b[..., None])[..., 0]
        if k == 3:
            res = (y - beta @ xk.T) * w
            rms = np.sqrt((res**2).sum(1) / np.maximum(w.sum(1), 1))
        out.append(beta)
    return out[0], out[1], rms


def lstsq_rings(vel, az_deg):
    """Both fits of every ring with numpy.linalg.lstsq, one ring at a time."""
    a = np.deg2rad(az_deg)
    x = np.column_stack([np.ones_like(a), np.sin(a), np.cos(a), np.sin(2 * a), np.cos(2 * a)])
    for g in range(vel.shape[1]):
        ok = np.isfinite(vel[:, g])
        if ok.sum() >= 5:
            np.linalg.lstsq(x[ok, :3], vel[ok, g], rcond=None)
            np.linalg.lstsq(x[ok], vel[ok, g], rcond=None)


def main():
    from radarkit import radar
    from radarkit.synthetic import synthetic_volume

    print(f"\nradarkit.radar on a NEXRAD-size volume  [{machine()}]")
    t0 = time.perf_counter()
    vol = synthetic_volume(
        elevations=ELEVATIONS, rays=720, gates=1832, velocity_noise=1.0, missing=0.3, seed=1
    )
    sweeps = [vol[f"sweep_{k}"].to_dataset() for k in range(len(ELEVATIONS))]
    arrays = [(s["VRADH"].values.astype(np.float64), s["azimuth"].values) for s in sweeps]
    rings = sum(v.shape[1] for v, _ in arrays)
    print(
        f"  volume: {len(ELEVATIONS)} sweeps x 720 rays x 1832 gates = {rings:,} rings, "
        f"built in {time.perf_counter() - t0:.1f} s"
    )

    t_vad = min(_timed(lambda: radar.vad(vol)) for _ in range(3))
    t_np = min(_timed(lambda: [numpy_rings(v, a) for v, a in arrays]) for _ in range(2))
    t_ls = _timed(lambda: [lstsq_rings(v, a) for v, a in arrays])
    print(f"  radar.vad, all sweeps, one kernel call       {t_vad * 1e3:9.1f} ms")
    print(
        f"  numpy.linalg.lstsq per ring (both fits)      {t_ls * 1e3:9.1f} ms   "
        f"{t_ls / t_vad:6.1f}x   (target >= 10x)"
    )
    print(
        f"  NumPy batched normal equations (both fits)   {t_np * 1e3:9.1f} ms   "
        f"{t_np / t_vad:6.1f}x"
    )

    from radarkit import dart

    class TimedWriter(dart.ObsSeqWriter):
        """The DART writer with a stopwatch around its work (formatting and writing)."""

        seconds = 0.0

        def write(self, **fields):
            t0 = time.perf_counter()
            try:
                return super().write(**fields)
            finally:
                TimedWriter.seconds += time.perf_counter() - t0

        def close(self):
            t0 = time.perf_counter()
            try:
                return super().close()
            finally:
                TimedWriter.seconds += time.perf_counter() - t0

    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as d:
        path = os.path.join(d, "obs_seq.out")
        # to_obs_seq takes its writer from radarkit.dart when it runs
        dart.ObsSeqWriter, plain = TimedWriter, dart.ObsSeqWriter
        try:
            t0 = time.perf_counter()
            res = radar.to_obs_seq(vol, path, velocity_error=2.0, reflectivity_error=5.0)
            total = time.perf_counter() - t0
        finally:
            dart.ObsSeqWriter = plain
        t_writer = TimedWriter.seconds
        size = os.path.getsize(path)
        # writing alone: the same number of bytes written to a file in the same directory
        block = b"x" * (64 << 20)
        t0 = time.perf_counter()
        with open(os.path.join(d, "raw"), "wb") as f:
            for _ in range(size // len(block)):
                f.write(block)
            f.write(block[: size % len(block)])
            f.flush()
            os.fsync(f.fileno())
        t_raw = time.perf_counter() - t0
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    print(
        f"  to_obs_seq, whole volume: {res.written:,} observations, {size / 2**30:.2f} GiB, "
        f"{total:.1f} s"
    )
    print(f"    geometry (everything but the writer)       {total - t_writer:7.1f} s")
    print(f"    formatting (writer less raw writing)       {max(t_writer - t_raw, 0.0):7.1f} s")
    print(f"    writing ({size / 2**30:.1f} GiB to disk, with fsync)     {t_raw:7.1f} s")
    print(
        f"  peak memory of the process {rss:.2f} GiB (before writing {rss0:.2f} GiB)   "
        f"(target < 2 GiB)"
    )


def _timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


if __name__ == "__main__":
    sys.exit(main())
