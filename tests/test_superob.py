"""Superobservations: box statistics against an independent NumPy computation, the same bits
for every thread count, analytic winds, linear-Z averaging, the rules that keep a box, the
Dataset and the refusals."""

import numpy as np
import pytest

import _polar
from cases import THREADS, public_functions, run_examples
from radarkit import geometry as _geometry
from radarkit import superob as superob_module
from radarkit.superob import superob, superob_arrays
from radarkit.synthetic import default_wind, synthetic_volume

SITE = {"radar_latitude": 46.5, "radar_longitude": 7.5, "radar_height": 350.0}
LAYOUTS = {
    "polar": {"boxes": "polar", "range_step": 5000.0, "azimuth_step": 5.0},
    "polar-odd": {"boxes": "polar", "range_step": 3300.0, "azimuth_step": 7.0},
    "grid": {"boxes": "grid", "spacing": 3000.0},
    "grid-fine": {"boxes": "grid", "spacing": 1100.0},
}


def random_sweeps(seed=0, n=3):
    """Sweeps of random velocities and reflectivities with gaps, jittered angles, unsorted
    rays, uneven ranges and per-ray times."""
    rng = np.random.default_rng(seed)
    out = {k: [] for k in ("velocity", "reflectivity", "azimuth", "elevation", "time", "range")}
    t0 = np.datetime64("2024-05-20T18:00:00", "ns")
    for k in range(n):
        rays, gates = 180 + 37 * k, 150 + 11 * k
        az = rng.permutation((np.arange(rays) + rng.uniform(0, 1)) * 360.0 / rays) % 360.0
        el = 0.5 + 2.0 * k + rng.choice([-0.02, 0.0, 0.03], rays)
        r = 2000.0 + np.cumsum(rng.uniform(150.0, 350.0, gates))
        v = rng.normal(4.0, 3.0, (rays, gates)) + 10.0 * np.sin(np.deg2rad(az))[:, None]
        z = rng.normal(25.0, 12.0, (rays, gates))
        v[rng.random(v.shape) < 0.25] = np.nan
        z[rng.random(z.shape) < 0.2] = np.nan
        out["velocity"].append(v)
        out["reflectivity"].append(z)
        out["azimuth"].append(az)
        out["elevation"].append(el)
        out["time"].append(t0 + (k * 30e9 + np.arange(rays) * 0.05e9).astype("timedelta64[ns]"))
        out["range"].append(r)
    return out


def reference(sweeps, layout):
    """The box statistics computed gate by gate with NumPy (bincount, two-pass spread)."""
    rows = {"velocity": [], "reflectivity": []}
    t_ref = min(t.min() for t in sweeps["time"])
    for k, (az, el, r) in enumerate(zip(sweeps["azimuth"], sweeps["elevation"], sweeps["range"])):
        h, s, local = _geometry.beam_geometry(r[None, :], el[:, None])
        a = np.deg2rad(az)[:, None]
        x, y = s * np.sin(a), s * np.cos(a)
        secs = ((sweeps["time"][k] - t_ref) / np.timedelta64(1, "ns")).astype(float) / 1e9
        secs = np.broadcast_to(secs[:, None], s.shape)
        if layout["boxes"] == "polar":
            na = int(np.ceil(360.0 / layout["azimuth_step"]))
            ia = np.minimum(np.floor(az / layout["azimuth_step"]), na - 1).astype(int)
            ir = np.floor(r / layout["range_step"]).astype(int)
            row = np.broadcast_to(ia[:, None], s.shape)
            col = np.broadcast_to(ir[None, :], s.shape)
        else:
            row = np.floor(y / layout["spacing"] + 0.5).astype(int)
            col = np.floor(x / layout["spacing"] + 0.5).astype(int)
        for moment in rows:
            data = sweeps[moment][k]
            ok = np.isfinite(data)
            key = row[ok] * 100000 + col[ok]
            ids, b = np.unique(key, return_inverse=True)
            n = np.bincount(b).astype(float)

            def mean(w, b=b, n=n):
                return np.bincount(b, weights=w) / n

            d = data[ok]
            if moment == "reflectivity":
                value = 10.0 * np.log10(mean(10.0 ** (d / 10.0)))
            else:
                value = mean(d)
            m = mean(d)
            with np.errstate(invalid="ignore", divide="ignore"):
                spread = np.sqrt(np.bincount(b, weights=(d - m[b]) ** 2) / (n - 1.0))
            mx, my = mean(x[ok]), mean(y[ok])
            lat, lon, baz = _geometry.geodesic_forward(
                SITE["radar_latitude"],
                SITE["radar_longitude"],
                np.rad2deg(np.arctan2(mx, my)) % 360.0,
                np.hypot(mx, my),
            )
            rows[moment].append(
                {
                    "key": k * 10**12 + ids,
                    "gates": n,
                    "value": value,
                    "spread": spread,
                    "height": mean(SITE["radar_height"] + h[ok]),
                    "time": mean(secs[ok]),
                    "beam_elevation": mean(local[ok]),
                    "latitude": lat,
                    "longitude": lon,
                    "beam_azimuth": baz,
                }
            )
    return {
        m: {f: np.concatenate([p[f] for p in parts]) for f in parts[0]} for m, parts in rows.items()
    }, t_ref


