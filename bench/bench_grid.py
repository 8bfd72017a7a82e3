"""A grid the size of an operational 3 km model (1799 x 1059 columns of 50
levels): 0-3 km helicity, 0-1 km and 0-6 km layer winds and mean winds by one
direct profile call per layer on all cores, then the same through
radarkit.xarray on Dask arrays held by a LocalCluster of two single-threaded
worker processes, beside the floors under it (the kernel calls alone in the
workers, one plain task per chunk); the horizontal gradient of a (50, 1059, 1799) field through
the xarray wrapper against the direct call; MetPy's storm-relative helicity of
one column, extrapolated to the grid, when MetPy is importable. Data
generation is not timed; each case frees its arrays before the next."""

import gc
import sys
import time

import numpy as np

import _kestrin
from common import machine

NY, NX, NLEV = 1059, 1799, 50
SLAB = 64  # rows of y per chunk: 46 MB per field and chunk
LAYERS = [(0.0, 1000.0), (0.0, 3000.0), (0.0, 6000.0)]
HEIGHTS = np.cumsum(np.linspace(40.0, 700.0, NLEV)) - 40.0  # m above ground, 0 to ~18 km


def slab(j0, j1):
    """z, u, v (rows, NX, NLEV) and ground, storm u, storm v (rows, NX) of the
    grid rows j0 to j1; the same numbers whichever way the grid is cut."""
    rng = np.random.default_rng([7, j0])
    n = j1 - j0
    ground = rng.uniform(0.0, 1500.0, (n, NX))
    z = ground[:, :, None] + HEIGHTS
    turn = np.linspace(0.0, 2.0, NLEV) + rng.normal(0.0, 0.3, (n, NX, 1))
    speed = np.linspace(5.0, 35.0, NLEV) * rng.uniform(0.5, 1.5, (n, NX, 1))
    u, v = speed * np.cos(turn), speed * np.sin(turn)
    u[rng.random(u.shape) < 0.005] = np.nan
    cu, cv = rng.normal(8.0, 2.0, (2, n, NX))
    return z, u, v, ground, cu, cv


def whole_grid():
    z, u, v = (np.empty((NY, NX, NLEV)) for _ in range(3))
    ground, cu, cv = (np.empty((NY, NX)) for _ in range(3))
    for j0 in range(0, NY, SLAB):
        j1 = min(j0 + SLAB, NY)
        for dst, src in zip((z, u, v, ground, cu, cv), slab(j0, j1)):
            dst[j0:j1] = src
    return z, u, v, ground, cu, cv


def timed(fn, repeat):
    best, out = np.inf, None
    for _ in range(repeat):
        out = None
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def line(label, sec, base=None, target=""):
    ratio = f"{sec / base:7.2f}x" if base else " " * 8
    print(f"  {label:<58s} {sec * 1e3:9.1f} ms {ratio}  {target}")


def direct_calls(z, u, v, ground, cu, cv):
    ncol = NY * NX
    return [_kestrin.profile(z, u.reshape(ncol, NLEV), v, ground, b, t, cu, cv) for b, t in LAYERS]


def metpy_column(z, u, v, cu, cv):
    """Seconds per column of MetPy's storm_relative_helicity, or None."""
    try:
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            from metpy.calc import storm_relative_helicity
            from metpy.units import units
    except ImportError:
        return None
    m, ms = units.m, units("m/s")
    h, uu, vv = (z[0, 0] - z[0, 0, 0]) * m, np.nan_to_num(u[0, 0]) * ms, v[0, 0] * ms
    su, sv = cu[0, 0] * ms, cv[0, 0] * ms

    def one():
        storm_relative_helicity(h, uu, vv, 3000.0 * m, storm_u=su, storm_v=sv)

    one()
    n = 50
    t0 = time.perf_counter()
    for _ in range(n):
        one()
    return (time.perf_counter() - t0) / n


def worker_loop(keysets, dask_worker=None):
    """Seconds the kernel calls alone take in one worker, on the chunks it holds."""
    t0 = time.perf_counter()
    for keys in keysets:
        if all(k in dask_worker.data for k in keys):
            z, u, v, ground, cu, cv = (dask_worker.data[k] for k in keys)
            for b, t in LAYERS:
                _kestrin.profile(z, u.reshape(-1, NLEV), v, ground, b, t, cu, cv, 1)
    return time.perf_counter() - t0


def chunk_task(z, u, v, ground, cu, cv, b, t):
    return _kestrin.profile(z, u.reshape(-1, NLEV), v, ground, b, t, cu, cv, 1)


