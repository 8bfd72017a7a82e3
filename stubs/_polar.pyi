"""Per-gate radar kernels: dealiasing, gate geometry and box statistics (multithreaded)."""

from typing import SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

_F = npt.ArrayLike
_R = npt.NDArray[np.float64]
_I = SupportsInt | SupportsIndex

def dealias(
    velocity: _F,
    rays: _F,
    gates: _F,
    azimuth: _F,
    height: _F,
    cos_el: _F,
    nyquist: _F,
    reference: _F,
    out: _F,
    n_threads: _I = 0,
) -> tuple[npt.NDArray[np.int8], _R, npt.NDArray[np.int64]]: ...
