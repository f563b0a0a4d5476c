"""The module against real SFTP servers: the embedded one and OpenSSH."""

import dataclasses
import hashlib
import os
import shutil
import socket
import subprocess
import tempfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import paramiko
import pytest

from conftest import C, QUAL, assert_released, catch, connected, module_entries, resources, settle

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


# --- what a download keeps ----------------------------------------------------------------------------

MAX_PATH = 260  # Windows' path limit, imitated elsewhere by refusing longer paths to os.open


@dataclass
class Destination:
    path: Path
    in_place: bool = False  # a successful download keeps the very file (its inode)
    partner: Path | None = None  # another name of the file
    succeeds: bool = True  # whether the download of new bytes is to succeed
    holder: Any = None  # a file object that holds the destination open during the test
    replace_calls: tuple[list[Any], int] | None = None  # calls of os.replace, and how many there must be


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
    return Destination(_existing(deep) if exists else deep / "target", in_place=exists)


def _chattr(flag: str, path: Path) -> None:
    subprocess.run(["chattr", flag, str(path)], check=True, capture_output=True)


def _other_owner(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    if not hasattr(os, "chown"):
        pytest.skip("files have no owner uid to give away here (no os.chown)")
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    path = _existing(directory)
    os.chown(path, 4321, 4322)
    return Destination(path, in_place=True)


def _with_attribute(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    path = _existing(directory)
    try:
        os.setxattr(path, "user.note", b"kept")
    except (AttributeError, OSError) as exc:
        pytest.skip(f"no extended attributes here: {exc}")
    return Destination(path, in_place=True)


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
    return Destination(path, in_place=True, partner=directory / "other-name")


def _read_only(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    # On Windows the read-only attribute; the download succeeds where the
    # client's own open for writing would (root ignores the mode bits).
    path = _existing(directory, mode=0o444)
    return Destination(path, succeeds=os.access(path, os.W_OK))


def _full_disk(error: BaseException) -> Callable[[Path, pytest.MonkeyPatch], Destination]:
    def make(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
        destination = _hard_linked(directory, monkeypatch)
        _refuse(monkeypatch, "write", error, None)
        return dataclasses.replace(destination, succeeds=False)
    return make


def _locked_directory(directory: Path, monkeypatch: pytest.MonkeyPatch) -> Destination:
    if getattr(os, "geteuid", lambda: -1)() != 0 or shutil.which("chattr") is None:
        pytest.skip("a directory that takes no new entries needs chattr and root")
    path = _existing(directory)
    _chattr("+i", directory)
    return Destination(path, in_place=True)


DESTINATIONS: dict[str, Callable[[Path, pytest.MonkeyPatch], Destination]] = {
    "absent": lambda d, mp: Destination(d / "target"),
    "existing": lambda d, mp: Destination(_existing(d)),
    "hard-linked": _hard_linked,
    "other-owner": _other_owner,
    "extended-attribute": _with_attribute,
    # Where os cannot list a file's attributes (Windows), it cannot tell what a move would lose.
    "attributes-unlisted": lambda d, mp: (Destination(_existing(d), in_place=True),
                                          mp.delattr(os, "listxattr", raising=False))[0],
    "255-byte-name": lambda d, mp: _named(d, "n" * 255, True),
    "255-byte-name-absent": lambda d, mp: _named(d, "é" * 127 + "n", False),
    "locked-directory": _locked_directory,
    "read-only": _read_only,
    "held-open": lambda d, mp: Destination(d / "target", holder=open(_existing(d), "rb")),
    # A move refused (a file bind-mounted over the path, open elsewhere on Windows): the bytes go in place.
    "replace-refused": lambda d, mp: Destination(_existing(d), in_place=True, replace_calls=(
        _refuse(mp, "replace", OSError(16, "Device or resource busy"), None), int(hasattr(os, "listxattr")))),
    # A file system that takes no mode (made first, then refused): the bytes go in place.
    # (a mode the umask takes bits from, which the temporary file gets only from chmod)
    "mode-refused": lambda d, mp: (Destination(_existing(d, mode=0o666), in_place=True),
                                   _refuse(mp, "chmod", PermissionError(1, "Operation not permitted"), None))[0],
    "near-max-path": lambda d, mp: _near_max_path(d, mp, True),
    "near-max-path-absent": lambda d, mp: _near_max_path(d, mp, False),
    "disk-full-copying-in": _full_disk(OSError(28, "No space left on device")),
    "interrupted-copying-in": _full_disk(KeyboardInterrupt()),
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
    prefix = "." + destination.name[:40] + "."
    return sorted(os.listdir(destination.parent)) + [
        n for n in os.listdir(tempfile.gettempdir()) if n.startswith(prefix) and n.endswith(".part")]


def test_download_keeps_what_the_destination_is(sftp_server, destination: Destination, tmp_path: Path) -> None:
    obj, target = connected(sftp_server), destination.path
    before, listing = _state(target), _strays(target)
    assert obj._download("no-such-remote-file", str(target)) is False
    assert _state(target) == before and _strays(target) == listing
    (tmp_path / "src").write_bytes(b"new bytes, more of them than before")
    assert obj._upload(str(tmp_path / "src"), "remote") is True
    try:
        answer = obj._download("remote", str(target))
    except KeyboardInterrupt:
        answer = None
    obj._close()
    assert _strays(target) == (listing if before is not None or not destination.succeeds else sorted(
        listing + [target.name]))
    after = _state(target)
    if not destination.succeeds:
        assert answer is not True and after == before
        return
    assert answer is True and after is not None and after[0] == b"new bytes, more of them than before"
    if before is not None:  # mode, owner, group, links and attributes kept; the file itself where it must be
        assert after[1:5] + after[6:] == before[1:5] + before[6:]
        assert not destination.in_place or after[5] == before[5]
    assert destination.partner is None or destination.partner.read_bytes() == after[0]
    assert destination.replace_calls is None or len(destination.replace_calls[0]) == destination.replace_calls[1]


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
