"""radarkit.winds: VAD rings and wind profiles, on arrays and on synthetic volumes."""

import numpy as np
import pytest

from cases import check_profile, public_functions, run_examples
from radarkit import geometry, winds

pytestmark = pytest.mark.python_layer

# ---------------------------------------------------------------------------------------------
# VAD on arrays


def _lstsq_rings(vel, az_deg):
    """Independent least-squares fit of c + a sin az + b cos az per ring (rings = gates)."""
    out = []
    for g in range(vel.shape[1]):
        ok = np.isfinite(vel[:, g])
        a = np.deg2rad(az_deg[ok])
        X = np.column_stack([np.ones(a.size), np.sin(a), np.cos(a)])
        out.append(np.linalg.lstsq(X, vel[ok, g], rcond=None)[0])
    return np.array(out)


def test_vad_arrays_pads_sweeps_of_different_ray_counts_and_matches_lstsq():
    """Sweeps of different sizes in one call give each sweep's own fit, equal to least squares."""
    rng = np.random.default_rng(3)
    sweeps = []
    for rays, gates, el in ((360, 50, 0.5), (720, 80, 1.5), (90, 30, 8.0)):
        az = (np.arange(rays) + 0.5) * 360.0 / rays + rng.normal(0, 0.05, rays)
        vel = rng.normal(0, 3, (rays, gates)) + 5 * np.sin(np.deg2rad(az))[:, None]
        vel[rng.random(vel.shape) < 0.2] = np.nan
        sweeps.append((vel, az, np.full(rays, el), 250.0 + 250.0 * np.arange(gates)))
    vel, az, el, rg = zip(*sweeps)
    res = winds.vad_arrays(list(vel), list(az), list(el), list(rg), min_gates=10, min_spread=0.1)
    assert res["u"].shape == (3, 80)
    for k, (v, a, e, r) in enumerate(sweeps):
        one = winds.vad_arrays(v, a, e, r, min_gates=10, min_spread=0.1)
        g = v.shape[1]
        for name in ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2"):
            np.testing.assert_array_equal(res[name][k, :g], one[name][0])
            assert np.all(np.isnan(res[name][k, g:]))
        ref = _lstsq_rings(v, a)
        _, _, local = geometry.beam_geometry(r, e.mean())
        cos_el = np.cos(np.deg2rad(local))
        np.testing.assert_allclose(res["offset"][k, :g], ref[:, 0], atol=1e-9)
        np.testing.assert_allclose(res["u"][k, :g], ref[:, 1] / cos_el, atol=1e-9)
        np.testing.assert_allclose(res["v"][k, :g], ref[:, 2] / cos_el, atol=1e-9)
        np.testing.assert_array_equal(res["count"][k, :g], np.isfinite(v).sum(axis=0))


@pytest.mark.parametrize(
    ("sector", "accepted"), [(360.0, True), (300.0, True), (150.0, False), (60.0, False)]
)
def test_vad_arrays_refuses_rings_on_partial_coverage(sector, accepted):
    """Rings covering too little of the circle get no fit; full enough ones get the wind."""
    az = np.arange(0.5, 360.0, 1.0)
    vel = np.tile((10 * np.sin(np.deg2rad(az)))[:, None], (1, 4))
    vel[az >= sector] = np.nan
    res = winds.vad_arrays(vel, az, np.full(az.size, 0.5), np.arange(4) * 1e3 + 500.0)
    assert np.all(np.isfinite(res["u"]) == accepted)
    np.testing.assert_array_equal(res["count"][0], np.full(4, (az < sector).sum()))
    if accepted:
        np.testing.assert_allclose(res["v"], 0.0, atol=1e-9)


def test_vad_arrays_refuses_wrong_shapes():
    """Arrays that disagree in rays, gates or sweeps are refused naming the mismatch."""
    with pytest.raises(ValueError, match="one value per ray"):
        winds.vad_arrays(np.zeros((10, 5)), np.zeros(9), np.zeros(10), np.zeros(5))
    with pytest.raises(ValueError, match="one value per gate"):
        winds.vad_arrays(np.zeros((10, 5)), np.zeros(10), np.zeros(10), np.zeros(4))
    with pytest.raises(ValueError, match="one entry per sweep"):
        winds.vad_arrays([np.zeros((10, 5))] * 2, [np.zeros(10)], [np.zeros(10)], [np.zeros(5)])


