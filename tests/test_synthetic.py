"""radarkit.synthetic: volumes of a known wind in xradar's model."""

import numpy as np
import pytest

from cases import public_functions, run_examples

pytestmark = pytest.mark.python_layer

pytest.importorskip("xarray")
from radarkit import geometry, synthetic  # noqa: E402


def test_radial_velocity_is_the_wind_projected_on_the_beam():
    """Each gate's velocity is the true wind at its beam height projected on the beam."""
    vol = synthetic.synthetic_volume(elevations=(3.0,), rays=8, gates=5, nyquist=None)
    ds = vol["sweep_0"].to_dataset()
    h, _, local = geometry.beam_geometry(ds["range"].values, 3.0)
    u, v = synthetic.default_wind(h)
    a = np.deg2rad(ds["azimuth"].values)[:, None]
    want = (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(local))
    np.testing.assert_allclose(ds["VRADH"].values, want, rtol=1e-6)
    assert "nyquist_velocity" not in ds


def test_older_site_keywords_warn_and_build_the_same_volume():
    """latitude=, longitude=, altitude= still set the site, with a DeprecationWarning each."""
    new = synthetic.synthetic_volume(
        radar_latitude=47.0, radar_longitude=8.0, radar_height=500.0, rays=4, gates=3
    )
    with pytest.warns(DeprecationWarning) as said:
        old = synthetic.synthetic_volume(
            latitude=47.0, longitude=8.0, altitude=500.0, rays=4, gates=3
        )
    assert len(said) == 3
    assert old.identical(new)
    assert float(new["altitude"]) == 500.0  # xradar's name of the site's height, kept


@pytest.mark.parametrize(("name", "obj"), public_functions(synthetic))
def test_examples_run(name, obj, tmp_path, monkeypatch):
    """Every documented example of the module runs as shown (files in a temporary folder)."""
    if name == "write_volume":
        pytest.importorskip("xradar")
    monkeypatch.chdir(tmp_path)
    examples, failed = run_examples(obj, name, vars(synthetic))
    assert examples and not failed


@pytest.mark.parametrize(
    ("kw", "message"),
    [
        ({"nyquist": 0.0}, "nyquist must be positive"),
        ({"nyquist": -12.0}, "nyquist must be positive"),
        ({"nyquist": float("nan")}, "nyquist must be positive"),
        ({"rays": 0}, "rays must be at least 1"),
        ({"gates": -1}, "gates must be at least 0"),
    ],
)
def test_synthetic_volume_refuses_what_no_radar_measures(kw, message):
    """A Nyquist velocity of 0 or less (velocities folded to NaN or onto the wrong side) and
    no rays are refused with ValueError naming the argument, not a volume of garbage or a
    ZeroDivisionError."""
    with pytest.raises(ValueError, match=message):
        synthetic.synthetic_volume(**{"elevations": (0.5,), "gates": 10, **kw})