def keyed(means):
    """The boxes of a BoxMeans sorted like the reference (sweep, row, column)."""
    key = means.sweep * 10**12 + means.row * 100000 + means.column
    order = np.argsort(key)
    return key[order], order


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_box_statistics_equal_an_independent_numpy_computation(layout):
    """Counts, means, spreads, linear-Z reflectivity, heights, times and beam elevations equal
    the NumPy computation to 1e-12 relative, positions to 1e-9 degrees."""
    sweeps = random_sweeps()
    so = superob_arrays(**sweeps, **SITE, **LAYOUTS[layout], min_count=1, max_spread=None)
    ref, t_ref = reference(sweeps, LAYOUTS[layout])
    for moment in ("velocity", "reflectivity"):
        got = getattr(so, moment)
        want = ref[moment]
        key, order = keyed(got)
        want_order = np.argsort(want["key"])
        np.testing.assert_array_equal(key, want["key"][want_order])
        for field in ("gates", "value", "height", "beam_elevation"):
            # relative to the field's magnitude: a mean near 0 is a difference of large sums
            scale = np.max(np.abs(want[field]))
            np.testing.assert_allclose(
                getattr(got, field)[order],
                want[field][want_order],
                rtol=1e-12,
                atol=1e-12 * scale,
                err_msg=field,
            )
        many = want["gates"][want_order] > 1
        np.testing.assert_allclose(
            got.spread[order][many], want["spread"][want_order][many], rtol=1e-12
        )
        assert np.isnan(got.spread[order][~many]).all()
        secs = (got.time[order] - t_ref) / np.timedelta64(1, "ns") / 1e9
        np.testing.assert_allclose(secs, want["time"][want_order], rtol=1e-12, atol=1e-9)
        for field in ("latitude", "longitude", "beam_azimuth"):
            diff = getattr(got, field)[order] - want[field][want_order]
            assert np.max(np.abs((diff + 180.0) % 360.0 - 180.0)) < 1e-9, field


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("layout", ["polar", "grid-fine"])
def test_superobs_are_the_same_bits_for_every_thread_count(layout, n_threads):
    """Every field of every box equals the one-thread result bit for bit."""
    sweeps = random_sweeps(seed=1)
    one = superob_arrays(**sweeps, **SITE, **LAYOUTS[layout], n_threads=1, min_count=1)
    many = superob_arrays(**sweeps, **SITE, **LAYOUTS[layout], n_threads=n_threads, min_count=1)
    for moment in ("velocity", "reflectivity"):
        for a, b in zip(getattr(one, moment), getattr(many, moment)):
            assert a.tobytes() == b.tobytes()


