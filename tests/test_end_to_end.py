"""The module against real SFTP servers: the embedded one and OpenSSH."""

from __future__ import annotations

import gc
import hashlib
import os
import socket
import threading
import time
import traceback
from pathlib import Path

import paramiko
import pytest

import sftp_main
from servers.fixtures import embedded_server, openssh_server, sftp_server  # noqa: F401

TEN_MIB_PLUS = 10 * 1024 * 1024 + 12345


def connected(server) -> sftp_main.VornaxSFTPMain:
    obj = sftp_main.VornaxSFTPMain(server.config())
    obj._connect()
    return obj


def module_line(exc: BaseException) -> tuple[str, int]:
    """Function and line of the newest entry the module added."""
    frames = [f for f in traceback.extract_tb(exc.__traceback__) if f.filename == os.path.basename(sftp_main.__file__)]
    return frames[-1].name, frames[-1].lineno


def transport_threads() -> int:
    return sum(isinstance(t, paramiko.Transport) for t in threading.enumerate())


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def settle(predicate, timeout: float = 5.0) -> None:
    """Waits until the transports' threads have noticed their close."""
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.02)


def test_a_whole_session(sftp_server, tmp_path: Path) -> None:
    obj = connected(sftp_server)
    data = os.urandom(70_000)
    local = tmp_path / "local.bin"
    local.write_bytes(data)

    assert obj._mkdir("work") is True
    assert obj._chdir("work") is True
    assert obj._normalize(".").endswith("/work")
    assert obj._upload(str(local), "a.bin") is True          # relative to the new directory
    assert obj._stat("a.bin").st_size == len(data)
    assert obj._stat(sftp_server.remote_path("work", "a.bin")).st_size == len(data)
    assert obj._rename("a.bin", "b.bin") is True
    assert obj._upload(str(local), "c.bin") is True
    (tmp_path / "other.bin").write_bytes(b"other")
    assert obj._upload(str(tmp_path / "other.bin"), "d.bin") is True
    assert obj._posix_rename("d.bin", "c.bin") is True       # over an existing file
    assert obj._stat("c.bin").st_size == 5
    back = tmp_path / "back.bin"
    assert obj._download("b.bin", str(back)) is True
    assert back.read_bytes() == data
    for name in ("b.bin", "c.bin"):
        assert obj._remove(name) is True
    assert obj._chdir("..") is True
    assert obj._rmdir("work") is True
    with pytest.raises(FileNotFoundError):
        obj._stat("work")
    assert obj._close() is None
    with pytest.raises(OSError):
        obj._stat(".")                                       # the closed client answers


@pytest.mark.parametrize("size", [0, 1, TEN_MIB_PLUS], ids=["empty", "one-byte", "over-10MiB"])
def test_transfers_are_byte_identical(sftp_server, tmp_path: Path, size: int) -> None:
    obj = connected(sftp_server)
    data = os.urandom(size)
    (tmp_path / "up").write_bytes(data)
    assert obj._upload(str(tmp_path / "up"), "file") is True
    assert obj._stat("file").st_size == size
    assert obj._download("file", str(tmp_path / "down")) is True
    assert hashlib.sha256((tmp_path / "down").read_bytes()).digest() == hashlib.sha256(data).digest()
    obj._close()


def test_client_errors_come_through_unchanged(sftp_server, tmp_path: Path) -> None:
    obj = connected(sftp_server)
    with pytest.raises(FileNotFoundError) as missing:
        obj._remove("no-such-file")
    assert module_line(missing.value) == ("sftp_main.VornaxSFTPMain._remove", 101)
    with pytest.raises(FileNotFoundError):
        obj._rename("no-such-file", "x")
    obj._mkdir("dir")
    with pytest.raises(OSError) as exists:
        obj._mkdir("dir")
    assert module_line(exists.value)[1] == 113
    (tmp_path / "f").write_bytes(b"x")
    obj._upload(str(tmp_path / "f"), "dir/f")
    with pytest.raises(OSError) as not_empty:
        obj._rmdir("dir")
    assert module_line(not_empty.value)[1] == 117
    with pytest.raises(OSError):
        obj._chdir("no-such-dir")
    obj._close()


def test_permission_refusal(openssh_server) -> None:
    obj = connected(openssh_server)
    with pytest.raises(PermissionError):
        obj._mkdir(str(openssh_server.readonly_dir / "x"))
    obj._close()


def test_upload_of_missing_local_file_leaves_remote_file(sftp_server, tmp_path: Path) -> None:
    obj = connected(sftp_server)
    (tmp_path / "f").write_bytes(b"original")
    obj._upload(str(tmp_path / "f"), "kept")
    assert obj._upload(str(tmp_path / "absent"), "kept") is False
    assert obj._download("kept", str(tmp_path / "check")) is True
    assert (tmp_path / "check").read_bytes() == b"original"
    obj._close()


@pytest.mark.parametrize("existing", [True, False], ids=["existing-file", "absent-file"])
def test_failed_download_leaves_destination_as_it_was(sftp_server, tmp_path: Path, existing: bool) -> None:
    obj = connected(sftp_server)
    target = tmp_path / "target"
    if existing:
        target.write_bytes(b"precious bytes")
        target.chmod(0o640)
    before = sorted(os.listdir(tmp_path))
    assert obj._download("no-such-remote-file", str(target)) is False
    assert sorted(os.listdir(tmp_path)) == before               # no temporary file left
    if existing:
        assert target.read_bytes() == b"precious bytes"
        assert target.stat().st_mode & 0o777 == 0o640
    else:
        assert not target.exists()
    (tmp_path / "src").write_bytes(b"new")
    obj._upload(str(tmp_path / "src"), "remote")
    assert obj._download("remote", str(target)) is True
    assert target.read_bytes() == b"new"
    if existing:
        assert target.stat().st_mode & 0o777 == 0o640            # mode kept on success too
    obj._close()


def test_wrong_password_refused_port_and_nothing_left_running(sftp_server) -> None:
    threads, fds = transport_threads(), open_fds()
    for _ in range(3):
        obj = sftp_main.VornaxSFTPMain(dict(sftp_server.config(), password="wrong"))
        with pytest.raises(paramiko.AuthenticationException) as refused:
            obj._connect()
        assert module_line(refused.value) == ("sftp_main.VornaxSFTPMain._connect", 93)
        del obj, refused
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        free_port = s.getsockname()[1]
    obj = sftp_main.VornaxSFTPMain(dict(sftp_server.config(), port=free_port))
    with pytest.raises((paramiko.SSHException, OSError)) as no_server:
        obj._connect()
    assert module_line(no_server.value)[1] == 92
    del obj, no_server
    gc.collect()
    settle(lambda: transport_threads() == threads)
    assert transport_threads() == threads
    assert open_fds() == fds


def test_connect_close_cycles_release_everything(sftp_server) -> None:
    obj = connected(sftp_server)        # warm up imports and caches
    obj._close()
    gc.collect()
    settle(lambda: transport_threads() == 0)
    threads, fds = transport_threads(), open_fds()
    for _ in range(50):
        obj = connected(sftp_server)
        assert obj._normalize(".")
        obj._close()
    del obj
    gc.collect()
    settle(lambda: transport_threads() == threads)
    assert transport_threads() == threads
    assert open_fds() == fds
