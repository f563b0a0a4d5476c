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

import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

# The system's temporary directory, fixed when the tests are collected: a test may give the caller a
# private one, which a server's own user cannot reach.
SYSTEM_TEMP = tempfile.gettempdir()


@dataclass(frozen=True)
class KeyPair:
    """An RSA key pair in files; `private_key` is PEM, encrypted when a
    passphrase was given."""

    private_key: Path
    public_key: Path
    passphrase: str | None


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

    def kill(self) -> None:
        """Ends the server process at once, as a crash would."""


__all__ = ["KeyPair", "SFTPTestServer"]
