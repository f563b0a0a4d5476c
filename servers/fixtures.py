"""pytest fixtures that run the real SFTP servers.

Each test gets a server with an empty root of its own.  The private
OpenSSH server is started for each test and stopped with everything it
forked when the test ends.  The embedded server that a test leaves as it
found it (running, not paused, its settings unchanged, nothing in its log,
no connection of this process open to it) serves the next test too, its
root emptied: its start costs a fraction of a second on Linux but seconds
as a Windows process under Wine, once for each of a hundred tests and
more.  Any other is stopped when its test ends.
Import them into a conftest with `from servers.fixtures import *`.
"""

from __future__ import annotations

import gc
import os
import shutil
import stat
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import paramiko
import pytest

from servers import SFTPTestServer
from servers.hosting import EmbeddedServer, openssh_missing

if TYPE_CHECKING:
    from servers.openssh import OpenSSHServer

__all__ = ["_idle_embedded_servers", "embedded_server", "openssh_server", "sftp_server"]

SERVER_KINDS = ["embedded", "openssh"]


# How long a test's closed connections get to end before its server is
# judged (a transport's thread ends a moment after its close).
_CLIENTS_GONE_SECONDS = 2.0


def _clients_of(port: int) -> bool:
    """Whether a paramiko transport of this process is connected to port
    (a client, or a jump-host tunnel, that the test left open)."""
    for thread in threading.enumerate():
        if not isinstance(thread, paramiko.Transport) or not thread.is_alive():
            continue
        try:
            if thread.sock.getpeername()[1] == port:
                return True
        except (OSError, AttributeError, IndexError):  # closed meanwhile, or no socket
            continue
    return False


def _writable_again(function: Any, path: str, exc: BaseException) -> None:
    # A read-only entry (Windows' read-only flag) is made writable once.
    os.chmod(path, stat.S_IWRITE | stat.S_IREAD | stat.S_IEXEC)
    function(path)


def _left_as_found(server: EmbeddedServer, settings: tuple[Any, ...]) -> bool:
    """Empties the root of a server that can serve another test."""
    proc = server._proc
    if proc is None or proc.poll() is not None or server._paused or server._log_tail():
        return False
    if (server.pid, server.port, server.user, server.password, server.root) != settings:
        return False
    gc.collect()  # a client the test dropped closes its connection now
    deadline = time.monotonic() + _CLIENTS_GONE_SECONDS
    while _clients_of(server.port):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    try:
        os.chmod(server.root, 0o700)
        for entry in os.scandir(server.root):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, onexc=_writable_again)
            else:
                try:
                    os.unlink(entry.path)
                except PermissionError:
                    _writable_again(os.unlink, entry.path, PermissionError())
    except OSError:  # e.g. a file the server still holds open on Windows
        return False
    return not any(os.scandir(server.root))


@pytest.fixture(scope="session")
def _idle_embedded_servers() -> Iterator[list[EmbeddedServer]]:
    """The embedded server that the last test left as it found it, if any."""
    idle: list[EmbeddedServer] = []
    yield idle
    for server in idle:
        server.stop()


@pytest.fixture
def embedded_server(_idle_embedded_servers: list[EmbeddedServer],
                    tmp_path_factory: pytest.TempPathFactory) -> Iterator[EmbeddedServer]:
    """The embedded server, its root an empty directory."""
    if _idle_embedded_servers:
        server = _idle_embedded_servers.pop()
    else:
        server = EmbeddedServer(tmp_path_factory.mktemp("embedded-root")).start()
    settings = (server.pid, server.port, server.user, server.password, server.root)
    try:
        yield server
    finally:
        if _left_as_found(server, settings):
            _idle_embedded_servers.append(server)
        else:
            server.stop()


@pytest.fixture
def openssh_server() -> Iterator[OpenSSHServer]:
    """A private sshd whose login is not root, its root a fresh directory
    of its own (pytest's tmp_path is closed to other users)."""
    # Only a run without root, where sshd cannot switch to the test account,
    # or on Windows is skipped; missing packages on Linux are a broken set-up
    # and fail the test.
    missing = openssh_missing()
    if missing:
        pytest.skip(missing)
    from servers.openssh import OpenSSHServer

    with OpenSSHServer() as server:
        yield server


@pytest.fixture(params=SERVER_KINDS, ids=SERVER_KINDS)
def sftp_server(request: pytest.FixtureRequest) -> SFTPTestServer:
    """Each test that uses it runs once against each server."""
    server: SFTPTestServer = request.getfixturevalue(f"{request.param}_server")
    return server
