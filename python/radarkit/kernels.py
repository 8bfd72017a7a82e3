"""The five numerical kernels, documented.

Each function hands its arguments unchanged to the compiled function of the
same name in ``_kestrin`` (which carries only its signature), so results,
exceptions and messages are that function's own.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, SupportsIndex

from _kestrin import cold_pool as _cold_pool
from _kestrin import gradient as _gradient
from _kestrin import profile as _profile
from _kestrin import thermo as _thermo
from _kestrin import vad as _vad

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import ArrayLike, NDArray

__all__ = ["cold_pool", "gradient", "profile", "thermo", "vad"]


def thermo(
    t: ArrayLike, p: ArrayLike, td: ArrayLike, n_threads: SupportsIndex = 0
) -> NDArray[np.float64]:
    """Mixing ratio and potential temperatures of air from T, p and dew point.

    Parameters
    ----------
    t : array_like
        Air temperature, K.
    p : array_like
        Pressure, Pa.
    td : array_like
        Dew point, K; NaN marks a missing dew point. A dew point above `t`
        is taken as `t` (saturated air).
    n_threads : int, default 0
        Worker threads; 0 or negative means all hardware threads. The result
        does not depend on it.

    The three arrays may have any shapes holding the same number of elements
    n; they are paired element by element in C order (no broadcasting).

    Returns
    -------
    ndarray, float64, shape (4, n)
        Row 0 water-vapour mixing ratio r (kg/kg), row 1 potential
        temperature θ (K, reference 1000 hPa), row 2 virtual potential
        temperature θv (K), row 3 equivalent potential temperature θe (K,
        Bolton 1980). A missing dew point gives NaN in rows 0, 2 and 3;
        NaN in `t` or `p` gives NaN in all four rows.

    Raises
    ------
    ValueError
        "size mismatch" when the element counts differ.

    Example
    -------
    >>> import radarkit as rk
    >>> r, theta, theta_v, theta_e = rk.thermo([300.0], [100000.0], [290.0])
    >>> print(f"{r[0]:.6f} {theta[0]:.1f} {theta_e[0]:.3f}")
    0.012162 300.0 335.865
    """
    return _thermo(t, p, td, n_threads)


def cold_pool(
    z: ArrayLike,
    b: ArrayLike,
    bottom: ArrayLike,
    threshold: float,
    top: ArrayLike,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Intensity and depth of the cold pool of each column of buoyancy profiles.

    Integrates -b upward from the start level (the first valid level at or
    above `bottom`) with the trapezoid rule, either up to where the buoyancy
    first reaches `threshold` (threshold mode) or through the fixed depth
    `top` (fixed-depth mode), and reports the intensity √(2∫-b dz).

    Parameters
    ----------
    z : array_like, shape (ncol, nlev)
        Heights of the levels of each column, lowest first, m. A level is
        used when both its z and b are finite.
    b : array_like, shape (ncol, nlev)
        Buoyancy at those levels, m s⁻².
    bottom : array_like, ncol elements
        Lowest height at which a column may start, m; NaN means no limit.
    threshold : float
        Buoyancy that ends the cold pool in threshold mode, m s⁻².
    top : array_like, ncol elements
        Fixed integration depth above the start level, m; NaN (or any
        non-finite value) selects threshold mode for that column.
    n_threads : int, default 0
        Worker threads; 0 or negative means all hardware threads. The result
        does not depend on it.

    Returns
    -------
    ndarray, float64, shape (3, ncol)
        Row 0 intensity √(max(0, 2∫-b dz)), m/s; row 1 depth of the layer
        above the start level, m; row 2 1.0 when threshold mode ran out of
        data before the threshold was met, else 0.0. A column without a
        start level, or too short for the fixed depth, is NaN in all rows.

    Raises
    ------
    ValueError
        "z and b must be 2-D", or "shape mismatch" when `z` and `b` differ
        or `bottom`/`top` do not hold one value per column.

    Example
    -------
    >>> import radarkit as rk
    >>> z, b, nan = [[0.0, 100.0, 200.0]], [[-0.02, -0.01, 0.0]], float("nan")
    >>> rk.cold_pool(z, b, [nan], -0.005, [nan])[:, 0]  # intensity, depth, ran out
    array([  1.93649167, 150.        ,   0.        ])
    """
    return _cold_pool(z, b, bottom, threshold, top, n_threads)


