"""The radar layer under one name: every public function and constant of its modules.

`radarkit.radar` is the stable place to import from; the work is done in modules named after
their jobs (MetPy's `calc` joins its modules' ``__all__`` the same way):

- `radarkit.volume`: reading files, listing sweeps, per-sweep ray arrays, describing volumes;
- `radarkit.geometry`: the beam model and gate positions;
- `radarkit.winds`: VAD rings and wind profiles;
- `radarkit.radar_obs`: DART observations of volumes.
"""

from . import geometry, radar_obs, volume, winds
from .geometry import *  # noqa: F403
from .radar_obs import *  # noqa: F403
from .volume import *  # noqa: F403
from .winds import *  # noqa: F403

__all__ = sorted({*geometry.__all__, *volume.__all__, *winds.__all__, *radar_obs.__all__})
