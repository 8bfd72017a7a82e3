"""radarkit.plot: the figure of wind profiles."""

import numpy as np
import pytest

from cases import run_examples

pytestmark = pytest.mark.python_layer

pytest.importorskip("matplotlib")
synthetic = pytest.importorskip("radarkit.synthetic")

from radarkit import plot, winds  # noqa: E402


@pytest.fixture(scope="module")
def profiles():
    heights = np.arange(0.0, 8001.0, 250.0)
    calm = synthetic.synthetic_volume(rays=90, gates=120, velocity_noise=1.0, seed=3)
    return [
        winds.vad_profile(calm, heights=heights),
        winds.vad_profile(calm, heights=heights + 350.0, above="sea"),
    ]


def test_profile_figure_draws_each_profile_where_it_has_wind(profiles):
    """Each profile is one line per panel, of its bins with a wind, at their heights."""
    fig = plot.profile_figure(profiles, labels=["above radar", "above sea"])
    ax_s, ax_d, ax_h = fig.axes[:3]
    for k, p in enumerate(profiles):
        ok = np.isfinite(p["u"].values)
        assert 0 < ok.sum() < ok.size  # the top bins have no ring
        speed, height = ax_s.lines[k].get_data()
        np.testing.assert_array_equal(speed, p["speed"].values[ok])
        np.testing.assert_array_equal(height, p["height"].values[ok])
        direction, _ = ax_d.lines[k].get_data()
        np.testing.assert_array_equal(direction, p["direction"].values[ok])
        u, v = ax_h.lines[k].get_data()
        np.testing.assert_array_equal(u, p["u"].values[ok])
        np.testing.assert_array_equal(v, p["v"].values[ok])
    assert [t.get_text() for t in ax_s.get_legend().get_texts()] == ["above radar", "above sea"]
    assert ax_s.get_ylabel() == "height above radar (m)"


def test_profile_figure_takes_one_profile_and_no_labels(profiles):
    """A single Dataset is one profile; without labels there is no legend."""
    fig = plot.profile_figure(profiles[1])
    assert len(fig.axes[0].lines) == 1 and fig.axes[0].get_legend() is None
    assert fig.axes[0].get_ylabel() == "height above sea level (m)"


def test_missing_matplotlib_names_the_extra(profiles, monkeypatch):
    """Without matplotlib the error says which extra to install."""
    import sys

    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"radarkit\[plot\]"):
        plot.profile_figure(profiles)


def test_example_runs():
    """The documented example runs as shown."""
    examples, failed = run_examples(plot.profile_figure, "profile_figure", vars(plot))
    assert examples and not failed
