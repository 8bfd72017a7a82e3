"""The command line's superobservation files: obs-seq --superob/--grid and wrfda, their
results against the library's and their refusals (exit 2, nothing written)."""

import subprocess
import sys

import numpy as np
import pytest

pytestmark = pytest.mark.python_layer

pytest.importorskip("xradar")
synthetic = pytest.importorskip("radarkit.synthetic")

from radarkit import cli, radar  # noqa: E402

ERRORS = {"velocity_error": 2.0, "reflectivity_error": 5.0}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli_superob")
    vol = synthetic.synthetic_volume(
        elevations=(0.5, 2.0), rays=360, gates=300, velocity_noise=1.0, nyquist=40.0, seed=2
    )
    nc = synthetic.write_volume(vol, d / "volume.nc", format="cfradial1")
    return {"nc": str(nc), "volume": radar.open_volume(nc)}


def run(argv, capsys):
    code = cli.main(argv)
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize(
    "option,superob",
    [
        (["--superob", "5km,5deg"], "5km,5deg"),
        (["--superob", "4km,10deg"], "4km,10deg"),
        (["--grid", "3km"], "3km"),
    ],
)
def test_obs_seq_superob_writes_the_library_file(files, tmp_path, capsys, option, superob):
    """obs-seq --superob/--grid writes the bytes of to_obs_seq(..., superob=...)."""
    out = tmp_path / "cli.out"
    code, _, err = run(["obs-seq", files["nc"], "-o", str(out), "--unfolded", *option], capsys)
    assert code == 0, err
    assert "superobservations" in err
    lib = tmp_path / "lib.out"
    radar.to_obs_seq(files["volume"], lib, **ERRORS, superob=superob, unfolded=True)
    assert out.read_bytes() == lib.read_bytes()


@pytest.mark.parametrize("option,spacing", [([], 3000.0), (["--spacing", "5km"], 5000.0)])
def test_wrfda_command_writes_the_library_file(files, tmp_path, capsys, option, spacing):
    """wrfda FILE -o ob.radar writes the bytes of to_wrfda with the same spacing."""
    out = tmp_path / "ob.radar"
    code, _, err = run(["wrfda", files["nc"], "-o", str(out), "--unfolded", *option], capsys)
    assert code == 0, err
    lib = tmp_path / "lib.radar"
    res = radar.to_wrfda(files["volume"], lib, **ERRORS, spacing=spacing, unfolded=True)
    assert out.read_bytes() == lib.read_bytes()
    assert f"{res.written} columns" in err


def test_wrfda_command_takes_a_model_grid_file(files, tmp_path, capsys):
    """wrfda --grid FILE puts the columns on the file's mass points."""
    xr = pytest.importorskip("xarray")
    lat, lon = np.meshgrid(np.linspace(46.2, 46.8, 20), np.linspace(7.2, 7.8, 20), indexing="ij")
    grid = tmp_path / "wrfinput_d01"
    xr.Dataset(
        {
            "XLAT": (("Time", "south_north", "west_east"), lat[None]),
            "XLONG": (("Time", "south_north", "west_east"), lon[None]),
        }
    ).to_netcdf(grid)
    out = tmp_path / "ob.radar"
    code, _, err = run(
        ["wrfda", files["nc"], "-o", str(out), "--grid", str(grid), "--unfolded"], capsys
    )
    assert code == 0, err
    lib = tmp_path / "lib.radar"
    radar.to_wrfda(files["volume"], lib, **ERRORS, grid=str(grid), unfolded=True)
    assert out.read_bytes() == lib.read_bytes()


def argv_of(argv, files, tmp_path):
    names = {"nc": files["nc"], "out": str(tmp_path / "out"), "missing": str(tmp_path / "no.nc")}
    return [a.format(**names) for a in argv]


@pytest.mark.parametrize(
    "argv,message",
    [
        (["obs-seq", "{nc}", "-o", "{out}", "--superob", "3km"], "RANGE,AZIMUTH"),
        (
            ["obs-seq", "{nc}", "-o", "{out}", "--superob", "5km,5deg", "--grid", "3km"],
            "not allowed",
        ),
        (["obs-seq", "{nc}", "-o", "{out}", "--grid", "0km"], "positive"),
        (["wrfda", "{nc}", "-o", "{out}", "--spacing=-3km"], "positive"),
        (["wrfda", "{nc}", "-o", "{out}", "--spacing", "{nc}"], "spacing"),
    ],
)
def test_bad_layout_arguments_are_usage_errors(files, tmp_path, capsys, argv, message):
    """Bad --superob/--grid/--spacing values stop the parser with status 2, nothing written."""
    with pytest.raises(SystemExit) as stop:
        cli.main(argv_of(argv, files, tmp_path))
    assert stop.value.code == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "argv,message",
    [
        (["obs-seq", "{nc}", "-o", "{out}", "--grid", "{missing}", "--unfolded"], "no such grid"),
        (["wrfda", "{nc}", "-o", "{out}", "--grid", "{missing}"], "no such grid"),
        (["wrfda", "{nc}", "-o", "{out}", "--grid", "{nc}", "--unfolded"], "grid latitude"),
    ],
)
def test_bad_grid_files_exit_2_and_write_nothing(files, tmp_path, capsys, argv, message):
    """A grid file that is missing or has no latitude/longitude: status 2, one message, no
    file."""
    code, _, err = run(argv_of(argv, files, tmp_path), capsys)
    assert code == 2
    assert message in err
    assert not (tmp_path / "out").exists()


def test_wrfda_help():
    """radarkit wrfda --help answers."""
    p = subprocess.run(
        [sys.executable, "-m", "radarkit", "wrfda", "--help"], capture_output=True, text=True
    )
    assert p.returncode == 0 and "--spacing" in p.stdout and "--grid" in p.stdout
