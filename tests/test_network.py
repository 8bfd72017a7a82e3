"""radarkit.network: windows, the order of the files' contents, faults, on a real cluster.

The orchestration is run with `gate_step`, a per-volume step made of the pieces the package
has (reading, per-gate observations of `sweep_observations`, a one-level WRFDA record), so that
windows, ordering, faults and reruns are checked whatever the per-volume science is;
`process_volume` itself is checked where dealiasing and superobservations are installed.
"""

import contextlib
import dataclasses
import errno
import functools
import importlib.util
import json
import os
import pathlib
import signal
import sys
import time

import numpy as np
import pytest

pytestmark = pytest.mark.python_layer

pytest.importorskip("xradar")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

from radarkit import _output, dart, network, wrfda  # noqa: E402
from radarkit.radar_obs import sweep_observations, to_obs_seq, to_wrfda  # noqa: E402
from radarkit.synthetic import synthetic_volume, write_volume  # noqa: E402
from radarkit.volume import list_sweeps, nyquist_velocity, ray_arrays  # noqa: E402

# the steps below are sent to the worker processes by value: they cannot import this file
cloudpickle.register_pickle_by_value(sys.modules[__name__])

# Three radars; 2 sweeps of 72 s with 36 rays each: a volume spans 142 s, its mid time is its
# first ray + 71 s. 15-minute windows are centred on :00, :15, ... (boundaries at :07:30 and
# :22:30). (radar, first ray, window expected by the volume's mid time)
RADARS = {"RADA": (35.0, -97.5, 370.0), "RADB": (35.6, -96.8, 300.0), "RADC": (34.8, -96.4, 250.0)}
VOLUMES = [
    ("RADA", "2024-05-20T17:50:00", "202405201745"),
    ("RADA", "2024-05-20T17:56:00", "202405201800"),
    ("RADA", "2024-05-20T18:06:00", "202405201800"),  # ends after the boundary
    ("RADA", "2024-05-20T18:07:00", "202405201815"),  # begins before the boundary
    ("RADB", "2024-05-20T17:52:00", "202405201800"),  # begins before its window
    ("RADB", "2024-05-20T18:01:00", "202405201800"),
    ("RADC", "2024-05-20T18:06:19", "202405201815"),  # mid time on the boundary: the later
    ("RADC", "2024-05-20T17:59:00", "202405201800"),
]


def gate_step(path, options):
    """Read, place, then per-gate observations (every 2nd ray and gate) and a WRFDA record of
    the first sweep's gates on one level."""
    timings = {}
    t0 = time.perf_counter()
    volume = network.read_volume(path)
    timings["read"] = time.perf_counter() - t0
    placed = network.volume_obs(path, volume, options)
    if placed.window is None or placed.skipped:
        return dataclasses.replace(placed, timings=timings)
    parts = []
    for _, ds in list_sweeps(volume):
        vel, ref = ray_arrays(ds, "VRADH"), ray_arrays(ds, "DBZH")
        obs = sweep_observations(
            radar_latitude=placed.site.radar_latitude,
            radar_longitude=placed.site.radar_longitude,
            radar_height=placed.site.radar_height,
            azimuth=vel.azimuth,
            elevation=vel.elevation,
            range=vel.range,
            time=vel.time,
            velocity=vel.data,
            reflectivity=ref.data,
            velocity_error=options.velocity_error,
            reflectivity_error=options.reflectivity_error,
            nyquist=nyquist_velocity(ds, vel.azimuth.size),
            every=(2, 2),
        )
        parts.append(dict(obs))
    rows = {key: np.concatenate([p[key] for p in parts]) for key in parts[0]}
    first = parts[0]
    vel_rows = first["type"] == dart.RADIAL_VELOCITY
    record = wrfda.Radar(
        name=placed.radar,
        **placed.site._asdict(),
        time=placed.time,
        latitude=first["latitude"][vel_rows],
        longitude=first["longitude"][vel_rows],
        height=np.full(vel_rows.sum(), placed.site.radar_height),
        heights=[float(np.mean(first["height"][vel_rows]))],
        rv=first["value"][vel_rows][:, None],
        rv_err=options.velocity_error,
        rf=np.full((vel_rows.sum(), 1), np.nan),
        rf_err=options.reflectivity_error,
    )
    return dataclasses.replace(
        placed, dart=rows, wrfda=record, counts={"observations": rows["value"].size}
    )


