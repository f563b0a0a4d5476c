"""Real SFTP servers for the tests and the demo, started and stopped from
Python: an embedded server of our own (`servers.embedded`) and a private
OpenSSH sshd (`servers.openssh`).  Both listen on 127.0.0.1 only.

Used from the project root, never installed:

    from servers.embedded import EmbeddedSFTPServer
    from servers.openssh import OpenSSHServer
    from servers.fixtures import *      # in a conftest

The package itself imports neither server module, so that
`python -m servers.embedded` runs the module only once.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Protocol


class SFTPTestServer(Protocol):
    """What the tests use of either server."""

    host: str
    port: int
    user: str
    password: str
    # The local directory that holds the files the client sees.
    root: Path

    @property
    def readonly_dir(self) -> Path | None:
        """A local directory the login may not write in, on a server that
        can refuse by permission at all."""

    @property
    def remote_root(self) -> str: ...

    def remote_path(self, *parts: str) -> str: ...

    def config(self) -> dict[str, Any]: ...

    def stop(self) -> None: ...


__all__ = ["SFTPTestServer"]