def kernel_args(sweeps, k):
    t = sweeps["time"][k]
    secs = (t - t.min()) / np.timedelta64(1, "s")
    return (
        sweeps["velocity"][k],
        sweeps["reflectivity"][k],
        sweeps["azimuth"][k],
        sweeps["elevation"][k],
        secs,
        sweeps["range"][k],
        350.0,
    )


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", [1, 2, 5])
@pytest.mark.parametrize("layout", ["polar", "grid"])
def test_box_indices_give_the_same_bits_as_the_layout_rule(layout, n_threads):
    """Sums over given box indices equal those of the polar or grid rule bit for bit."""
    sweeps = random_sweeps(seed=2, n=1)
    args = kernel_args(sweeps, 0)
    az, el, r = sweeps["azimuth"][0], sweeps["elevation"][0], sweeps["range"][0]
    if layout == "polar":
        rule = _polar.polar_box_sums(*args, 5000.0, 5.0, n_threads=n_threads)
        box = np.floor(az / 5.0).astype(np.int64)[:, None] * rule.shape[2] + np.floor(
            r / 5000.0
        ).astype(np.int64)
    else:
        rule = _polar.grid_box_sums(*args, 2000.0, n_threads=n_threads)
        half = (rule.shape[1] - 1) // 2
        _, s, _ = _geometry.beam_geometry(r[None, :], el[:, None])
        a = np.deg2rad(az)[:, None]
        row = np.floor(s * np.cos(a) / 2000.0 + 0.5).astype(np.int64) + half
        col = np.floor(s * np.sin(a) / 2000.0 + 0.5).astype(np.int64) + half
        box = row * rule.shape[2] + col
    n = rule.shape[1] * rule.shape[2]
    indexed = _polar.index_box_sums(*args, box, n, n_threads=n_threads)
    assert indexed.tobytes() == rule.reshape(-1, n).tobytes()


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("spacing", [3000.0, 700.0])
def test_grid_means_equal_the_means_of_the_grid_sums(spacing, n_threads):
    """The grid's box means computed from its sums inside the kernel (bands of rows that
    depend on the thread count) equal box_means of the one-thread sums bit for bit."""
    sweeps = random_sweeps(seed=3, n=2)
    for k in range(2):
        args = kernel_args(sweeps, k)
        sums = _polar.grid_box_sums(*args, spacing, n_threads=1)
        want = _polar.box_means(sums, n_threads=1)
        *got, half = _polar.grid_box_means(*args, spacing, n_threads=n_threads)
        assert half == (sums.shape[1] - 1) // 2
        for (rows, cols, values), (want_rows, want_cols, want_values) in zip(got, want):
            assert rows.size > 100
            np.testing.assert_array_equal(rows, want_rows)
            np.testing.assert_array_equal(cols, want_cols)
            assert values.tobytes() == want_values.tobytes()


@pytest.mark.parametrize("gate", [40, 97, 141])
def test_gates_on_a_cell_edge_go_to_the_cell_of_the_rounding_rule(gate):
    """With the spacing chosen so that gates of due-east rays lie within rounding of a cell
    edge, each gate's cell is floor(x / spacing + 0.5) as NumPy rounds it."""
    sweeps = random_sweeps(seed=5, n=1)
    rays = sweeps["azimuth"][0].size
    sweeps["azimuth"][0] = np.where(np.arange(rays) % 2 == 0, 90.0, 270.0)
    args = kernel_args(sweeps, 0)
    el, r = sweeps["elevation"][0], sweeps["range"][0]
    _, s, _ = _geometry.beam_geometry(r[None, :], el[:, None])
    spacing = float(s[0, gate] / 6.5)
    a = np.deg2rad(sweeps["azimuth"][0])[:, None]
    x, y = s * np.sin(a), s * np.cos(a)
    near = np.abs(x / spacing + 0.5 - np.rint(x / spacing + 0.5)) < 1e-12
    assert near.sum() > 10
    sums = _polar.grid_box_sums(*args, spacing)
    half = (sums.shape[1] - 1) // 2
    row = np.floor(y / spacing + 0.5).astype(np.int64) + half
    col = np.floor(x / spacing + 0.5).astype(np.int64) + half
    n = sums.shape[1] * sums.shape[2]
    indexed = _polar.index_box_sums(*args, row * sums.shape[2] + col, n)
    assert indexed.tobytes() == sums.reshape(-1, n).tobytes()