# ---------------------------------------------------------------------------------------------
# Profiles from rings


def test_profile_arrays_count_weighted_mean_and_spread():
    """A bin's wind is the count-weighted mean of its rings, its spread their weighted deviation."""
    z = np.array([100.0, 130.0, 240.0, 250.0, 260.0, 900.0, 130.0])
    u = np.array([1.0, 3.0, 5.0, 7.0, np.nan, 2.0, 100.0])
    v = np.array([0.0, 2.0, 4.0, 4.0, 1.0, -2.0, 100.0])
    rms = np.array([0.5, 1.0, 1.0, 2.0, 1.0, 1.0, 1.0])
    n = np.array([10.0, 30.0, 20.0, 20.0, 50.0, 40.0, 0.0])  # last ring: no samples, ignored
    p = winds.profile_arrays(z, u, v, rms, n, heights=[0.0, 250.0, 500.0])
    # bins: [-125, 125), [125, 375), [375, 625); 900 m lies outside, 260 m has no wind
    np.testing.assert_array_equal(p["count"], [10.0, 70.0, 0.0])
    np.testing.assert_array_equal(p["rings"], [1.0, 3.0, 0.0])
    assert p["u"][0] == 1.0 and p["u_spread"][0] == 0.0
    um = (30 * 3.0 + 20 * 5.0 + 20 * 7.0) / 70
    vm = (30 * 2.0 + 20 * 4.0 + 20 * 4.0) / 70
    np.testing.assert_allclose(p["u"][1], um)
    np.testing.assert_allclose(p["v"][1], vm)
    us = np.sqrt((30 * (3 - um) ** 2 + 20 * (5 - um) ** 2 + 20 * (7 - um) ** 2) / 70)
    np.testing.assert_allclose(p["u_spread"][1], us)
    np.testing.assert_allclose(p["rms"][1], (30 * 1.0 + 20 * 1.0 + 20 * 2.0) / 70)
    np.testing.assert_allclose(p["mean_height"][1], (30 * 130 + 20 * 240 + 20 * 250) / 70)
    assert np.isnan(p["u"][2]) and np.isnan(p["direction"][2])


@pytest.mark.parametrize(
    ("u", "v", "direction"),
    [(0.0, -5.0, 0.0), (-5.0, 0.0, 90.0), (0.0, 5.0, 180.0), (5.0, 0.0, 270.0)],
)
def test_profile_direction_is_where_the_wind_comes_from(u, v, direction):
    """direction is where the wind blows from, clockwise from north."""
    p = winds.profile_arrays([10.0], [u], [v], [0.0], [50], heights=[0.0, 100.0])
    assert p["direction"][0] == pytest.approx(direction)
    assert p["speed"][0] == pytest.approx(5.0)


@pytest.mark.parametrize("heights", [[100.0], [0.0, 0.0], [500.0, 100.0], [0.0, np.nan]])
def test_profile_arrays_refuses_bad_heights(heights):
    """Bin centres must be at least two finite increasing values."""
    with pytest.raises(ValueError, match="heights"):
        winds.profile_arrays([1.0], [1.0], [1.0], [1.0], [10], heights=heights)


# ---------------------------------------------------------------------------------------------
# Volumes through xarray / xradar

xr = pytest.importorskip("xarray")
synthetic = pytest.importorskip("radarkit.synthetic")


@pytest.fixture(scope="module")
def volume():
    return synthetic.synthetic_volume(elevations=(0.5, 1.5, 3.0, 6.0, 12.0), rays=360, gates=240)


def test_vad_rings_of_the_synthetic_volume_give_the_wind_at_beam_height(volume):
    """Every ring of a noise-free volume gives the true wind at its beam height."""
    rings = winds.vad(volume)
    assert rings.sizes == {"sweep": 5, "range": 240}
    u_true, v_true = synthetic.default_wind(rings["beam_height"].values)
    # float32 storage of the velocities is the only error
    np.testing.assert_allclose(rings["u"].values, u_true, atol=2e-4)
    np.testing.assert_allclose(rings["v"].values, v_true, atol=2e-4)
    np.testing.assert_allclose(rings["offset2"].values, 0.0, atol=2e-4)
    np.testing.assert_array_equal(rings["count"].values, 360.0)
    np.testing.assert_allclose(
        rings["height"].values, rings["beam_height"].values + float(volume["altitude"])
    )


