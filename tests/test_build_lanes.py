"""Each lane tests the build it claims to: under a preloaded sanitizer runtime
every extension module is instrumented for it, and without one (the release
build) no module carries any sanitizer."""

import importlib

import pytest

from cases import TABLE, sanitizer

pytestmark = pytest.mark.threads

MARKERS = {"asan": [b"__asan_init", b"__ubsan_handle_"], "tsan": [b"__tsan_init"]}


@pytest.mark.parametrize("module", sorted({f.module for f in TABLE}))
def test_module_is_built_for_this_lane(module):
    try:
        mod = importlib.import_module(module)
    except ModuleNotFoundError:
        pytest.skip(f"{module} is not built yet")
    with open(mod.__file__, "rb") as f:
        image = f.read()
    lane = sanitizer()
    for name, markers in MARKERS.items():
        for marker in markers:
            assert (marker in image) == (name == lane), (module, marker.decode(), lane)
