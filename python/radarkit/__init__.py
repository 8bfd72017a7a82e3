"""Radar and atmospheric-profile kernels and observation writers.

The compiled modules are importable on their own as ``_kestrin`` (kernels)
and ``_marlode`` (observation writers); this package offers their functions
under one name, each with its documentation: see ``help(radarkit.profile)``.

The modules, one per job:

- ``radarkit.radar``: the radar layer under one name, joining
  ``radarkit.volume`` (reading files, sweeps, ray arrays, summaries),
  ``radarkit.geometry`` (beam model, gate positions), ``radarkit.winds``
  (VAD rings, wind profiles), ``radarkit.qc`` (gate quality control),
  ``radarkit.superob`` (superobservations) and ``radarkit.radar_obs``
  (observations of volumes, DART and WRFDA files);
- ``radarkit.dart`` and ``radarkit.wrfda``: observation files for DART and
  WRFDA; ``radarkit.network``: a radar network's volumes, one DART (and
  WRFDA) file per assimilation window, on dask.distributed;
  ``radarkit.xarray``: the kernels over xarray and Dask;
  ``radarkit.plot``: figures; ``radarkit.synthetic``: volumes with a known
  wind; ``radarkit.cli``: the ``radarkit`` command.

One vocabulary throughout:

- Positions are ``latitude, longitude, height`` in that order: degrees north
  and east (WGS84) and metres above sea level. The radar site is
  ``radar_latitude, radar_longitude, radar_height``; ``beam_height`` is
  above the antenna. Angles are degrees, azimuths clockwise from north;
  ranges and distances metres; velocities m/s; reflectivity dBZ; times
  ``numpy.datetime64``.
- Errors are standard deviations unless the argument says variance.
- Labelled results are xarray Datasets with CF ``units``, ``long_name`` and,
  where one exists, ``standard_name``; array forms return one documented
  NamedTuple or dataclass per function (the dataclasses read as mappings
  too). Both file writers return ``WriteResult(written, skipped)``.
- Every file is written atomically: it appears only complete, and on any
  failure the target is left as it was.
- Missing values are NaN.

Older spellings (``lon``/``lat``, ``altitude``, ``col_lat``, ...) still work
where users called them, with a DeprecationWarning naming the new one.
"""

from radarkit._version import __version__
from radarkit.kernels import cold_pool, gradient, profile, thermo, vad
from radarkit.records import format_dart, format_wrfda

__all__ = [
    "__version__",
    "cold_pool",
    "format_dart",
    "format_wrfda",
    "gradient",
    "profile",
    "thermo",
    "vad",
]
