"""radarkit.dart: DART observation-sequence files, whole or chunk by chunk."""

import io
import os

import numpy as np
import pytest

from radarkit import dart

pytestmark = pytest.mark.python_layer

RV = "DOPPLER_RADIAL_VELOCITY"
DAY = np.timedelta64(1, "D")


def volume(n=500, seed=0, sorted_times=False):
    """Mixed radial-velocity and reflectivity observations, some NaN."""
    rng = np.random.default_rng(seed)
    t0 = np.datetime64("2021-06-01T12:00:00", "ms")
    times = t0 + rng.integers(-5000, 90_000_000, n).astype("timedelta64[ms]")
    if sorted_times:
        times.sort()
    value = rng.normal(0, 15, n)
    value[rng.random(n) < 0.1] = np.nan
    return {
        "type": rng.choice([RV, "RADAR_REFLECTIVITY", "RADAR_CLEARAIR_REFLECTIVITY"], n),
        "value": value,
        "error": rng.uniform(0.5, 3, n),
        "longitude": rng.uniform(-190, 370, n),
        "latitude": rng.uniform(-90, 90, n),
        "height": rng.uniform(0, 15000, n),
        "time": times,
        "radar_longitude": -97.278,
        "radar_latitude": 35.333,
        "radar_height": 370.0,
        "azimuth": rng.uniform(0, 360, n),
        "elevation": rng.uniform(0, 20, n),
        "nyquist": rng.uniform(0, 40, n),
    }


def read(path):
    obs_sequence = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
    return obs_sequence.ObsSequence(str(path)).df


def expected(obs, error="std"):
    """What the file must hold, in file order: written rows sorted stably by whole second."""
    keep = np.isfinite(obs["value"]) & np.isfinite(obs["error"])
    secs = obs["time"].astype("datetime64[s]")  # times after 1970: truncation is floor
    rows = np.flatnonzero(keep)
    return rows[np.argsort(secs[rows], kind="stable")], secs


@pytest.mark.parametrize("chunk_size", [1, 7, 100_000])
def test_read_back_with_dart_reader(tmp_path, chunk_size):
    """pydartdiags reads back every written record: values, variances, positions, times, beams."""
    obs = volume()
    path = tmp_path / "obs_seq.out"
    result = dart.write_obs_seq(path, obs, chunk_size=chunk_size)
    rows, secs = expected(obs)
    assert result == (len(rows), len(obs["value"]) - len(rows))
    df = read(path)
    assert len(df) == len(rows)
    assert list(df["type"]) == list(obs["type"][rows])
    np.testing.assert_array_equal(df["observation"], obs["value"][rows])
    np.testing.assert_allclose(df["obs_err_var"], obs["error"][rows] ** 2, rtol=1e-15)
    np.testing.assert_array_equal(df["time"].to_numpy().astype("datetime64[s]"), secs[rows])
    np.testing.assert_allclose(df["longitude"], np.mod(obs["longitude"][rows], 360), atol=1e-9)
    np.testing.assert_allclose(df["latitude"], obs["latitude"][rows], atol=1e-9)
    np.testing.assert_array_equal(df["vertical"], obs["height"][rows])
    assert (df["seconds"].between(0, 86399)).all()
    assert list(df["obs_num"]) == list(range(1, len(rows) + 1))
    links = [tuple(map(int, x.split())) for x in df["linked_list"]]
    assert links == [
        (-1 if i == 1 else i - 1, -1 if i == len(rows) else i + 1, -1)
        for i in range(1, len(rows) + 1)
    ]
    radial = [(r, meta) for r, meta in zip(rows, df["metadata"]) if obs["type"][r] == RV]
    assert radial
    for key, (r, meta) in enumerate(radial, 1):
        assert meta[:2] == ["platform", "loc3d"] and meta[3] == "dir3d"
        lon, lat, height, vert = map(float, meta[2].split())
        assert np.rad2deg(lon) == pytest.approx(360 - 97.278) and vert == 3
        assert np.rad2deg(lat) == pytest.approx(35.333) and height == 370.0
        az, el = np.deg2rad(obs["azimuth"][r]), np.deg2rad(obs["elevation"][r])
        beam = np.array(meta[4].split(), float)
        np.testing.assert_allclose(
            beam, [np.sin(az) * np.cos(el), np.cos(az) * np.cos(el), np.sin(el)], atol=1e-15
        )
        assert float(meta[5]) == obs["nyquist"][r] and int(meta[6]) == key


