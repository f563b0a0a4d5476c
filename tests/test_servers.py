"""The test servers themselves (every end-to-end test exercises them): they
refuse a wrong password, and end with the process that started them."""

import subprocess
import sys
import time
from pathlib import Path

import paramiko
import pytest

from servers import SFTPTestServer
from servers.hosting import can_run_openssh, descendants, is_gone, kill_pids


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
from servers.hosting import EmbeddedServer, OpenSSHServer
server = EmbeddedServer(sys.argv[2]) if sys.argv[1] == "embedded" else OpenSSHServer()
server.start()
print(server.pid, flush=True)
time.sleep(120)
"""


@pytest.mark.parametrize("kind", ["embedded", "openssh"])
def test_server_exits_when_its_parent_dies(kind: str, tmp_path: Path) -> None:
    if kind == "openssh" and not can_run_openssh():
        pytest.skip("the OpenSSH test server needs root")
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
