import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED_DATA = ROOT.parent / "shared" / "data"

ABC = "A\tr\tB\nB\ts\tC\nC\tr\tB\n"


@pytest.fixture
def write_kg(tmp_path):
    """Writes a triple file (str as UTF-8, or raw bytes) and returns its path as str."""
    counter = iter(range(10**6))

    def write(content, name=None):
        path = tmp_path / (name or f"kg{next(counter)}.tsv")
        path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
        return str(path)

    return write


@pytest.fixture
def abc_path(write_kg):
    return write_kg(ABC)


def shared_data(name):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip(f"{path} is not present")
    return str(path)


def random_graph(rng, nodes, triples):
    labels = [f"Q{i}" if i % 5 else f"nœud {i}" for i in range(nodes)]
    relations = ["P31", "P279", "rel✓", "", "r r"]
    lines = []
    for _ in range(triples):
        head = 0 if rng.random() < 0.3 else rng.randrange(nodes)
        tail = head if rng.random() < 0.1 else rng.randrange(nodes)
        line = f"{labels[head]}\t{rng.choice(relations)}\t{labels[tail]}"
        lines.append(line)
        if rng.random() < 0.1:
            lines.append(line)
    return "\n".join(lines) + "\n"


def answering_ctrl_c(command):
    """`command` for a child that a test sends SIGINT: a process started in the background by a
    non-interactive shell ignores SIGINT, and its children would inherit that; this child takes it again.
    A fresh interpreter restores it and execs the command, since a preexec_fn would run Python in a fork
    of this process, whose other threads (xdist's, the module's, PyTorch's) may hold a lock it needs."""
    restore = (
        "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])"
    )
    return [sys.executable, "-c", restore, *command]


class interrupt_after:
    """Sends this process SIGINT from another process after `seconds`, as a
    Ctrl-C at the terminal would (a thread of ours could not: it would wait
    for the interpreter lock that the interrupted call holds). A process
    started in the background by a non-interactive shell ignores SIGINT;
    Python's own handler is put back meanwhile. The sender notes the wall
    clock as it signals, so that a test can bound how long the call took to
    answer, whatever a loaded machine took to start the sender.

    `blocked_in`: the kernel function (as /proc/PID/wchan names it) where this
    process's main thread waits for the call to be interrupted; the signal is
    sent once it waits there (or after 5 s more), since a signal that comes
    before a blocking system call does not interrupt it."""

    def __init__(self, seconds, blocked_in=None):
        self.previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        descriptor, self.sent_file = tempfile.mkstemp(prefix="vantrel-sigint-")
        os.close(descriptor)
        pid = os.getpid()
        waiting = f"[ \"$(cat /proc/{pid}/wchan 2>/dev/null)\" = {blocked_in} ]"
        wait = f"for i in $(seq 500); do {waiting} && break; sleep 0.01; done; " if blocked_in else ""
        self.killer = subprocess.Popen(
            ["sh", "-c", f"sleep {seconds}; {wait}date +%s.%N > '{self.sent_file}'; kill -INT {pid}"]
        )

    def seconds_since_signal(self):
        return time.time() - float(pathlib.Path(self.sent_file).read_text())

    def cancel(self):
        if self.killer.poll() is None:
            self.killer.kill()
        self.killer.wait()
        signal.signal(signal.SIGINT, self.previous)
        os.unlink(self.sent_file)