def test_header_exact_and_kinds_in_order_of_appearance(tmp_path):
    """The header is exact and the kinds table lists kinds in order of first appearance."""
    obs = {
        "type": np.array(["RADAR_REFLECTIVITY", RV, "DIFFERENTIAL_REFLECTIVITY"]),
        "value": [1.0, 2.0, 3.0],
        "error": [4.0, 5.0, 6.0],
        **{
            k: 0.0
            for k in (
                "longitude",
                "latitude",
                "height",
                "radar_longitude",
                "radar_latitude",
                "radar_height",
            )
        },
        **{k: 0.0 for k in ("azimuth", "elevation", "nyquist")},
        "time": np.datetime64("2021-06-01T12:00:00"),
    }
    path = tmp_path / "o"
    dart.write_obs_seq(path, obs, error="variance", qc_name="DART quality control")
    text = path.read_text()
    head = text[: text.index(" OBS ")]
    assert head == (
        " obs_sequence\nobs_kind_definitions\n           3\n"
        "           1 DOPPLER_RADIAL_VELOCITY\n           2 RADAR_REFLECTIVITY\n"
        "           3 DIFFERENTIAL_REFLECTIVITY\n"
        "  num_copies:            1  num_qc:            1\n"
        "  num_obs:            3  max_num_obs:            3\n"
        "observation\nDART quality control\n  first:            1  last:            3\n"
    )
    # day 153,553 second 43,200; variances as given; kinds as the table says
    assert text.count(" 43200     153553\n") == 3
    df = read(path)
    assert list(df["type"]) == ["RADAR_REFLECTIVITY", RV, "DIFFERENTIAL_REFLECTIVITY"]
    assert list(df["obs_err_var"]) == [4.0, 5.0, 6.0]


def test_empty_sequence(tmp_path):
    """A file of no observations is a valid empty sequence."""
    obs = volume(3)
    obs["value"] = np.full(3, np.nan)
    path = tmp_path / "o"
    assert dart.write_obs_seq(path, obs) == (0, 3)
    text = path.read_text()
    assert text.endswith(
        "  num_obs:            0  max_num_obs:            0\nobservation\n"
        "Quality Control\n  first:           -1  last:           -1\n"
    )


@pytest.mark.parametrize(
    "t,days,secs",
    [
        ("1601-01-01T00:00:00", 0, 0),
        ("1600-12-31T23:59:59.999", None, None),
        ("2021-06-01T12:00:00", 153553, 43200),
        ("2021-06-01T23:59:59.999999999", 153553, 86399),
        ("1969-12-31T23:59:59.5", 134773, 86399),  # floor, not toward 1970
        ("2021-06-02", 153554, 0),
        ("2021-06", 153553, 0),
    ],
)
def test_times_as_days_and_seconds_since_1601(tmp_path, t, days, secs):
    """Times become DART's days and seconds since 1601-01-01, sub-seconds floored."""
    obs = {**volume(1), "type": "RADAR_REFLECTIVITY", "value": [1.0], "time": [t]}
    path = tmp_path / "o"
    if days is None:
        with pytest.raises(ValueError, match=r"^time must not be before 1601-01-01"):
            dart.write_obs_seq(path, obs)
        assert not path.exists()
        return
    dart.write_obs_seq(path, obs)
    assert f"{secs:6d} {days:10d}\n" in path.read_text()


