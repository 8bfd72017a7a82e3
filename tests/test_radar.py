"""radarkit.radar: gate geometry, VAD rings and profiles, synthetic volumes through xradar."""

import numpy as np
import pytest

from radarkit import geometry as _geometry
from radarkit import radar

pytestmark = pytest.mark.python_layer

KA = _geometry.EFFECTIVE_FACTOR * _geometry.EARTH_RADIUS


# ---------------------------------------------------------------------------------------------
# Geometry


def test_beam_geometry_matches_the_effective_earth_triangle():
    # The gate in a plane through the effective earth's centre: x along the ground tangent,
    # y up; its height is the distance from the centre less the radius.
    r = np.linspace(0.0, 300e3, 61)[:, None]
    el = np.array([0.0, 0.5, 2.4, 10.0, 19.5, 45.0, 89.0])[None, :]
    e = np.deg2rad(el)
    x, y = r * np.cos(e), KA + r * np.sin(e)
    h_ref = np.hypot(x, y) - KA
    s_ref = KA * np.arctan2(x, y)
    up = np.stack([x, y]) / np.hypot(x, y)
    local_ref = np.rad2deg(np.arcsin(np.cos(e) * up[0] + np.sin(e) * up[1]))
    h, s, local = _geometry.beam_geometry(r, el)
    np.testing.assert_allclose(h, h_ref, rtol=0, atol=1e-6)
    np.testing.assert_allclose(s, s_ref, rtol=0, atol=1e-6)
    np.testing.assert_allclose(local, local_ref, rtol=0, atol=1e-9)
    # the textbook value: 100 km at 0.5 degrees is about 1.46 km up
    h1, _, _ = _geometry.beam_geometry(100e3, 0.5)
    assert 1455.0 < h1 < 1465.0


@pytest.mark.parametrize("lat", [0.0, 35.3, -46.5, 71.0, 89.5])
def test_gate_positions_agree_with_pyproj_geodesic(lat):
    pyproj = pytest.importorskip("pyproj")
    geod = pyproj.Geod(ellps="WGS84")
    az = np.arange(0.0, 360.0, 7.5)
    dist = np.array([0.0, 250.0, 10e3, 50e3, 100e3, 250e3])
    A, D = np.meshgrid(az, dist, indexing="ij")
    lon0 = -97.5
    lat2, lon2, back = _geometry.geodesic_forward(lat, lon0, A, D)
    lon_ref, lat_ref, back_ref = geod.fwd(
        np.full(A.size, lon0), np.full(A.size, lat), A.ravel(), D.ravel()
    )
    # distance between our end point and pyproj's, in metres
    _, _, miss = geod.inv(lon2.ravel(), lat2.ravel(), lon_ref, lat_ref)
    assert np.max(miss) < 1e-3  # well inside the 1 m needed at 100 km
    # azimuth of the geodesic at the end point (pyproj's is the back azimuth)
    far = D.ravel() > 0
    diff = back.ravel()[far] - (np.asarray(back_ref)[far] + 180.0) % 360.0
    assert np.max(np.abs((diff + 180.0) % 360.0 - 180.0)) < 1e-6


