"""Radar files as users hold them: compressed, in any format xradar or Py-ART reads, or a Py-ART
``Radar`` already in memory, all as the package's DataTree of sweeps.

`read_volume` reads a file into that DataTree: one group ``sweep_N`` per PPI sweep with the
coordinates ``azimuth``, ``elevation``, ``time``, ``range`` and the moments as (azimuth, range)
variables, the radar ``latitude``, ``longitude`` and ``altitude`` in the root, and
``nyquist_velocity`` per ray where the file carries one. On the way it

- decompresses whole-file gzip and bzip2 (recognised by their first bytes, not the file name)
  into a temporary file that is always removed; a corrupt stream is one error naming the file;
- chooses the reader (``reader="auto"``): xradar, and Py-ART's ``pyart.io.read`` (the extra
  ``radarkit[pyart]``) for what xradar does not read or reads wrongly: legacy NEXRAD message-1
  files, UF, MDV, CSU-CHILL, NEXRAD Level 3 and NEXRAD CDM files, and any file xradar refuses;
- keeps incomplete sweeps with their usable rays and marks them (`incomplete_sweeps`);
- refuses a file it cannot use with one line saying why (`UnreadableFile`): "not a radar file
  (text)", "RHI scan: no PPI sweeps", "no complete sweep", ...

`as_volume` turns a Py-ART ``Radar`` (or Py-ART's ``Xradar`` wrapper) into the same DataTree and
passes DataTrees and Datasets through: the one conversion point of the volume functions.

Example
-------
>>> import bz2, os, tempfile
>>> from radarkit.readers import read_volume
>>> from radarkit.synthetic import synthetic_volume, write_volume
>>> d = tempfile.mkdtemp()
>>> plain = write_volume(synthetic_volume(elevations=[0.5, 1.5], rays=72, gates=40),
...                      os.path.join(d, "volume.nc"))
>>> with open(plain, "rb") as f, open(plain + ".bz2", "wb") as g:
...     _ = g.write(bz2.compress(f.read()))
>>> tree = read_volume(plain + ".bz2")
>>> sorted(tree.children), tree.attrs["radarkit_reader"], tree.attrs["radarkit_compression"]
(['sweep_0', 'sweep_1'], 'xradar (cfradial1)', 'bzip2')
"""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import os
import re
import shutil
import struct
import tempfile
import warnings
import zlib
from collections.abc import Iterator
from typing import Any

import numpy as np

__all__ = [
    "READERS",
    "UnreadableFile",
    "as_volume",
    "compression",
    "file_format",
    "incomplete_sweeps",
    "is_pyart_radar",
    "radar_to_datatree",
    "read_volume",
]

READERS = ("auto", "xradar", "pyart")

# Attributes the readers leave on the tree: on the root, which reader read the file, its
# format and compression; on a sweep, that it is incomplete and how many rays it should have.
READER_ATTR = "radarkit_reader"
FORMAT_ATTR = "radarkit_format"
COMPRESSION_ATTR = "radarkit_compression"
DROPPED_ATTR = "radarkit_dropped_sweeps"
FALLBACK_ATTR = "radarkit_xradar_refused"
SITE_UNKNOWN_ATTR = "radarkit_site_unknown"
INCOMPLETE_ATTR = "radarkit_incomplete"
EXPECTED_RAYS_ATTR = "radarkit_expected_rays"

_CHUNK = 1 << 20  # bytes copied at a time when decompressing
_PPI_MODES = {"azimuth_surveillance", "sector", "manual_ppi", "ppi", "sector_ppi"}
_RHI_MODES = {"rhi", "manual_rhi", "elevation_surveillance", "sunscan_rhi"}
_VERTICAL_MODES = {"vertical_pointing", "pointing"}

# What each format is called in messages and which engine of xradar reads it.
FORMATS = {
    "nexrad-msg31": ("NEXRAD Level II", ["nexradlevel2"]),
    "nexrad-msg1": ("legacy NEXRAD Level II (message 1)", []),
    "nexrad-level3": ("NEXRAD Level 3 product", []),
    "netcdf": ("netCDF", ["cfradial1", "cfradial2"]),
    "hdf5": ("HDF5", ["odim", "gamic", "cfradial1", "cfradial2"]),
    "iris": ("IRIS/Sigmet", ["iris"]),
    "uf": ("Universal Format (UF)", ["uf"]),
    "mdv": ("MDV", []),
    "chl": ("CSU-CHILL", []),
    "rainbow": ("Rainbow", ["rainbow"]),
    "unknown": ("unknown", ["furuno", "datamet"]),
    "zip": ("ZIP archive", []),
    "text": ("text", []),
    "empty": ("empty", []),
}
# formats Py-ART reads and xradar does not, or reads wrongly (auto sends them to Py-ART)
_PYART_FIRST = {"nexrad-msg1", "nexrad-level3", "uf", "mdv", "chl"}
_NOT_RADAR = {"zip", "text", "empty"}


