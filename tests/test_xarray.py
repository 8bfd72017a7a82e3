"""radarkit.xarray: dims, coordinates and units at the edge, the same numbers
as the kernels on NumPy and Dask data, and on a real multi-process cluster."""

import itertools
import math
import operator
import subprocess
import sys

import numpy as np
import pytest

import _kestrin

xr = pytest.importorskip("xarray")
rkx = pytest.importorskip("radarkit.xarray")

pytestmark = pytest.mark.python_layer

NT, NLEV, NY, NX = 2, 12, 5, 7


def same_bits(a, b):
    """Equal shapes and equal bits, NaNs included."""
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def grid(seed=0):
    """Heights, winds, buoyancy, temperatures on (time, level, y, x) with a
    few holes, and 2-D lat/lon coordinates."""
    rng = np.random.default_rng(seed)
    shape = (NT, NLEV, NY, NX)
    ground = rng.uniform(0.0, 800.0, (NT, NY, NX))
    z = ground[:, None] + np.cumsum(rng.uniform(150.0, 450.0, shape), axis=1) - 150.0
    u = rng.normal(10.0, 8.0, shape)
    v = rng.normal(5.0, 8.0, shape)
    b = np.linspace(-0.05, 0.02, NLEV)[None, :, None, None] + rng.normal(0.0, 0.01, shape)
    t = rng.uniform(250.0, 305.0, shape)
    td = t - rng.uniform(0.0, 15.0, shape)
    for a in (u, b, td):
        a[rng.random(shape) < 0.03] = np.nan
    dims = ("time", "level", "y", "x")
    coords = {
        "time": [0.0, 3600.0],
        "level": np.arange(NLEV),
        "y": ("y", np.cumsum(rng.uniform(2.0, 4.0, NY)) * 1e3, {"units": "m"}),
        "x": ("x", np.cumsum(rng.uniform(2.0, 4.0, NX)) * 1e3, {"units": "m"}),
        "lat": (("y", "x"), rng.uniform(30.0, 40.0, (NY, NX))),
        "p": ("level", np.linspace(100000.0, 20000.0, NLEV)),
    }

    def da(a, units):
        return xr.DataArray(a, dims=dims, coords=coords, attrs={"units": units})

    return {
        "z": da(z, "m"),
        "u": da(u, "m s-1"),
        "v": da(v, "m s-1"),
        "b": da(b, "m s-2"),
        "t": da(t, "K"),
        "td": da(td, "K"),
        "ground": xr.DataArray(ground, dims=("time", "y", "x")),
        "cu": xr.DataArray(rng.normal(8.0, 2.0, (NT, NY, NX)), dims=("time", "y", "x")),
        "cv": xr.DataArray(rng.normal(4.0, 2.0, (NT, NY, NX)), dims=("time", "y", "x")),
    }


def kernel_columns(func, arrays, column_args, scalars, dim, order):
    """Direct kernel call on (columns, levels) blocks made by hand; rows
    reshaped to the column dims in `order`."""
    cols = [d for d in order if d != dim]
    blocks = [a.transpose(*cols, dim).values for a in arrays]
    ncol = int(np.prod(blocks[0].shape[:-1]))
    blocks = [blk.reshape(ncol, -1) for blk in blocks]
    per_col = [c.transpose(*cols).values.ravel() for c in column_args]
    out = func(*blocks, *per_col, **scalars)
    shape = [arrays[0].sizes[d] for d in cols]
    return [row.reshape(shape) for row in out], cols


ORDERS = {
    "level first": ("level", "time", "y", "x"),
    "level middle": ("time", "y", "level", "x"),
    "level last": ("time", "y", "x", "level"),
}


