"""Observation files from superobservations: the DART file read back by pydartdiags, the
WRFDA file read back with WRFDA's own READ statements (gfortran), per-column heights of the
WRFDA writer, and the refusals that leave the target untouched."""

import os
import shutil
import subprocess

import numpy as np
import pytest

from radarkit import radar, wrfda
from radarkit.superob import superob_arrays, superob_columns, volume_arrays
from radarkit.synthetic import synthetic_volume

pytestmark = pytest.mark.python_layer

HERE = os.path.dirname(os.path.abspath(__file__))
ERRORS = {"velocity_error": 2.0, "reflectivity_error": 5.0}


@pytest.fixture(scope="module")
def volume():
    return synthetic_volume(
        elevations=(0.5, 1.5, 3.0),
        rays=360,
        gates=480,
        gate_spacing=250.0,
        velocity_noise=2.0,
        missing=0.1,
        nyquist=40.0,
        seed=3,
    )


def superobs(volume, **layout):
    arrays, _ = volume_arrays(volume, velocity="VRADH", reflectivity="DBZH", qc=True)
    arrays.pop("sweep_names")
    return superob_arrays(**arrays, **layout)


def read_dart(path):
    od = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
    return od.ObsSequence(str(path)).df


@pytest.mark.parametrize(
    "superob,layout",
    [
        (True, {}),
        ("4km,6deg", {"range_step": 4000.0, "azimuth_step": 6.0}),
        ("3km", {"spacing": 3000.0}),
        ({"spacing": 5000.0, "min_count": 10}, {"spacing": 5000.0, "min_count": 10}),
    ],
)
def test_dart_superob_file_holds_one_record_per_kept_box(volume, tmp_path, superob, layout):
    """pydartdiags reads one record per kept box with its value, position, error
    max(velocity_error, spread) and beam direction."""
    path = tmp_path / "obs_seq.out"
    res = radar.to_obs_seq(volume, path, **ERRORS, superob=superob, unfolded=True)
    so = superobs(volume, **layout)
    v, z = so.velocity, so.reflectivity
    df = read_dart(path)
    assert res.written == len(df) == v.kept.sum() + z.kept.sum()
    rv = df[df["type"] == "DOPPLER_RADIAL_VELOCITY"].sort_values(
        ["latitude", "longitude", "vertical"]
    )
    k = v.kept
    order = np.lexsort((v.height[k], v.longitude[k] % 360, v.latitude[k]))
    np.testing.assert_allclose(rv["observation"], v.value[k][order], atol=1e-6)
    np.testing.assert_allclose(rv["latitude"], v.latitude[k][order], atol=1e-7)
    np.testing.assert_allclose(rv["vertical"], v.height[k][order], atol=1e-3)
    np.testing.assert_allclose(
        rv["obs_err_var"], np.maximum(2.0, v.spread[k][order]) ** 2, rtol=1e-12
    )
    assert (rv["obs_err_var"] > 4.0).any()  # some boxes have a spread above the given error
    refl = df[df["type"].isin(["RADAR_REFLECTIVITY", "RADAR_CLEARAIR_REFLECTIVITY"])]
    assert len(refl) == z.kept.sum()
    np.testing.assert_allclose(refl["obs_err_var"], 25.0)
    assert df["time"].is_monotonic_increasing
    # the per-gate file of the same volume is far larger
    gates = tmp_path / "gates.out"
    radar.to_obs_seq(volume, gates, **ERRORS)
    assert os.path.getsize(gates) > 20 * os.path.getsize(path)


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    """Runs WRFDA's radar READ statements (tests/wrfda_reader.f90) on a file."""
    fc = shutil.which("gfortran")
    if fc is None:
        pytest.skip("gfortran not found: install Debian's gfortran package to run this test")
    exe = tmp_path_factory.mktemp("fortran") / "wrfda_reader"
    subprocess.run([fc, "-o", str(exe), os.path.join(HERE, "wrfda_reader.f90")], check=True)

    def read(path):
        out = subprocess.run([str(exe), str(path)], capture_output=True, text=True, check=True)
        return [line.split() for line in out.stdout.splitlines()]

    return read


def records(lines):
    """[(radar fields, [(column fields, [level fields])])] of the reader's output."""
    out = []
    for f in lines:
        if f[0] == "R":
            out.append((f, []))
        elif f[0] == "C":
            out[-1][1].append((f, []))
        elif f[0] == "L":
            out[-1][1][-1][1].append([float(x) for x in f[1:]])
    return out


def field(x, decimals):
    """A value as the fixed-column text gives it back."""
    return float(f"{x:.{decimals}f}")


