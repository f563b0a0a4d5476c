"""The module against real SFTP servers: the embedded one and OpenSSH."""

import _thread
import contextlib
import dataclasses
import errno
import hashlib
import json
import logging
import os
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import paramiko
import pytest

from servers.hosting import EmbeddedServer, openssh_missing

from conftest import (HANDLED_SCENES, C, QUAL, assert_released, catch, connected, module_entries, resources, settle,
                      while_handling)

# Temporary files are looked for in a temporary directory of the test's own.
pytestmark = pytest.mark.usefixtures("private_tempdir")
TEN_MIB_PLUS = 10 * 1024 * 1024 + 12345
# The permission a download keeps: on Windows, whose only permission is the read-only flag, a read-only file.
KEPT_MODE = 0o640 if os.name == "posix" else 0o444


def test_a_whole_session(sftp_server, tmp_path: Path) -> None:
    obj, data = connected(sftp_server), os.urandom(70_000)
    (tmp_path / "local.bin").write_bytes(data)
    (tmp_path / "other.bin").write_bytes(b"other")
    assert obj._mkdir("work") is True and obj._chdir("work") is True
    assert obj._normalize(".").endswith("/work")
    assert obj._upload(str(tmp_path / "local.bin"), "a.bin") is True  # relative to the new directory
    assert obj._stat("a.bin").st_size == len(data)
    assert obj._stat(sftp_server.remote_path("work", "a.bin")).st_size == len(data)
    assert obj._rename("a.bin", "b.bin") is True
    assert obj._upload(str(tmp_path / "local.bin"), "c.bin") is True
    assert obj._upload(str(tmp_path / "other.bin"), "d.bin") is True
    assert obj._posix_rename("d.bin", "c.bin") is True and obj._stat("c.bin").st_size == 5  # over an existing file
    assert obj._download("b.bin", str(tmp_path / "back.bin")) is True
    assert (tmp_path / "back.bin").read_bytes() == data
    assert obj._remove("b.bin") is True and obj._remove("c.bin") is True
    assert obj._chdir("..") is True and obj._rmdir("work") is True
    with pytest.raises(FileNotFoundError):
        obj._stat("work")
    assert obj._close() is None
    with pytest.raises(OSError):
        obj._stat(".")  # the closed client answers


@pytest.mark.parametrize("size", [0, 1, TEN_MIB_PLUS], ids=["empty", "one-byte", "over-10MiB"])
def test_transfers_are_byte_identical(sftp_server, tmp_path: Path, size: int) -> None:
    obj, data = connected(sftp_server), os.urandom(size)
    (tmp_path / "up").write_bytes(data)
    assert obj._upload(str(tmp_path / "up"), "file") is True and obj._stat("file").st_size == size
    assert obj._download("file", str(tmp_path / "down")) is True
    assert hashlib.sha256((tmp_path / "down").read_bytes()).digest() == hashlib.sha256(data).digest()
    obj._close()


def test_client_errors_come_through_unchanged(sftp_server, tmp_path: Path) -> None:
    obj = connected(sftp_server)
    missing = catch(obj._remove, "no-such-file")
    assert type(missing) is FileNotFoundError and module_entries(missing) == [(QUAL + "_remove", 101)]
    assert type(catch(obj._rename, "no-such-file", "x")) is FileNotFoundError
    obj._mkdir("dir")
    exists = catch(obj._mkdir, "dir")
    assert isinstance(exists, OSError) and module_entries(exists) == [(QUAL + "_mkdir", 113)]
    (tmp_path / "f").write_bytes(b"original")
    obj._upload(str(tmp_path / "f"), "dir/f")
    not_empty = catch(obj._rmdir, "dir")
    assert isinstance(not_empty, OSError) and module_entries(not_empty) == [(QUAL + "_rmdir", 117)]
    assert isinstance(catch(obj._chdir, "no-such-dir"), OSError)
    if sftp_server.readonly_dir is not None:  # the server whose login is not root
        assert isinstance(catch(obj._mkdir, str(sftp_server.readonly_dir / "x")), PermissionError)
    # Upload of a missing local file answers False and leaves the remote file as it was.
    assert obj._upload(str(tmp_path / "absent"), "dir/f") is False
    assert obj._download("dir/f", str(tmp_path / "check")) is True
    assert (tmp_path / "check").read_bytes() == b"original"
    obj._close()


def _outcome(call: Callable[..., Any], *args: Any) -> Any:
    try:
        return call(*args)
    except Exception as exc:  # the callers check it
        return exc


@pytest.mark.parametrize("scene", HANDLED_SCENES)
def test_failed_calls_while_an_interrupt_is_handled(sftp_server, tmp_path: Path, scene: str) -> None:
    """A program that saves its work on Ctrl-C calls the module as the interrupt
    is handled: each failed call answers as at any other time, and the
    connection stays."""
    obj = connected(sftp_server)
    (tmp_path / "up").write_bytes(b"data")
    args = {"_upload": (str(tmp_path / "absent"), "x"), "_download": ("absent", str(tmp_path / "down")),
            "_remove": ("absent",), "_rename": ("absent", "x"), "_posix_rename": ("absent", "x"),
            "_mkdir": ("absent/x",), "_rmdir": ("absent",), "_stat": ("absent",), "_normalize": ("absent/x",),
            "_chdir": ("absent",)}
    def answers() -> list[Any]:
        outcomes = [_outcome(getattr(obj, name), *a) for name, a in args.items()]
        return [(type(o), o.args) if isinstance(o, BaseException) else o for o in outcomes]
    usual = answers()
    assert usual[:2] == [False, False] and isinstance(usual[2][0], type) and issubclass(usual[2][0], OSError)
    assert while_handling(scene, answers) == usual
    assert obj._upload(str(tmp_path / "up"), "up") is True and obj._stat("up").st_size == 4
    obj._close()


@pytest.mark.parametrize("name", ["_upload", "_download"])
@pytest.mark.parametrize("number", ["descriptor", "True"])
def test_a_number_is_no_local_path(sftp_server, tmp_path: Path, caplog: pytest.LogCaptureFixture, name: str,
                                   number: str) -> None:
    """open() would take a number for a descriptor the program has open (True
    is standard output): refused, the descriptor neither read, written nor
    closed, and the record says why."""
    obj = connected(sftp_server)
    (tmp_path / "up").write_bytes(b"remote bytes")
    assert obj._upload(str(tmp_path / "up"), "remote") is True
    (tmp_path / "log").write_bytes(b"the program's log\n")
    caplog.set_level(logging.DEBUG, logger="sftp_main")
    with open(tmp_path / "log", "r+b") as held, contextlib.ExitStack() as stack:
        fd, local = held.fileno(), held.fileno()
        if number == "True":
            saved = os.dup(1)
            stack.callback(os.close, saved)
            stack.callback(os.dup2, saved, 1)
            os.dup2(held.fileno(), 1)
            fd, local = 1, True
        os.lseek(fd, 4, os.SEEK_SET)
        args = (local, "new") if name == "_upload" else ("remote", local)
        assert getattr(obj, name)(*args) is False
        assert os.lseek(fd, 0, os.SEEK_CUR) == 4 and os.fstat(fd).st_size == 18  # still open, untouched
    assert (tmp_path / "log").read_bytes() == b"the program's log\n"
    [record] = caplog.records
    assert "would be taken for a file descriptor" in str(record.exc_info[1])
    assert type(catch(obj._stat, "new")) is FileNotFoundError
    obj._close()


# --- what a download keeps ----------------------------------------------------------------------------

MAX_PATH = 260  # Windows' path limit, imitated elsewhere by refusing longer paths to os.open


@dataclass
class Destination:
    path: Path
    partner: Path | None = None  # another name of the file
    succeeds: bool = True  # whether the download of new bytes is to succeed
    holder: Any = None  # a file object that holds the destination open during the test


def _existing(directory: Path, name: str = "target", mode: int = 0o640) -> Path:
    path = directory / name
    path.write_bytes(b"precious bytes")
    path.chmod(mode)
    return path


