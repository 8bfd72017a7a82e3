"""_polar.dealias, the compiled dealiasing kernel, on NumPy arrays alone: argument checks, edge
sizes, an aliased field unfolded, the same bits for every thread count."""

import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _polar
from cases import sanitizer

FILL = -128  # folds of a gate without a dealiased value


def args(**changes):
    """The arguments of a call on one sweep of 2 rays x 3 gates, with `changes`."""
    out = {
        "velocity": np.zeros(6, np.float32),
        "rays": np.array([2]),
        "gates": np.array([3]),
        "azimuth": np.array([0.0, 180.0]),
        "height": np.zeros(3),
        "cos_el": np.ones(3),
        "nyquist": np.array([10.0]),
        "reference": np.empty((3, 0)),
        "out": np.empty(6, np.float32),
    }
    out.update(changes)
    return out


def test_signature_and_module_docstring():
    """The module says what it holds; dealias takes its arguments in order, n_threads last."""
    assert _polar.__doc__.startswith("Per-gate radar kernels")
    head = _polar.dealias.__doc__.splitlines()[0]
    names = re.findall(r"(\w+): ", head[head.index("(") + 1 :])
    assert names == [*args(), "n_threads"]
    assert head.rstrip().endswith("= 0) -> tuple")


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"velocity": np.zeros((2, 3), np.float32)}, "velocity must be 1-D"),
        ({"gates": np.array([3, 3])}, "one value per sweep"),
        ({"velocity": np.zeros(5, np.float32), "out": np.empty(5, np.float32)}, "rays x gates"),
        ({"azimuth": np.zeros(3)}, "one value per ray"),
        ({"height": np.zeros(2)}, "one value per gate"),
        ({"nyquist": np.array([0.0])}, "nyquist must be positive"),
        ({"nyquist": np.array([np.nan])}, "nyquist must be positive"),
        ({"azimuth": np.array([0.0, np.nan])}, "azimuth must be finite"),
        ({"reference": np.zeros((2, 4))}, r"reference must be \(3, levels\)"),
        ({"reference": np.array([[1.0, 0.0], [0.0, 0.0], [0.0, 0.0]])}, "must increase"),
        ({"reference": np.array([[1.0], [np.inf], [0.0]])}, "reference must be finite"),
        ({"rays": np.array([-1])}, "rays and gates must be >= 0"),
        ({"out": np.empty(5, np.float32)}, "out must be 1-D with the size of velocity"),
        ({"gates": np.array([2**31])}, "rays and gates must be >= 0 and below 2"),
        (
            # the gates of the sweeps add up past 2^64 to the 3 of height
            {
                "velocity": np.zeros(0, np.float32),
                "out": np.zeros(0, np.float32),
                "rays": np.zeros(4, np.int64),
                "gates": np.array([2**62, 2**62, 2**62, 2**62 + 3]),
                "azimuth": np.zeros(0),
                "nyquist": np.full(4, 10.0),
            },
            "rays and gates must be >= 0 and below 2",
        ),
        ({"height": np.array([0.0, 1e12, 0.0])}, "height must be below 1e8 m"),
        ({"height": np.array([0.0, np.inf, 0.0])}, "height must be below 1e8 m"),
    ],
)
def test_bad_arguments_raise_before_any_work(changes, message):
    """Each malformed argument raises ValueError with a fixed message; velocity is untouched."""
    a = args(**changes)
    before = a["velocity"].copy()
    with pytest.raises(ValueError, match=message):
        _polar.dealias(**a)
    np.testing.assert_array_equal(a["velocity"], before)


def test_out_must_be_a_writeable_float32_array():
    """The result goes into out: a read-only array is refused, one of another type or a strided
    view too (the result would go into a converted copy and be lost); velocity itself may be
    any floating type."""
    a = args()
    a["out"].setflags(write=False)
    with pytest.raises(ValueError, match="out must be writeable"):
        _polar.dealias(**a)
    for out in (np.zeros(6), np.full(6, 7, np.int16), np.zeros(12, np.float32)[::2]):
        before = out.copy()
        with pytest.raises(TypeError, match="out must be a C-contiguous float32 array"):
            _polar.dealias(**args(out=out))
        np.testing.assert_array_equal(out, before)
    folds, _, _ = _polar.dealias(**args(velocity=np.zeros(6)))
    assert folds.shape == (6,)