@pytest.mark.parametrize("moment", [0, 1])
def test_box_means_list_the_boxes_holding_gates_with_their_means(moment):
    """box_means gives, in index order, each box holding gates of the moment with its count,
    value (mean velocity, or mean Z), spread and mean position, height, time and elevation."""
    sums = _polar.polar_box_sums(*kernel_args(random_sweeps(seed=4, n=1), 0), 5000.0, 5.0)
    rows, cols, values = _polar.box_means(sums)[moment]
    first = 0 if moment == 0 else 9  # the moment's gate count, then shift, sums, squares
    n, shift, s1, s2, x, y, h, t, e = sums[first : first + 9]
    if moment == 1:
        x, y, h, t, e = sums[14:19]
    held = np.nonzero(n > 0)
    np.testing.assert_array_equal(rows, held[0])
    np.testing.assert_array_equal(cols, held[1])
    cnt = n[held]
    assert (values[0] == cnt).all() and (cnt > 0).all() and (n[n <= 0] == 0).all()
    mean = s1[held] / cnt
    want_value = shift[held] + mean if moment == 0 else sums[13][held] / cnt
    np.testing.assert_array_equal(values[1], want_value)
    with np.errstate(invalid="ignore", divide="ignore"):
        var = (s2[held] - s1[held] * mean) / (cnt - 1.0)
    want_spread = np.where(cnt > 1, np.sqrt(np.maximum(var, 0.0)), np.nan)
    np.testing.assert_array_equal(values[2], want_spread)
    for row, field in zip(values[3:], (x, y, h, t, e)):
        np.testing.assert_array_equal(row, field[held] / cnt)


def test_box_means_refuse_what_are_not_box_sums():
    """An array that is not (19, rows, columns) raises ValueError before any work."""
    with pytest.raises(ValueError, match="box sums"):
        _polar.box_means(np.zeros((18, 3, 3)))
    with pytest.raises(ValueError, match="box sums"):
        _polar.box_means(np.zeros((19, 9)))


def analytic_volume(noise=0.0, seed=0):
    return synthetic_volume(
        elevations=(0.5, 1.5, 3.0, 6.0),
        rays=360,
        gates=480,
        velocity_noise=noise,
        nyquist=None,
        seed=seed,
    )


def analytic_truth(means):
    """The synthetic volume's radial wind at each box's mean position: its wind at the mean
    height along the azimuth from the radar to the box, at the box's beam elevation."""
    pyproj = pytest.importorskip("pyproj")
    geod = pyproj.Geod(ellps="WGS84")
    n = means.latitude.size
    az, _, _ = geod.inv(np.full(n, 7.5), np.full(n, 46.5), means.longitude, means.latitude)
    u, v = default_wind(means.height - 350.0)
    a = np.deg2rad(np.asarray(az) % 360.0)
    return (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(means.beam_elevation))


def volume_superobs(volume, layout, **kw):
    from radarkit.superob import volume_arrays

    arrays, _ = volume_arrays(volume, velocity="VRADH", reflectivity="DBZH", qc=True)
    arrays.pop("sweep_names")
    return superob_arrays(**arrays, **{**LAYOUTS[layout], **kw})


@pytest.mark.parametrize("layout", ["polar", "grid"])
def test_velocity_superobs_equal_the_analytic_wind_at_the_box(layout):
    """Without noise every kept velocity superob is within 0.2 m/s of the analytic radial wind
    at the box's mean position."""
    so = volume_superobs(analytic_volume(), layout)
    v = so.velocity
    assert v.kept.sum() > 500
    err = v.value[v.kept] - analytic_truth(v)[v.kept]
    assert np.max(np.abs(err)) < 0.2


@pytest.mark.parametrize("layout", ["polar", "grid"])
def test_noisy_superobs_have_the_noise_as_spread_and_unbiased_means(layout):
    """With 2 m/s noise the spread is about 2 m/s and the means lie within 3 standard errors
    of the analytic wind (all but a fraction expected of a normal error)."""
    so = volume_superobs(analytic_volume(noise=2.0, seed=5), layout, min_count=30)
    v = so.velocity
    k = v.kept
    assert k.sum() > 300
    assert abs(np.median(v.spread[k]) - 2.0) < 0.1
    z = (v.value[k] - analytic_truth(v)[k]) / (v.spread[k] / np.sqrt(v.gates[k]))
    assert np.mean(np.abs(z) < 3.0) > 0.99
    assert 0.85 < np.sqrt(np.mean(z**2)) < 1.15