def test_gate_geometry_shapes_heights_and_directions():
    g = radar.gate_geometry(46.5, 7.5, 350.0, [0.0, 90.0, 180.0], [0.5, 0.5, 10.0], [1e3, 1e5])
    assert all(v.shape == (3, 2) for v in g.values())
    h, s, local = _geometry.beam_geometry(np.array([1e3, 1e5]), 0.5)
    np.testing.assert_allclose(g["height"][0], 350.0 + h)
    np.testing.assert_allclose(g["ground_distance"][1], s)
    np.testing.assert_allclose(g["beam_elevation"][1], local)
    # north- and southward rays stay on the radar's meridian; east goes east
    assert np.allclose(g["longitude"][[0, 2]], 7.5)
    assert np.all(g["latitude"][0] > 46.5) and np.all(g["latitude"][2] < 46.5)
    assert np.all(g["longitude"][1] > 7.5)
    # 100 km north is about 0.9 degrees of latitude
    assert 0.89 < g["latitude"][0, 1] - 46.5 < 0.91


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
    rng = np.random.default_rng(3)
    sweeps = []
    for rays, gates, el in ((360, 50, 0.5), (720, 80, 1.5), (90, 30, 8.0)):
        az = (np.arange(rays) + 0.5) * 360.0 / rays + rng.normal(0, 0.05, rays)
        vel = rng.normal(0, 3, (rays, gates)) + 5 * np.sin(np.deg2rad(az))[:, None]
        vel[rng.random(vel.shape) < 0.2] = np.nan
        sweeps.append((vel, az, np.full(rays, el), 250.0 + 250.0 * np.arange(gates)))
    vel, az, el, rg = zip(*sweeps)
    res = radar.vad_arrays(list(vel), list(az), list(el), list(rg), min_gates=10, min_spread=0.1)
    assert res["u"].shape == (3, 80)
    for k, (v, a, e, r) in enumerate(sweeps):
        one = radar.vad_arrays(v, a, e, r, min_gates=10, min_spread=0.1)
        g = v.shape[1]
        for name in ("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2"):
            np.testing.assert_array_equal(res[name][k, :g], one[name][0])
            assert np.all(np.isnan(res[name][k, g:]))
        ref = _lstsq_rings(v, a)
        _, _, local = _geometry.beam_geometry(r, e.mean())
        cos_el = np.cos(np.deg2rad(local))
        np.testing.assert_allclose(res["offset"][k, :g], ref[:, 0], atol=1e-9)
        np.testing.assert_allclose(res["u"][k, :g], ref[:, 1] / cos_el, atol=1e-9)
        np.testing.assert_allclose(res["v"][k, :g], ref[:, 2] / cos_el, atol=1e-9)
        np.testing.assert_array_equal(res["count"][k, :g], np.isfinite(v).sum(axis=0))


@pytest.mark.parametrize(
    ("sector", "accepted"), [(360.0, True), (300.0, True), (150.0, False), (60.0, False)]
)
def test_vad_arrays_refuses_rings_on_partial_coverage(sector, accepted):
    az = np.arange(0.5, 360.0, 1.0)
    vel = np.tile((10 * np.sin(np.deg2rad(az)))[:, None], (1, 4))
    vel[az >= sector] = np.nan
    res = radar.vad_arrays(vel, az, np.full(az.size, 0.5), np.arange(4) * 1e3 + 500.0)
    assert np.all(np.isfinite(res["u"]) == accepted)
    np.testing.assert_array_equal(res["count"][0], np.full(4, (az < sector).sum()))
    if accepted:
        np.testing.assert_allclose(res["v"], 0.0, atol=1e-9)


def test_vad_arrays_refuses_wrong_shapes():
    with pytest.raises(ValueError, match="one value per ray"):
        radar.vad_arrays(np.zeros((10, 5)), np.zeros(9), np.zeros(10), np.zeros(5))
    with pytest.raises(ValueError, match="one value per gate"):
        radar.vad_arrays(np.zeros((10, 5)), np.zeros(10), np.zeros(10), np.zeros(4))
    with pytest.raises(ValueError, match="one entry per sweep"):
        radar.vad_arrays([np.zeros((10, 5))] * 2, [np.zeros(10)], [np.zeros(10)], [np.zeros(5)])


# ---------------------------------------------------------------------------------------------
# Profiles from rings