def test_longitudes_in_zero_to_two_pi_and_beam_clamped(tmp_path):
    """Longitudes land in [0, 2π) and beam components within ±1."""
    n = 6
    obs = {
        **volume(n),
        "type": RV,
        "value": np.ones(n),
        "longitude": [-1e-300, 360.0, -360.0, 359.99999999999997, -0.0, 720.5],
        "azimuth": [90.0, 0.0, 45.0, 1e-300, 360.0, 270.0],
        "elevation": [0.0, 90.0, -90.0, 45.0, 0.0, 89.99999999999999],
        "time": np.datetime64("2021-06-01T12:00:00"),
    }
    path = tmp_path / "o"
    dart.write_obs_seq(path, obs)
    lines = path.read_text().split("\n")
    lons = [float(lines[i + 2].split()[0]) for i, ln in enumerate(lines) if ln == "obdef"]
    assert all(0.0 <= x < 2 * np.pi for x in lons)
    beams = [np.array(lines[i + 1].split(), float) for i, ln in enumerate(lines) if ln == "dir3d"]
    assert len(beams) == n and all(np.all(np.abs(b) <= 1.0) for b in beams)
    assert "-0.0000000000000000E+00    " not in "".join(lines)


def test_radar_longitude_wraps_beside_other_kinds(tmp_path):
    """Radar longitudes wrap into [0, 2π) when other kinds sit between the velocities."""
    # radar fields of reflectivity rows are neither checked nor used: NaN there
    # must not change the radial-velocity records
    n = 6
    obs = {
        **volume(n),
        "type": np.array([RV, "RADAR_REFLECTIVITY"] * 3),
        "value": np.ones(n),
        "radar_longitude": np.array([-1e-300, np.nan] * 3),  # 360 - 1e-300 rounds to 360
        "azimuth": np.array([10.0, np.nan] * 3),
        "time": np.datetime64("2021-06-01T12:00:00"),
    }
    path = tmp_path / "o"
    dart.write_obs_seq(path, obs)
    lines = path.read_text().split("\n")
    radar_lons = [float(lines[i + 2].split()[0]) for i, ln in enumerate(lines) if ln == "platform"]
    assert len(radar_lons) == 3 and all(0.0 <= x < 2 * np.pi for x in radar_lons)


def test_sort_is_stable_and_by_whole_second(tmp_path):
    """Records are sorted stably by whole-second time."""
    t = np.array(
        [
            "2021-06-01T12:00:01.9",
            "2021-06-01T12:00:00.5",
            "2021-06-01T12:00:01.1",
            "2021-06-01T12:00:00.1",
        ],
        "datetime64[ms]",
    )
    obs = {**volume(4), "type": "RADAR_REFLECTIVITY", "value": [0.0, 1.0, 2.0, 3.0], "time": t}
    path = tmp_path / "o"
    dart.write_obs_seq(path, obs)
    assert list(read(path)["observation"]) == [1.0, 3.0, 0.0, 2.0]


def fields_of(obs, a, b):
    return {k: (v[a:b] if np.ndim(v) else v) for k, v in obs.items()}


@pytest.mark.parametrize("cuts", [[250], [0, 1, 499], [100, 200, 300]])
def test_writer_chunks_give_the_same_bytes_as_one_call(tmp_path, cuts):
    """ObsSeqWriter chunk by chunk writes the bytes of one write_obs_seq call."""
    obs = volume(500, 3, sorted_times=True)
    kinds = [RV, "RADAR_REFLECTIVITY", "RADAR_CLEARAIR_REFLECTIVITY"]
    whole = tmp_path / "whole"
    want = dart.write_obs_seq(whole, obs, kinds=kinds, chunk_size=64)
    path = tmp_path / "parts"
    counts = []
    with dart.ObsSeqWriter(path, kinds=kinds, chunk_size=64) as w:
        for a, b in zip([0, *cuts], [*cuts, 500]):
            counts.append(w.write(**fields_of(obs, a, b)))
    assert (w.written, w.skipped) == want and sum(c.written for c in counts) == want.written
    assert path.read_bytes() == whole.read_bytes()