def slow_step(path, options):
    """gate_step after a pause, so that both workers are busy when one is killed."""
    time.sleep(0.5)
    return gate_step(path, options)


def late_first_step(path, options):
    """gate_step, the first file given only after a long pause: it finishes last."""
    if os.path.basename(path).startswith("0_"):
        time.sleep(2.0)
    return gate_step(path, options)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("network")
    out = []
    for i, (radar, t0, _) in enumerate(VOLUMES):
        lat, lon, h = RADARS[radar]
        vol = synthetic_volume(
            radar_latitude=lat,
            radar_longitude=lon,
            radar_height=h,
            elevations=(0.5, 1.5),
            rays=36,
            gates=40,
            sweep_seconds=72.0,
            start=t0,
            seed=i,
            velocity_noise=1.0,
            missing=0.05,
        )
        vol.attrs["instrument_name"] = radar
        out.append(str(write_volume(vol, d / f"{i}_{radar}_{t0[11:].replace(':', '')}.nc")))
    return out


@pytest.fixture(scope="module")
def client():
    """A LocalCluster of two single-threaded worker processes, closed whatever happens."""
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


def contents(d):
    """The observation files of a directory: name -> bytes."""
    return {
        p.name: p.read_bytes()
        for p in sorted(d.iterdir())
        if p.name.startswith(("obs_seq.", "ob.radar."))
    }


def num_obs(data):
    """num_obs of a DART file's header."""
    line = next(x for x in data.decode().splitlines() if "num_obs:" in x)
    return int(line.split()[1])


WINDOW_CASES = [
    # (window, start, time, window name)
    ("15min", None, "2024-05-20T18:07:29.999", "202405201800"),
    ("15min", None, "2024-05-20T18:07:30", "202405201815"),
    ("15min", None, "2024-05-20T17:52:30", "202405201800"),
    ("1h", None, "2024-05-20T23:45", "202405210000"),
    ("6h", None, "2024-05-20T20:59", "202405201800"),
    ("6h", None, "2024-05-20T21:00", "202405210000"),
    ("15min", "2024-05-20T17:50", "2024-05-20T17:42:30", "202405201750"),
    ("10min", "2024-05-20T17:55", "2024-05-20T18:09:59", "202405201805"),
    ("10min", "2024-05-20T17:55", "2024-05-20T18:10", "202405201815"),
    ("7min", "2024-05-20T00:00", "2024-05-20T00:10:29", "202405200007"),
]


@pytest.mark.parametrize("window, start, t, name", WINDOW_CASES)
def test_window_of_a_time(window, start, t, name):
    """A time goes to the window [start, end) holding it, named by the window's centre."""
    w = network.Windows.make(window, start)
    k = w.index(np.datetime64(t, "ns"))
    assert w.name(k) == name
    assert w.start(k) <= np.datetime64(t, "ns") < w.end(k)
    assert w.end(k) - w.start(k) == network.parse_window(window)


@pytest.mark.parametrize(
    "window, start, match",
    [
        ("7min", None, "does not divide a day"),
        ("90s", None, "whole number of minutes"),
        ("0min", None, "positive"),
        ("soon", None, "duration"),
        ("15min", "2024-05-20T17:50:30", "whole minute"),
        ("15min", "not a time", "start must be a time"),
    ],
)
def test_bad_windows_refused(window, start, match):
    """Windows that cannot be named by a whole-minute centre are refused, naming why."""
    with pytest.raises(ValueError, match=match):
        network.Windows.make(window, start)


def test_before_start_is_outside():
    """With start, a time before the first window lies in no window."""
    w = network.Windows.make("15min", "2024-05-20T18:00")
    assert w.index(np.datetime64("2024-05-20T17:52:29", "ns")) is None
    assert w.index(np.datetime64("2024-05-20T17:52:30", "ns")) == 0


def local_tables(files, formats=("dart", "wrfda")):
    options = network.VolumeOptions(windows=network.Windows.make("15min"), formats=formats)
    return [gate_step(p, options) for p in files]


