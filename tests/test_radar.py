"""radarkit.radar, the facade of the radar layer: every public name of its modules, documented."""

import inspect
import re

import pytest

from cases import run_examples
from radarkit import dealias, geometry, moments, qc, radar, radar_obs, readers, volume, winds
from radarkit import superob as superob_module

pytestmark = pytest.mark.python_layer

MODULES = [geometry, volume, readers, moments, winds, dealias, qc, superob_module, radar_obs]
FORMER = [  # the facade's public names before the layer was split into modules
    "EARTH_RADIUS",
    "EFFECTIVE_FACTOR",
    "describe",
    "gate_geometry",
    "open_volume",
    "profile_arrays",
    "sweep_observations",
    "to_obs_seq",
    "vad",
    "vad_arrays",
    "vad_profile",
    "MIN_GATES",
    "MIN_SPREAD",
    "CLEAR_AIR_BELOW",
]
FUNCTIONS = sorted({n for m in MODULES for n in m.__all__ if inspect.isfunction(getattr(m, n))})


def test_facade_joins_the_modules_and_keeps_its_former_names():
    """radar.__all__ is the union of the modules' __all__, each name the module's object."""
    assert radar.__all__ == sorted({n for m in MODULES for n in m.__all__})
    for m in MODULES:
        for name in m.__all__:
            assert getattr(radar, name) is getattr(m, name), name
    assert set(FORMER) <= set(radar.__all__)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_public_functions_are_documented_and_typed(name):
    """numpydoc sections, every parameter described, and annotations on every argument."""
    fn = getattr(radar, name)
    doc = inspect.getdoc(fn)
    for section in ("Parameters", "Returns", "Example"):
        assert re.search(rf"^{section}\n-+$", doc, re.M), section
    described = re.search(r"^Parameters\n-+\n(.*?)^Returns", doc, re.M | re.S).group(1)
    sig = inspect.signature(fn)
    for p in sig.parameters.values():
        assert re.search(rf"\b{p.name}\b", described), p.name
        assert p.annotation is not p.empty, p.name
    assert sig.return_annotation is not sig.empty


def test_facade_example_runs(tmp_path, monkeypatch):
    """The module's own example runs as shown."""
    monkeypatch.chdir(tmp_path)
    examples, failed = run_examples(radar, "radarkit.radar")
    assert examples and not failed


def test_unknown_names_are_an_attribute_error():
    """Names the facade never had are an AttributeError, as for any module."""
    with pytest.raises(AttributeError, match="no attribute 'vad_rings'"):
        radar.vad_rings  # noqa: B018
