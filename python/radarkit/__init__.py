"""Radar and atmospheric-profile kernels and observation writers.

The compiled modules are importable on their own as ``_kestrin`` (kernels)
and ``_marlode`` (observation writers); this package re-exports their
functions under one name.
"""

from _kestrin import gradient, profile, thermo

__all__ = ["thermo", "profile", "gradient"]
__version__ = "0.1.0"
