"""VornaxSFTPMain written in plain Python: the class a user would write by
hand for the same job, method for method and statement for statement.

The benchmark times the native module against it.  Like the native module,
it looks paramiko and the companion classes up as module globals at each
use, so the benchmark can swap them for stand-ins on both at once.
"""

from __future__ import annotations

from typing import Any

import paramiko
from vornax_log import VornaxLog
from vornax_ssh import VornaxSSH
from vornax_var import VornaxVar

__all__ = ["PlainVornaxSFTPMain"]


class PlainVornaxSFTPMain:
    # Declarations only: as in the native class, no attribute has a
    # class-level default and each exists once a method has set it.
    _log: Any
    _config: Any
    _params_dict: dict[str, Any]
    _default_params: dict[str, Any]
    _ssh: Any
    _sftp: Any

    def __init__(self, config: Any) -> None:
        self._log = VornaxLog(file=False)
        self._cleanse_params(config)
        if self._config.ssh:
            self._config = VornaxSSH(self._config.todict()).connect()

    def _cleanse_params(self, config: Any) -> None:
        self._config = VornaxVar(**config)
        self._set_params_dict()
        deletion: list[str] = []
        error: list[list[Any]] = []
        raise_list: list[str] = []
        for param, option in self._params_dict.items():
            if self._config.get(param):
                if option.get("optional") and self._config.get(param) not in option.get("optional"):
                    error.append([param, option.get("optional")])
            else:
                if option.get("type"):
                    deletion.append(param)
                elif option.get("default"):
                    self._config.set(param, option.get("default"))
        if deletion:
            raise_list.append(f"缺少必填参数：{deletion}")
        if error:
            for name, optional in error:
                raise_list.append(f"参数{name}预设值不正确，可选：{optional}")
        if raise_list:
            raise_text = "；".join(raise_list)
            raise Exception(raise_text)
        self._set_default_params()
        for key, value in self._default_params.items():
            if key not in config.keys():
                config.update({key: value})

    def _set_params_dict(self) -> None:
        self._params_dict = {
            "host": {"type": True},
            "port": {"type": False, "default": 22},
            "user": {"type": True},
            "password": {"type": True},
        }

    def _set_default_params(self) -> None:
        self._default_params = {
            "ssh": None,
            "ssh_host": None,
            "ssh_port": None,
            "ssh_user": None,
            "ssh_password": None,
            "ssh_rsa": None,
            "ssh_rsa_pwd": None,
        }

    def _connect(self) -> None:
        self._ssh = paramiko.SSHClient()
        self._ssh.set_missing_host_key_policy(paramiko.AutoAddPolicy())
        transport = paramiko.Transport(f"{self._config.host}:{self._config.port}")
        transport.connect(username=self._config.user, password=self._config.password)
        self._sftp = paramiko.SFTPClient.from_transport(transport)

    def _close(self) -> None:
        self._sftp.close()
        self._ssh.close()

    def _remove(self, path: Any) -> bool:
        self._sftp.remove(path)
        return True

    def _rename(self, ole_path: Any, new_path: Any) -> bool:
        self._sftp.rename(ole_path, new_path)
        return True

    def _posix_rename(self, ole_path: Any, new_path: Any) -> bool:
        self._sftp.posix_rename(ole_path, new_path)
        return True

    def _mkdir(self, path: Any) -> bool:
        self._sftp.mkdir(path)
        return True

    def _rmdir(self, path: Any) -> bool:
        self._sftp.rmdir(path)
        return True

    def _stat(self, file_path: Any) -> Any:
        return self._sftp.stat(file_path)

    def _normalize(self, path: Any) -> Any:
        return self._sftp.normalize(path)

    def _chdir(self, path: Any) -> bool:
        self._sftp.chdir(path)
        return True

    def _upload(self, src_file: Any, dsc_path: Any) -> bool:
        try:
            self._sftp.put(src_file, dsc_path)
            return True
        except Exception:
            return False

    def _download(self, src_file: Any, dsc_path: Any) -> bool:
        try:
            self._sftp.get(src_file, dsc_path)
            return True
        except Exception:
            return False

    def __del__(self) -> None:
        try:
            self._close()
        except Exception:
            pass
