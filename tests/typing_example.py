"""A typical session, never run: it only has to pass mypy --strict against the
installed stubs (tests/test_typing.py), every method called by its parameter names."""

from typing import TYPE_CHECKING, Any, assert_type

import paramiko

import sftp_main
from sftp_main import VornaxSFTPMain
from vornax_log import VornaxLog
from vornax_ssh import VornaxSSH, VornaxTunnelVar
from vornax_var import VornaxVar

if TYPE_CHECKING:
    from sftp_main import VornaxSFTPConfig


def session(config: dict[str, Any], local: str, remote_dir: str) -> int:
    sftp = VornaxSFTPMain(config=config)
    sftp._connect()
    assert_type(sftp._mkdir(path=remote_dir), bool)
    assert_type(sftp._chdir(path=remote_dir), bool)
    assert_type(sftp._upload(src_file=local, dsc_path="a.bin"), bool)
    attributes = sftp._stat(file_path="a.bin")
    assert_type(attributes, paramiko.SFTPAttributes)
    assert_type(sftp._normalize(path="a.bin"), str)
    assert_type(sftp._rename(ole_path="a.bin", new_path="b.bin"), bool)
    assert_type(sftp._posix_rename(ole_path="b.bin", new_path="c.bin"), bool)
    assert_type(sftp._download(src_file="c.bin", dsc_path=local + ".copy"), bool)
    assert_type(sftp._remove(path="c.bin"), bool)
    assert_type(sftp._chdir(None), bool)
    assert_type(sftp._rmdir(path=remote_dir), bool)
    sftp._close()
    sftp.__del__()
    return attributes.st_size or 0


def checked_session(host_key: str) -> None:
    config: VornaxSFTPConfig = {"host": "h", "user": "u", "password": "p", "timeout": 1.5, "host_key": host_key}
    config["timeout"] = 30
    VornaxSFTPMain(config)._connect()


def reconfigure(sftp: VornaxSFTPMain, config: dict[str, Any]) -> VornaxVar:
    sftp._set_params_dict()
    sftp._set_default_params()
    sftp._cleanse_params(config=config)
    assert_type(sftp._params_dict, dict[str, dict[str, Any]])
    assert_type(sftp._log, VornaxLog)
    assert_type(sftp._ssh, paramiko.SSHClient)
    assert_type(sftp._sftp, paramiko.SFTPClient)
    return sftp._config


def module_names() -> None:
    assert_type(sftp_main.VornaxSFTPMain, type[VornaxSFTPMain])
    assert_type(sftp_main.VornaxLog, type[VornaxLog])
    assert_type(sftp_main.VornaxSSH, type[VornaxSSH])
    assert_type(sftp_main.VornaxVar, type[VornaxVar])
    assert_type(sftp_main.paramiko.Transport, type[paramiko.Transport])


def companions(path: str) -> str:
    log = VornaxLog(file=False)
    log.info("starting %s", "session")
    log.close()
    VornaxLog(file=path).error("to the file")
    config = VornaxVar(host="h", user="u", password="p", ssh=True)
    config.set("port", 22)
    config.ssh_host = "jump"
    entries: dict[str, Any] = config.todict()
    tunnelled = VornaxSSH(entries).connect()
    assert_type(tunnelled, VornaxVar)
    if isinstance(tunnelled, VornaxTunnelVar):
        tunnelled.close()
        assert_type(tunnelled.closed, bool)
    return f"{tunnelled.host}:{tunnelled.get('port')}"
