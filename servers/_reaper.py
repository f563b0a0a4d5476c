"""Runs a daemon and owns every process it forks.

    python servers/_reaper.py [--remove-after DIR] COMMAND [ARG...]

sshd puts each connection into a session of its own and does not wait for
those when it is terminated, so its connection processes outlive it and,
orphaned, stay behind as zombies where the machine's init reaps nothing.
This small supervisor marks itself a child subreaper (orphans below it come
to it), starts COMMAND, and on SIGTERM, SIGINT or SIGHUP, when COMMAND exits,
or when its own parent goes away, terminates everything below it (killing
what is left after a grace period), reaps it all and exits.  When it was
told to stop or lost its parent, it also removes DIR if given: the daemon's
temporary files, gone even when nobody was left to stop it.  A daemon that
exits by itself leaves them to the caller, who may want to read its log.

Self-contained (standard library only), so it runs by path with any Python.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import signal
import sys
import time
from types import FrameType

_PR_SET_CHILD_SUBREAPER = 36
_GRACE_SECONDS = 5.0
_POLL_SECONDS = 0.05

_stop_requested = False


def _request_stop(signum: int, frame: FrameType | None) -> None:
    global _stop_requested
    _stop_requested = True


def _children_of() -> dict[int, list[int]]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(b")") + 2 :].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    return children


def _signal_below(pid: int, sig: int) -> None:
    children = _children_of()
    todo = list(children.get(pid, []))
    while todo:
        child = todo.pop()
        todo.extend(children.get(child, []))
        try:
            os.kill(child, sig)
        except ProcessLookupError:
            pass


def _reap() -> tuple[list[tuple[int, int]], bool]:
    """Reaps what has exited; the flag tells whether no child is left."""
    reaped: list[tuple[int, int]] = []
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return reaped, True
        if pid == 0:
            return reaped, False
        reaped.append((pid, status))


def main(argv: list[str]) -> int:
    remove_after = None
    if argv[:1] == ["--remove-after"] and len(argv) > 1:
        remove_after, argv = argv[1], argv[2:]
    if not argv:
        print("usage: _reaper.py [--remove-after DIR] COMMAND [ARG...]", file=sys.stderr)
        return 2
    if ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print(f"_reaper: cannot become a subreaper: {os.strerror(ctypes.get_errno())}", file=sys.stderr)
        return 1
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, _request_stop)
    parent = os.getppid()
    me = os.getpid()

    # Spawned directly rather than through subprocess, whose bookkeeping
    # would race with the reaping below; SIGPIPE back to its default, which
    # Python's start-up had set to be ignored.
    main_child = os.posix_spawnp(argv[0], argv, os.environ, setsigdef=(signal.SIGPIPE,))
    exit_status = 0
    kill_deadline: float | None = None
    told_to_stop = False
    while True:
        told_to_stop = told_to_stop or _stop_requested or os.getppid() != parent
        reaped, none_left = _reap()
        for pid, status in reaped:
            if pid == main_child:
                exit_status = os.waitstatus_to_exitcode(status)
                main_child = 0
        if none_left:
            if remove_after is not None and told_to_stop:
                shutil.rmtree(remove_after, ignore_errors=True)
            return exit_status if exit_status >= 0 else 128 - exit_status
        if kill_deadline is None and (told_to_stop or not main_child):
            _signal_below(me, signal.SIGTERM)
            kill_deadline = time.monotonic() + _GRACE_SECONDS
        elif kill_deadline is not None and time.monotonic() > kill_deadline:
            _signal_below(me, signal.SIGKILL)
        time.sleep(_POLL_SECONDS)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
