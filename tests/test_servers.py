"""The test servers themselves, checked with plain paramiko: password logins,
transfers, refusals, the OpenSSH server's key logins and forwarding, and
servers that end with the process that started them."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import paramiko
import pytest

from servers import SFTPTestServer
from servers._procs import descendants, is_gone
from servers.fixtures import embedded_server, openssh_server, sftp_server  # noqa: F401
from servers.openssh import OpenSSHServer

PROJECT_ROOT = Path(__file__).resolve().parent.parent


def login(server: SFTPTestServer, password: str | None = None, pkey: paramiko.PKey | None = None) -> paramiko.Transport:
    transport = paramiko.Transport((server.host, server.port))
    try:
        transport.connect(username=server.user, password=password, pkey=pkey)
    except BaseException:
        transport.close()
        raise
    return transport


def test_password_login_put_and_get(sftp_server: SFTPTestServer, tmp_path: Path) -> None:
    data = os.urandom(200_000)
    (tmp_path / "up.bin").write_bytes(data)
    transport = login(sftp_server, password=sftp_server.password)
    try:
        sftp = paramiko.SFTPClient.from_transport(transport)
        assert sftp is not None
        # Both servers start the session in their root.
        assert sftp.normalize(".") == sftp_server.remote_root
        sftp.put(str(tmp_path / "up.bin"), "up.bin")
        assert (sftp_server.root / "up.bin").read_bytes() == data
        sftp.get(sftp_server.remote_path("up.bin"), str(tmp_path / "down.bin"))
        assert (tmp_path / "down.bin").read_bytes() == data
    finally:
        transport.close()


def test_wrong_password_is_refused(sftp_server: SFTPTestServer) -> None:
    with pytest.raises(paramiko.AuthenticationException):
        login(sftp_server, password=sftp_server.password + "x")


def test_openssh_login_is_not_root(openssh_server: OpenSSHServer, tmp_path: Path) -> None:
    (tmp_path / "f").write_bytes(b"x")
    transport = login(openssh_server, password=openssh_server.password)
    try:
        sftp = paramiko.SFTPClient.from_transport(transport)
        assert sftp is not None
        sftp.put(str(tmp_path / "f"), "mine")
        assert (openssh_server.root / "mine").stat().st_uid not in (0, os.getuid())
        with pytest.raises(PermissionError):
            sftp.put(str(tmp_path / "f"), str(openssh_server.readonly_dir / "theirs"))
    finally:
        transport.close()


@pytest.mark.parametrize("passphrase", [None, "open sesame"])
def test_openssh_key_login_and_forwarding(openssh_server: OpenSSHServer, passphrase: str | None) -> None:
    keys = openssh_server.add_rsa_key(passphrase)
    key = paramiko.RSAKey.from_private_key_file(str(keys.private_key), password=passphrase)
    transport = login(openssh_server, pkey=key)
    try:
        # As a jump host: forward to a loopback port (its own) and read the
        # greeting of what listens there.
        channel = transport.open_channel("direct-tcpip", (openssh_server.host, openssh_server.port), ("127.0.0.1", 0))
        channel.settimeout(10)
        assert channel.recv(8) == b"SSH-2.0-"
    finally:
        transport.close()


# Started in a parent process of its own, which the test then kills.
PARENT_SCRIPT = """
import sys, time
from servers.embedded import EmbeddedSFTPServer
from servers.openssh import OpenSSHServer
server = EmbeddedSFTPServer(sys.argv[2]) if sys.argv[1] == "embedded" else OpenSSHServer()
server.start()
print(server.pid, flush=True)
time.sleep(120)
"""


@pytest.mark.parametrize("kind", ["embedded", "openssh"])
def test_server_exits_when_its_parent_dies(kind: str, tmp_path: Path) -> None:
    if kind == "openssh" and os.geteuid() != 0:
        pytest.skip("the OpenSSH test server needs root")
    (tmp_path / "root").mkdir()
    parent = subprocess.Popen(
        [sys.executable, "-c", PARENT_SCRIPT, kind, str(tmp_path / "root")],
        stdout=subprocess.PIPE,
        cwd=PROJECT_ROOT,
        text=True,
    )
    pids: list[int] = []
    try:
        assert parent.stdout is not None
        # Bounded by the server's own start-up timeout.
        line = parent.stdout.readline()
        assert line, "the parent process failed to start the server"
        pids = [int(line), *descendants(int(line))]
        assert not is_gone(pids[0])
        parent.send_signal(signal.SIGKILL)
        parent.wait(timeout=10)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and not all(map(is_gone, pids)):
            time.sleep(0.1)
        assert [pid for pid in pids if not is_gone(pid)] == []
    finally:
        parent.kill()
        parent.wait(timeout=10)
        for pid in pids:
            if not is_gone(pid):
                os.kill(pid, signal.SIGKILL)