@pytest.mark.parametrize("order", list(ORDERS.values()), ids=list(ORDERS))
@pytest.mark.parametrize("z_form", ["full grid", "heights only"])
@pytest.mark.parametrize("kernel", ["profile", "cold_pool"])
def test_columns_any_dim_position(kernel, z_form, order):
    g = {k: v.transpose(*[d for d in order if d in v.dims]) for k, v in grid().items()}
    z = g["z"] if z_form == "full grid" else g["z"].isel(time=0, y=0, x=0, drop=True)
    zfull = z.broadcast_like(g["u"]).transpose(*order)
    if kernel == "profile":
        ds = rkx.profile(
            z,
            g["u"],
            g["v"],
            dim="level",
            ground=g["ground"],
            bottom=500.0,
            top=3000.0,
            storm_u=g["cu"],
            storm_v=g["cv"],
        )
        want, cols = kernel_columns(
            lambda z, u, v, gr, cu, cv: _kestrin.profile(z, u, v, gr, 500.0, 3000.0, cu, cv),
            [zfull, g["u"], g["v"]],
            [g["ground"], g["cu"], g["cv"]],
            {},
            "level",
            order,
        )
        names = ["u_bottom", "v_bottom", "u_top", "v_top", "helicity", "mean_u", "mean_v"]
    else:
        top = g["ground"].where(g["ground"] > 300.0) * 2.0  # NaN: threshold mode
        ds = rkx.cold_pool(z, g["b"], dim="level", threshold=-0.01, top=top)
        want, cols = kernel_columns(
            lambda z, b, bot, tp: _kestrin.cold_pool(z, b, bot, -0.01, tp),
            [zfull, g["b"]],
            [xr.full_like(top, np.nan), top],
            {},
            "level",
            order,
        )
        names = ["intensity", "depth", "ran_out"]
    assert list(ds.data_vars) == names
    for name, w in zip(names, want):
        assert ds[name].dims == tuple(cols)
        assert same_bits(ds[name].values, w), name
    assert "lat" in ds.coords and "time" in ds.coords and "level" not in ds.coords
    assert "p" not in ds.coords  # lies along the reduced dim
    assert np.isfinite(ds[names[0]].values).mean() > 0.5  # the case computes something


@pytest.mark.parametrize(
    "order", [("time", "level", "y", "x"), ("x", "time", "y", "level"), ("y", "x", "time", "level")]
)
def test_gradient_any_dim_position(order):
    f = grid()["t"].transpose(*order)
    ds = rkx.gradient(f, x="x", y="y")
    batch = [d for d in order if d not in ("y", "x")]
    block = f.transpose(*batch, "y", "x").values
    want = _kestrin.gradient(block.reshape(-1, NY, NX), f["x"].values, f["y"].values)
    for name, w in zip(["dfdx", "dfdy"], want):
        assert ds[name].dims == order
        got = ds[name].transpose(*batch, "y", "x").values
        assert same_bits(got, w.reshape(block.shape)), name
    assert set(ds.coords) == set(f.coords)
    assert ds["dfdx"].attrs["units"] == "K m-1"


@pytest.mark.parametrize("p_form", ["full grid", "level coordinate", "one number"])
def test_thermo_broadcasts_and_keeps_dims(p_form):
    g = grid()
    t, td = g["t"].transpose("y", "level", "x", "time"), g["td"]
    p = {
        "full grid": xr.broadcast(g["t"].p, g["t"])[0].transpose(*t.dims),
        "level coordinate": t["p"],
        "one number": 85000.0,
    }[p_form]
    ds = rkx.thermo(t, p, td)
    assert ds["theta"].dims == t.dims  # dims in first-seen order
    pf = np.broadcast_to(xr.DataArray(p).broadcast_like(t).transpose(*t.dims).values, t.shape)
    want = _kestrin.thermo(t.values, pf, td.transpose(*t.dims).values)
    for name, w in zip(["mixing_ratio", "theta", "theta_v", "theta_e"], want):
        assert same_bits(ds[name].values.ravel(), w), name
    assert "lat" in ds.coords
    assert ds["mixing_ratio"].attrs["units"] == "kg kg-1" and ds["theta_e"].attrs["units"] == "K"


def c_order(a, order):
    """`a` with its dims in `order`, stored in that (C) order."""
    a = a.transpose(*[d for d in order if d in a.dims])
    return a.copy(data=np.ascontiguousarray(a.values))


