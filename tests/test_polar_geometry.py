"""The compiled gate geometry of _polar: the NumPy beam model and geodesic, an independent
geodesic (pyproj), bit-identical results for every thread count, and its refusals."""

import numpy as np
import pytest

import _polar
from cases import THREADS
from radarkit import geometry as _geometry

FIELDS = [
    "latitude",
    "longitude",
    "height",
    "beam_height",
    "ground_distance",
    "beam_azimuth",
    "beam_elevation",
]
DEGREES = {"latitude", "longitude", "beam_azimuth", "beam_elevation"}


def sweep(kind, seed=0):
    """(site, azimuth, elevation, range) of a test sweep."""
    rng = np.random.default_rng(seed)
    if kind == "nexrad-like":
        az = (np.arange(720) + 0.5) * 0.5
        el = np.full(720, 0.5)
        r = 2125.0 + 250.0 * np.arange(600)
        return (35.333, -97.278, 370.0), az, el, r
    if kind == "jittered":  # measured angles: every ray its own elevation, unsorted azimuths
        az = rng.permutation(np.arange(360) + rng.uniform(-0.2, 0.2, 360)) % 360.0
        el = 2.4 + rng.uniform(-0.05, 0.05, 360)
        r = np.cumsum(rng.uniform(100.0, 400.0, 300))
        return (-33.9, 151.2, 60.0), az, el, r
    if kind == "steep":
        az = np.linspace(0.0, 359.0, 90)
        el = np.linspace(10.0, 45.0, 90)
        r = 500.0 * np.arange(1, 201)
        return (64.1, -21.9, 30.0), az, el, r
    if kind == "dateline":
        az = np.linspace(0.0, 355.0, 72)
        el = np.full(72, -0.3)  # below the horizon, as mountain radars scan
        r = 1000.0 * np.arange(0, 250)
        return (-16.5, 179.95, 1200.0), az, el, r
    if kind == "near-pole":
        az = np.linspace(0.0, 350.0, 36)
        el = np.full(36, 1.0)
        r = 1000.0 * np.arange(1, 301)
        return (89.5, 10.0, 5.0), az, el, r
    raise ValueError(kind)


def numpy_geometry(lat, lon, alt, az, el, r):
    """The NumPy beam model and geodesic of every gate, the fields in the compiled order."""
    h, s, local = _geometry.beam_geometry(r[None, :], el[:, None])
    a, s = np.broadcast_arrays(az[:, None], s)
    glat, glon, gaz = _geometry.geodesic_forward(lat, lon, a, s)
    return dict(
        zip(FIELDS, (glat, glon, alt + h, h, s, gaz, np.broadcast_to(local, s.shape)), strict=True)
    )


KINDS = ["nexrad-like", "jittered", "steep", "dateline", "near-pole"]


@pytest.mark.parametrize("kind", KINDS)
def test_compiled_geometry_agrees_with_the_numpy_geometry(kind):
    """Every field of every gate agrees with the NumPy geometry to 1e-9 degrees / 1e-6 m."""
    (lat, lon, alt), az, el, r = sweep(kind)
    out = _polar.gate_geometry(lat, lon, alt, az, el, r)
    ref = numpy_geometry(lat, lon, alt, az, el, r)
    assert out.shape == (7, az.size, r.size)
    for k, name in enumerate(FIELDS):
        diff = out[k] - ref[name]
        if name in ("longitude", "beam_azimuth"):  # the same direction on either side of 0/360
            period = 360.0
            diff = (diff + period / 2) % period - period / 2
        tol = 1e-9 if name in DEGREES else 1e-6
        assert np.max(np.abs(diff)) < tol, name


