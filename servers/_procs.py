"""Process helpers shared by the test servers: the context-manager base,
free ports, and stopping a server together with every process it forked,
within bounded time."""

from __future__ import annotations

import abc
import os
import signal
import socket
import subprocess
from types import TracebackType
from typing import Self

LOOPBACK = "127.0.0.1"


class ServerProcess(abc.ABC):
    """A server that runs for as long as a `with` block."""

    @abc.abstractmethod
    def start(self) -> Self: ...

    @abc.abstractmethod
    def stop(self) -> None: ...

    # The server's process id, None while it does not run.
    pid: int | None
    # The processes `pause` stopped.
    _paused: tuple[int, ...] = ()

    def kill(self) -> None:
        """Ends the server process at once, as a crash would; `stop` then
        reaps it and what it left."""
        if self.pid is not None:
            os.kill(self.pid, signal.SIGKILL)

    def serving_pids(self) -> list[int]:
        """The processes that answer the server's connections (by default the
        server process itself)."""
        return [] if self.pid is None else [self.pid]

    def pause(self) -> None:
        """Stops the processes that answer connections (SIGSTOP): a server
        that stops answering after the login."""
        pids = self.serving_pids()
        if not pids:
            raise RuntimeError("no server process to pause")
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        self._paused = tuple(pids)

    def resume(self) -> None:
        for pid in self._paused:
            try:
                os.kill(pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
        self._paused = ()

    def host_keys(self) -> dict[str, str]:
        """The server's public keys by type, each "<type> <base64>" as
        ssh-keyscan prints it after the host."""
        done = subprocess.run(["ssh-keyscan", "-p", str(self.port), "-t", "ed25519,ecdsa", LOOPBACK],
                              capture_output=True, text=True, timeout=60, check=True)
        lines = [line.split(None, 1)[1] for line in done.stdout.splitlines() if not line.startswith("#")]
        return {line.split()[0]: line for line in lines}

    # The port the server listens on.
    port: int

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()


def free_port() -> int:
    """A loopback port that nothing listens on right now (a server started
    with it may still lose a race for it; callers retry on a bind error)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind((LOOPBACK, 0))
        port: int = sock.getsockname()[1]
        return port


def _parent_of(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return None
    # The command name in field 2 may hold spaces and parentheses: the fields
    # after it start behind the last ")".
    fields = stat[stat.rindex(b")") + 2 :].split()
    return int(fields[1])


def _children_by_parent() -> dict[int, list[int]]:
    found: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            parent = _parent_of(int(entry))
            if parent is not None:
                found.setdefault(parent, []).append(int(entry))
    return found


def children(pid: int) -> list[int]:
    """The live processes whose parent is `pid`."""
    return _children_by_parent().get(pid, [])


def descendants(pid: int) -> list[int]:
    """Every live process below `pid`, found through /proc.  A daemon that
    moves its children into sessions of their own still is their parent."""
    by_parent = _children_by_parent()
    found: list[int] = []
    todo = [pid]
    while todo:
        for child in by_parent.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def is_gone(pid: int) -> bool:
    """True once `pid` has exited; a zombie that nobody reaps counts as gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return True
    return stat[stat.rindex(b")") + 2 :].split()[0] in (b"Z", b"X")


def _signal_all(pids: list[int], sig: int) -> None:
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def stop_tree(proc: subprocess.Popen[bytes], grace: float = 10.0) -> None:
    """Terminates `proc` and reaps it; if it is still there after `grace`
    seconds, kills it and everything below it."""
    if proc.poll() is None:
        proc.terminate()
    try:
        proc.wait(timeout=grace)
        return
    except subprocess.TimeoutExpired:
        pass
    tree = descendants(proc.pid)
    proc.kill()
    _signal_all(tree, signal.SIGKILL)
    proc.wait(timeout=grace)
