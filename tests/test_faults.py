"""The module when the world around it fails: a server that goes away in the
middle of a call or never speaks, and objects that outlive the interpreter or
die in a cycle or on another thread."""

import contextlib
import ctypes
import gc
import os
import re
import json
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import weakref
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import paramiko
import pytest

from conftest import (C, QUAL, assert_released, catch, connected, key_line, module_entries, resources, run_fresh,
                      settle)
from servers import SFTPTestServer
from servers.hosting import EmbeddedServer

# Temporary files are looked for in a temporary directory of the test's own.
pytestmark = pytest.mark.usefixtures("private_tempdir")

BOUND = 60.0  # generous for slow CI machines: every call here ends within seconds
# Sparse, so cheap to make; moving it takes far longer than the server's own
# shutdown, which lets running sessions go on for up to 5 s.
BIG = 4 << 30
UNDER_WAY = 1 << 20


def under_way(path: Path) -> bool:
    return path.is_file() and path.stat().st_size > UNDER_WAY


def filling(local: Path) -> list[Path]:
    """What a download into local is filling: files named there, and (Linux) files without a name there
    that this process holds open, reached through /proc; on Windows the module's named file in the
    caller's temporary directory."""
    found = list(local.iterdir())
    if os.name == "nt":
        found += Path(tempfile.gettempdir()).glob(".sftp_main-*.part")
    for fd in os.listdir("/proc/self/fd") if sys.platform == "linux" else []:
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith(f"{local}{os.sep}"):
                found.append(Path("/proc/self/fd", fd))
        except OSError:
            pass  # closed meanwhile
    return found


class Background(threading.Thread):
    """Runs call once; outcome is its result or the exception it raised."""

    def __init__(self, call: Callable[[], Any]) -> None:
        super().__init__(daemon=True)
        self.call, self.ended, self.outcome = call, 0.0, None

    def run(self) -> None:
        try:
            self.outcome = self.call()
        except BaseException as exc:
            self.outcome = exc
        self.ended = time.monotonic()


@pytest.fixture
def local(tmp_path: Path, embedded_server: EmbeddedServer) -> Iterator[Path]:
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
def test_server_stopped_in_mid_call(embedded_server: EmbeddedServer, local: Path, how: str,
                                    operation: str, line: int) -> None:
    if how == "killed" and sys.platform == "win32" and hasattr(ctypes.WinDLL("ntdll"), "wine_get_version"):
        pytest.skip("under Wine a killed process's sockets can outlive it in wineserver, so the client may "
                    "never see the connection end")
    before = resources(sockets_only=True)
    obj, calls = connected(embedded_server), 0
    if operation == "_upload":
        with open(local / "big", "wb") as f:
            f.truncate(BIG)
        call = lambda: obj._upload(str(local / "big"), "big")
        moving = lambda: any(under_way(p) for p in embedded_server.root.glob(".sftp_main-*.part"))
    elif operation == "_download":
        with open(embedded_server.root / "big", "wb") as f:
            f.truncate(BIG)
        call = lambda: obj._download("big", str(local / "big"))
        # paramiko's get asks for all of a file's blocks ahead at once, and on a
        # file this big its first bytes sometimes wait for a minute: the
        # download counts as under way once the module's temporary file is
        # there, and is given a few seconds to move data before the stop.
        moving = lambda: any(filling(local))
    else:
        def call() -> Any:  # repeated until one raises, so that the stop meets one in flight
            nonlocal calls
            while True:
                getattr(obj, operation)("/")
                calls += 1
        moving = lambda: calls > 100
    worker = Background(call)
    worker.start()
    settle(moving, BOUND)
    if operation == "_download":
        settle(lambda: any(under_way(p) for p in filling(local)), 5.0)
    assert moving() and worker.is_alive(), (worker.outcome, list(local.iterdir()))
    stopped = time.monotonic()
    if how == "killed":
        embedded_server.kill()
    embedded_server.stop()
    worker.join(BOUND)
    assert not worker.is_alive() and worker.ended - stopped < BOUND
    if line:  # a forwarding call lets the client's error through
        assert isinstance(worker.outcome, (paramiko.SSHException, EOFError, OSError)), repr(worker.outcome)
        assert module_entries(worker.outcome) == [(QUAL + operation, line)]
        again = Background(lambda: getattr(obj, operation)("/"))
    else:
        assert worker.outcome is False
        again = Background(call)
    assert list(local.iterdir()) == ([local / "big"] if operation == "_upload" else [])  # no partial file
    again.start()
    again.join(BOUND)  # the dead session answers, it does not wait
    assert isinstance(again.outcome, Exception) if line else again.outcome is False
    try:
        assert obj._close() is None
    except (paramiko.SSHException, EOFError, OSError) as exc:
        # When the transport has not yet seen the connection end, closing the
        # channel tries to send and fails; the error comes through as written,
        # and the transport is closed all the same.
        assert module_entries(exc) == [(QUAL + "_close", 97)]
    assert_released(before, sockets_only=True)