@pytest.mark.parametrize("fmt", ["dart", "wrfda"])
def test_window_file_independent_of_task_order(files, tmp_path, fmt):
    """A window's file has the same bytes whatever order its volumes' tables come in, and
    whether the WRFDA records were formatted by the tasks or by the writer, or some of each."""
    tables = local_tables(files)
    window = [t for t in tables if t.window == tables[1].window]
    assert len(window) == 5
    options = network.VolumeOptions(windows=network.Windows.make("15min"), formats=(fmt,))
    tasked = [network._task(t.path, options, gate_step) for t in window]
    if fmt == "wrfda":
        assert all(t.wrfda is None and t.wrfda_text for t in tasked)
    # the task's own share of the writing is timed beside the volume's steps
    assert all(t.timings["format"] > 0 for t in tasked)
    rng = np.random.default_rng(1)
    seen = set()
    for i in range(6):
        order = rng.permutation(len(window)) if i else np.arange(len(window))
        given = [window, tasked, [*tasked[:2], *window[2:]]][i % 3]
        path = tmp_path / f"{fmt}{i}"
        network._write_window(str(path), fmt, [given[j] for j in order], 0)
        seen.add(path.read_bytes())
    assert len(seen) == 1
    if fmt == "dart":
        data = seen.pop()
        assert num_obs(data) == sum(t.dart["value"].size for t in window)


def reading_error(path):
    """What reading the file raises, as '<exception class>: <message>'."""
    with pytest.raises(Exception) as e:
        network.read_volume(str(path))
    return f"{e.type.__name__}: {e.value}"


def run(files, out, **kw):
    return network.obs_windows(files, window="15min", out_dir=out, formats=("dart", "wrfda"), **kw)


@pytest.mark.parametrize("memory", [0, 3, None], ids=["disk", "both", "memory"])
def test_windows_counts_and_same_bytes_on_any_cluster(files, client, tmp_path, memory, monkeypatch):
    """Volumes of three radars go to the expected windows with their observations counted;
    the files are the same bytes on 2 workers with a shuffled completion order as on 1; the
    tables wait in memory up to the spool's budget and on disk beyond it, and nothing of that
    is left."""
    if memory == 3:  # room for about three volumes' tables
        memory = 3 * network._Spool._size(local_tables(files[:1])[0])
    if memory is not None:
        monkeypatch.setattr(network, "SPOOL_MEMORY", memory)
    done, spooled = [], []

    def progress(n, total, path):
        done.append(path)
        spooled.extend(tmp_path.glob("a/.radarkit-spool-*/*.pickle"))

    res = run(files, tmp_path / "a", client=client, step=late_first_step, progress=progress)
    on_disk = len(set(spooled))
    if memory is None:
        assert on_disk == 0
    elif memory == 0:
        assert on_disk == len(files)
    else:
        assert 0 < on_disk < len(files)
    assert sorted(os.listdir(tmp_path / "a")) == sorted([*contents(tmp_path / "a"), network.REPORT])
    assert done[0] != files[0] and sorted(done) == sorted(files)  # not in the order given
    expected = {}
    tables = dict(zip(files, local_tables(files)))
    for path, (_, _, name) in zip(files, VOLUMES):
        expected.setdefault(name, []).append(path)
    assert [w.name for w in res.windows] == sorted(expected)
    got = contents(tmp_path / "a")
    assert sorted(got) == sorted(f"{p}{n}" for n in expected for p in ("obs_seq.", "ob.radar."))
    for w in res.windows:
        assert sorted(w.volumes) == sorted(expected[w.name])
        want = sum(tables[p].dart["value"].size for p in expected[w.name])
        assert w.observations["dart"] == want == num_obs(got[f"obs_seq.{w.name}"])
        assert w.observations["wrfda"] == sum(
            tables[p].wrfda.latitude.size for p in expected[w.name]
        )
    assert res.failed == [] and res.outside == [] and not res.stopped
    one = run(files, tmp_path / "b", workers=1, step=gate_step)
    assert contents(tmp_path / "b") == got
    assert [w.observations for w in one.windows] == [w.observations for w in res.windows]


