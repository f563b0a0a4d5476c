"""The test servers as this platform runs them.

On Linux the servers are child processes of the tests.  A Windows
interpreter under Wine cannot start Linux programs, so there the same
classes reach the servers through the control service on the Linux side
(`servers.control`), and the process helpers ask that side too.
"""

from __future__ import annotations

import os
import sys

__all__ = ["EmbeddedServer", "OpenSSHServer", "can_run_openssh", "descendants", "is_gone", "kill_pids"]

if sys.platform == "win32":
    from servers.control import RemoteEmbeddedServer as EmbeddedServer, RemoteOpenSSHServer as OpenSSHServer, ask

    def can_run_openssh() -> bool:
        """sshd switches to the test account, which needs root on its side."""
        return bool(ask("hello")["root"])

    def descendants(pid: int) -> list[int]:
        return list(ask("processes", pids=[pid])[1:])

    def is_gone(pid: int) -> bool:
        return bool(ask("gone", pids=[pid])[0])

    def kill_pids(pids: list[int]) -> None:
        ask("kill-pids", pids=pids)
else:
    import signal

    from servers._procs import descendants, is_gone
    from servers.embedded import EmbeddedSFTPServer as EmbeddedServer
    from servers.openssh import OpenSSHServer

    def can_run_openssh() -> bool:
        """sshd switches to the test account, which needs root."""
        return os.geteuid() == 0

    def kill_pids(pids: list[int]) -> None:
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
