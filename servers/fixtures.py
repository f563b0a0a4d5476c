"""pytest fixtures that run the real SFTP servers.

Each test gets a server of its own with an empty root (startup takes a
fraction of a second), stopped with everything it forked when the test ends.
Import them into a conftest with `from servers.fixtures import *`.
"""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING

import pytest

from servers import SFTPTestServer
from servers.hosting import EmbeddedServer, openssh_missing

if TYPE_CHECKING:
    from servers.openssh import OpenSSHServer

__all__ = ["embedded_server", "openssh_server", "sftp_server"]

SERVER_KINDS = ["embedded", "openssh"]


@pytest.fixture
def embedded_server(tmp_path: Path) -> Iterator[EmbeddedServer]:
    """The embedded server, its root an empty directory under tmp_path."""
    root = tmp_path / "embedded-root"
    root.mkdir()
    with EmbeddedServer(root) as server:
        yield server


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
