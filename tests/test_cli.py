"""The radarkit command line: output, exit status and nothing written on bad input."""

import csv
import inspect
import io
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

pytestmark = pytest.mark.python_layer

pytest.importorskip("xradar")
synthetic = pytest.importorskip("radarkit.synthetic")

from radarkit import cli, radar, radar_obs  # noqa: E402


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    vol = synthetic.synthetic_volume(elevations=(0.5, 2.0, 6.0), rays=120, gates=160)
    nc = synthetic.write_volume(vol, d / "volume.nc", format="cfradial1")
    h5 = synthetic.write_volume(vol, d / "volume.h5", format="odim")
    plain = synthetic.synthetic_volume(elevations=(0.5,), rays=120, gates=160, nyquist=None)
    no_ny = synthetic.write_volume(plain, d / "no_nyquist.h5", format="odim")
    junk = d / "junk.nc"
    junk.write_bytes(b"CDF\x01 not really netCDF")
    return {"nc": str(nc), "h5": str(h5), "no_ny": str(no_ny), "junk": str(junk), "volume": vol}


def run(argv, capsys):
    code = cli.main(argv)
    out, err = capsys.readouterr()
    return code, out, err


def test_console_entry_point_and_help_on_every_subcommand():
    """python -m radarkit and every subcommand answer --help."""
    for args in ([], ["info"], ["vad"], ["obs-seq"]):
        p = subprocess.run(
            [sys.executable, "-m", "radarkit", *args, "--help"], capture_output=True, text=True
        )
        assert p.returncode == 0, p.stderr
        assert "usage: radarkit" in p.stdout


def test_info_lists_sweeps_and_moments(files, capsys):
    """info prints the site, sweeps, elevations, sizes and moments of each file."""
    code, out, err = run(["info", files["nc"], files["h5"], "-q"], capsys)
    assert code == 0 and err == ""
    assert out.count("3 sweeps") == 2
    assert "46.5000 N 7.5000 E, 350 m" in out
    lines = [line.split() for line in out.splitlines() if line.strip().startswith("sweep_")]
    assert [line[:4] for line in lines[:3]] == [
        ["sweep_0", "0.50", "120", "160"],
        ["sweep_1", "2.00", "120", "160"],
        ["sweep_2", "6.00", "120", "160"],
    ]
    assert all(line[-2:] == ["DBZH", "VRADH"] for line in lines)


def test_vad_table_csv_and_plot_agree_with_the_library(files, capsys, tmp_path):
    """vad's table, CSV and plot hold the library's profile, and only those files appear."""
    csv_path, png = tmp_path / "p.csv", tmp_path / "p.png"
    code, out, err = run(
        ["vad", files["nc"], "--heights", "0:3000:500", "--csv", str(csv_path), "--plot", str(png)],
        capsys,
    )
    assert code == 0 and err == ""
    prof = radar.vad_profile(files["volume"], heights=np.arange(0.0, 3001.0, 500.0))
    rows = list(csv.DictReader(io.StringIO(csv_path.read_text())))
    assert len(rows) == 7
    np.testing.assert_allclose([float(r["u"]) for r in rows], prof["u"].values, rtol=1e-5)
    np.testing.assert_allclose([float(r["v"]) for r in rows], prof["v"].values, rtol=1e-5)
    table = [line.split() for line in out.splitlines()[2:]]
    assert [float(t[0]) for t in table] == [0, 500, 1000, 1500, 2000, 2500, 3000]
    np.testing.assert_allclose([float(t[3]) for t in table], prof["speed"].values, atol=0.006)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(os.listdir(tmp_path)) == ["p.csv", "p.png"]


def _snapshot(d):
    return {f: (d / f).read_bytes() for f in sorted(os.listdir(d))}


@pytest.mark.parametrize(
    ("argv", "named", "reason"),
    [
        (["vad", "{missing}"], "{missing}", "no such file"),
        (["vad", "{junk}"], "{junk}", "damaged netCDF file"),
        (["vad", "{nc}", "--velocity", "VEL"], "{nc}", "no moment 'VEL'"),
        (["vad", "{nc}", "--csv", "{tmp}/nodir/p.csv"], "{tmp}/nodir/p.csv", "does not exist"),
        (
            ["vad", "{nc}", "--csv", "{tmp}/old.csv", "--plot", "{tmp}/nodir/p.png"],
            "{tmp}/nodir/p.png",
            "does not exist",
        ),
        (["info", "{nc}", "{junk}"], "{junk}", "damaged netCDF file"),
        (["obs-seq", "{nc}", "{junk}", "-o", "{tmp}/old.csv"], "{junk}", "damaged netCDF file"),
        (["obs-seq", "{nc}", "-o", "{tmp}/nodir/obs"], "{tmp}/nodir/obs", "does not exist"),
        (["obs-seq", "{no_ny}", "-o", "{tmp}/obs"], "{no_ny}", "no Nyquist velocity"),
    ],
)
def test_bad_input_one_line_exit_2_nothing_written(files, tmp_path, capsys, argv, named, reason):
    """Bad input is one line naming the file and reason, exit 2, nothing written."""
    (tmp_path / "old.csv").write_text("kept\n")
    before = _snapshot(tmp_path)
    names = {**files, "missing": str(tmp_path / "absent.nc"), "tmp": str(tmp_path)}
    argv = [a.format(**names) for a in argv]
    if argv[0] == "obs-seq":
        pytest.importorskip("radarkit.dart")
    code, out, err = run(argv, capsys)
    assert code == 2 and out == ""
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith(f"radarkit {argv[0]}: ")
    assert named.format(**names) in lines[0] and reason in lines[0]
    assert _snapshot(tmp_path) == before


