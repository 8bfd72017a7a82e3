"""Where a radar gate is: the 4/3 effective-earth beam model and geodesics on WGS84.

`beam_geometry` and `geodesic_forward` are NumPy and broadcast their arguments;
`gate_geometry` computes the gates of a sweep in the compiled module ``_polar`` on all cores
(the same formulas; results agree with the NumPy ones to about 1e-12 degrees and 1e-8 m, not
bit for bit, as glibc's and NumPy's transcendental functions differ in the last place).
Positions are latitude, longitude (degrees north and east, WGS84) and height (m above sea
level); angles are degrees, azimuths clockwise from north.
"""

from __future__ import annotations

import dataclasses
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import _polar

from ._names import Fields, renamed

__all__ = [
    "EARTH_RADIUS",
    "EFFECTIVE_FACTOR",
    "BeamGeometry",
    "GateGeometry",
    "GeodesicEnd",
    "beam_geometry",
    "gate_geometry",
    "geodesic_forward",
]

EARTH_RADIUS = 6371000.0  # m, mean radius of the earth
# standard-atmosphere refraction: beams bend as if over an earth of 4/3 its radius
EFFECTIVE_FACTOR = 4.0 / 3.0

# WGS84 ellipsoid
_A = 6378137.0
_F = 1.0 / 298.257223563
_B = _A * (1.0 - _F)

Array = npt.NDArray[np.float64]


class BeamGeometry(NamedTuple):
    """Where the beam is at a gate (arrays broadcast from the arguments).

    Attributes
    ----------
    beam_height : ndarray
        Height above the antenna, m.
    ground_distance : ndarray
        Distance along the ground from the radar, m.
    beam_elevation : ndarray
        Elevation of the beam in the gate's own horizon, degrees.
    """

    beam_height: Array
    ground_distance: Array
    beam_elevation: Array


def beam_geometry(range: npt.ArrayLike, elevation: npt.ArrayLike) -> BeamGeometry:
    """Beam height above the antenna, ground distance and local beam elevation of gates.

    Parameters
    ----------
    range : array_like
        Slant range of the gate, m.
    elevation : array_like
        Elevation of the antenna, degrees.

    Returns
    -------
    BeamGeometry
        ``(beam_height, ground_distance, beam_elevation)``, each broadcast from the
        arguments: m, m, degrees.

    Notes
    -----
    In the effective-earth model the beam is a straight line above a sphere of radius
    ke·a (ke = 4/3, a = 6371 km), so for slant range r and antenna elevation θ

        h = sqrt(r² + (ke·a)² + 2·r·ke·a·sin θ) - ke·a
        s = ke·a · arcsin(r·cos θ / (ke·a + h))

    and the beam meets the gate's horizon at elevation θ + s/(ke·a) (Doviak and Zrnić,
    Doppler Radar and Weather Observations, 2nd ed., 1993, eqs. 2.28b and 2.28c).

    Example
    -------
    >>> h, s, el = beam_geometry(100e3, 0.5)
    >>> print(f"{float(h):.1f} m up, {float(s):.1f} m out, {float(el):.3f} degrees")
    1461.1 m up, 99981.3 m out, 1.174 degrees
    """
    r = np.asarray(range, dtype=np.float64)
    el = np.deg2rad(np.asarray(elevation, dtype=np.float64))
    ka = EFFECTIVE_FACTOR * EARTH_RADIUS
    h = np.sqrt(r * r + ka * ka + 2.0 * r * ka * np.sin(el)) - ka
    s = ka * np.arcsin(r * np.cos(el) / (ka + h))
    return BeamGeometry(h, s, np.rad2deg(el + s / ka))


class GeodesicEnd(NamedTuple):
    """End point of a geodesic.

    Attributes
    ----------
    latitude, longitude : ndarray
        Degrees north and east, longitude in [-180, 180).
    azimuth : ndarray
        Azimuth of the geodesic at the end point, degrees clockwise from north.
    """

    latitude: Array
    longitude: Array
    azimuth: Array


