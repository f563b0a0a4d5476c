"""The module when the world around it fails: a server that goes away in the
middle of a call or never speaks, objects that outlive the interpreter or
die in a cycle or on another thread, and sub-interpreters."""

from __future__ import annotations

import gc
import json
import os
import signal
import socket
import sys
import textwrap
import threading
import time
import traceback
import weakref
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import paramiko
import pytest

from conftest import C, MODULE_FILE, QUAL, run_fresh
from servers.embedded import EmbeddedSFTPServer
from servers.fixtures import embedded_server  # noqa: F401

# Generous for slow CI machines: every call here ends within seconds.
BOUND = 60.0
# Sparse, so cheap to make; moving it takes far longer than the server's own
# shutdown, which lets running sessions go on for up to 5 s.
BIG = 4 << 30
UNDER_WAY = 1 << 20


def baseline() -> tuple[int, int, int]:
    """Threads, paramiko transport threads and sockets of this process."""
    fds = Path("/proc/self/fd")
    sockets = sum(os.readlink(fds / fd).startswith("socket:") for fd in os.listdir(fds) if (fds / fd).exists())
    transports = sum(isinstance(t, paramiko.Transport) for t in threading.enumerate())
    return threading.active_count(), transports, sockets


def settle(predicate: Callable[[], bool], timeout: float = 10.0) -> None:
    """Gives transport threads the moment they need to notice a close."""
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.02)


def assert_nothing_left(before: tuple[int, int, int]) -> None:
    gc.collect()
    settle(lambda: baseline() == before)
    assert baseline() == before


def module_entry(exc: BaseException) -> tuple[str, int | None]:
    (entry,) = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == MODULE_FILE]
    return entry


def connected(server: EmbeddedSFTPServer) -> Any:
    obj = C(server.config())
    obj._connect()
    return obj


def sparse(path: Path) -> Path:
    with open(path, "wb") as f:
        f.truncate(BIG)
    return path


def under_way(path: Path) -> bool:
    return path.is_file() and path.stat().st_size > UNDER_WAY


class Background(threading.Thread):
    """Runs call once; outcome is its result or the exception it raised."""

    def __init__(self, call: Callable[[], Any]) -> None:
        super().__init__(daemon=True)
        self.call, self.ended = call, 0.0
        self.outcome: Any = None

    def run(self) -> None:
        try:
            self.outcome = self.call()
        except BaseException as exc:
            self.outcome = exc
        self.ended = time.monotonic()


@pytest.fixture
def local(tmp_path: Path, embedded_server: EmbeddedSFTPServer) -> Iterator[Path]:
    """A local directory; the big files go when the test ends, since pytest
    keeps the temporary directories of recent runs."""
    (tmp_path / "local").mkdir()
    yield tmp_path / "local"
    for path in (tmp_path / "local" / "big", embedded_server.root / "big"):
        path.unlink(missing_ok=True)


@pytest.mark.parametrize("how", ["terminated", "killed"])
@pytest.mark.parametrize("operation, line", [
    ("_upload", 0),
    # paramiko's read-ahead thread dies with the connection and reports it
    # itself; the module's call still answers False.
    pytest.param("_download", 0, marks=pytest.mark.filterwarnings(
        "ignore::pytest.PytestUnhandledThreadExceptionWarning")),
    ("_stat", 121), ("_chdir", 127)])
def test_server_stopped_in_mid_call(embedded_server: EmbeddedSFTPServer, local: Path, how: str,
                                    operation: str, line: int) -> None:
    before = baseline()
    obj = connected(embedded_server)
    calls = 0
    if operation == "_upload":
        source = sparse(local / "big")
        call = lambda: obj._upload(str(source), "big")
        moving = lambda: under_way(embedded_server.root / "big")
    elif operation == "_download":
        sparse(embedded_server.root / "big")
        call = lambda: obj._download("big", str(local / "big"))
        moving = lambda: any(under_way(p) for p in local.iterdir())   # the module's temporary file
    else:
        def call() -> Any:    # repeated until one raises, so that the stop meets one in flight
            nonlocal calls
            while True:
                getattr(obj, operation)("/")
                calls += 1
        moving = lambda: calls > 100
    worker = Background(call)
    worker.start()
    settle(moving, BOUND)
    assert moving() and worker.is_alive(), (worker.outcome, list(local.iterdir()))
    stopped = time.monotonic()
    if how == "killed" and embedded_server.pid is not None:
        os.kill(embedded_server.pid, signal.SIGKILL)
    embedded_server.stop()
    worker.join(BOUND)
    assert not worker.is_alive() and worker.ended - stopped < BOUND
    if line:    # a forwarding call lets the client's error through
        assert isinstance(worker.outcome, (paramiko.SSHException, EOFError, OSError)), repr(worker.outcome)
        assert module_entry(worker.outcome) == (QUAL + operation, line)
        again = Background(lambda: getattr(obj, operation)("/"))
    else:
        assert worker.outcome is False
        again = Background(call)
    assert list(local.iterdir()) == ([local / "big"] if operation == "_upload" else [])  # no partial file
    again.start()
    again.join(BOUND)    # the dead session answers, it does not wait
    assert isinstance(again.outcome, Exception) if line else again.outcome is False
    assert obj._close() is None
    assert_nothing_left(before)


