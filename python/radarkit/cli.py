"""The `radarkit` command: what is in radar files, their VAD wind profiles, DART and WRFDA
files, dealiased volumes, whole networks per assimilation window.

Results go to stdout, messages and the progress bar (on a terminal only) to stderr. Exit status
0 on success, 2 on bad input (one line naming the file and the reason; nothing written),
130 when interrupted (nothing written).
"""

from __future__ import annotations

import argparse
import csv
import importlib.util
import io
import os
import re
import sys
from collections.abc import Sequence
from types import ModuleType
from typing import Any

import numpy as np

from ._output import Output
from .dealias import DEALIASED, FOLD_FILL, FOLDS
from .radar_obs import CLEAR_AIR_BELOW
from .readers import READERS
from .volume import AUTO, VOLUME_FORMATS, volume_format
from .winds import MIN_GATES, MIN_SPREAD

PROG = "radarkit"
VELOCITY_ERROR = 2.0  # m/s, standard deviation written for radial velocities by default
REFLECTIVITY_ERROR = 5.0  # dBZ, the same for reflectivity


class BadInput(Exception):
    """Input the command cannot use; the message names the file and the reason."""


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = max(int(total), 1)
        self.done = 0
        self.enabled = enabled and sys.stderr.isatty()

    def step(self, label: str = "", n: int = 1) -> None:
        self.done = min(self.done + n, self.total)
        self.show(label)

    def show(self, label: str = "") -> None:
        if not self.enabled:
            return
        width = 30
        full = width * self.done // self.total
        bar = "#" * full + "." * (width - full)
        sys.stderr.write(f"\r[{bar}] {self.done}/{self.total} {label[:40]:<40s}")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\r" + " " * 80 + "\r")
            sys.stderr.flush()


def _radar() -> ModuleType:
    # checked before any file is read, so a missing extra is the one message
    if importlib.util.find_spec("xradar") is None:
        raise BadInput("reading radar files needs xradar: pip install 'radarkit[radar]'")
    from . import radar

    return radar


def _load(path: str, reader: str = "auto") -> Any:
    radar = _radar()
    if not os.path.exists(path):
        raise BadInput(f"{path}: no such file")
    if os.path.isdir(path):
        raise BadInput(f"{path}: is a directory")
    try:
        return radar.open_volume(path, reader=reader)
    except (ValueError, OSError, ImportError) as e:
        raise BadInput(str(e) if str(e).startswith(path) else f"{path}: {e}") from None
    except Exception as e:  # a reader library's own fault: still one line, no traceback
        first = (str(e).strip().splitlines() or [""])[0]
        raise BadInput(f"{path}: the reader failed ({type(e).__name__}: {first})") from None


def _moment_arg(text: str) -> str | None:
    """A moment name from the command line: "none" leaves it out, "auto" finds it."""
    return None if text.lower() == "none" else text


_OPTIONS = re.compile(r"\b(velocity|reflectivity|nyquist)=")


def _bad(path: str, e: Exception) -> BadInput:
    """BadInput of a library error about a file: named by `path` once, keyword arguments the
    library's message suggests given as the command's options."""
    text = _OPTIONS.sub(r"--\1", str(e))
    return BadInput(text if text.startswith(path) else f"{path}: {text}")


def _check_output(path: str, what: str) -> None:
    """Refuse an output whose directory does not exist, before any work."""
    d = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(d):
        raise BadInput(f"{path}: {what} directory {d} does not exist")
    if os.path.isdir(path):
        raise BadInput(f"{path}: {what} is a directory")


def _range_arg(text: str) -> np.ndarray:
    try:
        parts = [float(p) for p in text.split(":")]
        start, stop, step = parts
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected START:STOP:STEP in metres, e.g. 0:10000:250, not {text!r}"
        ) from None
    if not (step > 0 and stop > start and np.isfinite([start, stop, step]).all()):
        raise argparse.ArgumentTypeError(f"need STOP > START and STEP > 0, not {text!r}")
    h = np.arange(start, stop + step / 2, step)
    if h.size < 2:
        raise argparse.ArgumentTypeError(f"{text!r} gives fewer than two heights")
    return h