@pytest.mark.parametrize("layout", [{"spacing": 4000.0}, {"spacing": 2500.0}])
def test_wrfda_file_reads_back_every_column_as_built(volume, tmp_path, reader, layout):
    """WRFDA's READ statements give every column's position, per-column heights and values
    (missing as -888888 with QC -88) as the superobservation columns were built."""
    path = tmp_path / "ob.radar"
    res = radar.to_wrfda([volume, volume], path, **ERRORS, **layout, unfolded=True)
    cols = superob_columns(
        superobs(volume, boxes="grid", **layout),
        radar_latitude=46.5,
        radar_longitude=7.5,
        **ERRORS,
    )
    got = records(reader(path))
    assert len(got) == 2 and res.written == 2 * cols.latitude.size
    head, columns = got[0]
    assert int(head[-2]) == cols.latitude.size
    heights_differ = False
    for i, (c, levels) in enumerate(columns):
        assert float(c[7]) == field(cols.latitude[i], 3)
        assert float(c[8]) == field(cols.longitude[i], 3)
        have = np.isfinite(cols.heights[i])
        assert int(c[10]) == have.sum() == len(levels)
        for lv, j in zip(levels, np.flatnonzero(have)):
            assert lv[0] == field(cols.heights[i, j], 1)
            for value, qc, err, key in ((lv[1], lv[2], lv[3], "rv"), (lv[4], lv[5], lv[6], "rf")):
                x = getattr(cols, key)[i, j]
                if np.isfinite(x):
                    assert value == field(x, 3) and qc == 0
                    assert err == field(getattr(cols, key + "_err")[i, j], 3)
                else:
                    assert value == -888888.0 and qc == -88
        if (
            i
            and have.any()
            and not np.array_equal(cols.heights[i], cols.heights[i - 1], equal_nan=True)
        ):
            heights_differ = True
    assert heights_differ  # one level per sweep at each column's own beam heights


def test_wrfda_per_column_heights_leave_out_missing_levels(tmp_path, reader):
    """(columns, levels) heights: a NaN height is no level of that column, a column without
    any is skipped, shared heights give the bytes they always gave."""
    heights = np.array([[500.0, 1500.0, np.nan], [np.nan, np.nan, np.nan], [700.0, 1800.0, 2900.0]])
    rv = np.array([[1.0, 2.0, 99.0], [3.0, 4.0, 5.0], [6.0, np.nan, 8.0]])
    base = {
        "name": "TEST",
        "radar_latitude": 46.5,
        "radar_longitude": 7.5,
        "radar_height": 350.0,
        "time": np.datetime64("2024-05-20T18:00:00"),
        "latitude": [46.6, 46.7, 46.8],
        "longitude": [7.6, 7.7, 7.8],
        "height": [350.0, 350.0, 350.0],
        "rv": rv,
        "rv_err": 2.0,
        "rf": 20.0,
        "rf_err": 5.0,
    }
    res = wrfda.write_radar_obs(tmp_path / "ob.radar", [{**base, "heights": heights}])
    assert res == (2, 1)
    ((head, columns),) = records(reader(tmp_path / "ob.radar"))
    assert int(head[-2]) == 2 and int(head[-1]) == 3
    assert [len(levels) for _, levels in columns] == [2, 3]
    assert [lv[0] for lv in columns[0][1]] == [500.0, 1500.0]
    assert [lv[1] for lv in columns[0][1]] == [1.0, 2.0]
    assert [lv[1] for lv in columns[1][1]] == [6.0, -888888.0, 8.0]
    # per-column heights that are all equal give the bytes of shared heights
    same = np.tile([500.0, 1500.0, 2500.0], (3, 1))
    wrfda.write_radar_obs(tmp_path / "a", [{**base, "rv": rv, "heights": same}])
    wrfda.write_radar_obs(tmp_path / "b", [{**base, "rv": rv, "heights": same[0]}])
    assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes()


@pytest.mark.parametrize(
    "heights,message",
    [
        (np.full((3, 2), np.inf), "finite"),
        (np.zeros((2, 2)), "shape"),
        ([500.0, np.nan], "finite"),
        (np.zeros((3, 2, 1)), "columns, levels"),
    ],
)
def test_wrfda_refuses_bad_per_column_heights(tmp_path, heights, message):
    """Heights of the wrong shape, infinite, or NaN when shared raise ValueError naming them."""
    radar_ = {
        "name": "TEST",
        "radar_latitude": 46.5,
        "radar_longitude": 7.5,
        "radar_height": 350.0,
        "time": np.datetime64("2024-05-20T18:00:00"),
        "latitude": [46.6, 46.7, 46.8],
        "longitude": [7.6, 7.7, 7.8],
        "height": [350.0] * 3,
        "heights": heights,
        "rv": 1.0,
        "rv_err": 2.0,
        "rf": 20.0,
        "rf_err": 5.0,
    }
    with pytest.raises(ValueError, match=f"heights.*{message}|{message}.*heights"):
        wrfda.write_radar_obs(tmp_path / "ob.radar", [radar_])
    assert not (tmp_path / "ob.radar").exists()