def test_server_that_never_speaks() -> None:
    """paramiko's banner timeout (15 s) ends the wait; the module adds none of its own."""
    before = baseline()
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        obj = C({"host": "127.0.0.1", "port": listener.getsockname()[1], "user": "u", "password": "p"})
        attempt = Background(obj._connect)
        started = time.monotonic()
        attempt.start()
        attempt.join(BOUND)
        assert not attempt.is_alive() and attempt.ended - started < BOUND
        listener.accept()[0].close()
    assert type(attempt.outcome) is paramiko.SSHException
    assert str(attempt.outcome) == "Error reading SSH protocol banner"
    assert module_entry(attempt.outcome) == (QUAL + "_connect", 93)
    assert "_sftp" not in vars(obj)
    assert_nothing_left(before)


EXIT_STATES = {
    "configured": "obj = C(dict(cfg))",
    "connected": "obj = C(dict(cfg)); obj._connect()",
    "closed": "obj = C(dict(cfg)); obj._connect(); obj._close()",
    "in-a-cycle": "obj = C(dict(cfg)); obj._connect(); obj.me = obj; del obj",
    "refused-login": """
        obj = C(dict(cfg, password="wrong"))
        try:
            obj._connect()
        except Exception:
            pass""",
    # The interpreter stops a daemon thread at exit in the middle of its calls.
    "busy-on-a-thread": """
        import threading, time
        obj = C(dict(cfg)); obj._connect()
        def spin():
            while True:
                obj._normalize(".")
        threading.Thread(target=spin, daemon=True).start()
        time.sleep(0.3)""",
}


@pytest.mark.parametrize("state", list(EXIT_STATES))
def test_objects_alive_at_interpreter_exit(embedded_server: EmbeddedSFTPServer, state: str) -> None:
    fresh = run_fresh("import json, sftp_main\nC = sftp_main.VornaxSFTPMain\ncfg = json.loads(os.environ['CFG'])\n"
                      + textwrap.dedent(EXIT_STATES[state]), env={"CFG": json.dumps(embedded_server.config())})
    assert (fresh.returncode, fresh.stdout, fresh.stderr) == (0, "", "")


@pytest.fixture
def unraisable(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    gc.collect()    # garbage of earlier tests is theirs
    seen: list[str] = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(f"{u.exc_type.__name__}: {u.exc_value}"))
    return seen


@pytest.mark.parametrize("state", ["configured", "connected", "closed"])
@pytest.mark.parametrize("where", ["cycle", "other-thread", "cycle-on-other-thread"])
def test_destruction_in_a_cycle_or_on_another_thread(embedded_server: EmbeddedSFTPServer, unraisable: list[str],
                                                     state: str, where: str) -> None:
    before = baseline()
    obj: Any = C(embedded_server.config()) if state == "configured" else connected(embedded_server)
    if state == "closed":
        obj._close()
    gone = weakref.ref(obj)
    if where.startswith("cycle"):
        obj.me = obj
    holder = [obj]
    del obj

    def drop() -> None:
        holder.clear()
        gc.collect()
    if where.endswith("other-thread"):
        thread = threading.Thread(target=drop)
        thread.start()
        thread.join(BOUND)
    else:
        drop()
    assert gone() is None and unraisable == []
    assert_nothing_left(before)    # the finaliser closed the session


def test_main_interpreter_keeps_working_after_subinterpreters(embedded_server: EmbeddedSFTPServer) -> None:
    fresh = run_fresh("""
        import _interpreters, json, sftp_main
        cfg = json.loads(os.environ["CFG"])
        live = sftp_main.VornaxSFTPMain(dict(cfg)); live._connect()
        for kind in ("legacy", "isolated"):
            i = _interpreters.create(kind)
            emit(_interpreters.exec(i, "import sftp_main").type.__name__)
            _interpreters.destroy(i)
        emit([live._mkdir("/made"), live._normalize("/made/..")])
        new = sftp_main.VornaxSFTPMain(dict(cfg)); new._connect()
        emit([new._stat("/made").st_mode >> 12, new._rmdir("/made")])
        live._close(); new._close()
    """, env={"CFG": json.dumps(embedded_server.config())})
    assert fresh.results == ["ImportError", "ImportError", [True, "/"], [0o4, True]], fresh.stderr
    assert (fresh.returncode, fresh.stderr) == (0, "")
