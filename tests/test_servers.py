"""The test servers themselves (every end-to-end test exercises them): they
refuse a wrong password, and end with the process that started them."""

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


def test_wrong_password_is_refused(sftp_server: SFTPTestServer) -> None:
    transport = paramiko.Transport((sftp_server.host, sftp_server.port))
    try:
        with pytest.raises(paramiko.AuthenticationException):
            transport.connect(username=sftp_server.user, password=sftp_server.password + "x")
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
    parent = subprocess.Popen([sys.executable, "-c", PARENT_SCRIPT, kind, str(tmp_path / "root")],
                              stdout=subprocess.PIPE, cwd=Path(__file__).resolve().parent.parent, text=True)
    pids: list[int] = []
    try:
        assert parent.stdout is not None
        line = parent.stdout.readline()  # bounded by the server's own start-up timeout
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
