"""radarkit.volume: reading radar files through xradar, sweeps, ray arrays, summaries."""

import sys

import numpy as np
import pytest

from cases import check_profile, public_functions, run_examples
from radarkit import volume as rv
from radarkit import winds

pytestmark = pytest.mark.python_layer

xr = pytest.importorskip("xarray")
synthetic = pytest.importorskip("radarkit.synthetic")


@pytest.fixture(scope="module")
def vol():
    return synthetic.synthetic_volume(elevations=(0.5, 1.5, 3.0, 6.0, 12.0), rays=360, gates=240)


def test_missing_xradar_names_the_extra(monkeypatch):
    """Without xradar, open_volume says which extra to install."""
    monkeypatch.setitem(sys.modules, "xradar", None)
    with pytest.raises(ImportError, match=r"radarkit\[radar\]"):
        rv.open_volume(__file__)


@pytest.mark.parametrize("fmt", ["cfradial1", "odim"])
def test_synthetic_file_round_trip_through_xradar(vol, fmt, tmp_path):
    """A volume written by xradar's writers reads back with its sweeps, site and wind."""
    pytest.importorskip("xradar")
    path = tmp_path / f"volume.{'nc' if fmt == 'cfradial1' else 'h5'}"
    synthetic.write_volume(vol, path, format=fmt)
    back = rv.open_volume(path)
    info = rv.describe(back)
    assert [s.name for s in info.sweeps] == [f"sweep_{k}" for k in range(5)]
    assert {"VRADH", "DBZH"} <= set(info.sweeps[0].moments)
    assert info.radar_latitude == pytest.approx(46.5)
    assert info.radar_height == pytest.approx(350.0)
    for (name, got), (_, ds) in zip(rv.list_sweeps(back), rv.list_sweeps(vol)):
        np.testing.assert_allclose(
            rv.nyquist_velocity(got, 360), rv.nyquist_velocity(ds, 360), err_msg=name
        )
    prof = winds.vad_profile(back, heights=np.arange(0.0, 8001.0, 250.0))
    # ODIM stores moments as scaled integers: the quantisation averages out over a ring
    check_profile(prof, 0.05)


@pytest.mark.parametrize("fmt", ["cfradial1", "odim"])
def test_write_volume_failure_leaves_the_target_as_it_was(vol, fmt, tmp_path, monkeypatch):
    """When xradar's writer fails, write_volume raises one line naming the file and the
    target keeps its old bytes; no scratch file is left beside it."""
    xradar = pytest.importorskip("xradar")
    target = tmp_path / "volume.out"
    target.write_bytes(b"old")

    def broken(*args, **kwargs):
        raise KeyError("moment without units\nsecond line")

    monkeypatch.setattr(xradar.io, "to_cfradial1" if fmt == "cfradial1" else "to_odim", broken)
    with pytest.raises(ValueError, match=rf"volume.out: xradar could not write {fmt} \(KeyError"):
        rv.write_volume(vol, target, format=fmt)
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["volume.out"]
    with pytest.raises(ValueError, match="format must be"):
        rv.write_volume(vol, target, format="nexrad")


def test_open_volume_refuses_a_non_radar_file(tmp_path):
    """A file no reader takes is a ValueError naming the file; a missing one FileNotFoundError."""
    pytest.importorskip("xradar")
    bad = tmp_path / "notes.txt"
    bad.write_text("not a radar file\n")
    with pytest.raises(ValueError, match=r"notes.txt: not a radar file \(text\)$"):
        rv.open_volume(bad)
    with pytest.raises(FileNotFoundError):
        rv.open_volume(tmp_path / "absent.h5")


def test_open_volume_of_a_damaged_file_keeps_the_readers_error(vol, tmp_path):
    """A truncated HDF5 file is said to be damaged, with and chained to the reader's error."""
    pytest.importorskip("xradar")
    path = tmp_path / "volume.h5"
    synthetic.write_volume(vol, path, format="odim")
    path.write_bytes(path.read_bytes()[:4096])  # the signature survives, the data not
    with pytest.raises(ValueError) as info:
        rv.open_volume(path, reader="xradar")
    message = str(info.value)
    assert message.startswith(f"{path}: damaged HDF5 file (OSError: ")
    assert "\n" not in message
    cause = info.value.__cause__
    assert isinstance(cause, OSError)
    assert type(cause).__name__ in message


