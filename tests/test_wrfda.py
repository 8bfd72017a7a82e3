"""radarkit.wrfda: WRFDA radar observation files."""

import os
import shutil
import subprocess

import numpy as np
import pytest

from radarkit import wrfda

pytestmark = pytest.mark.python_layer

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    """WRFDA's read statements compiled into a program that prints what it reads."""
    fc = shutil.which("gfortran")
    if fc is None:
        pytest.skip("gfortran not found: install Debian's gfortran package to run this test")
    exe = tmp_path_factory.mktemp("fortran") / "wrfda_reader"
    subprocess.run([fc, "-o", str(exe), os.path.join(HERE, "wrfda_reader.f90")], check=True)

    def read(path):
        out = subprocess.run([str(exe), str(path)], capture_output=True, text=True, check=True)
        return out.stdout.splitlines()

    return read


def radar(n, L, seed, name="KTLX"):
    rng = np.random.default_rng(seed)

    def level(lo, hi):
        x = rng.uniform(lo, hi, (n, L))
        x[rng.random((n, L)) < 0.15] = rng.choice([np.nan, np.inf, -np.inf])
        return x

    return wrfda.Radar(
        name=name,
        radar_longitude=rng.uniform(-180, 180),
        radar_latitude=rng.uniform(-90, 90),
        radar_height=rng.uniform(-100, 4000),
        time=np.datetime64("2024-05-20T21:35:07.9", "ms"),
        latitude=rng.uniform(-90, 90, n),
        longitude=rng.uniform(-180, 180, n),
        height=rng.uniform(-500, 9000, n),
        heights=np.sort(rng.uniform(0, 20000, L)),
        rv=level(-60, 60),
        rv_err=level(0, 5),
        rf=level(-30, 75),
        rf_err=level(0, 5),
        rv_qc=rng.integers(-999, 9999, (n, L)),
        rf_qc=None if seed % 2 else 7,
    )


def text_value(x, decimals):
    """The double that reading the written text gives."""
    return float(f"{x:.{decimals}f}")


@pytest.mark.parametrize("shape", [[(3, 4)], [(1, 1), (0, 5), (40, 20)], [(2, 0)]])
def test_wrfda_reads_back_every_value(tmp_path, reader, shape):
    """WRFDA's own read statements read back every value, missing ones as -888888."""
    radars = [radar(n, L, seed, f"R{seed}") for seed, (n, L) in enumerate(shape)]
    path = tmp_path / "ob.radar"
    assert wrfda.write_radar_obs(path, radars).written == sum(n for n, _ in shape)
    got = iter(reader(path))
    got = iter(
        [line[: line.index("[")], line[line.index("[") + 1 : line.index("]")]]
        + line[line.index("]") + 1 :].split()
        if line.startswith("R ")
        else line.split()
        for line in got
    )
    assert next(got) == ["N", str(len(radars))]
    lines = 2
    for r in radars:
        n, L = len(r.latitude), len(r.heights)
        lines += 4 + n * (1 + L)
        R = next(got)
        assert R[1] == f"{r.name:<12s}"
        assert [float(x) for x in R[2:5]] == [
            text_value(r.radar_longitude, 3),
            text_value(r.radar_latitude, 3),
            text_value(r.radar_height, 1),
        ]
        assert R[5:] == ["2024-05-20_21:35:07", str(n), str(L)]
        for i in range(n):
            C = next(got)
            assert C[1:7] == ["128", "2024", "5", "20", "21", "35"]
            assert [float(x) for x in C[7:10]] == [
                text_value(r.latitude[i], 3),
                text_value(r.longitude[i], 3),
                text_value(r.height[i], 1),
            ]
            assert int(C[10]) == L
            for k in range(L):
                Lv = next(got)
                assert float(Lv[1]) == text_value(r.heights[k], 1)
                for j, (v, e, q) in enumerate(
                    [(r.rv, r.rv_err, r.rv_qc), (r.rf, r.rf_err, r.rf_qc)]
                ):
                    value, qc, err = float(Lv[2 + 3 * j]), int(Lv[3 + 3 * j]), float(Lv[4 + 3 * j])
                    ok_v, ok_e = np.isfinite(v[i, k]), np.isfinite(e[i, k])
                    assert value == (text_value(v[i, k], 3) if ok_v else -888888.0)
                    assert err == (text_value(e[i, k], 3) if ok_e else -888888.0)
                    want_qc = 0 if q is None else np.broadcast_to(q, v.shape)[i, k]
                    assert qc == (want_qc if ok_v and ok_e else -88)
    assert next(got, None) is None
    text = path.read_text()
    assert text.count("\n") == lines and "nan" not in text.lower() and "inf" not in text.lower()


def test_layout_to_the_character(tmp_path):
    """The file layout matches WRFDA's fixed columns character for character."""
    r = wrfda.Radar(
        name="KTLX",
        radar_longitude=-97.278,
        radar_latitude=35.333,
        radar_height=370.0,
        time="2024-05-20_21:35:00",
        latitude=[35.25],
        longitude=[-97.5],
        height=[370.0],
        heights=[500.0, 1000.0],
        rv=[[12.345, -3.2]],
        rv_qc=[[0, 1]],
        rv_err=1.0,
        rf=[[25.5, np.nan]],
        rf_err=2.0,
    )
    path = tmp_path / "ob.radar"
    wrfda.write_radar_obs(path, [r])
    assert path.read_text() == (
        "TOTAL RADAR =   1\n" + "#" + "-" * 78 + "#\n\n"
        "RADAR  KTLX         -97.278    35.333     370.0  2024-05-20_21:35:00     1     2\n"
        + "#"
        + "-" * 78
        + "#\n\n"
        "FM-128 RADAR   2024-05-20_21:35:00        35.250       -97.500     370.0       2\n"
        "          500.0      12.345   0       1.000        25.500   0       2.000  \n"
        "         1000.0      -3.200   1       1.000   -888888.000 -88       2.000  \n"
    )


