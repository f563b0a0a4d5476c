import logging
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from vornax_var import VornaxVar

__all__ = ["VornaxSSH", "VornaxTunnelVar"]

LOCAL_HOST: str
DEFAULT_PORT: int
CONNECT_TIMEOUT: float
CHANNEL_OPEN_TIMEOUT: float
JOIN_TIMEOUT: float
CHUNK: int
log: logging.Logger

class VornaxSSH:
    config: dict[str, Any]
    def __init__(self, config: Mapping[str, Any]) -> None: ...
    # A VornaxTunnelVar when the configuration asks for the jump host.
    def connect(self) -> VornaxVar: ...

# The tunnel's own parts, named here because VornaxTunnelVar is built on them.
@dataclass(frozen=True)
class _TunnelSettings:
    jump_host: str
    jump_port: int
    user: str
    password: str | None
    key_path: str | None
    key_passphrase: str | None
    target_host: str
    target_port: int
    timeout: float | None = None
    @property
    def address(self) -> str: ...
    @classmethod
    def from_config(cls, config: Mapping[str, Any]) -> _TunnelSettings: ...

class _Tunnel:
    port: int
    def __init__(self, settings: _TunnelSettings) -> None: ...
    def close(self) -> None: ...

class VornaxTunnelVar(VornaxVar):
    def __init__(self, tunnel: _Tunnel, /, **entries: Any) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