def test_vad_profile_recovers_the_analytic_wind_without_noise(volume):
    """The profile of a noise-free volume is within 0.05 m/s of the true wind."""
    prof = winds.vad_profile(volume, heights=np.arange(0.0, 8001.0, 250.0))
    check_profile(prof, 0.05)
    # the uncertainty reflects the change of the wind across the bin, nothing else
    assert np.nanmax(prof["u_spread"].values) < 0.5


@pytest.mark.parametrize("seed", [1, 2])
def test_vad_profile_with_noise_stays_within_five_standard_errors(seed):
    """With 2 m/s noise every bin stays within five standard errors of the truth."""
    sigma = 2.0
    vol = synthetic.synthetic_volume(
        elevations=(0.5, 1.5, 3.0, 6.0),
        rays=360,
        gates=240,
        velocity_noise=sigma,
        seed=seed,
        missing=0.1,
    )
    prof = winds.vad_profile(vol, heights=np.arange(0.0, 6001.0, 250.0))
    # each ring's u and v have variance 2 sigma²/n (n samples evenly around the circle), so the
    # count-weighted mean of a bin has 2 sigma²/sum(n); cos(12°) > 0.97 covers the elevation factor
    bound = 5.0 * sigma * np.sqrt(2.0 / np.maximum(prof["count"].values, 1)) / 0.97 + 0.01
    check_profile(prof, bound)
    assert np.nanmax(bound[prof["count"].values > 0]) < 0.3  # the bound stated in the README


def test_vad_of_one_sweep_dataset_and_moment_names(volume):
    """One sweep Dataset works, the moment name is an argument, and errors name what is missing."""
    ds = volume["sweep_1"].to_dataset().rename({"VRADH": "VEL"})
    ring = winds.vad(ds, velocity="VEL")
    assert ring.sizes["sweep"] == 1
    np.testing.assert_array_equal(ring["u"].values[0], winds.vad(volume)["u"].values[1])
    # without a name the moment is found by its common name; a name given is used as given
    xr.testing.assert_identical(winds.vad(ds), ring)
    with pytest.raises(ValueError, match=r"sweep_0 has no moment 'VRADH' \(moments: DBZH, VEL\)"):
        winds.vad(ds, velocity="VRADH")
    with pytest.raises(TypeError, match="DataTree"):
        winds.vad(np.zeros((3, 3)))


def test_vad_union_of_ranges_across_sweeps():
    """Sweeps of different gate spacings share the union of their ranges, NaN where absent."""
    a = synthetic.synthetic_volume(elevations=(0.5,), rays=90, gates=20)
    b = synthetic.synthetic_volume(elevations=(2.0,), rays=120, gates=30, gate_spacing=500.0)
    tree = xr.DataTree.from_dict(
        {
            "/": a.to_dataset(),
            "sweep_0": a["sweep_0"].to_dataset(),
            "sweep_1": b["sweep_0"].to_dataset(),
        }
    )
    rings = winds.vad(tree, min_gates=20)
    r0, r1 = a["sweep_0"]["range"].values, b["sweep_0"]["range"].values
    np.testing.assert_array_equal(rings["range"].values, np.union1d(r0, r1))
    assert np.isfinite(rings["u"].sel(range=r0).values[0]).all()
    assert np.isnan(rings["u"].sel(range=np.setdiff1d(r0, r1)).values[1]).all()


def test_sweeps_without_the_velocity_moment_are_left_out(volume):
    """Sweeps without radial velocity are left out, and none having it is an error."""
    nodes = {"/": volume.to_dataset()}
    for k in range(5):
        ds = volume[f"sweep_{k}"].to_dataset()
        nodes[f"sweep_{k}"] = ds.drop_vars("VRADH") if k in (0, 2) else ds
    rings = winds.vad(xr.DataTree.from_dict(nodes))
    assert list(rings["sweep_name"].values) == ["sweep_1", "sweep_3", "sweep_4"]
    np.testing.assert_array_equal(rings["u"].values, winds.vad(volume)["u"].values[[1, 3, 4]])
    only_dbz = {k: v.drop_vars("VRADH", errors="ignore") for k, v in nodes.items()}
    with pytest.raises(ValueError, match=r"no radial-velocity moment \(moments: DBZH\)"):
        winds.vad(xr.DataTree.from_dict(only_dbz))
    with pytest.raises(ValueError, match=r"sweep_0 has no moment 'VRADH'"):
        winds.vad(xr.DataTree.from_dict(only_dbz), velocity="VRADH")