def sweep_of(velocity, reflectivity, azimuth):
    """One sweep of the given (rays, gates) moments, rays at the given azimuths, 250 m gates."""
    rays, gates = velocity.shape
    t = np.datetime64("2024-05-20T18:00:00", "ns") + np.arange(rays) * 10**8
    return {
        "velocity": [velocity],
        "reflectivity": [reflectivity],
        "azimuth": [np.asarray(azimuth, dtype=float)],
        "elevation": [np.full(rays, 0.5)],
        "time": [t],
        "range": [250.0 * np.arange(1, gates + 1)],
    }


@pytest.mark.parametrize("layout", ["polar", "grid"])
@pytest.mark.parametrize("low,high,expected", [(10.0, 30.0, 27.0), (0.0, 20.0, 17.0)])
def test_reflectivity_is_averaged_in_linear_units(layout, low, high, expected):
    """Boxes of as many gates of one reflectivity as of another average to 10 log10 of the
    mean Z (27.0 dBZ for 10 and 30 dBZ, not 20)."""
    # two rays along the same line: every box holds the same gates of each
    z = np.array([[low] * 200, [high] * 200])
    v = np.array([[-1.0] * 200, [3.0] * 200])
    so = superob_arrays(**sweep_of(v, z, [45.0, 45.0]), **SITE, **LAYOUTS[layout], min_count=1)
    got = so.reflectivity
    assert got.gates.size > 10 and (got.gates % 2 == 0).all()
    np.testing.assert_allclose(got.value, expected, atol=0.05)
    np.testing.assert_allclose(
        got.value, 10 * np.log10((10 ** (low / 10) + 10 ** (high / 10)) / 2), rtol=1e-13
    )
    np.testing.assert_allclose(so.velocity.value, 1.0, rtol=1e-13)


def test_boxes_are_kept_by_count_and_spread_and_the_rejections_counted():
    """Boxes with fewer gates than min_count, or a larger velocity spread than max_spread, are
    not kept, and each reason is counted."""
    az = np.arange(0.5, 360.0, 1.0)
    checkered = (np.arange(360)[:, None] + np.arange(200)[None, :]) % 2 == 0
    v = np.where(checkered, -1.0, 3.0)  # spread 2 m/s
    # the first polar box (5 rays of gates 0-18, 250 to 4750 m): spread 20 m/s
    v[:5, :19] = np.where(v[:5, :19] < 0, -20.0, 20.0)
    v[5:10, 19:39] = np.nan  # the second azimuth's second range box (5 to 10 km) ...
    v[5, 19] = 1.0  # ... left with one gate
    sweeps = sweep_of(v, np.full(v.shape, 20.0), az)
    so = superob_arrays(**sweeps, **SITE, min_count=50, max_spread=6.0)
    m = so.velocity
    box = {(r, c): i for i, (r, c) in enumerate(zip(m.row, m.column))}
    assert not m.kept[box[0, 0]] and m.spread[box[0, 0]] > 6.0
    assert not m.kept[box[1, 1]] and m.gates[box[1, 1]] == 1
    assert so.rejected["velocity_spread"] == 1
    # the last range box holds one gate per ray: 5 gates, rejected by count in every azimuth
    assert so.rejected["velocity_count"] == int(np.count_nonzero(m.gates < 50))
    assert so.rejected["velocity_count"] == 72 + 1
    assert m.kept.sum() == m.gates.size - so.rejected["velocity_count"] - 1
    relaxed = superob_arrays(**sweeps, **SITE, min_count=1, max_spread=None)
    assert relaxed.velocity.kept.all() and relaxed.rejected["velocity_spread"] == 0


def lcc_grid(nx=60, ny=50, dx=3000.0):
    """Mass points of a Lambert conformal grid around the radar, as a WRF file holds them."""
    pyproj = pytest.importorskip("pyproj")
    proj = pyproj.Proj(proj="lcc", lat_1=45.0, lat_2=48.0, lat_0=46.5, lon_0=8.0, R=6370000.0)
    x0, y0 = proj(7.5, 46.5)
    xs = x0 + (np.arange(nx) - nx / 2 + 0.3) * dx
    ys = y0 + (np.arange(ny) - ny / 2 - 0.2) * dx
    X, Y = np.meshgrid(xs, ys)
    lon, lat = proj(X, Y, inverse=True)
    return proj, X, Y, lat, lon