def profile_cases(data):
    """Best times of the direct calls, of the same through radarkit.xarray
    on the cluster (gathered, and kept there), and of the two floors under
    them: the kernel calls alone in the workers (each worker's own loop over
    the chunks it holds) and one plain task per chunk; interleaved so that
    all see the same machine load; and whether the numbers agree bit for bit."""
    try:
        import dask
        import dask.array as da
        import xarray as xr
        from distributed import Client, LocalCluster, futures_of, wait

        import radarkit.xarray as rkx
    except ImportError as e:
        print(f"  (Dask case skipped: {e}; pip install 'radarkit[xarray]')")
        sec, _ = timed(lambda: direct_calls(*data), 3)
        return sec, None, None, None, None, None
    starts = list(range(0, NY, SLAB))

    # generated on the workers, as if read there from Zarr or NetCDF; the six
    # fields of a slab come from one task, so they sit on one worker
    slabs = [dask.delayed(slab, nout=6)(j0, min(j0 + SLAB, NY)) for j0 in starts]

    def field(k, ndim):
        blocks = [
            da.from_delayed(s[k], (min(SLAB, NY - j0), NX, NLEV)[:ndim], dtype=np.float64)
            for s, j0 in zip(slabs, starts)
        ]
        dims = ("y", "x", "level")[:ndim]
        return xr.DataArray(da.concatenate(blocks, axis=0), dims=dims)

    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        Client(cluster) as client,
    ):
        fields = [field(k, 3) for k in range(3)] + [field(k, 2) for k in range(3, 6)]
        z, u, v, ground, cu, cv = client.persist(fields)
        wait([a.data for a in (z, u, v, ground, cu, cv)])

        def build():
            return [
                rkx.profile(
                    z, u, v, dim="level", ground=ground, bottom=b, top=t, storm_u=cu, storm_v=cv
                )
                for b, t in LAYERS
            ]

        def keep():
            out = client.persist(build())
            wait([a.data for ds in out for a in ds.data_vars.values()])
            return out

        chunks = [
            sorted(futures_of(a.data), key=lambda f: f.key) for a in (z, u, v, ground, cu, cv)
        ]
        keysets = [[c[i].key for c in chunks] for i in range(len(starts))]

        def plain_tasks():
            out = [
                client.submit(chunk_task, *[c[i] for c in chunks], b, t, pure=False)
                for b, t in LAYERS
                for i in range(len(starts))
            ]
            wait(out)
            return out

        direct = gather = kept = loops = tasks = np.inf
        for _ in range(3):
            sec, want = timed(lambda: direct_calls(*data), 1)
            direct = min(direct, sec)
            sec, got = timed(lambda: dask.compute(*build()), 1)
            gather = min(gather, sec)
            kept = min(kept, timed(keep, 1)[0])
            loops = min(loops, max(client.run(worker_loop, keysets).values()))
            tasks = min(tasks, timed(plain_tasks, 1)[0])
    names = ["u_bottom", "v_bottom", "u_top", "v_top", "helicity", "mean_u", "mean_v"]
    same = all(
        np.array_equal(ds[n].values.ravel().view(np.uint64), rows[r].view(np.uint64))
        for ds, rows in zip(got, want)
        for r, n in enumerate(names)
    )
    return direct, gather, kept, same, loops, tasks


def gradient_case():
    try:
        import xarray as xr

        import radarkit.xarray as rkx
    except ImportError:
        return None
    rng = np.random.default_rng(3)
    f = rng.normal(280.0, 5.0, (NLEV, NY, NX))
    x = np.cumsum(rng.uniform(2900.0, 3100.0, NX))
    y = np.cumsum(rng.uniform(2900.0, 3100.0, NY))
    fa = xr.DataArray(f, dims=("level", "y", "x"), coords={"x": x, "y": y})
    direct, wrapped = np.inf, np.inf
    for _ in range(4):  # interleaved, so both see the same machine load
        direct = min(direct, timed(lambda: _kestrin.gradient(f, x, y), 1)[0])
        wrapped = min(wrapped, timed(lambda: rkx.gradient(fa, x="x", y="y"), 1)[0])
    return direct, wrapped


def main():
    print(f"\nGrid of {NX} x {NY} columns x {NLEV} levels  [{machine()}]")
    data = whole_grid()
    direct, gather, kept, same, loops, tasks = profile_cases(data)
    line("profile, 3 layers, direct calls, all cores", direct, None, "target < 1000 ms")
    if gather is not None:
        line("the same through radarkit.xarray on a 2-process", gather, direct, "target <= 2x")
        print("    LocalCluster, compute() to the client (vs direct)")
        line("the same, results kept on the cluster (persist)", kept, direct)
        print(f"    results bit-identical to the direct calls: {same}")
        line("floor: the kernel calls alone, each worker's own loop", loops, direct)
        line("floor: one plain task per chunk (client.submit), kept", tasks, direct)
        print(f"    kept through radarkit.xarray / plain tasks: {kept / tasks:.2f}x")
    peer = metpy_column(data[0], data[1], data[2], data[4], data[5])
    if peer is None:
        print("  (MetPy not importable: the peer figure is skipped)")
    else:
        grid = peer * NY * NX
        one_layer = direct / len(LAYERS)
        print(
            f"  MetPy storm_relative_helicity: {peer * 1e3:.2f} ms per column, "
            f"{grid / 3600:.2f} h for the grid = {grid / one_layer:,.0f}x one direct profile call"
        )
    del data
    gc.collect()
    res = gradient_case()
    if res is not None:
        dsec, wrapped = res
        print(f"\ngradient of a ({NLEV}, {NY}, {NX}) field, all cores")
        line("direct call", dsec)
        line(
            "radarkit.xarray.gradient on a NumPy-backed DataArray", wrapped, dsec, "target <= 1.1x"
        )
    if same is False:
        sys.exit("Dask results differ from the direct calls")


if __name__ == "__main__":
    main()
