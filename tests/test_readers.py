"""radarkit.readers: compressed files, reader choice, Py-ART radars, incomplete sweeps, reasons."""

import bz2
import contextlib
import gzip
import importlib.util
import io
import os
import re
import struct
import sys
import tempfile
import warnings

import numpy as np
import pytest

pytestmark = pytest.mark.python_layer

xr = pytest.importorskip("xarray")
pytest.importorskip("xradar")

from cases import public_functions, run_examples  # noqa: E402
from radarkit import cli, moments, radar, readers  # noqa: E402
from radarkit.synthetic import synthetic_volume, write_volume  # noqa: E402

try:
    _SPEC = importlib.util.find_spec("pyart")
except ValueError:  # a test run that blocks the import
    _SPEC = None
SAMPLE_DIR = (
    os.path.join(_SPEC.submodule_search_locations[0], "testing", "data")
    if _SPEC and _SPEC.submodule_search_locations
    else None
)
NO_PYART = "Py-ART (arm-pyart, the extra radarkit[pyart]) is not installed"


def _pyart():
    if SAMPLE_DIR is None:
        pytest.skip(NO_PYART)
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import pyart
    return pyart


def _pyart_read(path):
    """Py-ART's own reading of a file (a whole-file bzip2 one decompressed first)."""
    pyart = _pyart()
    data = _bytes(path)
    with tempfile.TemporaryDirectory() as d, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if data[:3] == b"BZh":
            path = os.path.join(d, "plain")
            _write(path, bz2.decompress(data))
        return pyart.io.read(path)


def _bytes(path):
    with open(path, "rb") as f:
        return f.read()


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def _sample(name):
    if SAMPLE_DIR is None:
        pytest.skip(NO_PYART)
    return os.path.join(SAMPLE_DIR, name)


RHI = "RHI scan: no PPI sweeps"
# Every data file of Py-ART's sample directory: (reader, sweeps, incomplete sweeps) when the
# package reads it, else the one-line reason it gives. Scripts and the README are text.
SAMPLES = {
    "example_arm_sonde.cdf": "not a radar file (netCDF without radar sweeps)",
    "example_cfradial_cr_raster.nc": ("xradar (cfradial1)", 31, []),
    "example_cfradial_ppi.nc": ("xradar (cfradial1)", 1, []),
    "example_cfradial_rhi.nc": RHI,
    "example_chl_rhi.chl": RHI,
    "example_interpolatedsonde.cdf": "not a radar file (HDF5 without radar sweeps)",
    "example_mdv_grid.mdv": "MDV grid (Cartesian), not radar sweeps",
    "example_mdv_ppi.mdv": ("pyart (MDV)", 1, []),
    "example_mdv_rhi.mdv": RHI,
    "example_nexrad_archive_msg1.bz2": ("pyart (WSR88D)", 7, []),
    "example_nexrad_archive_msg31.bz2": ("xradar (nexradlevel2)", 16, []),
    "example_nexrad_archive_msg31_compressed.ar2v": ("xradar (nexradlevel2)", 1, ["sweep_0"]),
    "example_nexrad_cdm.bz2": ("pyart (NETCDF3)", 16, []),
    "example_nexrad_level3_msg163": ("pyart (NEXRADL3)", 1, []),
    "example_nexrad_level3_msg176": ("pyart (NEXRADL3)", 1, []),
    "example_nexrad_level3_msg19": ("pyart (NEXRADL3)", 1, []),
    "example_rays.npz": "not a radar file (ZIP archive)",
    "example_sigmet_ppi.sigmet": ("pyart (SIGMET)", 1, []),
    "example_sigmet_rhi.sigmet": RHI,
    "example_uf_ppi.uf": ("pyart (UF)", 1, ["sweep_0"]),
}
TEXT = "not a radar file (text)"


def _sample_files():
    if SAMPLE_DIR is None or not os.path.isdir(SAMPLE_DIR):
        return [pytest.param(None, marks=pytest.mark.skip(reason=NO_PYART))]
    return sorted(f for f in os.listdir(SAMPLE_DIR) if os.path.isfile(_sample(f)))


def _expected(name):
    if name in SAMPLES:
        return SAMPLES[name]
    if name == "README" or name.endswith((".py", ".sh")):
        return TEXT
    pytest.fail(f"{name}: a sample file this test has no expectation for")


READABLE = [n for n, e in SAMPLES.items() if isinstance(e, tuple)]


@contextlib.contextmanager
def _private_tmpdir(path):
    """tempfile's directory set to `path` for the block, to see what the readers leave."""
    old = tempfile.tempdir
    os.makedirs(path, exist_ok=True)
    tempfile.tempdir = str(path)
    try:
        yield path
    finally:
        tempfile.tempdir = old


def _sweeps(tree):
    return [(n, tree[n].to_dataset()) for n in tree.children if n.startswith("sweep_")]


# ---------------------------------------------------------------------------------------------
# Every sample file of Py-ART's wheel


