"""The files the commands write, each as a shell redirection or cp would write it, whole or not at all.

- A symbolic link is followed: the file it leads to is replaced, and the link stays.
- A regular file, or a name that is nothing yet, is written under a temporary name beside it (".XXXXXXXX.NAME",
  ending as the name does) and renamed over it once complete: a file replaced keeps its mode (without set-id
  bits), and its owner and group where this process may give them; a new file is made as the umask says (0666
  less the umask).
- /dev/fd/N (and /dev/stdout, /proc/self/fd/N) is written through a duplicate of descriptor N, at its position.
- A FIFO or a device is written straight into (opening a FIFO waits for its reader), a Unix socket connected to.
- On an error, Ctrl-C or a signal, the temporary files are removed and nothing is renamed.

Both vantrel-walks and vantrel-embed write every file through `written_whole`, and refuse with `refuse_inputs`
an output that is a file they read.
"""

from __future__ import annotations

import contextlib
import errno
import os
import signal
import socket
import stat
import tempfile
import threading
from collections.abc import Iterator
from typing import BinaryIO

from vantrel_cli.common import UsageError

# As the kernel follows at most 40 links in a path (ELOOP).
MOST_LINKS = 40


@contextlib.contextmanager
def signals_deferred() -> Iterator[None]:
    """Defers SIGINT, SIGTERM and SIGHUP for the block: one arriving meanwhile is noted, and raised again once the
    block ends, to the handler there was. Python runs signal handlers in the main thread alone, whichever thread
    the signal reached, so swapping its handlers (not masking the signals) is what defers them; elsewhere, and for
    a handler set outside Python, nothing is deferred."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived: list[int] = []
    handlers = {}
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(number) is not None:
            handlers[number] = signal.signal(number, lambda number, frame: arrived.append(number))
    try:
        yield
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
        for number in arrived:
            signal.raise_signal(number)


def named_descriptor(path: str) -> int | None:
    """The descriptor N that `path` names when it is /dev/fd/N or /proc/self/fd/N (or the same under
    /proc/thread-self or this process's own number), else None."""
    for prefix in ("/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/", f"/proc/{os.getpid()}/fd/"):
        number = path[len(prefix):]
        if path.startswith(prefix) and number.isascii() and number.isdigit():
            return int(number)
    return None


def current_umask() -> int:
    """The process's umask, read without setting it (os.umask can only read it by setting it, which would race
    with other threads creating files)."""
    try:
        with open("/proc/self/status", encoding="ascii", errors="replace") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return 0o022


class Output:
    """One output being written: `file` takes the bytes, or `name` names where they go, for writers that open a
    path themselves; commit() puts them in place, discard() leaves no trace of them (for a file replaced)."""

    def __init__(self, path: str) -> None:
        """Records the output; open() opens it, so that whoever holds the Output can discard what a signal
        arriving during the opening leaves."""
        self.path = path
        self.temporary: str | None = None
        self._file: BinaryIO | None = None

    def open(self) -> None:
        at = self.path
        for _ in range(MOST_LINKS + 1):
            descriptor = named_descriptor(at)
            if descriptor is not None:
                self._file = open(os.dup(descriptor), "wb", buffering=0)
                return
            try:
                status = os.lstat(at)
            except OSError:
                break  # a new file, or the error its creation gives
            if stat.S_ISREG(status.st_mode) or stat.S_ISDIR(status.st_mode):
                break
            if stat.S_ISSOCK(status.st_mode):
                connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                try:
                    connection.connect(at)
                except BaseException:
                    connection.close()
                    raise
                self._file = open(connection.detach(), "wb", buffering=0)
                return
            if not stat.S_ISLNK(status.st_mode):
                # A FIFO's or a device's own node, written straight into.
                self._file = open(os.open(at, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC), "wb", buffering=0)
                return
            target = os.readlink(at)
            at = target if target.startswith("/") else os.path.join(os.path.dirname(at), target)
        else:
            raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), self.path)
        self.replaced = at
        self._file = self._temporary_beside(at)

    @property
    def name(self) -> str:
        """A path that opening for writing writes where `file` does: the temporary file, or the descriptor."""
        return self.temporary if self.temporary is not None else f"/dev/fd/{self.file.fileno()}"

    @property
    def file(self) -> BinaryIO:
        """Where the bytes go, once open() has opened it."""
        if self._file is None:
            raise ValueError(f"{self.path} is not open")
        return self._file

    def _temporary_beside(self, path: str) -> BinaryIO:
        directory, name = os.path.split(path)
        # ".XXXXXXXX.NAME": it ends as the name does, for writers that go by the suffix (gensim compresses
        # a .gz); a name near the longest allowed is cut short at its start, and the random part keeps it unique.
        with signals_deferred():
            # Created and recorded in one step: a signal between the two would leave a file no one removes.
            descriptor, self.temporary = tempfile.mkstemp(prefix=".", suffix="." + name[-200:],
                                                          dir=directory or ".")
        try:
            mode = 0o666 & ~current_umask()
            try:
                replaced = os.stat(path)
            except OSError:
                replaced = None
            if replaced is not None and stat.S_ISREG(replaced.st_mode):
                # A file replaced keeps its mode, and its owner and group where this process may give them:
                # rewriting a private file must not widen who can read it. No set-id bits: this is no program.
                try:
                    os.fchown(descriptor, replaced.st_uid, replaced.st_gid)
                except OSError:
                    with contextlib.suppress(OSError):
                        os.fchown(descriptor, -1, replaced.st_gid)
                mode = replaced.st_mode & 0o777
            os.fchmod(descriptor, mode)
            return open(descriptor, "wb")
        except BaseException:
            os.close(descriptor)
            os.remove(self.temporary)
            self.temporary = None
            raise

    def commit(self) -> None:
        """Closes the output; a file replaced is renamed into place."""
        try:
            if self._file is not None:
                self._file.close()  # reports write errors that some file systems (NFS) only see then
            if self.temporary is not None:
                os.replace(self.temporary, self.replaced)
                self.temporary = None
        finally:
            self.discard()

    def discard(self) -> None:
        """Closes the output and removes what a failed write left."""
        if self._file is not None:
            with contextlib.suppress(OSError):
                self._file.close()
        if self.temporary is not None:
            with contextlib.suppress(OSError):
                os.remove(self.temporary)
            self.temporary = None


