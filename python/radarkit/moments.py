"""Which variable of a volume is the radial velocity and which the reflectivity.

Files name their moments as their writers please: ``VRADH`` and ``DBZH`` (xradar, ODIM_H5),
``velocity`` and ``reflectivity`` (Py-ART), ``VEL`` and ``DBZ`` (CfRadial files of LROSE/Radx),
``VR`` and ``DZ`` (UF), ... `find_moment` finds the one meant when the user names none, and
says which other candidates there were, so that ``radarkit info`` can state the choice and
the user can override it by naming the moment.

Example
-------
>>> from radarkit.moments import find_moment
>>> from radarkit.synthetic import synthetic_volume
>>> find_moment(synthetic_volume(elevations=[0.5], rays=8, gates=4), "velocity").name
'VRADH'
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from typing import Any, NamedTuple

__all__ = [
    "REFLECTIVITY_NAMES",
    "REFLECTIVITY_STANDARD_NAME",
    "VELOCITY_NAMES",
    "VELOCITY_STANDARD_NAME",
    "MomentChoice",
    "find_moment",
    "volume_moments",
]

VELOCITY_STANDARD_NAME = "radial_velocity_of_scatterers_away_from_instrument"
REFLECTIVITY_STANDARD_NAME = "equivalent_reflectivity_factor"

# Names in order of preference. Corrected moments come before raw ones (dealiased velocity,
# clutter- or attenuation-corrected reflectivity: what analyses and assimilation want), the
# horizontal channel before the vertical one; total power and simulated fields come last.
_VELOCITY_CORRECTED = (
    "VRADDH",
    "VRADD",
    "corrected_velocity",
    "dealiased_velocity",
    "unfolded_velocity",
    "velocity_corrected",
    "VEL_CORR",
    "VEL_UNF",
    "VELC",
    "VC",
    "VRADDV",
)
_VELOCITY_RAW = (
    "VRADH",
    "VRAD",
    "velocity",
    "VEL",
    "VR",
    "V",
    "mean_doppler_velocity",
    "radial_velocity",
    "VEL_F",
    "VE",
    "VRADV",
)
_VELOCITY_LAST = ("simulated_velocity",)
_REFLECTIVITY_CORRECTED = (
    "DBZHC",
    "corrected_reflectivity",
    "reflectivity_corrected",
    "DBZ_CORR",
    "DBZC",
    "CZ",
    "DBZH_CLEAN",
    "DBZVC",
)
_REFLECTIVITY_RAW = (
    "DBZH",
    "DBZ",
    "reflectivity",
    "reflectivity_horizontal",
    "equivalent_reflectivity_factor",
    "DZ",
    "Z",
    "DBZ_F",
    "DBZV",
)
_REFLECTIVITY_LAST = ("DBTH", "TH", "total_power", "DBT", "ZT", "DBTV", "TV")
VELOCITY_NAMES = _VELOCITY_CORRECTED + _VELOCITY_RAW + _VELOCITY_LAST
REFLECTIVITY_NAMES = _REFLECTIVITY_CORRECTED + _REFLECTIVITY_RAW + _REFLECTIVITY_LAST

_KINDS = {
    "velocity": (VELOCITY_STANDARD_NAME, VELOCITY_NAMES, _VELOCITY_CORRECTED, _VELOCITY_LAST),
    "reflectivity": (
        REFLECTIVITY_STANDARD_NAME,
        REFLECTIVITY_NAMES,
        _REFLECTIVITY_CORRECTED,
        _REFLECTIVITY_LAST,
    ),
}
_CORRECTED = re.compile(r"corrected|dealiased|unfolded", re.IGNORECASE)


class MomentChoice(NamedTuple):
    """The moment chosen for a role and how.

    name : the chosen variable, or None when the volume has no candidate.
    how : ``"given"`` (named by the user), ``"standard_name"`` or ``"name"`` (found by its CF
        standard name or by a common name), or ``"none"``.
    alternatives : the other candidates, best first (empty when the choice was unambiguous).
    """

    name: str | None
    how: str
    alternatives: tuple[str, ...]


def _standard_base(standard_name: str) -> tuple[str, bool]:
    """(the standard name without ``radar_`` prefix, polarisation suffix and ``corrected_``
    prefix, whether it was corrected)."""
    s = standard_name.strip().lower()
    corrected = s.startswith("corrected_")
    s = s.removeprefix("corrected_").removeprefix("radar_")
    s = re.sub(r"_(h|v|hh|vv)$", "", s)
    return s, corrected


def volume_moments(volume: Any) -> dict[str, dict[str, Any]]:
    """The moments of every sweep of a volume, with their attributes.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset, mapping of sweep Datasets or pyart.core.Radar
        The volume (a Radar is converted with `radarkit.readers.as_volume`).

    Returns
    -------
    dict
        Name -> attributes (of the first sweep holding it) of each (rays, range) variable, in
        the order first met.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> list(volume_moments(synthetic_volume(elevations=(0.5,), rays=8, gates=4)))
    ['VRADH', 'DBZH']
    """
    from .readers import _sweep_number, _sweep_order, as_volume

    volume = as_volume(volume)
    if hasattr(volume, "children"):
        names = sorted(
            (n for n in volume.children if _sweep_number(n) is not None), key=_sweep_order
        )
        sweeps: Iterable[Any] = [volume[n].to_dataset() for n in names]
    elif isinstance(volume, Mapping) and not hasattr(volume, "data_vars"):
        sweeps = list(volume.values())
    elif hasattr(volume, "data_vars"):
        sweeps = [volume]
    else:
        raise TypeError(
            f"volume must be an xarray DataTree of sweeps, a sweep Dataset, a mapping of them "
            f"or a Py-ART Radar, not {type(volume).__name__}"
        )
    out: dict[str, dict[str, Any]] = {}
    for ds in sweeps:
        for name, var in ds.data_vars.items():
            if var.ndim == 2 and "range" in var.dims and name not in out:
                out[str(name)] = dict(var.attrs)
    return out


def find_moment(volume: Any, kind: str, given: str | None = None) -> MomentChoice:
    """The variable of `volume` that holds the `kind` moment.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset, mapping of sweeps or pyart.core.Radar
        The volume (see `volume_moments`).
    kind : {"velocity", "reflectivity"}
        Radial velocity (m/s) or equivalent reflectivity factor (dBZ).
    given : str, optional
        A name the user gave: it always wins, whether or not the volume holds it (the volume
        functions then say it is missing).

    Returns
    -------
    MomentChoice
        ``(name, how, alternatives)``; name None when nothing fits.

    Notes
    -----
    The candidates are, first, the variables whose CF ``standard_name`` is
    ``radial_velocity_of_scatterers_away_from_instrument`` or
    ``equivalent_reflectivity_factor`` (with the ``radar_`` prefix, an ``_h``/``_v``
    polarisation suffix or a ``corrected_`` prefix as xradar and Py-ART write them); when none
    has one, the variables named (case-insensitively) in `VELOCITY_NAMES` or
    `REFLECTIVITY_NAMES`:

    - velocity: VRADDH, VRADD, corrected_velocity, dealiased_velocity, unfolded_velocity,
      velocity_corrected, VEL_CORR, VEL_UNF, VELC, VC, VRADDV, VRADH, VRAD, velocity, VEL, VR,
      V, mean_doppler_velocity, radial_velocity, VEL_F, VE, VRADV, simulated_velocity;
    - reflectivity: DBZHC, corrected_reflectivity, reflectivity_corrected, DBZ_CORR, DBZC, CZ,
      DBZH_CLEAN, DBZVC, DBZH, DBZ, reflectivity, reflectivity_horizontal,
      equivalent_reflectivity_factor, DZ, Z, DBZ_F, DBZV, DBTH, TH, total_power, DBT, ZT,
      DBTV, TV.

    Several candidates (raw and corrected velocity, DBZH and DBTH, ...) are ranked: corrected
    (dealiased) moments first, since VAD winds and assimilation need unfolded velocities and
    filtered reflectivity; then by the order of the lists above (horizontal channel before
    vertical); names in no list after those in a list, alphabetically; total power and
    simulated fields last. The first is chosen, the others are returned as alternatives.

    Example
    -------
    >>> import numpy as np, xarray as xr
    >>> sweep = xr.Dataset({k: (("azimuth", "range"), np.zeros((2, 3)))
    ...                     for k in ("velocity", "corrected_velocity", "reflectivity")})
    >>> find_moment(sweep, "velocity")
    MomentChoice(name='corrected_velocity', how='name', alternatives=('velocity',))
    >>> find_moment(sweep, "velocity", given="velocity").name
    'velocity'
    """
    if kind not in _KINDS:
        raise ValueError(f"kind must be 'velocity' or 'reflectivity', not {kind!r}")
    if given is not None:
        return MomentChoice(given, "given", ())
    standard, names, corrected_names, last_names = _KINDS[kind]
    moments = volume_moments(volume)
    by_standard = []
    for name, attrs in moments.items():
        base, corrected = _standard_base(str(attrs.get("standard_name", "")))
        if base == standard:
            by_standard.append((name, corrected))
    if by_standard:
        how = "standard_name"
        candidates = by_standard
    else:
        how = "name"
        listed = {n.lower() for n in names}
        candidates = [(n, False) for n in moments if n.lower() in listed]
    if not candidates:
        return MomentChoice(None, "none", ())
    order = {n.lower(): i for i, n in enumerate(names)}
    corrected_set = {n.lower() for n in corrected_names}
    last_set = {n.lower() for n in last_names}

    def rank(item: tuple[str, bool]) -> tuple[int, int, str]:
        name, corrected_standard = item
        key = name.lower()
        if key in last_set:
            group = 3
        elif corrected_standard or key in corrected_set or _CORRECTED.search(name):
            group = 0
        elif key in order:
            group = 1
        else:
            group = 2
        return (group, order.get(key, len(names)), name)

    ranked = sorted(candidates, key=rank)
    return MomentChoice(ranked[0][0], how, tuple(n for n, _ in ranked[1:]))