@pytest.mark.parametrize("name", _sample_files())
def test_sample_file_is_read_or_refused_with_its_reason(name, tmp_path):
    """Each sample file gives the expected reader, sweeps and incomplete sweeps, or its reason."""
    _pyart()
    expected = _expected(name)
    path = _sample(name)
    with _private_tmpdir(tmp_path / "tmp"), warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing of the readers' chatter reaches the user
        if isinstance(expected, str):
            with pytest.raises(readers.UnreadableFile) as info:
                readers.read_volume(path)
            assert str(info.value) == f"{path}: {expected}"
            assert "\n" not in str(info.value)
        else:
            tree = readers.read_volume(path)
            reader, nsweep, incomplete = expected
            assert tree.attrs["radarkit_reader"] == reader
            assert len(_sweeps(tree)) == nsweep
            assert readers.incomplete_sweeps(tree) == incomplete
    assert os.listdir(tmp_path / "tmp") == []


@pytest.mark.parametrize("name", READABLE)
def test_sample_sweeps_and_rays_agree_with_pyart(name):
    """Sweep count and rays per sweep equal Py-ART's own reading of the file."""
    radar = _pyart_read(_sample(name))
    tree = readers.read_volume(_sample(name))
    sweeps = _sweeps(tree)
    assert len(sweeps) == radar.nsweeps
    rays = [int(n) for n in radar.rays_per_sweep["data"]]
    assert [ds.sizes["azimuth"] for _, ds in sweeps] == rays


@pytest.mark.parametrize("name", READABLE)
def test_sample_trees_have_the_sweep_structure(name):
    """Sweeps hold azimuth, elevation, time, range and (azimuth, range) moments; site in root."""
    tree = readers.read_volume(_sample(name))
    root = tree.to_dataset(inherit=False)
    for key in ("latitude", "longitude", "altitude"):
        assert key in root.variables
    if "radarkit_site_unknown" in tree.attrs:  # no position in the file: NaN, not 0 N 0 E
        assert np.isnan([float(root[k]) for k in ("latitude", "longitude", "altitude")]).all()
    else:
        assert -90 <= float(root["latitude"]) <= 90 and -180 <= float(root["longitude"]) <= 360
        assert np.isfinite(float(root["altitude"]))
    for sweep, ds in _sweeps(tree):
        n = ds.sizes["azimuth"]
        assert n > 0, sweep
        for key in ("azimuth", "elevation", "time"):
            assert ds[key].dims == ("azimuth",), (sweep, key)
        assert not np.isnat(ds["time"].values.astype("datetime64[ns]")).any()
        rng = np.asarray(ds["range"].values, dtype=np.float64)
        assert ds["range"].dims == ("range",) and np.all(np.diff(rng) > 0)
        moments = [k for k, v in ds.data_vars.items() if v.dims == ("azimuth", "range")]
        assert moments, sweep
        if "nyquist_velocity" in ds:
            ny = np.asarray(ds["nyquist_velocity"].values, dtype=np.float64)
            assert ny.shape == (n,) and np.all(ny[np.isfinite(ny)] > 0)


def test_nexrad_nyquist_velocity_from_xradar_route_equals_pyart():
    """The Nyquist velocity read from the message-31 headers is Py-ART's, sweep by sweep."""
    path = _sample("example_nexrad_archive_msg31.bz2")
    radar = _pyart_read(path)
    tree = readers.read_volume(path)
    assert tree.attrs["radarkit_reader"] == "xradar (nexradlevel2)"
    ny = radar.instrument_parameters["nyquist_velocity"]["data"]
    for (sweep, ds), start in zip(_sweeps(tree), radar.sweep_start_ray_index["data"]):
        assert float(ds["nyquist_velocity"].values[0]) == pytest.approx(float(ny[start])), sweep


# ---------------------------------------------------------------------------------------------
# Legacy NEXRAD message-1 files


def _message1_headers(raw):
    """(first gate, gate interval) of the surveillance and Doppler gates of each message 1."""
    out = []
    pos = 24
    while pos + 2432 <= len(raw):
        if raw[pos + 15] == 1:
            fields = struct.unpack(">hhhh", raw[pos + 28 + 18 : pos + 28 + 26])
            out.append(fields)
        pos += 2432
    return out


def test_message1_file_is_detected_from_its_bytes():
    """The legacy sample is a message-1 file, the modern ones message 31 (with LDM records)."""
    _pyart()
    raw = bz2.decompress(_bytes(_sample("example_nexrad_archive_msg1.bz2")))
    assert readers._nexrad_message_type(raw[: 1 << 20]) == 1
    raw31 = bz2.decompress(_bytes(_sample("example_nexrad_archive_msg31.bz2")))
    assert readers._nexrad_message_type(raw31[: 1 << 22]) == 31
    ldm = _bytes(_sample("example_nexrad_archive_msg31_compressed.ar2v"))
    assert ldm[28:31] == b"BZh"  # LDM records: size, then a bzip2 stream
    assert readers._nexrad_message_type(ldm[: 1 << 22]) == 31


