"""The test servers themselves (every end-to-end test exercises them): they
refuse a wrong password, end with the process that started them, and stop
cleanly on Ctrl-C or SIGTERM."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import IO

import paramiko
import pytest

import sftp_main

from conftest import settle
from servers import SFTPTestServer
from servers.hosting import descendants, is_gone, kill_pids, openssh_missing

PROJECT_ROOT = Path(__file__).resolve().parent.parent


def test_wrong_password_is_refused(sftp_server: SFTPTestServer) -> None:
    transport = paramiko.Transport((sftp_server.host, sftp_server.port))
    try:
        with pytest.raises(paramiko.AuthenticationException):
            transport.connect(username=sftp_server.user, password=sftp_server.password + "x")
    finally:
        transport.close()


# Started in a parent process of its own, which the test then kills.
PARENT_SCRIPT = """
import os, sys, time
sys.path.insert(0, os.getcwd())  # the project (an embedded Windows interpreter adds no directory for -c)
if sys.argv[1] == "embedded":
    from servers.hosting import EmbeddedServer
    server = EmbeddedServer(sys.argv[2])
else:
    from servers.openssh import OpenSSHServer
    server = OpenSSHServer()
server.start()
print(server.pid, flush=True)
time.sleep(120)
"""


@pytest.mark.parametrize("kind", ["embedded", "openssh"])
def test_server_exits_when_its_parent_dies(kind: str, tmp_path: Path) -> None:
    if kind == "openssh" and openssh_missing():
        pytest.skip(openssh_missing())
    (tmp_path / "root").mkdir()
    parent = subprocess.Popen([sys.executable, "-c", PARENT_SCRIPT, kind, str(tmp_path / "root")],
                              stdout=subprocess.PIPE, cwd=Path(__file__).resolve().parent.parent, text=True)
    pids: list[int] = []
    try:
        assert parent.stdout is not None
        line = parent.stdout.readline()  # bounded by the server's own start-up timeout
        assert line, "the parent process failed to start the server"
        pids = [int(line), *descendants(int(line))]
        assert not is_gone(pids[0])
        parent.kill()  # SIGKILL, or TerminateProcess on Windows
        parent.wait(timeout=10)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and not all(map(is_gone, pids)):
            time.sleep(0.1)
        assert [pid for pid in pids if not is_gone(pid)] == []
    finally:
        parent.kill()
        parent.wait(timeout=10)
        kill_pids([pid for pid in pids if not is_gone(pid)])


def read_banner(stdout: IO[str]) -> dict[str, str]:
    """The fields the foreground server prints, up to its host key (bounded
    by the server's own start-up, as above)."""
    shown: dict[str, str] = {}
    while "host_key" not in shown:
        line = stdout.readline()
        assert line, f"the server ended before showing its host key: {shown}"
        key, _, value = line.strip().partition(": ")
        shown[key.rstrip(":")] = value.strip()
    return shown


@pytest.mark.skipif(sys.platform == "win32", reason="Windows has no signal that asks a process to stop")
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("foreground", [True, False], ids=["foreground", "controlled"])
def test_embedded_server_stops_cleanly_on_a_signal(foreground: bool, sig: signal.Signals, tmp_path: Path) -> None:
    """With a client connected (and, controlled, its standard input still
    open): exit 0, nothing on stderr, the connection closed, and a
    temporary root gone. The password the person's server shows is the
    one the demo reads too."""
    from servers.embedded import _without_sanitizers
    args = ["--foreground"] if foreground else ["--root", str(tmp_path), "--user", "tester", "--password", "pw"]
    server = subprocess.Popen([sys.executable, "-m", "servers.embedded", *args], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=PROJECT_ROOT, text=True,
                              env=_without_sanitizers(dict(os.environ, SFTP_MAIN_PASSWORD="from-the-demo's")))
    transport = None
    try:
        assert server.stdout is not None
        if foreground:
            shown = read_banner(server.stdout)
            root = Path(shown["root"].split("  (")[0])
            assert root.is_dir() and (shown["host"], shown["password"]) == ("127.0.0.1", "from-the-demo's")
        else:
            shown = {"port": json.loads(server.stdout.readline())["port"], "user": "tester", "password": "pw"}
        if foreground:  # what it shows is a configuration, host_key included
            obj = sftp_main.VornaxSFTPMain({key: shown[key] for key in ("host", "port", "user", "password", "host_key")})
            obj._connect()
            obj._close()
        transport = paramiko.Transport(("127.0.0.1", int(shown["port"])))
        transport.connect(username=shown["user"], password=shown["password"])
        assert paramiko.SFTPClient.from_transport(transport).listdir("/") == []
        server.send_signal(sig)
        out, err = server.communicate(timeout=30)
        assert (server.returncode, err) == (0, "")
        settle(lambda: not transport.is_active())
        assert not transport.is_active()
        if foreground:
            assert not root.exists() and out == "embedded SFTP server stopped\n"
    finally:
        if transport is not None:
            transport.close()
        server.kill()
        server.communicate(timeout=10)


@pytest.mark.parametrize("winerrors, started", [((1359, 1359), True), ((5,), False), ((1359,) * 5, False)],
                         ids=["wine-internal-error-twice", "other-error", "internal-error-every-time"])
def test_server_start_again_only_after_wines_internal_error(monkeypatch: pytest.MonkeyPatch,
                                                            winerrors: tuple[int, ...], started: bool) -> None:
    """Wine's CreateProcess fails now and then with ERROR_INTERNAL_ERROR; only that is tried again, a few times."""
    from servers import _procs
    failures = [OSError(22, "start failed") for _ in winerrors]
    for exc, code in zip(failures, winerrors):
        exc.winerror = code  # type: ignore[attr-defined]
    attempts: list[list[str]] = []

    def popen(args: list[str], **kwargs: object) -> str:
        attempts.append(args)
        if len(attempts) <= len(failures):
            raise failures[len(attempts) - 1]
        return "started"
    monkeypatch.setattr(_procs.subprocess, "Popen", popen)
    monkeypatch.setattr(_procs.time, "sleep", lambda seconds: None)
    if started:
        assert _procs.start_process(["server"]) == "started" and len(attempts) == len(winerrors) + 1
    else:
        with pytest.raises(OSError) as raised:
            _procs.start_process(["server"])
        assert raised.value is failures[-1] and len(attempts) == len(winerrors)


# A client that ends its process in the middle of a download, with hundreds
# of read requests still to be answered.
DYING_CLIENT = """
import os, sys, paramiko
transport = paramiko.Transport(("127.0.0.1", int(sys.argv[1])))
transport.connect(username=sys.argv[2], password=sys.argv[3])
sftp = paramiko.SFTPClient.from_transport(transport)
sftp.get("big.bin", os.devnull, callback=lambda done, total: os._exit(0))
"""


def test_embedded_server_logs_no_writes_to_a_client_gone(embedded_server) -> None:
    """asyncio logs each write to a connection whose peer has gone; the
    server keeps its log free of them."""
    (embedded_server.root / "big.bin").write_bytes(os.urandom(16 << 20))
    for _ in range(2):
        subprocess.run([sys.executable, "-c", DYING_CLIENT, str(embedded_server.port), embedded_server.user,
                        embedded_server.password], check=True, timeout=60)
    sftp = sftp_main.VornaxSFTPMain(embedded_server.config())
    sftp._connect()  # served after the gone clients' requests were
    assert sftp._stat("big.bin").st_size == 16 << 20
    sftp._close()
    assert embedded_server._log_tail() == ""