def overlapping(kind):
    """Arguments whose out shares memory with an input other than as velocity itself."""
    if kind == "velocity shifted":
        buf = np.arange(7, dtype=np.float32)
        return args(velocity=buf[:-1], out=buf[1:]), "out must be velocity itself or not"
    height = np.zeros(3)  # 24 bytes: the 6 float32 of out
    return args(height=height, out=height.view(np.float32)), "out must not overlap height"


@pytest.mark.parametrize("kind", ["velocity shifted", "height"])
def test_out_overlapping_an_input_is_refused(kind):
    """out written over part of an input would change what the kernel still reads: refused
    before any work, the inputs as they were."""
    a, message = overlapping(kind)
    before = {k: np.array(v, copy=True) for k, v in a.items()}
    with pytest.raises(ValueError, match=message):
        _polar.dealias(**a)
    for k, v in a.items():
        np.testing.assert_array_equal(v, before[k])


@pytest.mark.threads
@pytest.mark.skipif(sanitizer() is not None, reason="the sanitizer runtime owns malloc")
@pytest.mark.parametrize("n_threads", [2, 3])
@pytest.mark.parametrize("into", ["out", "velocity"])
def test_workers_out_of_memory_raise_and_write_nothing(run_shimmed, n_threads, into):
    """A worker whose scratch cannot be allocated makes the call raise MemoryError (not abort
    the process), with out (velocity itself or another array) as it was; the same call then
    gives the result of one thread."""
    out = run_shimmed(f"""
        import numpy as np, _polar
        shim.faultshim_fail_malloc_off_main.argtypes = [ctypes.c_size_t]
        rng = np.random.default_rng(0)
        S, R, G = 32, 90, 60
        v = rng.uniform(-10, 10, S * R * G).astype(np.float32)
        kw = dict(rays=np.full(S, R), gates=np.full(S, G), azimuth=np.tile(np.arange(R) * 2.0, S),
                  height=np.tile(np.arange(G) * 50.0, S), cos_el=np.ones(S * G),
                  nyquist=np.full(S, 10.0), reference=np.empty((3, 0)))
        want = _polar.dealias(v, out=np.empty_like(v), n_threads=1, **kw)
        velocity = v.copy()
        out = velocity if {into!r} == "velocity" else np.full_like(v, 7.0)
        kept = out.copy()
        shim.faultshim_fail_malloc_off_main(1 << 12)
        # a worker that starts late may find every sweep taken: tried until one is its
        for _ in range(5):
            velocity[...] = v
            out[...] = kept
            try:
                _polar.dealias(velocity, out=out, n_threads={n_threads}, **kw)
            except MemoryError:
                print("MemoryError")
                break
        else:
            print("no error")
        shim.faultshim_fail_malloc_off_main(0)
        print(np.array_equal(out, kept), np.array_equal(velocity, v))
        got = _polar.dealias(velocity, out=out, n_threads={n_threads}, **kw)
        print(all(np.array_equal(x, y) for x, y in zip(got, want)))
    """)
    assert out.split() == ["MemoryError", "True", "True", "True"]


def test_empty_tiny_and_all_missing_sweeps():
    """Sweeps of no rays, rays without gates, one ray or all-NaN data come back with every
    gate unresolved and counts of zero."""
    v = np.full(3 + 0 + 4 + 0, np.nan, np.float32)
    folds, table, counts = _polar.dealias(
        v,
        np.array([1, 0, 2, 3]),
        np.array([3, 5, 2, 0]),
        np.array([10.0, 0.0, 90.0, 0.0, 120.0, 240.0]),
        np.zeros(10),
        np.ones(10),
        np.array([10.0, 10.0, 10.0, 10.0]),
        np.empty((3, 0)),
        v,
    )
    assert folds.dtype == np.int8 and folds.shape == (7,)
    assert np.all(folds == FILL) and np.all(np.isnan(v))
    assert table.shape[0] == 4 and np.all(np.isfinite(table[1:3]))
    np.testing.assert_array_equal(counts, [[0, 0, 0, 0], [0, 0, 0, 0]])


