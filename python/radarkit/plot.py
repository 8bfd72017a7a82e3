"""Figures of wind profiles: speed and direction against height, and the hodograph."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _optional

__all__ = ["profile_figure"]


def profile_figure(profiles: Any | Sequence[Any], labels: Sequence[str] | None = None) -> Any:
    """A figure of one or more wind profiles.

    Parameters
    ----------
    profiles : xarray.Dataset or a sequence of them
        Wind profiles as `radarkit.winds.vad_profile` returns them (``height``, ``u``, ``v``,
        ``speed``, ``direction``, ``u_spread``, ``v_spread``, m and m/s).
    labels : sequence of str, optional
        Legend entry of each profile.

    Returns
    -------
    matplotlib.figure.Figure
        Left: wind speed (m/s) against height, shaded by the bins' spread; middle: direction
        the wind blows from (degrees) against height; right: the hodograph (v against u), its
        points coloured by height. Bins without a wind are left out. No window is opened; save
        it with ``fig.savefig("profile.png")``.

    Raises
    ------
    ImportError
        Naming the extra to install when matplotlib is missing.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> from radarkit.winds import vad_profile
    >>> prof = vad_profile(synthetic_volume(rays=90, gates=80), heights=[250.0, 500.0, 750.0])
    >>> [ax.get_title() for ax in profile_figure(prof, labels=["synthetic"]).axes[:3]]
    ['speed', 'direction', 'hodograph']
    """
    Figure = _optional.require("matplotlib.figure", "plot", "radarkit.plot").Figure
    if not isinstance(profiles, (list, tuple)):
        profiles = [profiles]
    names: list[str | None] = list(labels) if labels is not None else [None] * len(profiles)
    fig = Figure(figsize=(13, 5), layout="constrained")
    ax_s, ax_d, ax_h = fig.subplots(1, 3, width_ratios=[1, 1, 1.3])
    heights = np.concatenate([np.asarray(p["height"].values) for p in profiles])
    norm_lo, norm_hi = float(np.min(heights)), float(np.max(heights))
    sc = None
    for p, label in zip(profiles, names):
        z = np.asarray(p["height"].values)
        u, v = np.asarray(p["u"].values), np.asarray(p["v"].values)
        ok = np.isfinite(u) & np.isfinite(v)
        speed = np.asarray(p["speed"].values)
        us, vs = np.asarray(p["u_spread"].values), np.asarray(p["v_spread"].values)
        line = ax_s.plot(speed[ok], z[ok], marker=".", label=label)[0]
        ax_s.fill_betweenx(
            z[ok],
            speed[ok] - np.hypot(us, vs)[ok],
            speed[ok] + np.hypot(us, vs)[ok],
            color=line.get_color(),
            alpha=0.2,
            linewidth=0,
        )
        ax_d.plot(np.asarray(p["direction"].values)[ok], z[ok], ".", color=line.get_color())
        ax_h.plot(u[ok], v[ok], color=line.get_color(), linewidth=0.8, alpha=0.6)
        sc = ax_h.scatter(
            u[ok], v[ok], c=z[ok], cmap="viridis", vmin=norm_lo, vmax=norm_hi, s=18, zorder=3
        )
    height_name = profiles[0]["height"].attrs.get("long_name", "height")
    ax_s.set(xlabel="wind speed (m/s)", ylabel=f"{height_name} (m)", title="speed")
    ax_d.set(xlabel="direction (degrees, from)", xlim=(0, 360), xticks=range(0, 361, 90))
    ax_d.set_title("direction")
    ax_h.set(xlabel="u (m/s)", ylabel="v (m/s)", title="hodograph", aspect="equal")
    ax_h.axhline(0, color="0.7", linewidth=0.6)
    ax_h.axvline(0, color="0.7", linewidth=0.6)
    if sc is not None:
        fig.colorbar(sc, ax=ax_h, label=f"{height_name} (m)")
    if any(label is not None for label in names):
        ax_s.legend(fontsize="small")
    for ax in (ax_s, ax_d, ax_h):
        ax.grid(True, linewidth=0.4, alpha=0.5)
    return fig
