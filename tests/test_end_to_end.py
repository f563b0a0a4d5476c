"""The module against real SFTP servers: the embedded one and OpenSSH."""

import hashlib
import os
import socket
from pathlib import Path

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


@pytest.mark.parametrize("existing", [True, False], ids=["existing-file", "absent-file"])
def test_failed_download_leaves_destination_as_it_was(sftp_server, tmp_path: Path, existing: bool) -> None:
    obj, target = connected(sftp_server), tmp_path / "target"
    if existing:
        target.write_bytes(b"precious bytes")
        target.chmod(KEPT_MODE)
    before = sorted(os.listdir(tmp_path))
    assert obj._download("no-such-remote-file", str(target)) is False
    assert sorted(os.listdir(tmp_path)) == before  # no temporary file left
    if existing:
        assert target.read_bytes() == b"precious bytes" and target.stat().st_mode & 0o777 == KEPT_MODE
    else:
        assert not target.exists()
    (tmp_path / "src").write_bytes(b"new")
    obj._upload(str(tmp_path / "src"), "remote")
    assert obj._download("remote", str(target)) is True and target.read_bytes() == b"new"
    assert not existing or target.stat().st_mode & 0o777 == KEPT_MODE  # mode kept on success too
    obj._close()


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
