"""Cold-pool, wind-profile and baroclinity kernel (multithreaded)."""

from typing import SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

_F = npt.ArrayLike
_R = npt.NDArray[np.float64]
_I = SupportsInt | SupportsIndex

def thermo(t: _F, p: _F, td: _F, n_threads: _I = 0) -> _R: ...
def cold_pool(z: _F, b: _F, bottom: _F, threshold: float, top: _F, n_threads: _I = 0) -> _R: ...
def profile(
    z: _F, u: _F, v: _F, ground: _F, bottom: float, top: float, cu: _F, cv: _F, n_threads: _I = 0
) -> _R: ...
def gradient(f: _F, x: _F, y: _F, n_threads: _I = 0) -> _R: ...
def vad(vr: _F, az: _F, cos_el: _F, min_gates: _I, min_spread: float, n_threads: _I = 0) -> _R: ...