@pytest.mark.parametrize("mtype", [1, 31])
def test_message_type_is_found_inside_ldm_records(mtype):
    """A message type behind metadata frames inside a bzip2 LDM record is found."""
    frames = bytearray()
    for t in (15, 13, 18, 2):  # metadata frames of 2432 bytes
        frame = bytearray(2432)
        frame[15] = t
        frames += frame
    radial = bytearray(2432)
    radial[15] = mtype
    frames += radial
    record = bz2.compress(bytes(frames))
    head = b"AR2V0006.501" + bytes(12) + struct.pack(">i", -len(record)) + record
    assert readers._nexrad_message_type(head) == mtype


def test_message1_sample_gates_start_at_the_radar_and_velocities_fit_nyquist():
    """Legacy file through auto: first gate within a gate length of the radar, |v| <= Nyquist."""
    path = _sample("example_nexrad_archive_msg1.bz2")
    raw = bz2.decompress(_bytes(path))
    headers = _message1_headers(raw)
    assert headers
    first = min(min(h[0], h[1]) for h in headers)  # the file's own first-gate ranges
    gate = max(max(h[2], h[3]) for h in headers)  # and its longest gate interval
    tree = readers.read_volume(path)
    assert tree.attrs["radarkit_reader"].startswith("pyart")
    found_velocity = False
    for sweep, ds in _sweeps(tree):
        r0 = float(ds["range"].values[0])
        assert abs(r0) <= gate, sweep
        assert abs(r0 - first) < float(ds["range"].values[1] - ds["range"].values[0]), sweep
        if "velocity" in ds:
            found_velocity = True
            v = np.asarray(ds["velocity"].values, dtype=np.float64)
            ny = np.asarray(ds["nyquist_velocity"].values, dtype=np.float64)[:, None]
            assert np.isfinite(v).any()
            # codes are 0.5 m/s apart: a value may round past the Nyquist velocity by that much
            assert np.all(
                np.abs(v[np.isfinite(v)]) <= np.broadcast_to(ny, v.shape)[np.isfinite(v)] + 0.5
            )
    assert found_velocity


def test_xradar_reader_refuses_a_message1_file():
    """reader='xradar' on a legacy file says why instead of returning wrong numbers."""
    path = _sample("example_nexrad_archive_msg1.bz2")
    with pytest.raises(readers.UnreadableFile, match="legacy NEXRAD message-1 file"):
        readers.read_volume(path, reader="xradar")


# ---------------------------------------------------------------------------------------------
# Compressed files


