"""radarkit.qc: each gate filter removes what it should and counts it, the velocity texture
against a direct window computation, and the refusals."""

import numpy as np
import pytest

from cases import public_functions, run_examples
from radarkit import qc
from radarkit.qc import gate_filter, velocity_texture
from radarkit.synthetic import synthetic_volume

pytestmark = pytest.mark.python_layer


def volume_with(rho=None, noise_sector=None, seed=0):
    """A small synthetic volume, optionally with a cross-correlation moment and a sector of
    velocity noise spread over the Nyquist interval."""
    vol = synthetic_volume(
        elevations=(0.5, 2.5, 8.0),
        rays=120,
        gates=240,
        gate_spacing=500.0,
        velocity_noise=1.0,
        missing=0.1,
        nyquist=None,
        seed=seed,
    )
    rng = np.random.default_rng(seed)
    for name in list(vol.children):
        ds = vol[name].to_dataset()
        if rho is not None:
            ds = ds.assign(RHOHV=(("azimuth", "range"), rho(ds, rng)))
        if noise_sector is not None:
            v = ds["VRADH"].values.astype(np.float64)
            az = ds["azimuth"].values
            rows = (az >= noise_sector[0]) & (az < noise_sector[1])
            v[rows] = rng.uniform(-30.0, 30.0, v[rows].shape)
            ds = ds.assign(VRADH=(("azimuth", "range"), v))
        vol[name] = ds
    return vol


def sweeps_of(vol):
    return [vol[f"sweep_{k}"].to_dataset() for k in range(len(vol.children))]


@pytest.mark.parametrize(
    "kw,filter_name",
    [
        ({"min_range": 20e3, "max_range": 80e3}, "range"),
        ({"max_elevation": 3.0}, "elevation"),
        ({"min_reflectivity": 30.0}, "reflectivity"),
    ],
)
def test_each_filter_removes_and_counts_exactly_its_gates(kw, filter_name):
    """With one filter on, the removed gates are those failing it (counted directly), and
    gates before = kept + removed."""
    vol = volume_with()
    off = {
        "min_range": None,
        "max_range": None,
        "min_reflectivity": None,
        "min_cross_correlation": None,
        "max_texture": None,
    }
    f = gate_filter(vol, **{**off, **kw})
    want = {"velocity": 0, "reflectivity": 0}
    for k, ds in enumerate(sweeps_of(vol)):
        v, z = ds["VRADH"].values, ds["DBZH"].values
        r = ds["range"].values[None, :]
        el = ds["elevation"].values[:, None]
        if filter_name == "range":
            fail = np.broadcast_to((r < kw["min_range"]) | (r > kw["max_range"]), v.shape)
        elif filter_name == "elevation":
            fail = np.broadcast_to(el > kw["max_elevation"], v.shape)
        else:
            fail = ~(z >= kw["min_reflectivity"])
        want["velocity"] += int(np.count_nonzero(np.isfinite(v) & fail))
        if filter_name != "reflectivity":
            want["reflectivity"] += int(np.count_nonzero(np.isfinite(z) & fail))
        np.testing.assert_array_equal(f.velocity[k], np.isfinite(v) & ~fail)
    for moment in ("velocity", "reflectivity"):
        removed = f.removed[moment].get(filter_name, 0)
        assert removed == want[moment]
        assert sum(f.removed[moment].values()) == removed
        assert f.gates[moment] - f.kept[moment] == removed
    assert want["velocity"] > 0


def test_low_cross_correlation_is_removed_where_measured():
    """Gates with RHOHV below the threshold lose both moments; gates without a ratio stay."""

    def rho(ds, rng):
        r = rng.uniform(0.5, 1.0, ds["VRADH"].shape)
        r[rng.random(r.shape) < 0.2] = np.nan
        return r

    vol = volume_with(rho=rho)
    f = gate_filter(vol, min_range=None, max_range=None, min_reflectivity=None, max_texture=None)
    n = 0
    for k, ds in enumerate(sweeps_of(vol)):
        low = ds["RHOHV"].values < 0.8
        z = ds["DBZH"].values
        np.testing.assert_array_equal(f.reflectivity[k], np.isfinite(z) & ~low)
        n += int(np.count_nonzero(np.isfinite(z) & low))
    assert f.removed["reflectivity"]["cross_correlation"] == n > 0


def test_the_texture_filter_removes_noise_and_keeps_weather():
    """In a sector of noise over the Nyquist interval the texture filter removes nearly every
    gate; elsewhere (1 m/s noise) nearly none."""
    vol = volume_with(noise_sector=(90.0, 150.0))
    f = gate_filter(vol, min_range=None, max_range=None, min_reflectivity=None)
    noisy = good = noisy_kept = good_kept = 0
    for k, ds in enumerate(sweeps_of(vol)):
        v = ds["VRADH"].values
        rows = (ds["azimuth"].values >= 90.0) & (ds["azimuth"].values < 150.0)
        ok = np.isfinite(v)
        noisy += np.count_nonzero(ok[rows])
        good += np.count_nonzero(ok[~rows])
        noisy_kept += np.count_nonzero(f.velocity[k][rows])
        good_kept += np.count_nonzero(f.velocity[k][~rows])
    assert noisy_kept / noisy < 0.05
    assert good_kept / good > 0.995
    assert f.removed["velocity"]["texture"] == (noisy - noisy_kept) + (good - good_kept)


