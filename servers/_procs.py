"""Process helpers shared by the test servers: the context-manager base,
free ports, and stopping a server together with every process it forked,
within bounded time."""

from __future__ import annotations

import abc
import os
import signal
import socket
import subprocess
import sys
import time
from types import TracebackType
from typing import Any, Self

LOOPBACK = "127.0.0.1"
# Wine's CreateProcess now and then fails under load with ERROR_INTERNAL_ERROR
# ("[WinError 1359] Internal error"), and the same start then succeeds.
WINE_INTERNAL_ERROR = 1359
START_ATTEMPTS = 5


def start_process(args: list[str], **kwargs: Any) -> subprocess.Popen[bytes]:
    """subprocess.Popen(args, **kwargs), started again (and said so on stderr) only after Windows'
    ERROR_INTERNAL_ERROR, which Wine gives at random under load; any other error is raised at once."""
    for attempt in range(1, START_ATTEMPTS + 1):
        try:
            return subprocess.Popen(args, **kwargs)
        except OSError as exc:
            if getattr(exc, "winerror", None) != WINE_INTERNAL_ERROR or attempt == START_ATTEMPTS:
                raise
            print(f"servers: starting {args[0]} failed with {exc}; starting it again ({attempt + 1} of "
                  f"{START_ATTEMPTS})", file=sys.stderr, flush=True)
            time.sleep(0.2 * attempt)
    raise AssertionError("unreachable")


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
            kill_pids([self.pid])

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
            _suspend(pid, True)
        self._paused = tuple(pids)

    def resume(self) -> None:
        for pid in self._paused:
            _suspend(pid, False)
        self._paused = ()

    def host_keys(self) -> dict[str, str]:
        """The server's public keys by type, each "<type> <base64>" as
        ssh-keyscan prints it after the host.  Asked with one handshake per
        type, so that it needs no OpenSSH client (Windows under Wine has none)."""
        import paramiko

        found: dict[str, str] = {}
        for kind in ("ssh-ed25519", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521"):
            transport = paramiko.Transport((LOOPBACK, self.port))
            try:
                transport.get_security_options().key_types = (kind,)
                transport.start_client(timeout=60)
                key = transport.get_remote_server_key()
                found[key.get_name()] = f"{key.get_name()} {key.get_base64()}"
            except paramiko.SSHException:
                pass  # the server has no key of this type
            finally:
                transport.close()
                # A failed key exchange leaves its handshake timer running.
                transport.packetizer.complete_handshake()
        return found

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


if sys.platform == "win32":
    import ctypes
    from ctypes import wintypes

    _kernel32, _ntdll = ctypes.WinDLL("kernel32", use_last_error=True), ctypes.WinDLL("ntdll")
    _kernel32.OpenProcess.restype = wintypes.HANDLE
    _kernel32.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
    _kernel32.CreateToolhelp32Snapshot.restype = wintypes.HANDLE
    _kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
    _kernel32.WaitForSingleObject.argtypes = [wintypes.HANDLE, wintypes.DWORD]
    _ntdll.NtSuspendProcess.argtypes = _ntdll.NtResumeProcess.argtypes = [wintypes.HANDLE]
    _SYNCHRONIZE, _PROCESS_SUSPEND_RESUME, _TH32CS_SNAPPROCESS, _WAIT_TIMEOUT = 0x100000, 0x0800, 0x2, 0x102

    class _ProcessEntry(ctypes.Structure):
        _fields_ = [("dwSize", wintypes.DWORD), ("cntUsage", wintypes.DWORD),
                    ("th32ProcessID", wintypes.DWORD), ("th32DefaultHeapID", ctypes.c_size_t),
                    ("th32ModuleID", wintypes.DWORD), ("cntThreads", wintypes.DWORD),
                    ("th32ParentProcessID", wintypes.DWORD), ("pcPriClassBase", ctypes.c_long),
                    ("dwFlags", wintypes.DWORD), ("szExeFile", ctypes.c_char * 260)]

    def _children_by_parent() -> dict[int, list[int]]:
        """From a process snapshot; Windows keeps a dead parent's id in its
        children, so a child is only counted while its parent runs."""
        snapshot = _kernel32.CreateToolhelp32Snapshot(_TH32CS_SNAPPROCESS, 0)
        if snapshot in (None, wintypes.HANDLE(-1).value):
            raise ctypes.WinError(ctypes.get_last_error())
        found: dict[int, list[int]] = {}
        entry = _ProcessEntry(dwSize=ctypes.sizeof(_ProcessEntry))
        try:
            more = _kernel32.Process32First(snapshot, ctypes.byref(entry))
            while more:
                found.setdefault(entry.th32ParentProcessID, []).append(entry.th32ProcessID)
                more = _kernel32.Process32Next(snapshot, ctypes.byref(entry))
        finally:
            _kernel32.CloseHandle(snapshot)
        return {parent: kids for parent, kids in found.items() if not is_gone(parent)}

    def is_gone(pid: int) -> bool:
        """True once `pid` has exited (or never was)."""
        handle = _kernel32.OpenProcess(_SYNCHRONIZE, False, pid)
        if not handle:
            return True
        try:
            return bool(_kernel32.WaitForSingleObject(handle, 0) != _WAIT_TIMEOUT)
        finally:
            _kernel32.CloseHandle(handle)

    def _suspend(pid: int, suspend: bool) -> None:
        """Stops or resumes every thread of `pid` (Windows has no SIGSTOP)."""
        handle = _kernel32.OpenProcess(_PROCESS_SUSPEND_RESUME, False, pid)
        if not handle:
            if suspend:
                raise ctypes.WinError(ctypes.get_last_error())
            return
        try:
            status = (_ntdll.NtSuspendProcess if suspend else _ntdll.NtResumeProcess)(handle)
            if status != 0 and suspend:
                raise OSError(f"NtSuspendProcess({pid}) failed with status {status & 0xFFFFFFFF:#x}")
        finally:
            _kernel32.CloseHandle(handle)

    # os.kill with any other signal is TerminateProcess there.
    _KILL = signal.SIGTERM
else:
    def _parent_of(pid: int) -> int | None:
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            return None
        # The command name in field 2 may hold spaces and parentheses: the
        # fields after it start behind the last ")".
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

    def is_gone(pid: int) -> bool:
        """True once `pid` has exited; a zombie that nobody reaps counts as gone."""
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            return True
        return stat[stat.rindex(b")") + 2 :].split()[0] in (b"Z", b"X")

    def _suspend(pid: int, suspend: bool) -> None:
        try:
            os.kill(pid, signal.SIGSTOP if suspend else signal.SIGCONT)
        except ProcessLookupError:
            if suspend:
                raise

    _KILL = signal.SIGKILL


def children(pid: int) -> list[int]:
    """The live processes whose parent is `pid`."""
    return _children_by_parent().get(pid, [])


def descendants(pid: int) -> list[int]:
    """Every live process below `pid`.  A daemon that moves its children
    into sessions of their own still is their parent."""
    by_parent = _children_by_parent()
    found: list[int] = []
    todo = [pid]
    while todo:
        for child in by_parent.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def kill_pids(pids: list[int]) -> None:
    """Ends each process at once (SIGKILL, TerminateProcess on Windows)."""
    for pid in pids:
        try:
            os.kill(pid, _KILL)
        except (ProcessLookupError, PermissionError):
            # Windows refuses access to a process that has just exited.
            if not is_gone(pid):
                raise


def stop_tree(proc: subprocess.Popen[bytes], grace: float = 10.0) -> None:
    """Terminates `proc` and reaps it; if it is still there after `grace`
    seconds, kills it and everything below it.  Windows has no polite
    signal (terminate is a kill there), so a caller that asked the process
    to stop in another way gets the grace period first."""
    if proc.poll() is None and sys.platform != "win32":
        proc.terminate()
    try:
        proc.wait(timeout=grace)
        return
    except subprocess.TimeoutExpired:
        pass
    kill_pids([proc.pid, *descendants(proc.pid)])
    proc.wait(timeout=grace)