class Recorder:
    """Stands in for the compiled module and keeps the arrays it was given."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def call(*args):
            self.calls.append((name, args))
            return getattr(_kestrin, name)(*args)

        return call


@pytest.mark.parametrize(
    "order, shared",
    [(("time", "y", "x", "level"), True), (("level", "time", "y", "x"), False)],
    ids=["level last: no copy", "level first: one copy"],
)
def test_kernel_reads_the_callers_buffer(monkeypatch, order, shared):
    rec = Recorder()
    monkeypatch.setattr(rkx, "_kestrin", rec)
    g = {k: c_order(v, order) for k, v in grid().items()}
    assert all(a.values.flags.c_contiguous for a in g.values())
    rkx.profile(g["z"], g["u"], g["v"], dim="level", top=3000.0)
    (name, args), *_ = rec.calls
    assert name == "profile" and args[-1] == 0  # all cores on NumPy data
    for given, passed in zip([g["z"], g["u"], g["v"]], args[:3]):
        assert np.shares_memory(given.values, passed) == shared
    f = c_order(g["t"], ("time", "level", "y", "x"))
    rkx.gradient(f, x="x", y="y")
    assert np.shares_memory(rec.calls[-1][1][0], f.values)


CONVERSIONS = [
    # (function, argument, units given, value factory in the kernel's unit -> given unit)
    ("thermo", "t", "degC", lambda k: k - 273.15),
    ("thermo", "t", "celsius", lambda k: k - 273.15),
    ("thermo", "td", "°C", lambda k: k - 273.15),
    ("thermo", "p", "hPa", lambda pa: pa / 100.0),
    ("thermo", "p", "mbar", lambda pa: pa / 100.0),
    ("thermo", "p", "kPa", lambda pa: pa / 1000.0),
    ("profile", "z", "km", lambda m: m / 1000.0),
    ("profile", "u", "knots", lambda ms: ms * 3600.0 / 1852.0),
    ("cold_pool", "b", "m/s^2", lambda x: x),
]


def call(func, g, **override):
    args = dict(
        thermo=dict(t=g["t"], p=g["t"]["p"], td=g["td"]),
        profile=dict(
            z=g["z"],
            u=g["u"],
            v=g["v"],
            dim="level",
            ground=g["ground"],
            bottom=500.0,
            top=3000.0,
        ),
        cold_pool=dict(z=g["z"], b=g["b"], dim="level", threshold=-0.01),
    )[func]
    args.update(override)
    return getattr(rkx, func)(**args)


@pytest.mark.parametrize("func, arg, units, to_units", CONVERSIONS)
def test_units_are_converted(func, arg, units, to_units):
    g = grid()
    if arg == "p":
        g["t"] = g["t"].assign_coords(p=g["t"]["p"].assign_attrs(units="Pa"))
        given = g["t"]["p"]
    else:
        given = g[arg]
    want = call(func, g)
    converted = xr.DataArray(to_units(given.values), dims=given.dims, coords=given.coords)
    got = call(func, g, **{arg: converted.assign_attrs(units=units)})
    for name in want.data_vars:
        assert got[name].attrs == want[name].attrs
        np.testing.assert_allclose(got[name], want[name], rtol=1e-9, atol=1e-9)
    # the same numbers with the unit attribute dropped would be taken as SI
    if to_units(1000.0) != 1000.0:
        wrong = call(func, g, **{arg: converted})
        name = next(iter(want.data_vars))
        assert not np.allclose(wrong[name], want[name], equal_nan=True)


@pytest.mark.parametrize(
    "func, arg, units",
    [
        ("thermo", "t", "degF"),
        ("thermo", "td", "degF"),
        ("thermo", "p", "psi"),
        ("profile", "z", "ft"),
        ("profile", "u", "mph"),
        ("profile", "ground", "ft"),
        ("cold_pool", "b", "K"),
    ],
)
def test_units_refused_naming_the_variable(func, arg, units):
    g = grid()
    given = g["t"]["p"] if arg == "p" else g[arg]
    with pytest.raises(ValueError, match=rf"^{arg} has units '{units}'"):
        call(func, g, **{arg: given.assign_attrs(units=units)})


@pytest.mark.parametrize(
    "f_units, c_units, want",
    [("K", "m", "K m-1"), ("K", "km", "K km-1"), ("m s-1", "m", "m s-1 m-1"), (None, "m", None)],
)
def test_gradient_units(f_units, c_units, want):
    f = grid()["t"].isel(time=0)
    f = f.assign_attrs(units=f_units) if f_units else f.drop_attrs()
    f = f.assign_coords(x=f["x"].assign_attrs(units=c_units), y=f["y"].assign_attrs(units=c_units))
    assert rkx.gradient(f, x="x", y="y")["dfdy"].attrs.get("units") == want


def profile_with(g, **kw):
    return rkx.profile(g["z"], g["u"], g["v"], **{"dim": "level", "top": 1.0, **kw})


REFUSED = {
    "missing dim": (lambda g: profile_with(g, dim="lev"), ValueError, "u has no dim 'lev'"),
    "z without the dim": (
        lambda g: rkx.profile(g["z"].isel(level=0), g["u"], g["v"], dim="level", top=1.0),
        ValueError,
        "z has no dim 'level'",
    ),
    "not a DataArray": (
        lambda g: rkx.profile(g["z"], g["u"].values, g["v"], dim="level", top=1.0),
        TypeError,
        "u must be an xarray.DataArray",
    ),
    "ground along dim": (
        lambda g: profile_with(g, ground=g["z"]),
        ValueError,
        "ground is one value per column",
    ),
    "storm motion text": (
        lambda g: profile_with(g, storm_u="fast"),
        TypeError,
        "storm_u must be a number",
    ),
    "top along dim": (
        lambda g: rkx.cold_pool(g["z"], g["b"], dim="level", top=g["z"]),
        ValueError,
        "top is one value per column",
    ),
    "same dim twice": (lambda g: rkx.gradient(g["t"], x="x", y="x"), ValueError, "two different"),
    "no coordinate": (
        lambda g: rkx.gradient(g["t"].drop_vars("x"), x="x", y="y"),
        ValueError,
        "1-D coordinate for dim 'x'",
    ),
    "thermo without pressure": (
        lambda g: rkx.thermo(g["t"], None, g["td"]),
        TypeError,
        "p must be a number",
    ),
    "no such dim": (lambda g: rkx.gradient(g["t"], x="x", y="lat"), ValueError, "f has no dim"),
}


@pytest.mark.parametrize("call_, error, match", list(REFUSED.values()), ids=list(REFUSED))
def test_refused_arguments(call_, error, match):
    with pytest.raises(error, match=match):
        call_(grid())


def test_import_error_names_the_extra():
    code = "import sys; sys.modules['xarray'] = None\nimport radarkit.xarray"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode != 0
    assert "radarkit.xarray needs xarray: pip install 'radarkit[xarray]'" in proc.stderr


# Dask: chunks along the core dim included, so the automatic merge is exercised.
DASK_CASES = {
    "thermo": lambda g: rkx.thermo(g["t"], g["t"]["p"], g["td"]),
    "cold_pool": lambda g: rkx.cold_pool(g["z"], g["b"], dim="level", threshold=-0.01),
    "profile": lambda g: rkx.profile(
        g["z"],
        g["u"],
        g["v"],
        dim="level",
        ground=g["ground"],
        top=3000.0,
        storm_u=g["cu"],
        storm_v=g["cv"],
    ),
    "gradient": lambda g: rkx.gradient(g["t"], x="x", y="y"),
    # heights held in memory beside Dask winds: the graph takes both kinds
    "profile, NumPy heights": lambda g: rkx.profile(
        g["z"].compute(), g["u"], g["v"], dim="level", top=3000.0, storm_u=g["cu"]
    ),
}


@pytest.mark.parametrize("case", list(DASK_CASES))
def test_dask_same_bits_as_numpy(monkeypatch, case):
    pytest.importorskip("dask.array")
    g = grid(seed=3)
    want = DASK_CASES[case](g)
    chunked = {k: v.chunk({d: 2 for d in v.dims}) for k, v in g.items()}
    rec = Recorder()
    monkeypatch.setattr(rkx, "_kestrin", rec)
    lazy = DASK_CASES[case](chunked)
    assert rec.calls == []  # nothing computed yet
    for name in want.data_vars:
        assert lazy[name].chunks is not None
    got = lazy.compute(scheduler="synchronous")
    assert len(rec.calls) > 1 and {args[-1] for _, args in rec.calls} == {1}
    for name in want.data_vars:
        assert got[name].dims == want[name].dims
        assert got[name].attrs == want[name].attrs
        assert same_bits(got[name].values, want[name].values), name


# (call, inputs it chunks, outputs): Dask data laid out as the kernels read it
# (level last; y and x last for gradient), chunked along the other dims only
IN_PLACE = {
    "profile": (
        lambda g: rkx.profile(g["z"], g["u"], g["v"], dim="level", ground=g["ground"], top=3e3),
        ["z", "u", "v", "ground"],
        7,
    ),
    "cold_pool": (
        lambda g: rkx.cold_pool(g["z"], g["b"], dim="level", threshold=-0.01),
        ["z", "b"],
        3,
    ),
    "thermo": (lambda g: rkx.thermo(g["t"], 85000.0, g["td"]), ["t", "td"], 4),
    "gradient": (lambda g: rkx.gradient(g["t"], x="x", y="y"), ["t"], 2),
}


def views(x, chunks):
    """A Dask array whose chunks are views of `x` (from_array copies them)."""
    import dask
    import dask.array as da
    from dask.array.core import normalize_chunks, slices_from_chunks

    chunks = normalize_chunks(chunks, x.shape)
    name = "views-" + dask.base.tokenize(x, chunks)
    index = itertools.product(*(range(len(c)) for c in chunks))
    graph = {
        (name, *i): (operator.getitem, x, s) for i, s in zip(index, slices_from_chunks(chunks))
    }
    return da.Array(graph, name, chunks, dtype=x.dtype)


@pytest.mark.parametrize("case", list(IN_PLACE))
def test_dask_chunks_reach_the_kernel_in_place(monkeypatch, case):
    """Under Dask each chunk goes to the kernel without a copy, and the graph
    holds one kernel task per chunk and one view per output and chunk."""
    pytest.importorskip("dask.array")
    order = ("time", "level", "y", "x") if case == "gradient" else ("time", "y", "x", "level")
    call_, chunked, nout = IN_PLACE[case]
    g = {k: c_order(v, order) for k, v in grid(seed=5).items()}
    lazy_in = dict(g)
    for k in chunked:
        blocks = {"time": 1, "y": 2} if case != "gradient" else {"time": 1, "level": 5}
        lazy_in[k] = g[k].copy(data=views(g[k].values, [blocks.get(d, -1) for d in g[k].dims]))
    rec = Recorder()
    monkeypatch.setattr(rkx, "_kestrin", rec)
    lazy = call_(lazy_in)
    inputs = set()
    for k in chunked:
        inputs |= set(dict(lazy_in[k].data.__dask_graph__()))
    graph: dict = {}
    for a in lazy.data_vars.values():
        graph.update(dict(a.data.__dask_graph__()))
    nchunk = math.prod(len(c) for c in lazy[next(iter(lazy.data_vars))].chunks)
    assert len(set(graph) - inputs) == nchunk * (1 + nout)
    got = lazy.compute(scheduler="synchronous")
    assert len(rec.calls) == nchunk
    bases = [g[k].values for k in chunked]
    for _, args in rec.calls:
        arrays = [a for a in args if isinstance(a, np.ndarray)]
        assert sum(any(np.shares_memory(a, b) for b in bases) for a in arrays) == len(chunked)
    want = call_(g)
    for name in want.data_vars:
        assert same_bits(got[name].values, want[name].values), name


def test_dask_n_threads_overridable(monkeypatch):
    pytest.importorskip("dask.array")
    rec = Recorder()
    monkeypatch.setattr(rkx, "_kestrin", rec)
    g = grid()
    rkx.gradient(g["t"].chunk(time=1), x="x", y="y", n_threads=3).compute(scheduler="sync")
    assert {args[-1] for _, args in rec.calls} == {3}


def _loaded_kernels():
    import os

    return os.getpid(), sys.modules["_kestrin"].__file__


@pytest.mark.slow
def test_local_cluster_same_bits_as_direct_call():
    """Two worker processes compute profile and gradient over a chunked grid;
    the numbers equal the direct NumPy call bit for bit."""
    distributed = pytest.importorskip("distributed")
    rng = np.random.default_rng(11)
    ny, nx, nlev = 60, 80, 30
    z = np.cumsum(rng.uniform(100.0, 400.0, (ny, nx, nlev)), axis=2) - 100.0
    u, v = rng.normal(10.0, 8.0, (2, ny, nx, nlev))
    u[rng.random(u.shape) < 0.02] = np.nan
    cu, cv = rng.normal(8.0, 2.0, (2, ny, nx))
    dims = ("y", "x", "level")
    coords = {"y": np.cumsum(rng.uniform(1.0, 3.0, ny)), "x": np.cumsum(rng.uniform(1, 3, nx))}
    nan = np.full(ny * nx, np.nan)
    direct = _kestrin.profile(z, u.reshape(-1, nlev), v, nan, 0.0, 3000.0, cu, cv)
    f = np.moveaxis(u, 2, 0)
    direct_grad = _kestrin.gradient(f, coords["x"], coords["y"])

    def da(a, d=dims):
        return xr.DataArray(a, dims=d, coords=coords).chunk({"y": 16, "x": 40})

    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        ds = rkx.profile(
            da(z),
            da(u),
            da(v),
            dim="level",
            top=3000.0,
            storm_u=da(cu, dims[:2]),
            storm_v=da(cv, dims[:2]),
        ).compute()
        grad = rkx.gradient(da(f, ("level", "y", "x")), x="x", y="y").compute()
        loaded = client.run(_loaded_kernels)
    names = ["u_bottom", "v_bottom", "u_top", "v_top", "helicity", "mean_u", "mean_v"]
    for name, row in zip(names, direct):
        assert same_bits(ds[name].values, row.reshape(ny, nx)), name
    assert same_bits(grad["dfdx"].values, direct_grad[0])
    assert same_bits(grad["dfdy"].values, direct_grad[1])
    pids = {pid for pid, _ in loaded.values()}
    assert len(loaded) == 2 and len(pids) == 2 and not pids & {__import__("os").getpid()}