def _refuse(monkeypatch: pytest.MonkeyPatch, name: str, error: BaseException, times: int | None) -> list[Any]:
    """os.<name> raises error on its first `times` calls (on every call when None); the calls' record."""
    real, calls = getattr(os, name), []

    def refusing(*args: Any, **kwargs: Any) -> Any:
        calls.append(args)
        if times is None or len(calls) <= times:
            raise error
        return real(*args, **kwargs)
    monkeypatch.setattr(os, name, refusing)
    return calls


def _without(monkeypatch: pytest.MonkeyPatch, name: str, when: Callable[..., bool], error: BaseException) -> None:
    """os.<name> raises error on the calls whose arguments `when` picks."""
    real = getattr(os, name)

    def refusing(*args: Any, **kwargs: Any) -> Any:
        if when(*args):
            raise error
        return real(*args, **kwargs)
    monkeypatch.setattr(os, name, refusing)


def _opened_by_the_call(monkeypatch: pytest.MonkeyPatch) -> Callable[[int], bool]:
    """Picks the descriptors that os.open has given since (the test's own stay usable)."""
    real, opened = os.open, set()

    def opening(*args: Any, **kwargs: Any) -> int:
        fd = real(*args, **kwargs)
        opened.add(fd)
        return fd
    monkeypatch.setattr(os, "open", opening)
    return lambda fd, *args: fd in opened


def _answer(monkeypatch: pytest.MonkeyPatch, name: str, value: Any, when: Callable[..., bool]) -> None:
    """os.<name> answers value (without doing anything) on the calls whose arguments `when` picks."""
    real = getattr(os, name, None)
    monkeypatch.setattr(os, name, lambda *args: value if when(*args) else real(*args), raising=False)


def _tail_past_size(src: int, dst: int, count: int, src_at: int | None = None, dst_at: int | None = None) -> bool:
    """Fails a kernel copy past the old end of a file made longer in advance; never answers for one."""
    assert dst_at is None or dst_at < len(b"precious bytes") or os.fstat(dst).st_size == dst_at
    return False


def _near_max_path(directory: Path, monkeypatch: pytest.MonkeyPatch, exists: bool) -> Destination:
    deep = directory / ("d" * (MAX_PATH - 20 - len(str(directory)) - len(os.sep + "target") - 1))
    deep.mkdir()
    if os.name != "nt":
        real = os.open
        def open_short(path: Any, *args: Any, **kwargs: Any) -> int:
            if len(os.fspath(path)) >= MAX_PATH:
                raise FileNotFoundError(2, "The system cannot find the path specified", path)
            return real(path, *args, **kwargs)
        monkeypatch.setattr(os, "open", open_short)
    return Destination(_existing(deep) if exists else deep / "target")


def _chattr(flag: str, path: Path) -> None:
    subprocess.run(["chattr", flag, str(path)], check=True, capture_output=True)