@contextlib.contextmanager
def written_whole(*paths: str) -> Iterator[list[Output]]:
    """The outputs of `paths`, opened in order; when the block ends without an exception, each is put in place in
    order, and otherwise none is, and no temporary file is left."""
    outputs: list[Output] = []
    try:
        for path in paths:
            outputs.append(Output(path))
            outputs[-1].open()
        yield outputs
        for output in outputs:
            output.commit()
    finally:
        for output in outputs:
            output.discard()


def same_file(a: str, b: str) -> bool:
    """Whether paths a and b name one existing file, links followed."""
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


def refuse_inputs(outputs: list[tuple[str, str, str]], inputs: list[tuple[str | None, str]]) -> None:
    """UsageError where an output would replace a file the command reads, links followed. `outputs` holds each
    output's (path, how the message names it, what it would be replaced by); `inputs` each input's (path or None
    for none given, how the message names it). An input directory's files are its own."""
    for path, subject, product in outputs:
        for given, name in inputs:
            if given is None or given == "-":
                continue
            if same_file(path, given):
                raise UsageError(f"{subject} is {name}: it would be replaced by {product}")
            if os.path.isdir(given):
                try:
                    entries = os.listdir(given)
                except OSError:
                    continue
                for entry in entries:
                    if same_file(path, os.path.join(given, entry)):
                        raise UsageError(f"{subject} is {entry!r} of {name} {given}: it would be replaced by "
                                         f"{product}")
