"""Stand-ins for the SFTP and SSH clients, for the paramiko package and for
the companion classes, in the two kinds the benchmark runs on.

- C builtins: every method the module calls is a C builtin (``len``,
  ``max``, ``operator.*``, bound ``dict``/``list`` methods) stored as an
  instance attribute, so the client's own work is one cheap C call and
  what remains of a method's time is the method's own overhead.  The companions are C
  too: the logger is a ``dict`` and the configuration object a ``dict``
  subclass whose methods are ``dict``'s own.
- Python functions: every method is an ordinary Python function defined on
  the class, as a real paramiko client's are, and the companions are the
  installed ``vornax_log`` / ``vornax_var`` ones.

Nothing here touches the network or the file system.
"""

from __future__ import annotations

import contextlib
import operator
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import sftp_main

import plain_python

# Remote paths given to the remote operations.  The local path of a
# transfer is a file in a scratch directory of the benchmark's own.
PATH = "/srv/data/report.csv"
NEW_PATH = "/srv/data/report-old.csv"

# The attributes object that every stand-in client's stat returns.
STAT_RESULT = types.SimpleNamespace(st_size=4096, st_mode=0o100644)
# The normalised path that every stand-in client's normalize returns.
NORMALIZED = "/home/alice/srv/data/report.csv"

# ---------------------------------------------------------------- C builtins

# The builtins are instance attributes, as the interpreter specialises
# calls through them best: `client.remove(path)` in Python code is then an
# inline attribute load and a direct call of len, the least a call can cost.
_STATS = {PATH: STAT_RESULT}
_NORMALIZED = {PATH: NORMALIZED}
_NOTHING_TO_CLOSE: list[Any] = []


class CBuiltinClient:
    """An SFTP client whose methods are C builtins."""

    def __init__(self) -> None:
        self.remove: Callable[..., Any] = len
        self.rename: Callable[..., Any] = operator.is_
        self.posix_rename: Callable[..., Any] = operator.is_not
        self.mkdir: Callable[..., Any] = len
        self.rmdir: Callable[..., Any] = len
        self.stat: Callable[..., Any] = _STATS.get
        self.normalize: Callable[..., Any] = _NORMALIZED.get
        self.chdir: Callable[..., Any] = len
        self.put: Callable[..., Any] = max
        self.get: Callable[..., Any] = max
        self.close: Callable[..., Any] = _NOTHING_TO_CLOSE.clear


class CBuiltinFailingClient(CBuiltinClient):
    """Every call raises TypeError from inside a C builtin (a path cannot be
    negated or divided)."""

    def __init__(self) -> None:
        super().__init__()
        self.remove = operator.neg
        self.put = operator.truediv
        self.get = operator.truediv


class CBuiltinSSHClient:
    """An SSH client: set_missing_host_key_policy and close are C builtins."""

    def __init__(self) -> None:
        self.set_missing_host_key_policy = id
        self.close = _NOTHING_TO_CLOSE.clear


def c_builtin_paramiko(client: Any) -> types.SimpleNamespace:
    """A paramiko namespace whose calls are C builtins; from_transport gives
    client."""

    class Transport:
        def __init__(self, address: str) -> None:
            self.address = address
            # connect(username=..., password=...) builds a dict in C.
            self.connect = dict
            self.sftp_client = client

    class SFTPClient:
        # A class, as paramiko's is (_close checks clients against it);
        # from_transport(transport) reads the transport's sftp_client.
        from_transport = operator.attrgetter("sftp_client")

    return types.SimpleNamespace(
        SSHClient=CBuiltinSSHClient,
        AutoAddPolicy=object,
        Transport=Transport,
        SFTPClient=SFTPClient,
    )


class CBuiltinVar(dict):  # type: ignore[type-arg]
    """A configuration object whose methods are dict's own C code: get, set
    (``__setitem__``), todict (``copy``) and attribute reads (``get``, so an
    absent entry reads as None)."""

    __slots__ = ()
    set = dict.__setitem__
    todict = dict.copy
    __getattr__ = dict.get