def uniform_sweeps(vn, seed=0, sweeps=3, rays=240, gates=160, spacing=500.0):
    """Sweeps of a uniform wind increasing with height (0.5, 2 and 5 degrees), folded at vn,
    as the kernel's arguments, and the true velocities."""
    rng = np.random.default_rng(seed)
    az = (np.arange(rays) + 0.5) * 360.0 / rays
    r = (np.arange(gates) + 0.5) * spacing
    vel, true, height, cosel = [], [], [], []
    for el in (0.5, 2.0, 5.0)[:sweeps]:
        h = r * np.sin(np.deg2rad(el)) + r**2 / (2 * 4.0 / 3.0 * 6.371e6)
        u, v = 5.0 + 3.0e-3 * h, 4.0 + 2.5e-3 * h
        a = np.deg2rad(az)[:, None]
        t = (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(el)) + rng.normal(
            0, 1.0, (rays, gates)
        )
        t[rng.random(t.shape) < 0.05] = np.nan
        true.append(t)
        vel.append(((t + vn) % (2 * vn) - vn).astype(np.float32))
        height.append(h)
        cosel.append(np.full(gates, np.cos(np.deg2rad(el))))
    kw = {
        "velocity": np.concatenate([x.ravel() for x in vel]),
        "rays": np.full(sweeps, rays),
        "gates": np.full(sweeps, gates),
        "azimuth": np.tile(az, sweeps),
        "height": np.concatenate(height),
        "cos_el": np.concatenate(cosel),
        "nyquist": np.full(sweeps, vn),
        "reference": np.empty((3, 0)),
    }
    kw["out"] = np.empty_like(kw["velocity"])
    return kw, np.concatenate([t.ravel() for t in true])


@pytest.mark.parametrize("vn", [8.0, 12.0])
def test_aliased_field_comes_back_to_the_truth(vn):
    """A wind up to about 3 V_N folded at V_N: the dealiased velocities equal the truth (to
    float32) at every gate, and the counts say so."""
    kw, true = uniform_sweeps(vn)
    measured = kw["velocity"].copy()
    folds, _, counts = _polar.dealias(**kw)
    np.testing.assert_array_equal(kw["velocity"], measured)  # the input stays as it was
    got = kw["out"].astype(np.float64)
    has = np.isfinite(true)
    assert np.abs(true[has]).max() > 2.0 * vn
    np.testing.assert_allclose(got[has], true[has], atol=1e-4)
    assert np.all(np.isnan(got[~has])) and np.all(folds[~has] == FILL)
    assert counts[0].sum() == has.sum() and counts[1].sum() == 0
    assert set(np.unique(folds[has])) >= {-1, 0, 1}


def test_out_may_be_the_velocity_array_itself():
    """Written over its own input, the result is the same as into a separate array."""
    kw, _ = uniform_sweeps(10.0, seed=2)
    apart = _polar.dealias(**kw)
    same = dict(kw, velocity=kw["velocity"].copy())
    same["out"] = same["velocity"]
    over = _polar.dealias(**same)
    for x, y in zip(apart, over):
        np.testing.assert_array_equal(x, y)
    np.testing.assert_array_equal(kw["out"], same["velocity"])


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", [2, 3, 16])
def test_same_bits_for_every_thread_count(n_threads):
    """Folds, velocities, profile and counts are bit for bit those of one thread."""
    kw, _ = uniform_sweeps(10.0, seed=4)
    one = dict(kw, out=np.empty_like(kw["velocity"]))
    many = dict(kw, out=np.empty_like(kw["velocity"]))
    a = _polar.dealias(**one, n_threads=1)
    b = _polar.dealias(**many, n_threads=n_threads)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)
    np.testing.assert_array_equal(one["out"], many["out"])