def geodesic_forward(
    latitude: npt.ArrayLike,
    longitude: npt.ArrayLike,
    azimuth: npt.ArrayLike,
    distance: npt.ArrayLike,
) -> GeodesicEnd:
    """End point of the geodesic on WGS84 from a point, an azimuth and a distance.

    Parameters
    ----------
    latitude, longitude : array_like
        Start point, degrees north and east.
    azimuth : array_like
        Azimuth at the start point, degrees clockwise from north.
    distance : array_like
        Length of the geodesic, m.

    Returns
    -------
    GeodesicEnd
        ``(latitude, longitude, azimuth)`` of the end point, degrees.

    Notes
    -----
    Vincenty's direct solution (T. Vincenty, Survey Review 23(176), 88-93, 1975), iterated to
    1e-13 rad of arc, well under a millimetre.

    Example
    -------
    >>> lat, lon, az = geodesic_forward(46.5, 7.5, 90.0, 100e3)
    >>> print(f"{float(lat):.4f} {float(lon):.4f} {float(az):.4f}")
    46.4926 8.8026 90.9448
    """
    phi1 = np.deg2rad(np.asarray(latitude, dtype=np.float64))
    alpha1 = np.deg2rad(np.asarray(azimuth, dtype=np.float64))
    s = np.asarray(distance, dtype=np.float64)
    sin_a1, cos_a1 = np.sin(alpha1), np.cos(alpha1)
    tan_u1 = (1.0 - _F) * np.tan(phi1)
    cos_u1 = 1.0 / np.sqrt(1.0 + tan_u1 * tan_u1)
    sin_u1 = tan_u1 * cos_u1
    sigma1 = np.arctan2(tan_u1, cos_a1)
    sin_alpha = cos_u1 * sin_a1
    cos2_alpha = 1.0 - sin_alpha * sin_alpha
    u2 = cos2_alpha * (_A * _A - _B * _B) / (_B * _B)
    big_a = 1.0 + u2 / 16384.0 * (4096.0 + u2 * (-768.0 + u2 * (320.0 - 175.0 * u2)))
    big_b = u2 / 1024.0 * (256.0 + u2 * (-128.0 + u2 * (74.0 - 47.0 * u2)))
    sigma = s / (_B * big_a)
    for _ in range(20):
        cos_2sm = np.cos(2.0 * sigma1 + sigma)
        sin_s, cos_s = np.sin(sigma), np.cos(sigma)
        d_sigma = (
            big_b
            * sin_s
            * (
                cos_2sm
                + big_b
                / 4.0
                * (
                    cos_s * (-1.0 + 2.0 * cos_2sm**2)
                    - big_b / 6.0 * cos_2sm * (-3.0 + 4.0 * sin_s**2) * (-3.0 + 4.0 * cos_2sm**2)
                )
            )
        )
        new = s / (_B * big_a) + d_sigma
        done = np.all(np.abs(new - sigma) < 1e-13)
        sigma = new
        if done:
            break
    cos_2sm = np.cos(2.0 * sigma1 + sigma)
    sin_s, cos_s = np.sin(sigma), np.cos(sigma)
    tmp = sin_u1 * sin_s - cos_u1 * cos_s * cos_a1
    phi2 = np.arctan2(
        sin_u1 * cos_s + cos_u1 * sin_s * cos_a1,
        (1.0 - _F) * np.sqrt(sin_alpha * sin_alpha + tmp * tmp),
    )
    lam = np.arctan2(sin_s * sin_a1, cos_u1 * cos_s - sin_u1 * sin_s * cos_a1)
    c = _F / 16.0 * cos2_alpha * (4.0 + _F * (4.0 - 3.0 * cos2_alpha))
    big_l = lam - (1.0 - c) * _F * sin_alpha * (
        sigma + c * sin_s * (cos_2sm + c * cos_s * (-1.0 + 2.0 * cos_2sm * cos_2sm))
    )
    lon = np.asarray(longitude, dtype=np.float64) + np.rad2deg(big_l)
    lon = (lon + 180.0) % 360.0 - 180.0
    alpha2 = np.rad2deg(np.arctan2(sin_alpha, -tmp)) % 360.0
    return GeodesicEnd(np.rad2deg(phi2), lon, alpha2)