# ---------------------------------------------------------- Python functions


class PythonClient:
    """An SFTP client whose methods are Python functions doing nothing."""

    def remove(self, path: Any) -> None:
        return None

    def rename(self, oldpath: Any, newpath: Any) -> None:
        return None

    def posix_rename(self, oldpath: Any, newpath: Any) -> None:
        return None

    def mkdir(self, path: Any) -> None:
        return None

    def rmdir(self, path: Any) -> None:
        return None

    def stat(self, path: Any) -> Any:
        return STAT_RESULT

    def normalize(self, path: Any) -> Any:
        return NORMALIZED

    def chdir(self, path: Any) -> None:
        return None

    def put(self, localpath: Any, remotepath: Any) -> None:
        return None

    def get(self, remotepath: Any, localpath: Any) -> None:
        return None

    def close(self) -> None:
        return None


class PythonFailingClient(PythonClient):
    """Every call raises OSError, as a missing remote file would."""

    def remove(self, path: Any) -> None:
        raise OSError(2, "No such file")

    def put(self, localpath: Any, remotepath: Any) -> None:
        raise OSError(2, "No such file")

    def get(self, remotepath: Any, localpath: Any) -> None:
        raise OSError(2, "No such file")


class PythonSSHClient:
    def __init__(self) -> None:
        self.policy: Any = None

    def set_missing_host_key_policy(self, policy: Any) -> None:
        self.policy = policy

    def close(self) -> None:
        return None


def python_paramiko(client: Any) -> types.SimpleNamespace:
    """A paramiko namespace of Python classes; from_transport gives client."""

    class AutoAddPolicy:
        pass

    class Transport:
        def __init__(self, sock: Any) -> None:
            self.sock = sock
            self.username: Any = None

        def connect(self, username: Any = None, password: Any = None) -> None:
            self.username = username

    class SFTPClient:
        @classmethod
        def from_transport(cls, transport: Any) -> Any:
            return client

    return types.SimpleNamespace(SSHClient=PythonSSHClient, AutoAddPolicy=AutoAddPolicy,
                                 Transport=Transport, SFTPClient=SFTPClient)


# --------------------------------------------------------------------- kinds


@dataclass(frozen=True)
class Kind:
    key: str
    title: str
    client: Any
    failing_client: Any
    ssh: Any
    paramiko: Any
    # Module globals to replace besides paramiko; empty: the installed
    # companions stay.
    companions: dict[str, Any] = field(default_factory=dict)


def c_builtin_kind() -> Kind:
    client = CBuiltinClient()
    return Kind(key="c_builtin", title="C-builtin clients", client=client,
                failing_client=CBuiltinFailingClient(), ssh=CBuiltinSSHClient(),
                paramiko=c_builtin_paramiko(client),
                companions={"VornaxLog": dict, "VornaxVar": CBuiltinVar})


def python_kind() -> Kind:
    client = PythonClient()
    return Kind(key="python", title="Python-function clients", client=client,
                failing_client=PythonFailingClient(), ssh=PythonSSHClient(),
                paramiko=python_paramiko(client))


KINDS = {"c_builtin": c_builtin_kind, "python": python_kind}


@contextlib.contextmanager
def installed(kind: Kind) -> Iterator[None]:
    """Within the block, the native module and the plain-Python one both
    find the kind's paramiko and companions under their global names."""
    replacements = {"paramiko": kind.paramiko, **kind.companions}
    modules = (sftp_main, plain_python)
    saved = [{name: getattr(module, name) for name in replacements} for module in modules]
    try:
        for module in modules:
            for name, value in replacements.items():
                setattr(module, name, value)
        yield
    finally:
        for module, originals in zip(modules, saved):
            for name, value in originals.items():
                setattr(module, name, value)