@pytest.mark.parametrize("gates", [3, 5, 7, 11])
def test_texture_equals_a_direct_window_standard_deviation(gates):
    """The texture equals the sample standard deviation of each window's finite values."""
    rng = np.random.default_rng(gates)
    v = rng.normal(10.0, 4.0, (6, 50))
    v[rng.random(v.shape) < 0.3] = np.nan
    got = velocity_texture(v, gates)
    h = gates // 2
    for i in range(v.shape[0]):
        for g in range(v.shape[1]):
            w = v[i, max(0, g - h) : g + h + 1]
            w = w[np.isfinite(w)]
            if w.size < 3:
                assert np.isnan(got[i, g])
            else:
                np.testing.assert_allclose(got[i, g], np.std(w, ddof=1), rtol=1e-10, atol=1e-12)


def test_filters_off_keep_every_finite_gate():
    """With every filter off, the masks are the finite gates and nothing is counted."""
    vol = volume_with()
    f = gate_filter(
        vol,
        min_range=None,
        max_range=None,
        min_reflectivity=None,
        min_cross_correlation=None,
        max_texture=None,
    )
    for k, ds in enumerate(sweeps_of(vol)):
        np.testing.assert_array_equal(f.velocity[k], np.isfinite(ds["VRADH"].values))
    assert f.kept == f.gates and not any(f.removed["velocity"].values())


def test_a_sweep_without_reflectivity_keeps_its_velocity():
    """The reflectivity threshold applies only to sweeps that have reflectivity."""
    vol = volume_with()
    vol["sweep_1"] = vol["sweep_1"].to_dataset().drop_vars("DBZH")
    f = gate_filter(vol, min_range=None, max_range=None, max_texture=None, min_reflectivity=99.0)
    assert f.reflectivity[1] is None
    v = vol["sweep_1"]["VRADH"].values
    np.testing.assert_array_equal(f.velocity[1], np.isfinite(v))
    assert not f.velocity[0].any()


@pytest.mark.parametrize(
    "kw,message",
    [
        ({"min_range": 10e3, "max_range": 5e3}, "min_range"),
        ({"max_texture": np.nan}, "max_texture"),
        ({"texture_gates": 4}, "gates"),
        ({"texture_gates": 1}, "gates"),
    ],
)
def test_bad_thresholds_raise_value_errors(kw, message):
    """Contradictory or meaningless thresholds raise ValueError naming them."""
    with pytest.raises(ValueError, match=message):
        gate_filter(volume_with(), **kw)


@pytest.mark.parametrize(("name", "obj"), public_functions(qc))
def test_examples_run(name, obj):
    """Each public function's example runs as shown."""
    examples, failed = run_examples(obj, name, vars(qc))
    assert examples and not failed


def numpy_texture(v, gates):
    """The window sums of the texture in NumPy, in the same order (gates beyond the ray's
    ends count as missing)."""
    h = gates // 2
    ok = np.isfinite(v)
    x = np.pad(np.where(ok, v, 0.0), ((0, 0), (h, h)))
    w = np.pad(ok.astype(float), ((0, 0), (h, h)))
    n = v.shape[1]
    s1, s2, c = np.zeros(v.shape), np.zeros(v.shape), np.zeros(v.shape)
    for k in range(gates):
        s1 += x[:, k : k + n]
        s2 += x[:, k : k + n] ** 2
        c += w[:, k : k + n]
    with np.errstate(invalid="ignore", divide="ignore"):
        out = np.sqrt(np.maximum((s2 - s1 * s1 / c) / (c - 1.0), 0.0))
    out[c < 3] = np.nan
    return out


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", [1, 2, 3, 0])
@pytest.mark.parametrize("gates", [3, 7])
def test_texture_is_the_numpy_window_sums_bit_for_bit_on_any_thread_count(gates, n_threads):
    """The compiled texture equals the NumPy window sums exactly, for every thread count."""
    rng = np.random.default_rng(gates)
    v = rng.normal(0.0, 20.0, (77, 301))
    v[rng.random(v.shape) < 0.2] = np.nan
    got = velocity_texture(v, gates, n_threads=n_threads)
    want = numpy_texture(v, gates)
    np.testing.assert_array_equal(got, want)


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("gates", [2 * 301 + 1, 2**31 + 1, 2**62 + 1, 2**63 - 1])
def test_a_window_wider_than_the_ray_is_the_whole_ray(gates, n_threads):
    """A window reaching past both ends of every ray holds the whole ray, however wide: the
    same bits as the widest window that matters, at once (no hang, no allocation of the
    window, no overflow of its size)."""
    rng = np.random.default_rng(5)
    v = rng.normal(0.0, 20.0, (40, 301))
    v[rng.random(v.shape) < 0.2] = np.nan
    v[3, :] = np.nan
    v[4, 2:] = np.nan
    want = numpy_texture(v, 2 * 301 + 1)
    np.testing.assert_array_equal(velocity_texture(v, gates, n_threads=n_threads), want)
    assert np.all(np.isnan(want[3:5]))


def test_a_moment_of_python_objects_is_read_as_numbers_or_refused():
    """A moment held as Python objects (a converter's leftovers) gives the masks of its
    numbers; one that holds no numbers raises ValueError naming the sweep and the moment."""
    vol = volume_with()
    want = gate_filter(vol)
    objects = vol.copy(deep=True)
    ds = objects["sweep_1"].to_dataset(inherit=False)
    objects["sweep_1"] = ds.assign(VRADH=ds["VRADH"].astype(object))
    got = gate_filter(objects)
    for a, b in zip(got.velocity, want.velocity):
        np.testing.assert_array_equal(a, b)
    assert got.removed == want.removed
    words = np.full(ds["VRADH"].shape, "fast", dtype=object)
    objects["sweep_1"] = ds.assign(VRADH=(ds["VRADH"].dims, words))
    with pytest.raises(ValueError, match="sweep_1: VRADH must be numbers"):
        gate_filter(objects)