def test_a_gate_goes_to_the_nearest_mass_point_of_a_model_grid():
    """The model-grid cell of a point is the mass point nearest to it in the grid's projection
    (brute force), or none outside the grid."""
    pyproj = pytest.importorskip("pyproj")
    from radarkit.superob import _ModelGrid

    proj, X, Y, lat, lon = lcc_grid()
    grid = _ModelGrid.of((lat, lon))
    rng = np.random.default_rng(4)
    s = rng.uniform(0, 120e3, 4000)
    az = rng.uniform(0, 360, 4000)
    px, py = s * np.sin(np.deg2rad(az)), s * np.cos(np.deg2rad(az))
    got = grid.nearest(46.5, 7.5, px, py)
    geod = pyproj.Geod(ellps="WGS84")
    plon, plat, _ = geod.fwd(np.full(s.size, 7.5), np.full(s.size, 46.5), az, s)
    gx, gy = proj(plon, plat)
    d2 = (gx[:, None] - X.ravel()[None, :]) ** 2 + (gy[:, None] - Y.ravel()[None, :]) ** 2
    want = np.argmin(d2, axis=1)
    dx = 3000.0
    inside = (
        (gx > X.min() - dx / 2)
        & (gx < X.max() + dx / 2)
        & (gy > Y.min() - dx / 2)
        & (gy < Y.max() + dx / 2)
    )
    # points within a millimetre of a cell edge may go either way
    edge = np.abs(np.sqrt(np.sort(d2, axis=1)[:, 1]) - np.sqrt(np.sort(d2, axis=1)[:, 0])) < 1e-3
    assert (got[inside & ~edge] == want[inside & ~edge]).all()
    assert (got[~inside & ~edge] == -1).all()
    assert inside.sum() > 1000 and (~inside).sum() > 100