@pytest.mark.parametrize("on_error", ["skip", "stop"])
def test_bad_file_reported_and_written_around(files, client, tmp_path, on_error):
    """A file that cannot be read is named with its reason in the result and the JSON
    report; its window is written from the others (skip) or nothing is written (stop)."""
    junk = tmp_path / "junk.nc"
    junk.write_bytes(b"CDF\x01 not a radar volume")
    given = [*files[:3], str(junk), *files[3:]]
    res = run(given, tmp_path / "out", client=client, step=gate_step, on_error=on_error)
    assert [f.path for f in res.failed] == [str(junk)]
    assert res.failed[0].reason == reading_error(junk)
    report = json.loads((tmp_path / "out" / network.REPORT).read_text())
    assert report["failed"] == [{"path": str(junk), "reason": res.failed[0].reason}]
    assert report["stopped"] is (on_error == "stop")
    got = contents(tmp_path / "out")
    if on_error == "stop":
        assert res.stopped and got == {} and res.windows == []
    else:
        want = run(files, tmp_path / "clean", client=client, step=gate_step)
        assert got == contents(tmp_path / "clean")
        assert [w.volumes for w in res.windows] == [w.volumes for w in want.windows]


def fail_writing(monkeypatch, name, stage, code):
    """Writing the file `name` fails with errno `code`: half-way through its data (stage
    "write") or when it is flushed to disk ("fsync"). Returns the errno."""
    err = getattr(errno, code)

    def failing(fd):
        return os.path.basename(os.readlink(f"/proc/self/fd/{fd}")).startswith(f".{name}.")

    if stage == "write":
        write_all = _output._write_all

        def write_all_then_full(fd, data):
            if failing(fd):
                write_all(fd, memoryview(data).cast("B")[: len(data) // 2])
                raise OSError(err, os.strerror(err))
            write_all(fd, data)

        monkeypatch.setattr(_output, "_write_all", write_all_then_full)
    else:
        fsync = os.fsync

        def failing_fsync(fd):
            if failing(fd):
                raise OSError(err, os.strerror(err))
            fsync(fd)

        monkeypatch.setattr(_output.os, "fsync", failing_fsync)
    return err


@pytest.mark.parametrize(
    "name, stage, code",
    [
        ("obs_seq.202405201800", "write", "ENOSPC"),  # the disk fills up half-way
        ("ob.radar.202405201745", "fsync", "EIO"),  # the data never reach the disk
    ],
)
def test_window_file_not_written_is_reported(
    files, client, tmp_path, monkeypatch, name, stage, code
):
    """A window file whose writing fails is not left, not even in part; it is named with the
    reason in the result and the report; the other windows are written, the bytes of a clean
    run, and a rerun writes the one missing."""
    err = fail_writing(monkeypatch, name, stage, code)
    res = run(files, tmp_path / "out", client=client, step=gate_step)
    monkeypatch.undo()
    why = f"OSError: [Errno {err}] {os.strerror(err)}"
    path = str(tmp_path / "out" / name)
    assert res.unwritten == [(path, why)]
    [w] = [w for w in res.windows if name.endswith(w.name)]
    fmt = "dart" if name.startswith("obs_seq.") else "wrfda"
    assert w.errors == {fmt: why} and fmt not in w.observations
    assert all(not v.errors for v in res.windows if v is not w)
    report = json.loads((tmp_path / "out" / network.REPORT).read_text())
    assert report["unwritten"] == [{"path": path, "reason": why}]
    want = run(files, tmp_path / "clean", client=client, step=gate_step)
    clean = contents(tmp_path / "clean")
    assert contents(tmp_path / "out") == {k: v for k, v in clean.items() if k != name}
    left = sorted(os.listdir(tmp_path / "out"))  # no temporary file either
    assert left == sorted([*(k for k in clean if k != name), network.REPORT])
    assert len(res.windows) == len(want.windows) == 3
    again = run(files, tmp_path / "out", client=client, step=gate_step)
    assert contents(tmp_path / "out") == clean and again.unwritten == []


def test_cli_names_a_file_not_written(files, client, cli_step, tmp_path, capsys, monkeypatch):
    """radarkit network marks a window file it could not write as failed, names it with the
    reason and exits 1."""
    err = fail_writing(monkeypatch, "obs_seq.202405201815", "write", "ENOSPC")
    out = tmp_path / "out"
    argv = ["network", *files, "--out", str(out), "-q", "--scheduler", client.scheduler.address]
    assert cli_step.main(argv) == 1
    text, _ = capsys.readouterr()
    row = next(line.split() for line in text.splitlines() if line.startswith("202405201815"))
    assert row[2] == "failed"
    assert f"  {out / 'obs_seq.202405201815'}: OSError: [Errno {err}] " in text
    assert "1 file(s) could not be written:" in text


def test_rerun_skips_existing_windows_unless_overwrite(files, client, tmp_path):
    """A rerun keeps the windows whose files exist without processing their volumes; with
    overwrite it writes them again, the same bytes."""
    first = run(files, tmp_path, client=client, step=gate_step)
    keep = tmp_path / "obs_seq.202405201745"
    inode = keep.stat().st_ino
    before = contents(tmp_path)
    os.unlink(tmp_path / "ob.radar.202405201815")  # this window is then half there
    again = run(files, tmp_path, client=client, step=gate_step)
    assert keep.stat().st_ino == inode
    assert [w.existed for w in again.windows] == [True, True, False]
    assert [w.observations for w in again.windows][:2] == [{}, {}]
    assert set(again.windows[2].observations) == {"wrfda"}
    assert contents(tmp_path) == before
    forced = run(files, tmp_path, client=client, step=gate_step, overwrite=True)
    assert keep.stat().st_ino != inode and contents(tmp_path) == before
    assert [w.observations for w in forced.windows] == [w.observations for w in first.windows]


def test_killed_worker_gives_the_same_files(files, tmp_path):
    """A worker process killed mid-run: the scheduler reruns its tasks and the files are
    the bytes of an undisturbed run."""
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        pids = set(c.run(os.getpid).values())
        killed = []

        def kill_one(done, total, path):
            if not killed:
                victim = sorted(pids)[0]
                os.kill(victim, signal.SIGKILL)
                killed.append(victim)

        res = run(files, tmp_path / "killed", client=c, step=slow_step, progress=kill_one)
        c.wait_for_workers(2, timeout=60)
        now = set(c.run(os.getpid).values())
    assert killed and killed[0] not in now
    assert res.failed == []
    clean = run(files, tmp_path / "clean", workers=1, step=gate_step)
    assert contents(tmp_path / "killed") == contents(tmp_path / "clean")
    assert [w.volumes for w in res.windows] == [w.volumes for w in clean.windows]


TRIM = "MALLOC_TRIM_THRESHOLD_"


@pytest.mark.parametrize(
    "environ, in_workers",
    [
        (None, None),  # Dask's nanny would set 65536: glibc's adaptive thresholds kept
        ("65536", None),  # Dask's value left in this process by an earlier cluster
        ("262144", "262144"),  # the user's own setting is theirs
    ],
)
def test_own_cluster_keeps_glibc_malloc_thresholds(monkeypatch, environ, in_workers):
    """The LocalCluster obs_windows starts spawns its workers without Dask's malloc trim
    threshold; Dask's setting and the process environment are as they were afterwards, and a
    cluster of the caller's still gets Dask's value."""
    import dask.config

    key = f"distributed.nanny.pre-spawn-environ.{TRIM}"
    if environ is None:
        monkeypatch.delenv(TRIM, raising=False)
    else:
        monkeypatch.setenv(TRIM, environ)
    with network._client(None, 1) as c:
        got = set(c.run(os.environ.get, TRIM).values())
        assert dask.config.get(key) == 65536
    assert got == {in_workers}
    assert os.environ.get(TRIM) == environ
    monkeypatch.delenv(TRIM, raising=False)
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        assert set(c.run(os.environ.get, TRIM).values()) == {"65536"}


def test_interrupt_leaves_no_file(files, client, tmp_path):
    """An interrupt during the run leaves no observation file and no temporary file."""

    def interrupt(done, total, path):
        if done == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        run(files, tmp_path, client=client, step=gate_step, progress=interrupt)
    assert os.listdir(tmp_path) == []
    with contextlib.suppress(Exception):
        client.cancel(list(client.futures.values()))


def test_a_run_after_an_interrupted_one_on_the_same_client_is_whole(files, client, tmp_path):
    """Interrupting a run cancels its tasks; the next run on the same client computes every
    volume (none reported cancelled) and writes the bytes of an undisturbed run."""
    first = run(files, tmp_path / "first", client=client, step=gate_step)
    assert not first.failed

    def interrupt(done, total, path):
        if done == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        run(files, tmp_path / "cut", client=client, step=gate_step, progress=interrupt)
    again = run(files, tmp_path / "again", client=client, step=gate_step)
    assert again.failed == []
    assert contents(tmp_path / "again") == contents(tmp_path / "first")


def test_interrupt_while_writing_leaves_whole_files_only(files, client, tmp_path, monkeypatch):
    """An interrupt while the window files are written (two at a time) stops the writing: the
    file it hit is not there, the files already written or being written are whole (the bytes
    of a clean run) and no temporary file is left."""
    clean = run(files, tmp_path / "clean", client=client, step=gate_step)
    assert not clean.failed
    want = contents(tmp_path / "clean")
    write_all = _output._write_all
    name = "obs_seq.202405201800"

    def interrupted(fd, data):
        if os.path.basename(os.readlink(f"/proc/self/fd/{fd}")).startswith(f".{name}."):
            raise KeyboardInterrupt
        write_all(fd, data)

    monkeypatch.setattr(_output, "_write_all", interrupted)
    with pytest.raises(KeyboardInterrupt):
        run(files, tmp_path / "out", client=client, step=gate_step)
    monkeypatch.undo()
    got = contents(tmp_path / "out")
    assert name not in got and got.items() <= want.items()
    assert all(not n.startswith(".") for n in os.listdir(tmp_path / "out"))


@pytest.mark.parametrize(
    "kw, match",
    [
        ({"formats": ("dart", "grib")}, "formats"),
        ({"on_error": "ignore"}, "on_error"),
        ({"window": "7min"}, "does not divide a day"),
    ],
)
def test_bad_arguments_refused_before_any_work(files, tmp_path, kw, match):
    """Bad arguments are refused before a cluster starts or a file is written."""
    args = {"window": "15min", "out_dir": tmp_path / "out", "step": gate_step, **kw}
    with pytest.raises(ValueError, match=match):
        network.obs_windows(files, **args)
    assert not (tmp_path / "out").exists()


DEALIAS = importlib.util.find_spec("radarkit.dealias") is not None


@pytest.mark.skipif(DEALIAS, reason="radarkit.dealias is installed")
def test_without_dealiasing_folded_velocities_refused(files, tmp_path):
    """Without radarkit.dealias, a run on velocities that may be folded is refused before it
    starts, naming the way out."""
    with pytest.raises(ValueError, match=r"radarkit\.dealias is not available.*unfolded=True"):
        network.obs_windows(files, window="15min", out_dir=tmp_path / "out")
    assert not (tmp_path / "out").exists()


def superob_files(d, nyquist):
    """The volumes of VOLUMES, 360 rays of 200 gates (polar boxes of 5 km by 5 degrees hold
    100 gates), their velocities folded at `nyquist`."""
    out = []
    for i, (radar, t0, _) in enumerate(VOLUMES):
        lat, lon, h = RADARS[radar]
        vol = synthetic_volume(
            radar_latitude=lat,
            radar_longitude=lon,
            radar_height=h,
            elevations=(0.5, 1.5),
            rays=360,
            gates=200,
            sweep_seconds=72.0,
            start=t0,
            seed=i,
            velocity_noise=1.5,
            reflectivity_noise=2.0,
            missing=0.05,
            nyquist=nyquist,
        )
        vol.attrs["instrument_name"] = radar
        out.append(str(write_volume(vol, d / f"{i}_{radar}_{t0[11:].replace(':', '')}.nc")))
    return out


@pytest.fixture(scope="module")
def unfolded_files(tmp_path_factory):
    """Volumes whose Nyquist velocity is above any of their winds: nothing folds."""
    return superob_files(tmp_path_factory.mktemp("unfolded"), 40.0)


@pytest.fixture(scope="module")
def folded_files(tmp_path_factory):
    """Volumes folded at 8 m/s (winds up to about 20 m/s)."""
    return superob_files(tmp_path_factory.mktemp("folded"), 8.0)


@pytest.mark.parametrize(
    "layout, folded",
    [
        ({}, False),
        ({"spacing": 3000.0}, False),
        ({"range_step": 10000.0, "azimuth_step": 10.0, "min_count": 20}, False),
        ({}, True),
    ],
    ids=["polar 5km 5deg", "3km cells", "polar 10km 10deg", "dealiased, polar 5km 5deg"],
)
def test_same_files_as_to_obs_seq_and_to_wrfda_by_hand(request, client, tmp_path, layout, folded):
    """Each window's files are the bytes of to_obs_seq(..., superob=...) and to_wrfda on the
    window's volumes, given in the order the window lists them (dealiased by both where the
    velocities fold)."""
    if folded and not DEALIAS:
        pytest.skip("radarkit.dealias is not installed")
    files = request.getfixturevalue("folded_files" if folded else "unfolded_files")
    unfolded = not folded
    res = network.obs_windows(
        files,
        window="15min",
        out_dir=tmp_path / "net",
        formats=("dart", "wrfda"),
        client=client,
        unfolded=unfolded,
        **layout,
    )
    assert res.failed == [] and len(res.windows) == 3
    got = contents(tmp_path / "net")
    cells = {k: v for k, v in layout.items() if k in ("spacing", "min_count")}
    if "range_step" in layout:
        cells.pop("min_count", None)
    for w in res.windows:
        volumes = [network.read_volume(p) for p in w.volumes]
        dart_path, wrfda_path = tmp_path / f"d{w.name}", tmp_path / f"w{w.name}"
        to_obs_seq(
            volumes,
            dart_path,
            velocity_error=2.0,
            reflectivity_error=5.0,
            superob=layout or True,
            unfolded=unfolded,
        )
        to_wrfda(
            volumes,
            wrfda_path,
            velocity_error=2.0,
            reflectivity_error=5.0,
            unfolded=unfolded,
            min_count=layout.get("min_count") if "spacing" in layout else None,
            spacing=layout.get("spacing"),
        )
        assert got[f"obs_seq.{w.name}"] == dart_path.read_bytes()
        assert got[f"ob.radar.{w.name}"] == wrfda_path.read_bytes()
        assert w.observations["dart"] == num_obs(dart_path.read_bytes()) > 0


@pytest.fixture
def cli_step(monkeypatch):
    """`radarkit network` with gate_step as the per-volume task."""
    from radarkit import cli

    monkeypatch.setattr(
        network, "obs_windows", functools.partial(network.obs_windows, step=gate_step)
    )
    return cli


@pytest.mark.parametrize(
    "junk, on_error, code",
    [(False, "skip", 0), (True, "skip", 1), (True, "stop", 2)],
    ids=["clean", "bad file skipped", "bad file stops"],
)
def test_cli_summary_files_and_exit_status(
    files, client, cli_step, tmp_path, capsys, junk, on_error, code
):
    """radarkit network prints one line per window with what it wrote, names a failed file
    with its reason, and exits 0, 1 (volumes left out) or 2 (stopped, nothing written)."""
    given = list(files)
    if junk:
        (tmp_path / "junk.nc").write_bytes(b"CDF\x01 junk")
        given.insert(2, str(tmp_path / "junk.nc"))
    out = tmp_path / "out"
    argv = ["network", *given, "--out", str(out), "--wrfda", "--on-error", on_error, "-q"]
    assert cli_step.main([*argv, "--scheduler", client.scheduler.address]) == code
    text, _ = capsys.readouterr()
    got = contents(out)
    if code == 2:
        assert got == {} and "stopped" in text
    else:
        rows = [line.split() for line in text.splitlines() if line[:4] == "2024"]
        assert [r[0] for r in rows] == ["202405201745", "202405201800", "202405201815"]
        for r in rows:
            assert int(r[2]) == num_obs(got[f"obs_seq.{r[0]}"])
            assert r[4:] == [f"obs_seq.{r[0]}", f"ob.radar.{r[0]}"]
        assert [int(r[1]) for r in rows] == [1, 5, 2]
    if junk:
        assert (
            f"  {tmp_path / 'junk.nc'}: {reading_error(tmp_path / 'junk.nc')}" in text.splitlines()
        )
    assert ("failed" in text) == junk
    assert f"report: {out / network.REPORT}" in text


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--window", "7min"], "does not divide a day"),
        (["--start", "2024-05-20T18:00:30"], "whole minute"),
        ([], "radarkit.dealias is not available"),
    ],
)
def test_cli_bad_input_exit_2_nothing_written(files, tmp_path, capsys, argv, message):
    """Bad settings, or folded velocities without radarkit.dealias, exit 2 with one line and
    write nothing."""
    from radarkit import cli

    if not argv and DEALIAS:
        pytest.skip("radarkit.dealias is installed")
    code = cli.main(["network", *files, "--out", str(tmp_path / "out"), "-q", *argv])
    _, err = capsys.readouterr()
    assert code == 2 and message in err and err.startswith("radarkit network: ")
    assert not (tmp_path / "out").exists() or os.listdir(tmp_path / "out") == []


