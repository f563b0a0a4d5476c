"""The test servers as this platform runs them.

The embedded server is a child process of the tests on either platform.
The private OpenSSH server is Linux's sshd with nss_wrapper, started as
root; where it cannot run, `openssh_missing` names what is missing, and
the tests that need it skip with that reason.
"""

from __future__ import annotations

import os
import sys

from servers._procs import descendants, is_gone, kill_pids
from servers.embedded import EmbeddedSFTPServer as EmbeddedServer

__all__ = ["EmbeddedServer", "descendants", "is_gone", "kill_pids", "openssh_missing"]


def openssh_missing() -> str | None:
    """Why the OpenSSH test server cannot run here, or None when it can."""
    if sys.platform == "win32":
        return "the OpenSSH test server needs Linux (sshd with nss_wrapper); this is Windows"
    if os.geteuid() != 0:
        return "the OpenSSH test server needs root (sshd switches to its test account)"
    return None