def test_model_grid_superobs_take_the_grid_from_a_wrf_dataset():
    """A Dataset with WRF's XLAT/XLONG (Time, south_north, west_east) gives superobs on its
    columns, each box's mean position within half a grid step of its mass point."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("pyproj")
    proj, X, Y, lat, lon = lcc_grid()
    wrf = xr.Dataset(
        {
            "XLAT": (("Time", "south_north", "west_east"), lat[None]),
            "XLONG": (("Time", "south_north", "west_east"), lon[None]),
        }
    )
    so = volume_superobs(analytic_volume(), "polar", boxes="model", grid=wrf)
    m = so.velocity
    assert m.kept.sum() > 100
    bx, by = proj(m.longitude, m.latitude)
    off_x = bx - X[m.row, m.column]
    off_y = by - Y[m.row, m.column]
    assert np.max(np.abs(off_x)) <= 1500.0 and np.max(np.abs(off_y)) <= 1500.0
    ds = superob(analytic_volume(), grid=wrf, unfolded=True)
    assert ds["radial_velocity"].dims == ("sweep", "south_north", "west_east")
    np.testing.assert_array_equal(ds["cell_latitude"].values, lat)


@pytest.mark.python_layer
@pytest.mark.parametrize(
    "kw,dims",
    [
        ({}, ("sweep", "azimuth", "range")),
        ({"spacing": 4000.0}, ("sweep", "y", "x")),
    ],
)
def test_superob_dataset_holds_the_array_results_with_cf_attributes(kw, dims):
    """The Dataset's kept boxes are those of the array form, every variable has units or is a
    time, and the rejections and QC counts are in the attributes."""
    volume = analytic_volume()
    ds = superob(volume, unfolded=True, **kw)
    assert ds["radial_velocity"].dims == dims
    for name, var in ds.data_vars.items():
        assert "units" in var.attrs or var.dtype.kind == "M", name
        assert "long_name" in var.attrs, name
    assert ds["radial_velocity"].attrs["standard_name"].startswith("radial_velocity")
    assert ds["reflectivity"].attrs["units"] == "dBZ"
    so = volume_superobs(volume, "grid" if kw else "polar", **kw)
    assert int(ds["radial_velocity"].notnull().sum()) == int(so.velocity.kept.sum())
    assert int(ds["reflectivity"].notnull().sum()) == int(so.reflectivity.kept.sum())
    np.testing.assert_allclose(
        np.sort(ds["radial_velocity"].values[np.isfinite(ds["radial_velocity"].values)]),
        np.sort(so.velocity.value[so.velocity.kept]),
    )
    assert ds.attrs["rejected_velocity_count"] == so.rejected["velocity_count"]
    assert ds.attrs["min_count"] == so.layout["min_count"]
    assert ds.attrs["qc_removed_velocity_range"] > 0


@pytest.mark.python_layer
@pytest.mark.parametrize("name", ["VRADDH", "corrected_velocity", "VEL_UNF"])
def test_superob_uses_the_dealiased_moment_of_the_volume(name):
    """A volume with a dealiased moment (by its name) is averaged from it, not from the
    folded VRADH, without being declared unfolded."""
    volume = analytic_volume()
    for node in volume.children.values():
        ds = node.to_dataset()
        node[name] = ds["VRADH"]
        node["VRADH"] = ds["VRADH"] * 0.0 + 99.0
    ds = superob(volume)
    assert ds.attrs["velocity_moment"] == name
    assert float(np.nanmax(np.abs(ds["radial_velocity"].values))) < 40.0


@pytest.mark.python_layer
def test_superob_dealiases_folded_velocity_before_averaging():
    """Folded velocities are dealiased before averaging: superobs match those of the truth."""
    from radarkit.synthetic import aliased_volume

    case = aliased_volume("veering", nyquist=10.0, rays=180, gates=240, noise=1.0, seed=3)
    truth = case.volume.copy()
    for k, t in enumerate(case.truth):
        truth[f"sweep_{k}"]["VRADH"] = truth[f"sweep_{k}"]["VRADH"].copy(data=t)
    got = superob(case.volume, min_count=20)
    want = superob(truth, unfolded=True, min_count=20)
    a, b = got["radial_velocity"].values, want["radial_velocity"].values
    both = np.isfinite(a) & np.isfinite(b)
    assert both.sum() > 0.9 * np.isfinite(b).sum()
    assert np.nanmax(np.abs(b)) > 20.0  # the true wind reaches past two V_N
    assert np.max(np.abs(a[both] - b[both])) < 0.5


@pytest.mark.python_layer
@pytest.mark.parametrize("qc", [True, {"max_range": 40_000.0, "texture_gates": 11}])
def test_gates_beyond_the_quality_control_reach_change_no_superob(qc):
    """Folded velocities are dealiased only as far as the quality control reads them (its range
    window and the texture window beyond it): gates farther out, whatever they hold, change
    no superobservation, and those within are still on the true fold."""
    from radarkit.synthetic import aliased_volume

    case = aliased_volume(
        "veering", nyquist=10.0, rays=180, gates=400, gate_spacing=500.0, noise=1.0, seed=3
    )
    far = qc["max_range"] if isinstance(qc, dict) else 150_000.0
    spoiled = case.volume.copy()
    for name in spoiled.children:
        ds = spoiled[name].to_dataset()
        half = qc["texture_gates"] // 2 if isinstance(qc, dict) else 3
        spacing = float(np.diff(ds["range"].values).max())
        beyond = ds["range"] > far + (half + 1) * spacing
        assert beyond.any()
        spoiled[name] = ds.assign(VRADH=ds["VRADH"].where(~beyond, -ds["VRADH"]))
    truth = case.volume.copy()
    for k, t in enumerate(case.truth):
        truth[f"sweep_{k}"]["VRADH"] = truth[f"sweep_{k}"]["VRADH"].copy(data=t)
    got = superob(case.volume, qc=qc, min_count=20)
    xr = pytest.importorskip("xarray")
    xr.testing.assert_identical(superob(spoiled, qc=qc, min_count=20), got)
    want = superob(truth, unfolded=True, qc=qc, min_count=20)
    a, b = got["radial_velocity"].values, want["radial_velocity"].values
    both = np.isfinite(a) & np.isfinite(b)
    assert both.sum() > 0.9 * np.isfinite(b).sum()
    assert np.max(np.abs(a[both] - b[both])) < 0.5


@pytest.mark.parametrize(
    "kw,name",
    [
        ({"spacing": 0.0}, "spacing"),
        ({"spacing": -3000.0}, "spacing"),
        ({"spacing": np.nan}, "spacing"),
        ({"range_step": 0.0}, "range_step"),
        ({"azimuth_step": -5.0}, "azimuth_step"),
        ({"azimuth_step": 400.0}, "azimuth_step"),
        ({"grid": {"XLAT_U": np.zeros((3, 3))}}, "grid"),
        ({"grid": {"lat": np.zeros(3), "lon": np.zeros(3)}}, "grid"),
        ({"grid": (np.zeros((3, 3)),) * 3}, "grid"),
        ({"grid": np.zeros((2, 3, 3))}, "grid"),
        ({"boxes": "hexagons"}, "boxes"),
        ({"min_count": 0}, "min_count"),
        ({"max_spread": -1.0}, "max_spread"),
        ({"radar_height": np.nan}, "radar_height"),
    ],
)
def test_bad_layouts_and_rules_raise_value_errors_naming_the_argument(kw, name):
    """A layout or rule argument out of its domain raises ValueError naming it."""
    args = {**random_sweeps(n=1), **SITE, **kw}
    with pytest.raises(ValueError, match=name):
        superob_arrays(**args)


@pytest.mark.python_layer
def test_a_volume_empty_after_quality_control_is_refused():
    """When quality control leaves no gate, superob raises ValueError instead of returning an
    empty result."""
    with pytest.raises(ValueError, match="no gate is left"):
        superob(analytic_volume(), unfolded=True, qc={"min_range": 500e3, "max_range": 600e3})


@pytest.mark.parametrize(
    "fn,args,message",
    [
        (_polar.polar_box_sums, (5000.0, 5.0), "velocity and reflectivity"),
        (_polar.grid_box_sums, (3000.0,), "velocity and reflectivity"),
        (_polar.grid_box_means, (3000.0,), "velocity and reflectivity"),
    ],
)
def test_kernels_refuse_mismatched_moments(fn, args, message):
    """A moment whose shape is not (rays, gates) raises ValueError."""
    sweeps = random_sweeps(n=1)
    a = list(kernel_args(sweeps, 0))
    a[0] = a[0][:, :-1]
    with pytest.raises(ValueError, match=message):
        fn(*a, *args)


@pytest.mark.parametrize(
    "fn,args",
    [
        (_polar.polar_box_sums, (1e-300, 5.0)),
        (_polar.polar_box_sums, (5000.0, 1e-300)),
        (_polar.grid_box_sums, (1e-300,)),
        (_polar.grid_box_means, (1e-300,)),
    ],
)
def test_kernels_refuse_steps_that_would_make_too_many_boxes(fn, args):
    """Steps so small that the boxes could not be held raise ValueError, not a crash."""
    with pytest.raises(ValueError, match="too many"):
        fn(*kernel_args(random_sweeps(n=1), 0), *args)


def test_polar_boxes_leave_out_gates_without_a_finite_range():
    """Gates at an infinite or NaN range fall in no box."""
    a = list(kernel_args(random_sweeps(n=1), 0))
    r = a[5].copy()
    r[[3, 7]] = [np.inf, np.nan]
    a[5] = r
    sums = _polar.polar_box_sums(*a, 5000.0, 5.0)
    finite = np.isfinite(a[0]).copy()
    finite[:, [3, 7]] = False
    assert sums[0].sum() == finite[:, np.isfinite(r)].sum()


def test_index_kernel_refuses_indices_beyond_the_boxes():
    """Box indices at or beyond n_boxes raise ValueError before any work."""
    a = kernel_args(random_sweeps(n=1), 0)
    box = np.zeros(a[0].shape, dtype=np.int64)
    box[3, 4] = 10
    with pytest.raises(ValueError, match="below n_boxes"):
        _polar.index_box_sums(*a, box, 10)


@pytest.mark.python_layer
@pytest.mark.parametrize(("name", "obj"), public_functions(superob_module))
def test_examples_run(name, obj, tmp_path, monkeypatch):
    """Each public function's example runs as shown."""
    monkeypatch.chdir(tmp_path)
    examples, failed = run_examples(obj, name, vars(superob_module))
    assert examples and not failed