def test_cli_scheduler_or_workers(capsys):
    """network answers --help; --scheduler and --workers exclude each other; --workers needs
    a positive count."""
    from radarkit import cli

    with pytest.raises(SystemExit) as e:
        cli.main(["network", "--help"])
    assert e.value.code == 0 and "--on-error" in capsys.readouterr().out
    for argv in (["--scheduler", "tcp://x:1", "--workers", "2"], ["--workers", "0"]):
        with pytest.raises(SystemExit) as e:
            cli.build_parser().parse_args(["network", "f.nc", "--out", "d", *argv])
        assert e.value.code == 2


def test_url_read_through_a_temporary_copy(files, tmp_path, monkeypatch):
    """An fsspec URL is read through a temporary copy that is removed afterwards, giving
    the volume of the local file."""
    fsspec = pytest.importorskip("fsspec")
    monkeypatch.setattr(network.tempfile, "tempdir", str(tmp_path))
    with fsspec.open("memory://radar/volume.nc", "wb") as f:
        f.write(pathlib.Path(files[0]).read_bytes())
    try:
        got = network.read_volume("memory://radar/volume.nc")
    finally:
        fsspec.filesystem("memory").rm("memory://radar/volume.nc")
    want = network.read_volume(files[0])
    assert os.listdir(tmp_path) == []
    for name in ("sweep_0", "sweep_1"):
        assert got[name].ds["VRADH"].equals(want[name].ds["VRADH"])