def test_wrfda_on_a_model_grid_puts_columns_at_its_mass_points(volume, tmp_path, reader):
    """With a model grid, columns sit at its mass points and carry its terrain height."""
    xr = pytest.importorskip("xarray")
    lat, lon = np.meshgrid(np.linspace(46.0, 47.0, 30), np.linspace(7.0, 8.0, 25), indexing="ij")
    grid = xr.Dataset(
        {
            "XLAT_M": (("Time", "south_north", "west_east"), lat[None]),
            "XLONG_M": (("Time", "south_north", "west_east"), lon[None]),
            "HGT_M": (("Time", "south_north", "west_east"), 400.0 + 10.0 * lat[None]),
        }
    )
    path = tmp_path / "grid.nc"
    grid.to_netcdf(path)
    res = radar.to_wrfda(volume, tmp_path / "ob.radar", **ERRORS, grid=str(path), unfolded=True)
    ((_, columns),) = records(reader(tmp_path / "ob.radar"))
    assert res.written == len(columns) > 50
    pts = {(field(a, 3), field(b, 3)) for a, b in zip(lat.ravel(), lon.ravel())}
    for c, _ in columns:
        la, lo = float(c[7]), float(c[8])
        assert (la, lo) in pts
        assert float(c[9]) == field(
            400.0 + 10.0 * lat.ravel()[np.argmin(abs(lat.ravel() - la) + abs(lon.ravel() - lo))], 1
        )


@pytest.mark.parametrize(
    "writer,kw,message",
    [
        ("to_wrfda", {"spacing": 0.0}, "spacing"),
        ("to_wrfda", {"spacing": -3.0}, "spacing"),
        ("to_wrfda", {"grid": {"XLAT_V": np.zeros((2, 2))}}, "grid"),
        ("to_wrfda", {"grid": "/nonexistent/wrfinput_d01"}, "grid"),
        ("to_wrfda", {"spacing": 3000.0, "grid": {"XLAT": 0}}, "spacing and grid"),
        ("to_wrfda", {"qc": {"min_range": 900e3, "max_range": 950e3}}, "no gate is left"),
        ("to_obs_seq", {"superob": "3km,5deg,1"}, "boxes"),
        ("to_obs_seq", {"superob": {"spacing": 0.0}}, "spacing"),
        ("to_obs_seq", {"superob": {"shape": "hex"}}, "unknown option"),
        ("to_obs_seq", {"superob": {"grid": {"lat": 1}}}, "grid"),
        ("to_obs_seq", {"superob": {"min_count": 10**9}}, "no superobservation is kept"),
        (
            "to_obs_seq",
            {"superob": {"qc": {"min_range": 0.0, "max_range": 1.0}}},
            "no gate is left",
        ),
        ("to_obs_seq", {"superob": True, "every": (2, 2)}, "every does not apply"),
    ],
)
def test_bad_input_raises_value_error_and_leaves_the_target(volume, tmp_path, writer, kw, message):
    """Bad layouts, grids without latitude/longitude and nothing to write raise ValueError
    naming the cause; an existing target keeps its bytes."""
    path = tmp_path / "target"
    path.write_bytes(b"before")
    with pytest.raises(ValueError, match=message):
        getattr(radar, writer)(volume, path, **ERRORS, unfolded=True, **kw)
    assert path.read_bytes() == b"before"


def test_a_pyart_radar_gives_the_superobs_of_its_file(volume, tmp_path):
    """A Py-ART Radar read from a file gives the superobservations of the same file read
    through xradar."""
    import warnings

    from radarkit.synthetic import write_volume

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pyart = pytest.importorskip("pyart")
    path = write_volume(volume, tmp_path / "volume.nc")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        radar_object = pyart.io.read(str(path))
    a = radar.superob(radar_object, unfolded=True)
    b = radar.superob(radar.open_volume(path), unfolded=True)
    for name in ("radial_velocity", "radial_velocity_spread", "reflectivity", "height"):
        np.testing.assert_allclose(a[name].values, b[name].values, rtol=1e-6, atol=1e-4)
    assert int(a["radial_velocity"].notnull().sum()) > 1000
