"""radarkit._output, the one way files are written: the writers fail without leaving
anything behind (the target is the old file or absent, no temporary file is left,
however the write fails), and Output as a context manager commits or aborts."""

import errno
import io
import os
import stat
import subprocess
import threading

import numpy as np
import pytest

from radarkit import dart, wrfda

pytestmark = pytest.mark.python_layer


def dart_obs(n=3000):
    rng = np.random.default_rng(1)
    return {
        "type": "DOPPLER_RADIAL_VELOCITY",
        "value": rng.normal(0, 10, n),
        "error": 2.0,
        "longitude": rng.uniform(-98, -96, n),
        "latitude": rng.uniform(34, 36, n),
        "height": rng.uniform(0, 9000, n),
        "time": np.datetime64("2024-05-20T21:35:00") + np.arange(n).astype("timedelta64[s]"),
        "radar_longitude": -97.278,
        "radar_latitude": 35.333,
        "radar_height": 370.0,
        "azimuth": rng.uniform(0, 360, n),
        "elevation": 0.5,
        "nyquist": 28.5,
    }


def wrfda_radars(n=2000, L=10):
    rng = np.random.default_rng(2)
    return [
        wrfda.Radar(
            name="KTLX",
            radar_longitude=-97.278,
            radar_latitude=35.333,
            radar_height=370.0,
            time="2024-05-20_21:35:00",
            latitude=rng.uniform(34, 36, n),
            longitude=rng.uniform(-98, -96, n),
            height=np.full(n, 370.0),
            heights=np.linspace(500, 10000, L),
            rv=rng.normal(0, 10, (n, L)),
            rv_err=2.0,
            rf=rng.uniform(0, 60, (n, L)),
            rf_err=2.0,
        )
    ]


def write_dart(path, chunk_size=500, **kw):
    return dart.write_obs_seq(path, dart_obs(), chunk_size=chunk_size, **kw)


def write_writer(path):
    obs = dart_obs()
    with dart.ObsSeqWriter(path, chunk_size=500) as w:
        for a in range(0, 3000, 1000):
            w.write(**{k: (v[a : a + 1000] if np.ndim(v) else v) for k, v in obs.items()})


def write_wrfda(path):
    return wrfda.write_radar_obs(path, wrfda_radars())


WRITERS = [write_dart, write_writer, write_wrfda]
IDS = ["write_obs_seq", "ObsSeqWriter", "write_radar_obs"]


@pytest.fixture
def full_after(monkeypatch, tmp_path):
    """os.write into files under tmp_path fails with ENOSPC after k bytes."""

    def arm(k):
        real = os.write
        left = [k]

        def write(fd, data):
            if not os.readlink(f"/proc/self/fd/{fd}").startswith(str(tmp_path)):
                return real(fd, data)
            if left[0] <= 0:
                raise OSError(errno.ENOSPC, "No space left on device")
            n = real(fd, memoryview(data)[: left[0]])
            left[0] -= n
            return n

        monkeypatch.setattr(os, "write", write)

    return arm


@pytest.mark.parametrize("old", [None, b"old contents\n"], ids=["new", "replace"])
@pytest.mark.parametrize("k", [0, 100, 5000, 400_000])
@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_write_failing_part_way_leaves_target_as_it_was(tmp_path, full_after, writer, k, old):
    """A write failing part way (disk full) leaves the target as it was."""
    path = tmp_path / "out"
    if old is not None:
        path.write_bytes(old)
    full_after(k)
    with pytest.raises(OSError) as info:
        writer(path)
    assert info.value.errno == errno.ENOSPC
    assert os.listdir(tmp_path) == ([] if old is None else ["out"])
    if old is not None:
        assert path.read_bytes() == old


@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_interrupt_part_way_leaves_target_as_it_was(tmp_path, monkeypatch, writer):
    """An interrupt part way leaves the target as it was and no temporary file."""
    path = tmp_path / "out"
    path.write_bytes(b"old")
    calls = [0]
    real = os.write

    def write(fd, data):
        calls[0] += 1
        if calls[0] == 3:
            raise KeyboardInterrupt
        return real(fd, data)

    monkeypatch.setattr(os, "write", write)
    with pytest.raises(KeyboardInterrupt):
        writer(path)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["out"]


class FailingFile(io.BytesIO):
    def __init__(self, k):
        super().__init__(b"kept prefix")
        self.seek(0, io.SEEK_END)
        self.left = k

    def write(self, data):
        data = bytes(data)
        if len(data) > self.left:
            raise OSError(errno.EIO, "I/O error")
        self.left -= len(data)
        return super().write(data)


@pytest.mark.parametrize("k", [0, 300, 20_000])
@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_file_object_failing_part_way_is_cut_back(writer, k):
    """A file object is cut back to where writing started when a write fails."""
    f = FailingFile(k)
    with pytest.raises(OSError):
        writer(f)
    assert f.getvalue() == b"kept prefix"


@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_file_object_and_path_give_the_same_bytes(tmp_path, writer):
    """Writing to a file object gives the bytes of writing to a path."""
    f = io.BytesIO(b"prefix")
    f.seek(0, io.SEEK_END)
    writer(f)
    writer(tmp_path / "out")
    assert f.getvalue() == b"prefix" + (tmp_path / "out").read_bytes()


