"""Radar and atmospheric-profile kernels and observation writers.

The compiled modules are importable on their own as ``_kestrin`` (kernels)
and ``_marlode`` (observation writers); this package offers their functions
under one name, each with its documentation: see ``help(radarkit.profile)``.
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