@dataclasses.dataclass(frozen=True, eq=False)
class GateGeometry(Fields):
    """Position and beam direction of the gates of a sweep, each a (rays, gates) array.

    Also readable as a mapping (``g["height"]``).

    Attributes
    ----------
    latitude, longitude : ndarray
        Degrees north and east, WGS84.
    height : ndarray
        m above sea level.
    beam_height : ndarray
        m above the antenna.
    ground_distance : ndarray
        Distance along the ground from the radar, m.
    beam_azimuth, beam_elevation : ndarray
        Beam direction in the gate's own horizon, degrees: the azimuth of the geodesic from
        the radar at the gate and the elevation above the gate's horizon.
    """

    latitude: Array
    longitude: Array
    height: Array
    beam_height: Array
    ground_distance: Array
    beam_azimuth: Array
    beam_elevation: Array


@renamed(latitude="radar_latitude", longitude="radar_longitude", altitude="radar_height")
def gate_geometry(
    radar_latitude: float,
    radar_longitude: float,
    radar_height: float,
    azimuth: npt.ArrayLike,
    elevation: npt.ArrayLike,
    range: npt.ArrayLike,
    *,
    n_threads: int = 0,
) -> GateGeometry:
    """Position and beam direction of every gate of a sweep.

    Parameters
    ----------
    radar_latitude, radar_longitude : float
        The radar site, degrees north and east.
    radar_height : float
        Height of the antenna, m above sea level.
    azimuth, elevation : array_like, shape (rays,)
        Direction of each ray, degrees.
    range : array_like, shape (gates,)
        Slant range of each gate, m. Any shapes that broadcast to (rays, gates) after
        azimuth and elevation are given a trailing axis work as well (through NumPy).
    n_threads : int
        Worker threads of the compiled geometry (0: all hardware threads).

    Returns
    -------
    GateGeometry
        (rays, gates) float64 arrays: latitude, longitude, height, beam_height,
        ground_distance, beam_azimuth, beam_elevation.

    Notes
    -----
    Beam heights and ground distances follow `beam_geometry` (the 4/3 effective-earth
    model); positions follow the WGS84 geodesic from the radar along the ray's azimuth over
    the ground distance (`geodesic_forward`). For 1-D azimuth, elevation and range the
    compiled module evaluates the same formulas per gate, with what a ray shares (its
    azimuth) computed once per ray and what an elevation shares (the beam of every range)
    once per sweep, on all cores and with the same bits for every thread count; other shapes
    go through NumPy. The older keyword names ``latitude``, ``longitude`` and ``altitude`` of
    the radar site still work, with a DeprecationWarning.

    Example
    -------
    >>> g = gate_geometry(46.5, 7.5, 350.0, [0.0, 90.0], [0.5, 0.5], [1e3, 1e5])
    >>> g.height.shape
    (2, 2)
    >>> print(f"{g.latitude[0, 1]:.4f} N, {g.height[0, 1]:.1f} m")
    47.3994 N, 1811.1 m
    """
    az = np.asarray(azimuth, dtype=np.float64)
    el = np.asarray(elevation, dtype=np.float64)
    r = np.asarray(range, dtype=np.float64)
    if az.ndim == 1 and el.shape == az.shape and r.ndim == 1:
        g = _polar.gate_geometry(
            float(radar_latitude),
            float(radar_longitude),
            float(radar_height),
            az,
            el,
            r,
            n_threads=n_threads,
        )
        return GateGeometry(*g)
    if az.ndim == 1:
        az = az[:, None]
    if el.ndim == 1:
        el = el[:, None]
    h, s, local_el = beam_geometry(r, el)
    az, s = np.broadcast_arrays(az, s)
    lat, lon, beam_az = geodesic_forward(radar_latitude, radar_longitude, az, s)
    return GateGeometry(
        latitude=lat,
        longitude=lon,
        height=float(radar_height) + h,
        beam_height=h,
        ground_distance=s,
        beam_azimuth=beam_az,
        beam_elevation=np.broadcast_to(local_el, lat.shape),
    )