@pytest.mark.parametrize("case", ["silent", "silent, timeout", "silent jump host, timeout",
                                  "unanswered connect, timeout"])
def test_server_that_never_speaks(case: str) -> None:
    """Without a timeout paramiko's banner timeout (15 s) ends the wait; a
    timeout of 1.5 s ends every wait, also the jump host's, within seconds."""
    before = resources(sockets_only=True)
    with contextlib.ExitStack() as stack:
        listener = stack.enter_context(socket.socket())
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        config: dict[str, Any] = {"host": "127.0.0.1", "port": port, "user": "u", "password": "p"}
        if case.startswith("unanswered"):
            # Waiting connections fill a backlog of 0: the kernel then drops
            # further connection requests unanswered.
            for _ in range(2):
                waiting = stack.enter_context(socket.socket())
                waiting.setblocking(False)
                waiting.connect_ex(("127.0.0.1", port))
        if "timeout" in case:
            config["timeout"] = 1.5
        if "jump" in case:
            config.update(host="192.0.2.1", ssh=True, ssh_host="127.0.0.1", ssh_port=port, ssh_user="u",
                          ssh_password="p")
        obj = None if "jump" in case else C(config)  # a jump host is reached in the construction
        attempt = Background(lambda: C(config) if obj is None else obj._connect())
        started = time.monotonic()
        attempt.start()
        attempt.join(BOUND)
        took = attempt.ended - started
        assert not attempt.is_alive() and (took < 5 if "timeout" in case else 14 < took < BOUND), took
    if case.startswith("unanswered"):
        assert type(attempt.outcome) is TimeoutError
        assert module_entries(attempt.outcome) == [(QUAL + "_connect", 92)]
    else:
        assert type(attempt.outcome) is paramiko.SSHException
        assert str(attempt.outcome) == "Error reading SSH protocol banner"
        method, line = ("_connect", 93) if obj is not None else ("__init__", 27)
        assert module_entries(attempt.outcome) == [(QUAL + method, line)]
    assert obj is None or "_sftp" not in vars(obj)
    assert_released(before, sockets_only=True)


@contextlib.contextmanager
def stopped(server: SFTPTestServer) -> Iterator[None]:
    """The processes that answer the server's connections stopped within the
    block: the embedded server answers them itself, sshd forks them."""
    server.pause()
    try:
        yield
    finally:
        server.resume()


@pytest.mark.parametrize("later", ["stopped", "answering again"])
def test_server_stopped_after_login(sftp_server: SFTPTestServer, tmp_path: Path, later: str) -> None:
    """With a timeout of 1.5 s a call on a server that stopped answering ends
    within seconds.  The connection is then closed: a late answer would be
    taken for the answer to the next request, so every later call fails at
    once, also once the server answers again, and closing releases
    everything."""
    before = resources(sockets_only=True)
    (tmp_path / "up").write_bytes(b"data")
    obj = C(dict(sftp_server.config(), timeout=1.5))
    obj._connect()
    assert obj._upload(str(tmp_path / "up"), "up") is True
    outcomes = []
    with contextlib.ExitStack() as stack:
        stack.enter_context(stopped(sftp_server))
        for call in (lambda: obj._stat("up"), lambda: obj._normalize("."),
                     lambda: obj._upload(str(tmp_path / "up"), "again"),
                     lambda: obj._download("up", str(tmp_path / "down")), obj._close):
            worker = Background(call)
            started = time.monotonic()
            worker.start()
            worker.join(BOUND)
            assert not worker.is_alive() and worker.ended - started < 5, worker.ended - started
            outcomes.append(worker.outcome)
            if later == "answering again":
                stack.close()
        assert_released(before, sockets_only=True)
    stat_error, closed_error, *answers = outcomes
    assert type(stat_error) is TimeoutError and module_entries(stat_error) == [(QUAL + "_stat", 121)]
    assert type(closed_error) is OSError and str(closed_error) == "Socket is closed"
    assert answers == [False, False, None] and not (tmp_path / "down").exists()


