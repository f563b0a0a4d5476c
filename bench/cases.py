"""What the benchmark times: one case per method of the class, plus the
construction of an object and the error paths worth knowing, each as the
statement that runs on the native module, the same statement on the
plain-Python class, and (where there is a client to call) the client's own
work called directly.

Statements run in a timing loop with the names they use bound as locals.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import sftp_main

from clients import NEW_PATH, PATH, Kind
from plain_python import PlainVornaxSFTPMain

NativeClass = sftp_main.VornaxSFTPMain

# Caller's mapping used for every object: required entries plus the port.
CONFIG = {"host": "sftp.example", "port": 22, "user": "alice", "password": "secret"}

# The remote operations: method, client method, arguments (p and q remote
# paths, l the local file: uploads go from l to p, downloads from p to l).
OPERATIONS: list[tuple[str, str, str]] = [
    ("_remove", "remove", "p"),
    ("_rename", "rename", "p, q"),
    ("_posix_rename", "posix_rename", "p, q"),
    ("_mkdir", "mkdir", "p"),
    ("_rmdir", "rmdir", "p"),
    ("_stat", "stat", "p"),
    ("_normalize", "normalize", "p"),
    ("_chdir", "chdir", "p"),
    ("_upload", "put", "l, p"),
    ("_download", "get", "p, l"),
]

# Section titles, in table order.
GROUPS = ["lifecycle", "parameters", "connection", "remote operations", "calling forms and error paths"]


@dataclass(frozen=True)
class Variant:
    stmt: str
    names: dict[str, Any]


@dataclass(frozen=True)
class Case:
    group: str
    label: str
    module: Variant
    plain: Variant
    # The client's own work, called directly; None where the method has no
    # client to hand its work to.
    direct: Variant | None
    # Whether the overhead target for forwarding calls applies.
    forwarding: bool = False

    def variants(self) -> dict[str, Variant]:
        found = {"module": self.module, "plain": self.plain}
        if self.direct is not None:
            found["direct"] = self.direct
        return found


def _configured(cls: type) -> Any:
    return cls(dict(CONFIG))


def _connected(cls: type, kind: Kind, client: Any) -> Any:
    obj = _configured(cls)
    obj._sftp = client
    obj._ssh = kind.ssh
    return obj


def _pair(group: str, label: str, stmt: str, make: Callable[[type], Any], direct: Variant | None = None,
          extra: dict[str, Any] | None = None, forwarding: bool = False) -> Case:
    """The same statement on an object of each class; make(cls) builds it."""
    extra = extra or {}
    return Case(group, label,
                module=Variant(stmt, {"o": make(NativeClass), **extra}),
                plain=Variant(stmt, {"o": make(PlainVornaxSFTPMain), **extra}),
                direct=direct, forwarding=forwarding)


def build_cases(kind: Kind, local_path: str) -> list[Case]:
    """Every case for one kind of client; the kind must be installed, since
    objects are configured through its companions.  local_path is the local
    file of the transfers, in a directory the caller owns."""
    paths = {"p": PATH, "q": NEW_PATH, "l": local_path}
    close_directly = Variant("c.close()\nh.close()", {"c": kind.client, "h": kind.ssh})
    cases: list[Case] = []

    def connected(cls: type) -> Any:
        return _connected(cls, kind, kind.client)

    def failing(cls: type) -> Any:
        return _connected(cls, kind, kind.failing_client)

    # Lifecycle.  Construction drops each new object, so it includes the
    # finaliser: its _close fails on the missing _sftp and is silenced.  The
    # caller's mapping gains the default keys at the first construction and
    # stays the same from then on, as with a mapping that is reused.
    cases.append(Case("lifecycle", "construction + destruction",
                      module=Variant("K(cfg)", {"K": NativeClass, "cfg": dict(CONFIG)}),
                      plain=Variant("K(cfg)", {"K": PlainVornaxSFTPMain, "cfg": dict(CONFIG)}),
                      direct=None))
    cases.append(_pair("lifecycle", "__init__", "o.__init__(cfg)", _configured,
                       extra={"cfg": dict(CONFIG)}))
    cases.append(_pair("lifecycle", "__del__", "o.__del__()", connected, close_directly))

    # Parameters.
    cases.append(_pair("parameters", "_cleanse_params", "o._cleanse_params(cfg)", _configured,
                       extra={"cfg": dict(CONFIG)}))
    cases.append(_pair("parameters", "_set_params_dict", "o._set_params_dict()", _configured))
    cases.append(_pair("parameters", "_set_default_params", "o._set_default_params()", _configured))

    # Connection.  Direct: the paramiko calls of _connect with the address
    # and credentials already at hand.
    connect_directly = Variant(
        "s = pm.SSHClient()\n"
        "s.set_missing_host_key_policy(pm.AutoAddPolicy())\n"
        "t = pm.Transport(a)\n"
        "t.connect(username=u, password=w)\n"
        "x = pm.SFTPClient.from_transport(t)",
        {"pm": kind.paramiko, "a": f"{CONFIG['host']}:{CONFIG['port']}",
         "u": CONFIG["user"], "w": CONFIG["password"]})
    cases.append(_pair("connection", "_connect", "o._connect()", _configured, connect_directly))
    cases.append(_pair("connection", "_close", "o._close()", connected, close_directly))

    # Remote operations.
    for method, client_method, args in OPERATIONS:
        cases.append(_pair("remote operations", method, f"o.{method}({args})", connected,
                           Variant(f"c.{client_method}({args})", {"c": kind.client, **paths}),
                           extra=paths, forwarding=True))

    # Calling forms and error paths.
    group = "calling forms and error paths"
    cases.append(_pair(group, "_rename(ole_path=, new_path=)", "o._rename(ole_path=p, new_path=q)",
                       connected, Variant("c.rename(p, q)", {"c": kind.client, **paths}), extra=paths))
    cases.append(_pair(group, "_remove() argument error",
                       "try:\n    o._remove()\nexcept TypeError:\n    pass", connected))
    cases.append(_pair(group, "_remove, client raises",
                       "try:\n    o._remove(p)\nexcept Exception:\n    pass", failing,
                       Variant("try:\n    c.remove(p)\nexcept Exception:\n    pass",
                               {"c": kind.failing_client, **paths}), extra=paths))
    cases.append(_pair(group, "_upload, client raises -> False", "o._upload(l, p)", failing,
                       Variant("try:\n    c.put(l, p)\nexcept Exception:\n    pass",
                               {"c": kind.failing_client, **paths}), extra=paths))
    cases.append(_pair(group, "_upload, never connected -> False", "o._upload(l, p)", _configured,
                       extra=paths))
    return cases
