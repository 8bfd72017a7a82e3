"""Safe destinations of every file the package writes: a path written atomically
through a temporary file, or a binary file object the caller owns; and the one
result type of the writers."""

from __future__ import annotations

import io
import os
import re
import stat
import tempfile
import threading
from types import TracebackType
from typing import Any, NamedTuple


class WriteResult(NamedTuple):
    """What a writer put in its file.

    Attributes
    ----------
    written : int
        Observations (DART records, WRFDA columns) written to the file.
    skipped : int
        Observations left out: DART observations whose value or error is not
        finite; always 0 for WRFDA files, which write missing values as such.
    """

    written: int
    skipped: int


def _umask() -> int:
    # /proc gives the mask without changing it; os.umask would change it for
    # every thread of the process for a moment.
    try:
        with open("/proc/self/status") as f:
            found = re.search(r"^Umask:\s+([0-7]+)", f.read(), re.M)
        if found:
            return int(found.group(1), 8)
    except OSError:
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _write_all(fd: int, data: Any) -> None:
    view = memoryview(data).cast("B")
    while view:
        view = view[os.write(fd, view) :]


def _hold(path: str) -> int | None:
    """A descriptor of the regular file at path, if there is one that can be opened."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOFOLLOW)
    except (OSError, AttributeError):
        return None
    try:
        if stat.S_ISREG(os.fstat(fd).st_mode):
            return fd
    except OSError:
        pass
    os.close(fd)
    return None


def _release(fd: int) -> None:
    # A replaced file's blocks are freed when its last descriptor closes, which
    # takes long for a large file: done by a helper thread once the new file is
    # in place, so that the caller does not wait for it.
    try:
        threading.Thread(target=os.close, args=(fd,), name="radarkit-release", daemon=True).start()
    except RuntimeError:  # no thread to be had
        os.close(fd)


class Output:
    """Where a writer's bytes go.

    For a path: a temporary file beside the target (same file system); commit()
    flushes it to disk and renames it over the target, abort() removes it, so
    the target is either the old file or the complete new one. A path that
    names a device or a pipe (/dev/null, a FIFO) is written in place, as a file
    object: a temporary file renamed over it would replace the device node
    itself. For a binary
    file object: bytes are written at its current position, commit() flushes,
    abort() cuts the object back to where writing started when it can seek.
    Offsets given to tell() and patch() count from the first byte written.

    As a context manager, a normal exit commits and an exception (a
    KeyboardInterrupt included) aborts::

        with Output(path) as out:
            out.write(b"...")
    """

    target: str
    start: int | None

    def __init__(self, path: Any, *, seekable: bool = False, name: str = "path") -> None:
        self.fd: int | None = None
        self.tmp: str | None = None
        self.file: Any = None
        self.done = False
        self.size = 0
        self.behind: threading.Thread | None = None
        self.error: BaseException | None = None
        self.owned = False  # the file object is a device or pipe this Output opened
        if isinstance(path, (str, bytes, os.PathLike)):
            # a symlink keeps pointing at the file
            target = os.fsdecode(os.path.realpath(os.fspath(path)))
            if os.path.isdir(target):
                raise IsADirectoryError(f"{name} is a directory: {os.fsdecode(path)!r}")
            try:
                st = os.stat(target)
                mode = st.st_mode & 0o7777
            except FileNotFoundError:
                st = None
                mode = 0o666 & ~_umask()
            if st is not None and not stat.S_ISREG(st.st_mode):
                self._open_in_place(target, os.fsdecode(path), seekable, name)
                return
            head, tail = os.path.split(os.fsdecode(target))
            self.fd, self.tmp = tempfile.mkstemp(prefix=f".{os.fsdecode(tail)}.", dir=head)
            self.target = target
            try:
                os.fchmod(self.fd, mode)  # mkstemp creates 0600
            except BaseException:
                self.abort()
                raise
            return
        if not callable(getattr(path, "write", None)) or isinstance(path, io.TextIOBase):
            raise TypeError(f"{name} must be a str, an os.PathLike or a binary file object")
        is_seekable = bool(getattr(path, "seekable", lambda: False)())
        if seekable and not is_seekable:
            raise ValueError(f"{name} must be a path or a seekable binary file object")
        self.file = path
        self.start = path.tell() if is_seekable else None

    def _open_in_place(self, target: str, given: str, seekable: bool, name: str) -> None:
        fd = os.open(target, os.O_WRONLY | os.O_CLOEXEC)
        file = io.FileIO(fd, "wb", closefd=True)
        if seekable and not file.seekable():
            file.close()
            raise ValueError(
                f"{name} {given!r} is a pipe: this file is written out of order and needs a "
                "regular file or a seekable device"
            )
        self.file = file
        self.owned = True
        self.target = target
        self.start = file.tell() if file.seekable() else None

    def _close_owned(self) -> None:
        if self.owned:
            self.owned = False
            self.file.close()

    def write(self, data: Any) -> None:
        self.wait()
        if self.fd is not None:
            _write_all(self.fd, data)
        else:
            view = memoryview(data).cast("B")
            while view:  # a raw file object may take fewer bytes than given
                taken = self.file.write(view)
                view = view[len(view) if taken is None else taken :]
        self.size += memoryview(data).nbytes

    def write_behind(self, data: Any) -> None:
        """Like write(), for large blocks of text: to a path, the block is written
        by a helper thread while the caller prepares the next one (one block in
        flight). Errors surface at the next write_behind(), patch() or commit()."""
        if self.fd is None:
            self.write(data)
            return
        self.wait()
        fd, at = self.fd, self.size

        def run() -> None:
            try:
                _write_all(fd, data)
                if hasattr(os, "posix_fadvise"):
                    # Starts the disk writing these pages now instead of all at
                    # the final fsync, and keeps them out of the page cache.
                    os.posix_fadvise(fd, at, len(data), os.POSIX_FADV_DONTNEED)
            except BaseException as e:
                self.error = e

        self.size += memoryview(data).nbytes
        self.behind = threading.Thread(target=run, name="radarkit-writer", daemon=True)
        self.behind.start()

    def wait(self) -> None:
        """Waits for the block in flight; raises its error."""
        if self.behind is not None:
            self.behind.join()
            self.behind = None
        if self.error is not None:
            error, self.error = self.error, None
            raise error

    def tell(self) -> int:
        return self.size

    def patch(self, offset: int, data: bytes) -> None:
        """Overwrites bytes already written, at `offset` from the start."""
        self.wait()
        if self.fd is not None:
            view = memoryview(data)
            while view:
                view = view[os.pwrite(self.fd, view, offset + len(data) - len(view)) :]
        else:
            assert self.start is not None  # seekable: checked on opening
            end = self.file.tell()
            self.file.seek(self.start + offset)
            self.file.write(data)
            self.file.seek(end)

    def commit(self) -> None:
        try:
            self.wait()
            if self.fd is not None:
                os.fsync(self.fd)
                os.close(self.fd)
                self.fd = None
                old = _hold(self.target)
                assert self.tmp is not None
                try:
                    os.replace(self.tmp, self.target)
                except BaseException:
                    if old is not None:
                        os.close(old)
                    raise
                self.tmp = None
                self.done = True
                if old is not None:
                    _release(old)
                # The rename is the commit; making the directory entry durable is
                # best effort (some file systems refuse fsync on a directory).
                try:
                    dfd = os.open(os.path.dirname(self.target), os.O_RDONLY)
                    try:
                        os.fsync(dfd)
                    finally:
                        os.close(dfd)
                except OSError:
                    pass
            else:
                flush = getattr(self.file, "flush", None)
                if flush is not None:
                    flush()
                self._close_owned()
                self.done = True
        except BaseException:
            self.abort()
            raise

    def abort(self) -> None:
        """Leaves the destination as it was before; never raises OSError."""
        if self.done:
            return
        self.done = True
        interrupted = False
        while self.behind is not None and self.behind.is_alive():
            try:
                self.behind.join()  # it writes to self.fd, which must stay open until it ends
            except KeyboardInterrupt:
                interrupted = True
        self.behind = None
        if self.fd is not None:
            try:
                os.close(self.fd)
            except OSError:
                pass
            self.fd = None
        if self.tmp is not None:
            try:
                os.unlink(self.tmp)
            except OSError:
                pass
            self.tmp = None
        if self.file is not None and self.start is not None and not self.owned:
            try:
                self.file.seek(self.start)
                self.file.truncate()
            except (OSError, ValueError):
                pass
        if self.owned:
            try:
                self._close_owned()
            except OSError:
                pass
        if interrupted:
            raise KeyboardInterrupt

    def __enter__(self) -> Output:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if kind is None:
            self.commit()
        else:
            self.abort()

    def __del__(self) -> None:
        # A writer dropped without commit or abort must not leave its temporary file.
        if not getattr(self, "done", True):
            self.abort()