def test_profile_arrays_count_weighted_mean_and_spread():
    z = np.array([100.0, 130.0, 240.0, 250.0, 260.0, 900.0, 130.0])
    u = np.array([1.0, 3.0, 5.0, 7.0, np.nan, 2.0, 100.0])
    v = np.array([0.0, 2.0, 4.0, 4.0, 1.0, -2.0, 100.0])
    rms = np.array([0.5, 1.0, 1.0, 2.0, 1.0, 1.0, 1.0])
    n = np.array([10.0, 30.0, 20.0, 20.0, 50.0, 40.0, 0.0])  # last ring: no samples, ignored
    p = radar.profile_arrays(z, u, v, rms, n, heights=[0.0, 250.0, 500.0])
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
    p = radar.profile_arrays([10.0], [u], [v], [0.0], [50], heights=[0.0, 100.0])
    assert p["direction"][0] == pytest.approx(direction)
    assert p["speed"][0] == pytest.approx(5.0)


@pytest.mark.parametrize("heights", [[100.0], [0.0, 0.0], [500.0, 100.0], [0.0, np.nan]])
def test_profile_arrays_refuses_bad_heights(heights):
    with pytest.raises(ValueError, match="heights"):
        radar.profile_arrays([1.0], [1.0], [1.0], [1.0], [10], heights=heights)


# ---------------------------------------------------------------------------------------------
# Volumes through xarray / xradar

xr = pytest.importorskip("xarray")
synthetic = pytest.importorskip("radarkit.synthetic")


@pytest.fixture(scope="module")
def volume():
    return synthetic.synthetic_volume(elevations=(0.5, 1.5, 3.0, 6.0, 12.0), rays=360, gates=240)


def _truth(z):
    return synthetic.default_wind(z)


def test_vad_rings_of_the_synthetic_volume_give_the_wind_at_beam_height(volume):
    rings = radar.vad(volume)
    assert rings.sizes == {"sweep": 5, "range": 240}
    u_true, v_true = _truth(rings["beam_height"].values)
    # float32 storage of the velocities is the only error
    np.testing.assert_allclose(rings["u"].values, u_true, atol=2e-4)
    np.testing.assert_allclose(rings["v"].values, v_true, atol=2e-4)
    np.testing.assert_allclose(rings["offset2"].values, 0.0, atol=2e-4)
    np.testing.assert_array_equal(rings["count"].values, 360.0)
    np.testing.assert_allclose(
        rings["altitude"].values, rings["beam_height"].values + float(volume["altitude"])
    )


def _check_profile(prof, bound):
    has = prof["count"].values > 0
    assert has.sum() >= 10
    u_true, v_true = _truth(prof["mean_height"].values[has])
    du = np.abs(prof["u"].values[has] - u_true)
    dv = np.abs(prof["v"].values[has] - v_true)
    b = bound if np.ndim(bound) == 0 else bound[has]
    assert np.all(du <= b), du.max()
    assert np.all(dv <= b), dv.max()


def test_vad_profile_recovers_the_analytic_wind_without_noise(volume):
    prof = radar.vad_profile(volume, heights=np.arange(0.0, 8001.0, 250.0))
    _check_profile(prof, 0.05)
    # the uncertainty reflects the change of the wind across the bin, nothing else
    assert np.nanmax(prof["u_spread"].values) < 0.5


@pytest.mark.parametrize("seed", [1, 2])
def test_vad_profile_with_noise_stays_within_five_standard_errors(seed):
    sigma = 2.0
    vol = synthetic.synthetic_volume(
        elevations=(0.5, 1.5, 3.0, 6.0),
        rays=360,
        gates=240,
        velocity_noise=sigma,
        seed=seed,
        missing=0.1,
    )
    prof = radar.vad_profile(vol, heights=np.arange(0.0, 6001.0, 250.0))
    # each ring's u and v have variance 2 sigma²/n (n samples evenly around the circle), so the
    # count-weighted mean of a bin has 2 sigma²/sum(n); cos(12°) > 0.97 covers the elevation factor
    bound = 5.0 * sigma * np.sqrt(2.0 / np.maximum(prof["count"].values, 1)) / 0.97 + 0.01
    _check_profile(prof, bound)
    assert np.nanmax(bound[prof["count"].values > 0]) < 0.3  # the bound stated in the README


