"""Threaded text formatter of the WRFDA and DART observation writers"""

from typing import SupportsIndex, SupportsInt

import numpy.typing as npt

_A = npt.ArrayLike
_I = SupportsInt | SupportsIndex

def format_dart(
    kind: _A,
    value: _A,
    variance: _A,
    lon: _A,
    lat: _A,
    height: _A,
    days: _A,
    secs: _A,
    radar_lon: _A,
    radar_lat: _A,
    radar_height: _A,
    beam: _A,
    nyquist: _A,
    velkey: _A,
    vertical: _I,
    n_threads: _I = 0,
    *,
    first: _I = 1,
    total: _I = -1,
) -> bytes: ...
def format_wrfda(
    centres: _A,
    col_lat: _A,
    col_lon: _A,
    col_elv: _A,
    rv: _A,
    rv_qc: _A,
    rv_err: _A,
    rf: _A,
    rf_qc: _A,
    rf_err: _A,
    stamp: str | bytes,
    n_threads: _I = 0,
) -> bytes: ...