def test_bad_input_from_a_shell_has_no_traceback(files):
    """From a shell, an unreadable file gives one line with the reader's reason."""
    p = subprocess.run(
        [sys.executable, "-m", "radarkit", "vad", files["junk"]], capture_output=True, text=True
    )
    assert p.returncode == 2 and p.stdout == ""
    assert len(p.stderr.strip().splitlines()) == 1
    # the reader's own reason follows the readers tried
    assert p.stderr.startswith(f"radarkit vad: {files['junk']}: damaged netCDF file (OSError: ")


def test_obs_seq_writes_one_file_and_reports_on_stderr(files, tmp_path, capsys):
    """obs-seq writes every thinned gate and reports the count on stderr only."""
    pytest.importorskip("radarkit.dart")
    out = tmp_path / "obs_seq.out"
    code, stdout, err = run(
        ["obs-seq", files["nc"], "-o", str(out), "--every", "2,4", "--velocity-error", "3"],
        capsys,
    )
    assert code == 0 and stdout == ""
    vol = files["volume"]
    n = sum(
        np.isfinite(vol[f"sweep_{k}"][m].values[::2, ::4]).sum()
        for k in range(3)
        for m in ("VRADH", "DBZH")
    )
    assert f"{n} observations" in err
    header = out.read_text()[:1000]
    assert int(re.search(r"num_obs:\s+(\d+)", header).group(1)) == n


def test_obs_seq_interrupted_leaves_nothing(files, tmp_path, capsys, monkeypatch):
    """Ctrl-C while writing exits 130 and leaves no file."""
    pytest.importorskip("radarkit.dart")
    out = tmp_path / "obs_seq.out"
    real = radar.sweep_observations
    calls = []

    def interrupted(**kw):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return real(**kw)

    monkeypatch.setattr(radar_obs, "sweep_observations", interrupted)
    code, _, err = run(["obs-seq", files["nc"], "-o", str(out), "-q"], capsys)
    assert code == 130 and "interrupted" in err
    assert os.listdir(tmp_path) == []


def test_vad_csv_quotes_awkward_file_names(files, capsys, tmp_path):
    """A file name with a comma and a quote survives the CSV as one field."""
    awkward = tmp_path / 'a "quoted", name.nc'
    shutil.copy(files["nc"], awkward)
    out = tmp_path / "p.csv"
    code, _, _ = run(["vad", str(awkward), "--heights", "0:1000:500", "--csv", str(out)], capsys)
    assert code == 0
    rows = list(csv.DictReader(io.StringIO(out.read_text())))
    assert [r["file"] for r in rows] == [str(awkward)] * 3


def test_defaults_are_the_librarys(capsys):
    """The command's defaults are the library's constants, stated in the help."""
    from radarkit import radar_obs, winds

    parser = cli.build_parser()
    vad = parser.parse_args(["vad", "f"])
    assert (vad.min_gates, vad.min_spread) == (winds.MIN_GATES, winds.MIN_SPREAD)
    obs = parser.parse_args(["obs-seq", "f", "-o", "o"])
    assert obs.clear_air_below == radar_obs.CLEAR_AIR_BELOW
    library = inspect.signature(radar_obs.to_obs_seq).parameters
    assert obs.velocity == library["velocity"].default == "auto"
    assert obs.reflectivity == library["reflectivity"].default == "auto"
    assert vad.velocity == inspect.signature(winds.vad).parameters["velocity"].default
    assert obs.reader == vad.reader == "auto"


@pytest.mark.parametrize(
    ("argv", "named"),
    [
        (["dealias", "{h5}", "-o", "{tmp}/out.nc"], "{tmp}/out.nc"),
        (["vad", "{nc}", "-q", "--csv", "{tmp}/p.csv"], "{tmp}/p.csv"),
        (["obs-seq", "{nc}", "-q", "-o", "{tmp}/obs"], "{tmp}/obs"),
    ],
)
def test_an_output_that_cannot_be_created_is_one_line(
    files, tmp_path, capsys, monkeypatch, argv, named
):
    """An output directory the user may not write to gives one line naming the output and
    the system's reason, exit 2, nothing written (not a traceback)."""
    import errno
    import tempfile

    if argv[0] == "obs-seq":
        pytest.importorskip("radarkit.dart")

    def refuse(*args, **kwargs):
        raise PermissionError(errno.EACCES, "Permission denied", kwargs.get("dir"))

    names = {**files, "tmp": str(tmp_path)}
    argv = [a.format(**names) for a in argv]
    monkeypatch.setattr(tempfile, "mkstemp", refuse)
    code, _, err = run(argv, capsys)
    assert code == 2
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith(f"radarkit {argv[0]}: {named.format(**names)}: ")
    assert "Permission denied" in lines[0]
    assert os.listdir(tmp_path) == []


def test_dealias_to_a_device_writes_through_it(files, tmp_path, capsys):
    """dealias -o naming a device (here a null device node, as /dev/null) writes through it:
    the node stays a device, and the summary is printed."""
    import stat

    null = tmp_path / "null"
    try:
        os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs root")
    code, out, err = run(["dealias", files["h5"], "-o", str(null)], capsys)
    assert code == 0, err
    assert "VRADDH and VRADDH_FOLDS added" in out
    assert stat.S_ISCHR(os.lstat(null).st_mode) and os.listdir(tmp_path) == ["null"]
