"""radarkit.geometry: the 4/3 effective-earth beam model and gate positions on WGS84."""

import numpy as np
import pytest

from cases import public_functions, run_examples
from radarkit import geometry

pytestmark = pytest.mark.python_layer

KA = geometry.EFFECTIVE_FACTOR * geometry.EARTH_RADIUS


def test_beam_geometry_matches_the_effective_earth_triangle():
    """Beam height, ground distance and local elevation equal the plane-triangle values."""
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
    h, s, local = geometry.beam_geometry(r, el)
    np.testing.assert_allclose(h, h_ref, rtol=0, atol=1e-6)
    np.testing.assert_allclose(s, s_ref, rtol=0, atol=1e-6)
    np.testing.assert_allclose(local, local_ref, rtol=0, atol=1e-9)
    # the textbook value: 100 km at 0.5 degrees is about 1.46 km up
    h1, _, _ = geometry.beam_geometry(100e3, 0.5)
    assert 1455.0 < h1 < 1465.0


@pytest.mark.parametrize("lat", [0.0, 35.3, -46.5, 71.0, 89.5])
def test_gate_positions_agree_with_pyproj_geodesic(lat):
    """geodesic_forward lands within a millimetre of pyproj's WGS84 geodesic."""
    pyproj = pytest.importorskip("pyproj")
    geod = pyproj.Geod(ellps="WGS84")
    az = np.arange(0.0, 360.0, 7.5)
    dist = np.array([0.0, 250.0, 10e3, 50e3, 100e3, 250e3])
    A, D = np.meshgrid(az, dist, indexing="ij")
    lon0 = -97.5
    lat2, lon2, back = geometry.geodesic_forward(lat, lon0, A, D)
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
    """gate_geometry gives (rays, gates) positions: heights above sea level, rays on course."""
    g = geometry.gate_geometry(46.5, 7.5, 350.0, [0.0, 90.0, 180.0], [0.5, 0.5, 10.0], [1e3, 1e5])
    assert all(v.shape == (3, 2) for v in g.values())
    h, s, local = geometry.beam_geometry(np.array([1e3, 1e5]), 0.5)
    np.testing.assert_allclose(g.height[0], 350.0 + h)
    np.testing.assert_allclose(g.ground_distance[1], s)
    np.testing.assert_allclose(g.beam_elevation[1], local)
    # north- and southward rays stay on the radar's meridian; east goes east
    assert np.allclose(g.longitude[[0, 2]], 7.5)
    assert np.all(g.latitude[0] > 46.5) and np.all(g.latitude[2] < 46.5)
    assert np.all(g.longitude[1] > 7.5)
    # 100 km north is about 0.9 degrees of latitude
    assert 0.89 < g.latitude[0, 1] - 46.5 < 0.91


def test_gate_geometry_older_keywords_warn_and_give_the_same_gates():
    """latitude=, longitude=, altitude= still work, with a DeprecationWarning each."""
    args = dict(azimuth=[0.0, 90.0], elevation=[0.5, 1.0], range=[1e3, 5e4])
    new = geometry.gate_geometry(
        radar_latitude=46.5, radar_longitude=7.5, radar_height=350.0, **args
    )
    with pytest.warns(DeprecationWarning) as said:
        old = geometry.gate_geometry(latitude=46.5, longitude=7.5, altitude=350.0, **args)
    assert [str(w.message) for w in said] == [
        f"gate_geometry(): '{k}' is deprecated, use 'radar_{v}'"
        for k, v in (("latitude", "latitude"), ("longitude", "longitude"), ("altitude", "height"))
    ]
    for name in new:
        np.testing.assert_array_equal(old[name], new[name])
    with pytest.raises(TypeError, match="both 'radar_height' and its older name 'altitude'"):
        geometry.gate_geometry(46.5, 7.5, radar_height=1.0, altitude=1.0, **args)


@pytest.mark.parametrize(("name", "obj"), public_functions(geometry))
def test_examples_run(name, obj):
    """Every documented example of the module runs as shown."""
    examples, failed = run_examples(obj, name, vars(geometry))
    assert examples and not failed
