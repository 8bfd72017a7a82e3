"""Optional dependencies, imported where they are needed, with an error naming the extra
that installs them."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """The module, or ImportError saying `purpose` needs it and how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            f"{purpose} needs {module.split('.')[0]}: pip install 'radarkit[{extra}]'"
        ) from None


def xarray() -> ModuleType:
    return require("xarray", "radar", "radarkit.radar")


def xradar() -> ModuleType:
    xarray()
    return require("xradar", "radar", "reading radar files")
