"""The radar layer under one name: every public function, class and constant of its modules.

`radarkit.radar` is the stable place to import from; the work is done in modules named after
their jobs, whose ``__all__`` it joins (as MetPy's ``calc`` does):

- `radarkit.volume`: reading files, listing sweeps, per-sweep ray arrays, describing volumes;
- `radarkit.readers`: compressed files, xradar or Py-ART by format, Py-ART Radar objects;
- `radarkit.moments`: which variable is the radial velocity and which the reflectivity;
- `radarkit.geometry`: the beam model and gate positions;
- `radarkit.winds`: VAD rings and wind profiles;
- `radarkit.dealias`: dealiased radial velocities;
- `radarkit.qc`: quality control of gates;
- `radarkit.superob`: superobservations (gates averaged in boxes per sweep);
- `radarkit.radar_obs`: observations of volumes, DART and WRFDA files.

Example
-------
>>> import radarkit.radar as rr
>>> from radarkit.synthetic import synthetic_volume
>>> volume = synthetic_volume(elevations=(0.5, 1.5, 3.0), rays=90, gates=80)
>>> rings = rr.vad(volume)  # Dataset over (sweep, range)
>>> profile = rr.vad_profile(volume, heights=np.arange(250.0, 1001.0, 250.0))
>>> rr.to_obs_seq(volume, "obs_seq.out", velocity_error=2.0, reflectivity_error=5.0)
WriteResult(written=43200, skipped=0)
"""

from typing import Any

from . import dealias as _dealias
from . import geometry, moments, qc, radar_obs, readers, volume, winds
from . import superob as _superob  # the module; `superob` below is its function
from ._names import deprecated_name
from .dealias import *  # noqa: F403
from .geometry import *  # noqa: F403
from .moments import *  # noqa: F403
from .qc import *  # noqa: F403
from .radar_obs import *  # noqa: F403
from .readers import *  # noqa: F403
from .superob import *  # noqa: F403
from .volume import *  # noqa: F403
from .winds import *  # noqa: F403

__all__ = sorted(
    {
        *geometry.__all__,
        *volume.__all__,
        *readers.__all__,
        *moments.__all__,
        *winds.__all__,
        *qc.__all__,
        *_superob.__all__,
        *_dealias.__all__,
        *radar_obs.__all__,
    }
)


def __getattr__(name: str) -> Any:
    if name == "obs_seq_sweeps":
        # the command line's check before writing, now public as check_obs_seq
        deprecated_name("radarkit.radar", name, "check_obs_seq", stacklevel=3)
        return radar_obs._sweeps_to_write
    raise AttributeError(f"module 'radarkit.radar' has no attribute {name!r}")