def profile(
    z: ArrayLike,
    u: ArrayLike,
    v: ArrayLike,
    ground: ArrayLike,
    bottom: float,
    top: float,
    cu: ArrayLike,
    cv: ArrayLike,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Layer-end winds, storm-relative helicity and mean wind of wind profiles.

    The layer runs from `bottom` to `top` above each column's ground height.
    Winds at its ends are interpolated linearly in height between valid
    levels (a level is valid when its z, u and v are all finite).

    Parameters
    ----------
    z : array_like, ncol·nlev elements
        Heights of the levels, m, same datum as `ground`, increasing along
        the level axis; read in the C order of `u`.
    u, v : array_like
        Eastward and northward wind, m/s; `u` must be 2-D (ncol, nlev), `v`
        any shape with ncol·nlev elements.
    ground : array_like, ncol elements
        Ground height of each column, m; NaN means the lowest valid level.
    bottom, top : float
        Layer bounds above ground, m.
    cu, cv : array_like, ncol elements
        Storm motion of each column, m/s.
    n_threads : int, default 0
        Worker threads; 0 or negative means all hardware threads. The result
        does not depend on it.

    Returns
    -------
    ndarray, float64, shape (7, ncol)
        Rows 0, 1: u, v at the layer bottom; rows 2, 3: u, v at the layer top
        (rows 2-0 and 3-1 are the bulk shear); row 4: storm-relative helicity
        of the layer, m² s⁻², positive for a hodograph turning clockwise
        (veering) about the storm motion; rows 5, 6: depth-weighted mean u, v
        of the layer. A column whose layer lies outside its valid levels is
        NaN in all rows; a non-finite storm motion blanks row 4 only.

    Raises
    ------
    ValueError
        "u must be 2-D", or "shape mismatch" for a wrong element count.

    Example
    -------
    >>> import radarkit as rk
    >>> z, u, v = [[0.0, 1000.0]], [[0.0, 10.0]], [[10.0, 10.0]]
    >>> rk.profile(z, u, v, [0.0], 0.0, 1000.0, [0.0], [0.0])[:, 0]
    array([  0.,  10.,  10.,  10., 100.,   5.,  10.])
    """
    return _profile(z, u, v, ground, bottom, top, cu, cv, n_threads)


def gradient(
    f: ArrayLike, x: ArrayLike, y: ArrayLike, n_threads: SupportsIndex = 0
) -> NDArray[np.float64]:
    """Horizontal derivatives of a batch of fields on a rectilinear grid.

    Centred differences (n - a)/(x₊ - x₋) inside the grid, one-sided
    differences at the edges and next to missing values; the grid may be
    unevenly spaced.

    Parameters
    ----------
    f : array_like, shape (batch, ny, nx)
        The fields; NaN or ±inf marks a missing value. A single field needs
        a batch extent of 1.
    x : array_like, nx elements
        Coordinate of each grid column (last axis of `f`).
    y : array_like, ny elements
        Coordinate of each grid row (middle axis of `f`).
    n_threads : int, default 0
        Worker threads; 0 or negative means all hardware threads. The result
        does not depend on it.

    Returns
    -------
    ndarray, float64, shape (2, batch, ny, nx)
        [0] ∂f/∂x, [1] ∂f/∂y, in units of f per unit of the coordinate. NaN
        where the point itself is missing or has no usable neighbour along
        that axis.

    Raises
    ------
    ValueError
        "f must be 3-D (batch, y, x)", or "coordinate size" when `x` or `y`
        does not match the grid.

    Example
    -------
    >>> import radarkit as rk
    >>> rk.gradient([[[1.0, 2.0, 4.0]]], [0.0, 1.0, 3.0], [0.0])[0, 0, 0]
    array([1., 1., 1.])
    """
    return _gradient(f, x, y, n_threads)


def vad(
    vr: ArrayLike,
    az: ArrayLike,
    cos_el: ArrayLike,
    min_gates: SupportsIndex,
    min_spread: float,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Velocity-azimuth display wind of rings of Doppler radial velocities.

    Fits each ring by least squares twice: vr ≈ c + a·sin az + b·cos az, and
    with the second harmonic added, vr ≈ c₂ + … + β₂·sin 2az + β₃·cos 2az.
    A fit is made only when the ring has at least `min_gates` (and at least
    3) usable samples that cover enough of the circle.

    Parameters
    ----------
    vr : array_like, shape (rings, samples)
        Radial velocities, m/s, one ring per row; NaN marks a missing sample.
    az : array_like, shape (rings, samples)
        Azimuth of each sample, radians clockwise from north.
    cos_el : array_like, one element per ring
        Cosine of each ring's elevation angle.
    min_gates : int
        Least number of usable samples for a fit.
    min_spread : float
        Least azimuth coverage for the first-harmonic fit: the determinant of
        the population covariance of (sin az, cos az), 0.25 for samples spread
        evenly around the circle; the second-harmonic fit needs a quarter of
        it from the covariance of its four regressors (1/16 when even).
    n_threads : int, default 0
        Worker threads; 0 or negative means all hardware threads. The result
        does not depend on it.

    Returns
    -------
    ndarray, float64, shape (8, rings)
        Rows 0, 1: eastward u = a/cos_el and northward v = b/cos_el, m/s;
        row 2: c; row 3: rms residual of the first fit; row 4: number of
        usable samples; rows 5, 6, 7: c₂, β₂, β₃ of the second fit. Rows
        0-3 (5-7) are NaN when the ring fails the gates for the first
        (second) fit.

    Raises
    ------
    ValueError
        "vr, az must be 2-D", or "shape mismatch" when `az` differs from
        `vr` or `cos_el` does not hold one value per ring.

    Example
    -------
    >>> import numpy as np, radarkit as rk
    >>> az = np.deg2rad(np.arange(0.0, 360.0, 10.0))
    >>> rk.vad([10.0 * np.sin(az)], [az], [1.0], 10, 0.1)[:2, 0].round(12)
    array([10.,  0.])
    """
    return _vad(vr, az, cos_el, min_gates, min_spread, n_threads)