@pytest.fixture
def tiny_fs(tmp_path):
    """A 64 KiB tmpfs, where the system lets this process mount one."""
    mnt = tmp_path / "tiny"
    mnt.mkdir()
    try:
        subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mnt)],
            check=True,
            capture_output=True,
        )
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"cannot mount a small tmpfs here (needs root): {e}")
    yield mnt
    subprocess.run(["umount", str(mnt)], check=True)


@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_real_full_file_system(tiny_fs, writer):
    """On a really full file system the target stays as it was."""
    path = tiny_fs / "out"
    path.write_bytes(b"old")
    with pytest.raises(OSError) as info:
        writer(path)
    assert info.value.errno == errno.ENOSPC
    assert path.read_bytes() == b"old" and os.listdir(tiny_fs) == ["out"]


@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_permissions_symlinks_and_directories(tmp_path, writer):
    """New files get the umask, replaced files keep their mode, symlinks are followed."""
    new = tmp_path / "new"
    writer(new)
    mask = os.umask(0o022)
    os.umask(mask)
    assert stat.S_IMODE(new.stat().st_mode) == 0o666 & ~mask
    old = tmp_path / "old"
    old.write_bytes(b"x")
    old.chmod(0o640)
    link = tmp_path / "link"
    link.symlink_to(old)
    writer(link)
    assert link.is_symlink() and old.read_bytes() == new.read_bytes()
    assert stat.S_IMODE(old.stat().st_mode) == 0o640
    with pytest.raises(IsADirectoryError):
        writer(tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["link", "new", "old"]


def test_interrupt_from_progress_callback(tmp_path):
    """An interrupt raised by the progress callback leaves no file."""
    path = tmp_path / "out"
    seen = []

    def progress(done, total):
        seen.append((done, total))
        if done >= 1000:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        write_dart(path, progress=progress)
    assert seen == [(500, 3000), (1000, 3000)] and os.listdir(tmp_path) == []


def open_paths():
    paths = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            paths.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass  # the descriptor of the listing itself
    return paths


@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_replaced_file_is_let_go(tmp_path, writer):
    """No descriptor of a replaced file stays open after the write."""
    # the old file is closed by a helper thread after the rename: no descriptor
    # of it may stay open, and the new file is complete when the call returns
    path = tmp_path / "out"
    path.write_bytes(b"old contents\n" * 1000)
    writer(path)
    new = path.read_bytes()
    for t in threading.enumerate():
        if t.name == "radarkit-release":
            t.join()
    assert not [p for p in open_paths() if p.startswith(str(tmp_path))]
    writer(tmp_path / "again")
    assert (tmp_path / "again").read_bytes() == new
    assert sorted(os.listdir(tmp_path)) == ["again", "out"]


@pytest.mark.parametrize("fails", [False, True])
def test_output_context_commits_on_exit_and_aborts_on_exception(tmp_path, fails):
    """A normal exit puts the whole file in place; an exception leaves the old one alone."""
    from radarkit._output import Output

    path = tmp_path / "out.csv"
    path.write_bytes(b"old\n")
    try:
        with Output(path) as out:
            out.write(b"new,")
            assert path.read_bytes() == b"old\n"  # nothing shows before the end
            out.write(memoryview(b"file\n"))
            if fails:
                raise KeyboardInterrupt
    except KeyboardInterrupt:
        pass
    assert path.read_bytes() == (b"old\n" if fails else b"new,file\n")
    assert os.listdir(tmp_path) == ["out.csv"]


def special_file(tmp_path, kind):
    """A FIFO, or a null character device node (root only), in tmp_path."""
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(path)
    else:
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("making a device node needs root")
    return path


@pytest.mark.parametrize("kind", ["fifo", "null"])
@pytest.mark.parametrize("writer", WRITERS, ids=IDS)
def test_a_device_or_pipe_is_written_in_place(tmp_path, writer, kind):
    """A path naming a device or a FIFO (/dev/null, a pipe to another program) receives the
    bytes through itself; it is not replaced by a regular file (a temporary file renamed over
    /dev/null would put an ordinary file in its place). A writer that goes back to patch its
    file refuses a pipe, before writing anything."""
    path = special_file(tmp_path, kind)
    writer(tmp_path / "regular")
    want = (tmp_path / "regular").read_bytes()
    got = []
    reader = threading.Thread(target=lambda: got.append(path.read_bytes()), daemon=True)
    if kind == "fifo":
        reader.start()
    if kind == "fifo" and writer is write_writer:
        with pytest.raises(ValueError, match="is a pipe"):
            writer(path)
    else:
        writer(path)
    if kind == "fifo":
        reader.join(10)
        assert not reader.is_alive()
        assert got == [b"" if writer is write_writer else want]
    is_kind = stat.S_ISFIFO if kind == "fifo" else stat.S_ISCHR
    assert is_kind(os.lstat(path).st_mode)
    assert sorted(os.listdir(tmp_path)) == sorted([kind, "regular"])