def _every_arg(text: str) -> tuple[int, int]:
    try:
        r, g = (int(p) for p in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected RAYS,GATES, e.g. 2,4, not {text!r}") from None
    if r < 1 or g < 1:
        raise argparse.ArgumentTypeError(f"RAYS and GATES must be at least 1, not {text!r}")
    return (r, g)


def _boxes_arg(text: str) -> dict[str, Any]:
    from .superob import parse_boxes

    try:
        layout = parse_boxes(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    if layout["boxes"] != "polar":
        raise argparse.ArgumentTypeError(
            f"expected RANGE,AZIMUTH such as 5km,5deg (square cells: --grid 3km), not {text!r}"
        )
    return layout


def _grid_arg(text: str) -> dict[str, Any]:
    """A spacing (3km, 2500m, 3000) or the path of a model grid file."""
    from .superob import parse_boxes

    try:
        layout = parse_boxes(text)
    except ValueError:
        return {"boxes": "model", "grid": text}
    if layout["boxes"] != "grid":
        raise argparse.ArgumentTypeError(
            f"expected a spacing such as 3km or a grid file, not {text!r}"
        )
    if not (np.isfinite(layout["spacing"]) and layout["spacing"] > 0):
        raise argparse.ArgumentTypeError(f"spacing must be positive, not {text!r}")
    return layout


def _positive(text: str) -> float:
    try:
        x = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}") from None
    if not (np.isfinite(x) and x > 0):
        raise argparse.ArgumentTypeError(f"must be positive, not {text!r}")
    return x


# ---------------------------------------------------------------------------------------------


def _choice_text(choice: Any, moments: set[str], kind: str) -> str:
    """How `info` states the moment chosen for a role."""
    if choice.name is None:
        return f"none found (name one with --{kind})"
    how = {"given": "given", "standard_name": "by standard name", "name": "by name"}[choice.how]
    text = f"{choice.name} ({how}"
    if choice.how == "given" and choice.name not in moments:
        text += "; not in this volume"
    if choice.alternatives:
        text += "; also " + ", ".join(choice.alternatives)
    return text + ")"


def cmd_info(args: argparse.Namespace) -> int:
    radar = _radar()
    volumes = []
    bar = Progress(len(args.files), not args.quiet)
    for path in args.files:
        bar.show(os.path.basename(path))
        vol = _load(path, args.reader)
        try:
            d = radar.describe(vol)
            chosen = {
                kind: radar.find_moment(vol, kind, None if given == AUTO else given)
                for kind, given in (
                    ("velocity", args.velocity),
                    ("reflectivity", args.reflectivity),
                )
            }
        except (ValueError, TypeError) as e:
            raise _bad(path, e) from None
        volumes.append((path, d, chosen))
        bar.step(os.path.basename(path))
    bar.close()
    for path, d, chosen in volumes:
        print(path)
        if d.reader is not None:
            packed = "" if d.compression in (None, "none") else f", {d.compression}-compressed"
            print(f"  read by {d.reader}: {d.file_format}{packed}")
        if d.xradar_refused:
            print(f"  (xradar refused it: {d.xradar_refused})")
        if np.isfinite([d.radar_latitude, d.radar_longitude]).all():
            ns = "N" if d.radar_latitude >= 0 else "S"
            ew = "E" if d.radar_longitude >= 0 else "W"
            print(
                f"  radar at {abs(d.radar_latitude):.4f} {ns} {abs(d.radar_longitude):.4f} "
                f"{ew}, {d.radar_height:.0f} m above sea level"
            )
        else:
            print("  radar position unknown (not in the file)")
        if d.start is not None and d.end is not None:
            print(
                f"  time {np.datetime_as_string(d.start, unit='s')} to "
                f"{np.datetime_as_string(d.end, unit='s')}"
            )
        incomplete = [s.name for s in d.sweeps if s.incomplete]
        line = f"  {len(d.sweeps)} sweep{'' if len(d.sweeps) == 1 else 's'}"
        if incomplete:
            line += f", incomplete: {' '.join(incomplete)}"
        print(line)
        if d.dropped_sweeps:
            print(f"  left out: {d.dropped_sweeps}")
        moments = {m for s in d.sweeps for m in s.moments}
        print(f"  velocity: {_choice_text(chosen['velocity'], moments, 'velocity')}")
        print(f"  reflectivity: {_choice_text(chosen['reflectivity'], moments, 'reflectivity')}")
        print(
            f"  {'sweep':<10s} {'elev':>6s} {'rays':>5s} {'gates':>6s} {'range km':>14s} "
            f"{'nyquist':>7s}  moments"
        )
        for s in d.sweeps:
            rng = f"{s.first_range / 1e3:.2f}-{s.last_range / 1e3:.1f}"
            ny = f"{s.nyquist_velocity:7.2f}" if np.isfinite(s.nyquist_velocity) else f"{'-':>7s}"
            note = ""
            if s.incomplete:
                of = f" of {s.expected_rays}" if s.expected_rays else ""
                note = f"  [incomplete: {s.rays}{of} ray{'' if s.rays == 1 and not of else 's'}]"
            print(
                f"  {s.name:<10s} {s.elevation:6.2f} {s.rays:5d} {s.gates:6d} "
                f"{rng:>14s} {ny}  {' '.join(s.moments)}{note}"
            )
    return 0


_COLUMNS = ("height", "u", "v", "speed", "direction", "u_spread", "v_spread", "rms", "count")


def _profile_csv(profiles: list[tuple[str, Any]]) -> bytes:
    """The profiles as CSV: a header line, then one line per file and bin."""
    text = io.StringIO(newline="")
    out = csv.writer(text, lineterminator="\n")
    out.writerow(["file", *_COLUMNS])
    for path, prof in profiles:
        for i in range(prof.sizes["height"]):
            vals = [repr(float(prof[k].values[i])) for k in _COLUMNS]
            vals[-1] = str(int(float(prof["count"].values[i])))
            out.writerow([path, *vals])
    return text.getvalue().encode()


def cmd_vad(args: argparse.Namespace) -> int:
    radar = _radar()
    if args.csv:
        _check_output(args.csv, "CSV output")
    if args.plot:
        _check_output(args.plot, "plot output")
        if importlib.util.find_spec("matplotlib") is None:
            raise BadInput(f"{args.plot}: plots need matplotlib: pip install 'radarkit[plot]'")
    bar = Progress(len(args.files), not args.quiet)
    profiles = []
    for path in args.files:
        bar.show(os.path.basename(path))
        vol = _load(path, args.reader)
        try:
            prof = radar.vad_profile(
                vol,
                heights=args.heights,
                above=args.above,
                velocity=args.velocity,
                min_gates=args.min_gates,
                min_spread=args.min_spread,
                dealias=args.dealias,
                nyquist=args.nyquist,
            )
        except (ValueError, TypeError) as e:
            raise _bad(path, e) from None
        profiles.append((path, prof))
        bar.step(os.path.basename(path))
    bar.close()

    for path, prof in profiles:
        print(f"# {path}: wind profile, height above {args.above}")
        print(
            f"{'height_m':>9s} {'u_ms':>7s} {'v_ms':>7s} {'speed_ms':>8s} {'dir_deg':>7s} "
            f"{'rms_ms':>6s} {'count':>7s}"
        )
        for i in range(prof.sizes["height"]):
            row = {k: float(prof[k].values[i]) for k in _COLUMNS if k != "height"}
            z = float(prof["height"].values[i])
            if row["count"] == 0 and args.skip_empty:
                continue
            print(
                f"{z:9.0f} {row['u']:7.2f} {row['v']:7.2f} {row['speed']:8.2f} "
                f"{row['direction']:7.1f} {row['rms']:6.2f} {int(row['count']):7d}"
            )
    if args.csv:
        try:
            with Output(args.csv, name="CSV output") as out:
                out.write(_profile_csv(profiles))
        except OSError as e:
            raise _unwritable(args.csv, e) from None
    if args.plot:
        from .plot import profile_figure

        fig = profile_figure(
            [p for _, p in profiles], labels=[os.path.basename(f) for f, _ in profiles]
        )
        png = io.BytesIO()
        fig.savefig(png, format="png", dpi=110)
        try:
            with Output(args.plot, name="plot output") as out:
                out.write(png.getbuffer())
        except OSError as e:
            raise _unwritable(args.plot, e) from None
    return 0


def cmd_obs_seq(args: argparse.Namespace) -> int:
    radar = _radar()
    _check_output(args.output, "output")
    try:
        from . import dart  # noqa: F401
    except ImportError as e:
        raise BadInput(f"{args.output}: writing DART files is not available: {e}") from None
    reflectivity = _moment_arg(args.reflectivity)
    velocity = _moment_arg(args.velocity)
    volumes = []
    bar = Progress(len(args.files), not args.quiet)
    # dealiased, a volume's velocity is the new moment (which "auto" then finds)
    written = velocity if not args.dealias or velocity in (None, AUTO) else DEALIASED
    for path in args.files:
        bar.show(os.path.basename(path))
        vol = _load(path, args.reader)
        try:
            if args.dealias and radar.choose_moment(vol, "velocity", velocity) is not None:
                vol = radar.dealias(vol, velocity=velocity, nyquist=args.nyquist)
            radar.check_obs_seq(
                vol, velocity=written, reflectivity=reflectivity, nyquist=args.nyquist, label=path
            )
        except (ValueError, TypeError) as e:
            raise _bad(path, e) from None
        volumes.append(vol)
        bar.step(os.path.basename(path))
    bar.close()
    bar = Progress(1, not args.quiet)

    def progress(done: int, total: int) -> None:
        bar.total = total
        bar.done = done
        bar.show("writing sweeps")

    superob = args.superob or args.grid
    if superob is not None and superob.get("boxes") == "model":
        superob = {"boxes": "model", "grid": _grid_file(superob["grid"])}
    try:
        res = radar.to_obs_seq(
            volumes,
            args.output,
            velocity_error=args.velocity_error,
            reflectivity_error=args.reflectivity_error,
            velocity=written,
            reflectivity=reflectivity,
            every=args.every,
            clear_air_below=args.clear_air_below,
            nyquist=args.nyquist,
            progress=progress,
            superob=superob,
            unfolded=args.unfolded,
        )
    except (ValueError, OSError) as e:
        raise _bad(args.output, e) from None
    finally:
        bar.close()
    if not args.quiet:
        what = "superobservations" if superob else "observations"
        print(
            f"{args.output}: {res.written} {what} from {len(volumes)} volume(s)",
            file=sys.stderr,
        )
    return 0


def _grid_file(path: str) -> Any:
    """A model grid file (wrfinput, geo_em), opened before any work."""
    if not os.path.exists(path):
        raise BadInput(f"{path}: no such grid file (or give a spacing such as 3km)")
    from .radar_obs import _open_grid

    try:
        return _open_grid(path)
    except ValueError as e:
        raise BadInput(str(e)) from None


def cmd_wrfda(args: argparse.Namespace) -> int:
    radar = _radar()
    _check_output(args.output, "output")
    reflectivity = _moment_arg(args.reflectivity)
    velocity = _moment_arg(args.velocity)
    grid = None
    if args.grid is not None:
        if args.grid["boxes"] == "model":
            grid = _grid_file(args.grid["grid"])
        else:
            args.spacing = args.grid["spacing"]
    volumes = []
    bar = Progress(len(args.files), not args.quiet)
    for path in args.files:
        bar.show(os.path.basename(path))
        volumes.append(_load(path, args.reader))
        bar.step(os.path.basename(path))
    bar.close()
    try:
        res = radar.to_wrfda(
            volumes,
            args.output,
            velocity_error=args.velocity_error,
            reflectivity_error=args.reflectivity_error,
            spacing=None if grid is not None else args.spacing,
            grid=grid,
            velocity=velocity,
            reflectivity=reflectivity,
            unfolded=args.unfolded,
            nyquist=args.nyquist,
        )
    except (ValueError, OSError) as e:
        raise BadInput(f"{args.output}: {e}") from None
    if not args.quiet:
        print(
            f"{args.output}: {res.written} columns from {len(volumes)} volume(s)",
            file=sys.stderr,
        )
    return 0


def _count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {text!r}")
    return n


def _network_summary(res: Any, formats: Sequence[str]) -> str:
    """The run's summary: one line per window, the volumes that failed, the report."""
    lines = [f"{'window':<13s} {'volumes':>7s} {'DART obs':>9s} {'WRFDA cols':>10s}  files"]
    total = {"dart": 0, "wrfda": 0}
    for w in res.windows:
        cells = []
        for fmt in ("dart", "wrfda"):
            if fmt not in formats:
                cells.append("-")
            elif fmt in w.observations:
                cells.append(str(w.observations[fmt]))
                total[fmt] += w.observations[fmt]
            elif fmt in w.errors:
                cells.append("failed")
            else:
                cells.append("kept")
        names = " ".join(os.path.basename(f) for f in w.files.values())
        lines.append(f"{w.name:<13s} {len(w.volumes):7d} {cells[0]:>9s} {cells[1]:>10s}  {names}")
    volumes = sum(len(w.volumes) for w in res.windows)
    lines.append(
        f"{len(res.windows)} window(s), {volumes} volume(s), {total['dart']} DART observations"
        + (f", {total['wrfda']} WRFDA columns" if "wrfda" in formats else "")
        + " written"
    )
    if res.outside:
        lines.append(f"{len(res.outside)} volume(s) before the first window, left out")
    if res.failed:
        lines.append(f"{len(res.failed)} volume(s) failed:")
        lines += [f"  {f.path}: {f.reason}" for f in res.failed]
    if res.unwritten:
        lines.append(f"{len(res.unwritten)} file(s) could not be written:")
        lines += [f"  {path}: {why}" for path, why in res.unwritten]
    if res.stopped:
        lines.append("stopped at the failed volume: no observation file written")
    lines.append(f"report: {res.report}")
    return "\n".join(lines)


def cmd_network(args: argparse.Namespace) -> int:
    _radar()
    if importlib.util.find_spec("distributed") is None:
        raise BadInput("radarkit network needs dask.distributed: pip install 'radarkit[network]'")
    from . import network

    superob: dict[str, Any] = dict(args.superob or args.grid or {})
    if superob.get("boxes") == "model":
        superob["grid"] = _grid_file(superob["grid"])
    for key in ("min_count", "max_spread"):
        if getattr(args, key) is not None:
            superob[key] = getattr(args, key)
    formats = ("dart", "wrfda") if args.wrfda else ("dart",)
    bar = Progress(len(args.files), not args.quiet)

    def progress(done: int, total: int, path: str) -> None:
        bar.total, bar.done = total, done
        bar.show(os.path.basename(path))

    try:
        res = network.obs_windows(
            args.files,
            window=args.window,
            start=args.start,
            out_dir=args.out,
            formats=formats,
            client=args.scheduler,
            workers=args.workers,
            on_error=args.on_error,
            overwrite=args.overwrite,
            velocity=_moment_arg(args.velocity),
            reflectivity=_moment_arg(args.reflectivity),
            unfolded=args.unfolded,
            velocity_error=args.velocity_error,
            reflectivity_error=args.reflectivity_error,
            clear_air_below=args.clear_air_below,
            nyquist=args.nyquist,
            reader=args.reader,
            progress=progress,
            **superob,
        )
    except (ValueError, ImportError, OSError, TimeoutError) as e:
        raise BadInput(str(e)) from None
    except KeyboardInterrupt:
        bar.close()
        print(
            f"{PROG} network: interrupted; no partial file, windows written before are complete",
            file=sys.stderr,
        )
        return 130
    finally:
        bar.close()
    print(_network_summary(res, formats))
    if res.stopped:
        return 2
    return 1 if res.failed or res.unwritten else 0


def _unwritable(path: str, e: OSError) -> BadInput:
    """BadInput of an output the system refuses to create or write (one line)."""
    return BadInput(f"{path}: cannot write it ({e.strerror or e})")


def _write_volume(volume: Any, path: str, fmt: str) -> None:
    try:
        _radar().write_volume(volume, path, format=fmt)
    except ValueError as e:  # xradar's failure, one line; nothing written
        raise BadInput(str(e)) from None
    except OSError as e:  # the directory refuses the file, the disk is full, ...
        raise _unwritable(path, e) from None


def cmd_dealias(args: argparse.Namespace) -> int:
    radar = _radar()
    _check_output(args.output, "output")
    fmt = args.format or volume_format(args.output)
    vol = _load(args.file, args.reader)
    try:
        out = radar.dealias(vol, velocity=args.velocity, nyquist=args.nyquist)
    except (ValueError, TypeError) as e:
        raise _bad(args.file, e) from None
    _write_volume(out, args.output, fmt)
    print(f"# {args.file} -> {args.output} ({fmt}): {DEALIASED} and {FOLDS} added")
    print(
        f"{'sweep':<10s} {'nyquist_ms':>10s} {'gates':>10s} {'unfolded':>10s} {'unresolved':>10s}"
    )
    for name, ds in radar.list_sweeps(out):
        if FOLDS not in ds.data_vars:
            continue
        folds = ds[FOLDS].values
        valid = int(ds[DEALIASED].attrs.get("unresolved_gates", 0)) + int(
            np.isfinite(ds[DEALIASED].values).sum()
        )
        unfolded = int(((folds != 0) & (folds != FOLD_FILL)).sum())
        ny = float(
            np.nanmedian(radar.nyquist_velocity(ds, ds.sizes["azimuth"], nyquist=args.nyquist))
        )
        print(
            f"{name:<10s} {ny:10.2f} {valid:10d} {unfolded:10d} "
            f"{int(ds[DEALIASED].attrs.get('unresolved_gates', 0)):10d}"
        )
    return 0


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Radar files (what xradar or Py-ART reads: NEXRAD Level II, ODIM_H5, "
        "CfRadial, IRIS/Sigmet, UF, MDV, ..., also gzip- or bzip2-compressed) to wind profiles "
        "and DART observation files.",
    )
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def common(sp: argparse.ArgumentParser) -> None:
        sp.add_argument("files", nargs="+", metavar="FILE", help="radar volume files")
        sp.add_argument("-q", "--quiet", action="store_true", help="no progress bar or messages")
        sp.add_argument(
            "--reader",
            choices=READERS,
            default="auto",
            help="auto (default): xradar, Py-ART for what xradar cannot read; or one of them",
        )

    def moment(sp: argparse.ArgumentParser, kind: str, what: str, none: bool) -> None:
        also = ", or none to leave it out" if none else ""
        sp.add_argument(
            f"--{kind}",
            default=AUTO,
            metavar="NAME",
            help=f"{what} moment (default auto: found by standard name or common name{also})",
        )

    sp = sub.add_parser(
        "info",
        help="what is inside radar files",
        description="Reader, format, radar position, time, sweeps (elevation, rays x gates, "
        "range, Nyquist velocity, moments, incomplete ones) of each file, and the velocity and "
        "reflectivity moments the other commands read.",
    )
    common(sp)
    moment(sp, "velocity", "radial-velocity", False)
    moment(sp, "reflectivity", "reflectivity", False)
    sp.set_defaults(run=cmd_info)

    sp = sub.add_parser(
        "vad",
        help="VAD wind profile of radar volumes",
        description="VAD wind of every ring (range gate of a sweep), combined on height bins "
        "as the count-weighted mean of the rings in each bin. Prints height, u, v, speed, "
        "direction (from), rms residual and sample count.",
    )
    common(sp)
    sp.add_argument(
        "--heights",
        type=_range_arg,
        default=_range_arg("0:10000:250"),
        metavar="START:STOP:STEP",
        help="bin centres in m (default 0:10000:250)",
    )
    sp.add_argument(
        "--above",
        choices=("radar", "sea"),
        default="radar",
        help="heights above the radar (default) or above sea level",
    )
    moment(sp, "velocity", "radial-velocity", False)
    sp.add_argument(
        "--min-gates",
        type=int,
        default=MIN_GATES,
        help=f"least usable samples of a ring (default {MIN_GATES})",
    )
    sp.add_argument(
        "--min-spread",
        type=float,
        default=MIN_SPREAD,
        help=f"least azimuth coverage of a ring, 0.25 = full circle (default {MIN_SPREAD})",
    )
    sp.add_argument(
        "--dealias",
        action="store_true",
        help="dealias the velocities first (needed wherever the wind exceeds the Nyquist velocity)",
    )
    sp.add_argument(
        "--nyquist",
        type=_positive,
        metavar="M/S",
        help="with --dealias: Nyquist velocity for volumes that carry none",
    )
    sp.add_argument("--skip-empty", action="store_true", help="leave out bins without data")
    sp.add_argument("--csv", metavar="OUT", help="also write the profile(s) as CSV")
    sp.add_argument(
        "--plot",
        metavar="OUT.png",
        help="also draw speed, direction and hodograph (needs matplotlib)",
    )
    sp.set_defaults(run=cmd_vad)

    sp = sub.add_parser(
        "obs-seq",
        help="DART observation file of radar volumes",
        description="One DART observation-sequence file of the radial velocity and "
        "reflectivity of every usable gate of the volumes, in time order.",
    )
    common(sp)
    sp.add_argument("-o", "--output", required=True, metavar="OUT", help="DART file to write")
    sp.add_argument(
        "--every",
        type=_every_arg,
        default=(1, 1),
        metavar="R,G",
        help="keep every R-th ray and G-th gate (default 1,1)",
    )
    sp.add_argument(
        "--velocity-error",
        type=_positive,
        default=VELOCITY_ERROR,
        metavar="M/S",
        help=f"radial-velocity error standard deviation (default {VELOCITY_ERROR:g} m/s)",
    )
    sp.add_argument(
        "--reflectivity-error",
        type=_positive,
        default=REFLECTIVITY_ERROR,
        metavar="DBZ",
        help=f"reflectivity error standard deviation (default {REFLECTIVITY_ERROR:g} dBZ)",
    )
    moment(sp, "velocity", "radial-velocity", True)
    moment(sp, "reflectivity", "reflectivity", True)
    sp.add_argument(
        "--clear-air-below",
        type=float,
        default=CLEAR_AIR_BELOW,
        metavar="DBZ",
        help=f"reflectivity below this is clear-air reflectivity (default {CLEAR_AIR_BELOW:g} dBZ)",
    )
    sp.add_argument(
        "--nyquist",
        type=_positive,
        metavar="M/S",
        help="Nyquist velocity for volumes that carry none",
    )
    boxes = sp.add_mutually_exclusive_group()
    boxes.add_argument(
        "--superob",
        type=_boxes_arg,
        metavar="RANGE,AZIMUTH",
        help="one observation per polar box of each sweep, e.g. 5km,5deg (GSI's boxes): "
        "quality-controlled gates averaged, velocity error max(error, box spread)",
    )
    boxes.add_argument(
        "--grid",
        type=_grid_arg,
        metavar="SPACING|FILE",
        help="one observation per horizontal cell of each sweep: a square grid of this "
        "spacing around the radar (e.g. 3km) or the mass points of a model grid file",
    )
    sp.add_argument(
        "--unfolded",
        action="store_true",
        help="with --superob/--grid: the velocities are already unfolded (not aliased)",
    )
    sp.add_argument(
        "--dealias",
        action="store_true",
        help="dealias the velocities first and write only the dealiased gates (folded "
        "velocities must be dealiased before assimilation)",
    )
    sp.set_defaults(run=cmd_obs_seq)

    sp = sub.add_parser(
        "wrfda",
        help="WRFDA radar observation file (ob.radar) of radar volumes",
        description="One radar record per volume: one column per horizontal cell with data, "
        "one level per sweep at the column's mean beam height; quality-controlled gates "
        "averaged per cell and sweep (superobservations).",
    )
    common(sp)
    sp.add_argument("-o", "--output", required=True, metavar="OUT", help="file to write")
    cells = sp.add_mutually_exclusive_group()
    cells.add_argument(
        "--spacing",
        type=_spacing_arg,
        default=3000.0,
        metavar="SPACING",
        help="square cells of this spacing around each radar, e.g. 3km (default 3km)",
    )
    cells.add_argument(
        "--grid",
        type=_grid_arg,
        metavar="FILE",
        help="columns at the mass points of a model grid file (wrfinput_d01, geo_em.d01.nc)",
    )
    for name, default, unit in (
        ("velocity-error", VELOCITY_ERROR, "m/s"),
        ("reflectivity-error", REFLECTIVITY_ERROR, "dBZ"),
    ):
        sp.add_argument(
            f"--{name}",
            type=_positive,
            default=default,
            metavar=unit.upper().replace("/", ""),
            help=f"{name.replace('-', ' ')} standard deviation (default {default:g} {unit})",
        )
    moment(sp, "velocity", "radial-velocity", True)
    moment(sp, "reflectivity", "reflectivity", True)
    sp.add_argument(
        "--nyquist", type=_positive, metavar="M/S", help="Nyquist velocity replacing the files'"
    )
    sp.add_argument(
        "--unfolded",
        action="store_true",
        help="the velocities are already unfolded (not aliased)",
    )
    sp.set_defaults(run=cmd_wrfda)

    sp = sub.add_parser(
        "network",
        help="superobservations of a radar network, one DART file per assimilation window",
        description="Every volume of every radar goes to the window holding its mid time "
        "(windows centred on multiples of --window from midnight UTC, or on --start and "
        "every --window after it); one task per volume (read, quality control, dealiasing, "
        "superobservations) on dask.distributed; per window one DART file "
        "obs_seq.YYYYMMDDHHMM (and with --wrfda one ob.radar.YYYYMMDDHHMM) named by its "
        "centre, and a JSON report, in --out. Exit status 0, 1 when volumes failed and were "
        "left out or a window file could not be written, 2 on bad input or a stop, 130 when "
        "interrupted.",
    )
    common(sp)
    sp.add_argument("--window", default="15min", help="window length (default 15min)")
    sp.add_argument("--start", help="centre of the first window, e.g. 2024-05-20T18:00")
    sp.add_argument("--out", required=True, metavar="DIR", help="directory of the files")
    sp.add_argument("--wrfda", action="store_true", help="also write WRFDA radar files")
    where = sp.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler")
    where.add_argument(
        "--workers",
        type=_count,
        metavar="N",
        help="worker processes of the local cluster (default: one per core)",
    )
    boxes = sp.add_mutually_exclusive_group()
    boxes.add_argument(
        "--superob",
        type=_boxes_arg,
        metavar="RANGE,AZIMUTH",
        help="polar boxes of each sweep, e.g. 5km,5deg (the default, GSI's boxes)",
    )
    boxes.add_argument(
        "--grid",
        type=_grid_arg,
        metavar="SPACING|FILE",
        help="horizontal cells of each sweep: square cells of this spacing (e.g. 3km) or the "
        "mass points of a model grid file; WRFDA files take these cells (default 3km)",
    )
    sp.add_argument("--min-count", type=_count, metavar="N", help="least gates of a box")
    sp.add_argument(
        "--max-spread", type=_positive, metavar="M/S", help="largest velocity spread of a box"
    )
    moment(sp, "velocity", "radial-velocity", True)
    moment(sp, "reflectivity", "reflectivity", True)
    sp.add_argument(
        "--unfolded",
        action="store_true",
        help="the velocities are already unfolded (not aliased): no dealiasing",
    )
    sp.add_argument(
        "--velocity-error",
        type=_positive,
        default=VELOCITY_ERROR,
        metavar="M/S",
        help=f"least radial-velocity error (default {VELOCITY_ERROR:g} m/s; a box's spread "
        "when larger)",
    )
    sp.add_argument(
        "--reflectivity-error",
        type=_positive,
        default=REFLECTIVITY_ERROR,
        metavar="DBZ",
        help=f"reflectivity error (default {REFLECTIVITY_ERROR:g} dBZ)",
    )
    sp.add_argument(
        "--clear-air-below",
        type=float,
        default=CLEAR_AIR_BELOW,
        metavar="DBZ",
        help=f"reflectivity below this is clear-air reflectivity (default {CLEAR_AIR_BELOW:g})",
    )
    sp.add_argument(
        "--nyquist", type=_positive, metavar="M/S", help="Nyquist velocity replacing the files'"
    )
    sp.add_argument(
        "--on-error",
        choices=("skip", "stop"),
        default="skip",
        help="a volume that fails: leave it out (default) or stop before writing",
    )
    sp.add_argument("--overwrite", action="store_true", help="rewrite windows whose files exist")
    sp.set_defaults(run=cmd_network)

    sp = sub.add_parser(
        "dealias",
        help="dealiased radial velocities of a radar volume",
        description=f"Dealias the radial velocity of every sweep (gradient VAD reference, "
        f"unfolding to the nearest fold, continuity) and write the volume with {DEALIASED} "
        f"(dealiased velocity, NaN where unresolved) and {FOLDS} (folds added) as CfRadial1 "
        "or ODIM_H5. Prints per sweep the Nyquist velocity, the gates with a velocity, those "
        "unfolded and those left unresolved.",
    )
    sp.add_argument("file", metavar="IN", help="radar volume file")
    sp.add_argument("-o", "--output", required=True, metavar="OUT", help="volume file to write")
    sp.add_argument(
        "--format",
        choices=VOLUME_FORMATS,
        help="cfradial1 or odim (default: odim for .h5, .hdf5 or .hdf, else cfradial1)",
    )
    sp.add_argument(
        "--reader",
        choices=READERS,
        default="auto",
        help="auto (default): xradar, Py-ART for what xradar cannot read; or one of them",
    )
    moment(sp, "velocity", "radial-velocity", False)
    sp.add_argument(
        "--nyquist",
        type=_positive,
        metavar="M/S",
        help="Nyquist velocity for sweeps that carry none",
    )
    sp.set_defaults(run=cmd_dealias)
    return p


def _spacing_arg(text: str) -> float:
    layout = _grid_arg(text)
    if layout["boxes"] != "grid":
        raise argparse.ArgumentTypeError(f"expected a spacing such as 3km, not {text!r}")
    return float(layout["spacing"])


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status (0, 2 on bad input, 130 when interrupted)."""
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except BadInput as e:
        print(f"{PROG} {args.command}: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted, nothing written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # stdout closed early (e.g. piped into head): not an error of ours
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
