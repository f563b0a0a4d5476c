# Types of the native module sftp_main: one SFTP connection and single
# remote file operations on it.
from collections.abc import MutableMapping
from typing import Any, Required, TypedDict, type_check_only

from _typeshed import StrOrBytesPath

import paramiko as paramiko
from vornax_log import VornaxLog as VornaxLog
from vornax_ssh import VornaxSSH as VornaxSSH
from vornax_var import VornaxVar as VornaxVar

# The keys of a configuration mapping that the module reads; any other key
# passes through unchecked.  Only for type checking: annotate a mapping with
# it under `if TYPE_CHECKING:` or in a stub.
@type_check_only
class VornaxSFTPConfig(TypedDict, total=False):
    host: Required[str]
    port: int | str | None  # 22 when absent or false
    user: Required[str]
    password: Required[str]
    # Through a jump host when true.
    ssh: bool | None
    ssh_host: str | None
    ssh_port: int | str | None
    ssh_user: str | None
    ssh_password: str | None
    ssh_rsa: str | None  # a private key file
    ssh_rsa_pwd: str | None
    # Seconds bounding each wait of the connection; absent or false: none.
    timeout: float | None
    # The server's public key, a line as ssh-keyscan prints it or
    # "<type> <base64> [comment]"; absent or false: any server is accepted.
    host_key: str | None

class VornaxSFTPMain:
    # Set by construction.
    _log: VornaxLog
    _config: VornaxVar
    _params_dict: dict[str, dict[str, Any]]
    _default_params: dict[str, Any]
    # Set by _connect.
    _ssh: paramiko.SSHClient
    _sftp: paramiko.SFTPClient
    # The mapping is completed in place with the keys it lacks.
    def __init__(self, config: VornaxSFTPConfig | MutableMapping[str, Any]) -> None: ...
    def _cleanse_params(self, config: VornaxSFTPConfig | MutableMapping[str, Any]) -> None: ...
    def _set_params_dict(self) -> None: ...
    def _set_default_params(self) -> None: ...
    def _connect(self) -> None: ...
    def _close(self) -> None: ...
    def _remove(self, path: bytes | str) -> bool: ...
    def _rename(self, ole_path: bytes | str, new_path: bytes | str) -> bool: ...
    def _posix_rename(self, ole_path: bytes | str, new_path: bytes | str) -> bool: ...
    def _mkdir(self, path: bytes | str) -> bool: ...
    def _rmdir(self, path: bytes | str) -> bool: ...
    def _stat(self, file_path: bytes | str) -> paramiko.SFTPAttributes: ...
    def _normalize(self, path: bytes | str) -> str: ...
    def _chdir(self, path: bytes | str | None) -> bool: ...
    # Local path first, remote destination second.
    def _upload(self, src_file: StrOrBytesPath, dsc_path: bytes | str) -> bool: ...
    # Remote path first, local destination second.
    def _download(self, src_file: bytes | str, dsc_path: StrOrBytesPath) -> bool: ...
    def __del__(self) -> None: ...