def test_writer_refuses_chunk_back_in_time_and_stays_usable(tmp_path):
    """A chunk going back in time is refused whole and the writer stays usable."""
    obs = volume(100, 4, sorted_times=True)
    path = tmp_path / "o"
    with dart.ObsSeqWriter(path) as w:
        w.write(**fields_of(obs, 50, 100))
        with pytest.raises(ValueError, match=r"^time goes back"):
            w.write(**fields_of(obs, 0, 50))
        w.write(**fields_of(obs, 99, 100))
    # the refused chunk left no trace
    rows = np.r_[np.arange(50, 100), 99]
    kept = {k: (v[rows] if np.ndim(v) else v) for k, v in obs.items()}
    dart.write_obs_seq(tmp_path / "want", kept, kinds=dart.DEFAULT_KINDS)
    assert path.read_bytes() == (tmp_path / "want").read_bytes()


def test_writer_context_aborts_on_exception(tmp_path):
    """An exception inside the writer's with block leaves no file."""
    path = tmp_path / "o"
    path.write_bytes(b"old")
    with pytest.raises(KeyboardInterrupt), dart.ObsSeqWriter(path) as w:
        w.write(**volume(10))
        raise KeyboardInterrupt
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["o"]
    with pytest.raises(ValueError, match="aborted"):
        w.write(**volume(10))


def test_writer_needs_seekable_file_and_known_fields(tmp_path):
    """The writer refuses unseekable file objects, unknown fields and kinds not in its table."""
    r, wfd = os.pipe()
    with os.fdopen(r, "rb") as rf, os.fdopen(wfd, "wb") as pipe:
        with pytest.raises(ValueError, match=r"^path must be a path or a seekable"):
            dart.ObsSeqWriter(pipe)
        buf = io.BytesIO()
        dart.write_obs_seq(pipe, volume(5))
        pipe.close()
        data = rf.read()
    dart.write_obs_seq(buf, volume(5))
    assert data == buf.getvalue()
    with dart.ObsSeqWriter(io.BytesIO()) as w, pytest.raises(TypeError, match="azimith"):
        w.write(**volume(5), azimith=1.0)
    with pytest.raises(ValueError, match="not in kinds"):
        w2 = dart.ObsSeqWriter(tmp_path / "k", kinds=["RADAR_REFLECTIVITY"])
        w2.write(**{**volume(5), "type": "RADAR_CLEARAIR_REFLECTIVITY"})
    w2.abort()
    assert os.listdir(tmp_path) == []


def bad(**changes):
    return {**volume(20), **changes}


@pytest.mark.parametrize(
    "obs,message",
    [
        (bad(value=np.zeros(19)), "value has shape"),
        (bad(latitude=np.zeros((20, 1))), "latitude has shape"),
        (bad(type="radar_reflectivity"), "type must hold DART kind names"),
        (bad(type=np.array([RV] * 19 + ["BAD-NAME"])), "type must hold DART kind names"),
        (bad(type=np.arange(20)), "type must hold DART kind names"),
        (bad(longitude=np.r_[np.zeros(19), np.inf]), "longitude must be finite"),
        (bad(height=np.r_[np.nan, np.zeros(19)]), "height must be finite"),
        (bad(latitude=91.0), "latitude must lie within"),
        (
            bad(time=np.r_[np.full(19, np.datetime64("2021-01-01")), np.datetime64("NaT", "D")]),
            "time must not be NaT",
        ),
        (bad(time="1600-12-31"), "time must not be before 1601-01-01"),
        (bad(time=np.datetime64(2**40, "D")), "time must be before day 2**31"),
        (bad(time=[1] * 20), "time must be numpy.datetime64"),
        (bad(type=RV, nyquist=-1.0), "nyquist must not be negative"),
        (bad(type=RV, nyquist=np.r_[np.nan, np.ones(19)]), "nyquist must be finite"),
        (bad(type=RV, radar_latitude=np.r_[np.zeros(19), -90.5]), "radar_latitude must lie within"),
        (bad(latitude=np.r_[np.zeros(19), -np.inf]), "latitude must be finite"),
        (bad(error=np.r_[np.nan, -1.0, np.ones(18)]), "error must not be negative"),
        (bad(type=RV, azimuth=np.nan), "azimuth must be finite"),
        (bad(type=RV, radar_latitude=None), "radar_latitude is required"),
        (bad(error=-1.0), "error must not be negative"),
        (bad(height=None), "height is required"),
        (bad(value=np.array(["a"] * 20)), "value must be numeric"),
    ],
)
def test_refused_before_the_file_is_touched(tmp_path, obs, message):
    """Every refused input raises ValueError naming the field before the file is touched."""
    path = tmp_path / "o"
    path.write_bytes(b"old")
    with pytest.raises(ValueError) as info:
        dart.write_obs_seq(path, obs)
    assert str(info.value).startswith(message)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["o"]