def test_vad_of_one_sweep_dataset_and_moment_names(volume):
    ds = volume["sweep_1"].to_dataset().rename({"VRADH": "VEL"})
    ring = radar.vad(ds, velocity="VEL")
    assert ring.sizes["sweep"] == 1
    np.testing.assert_array_equal(ring["u"].values[0], radar.vad(volume)["u"].values[1])
    with pytest.raises(ValueError, match=r"sweep_0 has no moment 'VRADH' \(moments: DBZH, VEL\)"):
        radar.vad(ds)
    with pytest.raises(TypeError, match="DataTree"):
        radar.vad(np.zeros((3, 3)))


def test_vad_union_of_ranges_across_sweeps():
    a = synthetic.synthetic_volume(elevations=(0.5,), rays=90, gates=20)
    b = synthetic.synthetic_volume(elevations=(2.0,), rays=120, gates=30, gate_spacing=500.0)
    tree = xr.DataTree.from_dict(
        {
            "/": a.to_dataset(),
            "sweep_0": a["sweep_0"].to_dataset(),
            "sweep_1": b["sweep_0"].to_dataset(),
        }
    )
    rings = radar.vad(tree, min_gates=20)
    r0, r1 = a["sweep_0"]["range"].values, b["sweep_0"]["range"].values
    np.testing.assert_array_equal(rings["range"].values, np.union1d(r0, r1))
    assert np.isfinite(rings["u"].sel(range=r0).values[0]).all()
    assert np.isnan(rings["u"].sel(range=np.setdiff1d(r0, r1)).values[1]).all()


def test_missing_xradar_names_the_extra(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "xradar", None)
    with pytest.raises(ImportError, match=r"radarkit\[radar\]"):
        radar.open_volume(__file__)


# ---------------------------------------------------------------------------------------------
# Files written by xradar's writers and read back the way users read them


@pytest.mark.parametrize("fmt", ["cfradial1", "odim"])
def test_synthetic_file_round_trip_through_xradar(volume, fmt, tmp_path):
    pytest.importorskip("xradar")
    path = tmp_path / f"volume.{'nc' if fmt == 'cfradial1' else 'h5'}"
    synthetic.write_volume(volume, path, format=fmt)
    back = radar.open_volume(path)
    info = radar.describe(back)
    assert [s["name"] for s in info["sweeps"]] == [f"sweep_{k}" for k in range(5)]
    assert {"VRADH", "DBZH"} <= set(info["sweeps"][0]["moments"])
    assert info["latitude"] == pytest.approx(46.5) and info["altitude"] == pytest.approx(350.0)
    prof = radar.vad_profile(back, heights=np.arange(0.0, 8001.0, 250.0))
    # ODIM stores moments as scaled integers: the quantisation averages out over a ring
    _check_profile(prof, 0.05)


def test_open_volume_refuses_a_non_radar_file(tmp_path):
    pytest.importorskip("xradar")
    bad = tmp_path / "notes.txt"
    bad.write_text("not a radar file\n")
    with pytest.raises(ValueError, match=r"notes.txt: not a radar volume"):
        radar.open_volume(bad)
    with pytest.raises(FileNotFoundError):
        radar.open_volume(tmp_path / "absent.h5")


def test_sweeps_without_the_velocity_moment_are_left_out(volume):
    nodes = {"/": volume.to_dataset()}
    for k in range(5):
        ds = volume[f"sweep_{k}"].to_dataset()
        nodes[f"sweep_{k}"] = ds.drop_vars("VRADH") if k in (0, 2) else ds
    rings = radar.vad(xr.DataTree.from_dict(nodes))
    assert list(rings["sweep_name"].values) == ["sweep_1", "sweep_3", "sweep_4"]
    np.testing.assert_array_equal(rings["u"].values, radar.vad(volume)["u"].values[[1, 3, 4]])
    only_dbz = {k: v.drop_vars("VRADH", errors="ignore") for k, v in nodes.items()}
    with pytest.raises(ValueError, match=r"sweep_0 has no moment 'VRADH'"):
        radar.vad(xr.DataTree.from_dict(only_dbz))
