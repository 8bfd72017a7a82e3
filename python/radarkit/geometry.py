"""Where a radar gate is: the 4/3 effective-earth beam model and geodesics on WGS84.

NumPy only; every function broadcasts its arguments.
"""

import numpy as np

__all__ = ["EARTH_RADIUS", "EFFECTIVE_FACTOR", "beam_geometry", "gate_geometry", "geodesic_forward"]

EARTH_RADIUS = 6371000.0  # m, mean radius of the earth
EFFECTIVE_FACTOR = (
    4.0 / 3.0
)  # standard-atmosphere refraction: beams bend with the earth's 4/3 radius

# WGS84 ellipsoid
_A = 6378137.0
_F = 1.0 / 298.257223563
_B = _A * (1.0 - _F)


def beam_geometry(range_m, elevation_deg):
    """Beam height above the antenna, ground distance and local beam elevation of gates.

    In the effective-earth model the beam is a straight line above a sphere of radius
    ke·a (ke = 4/3, a = 6371 km), so for slant range r and antenna elevation θ:

        h = sqrt(r² + (ke·a)² + 2·r·ke·a·sin θ) - ke·a
        s = ke·a · arcsin(r·cos θ / (ke·a + h))

    and the beam meets the gate's horizon at elevation θ + s/(ke·a).

    Returns (h, s, local elevation in degrees), each broadcast from the arguments.
    """
    r = np.asarray(range_m, dtype=np.float64)
    el = np.deg2rad(np.asarray(elevation_deg, dtype=np.float64))
    ka = EFFECTIVE_FACTOR * EARTH_RADIUS
    h = np.sqrt(r * r + ka * ka + 2.0 * r * ka * np.sin(el)) - ka
    s = ka * np.arcsin(r * np.cos(el) / (ka + h))
    return h, s, np.rad2deg(el + s / ka)


def geodesic_forward(lat_deg, lon_deg, azimuth_deg, distance_m):
    """End point of the geodesic on WGS84 from a point, an azimuth and a distance.

    Vincenty's direct solution (iterated to 1e-13 rad, well under a millimetre);
    returns (latitude, longitude in [-180, 180), azimuth of the geodesic at the end
    point), all in degrees, azimuths clockwise from north.
    """
    phi1 = np.deg2rad(np.asarray(lat_deg, dtype=np.float64))
    alpha1 = np.deg2rad(np.asarray(azimuth_deg, dtype=np.float64))
    s = np.asarray(distance_m, dtype=np.float64)
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
    lon = np.asarray(lon_deg, dtype=np.float64) + np.rad2deg(big_l)
    lon = (lon + 180.0) % 360.0 - 180.0
    alpha2 = np.rad2deg(np.arctan2(sin_alpha, -tmp)) % 360.0
    return np.rad2deg(phi2), lon, alpha2


def gate_geometry(latitude, longitude, altitude, azimuth, elevation, range):
    """Position and beam direction of every gate of a sweep.

    Parameters: radar `latitude`, `longitude` (degrees) and `altitude` (m above sea level);
    `azimuth` and `elevation` of each ray (degrees, shape (rays,)); `range` of each gate (m,
    shape (gates,)). Any shapes that broadcast to (rays, gates) after azimuth and elevation are
    given a trailing axis work as well.

    Returns a dict of (rays, gates) float64 arrays: ``latitude``, ``longitude`` (degrees, WGS84),
    ``height`` (m above sea level), ``beam_height`` (m above the antenna), ``ground_distance``
    (m), and the beam direction at the gate in the gate's own horizon: ``beam_azimuth``
    (azimuth of the geodesic there) and ``beam_elevation`` (degrees).
    """
    az = np.asarray(azimuth, dtype=np.float64)
    el = np.asarray(elevation, dtype=np.float64)
    r = np.asarray(range, dtype=np.float64)
    if az.ndim == 1:
        az = az[:, None]
    if el.ndim == 1:
        el = el[:, None]
    h, s, local_el = beam_geometry(r, el)
    az, s = np.broadcast_arrays(az, s)
    lat, lon, beam_az = geodesic_forward(latitude, longitude, az, s)
    return {
        "latitude": lat,
        "longitude": lon,
        "height": float(altitude) + h,
        "beam_height": h,
        "ground_distance": s,
        "beam_azimuth": beam_az,
        "beam_elevation": np.broadcast_to(local_el, lat.shape),
    }