def test_open_volume_passes_on_the_warnings_of_the_reader_that_reads(vol, tmp_path, monkeypatch):
    """Warnings of a failing reader are dropped; those of the one that reads reach the caller."""
    xradar = pytest.importorskip("xradar")
    path = tmp_path / "volume.h5"
    synthetic.write_volume(vol, path, format="odim")
    real = xradar.io.open_datatree

    def noisy(p, *, engine):
        import warnings

        warnings.warn(f"{engine} speaking", UserWarning, stacklevel=1)
        if engine != "gamic":
            raise OSError("not mine")
        return real(p, engine="odim")

    monkeypatch.setattr(xradar.io, "open_datatree", noisy)
    with pytest.warns(UserWarning, match="gamic speaking") as said:
        tree = rv.open_volume(path)
    assert [str(w.message) for w in said] == ["gamic speaking"]
    assert "sweep_0" in tree.children


def test_list_sweeps_in_number_order_and_site_from_root_or_sweep(vol):
    """Sweeps come sorted by number, other groups ignored; the site falls back to the sweep."""
    nodes = {"/": vol.to_dataset(), "extra": xr.Dataset()}
    for k in (10, 2, 0):
        nodes[f"sweep_{k}"] = vol[f"sweep_{min(k, 4)}"].to_dataset()
    tree = xr.DataTree.from_dict(nodes)
    assert [n for n, _ in rv.list_sweeps(tree)] == ["sweep_0", "sweep_2", "sweep_10"]
    sweep = vol["sweep_1"].to_dataset()
    assert rv.radar_site(sweep) == rv.RadarSite(46.5, 7.5, 350.0)
    with pytest.raises(ValueError, match="volume has no radar altitude"):
        rv.radar_site(sweep.drop_vars("altitude"))
    with pytest.raises(ValueError, match="no sweeps"):
        rv.list_sweeps(xr.DataTree.from_dict({"/": vol.to_dataset()}))


def test_ray_arrays_rays_first_and_scalar_elevation_repeated(vol):
    """A moment stored (range, azimuth) comes back (rays, gates); a scalar elevation per ray."""
    ds = vol["sweep_2"].to_dataset()
    flipped = ds.assign(VRADH=ds["VRADH"].transpose("range", "azimuth"))
    flipped = flipped.assign_coords(elevation=3.0)
    a, b = rv.ray_arrays(ds, "VRADH"), rv.ray_arrays(flipped, "VRADH")
    np.testing.assert_array_equal(a.data, b.data)
    np.testing.assert_array_equal(b.elevation, np.full(360, 3.0))
    assert a.data.dtype == np.float64 and a.time.dtype.kind == "M"


@pytest.mark.parametrize(
    ("values", "given", "expect"),
    [
        (28.5, None, 28.5),
        (np.nan, 20.0, 20.0),
        (None, None, "sweep_3 has no Nyquist velocity: pass nyquist="),
        (np.nan, None, "sweep_3 has no Nyquist velocity: pass nyquist="),
    ],
)
def test_nyquist_velocity_from_the_sweep_or_the_argument(vol, values, given, expect):
    """The sweep's own Nyquist velocity, or the argument's, or an error naming the sweep."""
    ds = vol["sweep_3"].to_dataset().drop_vars("nyquist_velocity")
    if values is not None:
        ds["nyquist_velocity"] = ("azimuth", np.full(360, values))
    if isinstance(expect, str):
        with pytest.raises(ValueError, match=expect):
            rv.nyquist_velocity(ds, 360, nyquist=given, name="sweep_3")
    else:
        np.testing.assert_array_equal(rv.nyquist_velocity(ds, 360, nyquist=given), expect)