@pytest.fixture(scope="module")
def synthetic_files(tmp_path_factory):
    """A synthetic volume written as CfRadial1 and ODIM_H5."""
    d = tmp_path_factory.mktemp("synthetic")
    vol = synthetic_volume(elevations=[0.5, 2.0], rays=90, gates=60, missing=0.1, seed=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return {
            "cfradial1": write_volume(vol, str(d / "volume.nc"), "cfradial1"),
            "odim": write_volume(vol, str(d / "volume.h5"), "odim"),
        }, vol


def _compress(src, dst, kind):
    data = _bytes(src)
    with open(dst, "wb") as f:
        f.write(gzip.compress(data) if kind == "gzip" else bz2.compress(data))
    return dst


def _assert_same_sweeps(a, b):
    sa, sb = _sweeps(a), _sweeps(b)
    assert [n for n, _ in sa] == [n for n, _ in sb]
    for (_, x), (_, y) in zip(sa, sb):
        xr.testing.assert_identical(x.load(), y.load())


@pytest.mark.parametrize("fmt", ["cfradial1", "odim"])
@pytest.mark.parametrize("kind", ["gzip", "bzip2"])
def test_compressed_copy_gives_the_plain_files_volume(synthetic_files, fmt, kind, tmp_path):
    """gzip and bzip2 copies read as the plain file, whatever their name; nothing left behind."""
    files, _ = synthetic_files
    packed = _compress(files[fmt], str(tmp_path / "copy.dat"), kind)  # name says nothing
    plain = readers.read_volume(files[fmt])
    with _private_tmpdir(tmp_path / "tmp"):
        tree = readers.read_volume(packed)
    assert os.listdir(tmp_path / "tmp") == []
    assert tree.attrs["radarkit_compression"] == kind
    assert plain.attrs["radarkit_compression"] == "none"
    assert tree.attrs["radarkit_reader"] == plain.attrs["radarkit_reader"]
    _assert_same_sweeps(plain, tree)


@pytest.mark.parametrize("kind", ["gzip", "bzip2"])
def test_compressed_nexrad_archive_reads_as_the_plain_one(kind, tmp_path):
    """A gzip/bzip2 copy of a Level II archive (as the public archives hold them) reads the same."""
    plain = _sample("example_nexrad_archive_msg31_compressed.ar2v")
    packed = _compress(plain, str(tmp_path / "KATX"), kind)
    a, b = readers.read_volume(plain), readers.read_volume(packed)
    assert b.attrs["radarkit_reader"] == a.attrs["radarkit_reader"] == "xradar (nexradlevel2)"
    assert readers.incomplete_sweeps(b) == readers.incomplete_sweeps(a) == ["sweep_0"]
    _assert_same_sweeps(a, b)


@pytest.mark.parametrize("kind", ["gzip", "bzip2"])
@pytest.mark.parametrize("keep", [0.3, 0.9])
def test_truncated_compressed_file_is_one_clear_error(synthetic_files, kind, keep, tmp_path):
    """A cut gzip/bzip2 stream is one UnreadableFile naming the file; no temporary file stays."""
    files, _ = synthetic_files
    packed = _compress(files["cfradial1"], str(tmp_path / f"volume.nc.{kind}"), kind)
    data = _bytes(packed)
    _write(packed, data[: int(len(data) * keep)])
    with _private_tmpdir(tmp_path / "tmp"):
        with pytest.raises(readers.UnreadableFile) as info:
            readers.read_volume(packed)
    assert str(info.value).startswith(f"{packed}: corrupt {kind} stream")
    assert "\n" not in str(info.value)
    assert os.listdir(tmp_path / "tmp") == []


@pytest.mark.parametrize("kind", ["gzip", "bzip2"])
def test_garbage_after_compression_magic_is_a_corrupt_stream(kind, tmp_path):
    """Bytes that only look compressed give the corrupt-stream error, not a reader's."""
    head = b"\x1f\x8b\x08\x00" if kind == "gzip" else b"BZh91AY&SY"
    path = tmp_path / "bad"
    path.write_bytes(head + bytes(range(256)) * 8)
    with _private_tmpdir(tmp_path / "tmp"):
        with pytest.raises(readers.UnreadableFile, match=f"corrupt {kind} stream"):
            readers.read_volume(path)
    assert os.listdir(tmp_path / "tmp") == []


@pytest.mark.parametrize(
    "head, kind",
    [
        (gzip.compress(b"radar"), "gzip"),
        (bz2.compress(b"radar"), "bzip2"),
        (bz2.compress(b""), "bzip2"),
        (b"AR2V0006.501", None),
        (b"BZh is not a stream", None),
        (b"CDF\x01", None),
        (b"", None),
    ],
)
def test_compression_is_told_by_first_bytes(head, kind):
    """gzip and bzip2 by their magic bytes only; NEXRAD's internal bzip2 is not whole-file."""
    assert readers.compression(head[:10]) == kind


# ---------------------------------------------------------------------------------------------
# Py-ART Radar objects


@pytest.mark.parametrize(
    "name",
    [
        "example_nexrad_archive_msg1.bz2",
        "example_mdv_ppi.mdv",
        "example_sigmet_ppi.sigmet",
        "example_uf_ppi.uf",
        "example_nexrad_level3_msg19",
    ],
)
def test_radar_object_and_pyart_reader_give_identical_sweeps(name):
    """as_volume(Radar) and read_volume(reader='pyart') of the same file: identical sweeps."""
    radar = _pyart_read(_sample(name))
    direct = readers.as_volume(radar)
    tree = readers.read_volume(_sample(name), reader="pyart")
    assert direct.attrs["radarkit_reader"] == "pyart (Radar object)"
    _assert_same_sweeps(direct, tree)
    for key in ("latitude", "longitude", "altitude"):
        np.testing.assert_equal(float(direct[key]), float(tree[key]))


def test_radar_conversion_keeps_values_masks_and_ray_order():
    """Each ray's gates land under its azimuth; masked gates and placeholders are NaN."""
    pyart = _pyart()
    radar = pyart.testing.make_empty_ppi_radar(8, 12, 2)
    rng = np.random.default_rng(5)
    radar.azimuth["data"] = np.concatenate([rng.permutation(12) * 30.0 + 1.0] * 2)
    values = np.ma.masked_array(rng.normal(size=(24, 8)), mask=rng.random((24, 8)) < 0.2)
    radar.add_field(
        "velocity",
        {
            "data": values,
            "units": "m/s",
            "standard_name": "radial_velocity_of_scatterers_away_from_instrument",
        },
    )
    nyq = np.where(np.arange(24) < 12, 0.0, 16.5)  # 0 is a reader's "none"
    radar.instrument_parameters = {"nyquist_velocity": {"data": nyq, "units": "m/s"}}
    tree = readers.radar_to_datatree(radar)
    for k, (_, ds) in enumerate(_sweeps(tree)):
        rays = np.arange(12) + 12 * k
        order = np.argsort(radar.azimuth["data"][rays], kind="stable")
        assert np.all(np.diff(ds["azimuth"].values) > 0)
        expect = np.ma.filled(values[rays][order], np.nan)
        np.testing.assert_array_equal(ds["velocity"].values, expect[:, : ds.sizes["range"]])
        assert ds["velocity"].attrs["units"] == "m/s"
        if k == 0:
            assert "nyquist_velocity" not in ds
        else:
            np.testing.assert_array_equal(ds["nyquist_velocity"].values, np.full(12, 16.5))


@pytest.mark.parametrize("key", ["azimuth", "elevation"])
def test_masked_ray_angles_are_missing_not_their_fill_values(key):
    """A masked azimuth or elevation of a Radar becomes NaN (a ray without a direction), not
    the fill value under the mask, which would put the ray's gates somewhere else."""
    pyart = _pyart()
    radar = pyart.testing.make_empty_ppi_radar(8, 12, 1)
    radar.azimuth["data"] = np.arange(12) * 30.0 + 1.0
    radar.elevation["data"] = np.full(12, 0.5)
    masked = np.isin(np.arange(12), [3, 7])
    angles = getattr(radar, key)["data"]
    getattr(radar, key)["data"] = np.ma.masked_array(np.where(masked, -9999.0, angles), masked)
    radar.add_field("velocity", {"data": np.ma.ones((12, 8)), "units": "m/s"})
    ds = readers.radar_to_datatree(radar)["sweep_0"]
    got = ds[key].values
    assert np.isnan(got).sum() == 2
    np.testing.assert_array_equal(np.sort(got[np.isfinite(got)]), np.sort(angles[~masked]))
    assert np.all(np.diff(ds["azimuth"].values[np.isfinite(ds["azimuth"].values)]) > 0)


def test_rhi_radar_object_is_refused_with_its_reason():
    """A Py-ART Radar of RHI sweeps only is refused as a file would be."""
    radar = _pyart_read(_sample("example_sigmet_rhi.sigmet"))
    with pytest.raises(readers.UnreadableFile, match=r"^Py-ART Radar: RHI scan: no PPI sweeps$"):
        readers.as_volume(radar)


def test_pyart_xradar_wrapper_is_unwrapped():
    """Py-ART's Xradar (a DataTree behind a Radar face) passes its own tree through."""
    pyart = _pyart()
    tree = synthetic_volume(elevations=[0.5], rays=36, gates=10)
    wrapped = pyart.xradar.Xradar(tree)
    assert readers.as_volume(wrapped) is wrapped.xradar


def test_as_volume_leaves_other_objects_alone():
    """DataTrees, Datasets and other objects come back as they are."""
    tree = synthetic_volume(elevations=[0.5], rays=8, gates=4)
    ds = tree["sweep_0"].to_dataset()
    assert readers.as_volume(tree) is tree and readers.as_volume(ds) is ds
    assert readers.as_volume("x") == "x"
    with pytest.raises(TypeError):
        readers.radar_to_datatree(tree)


def test_both_readers_agree_on_a_synthetic_cfradial1_file(synthetic_files):
    """xradar and Py-ART read the same CfRadial1 file to the same values (float32 file)."""
    _pyart()
    files, vol = synthetic_files
    a = readers.read_volume(files["cfradial1"], reader="xradar")
    b = readers.read_volume(files["cfradial1"], reader="pyart")
    assert a.attrs["radarkit_reader"].startswith("xradar")
    assert b.attrs["radarkit_reader"].startswith("pyart")
    for (na, x), (nb, y), (_, truth) in zip(_sweeps(a), _sweeps(b), _sweeps(vol)):
        assert na == nb
        for key in ("VRADH", "DBZH", "azimuth", "elevation", "range", "nyquist_velocity"):
            np.testing.assert_array_equal(
                np.asarray(x[key].values, np.float64), np.asarray(y[key].values, np.float64)
            )
        np.testing.assert_array_equal(x["VRADH"].values, truth["VRADH"].values)
        dt = x["time"].values.astype("datetime64[ns]") - y["time"].values.astype("datetime64[ns]")
        assert np.abs(dt.astype(np.int64)).max() <= 1000  # the file stores seconds as float
    for key in ("latitude", "longitude", "altitude"):
        assert float(a[key]) == pytest.approx(float(b[key]), abs=1e-6)


# ---------------------------------------------------------------------------------------------
# Incomplete sweeps


def _radial_offsets(raw):
    """Byte offsets of the message-31 radials of an uncompressed Level II file."""
    out = []
    pos = 24
    while pos + 16 <= len(raw):
        mtype = raw[pos + 15]
        if mtype == 31:
            out.append(pos)
            pos += 12 + 2 * struct.unpack(">H", raw[pos + 12 : pos + 14])[0]
        else:
            pos += 2432
    return out


@pytest.fixture(scope="module")
def nexrad_raw():
    """The message-31 sample, uncompressed, and the offsets of its radials."""
    _pyart()
    raw = bz2.decompress(_bytes(_sample("example_nexrad_archive_msg31.bz2")))
    return raw, _radial_offsets(raw)


@pytest.mark.parametrize("cut", [360, 720 + 200, 720 * 3 + 719])
def test_file_cut_mid_volume_keeps_complete_sweeps_and_the_cut_ones_rays(nexrad_raw, cut, tmp_path):
    """A volume cut after `cut` radials: complete sweeps whole, the cut sweep with its rays."""
    raw, radials = nexrad_raw
    path = tmp_path / "cut.ar2v"
    path.write_bytes(raw[: radials[cut]])
    tree = readers.read_volume(path)
    sweeps = _sweeps(tree)
    full, rest = divmod(cut, 720)
    assert len(sweeps) == full + 1
    for name, ds in sweeps[:full]:
        assert ds.sizes["azimuth"] == 720 and name not in readers.incomplete_sweeps(tree)
    name, ds = sweeps[-1]
    assert readers.incomplete_sweeps(tree) == [name]
    assert ds.sizes["azimuth"] == rest
    assert tree[name].attrs["radarkit_expected_rays"] == 720
    assert not np.isnat(ds["time"].values.astype("datetime64[ns]")).any()


def _half_circle_file(path, *, empty):
    vol = synthetic_volume(elevations=[0.5, 1.5], rays=72, gates=20)
    parts = {"/": vol.to_dataset(inherit=False)}
    for name, ds in _sweeps(vol):
        ds = vol[name].to_dataset(inherit=False).isel(azimuth=slice(0, 36))
        if empty:
            ds["VRADH"] = ds["VRADH"] * np.nan
            ds["DBZH"] = ds["DBZH"] * np.nan
        parts[name] = ds
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        write_volume(xr.DataTree.from_dict(parts), str(path))
    return path


def test_half_circle_surveillance_sweeps_are_kept_and_marked(tmp_path):
    """Full-circle sweeps holding half the circle are kept, marked incomplete, 72 rays expected."""
    path = _half_circle_file(tmp_path / "half.nc", empty=False)
    tree = readers.read_volume(path)
    assert readers.incomplete_sweeps(tree) == ["sweep_0", "sweep_1"]
    for name, ds in _sweeps(tree):
        assert ds.sizes["azimuth"] == 36
        assert tree[name].attrs["radarkit_expected_rays"] == 72


def test_all_sweeps_empty_says_no_complete_sweep(tmp_path):
    """Incomplete sweeps without one usable ray: 'no complete sweep', not 'not a radar file'."""
    path = _half_circle_file(tmp_path / "empty.nc", empty=True)
    with pytest.raises(readers.UnreadableFile, match=r": no complete sweep \(2 incomplete"):
        readers.read_volume(path)


# ---------------------------------------------------------------------------------------------
# Reasons and arguments


def test_missing_empty_directory_and_bad_reader(tmp_path):
    """A missing file, an empty one, a directory and an unknown reader are each said plainly."""
    with pytest.raises(FileNotFoundError, match="no such file"):
        readers.read_volume(tmp_path / "none.nc")
    (tmp_path / "empty").write_bytes(b"")
    with pytest.raises(readers.UnreadableFile, match=r"empty: empty file$"):
        readers.read_volume(tmp_path / "empty")
    with pytest.raises(readers.UnreadableFile, match="is a directory"):
        readers.read_volume(tmp_path)
    with pytest.raises(ValueError, match="reader must be one of auto, xradar, pyart"):
        readers.read_volume(tmp_path / "empty", reader="wradlib")


@pytest.mark.parametrize(
    "content, reason",
    [
        (b"time,u,v\n0,1,2\n", "not a radar file (text)"),
        (bytes(range(256)) * 16, "not a radar file"),
        (gzip.compress(b"just some text\n" * 50), "not a radar file (text)"),
    ],
)
def test_files_that_are_not_radar_files(content, reason, tmp_path):
    """Text, binary noise and compressed text are 'not a radar file', with what they seem."""
    path = tmp_path / "file"
    path.write_bytes(content)
    with pytest.raises(readers.UnreadableFile) as info:
        readers.read_volume(path)
    assert str(info.value) == f"{path}: {reason}"


@pytest.mark.parametrize("reader", ["xradar", "pyart"])
def test_each_reader_alone_reads_what_it_can(synthetic_files, reader):
    """reader='xradar' and reader='pyart' each use only their own library."""
    if reader == "pyart":
        _pyart()
    files, _ = synthetic_files
    tree = readers.read_volume(files["cfradial1"], reader=reader)
    assert tree.attrs["radarkit_reader"].startswith(reader)
    if reader == "pyart":  # Py-ART's generic reader has no ODIM_H5
        with pytest.raises(readers.UnreadableFile, match="HDF5 file Py-ART cannot read"):
            readers.read_volume(files["odim"], reader="pyart")


def test_pyart_fallback_records_why_xradar_refused():
    """A file xradar refuses and Py-ART reads records xradar's reason on the tree."""
    tree = readers.read_volume(_sample("example_sigmet_ppi.sigmet"))
    assert tree.attrs["radarkit_reader"] == "pyart (SIGMET)"
    assert "EOFError" in tree.attrs["radarkit_xradar_refused"]


# ---------------------------------------------------------------------------------------------
# Site, examples


def test_message1_file_without_position_has_an_unknown_site_not_0n_0e():
    """The legacy sample gives no position: the site is NaN, and writing DART files refuses."""
    tree = radar.open_volume(_sample("example_nexrad_archive_msg1.bz2"))
    site = radar.radar_site(tree)
    assert np.isnan(site).all()
    assert "no radar position" in tree.attrs["radarkit_site_unknown"]
    with pytest.raises(ValueError, match="radar position unknown"):
        radar.check_obs_seq(tree)


@pytest.mark.parametrize(
    ("name", "obj"),
    public_functions(readers) + public_functions(moments) + [("readers", readers)],
)
def test_examples_run(name, obj, tmp_path, monkeypatch):
    """Every documented example of the modules runs as shown (files in a temporary folder)."""
    if name in ("radar_to_datatree", "readers"):
        _pyart()
    monkeypatch.chdir(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # Py-ART's import chatter
        examples, failed = run_examples(obj, name, vars(readers) | vars(moments))
    assert examples and not failed


# ---------------------------------------------------------------------------------------------
# A Py-ART Radar in the volume functions


@pytest.fixture(scope="module")
def pyart_pairs(synthetic_files):
    """(Radar, the pyart reader's DataTree) of files with velocity, reflectivity or both."""
    files, _ = synthetic_files
    paths = [files["cfradial1"], _sample("example_uf_ppi.uf"), _sample("example_mdv_ppi.mdv")]
    return [(_pyart_read(p), radar.open_volume(p, reader="pyart")) for p in paths]


def test_radar_object_and_its_tree_give_identical_vad_rings(pyart_pairs):
    """vad of a Radar and of the pyart reader's DataTree of its file: identical rings."""
    ring_sets = 0
    for obj, tree in pyart_pairs:
        try:
            direct = radar.vad(obj, min_gates=1)
        except ValueError as e:  # a file without radial velocity: the same error either way
            with pytest.raises(ValueError) as again:
                radar.vad(tree, min_gates=1)
            assert str(again.value) == str(e)
            continue
        xr.testing.assert_identical(direct, radar.vad(tree, min_gates=1))
        ring_sets += int(np.isfinite(direct["u"].values).any())
    assert ring_sets >= 1  # the synthetic file's rings have fits


def test_radar_object_and_its_tree_give_identical_dart_bytes(pyart_pairs, tmp_path):
    """to_obs_seq of a Radar and of its DataTree write the same bytes."""
    for k, (obj, tree) in enumerate(pyart_pairs):
        a, b = tmp_path / f"radar{k}.out", tmp_path / f"tree{k}.out"
        ra = radar.to_obs_seq(obj, a, velocity_error=2.0, reflectivity_error=5.0)
        rb = radar.to_obs_seq(tree, b, velocity_error=2.0, reflectivity_error=5.0)
        assert ra == rb and ra.written > 0
        assert a.read_bytes() == b.read_bytes()


def test_radar_object_describes_like_its_file(pyart_pairs):
    """describe of a Radar: its sweeps, moments, Nyquist velocity and chosen moments."""
    for obj, tree in pyart_pairs:
        d, f = radar.describe(obj), radar.describe(tree)
        assert d.reader == "pyart (Radar object)" and f.reader.startswith("pyart (")
        assert [s.name for s in d.sweeps] == [s.name for s in f.sweeps]
        for s, t in zip(d.sweeps, f.sweeps):
            assert (s.rays, s.gates, s.moments, s.incomplete) == (
                t.rays,
                t.gates,
                t.moments,
                t.incomplete,
            )
            assert (
                s.nyquist_velocity == t.nyquist_velocity
                or np.isnan([s.nyquist_velocity, t.nyquist_velocity]).all()
            )
        assert (d.velocity, d.reflectivity) == (f.velocity, f.reflectivity)


# ---------------------------------------------------------------------------------------------
# radarkit info on every sample file


def _info(argv, capsys):
    code = cli.main(["info", "-q", *argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("name", _sample_files())
def test_info_describes_each_sample_or_says_why_not(name, capsys):
    """info: reader, sweeps, moments of a readable sample; else one line, exit 2, no traceback."""
    _pyart()
    expected = _expected(name)
    path = _sample(name)
    code, out, err = _info([path], capsys)
    if isinstance(expected, str):
        assert code == 2 and out == ""
        assert err == f"radarkit info: {path}: {expected}\n"
        return
    reader, nsweep, incomplete = expected
    assert code == 0 and err == "", err
    lines = out.splitlines()
    assert lines[0] == path
    assert lines[1].startswith(f"  read by {reader}: ")
    count = f"  {nsweep} sweep{'' if nsweep == 1 else 's'}"
    assert any(line == count or line.startswith(count + ", incomplete: ") for line in lines)
    rows = [line.split() for line in lines if re.match(r"  sweep_\d+ ", line)]
    assert len(rows) == nsweep
    marked = [r[0] for r in rows if "[incomplete:" in r]
    assert marked == incomplete
    for prefix in ("  velocity: ", "  reflectivity: "):
        assert sum(line.startswith(prefix) for line in lines) == 1
    d = radar.describe(radar.open_volume(path))
    for row, sweep in zip(rows, d.sweeps):
        ny = "-" if np.isnan(sweep.nyquist_velocity) else f"{sweep.nyquist_velocity:.2f}"
        assert row[1:4] == [f"{sweep.elevation:.2f}", str(sweep.rays), str(sweep.gates)]
        assert row[5] == ny


def test_info_states_an_ambiguous_choice_and_takes_an_override(capsys):
    """The UF sample's several reflectivities: info names the choice, the others, an override."""
    path = _sample("example_uf_ppi.uf")
    code, out, _ = _info([path], capsys)
    assert code == 0
    assert (
        "  reflectivity: corrected_reflectivity (by standard name; also reflectivity, total_power)"
        in out.splitlines()
    )
    code, out, _ = _info([path, "--reflectivity", "total_power", "--velocity", "VEL"], capsys)
    assert code == 0
    lines = out.splitlines()
    assert "  reflectivity: total_power (given)" in lines
    assert "  velocity: VEL (given; not in this volume)" in lines


@pytest.mark.parametrize(
    ("argv", "line"),
    [
        (["--reader", "xradar", "example_nexrad_archive_msg1.bz2"], "legacy NEXRAD message-1 file"),
        (["--reader", "pyart", "example_nexrad_archive_msg31.bz2"], None),
        (
            ["--reader", "xradar", "example_sigmet_ppi.sigmet"],
            "IRIS/Sigmet file xradar cannot read (EOFError",
        ),
    ],
)
def test_info_reader_option(argv, line, capsys):
    """--reader picks one library: Py-ART reads the message-31 file, xradar refuses others."""
    _pyart()
    argv = [*argv[:-1], _sample(argv[-1])]
    code, out, err = _info(argv, capsys)
    if line is None:
        assert code == 0 and out.splitlines()[1].startswith("  read by pyart (")
    else:
        assert code == 2 and err.startswith(f"radarkit info: {argv[-1]}: {line}")
        assert len(err.splitlines()) == 1


def test_commands_on_a_compressed_nexrad_file(tmp_path, capsys):
    """vad and obs-seq work on the bzip2 NEXRAD sample as it ships, moments found by name."""
    path = _sample("example_nexrad_archive_msg31.bz2")
    code = cli.main(["vad", "-q", path, "--skip-empty"])
    out, err = capsys.readouterr()
    assert code == 0 and err == "" and out.startswith(f"# {path}: wind profile")
    obs = tmp_path / "obs_seq.out"
    code = cli.main(["obs-seq", "-q", path, "-o", str(obs), "--every", "8,16"])
    _, err = capsys.readouterr()
    assert code == 0 and err == ""
    text = obs.read_bytes()[:4096].decode()
    assert "DOPPLER_RADIAL_VELOCITY" in text and "RADAR_REFLECTIVITY" in text


@pytest.mark.parametrize(
    ("name", "outcome"),
    [
        ("example_uf_ppi.uf", "xradar (uf)"),
        ("example_nexrad_archive_msg1.bz2", ImportError),
        ("example_sigmet_ppi.sigmet", "Py-ART may read it: pip install 'radarkit[pyart]'"),
        ("example_nexrad_archive_msg31.bz2", "xradar (nexradlevel2)"),
    ],
)
def test_without_pyart(name, outcome, monkeypatch):
    """Without Py-ART: UF by xradar, message-1 files ask for the extra, refusals name it."""
    path = _sample(name)
    monkeypatch.setitem(sys.modules, "pyart", None)
    if outcome is ImportError:
        with pytest.raises(ImportError, match=r"radarkit\[pyart\]"):
            readers.read_volume(path)
    elif outcome.startswith("xradar"):
        assert readers.read_volume(path).attrs["radarkit_reader"] == outcome
    else:
        with pytest.raises(readers.UnreadableFile) as info:
            readers.read_volume(path)
        assert str(info.value).endswith(outcome)
    with pytest.raises(ImportError, match=r"radarkit\[pyart\]"):
        readers.read_volume(path, reader="pyart")


@pytest.mark.parametrize("command", ["vad", "obs-seq"])
@pytest.mark.parametrize("name", READABLE)
def test_commands_on_every_readable_sample(command, name, tmp_path, capsys):
    """vad and obs-seq on each readable sample: a result, or one line saying what is missing."""
    path = _sample(name)
    extra = ["-o", str(tmp_path / "obs"), "--every", "4,8"] if command == "obs-seq" else []
    code = cli.main([command, "-q", path, *extra])
    out, err = capsys.readouterr()
    if code == 0:
        assert err == ""
        assert out.startswith(f"# {path}") if command == "vad" else (tmp_path / "obs").exists()
    else:
        assert code == 2 and out == "" and not (tmp_path / "obs").exists()
        assert err.startswith(f"radarkit {command}: {path}: ") and len(err.splitlines()) == 1
        assert re.search(r"no radial-velocity|position unknown|no Nyquist velocity|moment", err)