@pytest.mark.parametrize("kind", KINDS)
def test_gate_positions_agree_with_pyproj(kind):
    """Gate latitude, longitude and geodesic azimuth equal pyproj's geodesic within 0.2 mm."""
    pyproj = pytest.importorskip("pyproj")
    (lat, lon, alt), az, el, r = sweep(kind)
    out = _polar.gate_geometry(lat, lon, alt, az, el, r)
    geod = pyproj.Geod(ellps="WGS84")
    s = out[4].ravel()
    a = np.broadcast_to(az[:, None], out[4].shape).ravel()
    lon2, lat2, back = geod.fwd(np.full(s.size, lon), np.full(s.size, lat), a, s)
    _, _, miss = geod.inv(out[1].ravel(), out[0].ravel(), lon2, lat2)
    assert np.max(miss) < 2e-4
    far = s > 1.0
    diff = out[5].ravel()[far] - (np.asarray(back)[far] + 180.0) % 360.0
    assert np.max(np.abs((diff + 180.0) % 360.0 - 180.0)) < 1e-7


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize("kind", ["jittered", "steep"])
def test_geometry_is_the_same_bits_for_every_thread_count(kind, n_threads):
    """The result of every thread count equals the one-thread result bit for bit."""
    (lat, lon, alt), az, el, r = sweep(kind)
    one = _polar.gate_geometry(lat, lon, alt, az, el, r, n_threads=1)
    many = _polar.gate_geometry(lat, lon, alt, az, el, r, n_threads=n_threads)
    assert one.tobytes() == many.tobytes()


def test_missing_angles_and_ranges_give_nan_only_where_they_reach():
    """A ray without azimuth has no position but its heights; one without elevation has
    nothing; a NaN range blanks its gate only."""
    az = np.array([10.0, np.nan, 30.0, 40.0])
    el = np.array([0.5, 0.5, np.nan, 0.5])
    r = np.array([1000.0, np.nan, 3000.0])
    out = _polar.gate_geometry(46.5, 7.5, 350.0, az, el, r)
    lat, height = out[0], out[2]
    assert np.isfinite(lat[0, [0, 2]]).all() and np.isnan(lat[0, 1])
    assert np.isnan(lat[1]).all() and np.isfinite(height[1, [0, 2]]).all()
    assert np.isnan(out[:, 2]).all()
    ref = numpy_geometry(46.5, 7.5, 350.0, az, el, r)
    for k, name in enumerate(FIELDS):
        np.testing.assert_array_equal(np.isnan(out[k]), np.isnan(ref[name]))


@pytest.mark.parametrize("n_threads", [1, 2])
def test_geodesic_agrees_with_the_numpy_geodesic(n_threads):
    """Points of independent geodesics agree with geodesic_forward to 1e-9 degrees."""
    rng = np.random.default_rng(3)
    az = rng.uniform(0, 360, (40, 25))
    dist = rng.uniform(0, 400e3, (40, 25))
    out = _polar.geodesic(-12.0, 130.0, az, dist, n_threads=n_threads)
    ref = _geometry.geodesic_forward(-12.0, 130.0, az, dist)
    assert out.shape == (3, 40, 25)
    for k in range(3):
        diff = (out[k] - ref[k] + 180.0) % 360.0 - 180.0
        assert np.max(np.abs(diff)) < 1e-9


@pytest.mark.parametrize(
    "args,message",
    [
        ((91.0, 0.0, 0.0, [0.0], [0.5], [1e3]), "latitude"),
        ((0.0, np.nan, 0.0, [0.0], [0.5], [1e3]), "longitude"),
        ((0.0, 0.0, np.inf, [0.0], [0.5], [1e3]), "altitude"),
        ((0.0, 0.0, 0.0, [0.0, 1.0], [0.5], [1e3]), "one value per ray"),
        ((0.0, 0.0, 0.0, [[0.0]], [[0.5]], [1e3]), "1-D"),
    ],
)
def test_geometry_refuses_bad_input(args, message):
    """Bad sites and shapes raise ValueError naming what is wrong."""
    with pytest.raises(ValueError, match=message):
        _polar.gate_geometry(*args)


def test_geodesic_refuses_shapes_that_differ():
    """Azimuth and distance of different shapes raise ValueError."""
    with pytest.raises(ValueError, match="same shape"):
        _polar.geodesic(0.0, 0.0, [1.0, 2.0], [1.0])


@pytest.mark.parametrize(
    "first,second",
    [
        (np.ones((4, 6), bool), np.empty((0, 0), bool)),
        (np.ones((4, 5), bool), np.ones((3, 5), bool)),
    ],
)
def test_kept_gate_geometry_refuses_masks_of_another_shape(first, second):
    """Masks that are neither (rays, gates) nor empty raise ValueError before any work."""
    with pytest.raises(ValueError, match="first and second"):
        _polar.kept_gate_geometry(
            46.5, 7.5, 350.0, np.zeros(4), np.full(4, 0.5), 250.0 * np.arange(1, 6), first, second
        )