def crashing_step(path, options):
    """gate_step, except that the process dies on the file of RADB at 18:01, as a reader
    crashing in compiled code would."""
    if "RADB_180100" in path:
        os._exit(1)
    return gate_step(path, options)


def test_volume_that_kills_its_worker_is_reported(files, tmp_path):
    """A volume whose task kills its worker every time is reported as failed once the
    scheduler gives up on it, and the windows are written from the other volumes."""
    import dask

    with (
        dask.config.set({"distributed.scheduler.allowed-failures": 1}),
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        res = run(files, tmp_path, client=c, step=crashing_step)
    crashed = next(p for p in files if "RADB_180100" in p)
    assert [f.path for f in res.failed] == [crashed]
    assert "KilledWorker" in res.failed[0].reason
    window = next(w for w in res.windows if w.name == "202405201800")
    assert crashed not in window.volumes and len(window.volumes) == 4


def unwritable_step(path, options):
    """gate_step, with a Nyquist velocity of NaN in the table of RADA at 17:56, which the
    DART writer refuses."""
    obs = gate_step(path, options)
    if "RADA_175600" in path and obs.dart is not None:
        obs.dart["nyquist"][obs.dart["type"] == dart.RADIAL_VELOCITY] = np.nan
    return obs


def test_table_the_writer_refuses_fails_its_volume(files, client, tmp_path):
    """A volume whose table the writer would refuse is reported with the writer's reason
    and its window is written from the others, not failed as a whole."""
    res = run(files, tmp_path / "out", client=client, step=unwritable_step)
    bad = next(p for p in files if "RADA_175600" in p)
    assert [f.path for f in res.failed] == [bad] and "nyquist must be finite" in res.failed[
        0
    ].reason
    window = next(w for w in res.windows if w.name == "202405201800")
    assert bad not in window.volumes and len(window.volumes) == 4


def test_cli_runs_process_volume_as_the_library_does(unfolded_files, client, tmp_path, capsys):
    """radarkit network with superobservation settings writes the files obs_windows writes
    with the same settings."""
    from radarkit import cli

    argv = ["network", *unfolded_files, "--out", str(tmp_path / "cli"), "--wrfda", "-q"]
    argv += ["--unfolded", "--superob", "10km,10deg", "--min-count", "20", "--max-spread", "5"]
    assert cli.main([*argv, "--scheduler", client.scheduler.address]) == 0
    network.obs_windows(
        unfolded_files,
        window="15min",
        out_dir=tmp_path / "lib",
        formats=("dart", "wrfda"),
        client=client,
        unfolded=True,
        boxes="polar",
        range_step=10000.0,
        azimuth_step=10.0,
        min_count=20,
        max_spread=5.0,
    )
    got, want = contents(tmp_path / "cli"), contents(tmp_path / "lib")
    assert got == want and len(got) == 6
    assert "3 window(s), 8 volume(s)" in capsys.readouterr().out
