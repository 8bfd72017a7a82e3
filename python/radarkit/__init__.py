"""Radar and atmospheric-profile kernels and observation writers.

The compiled modules are importable on their own as ``_kestrin`` (kernels)
and ``_marlode`` (observation writers); this package re-exports their
functions under one name.
"""

from _kestrin import cold_pool, thermo, vad

__all__ = ["thermo", "cold_pool", "vad"]
__version__ = "0.1.0"
