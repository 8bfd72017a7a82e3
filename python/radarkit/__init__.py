"""Radar and atmospheric-profile kernels and observation writers.

The compiled modules are importable on their own as ``_kestrin`` (kernels)
and ``_marlode`` (observation writers); this package re-exports their
functions under one name.
"""

from _kestrin import cold_pool, gradient, profile, thermo, vad
from _marlode import format_dart, format_wrfda

__all__ = ["cold_pool", "format_dart", "format_wrfda", "gradient", "profile", "thermo", "vad"]
__version__ = "0.1.0"