def test_vad_arrays_result_fields_and_older_keys(volume):
    """VadRings reads by attribute or key; the older key 'altitude' warns and gives height."""
    ds = volume["sweep_0"].to_dataset()
    args = [ds["VRADH"].values, ds["azimuth"].values, ds["elevation"].values, ds["range"].values]
    rings = winds.vad_arrays(*args, radar_height=350.0)
    assert list(rings) == [
        "u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2",
        "range", "beam_height", "height", "ground_distance", "elevation",
    ]  # fmt: skip
    np.testing.assert_array_equal(rings["height"], rings.beam_height + 350.0)
    with pytest.warns(DeprecationWarning, match="'altitude' is deprecated, use 'height'"):
        np.testing.assert_array_equal(rings["altitude"], rings.height)
    with pytest.warns(DeprecationWarning, match="'altitude' is deprecated, use 'radar_height'"):
        old = winds.vad_arrays(*args, altitude=350.0)
    np.testing.assert_array_equal(old.height, rings.height)


def test_vad_and_profile_datasets_carry_cf_attributes(volume):
    """Every variable of vad and vad_profile has units and long_name, winds a standard_name."""
    rings = winds.vad(volume)
    prof = winds.vad_profile(rings, heights=np.arange(0.0, 3001.0, 500.0), above="sea")
    for ds in (rings, prof):
        for name, var in ds.variables.items():
            if name not in ("sweep", "sweep_name"):
                assert {"units", "long_name"} <= set(var.attrs), name
    want = {"u": "eastward_wind", "v": "northward_wind", "height": "altitude"}
    assert {k: rings[k].attrs["standard_name"] for k in want} == want
    assert prof["speed"].attrs["standard_name"] == "wind_speed"
    assert prof["direction"].attrs["standard_name"] == "wind_from_direction"
    assert prof["height"].attrs["standard_name"] == "altitude"


def test_vad_profile_above_sea_takes_rings_of_either_height_name(volume):
    """Rings whose sea-level height is still called 'altitude' give the same profile."""
    rings = winds.vad(volume)
    heights = np.arange(500.0, 4001.0, 500.0)
    new = winds.vad_profile(rings, heights=heights, above="sea")
    old = winds.vad_profile(rings.rename({"height": "altitude"}), heights=heights, above="sea")
    np.testing.assert_array_equal(new["u"].values, old["u"].values)
    # above sea level the bins sit higher by the antenna's height than above the radar
    radar = winds.vad_profile(rings, heights=heights - 350.0)
    np.testing.assert_array_equal(radar["count"].values, new["count"].values)


@pytest.mark.parametrize(("name", "obj"), public_functions(winds))
def test_examples_run(name, obj):
    """Every documented example of the module runs as shown."""
    examples, failed = run_examples(obj, name, vars(winds))
    assert examples and not failed


@pytest.mark.parametrize(
    "ranges",
    [
        lambda r: np.r_[r[:1], r[:-1]],  # the first gate twice
        lambda r: r * np.nan,  # no ranges at all
    ],
    ids=["repeated", "all-nan"],
)
@pytest.mark.parametrize("function", ["vad", "vad_profile"])
def test_a_sweep_whose_ranges_repeat_is_refused_naming_it(ranges, function):
    """Rings are labelled by their range: a sweep with a range twice (or only NaN ranges)
    raises ValueError naming the sweep, not xarray's complaint about a duplicate index."""
    xr = pytest.importorskip("xarray")
    synthetic = pytest.importorskip("radarkit.synthetic")
    vol = synthetic.synthetic_volume(elevations=(0.5, 1.5), rays=36, gates=20)
    nodes = {n.path: n.to_dataset(inherit=False) for n in vol.subtree}
    nodes["/sweep_1"] = nodes["/sweep_1"].assign_coords(
        range=ranges(nodes["/sweep_1"].range.values)
    )
    call = {"vad": winds.vad, "vad_profile": lambda v: winds.vad_profile(v, heights=[0.0, 500.0])}
    with pytest.raises(ValueError, match="sweep_1: its range values repeat"):
        call[function](xr.DataTree.from_dict(nodes))