finite = st.floats(allow_nan=False, allow_infinity=False)
values = st.one_of(st.floats(width=32), st.sampled_from([np.nan, 0.0, -0.0, 1e-45, 3e38]))


@st.composite
def volumes(draw):
    """Kernel arguments of 0 to 3 sweeps of 0 to 12 rays and 0 to 9 gates, with any float32
    velocities, any finite azimuths (repeated, unsorted, far outside [0, 360)), heights and
    cosines of any sign or none, and positive Nyquist velocities from tiny to huge."""
    shapes = draw(st.lists(st.tuples(st.integers(0, 12), st.integers(0, 9)), max_size=3))
    rays = np.array([r for r, _ in shapes], np.int64)
    gates = np.array([g for _, g in shapes], np.int64)
    cells, nray, ngate = int((rays * gates).sum()), int(rays.sum()), int(gates.sum())
    velocity = np.array(draw(st.lists(values, min_size=cells, max_size=cells)), np.float32)
    az = draw(
        st.lists(st.one_of(finite, st.sampled_from([0.0, 359.9])), min_size=nray, max_size=nray)
    )
    height = draw(
        st.lists(st.one_of(st.floats(-1e9, 9.9e7), st.just(np.nan)), min_size=ngate, max_size=ngate)
    )
    cos_el = draw(st.lists(st.floats(), min_size=ngate, max_size=ngate))
    nyquist = draw(st.lists(st.floats(1e-300, 1e300), min_size=len(shapes), max_size=len(shapes)))
    return {
        "velocity": velocity,
        "rays": rays,
        "gates": gates,
        "azimuth": np.array(az, np.float64),
        "height": np.array(height, np.float64),
        "cos_el": np.array(cos_el, np.float64),
        "nyquist": np.array(nyquist, np.float64),
        "reference": np.empty((3, 0)),
    }


@pytest.mark.threads
@settings(deadline=None)
@given(kw=volumes(), n_threads=st.sampled_from([0, 2, 3]))
def test_any_layout_and_values_give_a_consistent_result(kw, n_threads):
    """Whatever the sizes and values, the call returns (no crash) folds that say exactly where
    the dealiased velocity is missing, counts that are those of the data, dealiased values
    that are the measured ones plus 2 V_N folds, the bits of one thread, and leaves its
    inputs as they were."""
    before = {k: v.copy() for k, v in kw.items()}
    out = np.empty_like(kw["velocity"])
    folds, table, counts = _polar.dealias(**kw, out=out, n_threads=n_threads)
    for k, v in kw.items():
        np.testing.assert_array_equal(v, before[k])
    v = kw["velocity"]
    assert folds.shape == v.shape and counts.shape == (2, kw["rays"].size)
    assert table.shape[0] == 4 and table.shape[1] >= 1
    np.testing.assert_array_equal(folds == FILL, np.isnan(out))
    o = 0
    for k, n in enumerate(kw["rays"] * kw["gates"]):
        vk, fk, dk = v[o : o + n], folds[o : o + n], out[o : o + n]
        assert counts[0, k] == np.count_nonzero(~np.isnan(vk))
        assert counts[1, k] == np.count_nonzero((fk == FILL) & ~np.isnan(vk))
        ok = fk != FILL
        with np.errstate(over="ignore", invalid="ignore"):
            shifted = (vk.astype(np.float64) + 2.0 * kw["nyquist"][k] * fk).astype(np.float32)
        want = np.where(fk == 0, vk, shifted)
        np.testing.assert_array_equal(dk[ok], want[ok])
        o += n
    one = np.empty_like(out)
    alone = _polar.dealias(**kw, out=one, n_threads=1)
    for x, y in zip(alone, (folds, table, counts)):
        np.testing.assert_array_equal(x, y)
    np.testing.assert_array_equal(one, out)