class UnreadableFile(ValueError):
    """A file the package cannot use; the message is ``"<path>: <reason>"``, one line."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


# ---------------------------------------------------------------------------------------------
# Optional dependencies


def _xarray() -> Any:
    try:
        import xarray
    except ImportError:
        raise ImportError(
            "radarkit.readers needs xarray for volumes: pip install 'radarkit[radar]'"
        ) from None
    return xarray


def _xradar() -> Any:
    _xarray()
    try:
        import xradar
    except ImportError:
        raise ImportError(
            "reading radar files needs xradar: pip install 'radarkit[radar]'"
        ) from None
    return xradar


def _pyart() -> Any:
    """Py-ART, imported without its citation banner on stdout (it would mix with results)."""
    try:
        with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import pyart
    except ImportError:
        raise ImportError("reading this file needs Py-ART: pip install 'radarkit[pyart]'") from None
    return pyart


def _have_pyart() -> bool:
    try:
        _pyart()
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------------------------------------
# Compression and formats from the first bytes


def compression(head: bytes) -> str | None:
    """The whole-file compression a file's first bytes announce.

    Parameters
    ----------
    head : bytes
        The first bytes of the file (10 suffice).

    Returns
    -------
    str or None
        ``"gzip"`` or ``"bzip2"``, None for anything else.

    Notes
    -----
    gzip streams start with the bytes 1f 8b; bzip2 streams with ``BZh``, the block size digit
    1-9 and the magic of a block (31 41 59 26 53 59) or of the end of the stream. NEXRAD Level
    II archives compress their records with bzip2 inside an uncompressed container, which is
    not whole-file compression: they start with ``AR2V``.

    Example
    -------
    >>> import bz2, gzip
    >>> compression(gzip.compress(b"x")), compression(bz2.compress(b"x")), compression(b"AR2V")
    ('gzip', 'bzip2', None)
    """
    if head[:2] == b"\x1f\x8b":
        return "gzip"
    if (
        head[:3] == b"BZh"
        and head[3:4] in b"123456789"
        and head[4:10] in (b"1AY&SY", b"\x17rE8P\x90")
        and len(head) >= 10
    ):
        return "bzip2"
    return None


@contextlib.contextmanager
def _plain_file(path: str) -> Iterator[tuple[str, str | None]]:
    """(path of the uncompressed file, compression) for the duration of the block.

    A compressed file is decompressed to a temporary file, removed when the block ends however
    it ends; a corrupt or truncated stream raises UnreadableFile naming `path`.
    """
    with open(path, "rb") as f:
        kind = compression(f.read(10))
    if kind is None:
        yield path, None
        return
    opener = gzip.open if kind == "gzip" else bz2.open
    fd, tmp = tempfile.mkstemp(prefix="radarkit-", suffix=".uncompressed")
    try:
        try:
            with os.fdopen(fd, "wb") as out, opener(path, "rb") as src:
                shutil.copyfileobj(src, out, _CHUNK)
        except (OSError, EOFError, zlib.error) as e:
            # gzip.BadGzipFile and bz2's "Invalid data stream" are OSErrors; a cut stream EOFError
            detail = str(e) or type(e).__name__
            raise UnreadableFile(path, f"corrupt {kind} stream ({detail})") from None
        yield tmp, kind
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)


_WMO_HEADER = re.compile(rb"^(\x01\r\r\n\d{3} \r\r\n)?[A-Z]{4}\d{2} [A-Z]{4} \d{6}")


def file_format(path: str | os.PathLike[str]) -> str:
    """The format of an uncompressed file, from its first bytes.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    str
        A key of `FORMATS`: ``"nexrad-msg31"``, ``"nexrad-msg1"``, ``"nexrad-level3"``,
        ``"netcdf"``, ``"hdf5"``, ``"iris"``, ``"uf"``, ``"mdv"``, ``"chl"``, ``"rainbow"``,
        ``"zip"``, ``"text"``, ``"empty"`` or ``"unknown"``.

    Notes
    -----
    NEXRAD Level II archives are told apart by the type of their first radial message:
    message 31 (Build 10 and later) or message 1 (the legacy format). After the 24-byte volume
    header come either the messages themselves or LDM records (a 4-byte size, then a bzip2
    stream of messages); each message has a 12-byte channel header, then its own header whose
    fourth byte is the type.

    Example
    -------
    >>> import tempfile
    >>> with tempfile.NamedTemporaryFile(suffix=".txt") as f:
    ...     _ = f.write(b"height,u,v"); f.flush()
    ...     file_format(f.name)
    'text'
    """
    with open(path, "rb") as f:
        head = f.read(1 << 22)
    if not head:
        return "empty"
    if head.startswith((b"AR2V", b"ARCHIVE2")):
        return "nexrad-msg1" if _nexrad_message_type(head) == 1 else "nexrad-msg31"
    if head.startswith(b"\x89HDF\r\n\x1a\n"):
        return "hdf5"
    if head.startswith((b"CDF\x01", b"CDF\x02", b"CDF\x05")):
        return "netcdf"
    if _WMO_HEADER.match(head[:64]):
        return "nexrad-level3"
    # UF records are FORTRAN records: "UF" after a 2- or 4-byte record length, or at the start
    if b"UF" in (head[0:2], head[2:4], head[4:6]):
        return "uf"
    if len(head) >= 8 and struct.unpack(">ii", head[:8]) == (1016, 14142):
        return "mdv"  # MDV master header: its record length, then its struct id
    if head[:4] == b"\x04\x00\xa8\x5a":
        return "chl"  # CSU-CHILL archive: little-endian magic 0x5aa80004
    if head[:1] == b"\x1b" or head[:2] in (b"\x1b\x00", b"\x00\x1b"):
        return "iris"  # the IRIS product header structure, id 27
    if head.lstrip().startswith(b"<"):
        return "rainbow"
    if head.startswith(b"PK\x03\x04"):
        return "zip"
    sample = head[:4096]
    if all(32 <= c < 127 or c in b"\t\r\n\f" for c in sample):
        return "text"
    return "unknown"


def _nexrad_message_type(head: bytes) -> int | None:
    """Type (1 or 31) of the first radial message of a NEXRAD Level II archive's first bytes.

    After the 24-byte volume header come either the messages themselves (legacy ``ARCHIVE2``
    files) or LDM records: a 4-byte big-endian size and a bzip2 stream of messages. Each
    message has a 12-byte channel header, then its own header whose fourth byte is the type;
    messages other than 31 fill frames of 2432 bytes, a message 31 is 12 + 2 x (its size in
    halfwords) bytes long.
    """
    body = head[24:]
    if body[4:7] == b"BZh":
        out = bytearray()
        pos = 0
        while pos + 4 <= len(body) and len(out) < (1 << 23):
            size = abs(struct.unpack(">i", body[pos : pos + 4])[0])
            dec = bz2.BZ2Decompressor()
            try:
                out += dec.decompress(body[pos + 4 : pos + 4 + size])
            except (OSError, EOFError):
                break
            found = _first_radial(bytes(out))
            if found is not None:
                return found
            pos += 4 + size
        return _first_radial(bytes(out))
    return _first_radial(body)


def _first_radial(stream: bytes) -> int | None:
    pos = 0
    while pos + 16 <= len(stream):
        mtype = stream[pos + 15]
        if mtype in (1, 31):
            return mtype
        if mtype == 29:
            size = 12 + 2 * struct.unpack(">H", stream[pos + 12 : pos + 14])[0]
            pos += max(size, 2432)
        else:
            pos += 2432
    return None


# ---------------------------------------------------------------------------------------------
# Reading


def read_volume(path: str | os.PathLike[str], *, reader: str = "auto") -> Any:
    """Read a radar file into a DataTree of PPI sweeps (`radarkit.volume.open_volume`).

    Parameters
    ----------
    path : str or path-like
        The file, plain or whole-file gzip/bzip2 compressed (recognised by its first bytes).
    reader : {"auto", "xradar", "pyart"}
        ``"xradar"`` reads with xradar's engines only, ``"pyart"`` with ``pyart.io.read`` only.
        ``"auto"`` sends legacy NEXRAD message-1, NEXRAD Level 3, UF, MDV and CSU-CHILL files to
        Py-ART (UF to xradar when Py-ART is not installed) and everything else to xradar,
        falling back to Py-ART when xradar refuses the file.

    Returns
    -------
    xarray.DataTree
        One group ``sweep_N`` per PPI sweep (N as numbered in the file), the radar position in
        the root. Root attributes: ``radarkit_reader`` (e.g. ``"xradar (nexradlevel2)"``,
        ``"pyart (UF)"``), ``radarkit_format``, ``radarkit_compression`` (``"gzip"``,
        ``"bzip2"`` or ``"none"``), and ``radarkit_dropped_sweeps`` when sweeps were left out
        (non-PPI sweeps, incomplete sweeps without usable rays), ``radarkit_xradar_refused``
        (xradar's error) when Py-ART read a file xradar refused. An incomplete sweep has the
        attribute ``radarkit_incomplete`` = 1 and, where known, ``radarkit_expected_rays``.
        A compressed file's tree is loaded into memory (its temporary file is gone); a plain
        file's tree may read lazily from the file.

    Raises
    ------
    FileNotFoundError
        No such file.
    UnreadableFile
        (a ValueError) the file cannot be used; the message is one line naming the file and
        the reason.
    ImportError
        The reader the file needs is not installed (the message names the extra).

    Notes
    -----
    xradar 0.13 reads legacy NEXRAD message-1 files without an error but wrongly (the first
    gate 65 km out instead of at the radar, below-threshold codes left as data), so
    ``reader="xradar"`` refuses them. Incomplete NEXRAD sweeps (a file cut mid-volume) are
    taken from xradar padded to their full azimuth grid, then only the rays holding data are
    kept. Any other full-circle (``azimuth_surveillance``) sweep whose rays leave a gap of more
    than three ray spacings is marked incomplete as well.

    Example
    -------
    >>> import gzip, shutil
    >>> from radarkit.synthetic import synthetic_volume, write_volume
    >>> _ = write_volume(synthetic_volume(elevations=(0.5,), rays=36, gates=10), "volume.nc")
    >>> with open("volume.nc", "rb") as f, gzip.open("volume.gz", "wb") as g:
    ...     shutil.copyfileobj(f, g)
    >>> tree = read_volume("volume.gz")
    >>> tree.attrs["radarkit_compression"], tree["sweep_0"].sizes["azimuth"]
    ('gzip', 36)
    """
    if reader not in READERS:
        raise ValueError(f"reader must be one of {', '.join(READERS)}, not {reader!r}")
    # a missing library is said before anything about the file
    if reader == "pyart":
        _pyart()
    else:
        _xradar()
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file")
    if os.path.isdir(path):
        raise UnreadableFile(path, "is a directory")
    with _plain_file(path) as (plain, kind):
        fmt = file_format(plain)
        tree, used, refused = _read_plain(path, plain, fmt, reader)
        if kind is not None:
            tree = tree.load()  # the temporary file goes when this block ends
    tree = _finish(tree, path)
    if refused:
        tree.attrs[FALLBACK_ATTR] = refused
    tree.attrs[READER_ATTR] = used
    tree.attrs[FORMAT_ATTR] = FORMATS[fmt][0]
    tree.attrs[COMPRESSION_ATTR] = kind or "none"
    return tree


def _read_plain(path: str, plain: str, fmt: str, reader: str) -> tuple[Any, str, str | None]:
    """(tree, reader label, why xradar refused it when Py-ART read it instead) of an
    uncompressed file, or UnreadableFile saying why it cannot be used."""
    label = FORMATS[fmt][0]
    if fmt in _NOT_RADAR:
        raise UnreadableFile(
            path, "empty file" if fmt == "empty" else f"not a radar file ({label})"
        )
    if reader == "pyart":
        return _read_pyart(path, plain, fmt), f"pyart ({_pyart_type(plain)})", None
    if fmt == "nexrad-msg1" and reader == "xradar":
        raise UnreadableFile(
            path,
            "legacy NEXRAD message-1 file: xradar misreads it (ranges, missing data); "
            "read it with reader='pyart' or 'auto'",
        )
    pyart_first = fmt in _PYART_FIRST and reader == "auto"
    if pyart_first and (fmt != "uf" or _have_pyart()):
        return _read_pyart(path, plain, fmt), f"pyart ({_pyart_type(plain)})", None
    tree, engine, error = _read_xradar(plain, fmt)
    if tree is not None:
        return tree, f"xradar ({engine})", None
    why = None if error is None else _short(error, plain, path)
    if reader == "xradar":
        raise UnreadableFile(path, _refusal(fmt, why, error, "xradar")) from error
    if not _have_pyart():
        raise UnreadableFile(
            path,
            _refusal(fmt, why, error, "xradar")
            + "; Py-ART may read it: pip install 'radarkit[pyart]'",
        ) from error
    tree = _read_pyart(path, plain, fmt, xradar_error=error)
    return tree, f"pyart ({_pyart_type(plain)})", why


def _refusal(fmt: str, why: str | None, error: BaseException | None, who: str) -> str:
    """The reason for a file no reader takes, from its format and the reader's error."""
    label = FORMATS[fmt][0]
    if fmt in ("netcdf", "hdf5"):
        if isinstance(error, OSError):  # the netCDF/HDF5 library itself cannot open it
            return f"damaged {label} file ({why})"
        return f"not a radar file ({label} without radar sweeps)"
    if fmt == "unknown":
        return "not a radar file"
    return f"{label} file {who} cannot read" + (f" ({why})" if why else "")


class _NoSweeps(ValueError):
    """An engine that opened the file and found no sweeps in it."""


def _read_xradar(plain: str, fmt: str) -> tuple[Any, str | None, BaseException | None]:
    """(tree, engine, None) from the first of xradar's engines for `fmt` that gives sweeps, or
    (None, None, the last engine's error).

    Warnings of an engine that fails go with it; those of the engine that reads the file are
    passed on, but for xradar's notes on the incomplete NEXRAD sweeps this module handles.
    """
    xd = _xradar()
    available = set(xd.io.list_xradar_engines())
    error: BaseException | None = None
    for engine in FORMATS[fmt][1]:
        if engine not in available:
            continue
        kwargs: dict[str, Any] = {}
        incomplete: set[int] = set()
        nyquist: dict[int, float] = {}
        if engine == "nexradlevel2":
            kwargs["incomplete_sweep"] = "pad"
            incomplete, nyquist = _nexrad_headers(plain)
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            try:
                tree = xd.io.open_datatree(plain, engine=engine, **kwargs)
            except Exception as e:  # any failure of an engine means "not this format"
                error = e
                continue
        if not any(_sweep_number(n) is not None for n in tree.children):
            error = _NoSweeps(f"the {engine} reader found no sweeps")
            continue
        for w in said:
            if not _HANDLED.search(str(w.message)):
                warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
        if engine == "nexradlevel2":
            tree = _with_nyquist(tree, nyquist)
            for n in tree.children:
                if _sweep_number(n) in incomplete:
                    tree[n].attrs[INCOMPLETE_ATTR] = 1
                    tree[n].attrs[EXPECTED_RAYS_ATTR] = int(tree[n].sizes.get("azimuth", 0))
        return tree, engine, None
    return None, None, error


# xradar's notes on the incomplete sweeps that read_volume pads, then trims and marks itself
_HANDLED = re.compile(r"incomplete|padded to a full angle grid|Rays might miss")


def _short(e: BaseException, plain: str | None = None, path: str | None = None) -> str:
    """One line: the error's type and the first line of its message, the file (or its
    temporary uncompressed copy) named by its base name (the message names it already)."""
    text = str(e).strip()
    if plain and path:
        text = text.replace(plain, os.path.basename(path))
    first = text.splitlines()[0][:160] if text else ""
    return f"{type(e).__name__}: {first}" if first else type(e).__name__


def _nexrad_headers(plain: str) -> tuple[set[int], dict[int, float]]:
    """(numbers of the sweeps cut short, Nyquist velocity of each sweep in m/s) of a NEXRAD
    Level II file, from xradar's reader of its message headers in one pass.

    A sweep is cut short when the data end mid-sweep (a file caught mid-volume). The Nyquist
    velocity is that of the sweep's first radial (message 31 radial block, in 0.01 m/s), which
    xradar 0.13 reads but leaves out of its sweeps.
    """
    try:
        from xradar.io.backends.nexrad_level2 import NEXRADLevel2File

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with NEXRADLevel2File(plain, loaddata=False) as nex:
                incomplete = set(nex.incomplete_sweeps)  # parses the data headers
                nyquist = {}
                for pos, sweep in enumerate(sorted(nex.data)):
                    rad = nex.msg_31_data_header[pos]["msg_31_data_header"].get("RAD") or {}
                    value = float(rad.get("nyquist_vel", 0)) / 100.0
                    if value > 0:
                        nyquist[sweep] = value
    except Exception:  # a layout this code does not know; the reader reports damaged files
        return set(), {}
    return incomplete, nyquist


def _with_nyquist(tree: Any, nyquist: dict[int, float]) -> Any:
    """The tree with ``nyquist_velocity`` per ray in the sweeps `nyquist` has a value for."""
    for name in list(tree.children):
        k = _sweep_number(name)
        if k in nyquist and "nyquist_velocity" not in tree[name].variables:
            ds = tree[name].to_dataset(inherit=False)
            ds["nyquist_velocity"] = (
                "azimuth",
                np.full(ds.sizes.get("azimuth", 0), nyquist[k]),
                {"units": "m s-1", "standard_name": "nyquist_velocity"},
            )
            tree[name] = type(tree)(ds)
    return tree


def _pyart_type(plain: str) -> str:
    try:
        from pyart.io.auto_read import determine_filetype

        with open(plain, "rb") as f:
            return str(determine_filetype(f))
    except Exception:
        return "unknown"


def _read_pyart(path: str, plain: str, fmt: str, xradar_error: BaseException | None = None) -> Any:
    """Py-ART's reading of the file as a DataTree, or UnreadableFile saying why not (chained
    to Py-ART's error). `xradar_error` is xradar's, when Py-ART is tried after xradar."""
    pyart = _pyart()
    label = FORMATS[fmt][0]
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")  # Py-ART's deprecation notes on its own readers
            radar = pyart.io.read(plain)
    except Exception as e:
        why = _short(e, plain, path)
        if fmt == "mdv" and isinstance(e, NotImplementedError) and "projection" in str(e):
            reason = "MDV grid (Cartesian), not radar sweeps"
        elif xradar_error is None:
            reason = f"{label} file Py-ART cannot read ({why})"
        elif fmt in ("netcdf", "hdf5", "unknown"):
            reason = _refusal(fmt, _short(xradar_error, plain, path), xradar_error, "Py-ART")
        else:
            reason = (
                f"{label} file neither reader can use "
                f"(xradar: {_short(xradar_error, plain, path)}; Py-ART: {why})"
            )
        raise UnreadableFile(path, reason) from e
    if type(radar).__name__ != "Radar":
        raise UnreadableFile(path, f"not radar sweeps (Py-ART reads it as {type(radar).__name__})")
    return radar_to_datatree(radar)


# ---------------------------------------------------------------------------------------------
# Py-ART Radar objects


def is_pyart_radar(obj: Any) -> bool:
    """Whether an object is a Py-ART ``Radar``, told without importing Py-ART.

    Parameters
    ----------
    obj : object
        Anything.

    Returns
    -------
    bool
        True for an object of a Py-ART class with ``fields``, ``sweep_start_ray_index`` and
        ``nsweeps``.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> is_pyart_radar(synthetic_volume(elevations=(0.5,), rays=8, gates=4))
    False
    """
    return (
        type(obj).__module__.split(".")[0] == "pyart"
        and hasattr(obj, "fields")
        and hasattr(obj, "sweep_start_ray_index")
        and hasattr(obj, "nsweeps")
    )


def as_volume(volume: Any) -> Any:
    """A volume as the volume functions take it: a Py-ART ``Radar`` converted by
    `radar_to_datatree` (then, as for files, only its PPI sweeps kept and incomplete ones
    marked), Py-ART's ``Xradar`` wrapper unwrapped, anything else unchanged.

    Parameters
    ----------
    volume : object
        A Py-ART Radar or Xradar, a DataTree, a Dataset, ...

    Returns
    -------
    object
        The DataTree of sweeps of a Radar, `volume` itself otherwise.

    Raises
    ------
    UnreadableFile
        (a ValueError) for a Radar without PPI sweeps.

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> tree = synthetic_volume(elevations=[0.5], rays=8, gates=4)
    >>> as_volume(tree) is tree
    True
    """
    if type(volume).__module__.split(".")[0] != "pyart":
        return volume
    xr = _xarray()
    inner = getattr(volume, "xradar", None)
    if isinstance(inner, xr.DataTree):
        return inner
    if is_pyart_radar(volume):
        tree = _finish(radar_to_datatree(volume), "Py-ART Radar")
        tree.attrs[READER_ATTR] = "pyart (Radar object)"
        return tree
    return volume


def _text(value: Any) -> str:
    """A Py-ART string: str, bytes, or an array of single characters (masked padding)."""
    if isinstance(value, bytes):
        return value.decode("ascii", "replace").strip("\x00 ")
    arr = np.ma.asarray(value)
    if arr.dtype.kind in "SU" and arr.ndim >= 1:
        chars = arr.filled(b"" if arr.dtype.kind == "S" else "").ravel().tolist()
        chars = [c.decode("ascii", "replace") if isinstance(c, bytes) else str(c) for c in chars]
        return "".join(chars).strip("\x00 ")
    if arr.dtype.kind == "S":
        return bytes(arr.item()).decode("ascii", "replace").strip("\x00 ")
    return str(value).strip("\x00 ")


def _plain_attrs(meta: dict[str, Any], skip: tuple[str, ...] = ()) -> dict[str, Any]:
    out = {}
    for k, v in meta.items():
        if k in ("data", "_FillValue", "coordinates", *skip):
            continue
        if isinstance(v, (str, int, float, np.integer, np.floating)) and not isinstance(v, bool):
            out[k] = v
        elif isinstance(v, bytes):
            out[k] = _text(v)
    return out


def _per_ray(value: Any, sl: slice) -> np.ndarray:
    """Float64 values of a ray slice, masked or non-positive (a placeholder) as NaN."""
    arr = np.ma.asarray(value)[sl].astype(np.float64)
    return np.ma.filled(np.ma.masked_where(~(arr > 0), arr), np.nan)


def radar_to_datatree(radar: Any) -> Any:
    """Convert a Py-ART ``Radar`` to the DataTree of sweeps the package uses.

    Neither Py-ART 2.3 nor xradar 0.13 converts in this direction (Py-ART's ``Xradar`` wraps a
    DataTree as a Radar), so this is the package's own short converter.

    Parameters
    ----------
    radar : pyart.core.Radar

    Returns
    -------
    xarray.DataTree
        The root holds ``latitude``, ``longitude`` (degrees) and ``altitude`` (m above sea
        level) of the first ray as coordinates, ``sweep_group_name``, ``sweep_fixed_angle`` and
        the time coverage, and the radar's string metadata as attributes. One group ``sweep_N``
        per sweep N of the radar: rays sorted by azimuth (as xradar does), coordinates
        ``azimuth``, ``elevation`` (degrees), ``time`` (datetime64) over ``azimuth`` and
        ``range`` (m, the gate centres); every moment as a float (azimuth, range) variable with
        masked gates NaN and Py-ART's attributes (units, standard_name, long_name); variables
        ``sweep_number``, ``sweep_mode``, ``sweep_fixed_angle``; and every per-ray instrument
        parameter (``nyquist_velocity``, ``prt``, ``unambiguous_range``, ...), non-positive
        values (readers' placeholders) as NaN. A moment with no valid gate in a sweep is left
        out of that sweep, and gates beyond a sweep's last valid gate of any moment are cut,
        as xradar gives a sweep its own moments and gates.

    Example
    -------
    >>> import contextlib, io
    >>> with contextlib.redirect_stdout(io.StringIO()):  # Py-ART's banner
    ...     import pyart
    >>> radar = pyart.testing.make_target_radar()
    >>> tree = radar_to_datatree(radar)
    >>> sorted(tree.children), tree["sweep_0"]["reflectivity"].dims
    (['sweep_0'], ('azimuth', 'range'))
    >>> tree["sweep_0"].sizes["azimuth"], tree["sweep_0"].sizes["range"]
    (360, 50)
    """
    xr = _xarray()
    from xarray.coding.times import decode_cf_datetime

    if not is_pyart_radar(radar):
        raise TypeError(f"expected a Py-ART Radar, not {type(radar).__name__}")
    t = np.asarray(np.ma.filled(np.ma.asarray(radar.time["data"], dtype=np.float64), np.nan))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        times = np.asarray(
            decode_cf_datetime(
                t, radar.time["units"], calendar=radar.time.get("calendar", "standard")
            )
        ).astype("datetime64[ns]")
    rng = np.asarray(radar.range["data"])
    site = {}
    for key in ("latitude", "longitude", "altitude"):
        value = np.ma.asarray(getattr(radar, key)["data"], dtype=np.float64).ravel()
        site[key] = (
            (),
            float(np.ma.filled(value, np.nan)[0]) if value.size else np.nan,
            _plain_attrs(getattr(radar, key)),
        )
    inst = radar.instrument_parameters or {}
    per_ray = {
        k: v
        for k, v in inst.items()
        if isinstance(v, dict)
        and "data" in v
        and np.shape(v["data"]) == (radar.nrays,)
        and np.asarray(v["data"]).dtype.kind in "biuf"
    }
    starts = np.asarray(radar.sweep_start_ray_index["data"]).astype(int)
    ends = np.asarray(radar.sweep_end_ray_index["data"]).astype(int)
    modes = radar.sweep_mode["data"] if radar.sweep_mode is not None else [""] * radar.nsweeps
    fixed = np.ma.filled(np.ma.asarray(radar.fixed_angle["data"], dtype=np.float64), np.nan)
    # masked ray angles are missing (NaN), not the fill values under the mask
    azimuth = np.ma.filled(np.ma.asarray(radar.azimuth["data"], dtype=np.float64), np.nan)
    elevation = np.ma.filled(np.ma.asarray(radar.elevation["data"], dtype=np.float64), np.nan)
    sweeps = {}
    for i in range(radar.nsweeps):
        sl = slice(int(starts[i]), int(ends[i]) + 1)
        az = azimuth[sl]
        order = np.argsort(az, kind="stable")
        moments = {}
        for name, field in radar.fields.items():
            data = np.ma.asarray(field["data"][sl])
            if data.dtype.kind not in "fc":
                data = np.ma.asarray(data, dtype=np.float64)
            values = np.ma.filled(data, np.nan)
            if not np.isfinite(values).any():
                continue
            moments[name] = (values[order], _plain_attrs(field))
        ngate = rng.size
        if moments:
            valid = np.zeros(rng.size, dtype=bool)
            for values, _ in moments.values():
                valid |= np.isfinite(values).any(axis=0)
            ngate = int(np.nonzero(valid)[0][-1]) + 1
        data_vars: dict[str, Any] = {
            name: (("azimuth", "range"), values[:, :ngate], attrs)
            for name, (values, attrs) in moments.items()
        }
        data_vars["sweep_number"] = ((), i)
        data_vars["sweep_mode"] = ((), _text(modes[i]))
        data_vars["sweep_fixed_angle"] = ((), float(fixed[i]), {"units": "degrees"})
        for key, param in per_ray.items():
            values = _per_ray(param["data"], sl)[order]
            if np.isfinite(values).any():
                data_vars[key] = ("azimuth", values, _plain_attrs(param))
        coords = {
            "azimuth": ("azimuth", az[order], _plain_attrs(radar.azimuth)),
            "elevation": ("azimuth", elevation[sl][order], _plain_attrs(radar.elevation)),
            "time": ("azimuth", times[sl][order], {"standard_name": "time"}),
            "range": ("range", rng[:ngate], _plain_attrs(radar.range)),
        }
        sweeps[f"sweep_{i}"] = xr.Dataset(data_vars, coords=coords)
    valid_t = times[~np.isnat(times)]
    root = xr.Dataset(
        {
            "sweep_group_name": ("sweep", list(sweeps)),
            "sweep_fixed_angle": ("sweep", fixed[: radar.nsweeps]),
            "time_coverage_start": (
                (),
                str(np.datetime_as_string(valid_t.min(), unit="s")) + "Z" if valid_t.size else "",
            ),
            "time_coverage_end": (
                (),
                str(np.datetime_as_string(valid_t.max(), unit="s")) + "Z" if valid_t.size else "",
            ),
        },
        coords=site,
        attrs={**_plain_attrs(radar.metadata or {}), "scan_type": str(radar.scan_type)},
    )
    return xr.DataTree.from_dict({"/": root, **sweeps})


# ---------------------------------------------------------------------------------------------
# Sweeps: kind, completeness, usable rays


def _sweep_number(name: str) -> int | None:
    if not name.startswith("sweep_"):
        return None
    try:
        return int(name[len("sweep_") :])
    except ValueError:
        return None


def _sweep_order(name: str) -> int:
    return _sweep_number(name) or 0


def _sweep_kind(ds: Any) -> str:
    """``"ppi"``, ``"rhi"``, ``"vertical"`` or ``"other"``: from the sweep mode, or from the
    angles when the mode is missing or not a standard one."""
    mode = ""
    if "sweep_mode" in ds.variables:
        mode = _text(np.asarray(ds["sweep_mode"].values).ravel()[0]).lower()
    if mode in _PPI_MODES:
        return "ppi"
    if mode in _RHI_MODES:
        return "rhi"
    if mode in _VERTICAL_MODES:
        return "vertical"
    el = np.asarray(ds["elevation"].values, dtype=np.float64).ravel()
    az = np.asarray(ds["azimuth"].values, dtype=np.float64).ravel()
    el, az = el[np.isfinite(el)], az[np.isfinite(az)]
    if el.size == 0 or az.size == 0:
        return "other"
    if np.nanmedian(el) > 85.0:
        return "vertical"
    el_spread = float(el.max() - el.min())
    az_spread = _circular_spread(az)
    if el_spread <= 1.0 and az_spread > el_spread:
        return "ppi"
    if az_spread <= 1.0 and el_spread > az_spread:
        return "rhi"
    return "other"


def _circular_spread(az: np.ndarray) -> float:
    """Width of the smallest arc holding all azimuths (degrees)."""
    if az.size < 2:
        return 0.0
    a = np.sort(np.mod(az, 360.0))
    gaps = np.diff(np.concatenate([a, [a[0] + 360.0]]))
    return float(360.0 - gaps.max())


def _coverage(az: np.ndarray) -> tuple[bool, int | None]:
    """(complete, expected rays) of a full-circle sweep from its ray azimuths: incomplete when
    the widest gap between neighbouring rays exceeds three ray spacings (the median gap)."""
    a = np.sort(np.mod(az[np.isfinite(az)], 360.0))
    if a.size < 2:
        return False, None
    gaps = np.diff(np.concatenate([a, [a[0] + 360.0]]))
    step = float(np.median(gaps))
    if not step > 0:
        return False, None
    expected = round(360.0 / step)
    return bool(gaps.max() <= 3.0 * step), expected


def _usable_rays(ds: Any) -> np.ndarray:
    """Rays of a sweep with a valid azimuth, elevation and time and at least one valid gate."""
    n = ds.sizes.get("azimuth", 0)
    keep = np.isfinite(np.asarray(ds["azimuth"].values, dtype=np.float64))
    el = np.asarray(ds["elevation"].values, dtype=np.float64)
    keep &= np.broadcast_to(np.isfinite(el), (n,))
    if "time" in ds.variables and ds["time"].dims == ("azimuth",):
        keep &= ~np.isnat(np.asarray(ds["time"].values).astype("datetime64[ns]"))
    data = np.zeros(n, dtype=bool)
    for v in ds.data_vars.values():
        if v.dims == ("azimuth", "range"):
            data |= np.isfinite(np.asarray(v.values, dtype=np.float64)).any(axis=1)
    return keep & data


def _finish(tree: Any, path: str) -> Any:
    """Keep the PPI sweeps, mark the incomplete ones and keep only their usable rays; or
    UnreadableFile saying why nothing is left."""
    xr = _xarray()
    names = sorted((n for n in tree.children if _sweep_number(n) is not None), key=_sweep_order)
    if not names:
        raise UnreadableFile(path, "no sweeps")
    kinds = {}
    dropped = []
    kept = {}
    for name in names:
        ds = tree[name].to_dataset(inherit=False)
        kinds[name] = _sweep_kind(tree[name].to_dataset())
        if kinds[name] != "ppi":
            dropped.append(f"{name} ({kinds[name]})")
            continue
        incomplete = bool(ds.attrs.get(INCOMPLETE_ATTR, 0))
        expected = ds.attrs.get(EXPECTED_RAYS_ATTR)
        mode = ""
        if "sweep_mode" in ds.variables:
            mode = _text(np.asarray(ds["sweep_mode"].values).ravel()[0]).lower()
        if not incomplete and mode == "azimuth_surveillance" and "azimuth" in ds.dims:
            complete, expected = _coverage(np.asarray(ds["azimuth"].values, dtype=np.float64))
            incomplete = not complete
        if incomplete:
            usable = _usable_rays(ds)
            if not usable.any():
                dropped.append(f"{name} (incomplete, no usable rays)")
                continue
            if not usable.all():
                ds = ds.isel(azimuth=np.nonzero(usable)[0])
            ds.attrs[INCOMPLETE_ATTR] = 1
            if expected:
                ds.attrs[EXPECTED_RAYS_ATTR] = int(expected)
        kept[name] = ds
    if not kept:
        found = sorted(set(kinds.values()))
        if found == ["ppi"]:
            raise UnreadableFile(
                path, f"no complete sweep ({len(names)} incomplete, no usable rays)"
            )
        scan = {"rhi": "RHI scan", "vertical": "vertically pointing scan"}
        what = " and ".join(scan.get(k, "non-PPI scan") for k in found if k != "ppi")
        raise UnreadableFile(path, f"{what}: no PPI sweeps")
    root = tree.to_dataset(inherit=False)
    if dropped:
        root.attrs[DROPPED_ATTR] = ", ".join(dropped)
    root = _unknown_site(root)
    return xr.DataTree.from_dict({"/": root, **kept})


def _unknown_site(root: Any) -> Any:
    """The root with the radar position NaN when the reader gave 0 N 0 E, the placeholder of a
    file without one (legacy NEXRAD message-1 files carry no position; no radar stands at
    0 N 0 E), and the attribute ``radarkit_site_unknown`` saying so."""
    keys = ("latitude", "longitude", "altitude")
    if not all(k in root.variables for k in keys[:2]):
        return root
    lat = np.asarray(root["latitude"].values, dtype=np.float64).ravel()
    lon = np.asarray(root["longitude"].values, dtype=np.float64).ravel()
    if not (lat.size and lon.size and lat[0] == 0.0 and lon[0] == 0.0):
        return root
    for k in keys:
        if k in root.variables:
            root[k] = root[k].copy(data=np.full(root[k].shape, np.nan))
    root.attrs[SITE_UNKNOWN_ATTR] = "the file gives no radar position (0 N 0 E)"
    return root


def incomplete_sweeps(volume: Any) -> list[str]:
    """Names of the sweeps of a volume marked incomplete by `read_volume`, in sweep order.

    Parameters
    ----------
    volume : xarray.DataTree, xarray.Dataset or pyart.core.Radar
        A volume.

    Returns
    -------
    list of str

    Example
    -------
    >>> from radarkit.synthetic import synthetic_volume
    >>> incomplete_sweeps(synthetic_volume(elevations=[0.5], rays=8, gates=4))
    []
    """
    xr = _xarray()
    volume = as_volume(volume)
    if isinstance(volume, xr.Dataset):
        return ["sweep_0"] if volume.attrs.get(INCOMPLETE_ATTR) else []
    names = sorted((n for n in volume.children if _sweep_number(n) is not None), key=_sweep_order)
    return [n for n in names if volume[n].attrs.get(INCOMPLETE_ATTR)]
