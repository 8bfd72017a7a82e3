"""Per-gate radar kernels: dealiasing, gate geometry and box statistics (multithreaded)."""

from typing import SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

_F = npt.ArrayLike
_A = npt.ArrayLike
_R = npt.NDArray[np.float64]
_I = SupportsInt | SupportsIndex
# (row, column, values (8, boxes)) of the boxes holding gates of one moment
_Means = tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], _R]

def gate_geometry(
    latitude: float,
    longitude: float,
    altitude: float,
    azimuth: _F,
    elevation: _F,
    range: _F,
    n_threads: _I = 0,
) -> _R: ...
def kept_gate_geometry(
    latitude: float,
    longitude: float,
    altitude: float,
    azimuth: _F,
    elevation: _F,
    range: _F,
    first: _A,
    second: _A,
    n_threads: _I = 0,
) -> tuple[_R, npt.NDArray[np.int64]]: ...
def geodesic(
    latitude: float, longitude: float, azimuth: _F, distance: _F, n_threads: _I = 0
) -> _R: ...
def polar_box_sums(
    velocity: _F,
    reflectivity: _F,
    azimuth: _F,
    elevation: _F,
    time: _F,
    range: _F,
    altitude: float,
    range_step: float,
    azimuth_step: float,
    n_threads: _I = 0,
) -> _R: ...
def grid_box_sums(
    velocity: _F,
    reflectivity: _F,
    azimuth: _F,
    elevation: _F,
    time: _F,
    range: _F,
    altitude: float,
    spacing: float,
    n_threads: _I = 0,
) -> _R: ...
def velocity_texture(velocity: _F, gates: _I, n_threads: _I = 0) -> _R: ...
def index_box_sums(
    velocity: _F,
    reflectivity: _F,
    azimuth: _F,
    elevation: _F,
    time: _F,
    range: _F,
    altitude: float,
    box: _A,
    n_boxes: _I,
    n_threads: _I = 0,
) -> _R: ...
def box_means(sums: _F, n_threads: _I = 0) -> tuple[_Means, _Means]: ...
def grid_box_means(
    velocity: _F,
    reflectivity: _F,
    azimuth: _F,
    elevation: _F,
    time: _F,
    range: _F,
    altitude: float,
    spacing: float,
    n_threads: _I = 0,
) -> tuple[_Means, _Means, int]: ...
def dealias(
    velocity: _F,
    rays: _F,
    gates: _F,
    azimuth: _F,
    height: _F,
    cos_el: _F,
    nyquist: _F,
    reference: _F,
    out: npt.NDArray[np.float32],
    n_threads: _I = 0,
) -> tuple[npt.NDArray[np.int8], _R, npt.NDArray[np.int64]]: ...