def test_describe_summary_and_older_keys(vol):
    """describe gives the site, times and sweeps; the older keys warn and give the site."""
    info = rv.describe(vol)
    assert (info.radar_latitude, info.radar_longitude, info.radar_height) == (46.5, 7.5, 350.0)
    assert info.start == np.datetime64("2024-05-20T18:00:00")
    assert info.end < np.datetime64("2024-05-20T18:01:40") and len(info.sweeps) == 5
    s = info.sweeps[4]
    assert (s.name, s.elevation, s.rays, s.gates) == ("sweep_4", 12.0, 360, 240)
    assert (s.first_range, s.last_range) == (125.0, 125.0 + 239 * 250.0)
    assert info["sweeps"][4]["moments"] == ["DBZH", "VRADH"]
    for old, new in (("latitude", 46.5), ("longitude", 7.5), ("altitude", 350.0)):
        with pytest.warns(DeprecationWarning, match=f"'{old}' is deprecated"):
            assert info[old] == new


@pytest.mark.parametrize(("name", "obj"), public_functions(rv))
def test_examples_run(name, obj, tmp_path, monkeypatch):
    """Every documented example of the module runs as shown (files in a temporary folder)."""
    monkeypatch.chdir(tmp_path)
    examples, failed = run_examples(obj, name, vars(rv))
    assert examples and not failed


def _without(volume, key, sweep="sweep_1"):
    """The volume with `key` dropped from one sweep: xarray then gives the ray or gate index
    0, 1, 2, ... for it, so the sweep must be refused rather than read with those."""
    out = volume.copy(deep=True)
    out[sweep] = xr.DataTree(out[sweep].to_dataset(inherit=False).drop_vars(key))
    return out


def _volume_functions():
    from radarkit import dealias, qc, superob

    return {
        "superob": lambda v: superob.superob(v, unfolded=True),
        "ray_arrays": lambda v: rv.ray_arrays(v["sweep_1"].to_dataset(), "VRADH", name="sweep_1"),
        "describe": rv.describe,
        "dealias": dealias.dealias,
        "gate_filter": qc.gate_filter,
        "vad": winds.vad,
        "vad_profile": lambda v: winds.vad_profile(v, heights=[0.0, 500.0, 1000.0]),
    }


@pytest.mark.parametrize(
    ("function", "key"),
    [
        (f, k)
        for f in _volume_functions()
        for k in ("azimuth", "elevation", "range")
        if not (k == "azimuth" and f in ("describe", "gate_filter"))  # they need no azimuths
    ],
)
def test_a_sweep_without_its_coordinates_is_refused_naming_it(function, key):
    """A sweep lacking the azimuth, elevation or range a function reads raises ValueError
    naming the sweep and the variable, instead of a KeyError or of results computed on ray
    and gate indices."""
    small = synthetic.synthetic_volume(elevations=(0.5, 1.5), rays=36, gates=20, nyquist=12.0)
    with pytest.raises(ValueError, match=f"sweep_1 has no {key} variable"):
        _volume_functions()[function](_without(small, key))


@pytest.mark.parametrize(
    "attrs",
    [
        {"site_name": "Synthetic"},  # what xradar keeps of RAD:SYNTH,PLC:Synthetic
        {"wmo__wsi": "0-20000-0-12345"},
        {"site_name": "Synthetic", "instrument_name": "None"},
    ],
    ids=["place", "wigos", "place-no-instrument"],
)
def test_odim_written_again_from_attributes_without_a_radar_identifier(tmp_path, attrs):
    """A volume whose attributes give xradar only a place or a WIGOS id (an ODIM file read
    back) is written as ODIM again with RAD: added to what they give, not refused."""
    h5py = pytest.importorskip("h5py")
    v = synthetic.synthetic_volume(elevations=(0.5,), rays=36, gates=10, nyquist=12.0)
    v.attrs = {k: x for k, x in v.attrs.items() if k != "instrument_name"} | attrs
    rv.write_volume(v, tmp_path / "again.h5")
    with h5py.File(tmp_path / "again.h5") as f:
        source = f["what"].attrs["source"].decode()
    assert source.split(",")[0] == "RAD:XX"
    if "site_name" in attrs:
        assert "PLC:Synthetic" in source.split(",")
    back = rv.open_volume(tmp_path / "again.h5")
    assert rv.describe(back).sweeps[0].nyquist_velocity == 12.0