def _other_owner(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    if not hasattr(os, "chown"):
        pytest.skip("files have no owner uid to give away here (no os.chown)")
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    path = _existing(directory)
    os.chown(path, 4321, 4322)
    return Destination(path)


def _with_attribute(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    path = _existing(directory)
    try:
        os.setxattr(path, "user.note", b"kept")
    except (AttributeError, OSError) as exc:
        pytest.skip(f"no extended attributes here: {exc}")
    return Destination(path)


def _named(directory: Path, name: str, exists: bool) -> Destination:
    path = directory / name
    if os.name == "nt" and len(str(path)) >= MAX_PATH:
        pytest.skip("a name this long passes Windows' MAX_PATH here")
    return Destination(_existing(directory, name) if exists else path)


def _hard_linked(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    path = _existing(directory)
    try:
        os.link(path, directory / "other-name")
    except OSError as exc:
        pytest.skip(f"no hard links here: {exc}")
    return Destination(path, partner=directory / "other-name")


def _read_only(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    # On Windows the read-only attribute.  The download succeeds where the client's own open for writing
    # would: root ignores the mode bits, and so does Wine run by root.
    path = _existing(directory, mode=0o444)
    try:
        os.close(os.open(path, os.O_WRONLY))
    except PermissionError:
        return Destination(path, succeeds=False)
    return Destination(path)


def _full_disk(error: BaseException) -> Callable[[Path, pytest.MonkeyPatch], Destination]:
    def make(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
        destination = _hard_linked(directory, monkeypatch)
        for name in ("write", "copy_file_range"):
            if hasattr(os, name):
                _refuse(monkeypatch, name, error, None)
        return dataclasses.replace(destination, succeeds=False)
    return make


def _locked_directory(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    if getattr(os, "geteuid", lambda: -1)() != 0 or shutil.which("chattr") is None:
        pytest.skip("a directory that takes no new entries needs chattr and root")
    path = _existing(directory)
    try:
        _chattr("+i", directory)
    except subprocess.CalledProcessError as exc:  # no CAP_LINUX_IMMUTABLE (a container's root), or no such flag
        pytest.skip(f"chattr +i is refused here: {exc.stderr.decode(errors='replace').strip()}")
    return Destination(path)


def _no_lock(code: int) -> Callable[[Path, pytest.MonkeyPatch], Destination]:
    """A file system that takes no lock (flock failing with errno code): the download goes on without."""
    def make(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
        fcntl = pytest.importorskip("fcntl", reason="no flock here")

        def refused(*args: Any) -> None:
            raise OSError(code, os.strerror(code))
        monkeypatch.setattr(fcntl, "flock", refused)
        return Destination(_existing(directory))
    return make


DESTINATIONS: dict[str, Callable[[Path, pytest.MonkeyPatch], Destination]] = {
    "absent": lambda d, mp: Destination(d / "target"),
    "existing": lambda d, mp: Destination(_existing(d)),
    "hard-linked": _hard_linked,
    "other-owner": _other_owner,
    "extended-attribute": _with_attribute,
    "255-byte-name": lambda d, mp: _named(d, "n" * 255, True),
    "255-byte-name-absent": lambda d, mp: _named(d, "é" * 127 + "n", False),
    "locked-directory": _locked_directory,
    "read-only": _read_only,
    "held-open": lambda d, mp: Destination(d / "target", holder=open(_existing(d), "rb")),
    "near-max-path": lambda d, mp: _near_max_path(d, mp, True),
    "near-max-path-absent": lambda d, mp: _near_max_path(d, mp, False),
    "disk-full-copying-in": _full_disk(OSError(28, "No space left on device")),
    "interrupted-copying-in": _full_disk(KeyboardInterrupt()),
    # What os answers is checked, not trusted: a buffer where bytes were due is an error, not a crash;
    # a kernel copy that ends at once falls back to reading and writing.
    "read-gives-a-buffer": lambda d, mp: (mp.delattr(os, "copy_file_range", raising=False),
                                          mp.setattr(os, "read", lambda fd, n, r=os.read: memoryview(r(fd, n))),
                                          Destination(_existing(d), succeeds=False))[2],
    # The temporary file where the file system makes no file without a name (named, removed at once),
    # and where /proc reaches no descriptor (named, as on Windows).
    "no-unnamed-files": lambda d, mp: (_without(mp, "open", lambda p, f, *a: f & getattr(os, "O_TMPFILE", -1) ==
                                                getattr(os, "O_TMPFILE", -1), OSError(95, "Not supported")),
                                       Destination(_existing(d)))[1],
    "no-proc": lambda d, mp: (_without(mp, "stat", lambda p, *a: str(p).startswith("/proc/self/fd/"),
                                       FileNotFoundError(2, "No such file or directory")),
                              Destination(d / "target"))[1],
    **{f"no-lock-{errno.errorcode[code]}": _no_lock(code)
       for code in (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOSYS, errno.EINVAL)},
    "kernel-copy-ends-at-once": lambda d, mp: (mp.setattr(os, "copy_file_range", lambda *a: 0, raising=False),
                                               Destination(_existing(d)))[1],
    # A count below 0 from a patched os is an error like any other, not a crash.
    "open-answers-minus-one": lambda d, mp: (_answer(mp, "open", -1, lambda p, *a: str(p).endswith("target")),
                                             Destination(_existing(d), succeeds=False))[1],
    "kernel-copy-answers-minus-one": lambda d, mp: (_answer(mp, "copy_file_range", -1, lambda *a: True),
                                                    Destination(_existing(d), succeeds=False))[1],
    "write-answers-minus-one": lambda d, mp: (mp.delattr(os, "copy_file_range", raising=False),
                                              _answer(mp, "write", -1, lambda fd, data: len(data) > 1),
                                              Destination(_existing(d), succeeds=False))[2],
    # Every descriptor is closed and nothing made stays whatever step fails, the first included.
    "fstat-refused": lambda d, mp: (_without(mp, "fstat", _opened_by_the_call(mp), OSError(5, "Input/output error")),
                                    Destination(d / "target", succeeds=False))[1],
    # Space is reserved without the size: a reader (or a kill) while the tail is written finds the old size
    # plus the bytes written, never the full length with zeros in it.
    "size-kept-while-the-tail-is-written": lambda d, mp: (
        hasattr(os, "copy_file_range") and _answer(mp, "copy_file_range", None, _tail_past_size),
        Destination(_existing(d)))[1],
}


@pytest.fixture(params=list(DESTINATIONS))
def destination(request: pytest.FixtureRequest, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
                ) -> Iterator[Destination]:
    directory = tmp_path / "local"
    directory.mkdir()
    made = DESTINATIONS[request.param](directory, monkeypatch)
    yield made
    monkeypatch.undo()
    if made.holder is not None:
        made.holder.close()
    if request.param == "locked-directory":
        _chattr("-i", directory)


def _state(path: Path) -> tuple[Any, ...] | None:
    """Everything about the file a download must keep, or None when it does not exist."""
    if not path.exists():
        return None
    info = path.stat()
    attributes = {n: os.getxattr(path, n) for n in os.listxattr(path)} if hasattr(os, "listxattr") else {}
    return path.read_bytes(), info.st_mode, info.st_uid, info.st_gid, info.st_nlink, info.st_ino, attributes


def _strays(destination: Path) -> list[str]:
    """Entries beside the destination and the module's temporary files in the system's temporary directory."""
    return sorted([*os.listdir(destination.parent), *_parts()])


def _descriptors_under(directory: Path) -> list[str]:
    """What this process holds open below directory (where Linux's /proc tells; under Wine it is the host's)."""
    fds = Path("/proc/self/fd")
    found = [os.readlink(fd) for fd in fds.iterdir() if fd.is_symlink()] if sys.platform == "linux" else []
    return sorted(f for f in found if f.startswith(str(directory)))


def test_download_keeps_what_the_destination_is(sftp_server, destination: Destination, tmp_path: Path) -> None:
    obj, target = connected(sftp_server), destination.path
    before, listing, held = _state(target), _strays(target), _descriptors_under(tmp_path)
    assert obj._download("no-such-remote-file", str(target)) is False
    assert _state(target) == before and _strays(target) == listing
    (tmp_path / "src").write_bytes(b"new bytes, more of them than before")
    assert obj._upload(str(tmp_path / "src"), "remote") is True
    try:
        answer = obj._download("remote", str(target))
    except KeyboardInterrupt:
        answer = None
    obj._close()
    assert _descriptors_under(tmp_path) == held
    assert _strays(target) == (listing if before is not None or not destination.succeeds else sorted(
        listing + [target.name]))
    after = _state(target)
    if not destination.succeeds:
        assert answer is not True and after == before
        return
    assert answer is True and after is not None and after[0] == b"new bytes, more of them than before"
    if before is not None:  # the very file, with its mode, owner, group, links and attributes
        assert after[1:] == before[1:]
    assert destination.partner is None or destination.partner.read_bytes() == after[0]


def test_wrong_password_refused_port_and_nothing_left_running(sftp_server) -> None:
    before = resources()
    for _ in range(3):
        exc = catch(C(dict(sftp_server.config(), password="wrong"))._connect)
        assert isinstance(exc, paramiko.AuthenticationException)
        assert module_entries(exc) == [(QUAL + "_connect", 93)]
    with socket.socket() as s:  # a port that nothing listens on
        s.bind(("127.0.0.1", 0))
        obj = C(dict(sftp_server.config(), port=s.getsockname()[1]))
    exc = catch(obj._connect)
    assert isinstance(exc, (paramiko.SSHException, OSError)) and module_entries(exc) == [(QUAL + "_connect", 92)]
    assert type(obj._ssh) is paramiko.SSHClient and type(obj._ssh._policy) is paramiko.AutoAddPolicy
    assert "_sftp" not in vars(obj)
    del obj, exc
    assert_released(before)


def test_connect_close_cycles_release_everything(sftp_server) -> None:
    connected(sftp_server)._close()  # warm up imports and caches
    settle(lambda: resources()[1] == 0)
    before = resources()
    for _ in range(50):
        obj = connected(sftp_server)
        assert obj._normalize(".")
        obj._close()
    del obj
    assert_released(before)


# --- a download against plain get on the same set-up ---------------------------------------------------

NEW = os.urandom(300_000)  # the remote file
BOUND = 60.0  # every download here ends within seconds; a hang fails instead of blocking the suite
NOBODY, SOMEBODY = 4321, 4322  # owners other than the caller
UNNAMED = sys.platform == "linux" and os.path.isdir("/proc/self/fd")  # a temporary file needs no name here


@dataclass
class Scene:
    target: Path | str  # text where a trailing slash or ".." must reach the kernel as written
    hook: Callable[[], Any] | None = None  # runs inside the client's get, before it writes
    after: Callable[[], Any] | None = None  # runs inside the client's get, once it has written
    child: list[str] | None = None  # a command prefix: the download runs in a child process under it
    child_setup: list[list[str]] = dataclasses.field(default_factory=list)  # the child runs these first
    child_code: str = ""  # and then this Python code
    seen: Callable[[], Any] = lambda: None  # what the download changed outside the tree (a reader's bytes)
    whole: bool = False  # a clean False, the old tree unchanged, is an answer as good as get's
    planted: str = ""  # a name another user made meanwhile, which that clean False leaves there


def _bounded(call: Callable[[], Any]) -> Any:
    """call's result (or the exception it raised), failing when it does not end within BOUND."""
    outcome: list[Any] = []

    def run() -> None:
        try:
            outcome.append(call())
        except BaseException as exc:
            outcome.append(exc)
    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(BOUND)
    assert not worker.is_alive(), "the download hangs"
    return outcome[0]


def _root_only(what: str) -> None:
    if os.name != "posix" or os.geteuid() != 0:
        pytest.skip(f"{what} needs root on a POSIX system")


def _sysctl(stack: contextlib.ExitStack, name: str, value: str) -> None:
    """Sets /proc/sys/fs/<name> for the test, restored when the stack closes."""
    path = Path("/proc/sys/fs", name)
    try:
        old = path.read_text()
        path.write_text(value)
    except OSError as exc:
        pytest.skip(f"fs.{name} cannot be set here: {exc}")
    stack.callback(path.write_text, old)


def _sticky_shared(root: Path, stack: contextlib.ExitStack, protection: str) -> Path:
    """A world-writable sticky directory of another user, the kernel's protection on."""
    _root_only("a directory of another user")
    _sysctl(stack, protection, "1")
    shared = root / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    os.chown(shared, NOBODY, NOBODY)
    return shared


def _protected_symlink(root: Path, stack: contextlib.ExitStack) -> Scene:
    shared = _sticky_shared(root, stack, "protected_symlinks")
    _existing(root, "file")
    (shared / "link").symlink_to("../file")
    os.chown(shared / "link", SOMEBODY, SOMEBODY, follow_symlinks=False)
    return Scene(shared / "link")


def _protected_regular(root: Path, stack: contextlib.ExitStack) -> Scene:
    shared = _sticky_shared(root, stack, "protected_regular")
    os.chown(_existing(shared), SOMEBODY, SOMEBODY)
    return Scene(shared / "target")


def _symlink(root: Path, link: str, to: str) -> Path:
    if os.name != "posix":
        pytest.skip("symbolic links need a privilege on Windows")
    (root / link).parent.mkdir(exist_ok=True)
    (root / link).symlink_to(to)
    return root / link


def _char_device(root: Path, stack: contextlib.ExitStack) -> Scene:
    _root_only("making a device node")
    os.mknod(root / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    return Scene(root / "null")


def _fifo_with_reader(root: Path, stack: contextlib.ExitStack) -> Scene:
    if not hasattr(os, "mkfifo"):
        pytest.skip("no FIFOs here")
    fifo, got, done = root / "fifo", bytearray(), threading.Event()
    os.mkfifo(fifo)

    def read() -> None:  # every writer's bytes, however often the FIFO is opened
        while not done.is_set():
            with open(fifo, "rb") as f:
                got.extend(f.read())
    reader = threading.Thread(target=read, daemon=True)
    reader.start()

    def received() -> bytes:
        """All the reader got, once it has read to the end of every writer."""
        done.set()
        deadline = time.monotonic() + BOUND
        while reader.is_alive() and time.monotonic() < deadline:
            try:  # a writer that wakes the reader waiting for one
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass  # it is reading, or between two opens
            reader.join(0.05)
        return bytes(got)
    stack.callback(received)
    return Scene(fifo, seen=received)


def _default_acl(root: Path, stack: contextlib.ExitStack) -> Scene:
    if not hasattr(os, "setxattr"):
        pytest.skip("no ACLs here")
    shared = root / "shared"
    shared.mkdir()
    path = _existing(shared)  # made before the directory had its default ACL
    # The kernel's ACL extended attribute: version 2, then (tag, permissions, id) entries sorted by tag:
    # owner rw-, user NOBODY r--, group ---, mask r--, others ---.
    entries = [(0x01, 6, 0xFFFFFFFF), (0x02, 4, NOBODY), (0x04, 0, 0xFFFFFFFF), (0x10, 4, 0xFFFFFFFF),
               (0x20, 0, 0xFFFFFFFF)]
    try:
        os.setxattr(shared, "system.posix_acl_default",
                    struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries))
    except OSError as exc:
        pytest.skip(f"no POSIX ACLs on this file system: {exc}")
    return Scene(path)


def _set_id(root: Path, stack: contextlib.ExitStack) -> Scene:
    _root_only("running without CAP_FSETID")
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv (util-linux) is missing")
    return Scene(_existing(root, mode=0o6750), child=["setpriv", "--inh-caps=-fsetid", "--bounding-set=-fsetid"])


def _private_mounts() -> list[str]:
    """A command prefix: a mount namespace of the child's own."""
    _root_only("a mount namespace")
    if shutil.which("unshare") is None:
        pytest.skip("unshare (util-linux) is missing")
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"], capture_output=True, text=True)
    if probe.returncode != 0:  # no CAP_SYS_ADMIN (a container's root), or / is no mount point
        pytest.skip(f"no private mount namespace here: {probe.stderr.strip()}")
    return ["unshare", "-m", "--propagation", "private"]


NO_PROC = [["mount", "-t", "tmpfs", "tmpfs", "/proc"]]  # a child's setup: no /proc, as in a chroot


def _bind_mounted(root: Path, stack: contextlib.ExitStack) -> Scene:
    mounts = _private_mounts()
    mounted = _existing(root, "mounted")
    mounted.write_bytes(b"the file mounted over the destination")
    return Scene(_existing(root), child=mounts, child_setup=[["mount", "--bind", str(mounted), str(root / "target")]])


def _flagged_directory(root: Path, stack: contextlib.ExitStack, flag: str) -> Path:
    """An existing file in a directory given the chattr flag (a: append-only, i: immutable) for the test."""
    _root_only(f"chattr +{flag}")
    if shutil.which("chattr") is None:
        pytest.skip("chattr is missing")
    (root / "dir").mkdir()
    path = _existing(root / "dir")
    try:
        _chattr(f"+{flag}", root / "dir")
    except subprocess.CalledProcessError as exc:
        pytest.skip(f"chattr +{flag} is refused here: {exc.stderr.decode(errors='replace').strip()}")
    stack.callback(_chattr, f"-{flag}", root / "dir")
    return path


_LEASE_HOLDER = """
import fcntl, signal, sys, time
held = open(sys.argv[1], "rb")
def give_up(*_):  # as a reader told of a writer does, after a moment
    time.sleep(0.2)
    fcntl.fcntl(held, fcntl.F_SETLEASE, fcntl.F_UNLCK)
signal.signal(signal.SIGIO, give_up)
fcntl.fcntl(held, fcntl.F_SETLEASE, fcntl.F_RDLCK)
print("held", flush=True)
time.sleep(60)
"""


def _read_lease(root: Path, stack: contextlib.ExitStack) -> Scene:
    """Another process holds a read lease on the destination: an open for writing waits for its break."""
    if not hasattr(pytest.importorskip("fcntl"), "F_SETLEASE"):
        pytest.skip("no leases here")
    path = _existing(root)
    holder = subprocess.Popen([sys.executable, "-c", _LEASE_HOLDER, str(path)], stdout=subprocess.PIPE, text=True)
    stack.callback(holder.wait)
    stack.callback(holder.kill)
    if holder.stdout is None or holder.stdout.readline() != "held\n":
        pytest.skip("a read lease is refused here")
    return Scene(path)


def _no_temporary_anywhere(root: Path, stack: contextlib.ExitStack) -> Scene:
    """Neither the destination's directory nor the temporary directory takes a new file."""
    path = _flagged_directory(root, stack, "i")
    stack.enter_context(_patched(tempfile, "tempdir", str(path.parent)))
    return Scene(path)


@contextlib.contextmanager
def _patched(owner: Any, name: str, value: Any) -> Iterator[None]:
    old = getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, old)


def _nearly_full(sparse: bool | None) -> Callable[[Path, contextlib.ExitStack], Scene]:
    """A hard-linked file (None: no file yet) on a file system where the new bytes fit, but not twice."""
    def make(root: Path, stack: contextlib.ExitStack) -> Scene:
        _root_only("mounting a tmpfs")
        small = root / "small"
        small.mkdir()
        pages = -(-len(NEW) // 4096)
        size = (pages * 2 - 8) * 4096
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(small)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"cannot mount a tmpfs here: {done.stderr}")
        stack.callback(subprocess.run, ["umount", str(small)], check=True)
        path = small / "target"
        if sparse is None:  # as for get, one copy needs room: the answer is get's
            return Scene(path)
        with open(path, "wb") as f:
            if sparse:
                f.write(b"old head")
                f.truncate(len(NEW) + 4096)
            else:
                f.write(os.urandom(len(NEW) * 5 // 6))
        os.link(path, small / "other-name")
        return Scene(path, whole=True)
    return make


def _umask_0277(where: str) -> Callable[[Path, contextlib.ExitStack], Scene]:
    """A umask that takes the owner's write bit, for a caller whom the mode bits bind (root loses
    CAP_DAC_OVERRIDE): the client reopens its file by path for writing.  A new file, or an existing one
    in a directory the caller may not write (the temporary file then made elsewhere), or a new file
    without /proc (a named temporary file)."""
    def make(root: Path, stack: contextlib.ExitStack) -> Scene:
        umask = ["sh", "-c", 'umask 0277 && exec "$0" "$@"']
        if os.name != "posix":
            pytest.skip("a umask is a POSIX process's")
        mounts, target = _private_mounts() if where == "no-proc" else [], root / "target"
        if where == "unwritable-directory":
            (root / "dir").mkdir()
            target = _existing(root / "dir", mode=0o644)
            (root / "dir").chmod(0o555)
        if os.geteuid() != 0:
            return Scene(target, child=umask)
        if shutil.which("setpriv") is None:
            pytest.skip("setpriv (util-linux) is missing")
        drop = "-dac_override,-dac_read_search"
        return Scene(target, child=[*mounts, "setpriv", f"--inh-caps={drop}", f"--bounding-set={drop}", *umask],
                     child_setup=NO_PROC if mounts else [])
    return make


def _chdir_without_proc(root: Path, stack: contextlib.ExitStack) -> Scene:
    """Without /proc, a relative destination and another thread's chdir after the temporary file is made
    (an audit hook places it there): the client's path for that file stays where it was made."""
    (root / "here").mkdir()
    (root / "there").mkdir()
    return Scene("target", child=_private_mounts(), child_setup=NO_PROC, child_code=(
        f"os.chdir({str(root / 'here')!r})\n"
        f"sys.addaudithook(lambda e, a: e == 'open' and str(a[0]).startswith('.sftp_main-') and "
        f"os.chdir({str(root / 'there')!r}))"))


def _others_sticky_without_proc(root: Path, stack: contextlib.ExitStack) -> Scene:
    """Without /proc, a new file in a sticky directory of another user, who may rename anyone's entries
    there: it swaps the temporary file for a file of its own before the client opens it."""
    mounts = _private_mounts()
    (root / "shared").mkdir()
    (root / "shared").chmod(0o1777)
    os.chown(root / "shared", NOBODY, NOBODY)
    return Scene(root / "shared" / "target", child=mounts, child_setup=NO_PROC, child_code=f"""
def swap(event, args, done=[]):
    if event == "open" and str(args[0]).startswith({str(root / "shared" / ".sftp_main-")!r}) and not done:
        done.append(args[0])
        os.rename(args[0], {str(root / "shared" / "taken")!r})
        os.close(os.open(args[0], os.O_CREAT | os.O_WRONLY, 0o666))
        os.chown(args[0], {NOBODY}, {NOBODY})
sys.addaudithook(swap)""")


def _link_planted(root: Path, stack: contextlib.ExitStack) -> Scene:
    """Another user plants a link to the caller's file under the new name once the client has written (get
    made the name at its start)."""
    if os.name != "posix":
        pytest.skip("symbolic links need a privilege on Windows")
    victim = _existing(root, "victim")

    def plant() -> None:
        if not (root / "target").exists():  # get made it at its start
            (root / "target").symlink_to(victim)
    return Scene(root / "target", after=plant, whole=True, planted="target")


def _no_fallocate(root: Path, stack: contextlib.ExitStack) -> Scene:
    """A hard-linked file on a file system without fallocate(2) (ramfs), where glibc's emulation reads
    the file, which the download holds open for writing only."""
    _root_only("mounting a ramfs")
    ram = root / "ram"
    ram.mkdir()
    done = subprocess.run(["mount", "-t", "ramfs", "ramfs", str(ram)], capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a ramfs here: {done.stderr}")
    stack.callback(subprocess.run, ["umount", str(ram)], check=True)
    path = ram / "target"
    path.write_bytes(b"old bytes " * 500)  # reaching past the first block the emulation probes
    os.link(path, ram / "other-name")
    return Scene(path)


def _cwd_removed(root: Path, stack: contextlib.ExitStack) -> Scene:
    """A working directory removed (as a daemon's may be): an absolute destination does not need it."""
    if os.name != "posix":
        pytest.skip("Windows removes no working directory")
    with contextlib.suppress(FileNotFoundError):  # the second scene finds the first one's removed
        stack.callback(os.chdir, os.getcwd())
    (root / "gone").mkdir()
    os.chdir(root / "gone")
    (root / "gone").rmdir()
    return Scene(_existing(root))


def _link_added(root: Path, stack: contextlib.ExitStack) -> Scene:
    path = _existing(root)
    return Scene(path, hook=lambda: os.link(path, root / "other-name"))


SCENES: dict[str, Callable[[Path, contextlib.ExitStack], Scene]] = {
    "symlink": lambda r, s: (_existing(r, "file"), Scene(_symlink(r, "link", "file")))[1],
    "symlink-elsewhere": lambda r, s: ((r / "elsewhere").mkdir(), _existing(r / "elsewhere", "file"),
                                       Scene(_symlink(r, "here/link", "../elsewhere/file")))[2],
    "dangling-symlink": lambda r, s: Scene(_symlink(r, "link", "nowhere")),
    "char-device": _char_device,
    "fifo-with-reader": _fifo_with_reader,
    "directory": lambda r, s: ((r / "dir").mkdir(), (r / "dir" / "inside").write_bytes(b"kept"),
                               Scene(r / "dir"))[2],
    "protected-symlink": _protected_symlink,
    "protected-regular": _protected_regular,
    "default-acl": _default_acl,
    "set-id-without-fsetid": _set_id,
    "bind-mounted": _bind_mounted,
    "append-only-directory": lambda r, s: Scene(_flagged_directory(r, s, "a")),
    "read-lease": _read_lease,
    "no-temporary-anywhere": _no_temporary_anywhere,
    "nearly-full-hard-linked": _nearly_full(False),
    "nearly-full-sparse": _nearly_full(True),
    "nearly-full-new": _nearly_full(None),
    "hard-link-added-in-transfer": _link_added,
    # The path as the kernel reads it: `..` after a link, a trailing slash, a missing directory.
    "dotdot-through-link": lambda r, s: ((r / "elsewhere" / "real").mkdir(parents=True),
                                         _symlink(r, "here/link", "../elsewhere/real"),
                                         _existing(r / "here", "out.bin"), Scene(f"{r}/here/link/../out.bin"))[3],
    "trailing-slash-on-file": lambda r, s: Scene(f"{_existing(r)}/"),
    "trailing-slash-on-missing": lambda r, s: Scene(f"{r}/newname/"),
    "missing-parent": lambda r, s: Scene(r / "missing" / "target"),
    "working-directory-removed": _cwd_removed,
    "umask-0277": _umask_0277(""),
    "umask-0277-unwritable-directory": _umask_0277("unwritable-directory"),
    "umask-0277-no-proc": _umask_0277("no-proc"),
    "chdir-no-proc": _chdir_without_proc,
    "others-sticky-directory-no-proc": _others_sticky_without_proc,
    "link-planted-in-transfer": _link_planted,
    "no-fallocate-hard-linked": _no_fallocate,
}


def _tree(root: Path) -> dict[str, tuple[Any, ...]]:
    """Each entry under root: its content (a digest of its bytes, the text of a link), mode, owner, group,
    links, extended attributes (ACLs among them) and inode."""
    found = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = Path(directory, name)
            info = path.lstat()
            content = (os.readlink(path) if stat.S_ISLNK(info.st_mode) else
                       hashlib.sha256(path.read_bytes()).hexdigest()[:16] if stat.S_ISREG(info.st_mode) else None)
            attributes = ({n: os.getxattr(path, n, follow_symlinks=False)
                           for n in os.listxattr(path, follow_symlinks=False)} if hasattr(os, "listxattr") else {})
            found[str(path.relative_to(root))] = (content, info.st_mode, info.st_uid, info.st_gid, info.st_nlink,
                                                  attributes, info.st_ino)
    return found


def _changes(before: dict[str, tuple[Any, ...]], after: dict[str, tuple[Any, ...]]) -> dict[str, tuple[Any, ...]]:
    """The tree after, each entry's inode replaced by whether it is the one there before, except for a
    regular file, which a download may replace by a new file with all that the old one had."""
    return {name: entry[:6] + (stat.S_ISREG(entry[1]) or before.get(name, (0,) * 7)[6] == entry[6],)
            for name, entry in after.items()}


class Hooked:
    """An SFTP client whose get first runs hook, and after once it has written."""

    def __init__(self, client: Any, hook: Callable[[], Any] | None, after: Callable[[], Any] | None = None) -> None:
        self.client, self.hook, self.after = client, hook, after

    def get(self, remote: str, local: Any) -> Any:
        if self.hook is not None:
            self.hook()
        answer = self.client.get(remote, local)
        if self.after is not None:
            self.after()
        return answer


_CHILD = """
import json, os, subprocess, sys, sftp_main
for command in json.loads(sys.argv[4]):
    subprocess.run(command, check=True)
exec(sys.argv[5])
obj = sftp_main.VornaxSFTPMain(json.loads(sys.argv[1]))
obj._connect()
if sys.argv[2] == "module":
    answer = obj._download("remote", sys.argv[3])
else:
    try:
        answer = obj._sftp.get("remote", sys.argv[3]) is None
    except Exception:
        answer = False
print(json.dumps(answer))
"""


def _download_as(how: str, obj: Any, scene: Scene, server: Any) -> Any:
    """The module's answer (an exception it raised stands for itself), or get's: True, or False when it raised."""
    if scene.child is not None:
        proc = subprocess.run([*scene.child, sys.executable, "-c", _CHILD, json.dumps(server.config()), how,
                               str(scene.target), json.dumps(scene.child_setup), scene.child_code],
                              capture_output=True, text=True, timeout=BOUND)
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout.splitlines()[-1])
    client = obj._sftp if scene.hook is scene.after is None else Hooked(obj._sftp, scene.hook, scene.after)
    if how == "get":
        answer = _bounded(lambda: client.get("remote", str(scene.target)))
        return not isinstance(answer, BaseException)
    real, obj._sftp = obj._sftp, client
    try:
        return _bounded(lambda: obj._download("remote", str(scene.target)))
    finally:
        obj._sftp = real


@pytest.mark.parametrize("scene", list(SCENES))
def test_download_does_what_get_does(sftp_server, tmp_path: Path, scene: str) -> None:
    """Same answer and same files as paramiko's get on a fresh copy of the set-up: links stay links, special
    files are never replaced, nothing is widened, nothing is left beside the destination."""
    obj = connected(sftp_server)
    (tmp_path / "new").write_bytes(NEW)
    assert obj._upload(str(tmp_path / "new"), "remote") is True
    outcomes, befores = {}, {}
    parts_before = _parts()
    with contextlib.ExitStack() as stack:
        for how in ("module", "get"):
            root = tmp_path / how
            root.mkdir()
            made = SCENES[scene](root, stack)
            befores[how] = _tree(root)
            answer = _download_as(how, obj, made, sftp_server)
            outcomes[how] = answer, _changes(befores[how], _tree(root)), made.seen()
    obj._close()
    assert _parts() - parts_before == set()
    (answer, tree, seen), expected = outcomes["module"], outcomes["get"]
    if made.whole and answer is False:  # refused cleanly: everything as it was
        tree.pop(made.planted, None)
        assert tree == _changes(befores["module"], befores["module"])
    else:
        assert answer is expected[0]
        assert tree == expected[1]
        assert seen == expected[2]


def _parts() -> set[str]:
    """Temporary files a download may have left in the caller's temporary directory (the test's own)."""
    return {n for n in os.listdir(tempfile.gettempdir()) if n.startswith(".sftp_main-") and n.endswith(".part")}


def _swapped_for_fifo(root: Path, monkeypatch: pytest.MonkeyPatch) -> tuple[Path, Callable[[], Any]]:
    if not hasattr(os, "mkfifo"):
        pytest.skip("no FIFOs here")
    path = _existing(root)
    os.link(path, root / "other-name")
    return path, lambda: (path.unlink(), os.mkfifo(path))


def _cwd_changed(root: Path, monkeypatch: pytest.MonkeyPatch) -> tuple[Path, Callable[[], Any]]:
    (root / "here").mkdir()
    (root / "there").mkdir()
    os.chdir(root / "here")
    return Path("target"), lambda: os.chdir(root / "there")


def _temporary_swapped(root: Path, monkeypatch: pytest.MonkeyPatch) -> tuple[Path, Callable[[], Any]]:
    """Where /proc reaches no descriptor, another user who may write the destination's directory (not
    sticky) replaces a temporary file's name there, if it has one, by a link to the caller's private file
    before the client opens it."""
    _without(monkeypatch, "stat", lambda p, *a: str(p).startswith("/proc/self/fd/"), FileNotFoundError(2, "no"))
    root.chmod(0o777)
    (root.parent / "private").mkdir(mode=0o700)
    victim = _existing(root.parent / "private", "victim", 0o600)

    def swap() -> None:
        for name in os.listdir(root):
            if name.startswith(".sftp_main-"):
                with contextlib.suppress(OSError):  # Windows: a file held open cannot go
                    os.unlink(root / name)
                    os.symlink(victim, root / name)
    return _existing(root), swap


def _renamed_away(root: Path, monkeypatch: pytest.MonkeyPatch) -> tuple[Path, Callable[[], Any]]:
    """Another user renames the new destination away as soon as it appears."""
    if sys.platform != "linux":
        pytest.skip("a new file appears by a link only on Linux; elsewhere it is open while written, "
                    "and Windows renames no open file")
    target, real = root / "target", os.link

    def rename() -> None:
        with contextlib.suppress(FileNotFoundError):
            os.rename(target, root / "elsewhere")

    def link(*args: Any, **kwargs: Any) -> None:
        real(*args, **kwargs)
        rename()
    monkeypatch.setattr(os, "link", link)
    return target, rename


@pytest.mark.parametrize("change", [_swapped_for_fifo, _cwd_changed, _temporary_swapped, _renamed_away],
                         ids=["swapped-for-fifo", "chdir", "temporary-swapped", "renamed-away"])
def test_download_writes_the_file_it_opened(embedded_server, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                            change: Callable[[Path], tuple[Path, Callable[[], Any]]]) -> None:
    """What the destination or the temporary file turns into while the bytes travel does not redirect
    them: a FIFO put in its place is neither waited on nor replaced, a relative path stays relative to
    the directory current at the call, a file put under the temporary file's name is never written, and
    True means the path names the file written."""
    obj = connected(embedded_server)
    (tmp_path / "new").write_bytes(NEW)
    obj._upload(str(tmp_path / "new"), "remote")
    root = tmp_path / "local"
    root.mkdir()
    monkeypatch.chdir(tmp_path)  # restored after the test
    target, hook = change(root, monkeypatch)
    real, obj._sftp = obj._sftp, Hooked(obj._sftp, hook)
    try:
        answer = _bounded(lambda: obj._download("remote", str(target)))
    finally:
        obj._sftp = real
    obj._close()
    if change is _swapped_for_fifo:  # the bytes are in the file opened, which the path no longer names
        assert stat.S_ISFIFO((root / "target").lstat().st_mode)
        assert (answer, sorted(os.listdir(root)), (root / "other-name").read_bytes()) == (
            False, ["other-name", "target"], NEW)
    elif change is _cwd_changed:
        assert (answer, os.listdir(root / "here"), os.listdir(root / "there")) == (True, ["target"], [])
        assert (root / "here" / "target").read_bytes() == NEW
    elif change is _renamed_away:
        assert (answer, os.listdir(root), (root / "elsewhere").read_bytes()) == (False, ["elsewhere"], NEW)
    else:  # the name is made where nobody else may take it
        assert (answer, target.read_bytes(), os.listdir(root)) == (True, NEW, ["target"])
        assert (root.parent / "private" / "victim").read_bytes() == b"precious bytes"


def test_new_file_appears_complete_as_get_makes_it(embedded_server, tmp_path: Path) -> None:
    """While the bytes arrive, nothing is at the destination's path and the file the client fills has no
    name (where /proc reaches it); the file then appears with the mode and ACL that get's own creation
    gives, under a umask that leaves the group write bit and a default ACL that lets another user in."""
    obj = connected(embedded_server)
    (tmp_path / "new").write_bytes(NEW)
    obj._upload(str(tmp_path / "new"), "remote")
    root = tmp_path / "local"
    root.mkdir()
    acl = "system.posix_acl_default"
    if hasattr(os, "setxattr"):  # user NOBODY rw-, the rest as the mode says
        with contextlib.suppress(OSError):
            os.setxattr(root, acl, struct.pack("<I", 2) + b"".join(
                struct.pack("<HHI", *e) for e in [(0x01, 6, 0xFFFFFFFF), (0x02, 6, NOBODY),
                                                  (0x04, 6, 0xFFFFFFFF), (0x10, 6, 0xFFFFFFFF),
                                                  (0x20, 4, 0xFFFFFFFF)]))
    seen = []  # the links of the file the client is given, and what the directory shows meanwhile

    class Watched(Hooked):
        def get(self, remote: str, local: Any) -> Any:
            seen.append((os.stat(local).st_nlink, sorted(os.listdir(root))))
            return self.client.get(remote, local)

    def made(path: Path) -> tuple[Any, ...]:
        access = "system.posix_acl_access"
        listed = os.listxattr(path) if hasattr(os, "listxattr") else []
        return stat.S_IMODE(path.stat().st_mode), os.getxattr(path, access) if access in listed else None
    real, obj._sftp = obj._sftp, Watched(obj._sftp, lambda: None)
    umask = os.umask(0o002)
    try:
        answer = _bounded(lambda: obj._download("remote", str(root / "target")))
        real.get("remote", str(root / "by-get"))
    finally:
        os.umask(umask)
        obj._sftp = real
    obj._close()
    [(links, during)] = seen
    names = [n for n in during if n.startswith(".sftp_main-")]
    assert (answer, "target" in during, len(names), sorted(os.listdir(root))) == (
        True, False, 0 if UNNAMED or os.name == "nt" else 1, ["by-get", "target"])
    assert links == (0 if UNNAMED else 1) and made(root / "target") == made(root / "by-get")


@pytest.mark.parametrize("released", [False, True], ids=["held", "released-in-time"])
def test_held_lock_ends_in_false_within_the_timeout(embedded_server, tmp_path: Path,
                                                   monkeypatch: pytest.MonkeyPatch, released: bool) -> None:
    """A lock another process holds on the destination is waited for no longer than the configured
    timeout; the destination stays as it was and the connection goes on.  A lock released within the
    timeout is had, however short the pauses between two tries are."""
    fcntl = pytest.importorskip("fcntl", reason="no flock here: the download takes no lock (README)")
    if released:
        short = time.sleep
        monkeypatch.setattr(time, "sleep", lambda seconds: short(min(seconds, 0.001)))
    obj = C(dict(embedded_server.config(), timeout=1))
    obj._connect()
    (tmp_path / "new").write_bytes(NEW)
    obj._upload(str(tmp_path / "new"), "remote")
    (tmp_path / "local").mkdir()
    target = _existing(tmp_path / "local")
    with open(target, "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_SH)
        unlock = threading.Timer(0.4, fcntl.flock, (holder, fcntl.LOCK_UN))
        if released:
            unlock.start()
        answer = _bounded(lambda: obj._download("remote", str(target)))
        if released:
            unlock.join()
    assert (answer, target.read_bytes(), os.listdir(target.parent)) == (
        (True, NEW, ["target"]) if released else (False, b"precious bytes", ["target"]))
    assert obj._stat("remote").st_size == len(NEW)
    obj._close()


@pytest.mark.parametrize("proc", [True, False], ids=["proc", "no-proc"])
def test_failed_download_removes_nothing_elsewhere(embedded_server, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                   proc: bool) -> None:
    """Another user who may write the directory above the destination's swaps the destination's directory
    for a link to one of the caller's private directories just before anything is removed: nothing there
    goes, whether /proc reaches the temporary file or it has a name."""
    obj, shared, private = connected(embedded_server), tmp_path / "shared", tmp_path / "private"
    (shared / "work").mkdir(parents=True)
    private.mkdir(mode=0o700)
    victim = _existing(private, "target", 0o600)
    if not proc:
        _without(monkeypatch, "stat", lambda p, *a: str(p).startswith("/proc/self/fd/"), FileNotFoundError(2, "no"))
    real = {name: getattr(os, name) for name in ("unlink", "remove")}

    def swap_first(name: str) -> Callable[..., Any]:
        def removing(*args: Any, **kwargs: Any) -> Any:
            if (shared / "work").is_dir() and not (shared / "work").is_symlink():
                os.rename(shared / "work", shared / "old")
                os.symlink(private, shared / "work")
            return real[name](*args, **kwargs)
        return removing
    for name in real:
        monkeypatch.setattr(os, name, swap_first(name))
    assert obj._download("no-such-remote-file", str(shared / "work" / "target")) is False
    monkeypatch.undo()
    obj._close()
    assert victim.read_bytes() == b"precious bytes" and os.listdir(private) == ["target"]
    assert list((shared / "old").glob("*")) == []  # a temporary name went through its own directory


@pytest.mark.parametrize("step, cyclic", [("close", False), ("unlink", False), ("close", True)])
def test_cleanup_goes_on_through_interrupts(embedded_server, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                            step: str, cyclic: bool) -> None:
    """A Ctrl-C at every step of a failed download's cleanup is raised once all it made is gone, also
    after a client error whose contexts link back to itself.  A name to remove is there only where /proc
    reaches no file without one."""
    obj, local = connected(embedded_server), tmp_path / "local"
    local.mkdir()
    if cyclic:
        def failing() -> None:
            first, second = OSError("first"), OSError("second")
            first.__context__, second.__context__ = second, first
            raise first
        obj._sftp = Hooked(obj._sftp, failing)
    if step == "unlink":
        _without(monkeypatch, "stat", lambda p, *a: str(p).startswith("/proc/self/fd/"), FileNotFoundError(2, "no"))
    held, real, parts_before = _descriptors_under(local), getattr(os, step), _parts()

    def interrupted(*args: Any, **kwargs: Any) -> None:
        real(*args, **kwargs)
        raise KeyboardInterrupt
    monkeypatch.setattr(os, step, interrupted)
    answer = _bounded(lambda: obj._download("no-such-remote-file", str(local / "target")))
    monkeypatch.undo()
    assert isinstance(answer, KeyboardInterrupt)
    assert (os.listdir(local), _descriptors_under(local), _parts() - parts_before) == ([], held, set())


def test_ctrl_c_between_tail_chunks_keeps_the_old_file(embedded_server, tmp_path: Path) -> None:
    """A Ctrl-C while the new tail of an existing file goes in takes effect before the next chunk, which
    cuts the tail off again: the old bytes and size stay."""
    if os.name == "nt":
        pytest.skip("under Wine another descriptor sees the file grow only once the download is done")
    obj, target, chunk = connected(embedded_server), tmp_path / "target", 8 << 20
    (embedded_server.root / "big").write_bytes(os.urandom(5 * chunk))
    for _ in range(5):  # until the Ctrl-C comes with a chunk still to start after it
        target.write_bytes(b"old")
        fd, seen = os.open(target, os.O_RDONLY), [3]

        def trip() -> None:
            """Once the file grew.  It waits for the GIL, not in a sleep, so that it runs while a chunk's
            copy lets the GIL go: in the module's own code, never in a Python frame that would take the
            interrupt itself."""
            deadline = time.monotonic() + BOUND
            while seen[0] == 3 and time.monotonic() < deadline:
                seen[0] = os.fstat(fd).st_size
            _thread.interrupt_main()
        threading.Thread(target=trip, daemon=True).start()
        with pytest.raises(KeyboardInterrupt):
            obj._download("big", str(target))
            time.sleep(1)  # where a Ctrl-C that the module let pass takes effect
        os.close(fd)
        if seen[0] <= 3 * chunk + 3:
            break
    obj._close()
    assert seen[0] <= 3 * chunk + 3 and target.read_bytes() == b"old"


@pytest.mark.parametrize("order", ["failed-first", "filled-first"])
def test_two_downloads_into_one_new_path(embedded_server, tmp_path: Path, order: str) -> None:
    """One download of a new file fails while another is under way, before or after the other is done:
    nothing the failure does removes or spoils the other's file."""
    pytest.importorskip("fcntl", reason="no flock here: concurrent downloads into one file may mix (README)")
    maker, filler = connected(embedded_server), connected(embedded_server)
    (tmp_path / "new").write_bytes(NEW)
    maker._upload(str(tmp_path / "new"), "remote")
    target, events = tmp_path / "target", {n: threading.Event() for n in ("made", "opened", "failed", "filled")}

    def failing() -> None:  # the maker's get: it fails once the filler has the file open
        events["made"].set()
        assert events["opened"].wait(BOUND) and (order == "failed-first" or events["filled"].wait(BOUND))
        raise OSError("the transfer failed")

    def filling() -> None:  # the filler's get
        events["opened"].set()
        assert order == "filled-first" or events["failed"].wait(BOUND)
    answers: dict[str, Any] = {}

    def run(name: str, obj: Any, hook: Callable[[], Any], done: str) -> None:
        obj._sftp = Hooked(obj._sftp, hook)
        answers[name] = obj._download("remote", str(target))
        events[done].set()
    workers = [threading.Thread(target=run, args=("maker", maker, failing, "failed"))]
    workers[0].start()
    assert events["made"].wait(BOUND)
    workers.append(threading.Thread(target=run, args=("filler", filler, filling, "filled")))
    workers[1].start()
    for w in workers:
        w.join(BOUND)
    assert (answers, target.read_bytes()) == ({"maker": False, "filler": True}, NEW)


def test_concurrent_downloads_to_one_hard_linked_file(sftp_server, tmp_path: Path,
                                                       monkeypatch: pytest.MonkeyPatch) -> None:
    """Four sessions download four versions onto one file with two names at once: each round
    ends with one whole version under both names."""
    pytest.importorskip("fcntl", reason="no flock here: concurrent downloads into one file may mix (README)")
    versions = [bytes([i]) * (200_000 + i * 30_000) for i in range(4)]
    sessions = [connected(sftp_server) for _ in versions]
    for i, data in enumerate(versions):
        (tmp_path / "v").write_bytes(data)
        assert sessions[0]._upload(str(tmp_path / "v"), f"v{i}") is True
    target = _hard_linked(tmp_path, monkeypatch).path
    for round in range(25):
        start, answers = threading.Barrier(len(versions)), [None] * len(versions)

        def fetch(i: int) -> None:
            start.wait()
            answers[i] = sessions[i]._download(f"v{i}", str(target))
        workers = [threading.Thread(target=fetch, args=(i,)) for i in range(len(versions))]
        for w in workers:
            w.start()
        for w in workers:
            w.join(BOUND)
        assert answers == [True] * len(versions)
        content = target.read_bytes()
        assert content in versions, f"round {round}: {len(content)} bytes of {sorted(set(content))}, no whole version"
        assert (tmp_path / "other-name").read_bytes() == content
    for obj in sessions:
        obj._close()


# --- what an upload keeps ------------------------------------------------------------------------------

OLD = b"old bytes " * 30_000
HIDDEN = ".sftp_main-"  # the temporary file's name: .sftp_main-<32 hex digits>.part


def _login(server: Any) -> tuple[int, int]:
    """The owner and group of a file the server's login makes (the embedded server runs as the tests)."""
    return getattr(server, "uid", os.getuid()), getattr(server, "gid", os.getgid())


def _small_disk(directory: Path, stack: contextlib.ExitStack) -> None:
    """A tmpfs of 1 MiB at directory: the new bytes do not fit."""
    _root_only("mounting a tmpfs")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0777", "tmpfs", str(directory)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr}")
    stack.callback(subprocess.run, ["umount", str(directory)], check=True)


def _up_scene(case: str, d: Path, server: Any, stack: contextlib.ExitStack) -> str:
    """Makes the destination of `case` in the server's directory d; its name there."""
    if case.startswith("fails"):
        _small_disk(d, stack)
    if case in ("fails-into-existing", "private-0600", "symlink", "paramiko-subclass"):
        (d / "file").write_bytes(OLD)
        os.chown(d / "file", *_login(server))
        (d / "file").chmod(0o600)
    if case == "symlink":
        (d / "link").symlink_to("file")
        return "link"
    if case == "others-shared":  # another owner's file, the login's group may write it
        _root_only("giving a file away")
        (d / "file").write_bytes(OLD)
        os.chown(d / "file", NOBODY, _login(server)[1] if _login(server)[0] else SOMEBODY)
        (d / "file").chmod(0o664)
    return "file"


@pytest.mark.parametrize("case", ["fails-into-new", "fails-into-existing", "private-0600", "symlink",
                                  "others-shared", "paramiko-subclass"])
def test_upload_keeps_the_destination(sftp_server, tmp_path: Path, case: str) -> None:
    """Against plain put on the same set-up: a failure part-way leaves nothing new and the old bytes whole;
    a 0600 file is never wider at any moment and keeps its mode and owner; a symlink is written through,
    another owner's shared file in place, as put does, and so is a file through a client that is not
    paramiko's own SFTPClient (a subclass): put(src_file, dsc_path) alone."""
    if not hasattr(os, "chown"):
        pytest.skip("the scenes give files owners and POSIX modes")
    obj, data = connected(sftp_server), os.urandom(2 << 20)
    (tmp_path / "src").write_bytes(data)
    outcomes, widest, puts = {}, [], []

    class Sub(paramiko.SFTPClient):
        def put(self, *args: Any, **kwargs: Any) -> Any:
            puts.append((args, kwargs))
            return super().put(*args, **kwargs)
    client, request = obj._sftp, obj._sftp._request

    def watched(*args: Any) -> Any:  # what the directory shows between two requests
        answer = request(*args)
        widest.append(max([stat.S_IMODE(p.lstat().st_mode) for p in d.iterdir() if not p.is_symlink()] or [0]))
        return answer
    with contextlib.ExitStack() as stack:
        for how in ("module", "put"):
            d = sftp_server.root / how
            d.mkdir()
            os.chown(d, *_login(sftp_server))
            name = _up_scene(case, d, sftp_server, stack)
            before, remote, widest[:] = _tree(d), sftp_server.remote_path(how, name), []
            client._request = watched
            if case == "paramiko-subclass" and how == "module":
                client.__class__ = Sub
            if how == "module":
                answer = obj._upload(str(tmp_path / "src"), remote)
            else:
                answer = not isinstance(_outcome(client.put, str(tmp_path / "src"), remote), Exception)
            client.__class__, client._request = paramiko.SFTPClient, request
            outcomes[how] = answer, before, _tree(d), max(widest)
    obj._close()
    (answer, before, after, wide), (put_answer, _, put_after, _) = outcomes["module"], outcomes["put"]
    if case.startswith("fails"):  # nothing new left, old bytes kept; put leaves a part or loses them
        assert (answer, after, put_answer) == (False, before, False) and put_after != before
        return
    digest = hashlib.sha256(data).hexdigest()[:16]
    assert answer is True and {n: e[:5] for n, e in after.items()} == {n: e[:5] for n, e in put_after.items()}
    assert after["file"][0] == digest and after["file"][1:4] == before["file"][1:4]  # mode, owner, group
    if case == "private-0600":
        assert wide == 0o600
    else:  # written in place: the very file
        assert after["file"][6] == before["file"][6] and sorted(after) == sorted(before)
    assert puts == ([((str(tmp_path / "src"), sftp_server.remote_path("module", "file")), {})]
                    if case == "paramiko-subclass" else [])


@pytest.mark.parametrize("kind", ["embedded", "openssh"])
def test_upload_to_a_server_without_posix_rename(tmp_path: Path, kind: str) -> None:
    """A new file is renamed in (a plain rename never replaces a file); an existing one is written in
    place by put, since nothing else keeps it while the new bytes travel.  Nothing else is left."""
    if kind == "openssh" and openssh_missing():
        pytest.skip(openssh_missing())
    (tmp_path / "root").mkdir()
    (tmp_path / "src").write_bytes(NEW)
    refused = ("posix-rename@openssh.com",)
    if kind == "embedded":
        server = EmbeddedServer(tmp_path / "root", refused=refused)
    else:
        from servers.openssh import OpenSSHServer
        server = OpenSSHServer(refused=refused)
    with server:
        obj = connected(server)
        with pytest.raises(OSError):
            obj._posix_rename("x", "y")
        (server.root / "old").write_bytes(OLD)
        if hasattr(os, "chown"):
            os.chown(server.root / "old", *_login(server))
        inode, request, partial = (server.root / "old").stat().st_ino, obj._sftp._request, []

        def watched(*args: Any) -> Any:  # whether the new file shows, not yet whole, between two requests
            answer = request(*args)
            partial.append((server.root / "new").exists() and (server.root / "new").stat().st_size < len(NEW))
            return answer
        obj._sftp._request = watched
        assert obj._upload(str(tmp_path / "src"), "new") is True and not any(partial)
        assert obj._upload(str(tmp_path / "src"), "old") is True
        obj._close()
        assert sorted(os.listdir(server.root)) == ["new", "old"] and (server.root / "old").stat().st_ino == inode
        assert (server.root / "new").read_bytes() == (server.root / "old").read_bytes() == NEW
