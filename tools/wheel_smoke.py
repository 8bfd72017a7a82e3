"""Smoke test of an installed wheel, run by `make wheel-check` in a fresh
virtual environment outside the checkout: every function once on a case whose
answer is known, the typing markers present, and the core install free of the
optional dependencies."""

import importlib.util
import math
import os
import sys

import numpy as np

import _kestrin
import _marlode
import _polar
import radarkit as rk

here = os.path.dirname(os.path.abspath(rk.__file__))
assert here.startswith(sys.prefix), f"radarkit imported from {here}, not from {sys.prefix}"
for name in ("py.typed",):
    assert os.path.exists(os.path.join(here, name)), f"{name} missing from the wheel"
for mod in (_kestrin, _marlode, _polar):
    stub = os.path.join(os.path.dirname(mod.__file__), mod.__name__ + ".pyi")
    assert os.path.exists(stub), f"{stub} missing from the wheel"

r, theta, theta_v, theta_e = rk.thermo([300.0], [100000.0], [290.0])
assert theta[0] == 300.0 and abs(theta_e[0] - 335.8650) < 1e-3, theta_e

out = rk.cold_pool([[0.0, 100.0, 200.0]], [[-0.02, -0.01, 0.0]], [np.nan], -0.005, [np.nan])
assert abs(out[0, 0] - math.sqrt(3.75)) < 1e-12 and out[1, 0] == 150.0, out

out = rk.profile([0.0, 1000.0], [[0.0, 10.0]], [10.0, 10.0], [0.0], 0.0, 1000.0, [0.0], [0.0])
assert list(out[4:, 0]) == [100.0, 5.0, 10.0], out

out = rk.gradient([[[1.0, 2.0, 4.0]]], [0.0, 1.0, 3.0], [0.0])
assert list(out[0, 0, 0]) == [1.0, 1.0, 1.0], out

az = np.deg2rad(np.arange(360.0))
out = rk.vad(10.0 * np.sin(az)[None, :], az[None, :], [1.0], min_gates=10, min_spread=0.1)
assert abs(out[0, 0] - 10.0) < 1e-9 and abs(out[1, 0]) < 1e-9, out

one = [1.0]
text = rk.format_dart(
    [1], one, one, one, one, one, [0], [0], one, one, one, [[1.0, 0.0, 0.0]], one, [1], 3
)
assert isinstance(text, bytes) and text, text
lvl, flag = [[1.0]], [[0]]
text = rk.format_wrfda(
    [500.0], one, one, one, lvl, flag, lvl, lvl, flag, lvl, "2021-06-01_12:00:00"
)
assert text.startswith(b"FM-128 RADAR   2021-06-01_12:00:00") and text.count(b"\n") == 2, text

for extra in ("xarray", "dask", "distributed"):
    assert importlib.util.find_spec(extra) is None, f"the core install pulled {extra}"
try:
    import radarkit.xarray
except ImportError as e:
    assert "pip install 'radarkit[xarray]'" in str(e), e
else:
    raise AssertionError("radarkit.xarray imported without xarray")

print(f"wheel smoke test passed: radarkit {rk.__version__} from {here}")