@pytest.mark.parametrize("operation, line, amid", [
    ("_stat", 121, "answer"), ("_mkdir", 113, "answer"), ("_upload", 132, "answer"), ("_download", 139, "answer"),
    # put's own clean-up then waits for an answer to a request the server never
    # got whole: only a timeout (or a second Ctrl-C) ends that wait.
    ("_upload", 132, "request")])
def test_interrupt_closes_the_connection(sftp_server: SFTPTestServer, tmp_path: Path, operation: str, line: int,
                                         amid: str) -> None:
    """A Ctrl-C between the bytes of one packet, after the length of an
    answer or amid a write request: the interrupt goes on as it came, and the
    connection is closed, since the stream is out of step.  Every later call
    fails at once; _close releases everything, and _connect makes a new
    connection."""
    before = resources(sockets_only=True)
    (tmp_path / "up").write_bytes(b"data")
    (tmp_path / "big").write_bytes(bytes(100_000))
    obj = C(dict(sftp_server.config(), timeout=1.5)) if amid == "request" else connected(sftp_server)
    if amid == "request":
        obj._connect()
    assert obj._upload(str(tmp_path / "up"), "up") is True
    client, interrupt = obj._sftp, KeyboardInterrupt()
    if amid == "answer":
        read_all = client._read_all

        def cut(n: int) -> bytes:
            del client._read_all
            read_all(n)  # the length of the answer; its body stays unread
            raise interrupt
        client._read_all = cut
    else:
        channel = client.sock
        send = channel.send

        def cut(data: bytes) -> int:
            if len(data) < 1000:
                return send(data)
            del channel.send
            send(data[:len(data) // 2])
            raise interrupt
        channel.send = cut
    args = {"_stat": ("up",), "_mkdir": ("new",), "_upload": (str(tmp_path / "big"), "again"),
            "_download": ("up", str(tmp_path / "down"))}[operation]
    exc = catch(getattr(obj, operation), *args)
    assert exc is interrupt and module_entries(exc) == [(QUAL + operation, line)]
    later = Background(lambda: (catch(obj._stat, "up"), obj._upload(str(tmp_path / "up"), "up")))
    started = time.monotonic()
    later.start()
    later.join(BOUND)
    assert not later.is_alive() and later.ended - started < 5, later.ended - started
    closed_error, answer = later.outcome
    assert type(closed_error) is OSError and str(closed_error) == "Socket is closed" and answer is False
    assert obj._close() is None
    obj._connect()
    assert obj._stat("up").st_size == 4 and not (tmp_path / "down").exists()
    obj._close()
    assert_released(before, sockets_only=True)
    # Cut short amid the bytes, an upload leaves its temporary file by its hidden name alone.
    left = sorted(n for n in os.listdir(sftp_server.root) if n not in ("up", "new"))
    assert len(left) == (operation == "_upload" and amid == "request")
    assert all(re.fullmatch(r"\.sftp_main-[0-9a-f]{32}\.part", n) for n in left), left


_KILLED_MID_UPLOAD = """
obj = C(dict(cfg)); obj._connect()
(obj._upload if {how!r} == "module" else obj._sftp.put)({big!r}, "target")
"""


@pytest.mark.parametrize("how", ["module", "put"])
def test_client_killed_mid_upload(sftp_server: SFTPTestServer, tmp_path: Path, how: str) -> None:
    """A client killed (SIGKILL) amid the bytes of an upload leaves the old remote file whole; put's
    truncation has lost it by then."""
    if sys.platform == "win32":
        pytest.skip("SIGKILL is POSIX")
    (tmp_path / "big").write_bytes(os.urandom(64 << 20))
    old = sftp_server.root / "target"
    old.write_bytes(b"old bytes")
    os.chown(old, getattr(sftp_server, "uid", os.getuid()), getattr(sftp_server, "gid", os.getgid()))
    code = "import sftp_main\nC = sftp_main.VornaxSFTPMain\n" + _KILLED_MID_UPLOAD.format(how=how, big=str(tmp_path / "big"))
    from conftest import _PRELUDE
    env = {**os.environ, "SERVER_CONFIG": json.dumps(sftp_server.config())}
    child = subprocess.Popen([sys.executable, "-P", "-c", _PRELUDE + code], env=env, stdout=subprocess.PIPE,
                             cwd=tempfile.gettempdir())
    settle(lambda: any(under_way(p) for p in sftp_server.root.iterdir()), BOUND)
    child.kill()
    child.wait()
    assert (old.read_bytes() == b"old bytes") is (how == "module")


@pytest.mark.parametrize("given", ["its own keys", "ssh-keyscan lines", "another key", "a key of another type"])
def test_host_key(sftp_server: SFTPTestServer, given: str) -> None:
    """Its own key, of each type it has, lets a server in and makes that the
    type negotiated, also as ssh-keyscan prints it, host field plain or
    hashed; any other key is refused at the login line."""
    before = resources(sockets_only=True)
    config = dict(sftp_server.config(), timeout=BOUND)  # the timeout is the deadline of each wait
    if given in ("its own keys", "ssh-keyscan lines"):
        if given == "its own keys":
            keys = sftp_server.host_keys()
            assert "ssh-ed25519" in keys
            lines = [(kind, line + " tester@scan") for kind, line in keys.items()]
        else:
            if shutil.which("ssh-keyscan") is None:
                pytest.skip("ssh-keyscan (the OpenSSH client) is missing")
            scans = [subprocess.run(["ssh-keyscan", *hashed, "-p", str(sftp_server.port), "-t", "ed25519",
                                     sftp_server.host], capture_output=True, text=True, timeout=60, check=True)
                     for hashed in ([], ["-H"])]
            lines = [(line.split()[1], line) for scan in scans for line in scan.stdout.splitlines()
                     if not line.startswith("#")]
            (_, plain), (_, hashed) = lines
            assert plain.split()[0] == f"[{sftp_server.host}]:{sftp_server.port}" and hashed.startswith("|1|")
        for kind, line in lines:
            obj = C(dict(config, host_key=line))
            obj._connect()
            assert obj._sftp.get_channel().get_transport().get_remote_server_key().get_name() == kind
            assert obj._normalize(".") == sftp_server.remote_root
            obj._close()
    else:
        obj = C(dict(config, host_key=key_line("ssh-ed25519" if given == "another key" else "ssh-rsa")))
        exc = catch(obj._connect)
        assert isinstance(exc, paramiko.SSHException) and module_entries(exc) == [(QUAL + "_connect", 93)]
        assert str(exc) == ("Bad host key from server" if given == "another key"
                            else "Incompatible ssh peer (no acceptable host key)")
        assert "_sftp" not in vars(obj)
        # paramiko leaves the handshake timer of a failed key exchange to run
        # out by itself (after the timeout); it holds nothing else.
        for timer in [t for t in threading.enumerate() if isinstance(t, threading.Timer)]:
            timer.cancel()
    assert_released(before, sockets_only=True)


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
    # Half-built objects of failed constructions, and clients whose close fails, die quietly too.
    "failed-and-broken": """
        import types
        for bad in (None, {}, 5):
            try:
                C(bad)
            except Exception:
                pass
        obj = C(dict(cfg)); obj._sftp = obj._ssh = types.SimpleNamespace(close=lambda: 1 / 0)
        kept = C(dict(cfg)); kept._sftp = kept._ssh = obj._sftp
        del obj""",
    # The interpreter stops a daemon thread at exit in the middle of its calls.
    # The session may end under the thread first; its error is the thread's
    # own affair (Python would print it), so the thread ends quietly on it.
    "busy-on-a-thread": """
        import threading, time
        obj = C(dict(cfg)); obj._connect()
        def spin():
            try:
                while True:
                    obj._normalize(".")
            except Exception:
                pass
        threading.Thread(target=spin, daemon=True).start()
        time.sleep(0.3)""",
}


@pytest.mark.parametrize("state", list(EXIT_STATES))
def test_objects_alive_at_interpreter_exit(embedded_server: EmbeddedServer, state: str) -> None:
    fresh = run_fresh("import sftp_main\nC = sftp_main.VornaxSFTPMain\n" + textwrap.dedent(EXIT_STATES[state]),
                      server=embedded_server)
    assert (fresh.returncode, fresh.stdout, fresh.stderr) == (0, "", "")


# A daemon thread inside each kind of call when the main thread returns: the
# interpreter ends such a thread as it wakes during finalisation, by an
# unwinding that must pass through every frame of the module.  A "last"
# client makes the module's reference to it the last one, and its finaliser
# waits for the GIL, so the thread ends inside the module's drop of it.
BUSY_AT_EXIT = {
    "_download": 'obj._download("big", os.path.join(work, "down"))',
    "_upload": 'obj._upload(os.path.join(work, "big"), "up")',
    "_stat": 'obj._stat("big")',
    "_connect": "obj._connect()",
    "_download, lock wait": 'obj._download("big", os.path.join(work, "held"))',
    "_remove, last": 'obj._sftp = Last(obj); obj._remove("x")',
    "_download, last": 'obj._sftp = Last(obj); obj._download("x", os.path.join(work, "down"))',
    "_upload, last": 'obj._sftp = Last(obj); obj._upload(os.path.join(work, "big"), "up")',
    "__del__, last": "other = C(dict(cfg)); other._sftp = Last(other); del other",
}
EXIT_RUNS = 15


@pytest.mark.parametrize("operation", list(BUSY_AT_EXIT))
def test_daemon_thread_in_a_call_at_interpreter_exit(embedded_server: EmbeddedServer, tmp_path: Path,
                                                     operation: str) -> None:
    data = os.urandom(4 << 20)
    (embedded_server.root / "big").write_bytes(data)
    (tmp_path / "big").write_bytes(data)
    (tmp_path / "held").write_bytes(b"")
    if operation.endswith("lock wait") and os.name == "nt":
        pytest.skip("Windows takes no lock on the destination")
    code = f"""
        import os, threading, time, weakref, sftp_main
        C = sftp_main.VornaxSFTPMain
        work = {str(tmp_path)!r}
        class Last:
            def __init__(self, owner): self.owner = weakref.ref(owner)
            def __del__(self, sleep=time.sleep): sleep(0.002)
            def drop(self, *args): del self.owner()._sftp
            remove = get = put = close = drop
        if os.name != "nt":  # a download into "held" waits for the lock, sleeping between tries
            import fcntl
            fcntl.flock(os.open(os.path.join(work, "held"), os.O_RDONLY), fcntl.LOCK_EX)
        obj = C(dict(cfg, timeout=60)); obj._connect()
        def loop():
            try:
                while True:
                    {BUSY_AT_EXIT[operation]}
            except Exception:
                pass
        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.3)"""
    codes = [run_fresh(code, server=embedded_server).returncode for _ in range(EXIT_RUNS)]
    # A negative code is the signal that ended the process.
    assert codes == [0] * EXIT_RUNS, f"{EXIT_RUNS - codes.count(0)} of {EXIT_RUNS} ended otherwise: {codes}"


@pytest.mark.parametrize("state", ["configured", "connected", "closed"])
@pytest.mark.parametrize("where", ["cycle", "other-thread", "cycle-on-other-thread"])
def test_destruction_in_a_cycle_or_on_another_thread(embedded_server: EmbeddedServer, unraisable: list[Any],
                                                     state: str, where: str) -> None:
    before = resources(sockets_only=True)
    obj: Any = C(embedded_server.config()) if state == "configured" else connected(embedded_server)
    if state == "closed":
        obj._close()
    gone = weakref.ref(obj)
    if where.startswith("cycle"):
        obj.me = obj
    holder = [obj]
    del obj
    drop = Background(lambda: (holder.clear(), gc.collect()))
    if where.endswith("other-thread"):
        drop.start()
        drop.join(BOUND)
    else:
        drop.run()
    assert gone() is None and unraisable == [] and not isinstance(drop.outcome, BaseException)
    assert_released(before, sockets_only=True)  # the finaliser closed the session


@pytest.mark.parametrize("step", ["local open", 1, 2, 3, 4, 5, 6])
def test_interrupt_at_each_step_of_an_upload(sftp_server: SFTPTestServer, tmp_path: Path,
                                             monkeypatch: pytest.MonkeyPatch, step: Any) -> None:
    """A Ctrl-C at the local open or at any request of an upload over a 0640 file (lstat, open, close,
    stat, set-mode, rename) goes on as it came: no plain put after it, the old bytes kept, at most the
    hidden temporary file left."""
    if not hasattr(os, "chown"):
        pytest.skip("the scene counts the set-mode a POSIX mode needs")
    (tmp_path / "up").write_bytes(b"new bytes")
    old = sftp_server.root / "target"
    old.write_bytes(b"old bytes")
    old.chmod(0o640)
    os.chown(old, getattr(sftp_server, "uid", os.getuid()), getattr(sftp_server, "gid", os.getgid()))
    obj = connected(sftp_server)
    client, request, count = obj._sftp, obj._sftp._request, [0]

    def cut(*args: Any) -> Any:
        count[0] += 1
        if count[0] == step:
            raise KeyboardInterrupt
        return request(*args)
    client._request = cut
    if step == "local open":
        import io
        monkeypatch.setattr(io, "open", lambda *a: (_ for _ in ()).throw(KeyboardInterrupt()))
    assert type(catch(obj._upload, str(tmp_path / "up"), "target")) is KeyboardInterrupt
    monkeypatch.undo()
    obj._close()
    left = [n for n in os.listdir(sftp_server.root) if n != "target"]
    assert old.read_bytes() == b"old bytes" and len(left) <= 1
    assert all(re.fullmatch(r"\.sftp_main-[0-9a-f]{32}\.part", n) for n in left)