def good(**changes):
    base = dict(
        name="KTLX",
        radar_longitude=-97.278,
        radar_latitude=35.333,
        radar_height=370.0,
        time="2024-05-20_21:35:00",
        latitude=[35.25, 35.3],
        longitude=[-97.5, -97.4],
        height=[370.0, 380.0],
        heights=[500.0, 1000.0],
        rv=np.zeros((2, 2)),
        rv_err=1.0,
        rf=np.zeros((2, 2)),
        rf_err=2.0,
    )
    return [{**base, **changes}]


@pytest.mark.parametrize(
    "radars,message",
    [
        (good() * 1000, "radars must hold at most 999 radars"),
        (good(time="2024-05-20 21:35"), "radars[0].time must be exactly 19 characters"),
        (good(time="2024-05-20_21:35:000"), "radars[0].time must be exactly 19 characters"),
        (good(time=np.datetime64("NaT", "s")), "radars[0].time must not be NaT"),
        (good(name="KTLX-TOO-LONG"), "radars[0].name must be ASCII text of up to 12"),
        (good(heights=np.zeros(1002), rv=0.0, rf=0.0), "radars[0].heights must hold at most 1001"),
        (good(rv=np.zeros((2, 3))), "radars[0].rv must have shape (columns, levels)"),
        (good(longitude=[1.0]), "radars[0].longitude has 1 columns but latitude has 2"),
        (good(latitude=[np.nan, 0.0]), "radars[0].latitude must be finite"),
        (good(rv=[[0.0, 1e8]] * 2), "radars[0].rv must lie within [-9999999.999, 99999999.999]"),
        (good(rf_err=-1e7), "radars[0].rf_err must lie within"),
        (good(rv=[[np.inf, 1e8], [np.nan, 0.0]]), "radars[0].rv must lie within [-9999999.999"),
        (good(rf=[[-np.inf, np.nan], [-1e7, 0.0]]), "radars[0].rf must lie within"),
        (good(height=[1e6, 0.0]), "radars[0].height must lie within [-99999.9, 999999.9]"),
        (good(heights=[0.0, 1e10]), "radars[0].heights must lie within"),
        (good(rv_qc=[[0, -1000]] * 2), "radars[0].rv_qc must lie within [-999, 9999]"),
        (good(rf_qc=10000), "radars[0].rf_qc must lie within"),
        (good(rf_qc=0.5), "radars[0].rf_qc must hold integers"),
        (
            good(radar_longitude=-1000.0),
            "radars[0].radar_longitude must lie within [-999.999, 9999.999]",
        ),
        (good(rf=None), "radars[0].rf is required"),
        (good()[0], "radars must be a sequence of radars"),
    ],
)
def test_refused_before_the_file_is_touched(tmp_path, radars, message):
    """Every refused input raises ValueError naming radar and field before the file is touched."""
    path = tmp_path / "ob.radar"
    path.write_bytes(b"old")
    with pytest.raises(ValueError) as info:
        wrfda.write_radar_obs(path, radars)
    assert str(info.value).startswith(message)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["ob.radar"]


def test_too_many_columns(tmp_path, monkeypatch):
    """More columns than WRFDA holds are refused."""
    monkeypatch.setattr(wrfda, "MAX_COLUMNS", 3)
    r = good(latitude=np.zeros(4), longitude=np.zeros(4), height=np.zeros(4), rv=0.0, rf=0.0)
    with pytest.raises(ValueError, match=r"radars\[0\] must have at most 3 columns"):
        wrfda.write_radar_obs(tmp_path / "o", r)


def test_older_field_names_warn_and_give_the_same_bytes(tmp_path):
    """lon, lat, elevation and col_lat, col_lon, col_elv still work, to the same bytes."""
    new = radar(5, 3, 1)
    fields = {f: getattr(new, f) for f in new.__dataclass_fields__}
    old_names = {v: k for k, v in wrfda.OLD_FIELDS.items()}
    old = {old_names.get(k, k): v for k, v in fields.items()}
    wrfda.write_radar_obs(tmp_path / "new", [new])
    with pytest.warns(DeprecationWarning) as said:
        wrfda.write_radar_obs(tmp_path / "mapping", [old])
    assert len(said) == 6
    with pytest.warns(DeprecationWarning) as said:
        keywords = wrfda.Radar(**old)
    assert len(said) == 6
    wrfda.write_radar_obs(tmp_path / "keywords", [keywords])
    for name in ("mapping", "keywords"):
        assert (tmp_path / name).read_bytes() == (tmp_path / "new").read_bytes()
    with pytest.raises(TypeError):
        wrfda.Radar("KTLX", 35.3, -97.3, 370.0)  # fields by keyword only: no silent swap


def test_write_result_counts_columns(tmp_path):
    """write_radar_obs returns WriteResult(columns written, 0), as the DART writer does."""
    result = wrfda.write_radar_obs(tmp_path / "o", [radar(4, 2, 0), radar(3, 5, 1)])
    assert result == wrfda.WriteResult(7, 0) and wrfda.WriteResult is dart_write_result()


def dart_write_result():
    from radarkit import dart

    return dart.WriteResult


def test_example_runs(tmp_path, monkeypatch):
    """The documented example runs as shown."""
    from cases import run_examples

    monkeypatch.chdir(tmp_path)
    examples, failed = run_examples(wrfda.write_radar_obs, "write_radar_obs", vars(wrfda))
    assert examples and not failed