def test_skipped_rows_need_no_valid_location(tmp_path):
    """Rows left out for a NaN value are not checked for their location."""
    obs = bad(value=np.r_[np.nan, np.ones(19)], longitude=np.r_[np.nan, np.zeros(19)])
    assert dart.write_obs_seq(tmp_path / "o", obs) == (19, 1)


@pytest.mark.parametrize(
    "time",
    [
        1716240900 + 60 * np.arange(20),  # epoch seconds, e.g. from a pandas column
        (1716240900.0 + 60 * np.arange(20)).tolist(),
        np.int64(1716240900),
        np.array([np.datetime64("2024-05-20T21:35"), 1716240900] * 10, dtype=object),
    ],
    ids=["int array", "float list", "int scalar", "objects"],
)
def test_numeric_times_are_refused_naming_time(tmp_path, time):
    """Numbers as times are a ValueError naming time, for the whole file and for a chunk."""
    path = tmp_path / "o"
    with pytest.raises(ValueError, match=r"^time must be numpy\.datetime64 values, not numbers"):
        dart.write_obs_seq(path, bad(time=time))
    with dart.ObsSeqWriter(path) as w:
        with pytest.raises(ValueError, match=r"^time must be numpy\.datetime64 values, not"):
            w.write(**bad(time=time))
    assert w.written == 0
    # the same times as datetime64 are written at their minutes, not at 1970-01-01
    seconds = np.asarray(1716240900 + 60 * np.arange(20))
    dart.write_obs_seq(path, bad(time=seconds.astype("datetime64[s]")))
    assert read(path)["time"].min() == np.datetime64("2024-05-20T21:35:00")


def test_older_field_names_warn_and_give_the_same_bytes(tmp_path):
    """lon, lat, radar_lon, radar_lat still work, with a warning each, to the same bytes."""
    obs = volume(50, 2)
    old = {
        dict(zip(dart.OLD_FIELDS.values(), dart.OLD_FIELDS)).get(k, k): v for k, v in obs.items()
    }
    assert {"lon", "lat", "radar_lon", "radar_lat"} <= set(old)
    dart.write_obs_seq(tmp_path / "new", obs)
    with pytest.warns(DeprecationWarning) as said:
        dart.write_obs_seq(tmp_path / "old", old)
    assert sorted(str(w.message).split(": ", 1)[1] for w in said) == sorted(
        f"{k!r} is deprecated, use {v!r}" for k, v in dart.OLD_FIELDS.items()
    )
    assert (tmp_path / "old").read_bytes() == (tmp_path / "new").read_bytes()
    dart.write_obs_seq(tmp_path / "table", obs, kinds=dart.DEFAULT_KINDS)
    with dart.ObsSeqWriter(tmp_path / "w") as w, pytest.warns(DeprecationWarning):
        w.write(**old)
    assert (tmp_path / "w").read_bytes() == (tmp_path / "table").read_bytes()
    with pytest.raises(ValueError, match="'longitude' and its older name 'lon' are both given"):
        dart.write_obs_seq(tmp_path / "x", {**obs, "lon": obs["longitude"]})


@pytest.mark.parametrize("obj", [dart.write_obs_seq, dart.ObsSeqWriter], ids=lambda o: o.__name__)
def test_examples_run(obj, tmp_path, monkeypatch):
    """The documented examples run as shown."""
    from cases import run_examples

    monkeypatch.chdir(tmp_path)
    examples, failed = run_examples(obj, obj.__name__, vars(dart))
    assert examples and not failed
