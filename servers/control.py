"""The control service: test SFTP servers on Linux, for tests that run in a
Windows interpreter under Wine.

A Windows process under Wine cannot start a Linux program, and the servers
(the embedded asyncssh server, the private OpenSSH sshd) are Linux programs.
So the test run starts this service on the Linux side first:

    python -m servers.control --ready-file FILE

It listens on an ephemeral port of 127.0.0.1, writes that port into FILE
once it accepts connections, and serves until SIGTERM or SIGINT, or until
its parent process goes away.  Every request must carry the token from the
environment variable SFTP_MAIN_CONTROL_TOKEN, which the Windows side
inherits through Wine.  The servers a connection started are stopped when
that connection ends, so a test process that dies leaves none behind.

The protocol is one JSON object per line each way.  `RemoteEmbeddedServer`
and `RemoteOpenSSHServer` are the Windows side: the test servers' interface,
with local paths in the Windows form Wine gives them (drive Z: is the Linux
root).  SFTP_MAIN_CONTROL holds "PORT:TOKEN" for them.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import secrets
import signal
import socket
import socketserver
import sys
import threading
from pathlib import Path, PurePosixPath, PureWindowsPath
from typing import Any, Self

from servers import KeyPair
from servers._procs import LOOPBACK, ServerProcess

CONTROL_ENV = "SFTP_MAIN_CONTROL"
TOKEN_ENV = "SFTP_MAIN_CONTROL_TOKEN"
_PARENT_POLL_SECONDS = 0.5
_DRIVE_PATH = re.compile(r"^([A-Za-z]):[\\/]?(.*)$", re.S)


class ControlError(RuntimeError):
    """The service refused or failed a request; the text is its reason."""


class ServerUnavailable(ControlError):
    """The server kind cannot run on the Linux side (sshd needs root)."""


# --- paths between the two sides ---------------------------------------------------------------

def linux_path(windows: str) -> str:
    """The Linux path of a Windows path under Wine: a drive is a link in
    the prefix's dosdevices folder (C: is the prefix's drive_c, Z: is /)."""
    match = _DRIVE_PATH.match(windows)
    if match is None:
        raise ControlError(f"not a Windows path with a drive: {windows!r}")
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    drive = os.path.realpath(os.path.join(prefix, "dosdevices", match[1].lower() + ":"))
    return os.path.join(drive, *PureWindowsPath(match[2]).parts)


def windows_path(linux: str) -> Path:
    """The Windows form of a Linux path, through Wine's drive Z:."""
    return Path("Z:\\" + str(PurePosixPath(linux)).lstrip("/").replace("/", "\\"))


# --- the Linux side ----------------------------------------------------------------------------

class _Session(socketserver.StreamRequestHandler):
    """One connection: its requests in order, and the servers it started."""

    def handle(self) -> None:
        self.servers: dict[int, ServerProcess] = {}
        try:
            for line in self.rfile:
                try:
                    request = json.loads(line)
                    if not secrets.compare_digest(str(request.get("token", "")), self.server.token):  # type: ignore[attr-defined]
                        raise ControlError("wrong token")
                    answer = {"ok": self._answer(request)}
                except Exception as exc:  # reported to the caller, who raises it
                    answer = {"error": f"{type(exc).__name__}: {exc}",
                              "unavailable": type(exc).__name__ == "OpenSSHUnavailable"}
                self.wfile.write(json.dumps(answer).encode() + b"\n")
                self.wfile.flush()
        finally:
            for server in self.servers.values():
                server.stop()

    def _answer(self, request: dict[str, Any]) -> Any:
        op = request["op"]
        if op == "hello":
            return {"root": os.geteuid() == 0}
        if op == "start":
            return self._start(request)
        if op in ("processes", "gone", "kill-pids"):
            from servers._procs import descendants, is_gone
            pids = [int(pid) for pid in request["pids"]]
            if op == "processes":
                return [found for pid in pids for found in [pid, *descendants(pid)]]
            if op == "gone":
                return [is_gone(pid) for pid in pids]
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            return None
        server = self.servers[int(request["id"])]
        if op == "stop":
            server.stop()
            return None
        if op == "kill":
            server.kill()
            server.stop()
            return None
        if op == "pause":
            server.pause()
            return None
        if op == "resume":
            server.resume()
            return None
        if op == "host_keys":
            return server.host_keys()
        if op == "add_rsa_key":
            key = server.add_rsa_key(request.get("passphrase"))  # type: ignore[attr-defined]
            return {"private_key": str(key.private_key), "public_key": str(key.public_key)}
        raise ControlError(f"unknown request {op!r}")

    def _start(self, request: dict[str, Any]) -> dict[str, Any]:
        server: Any
        if request["kind"] == "embedded":
            from servers.embedded import EmbeddedSFTPServer
            server = EmbeddedSFTPServer(linux_path(request["root"]))
        elif request["kind"] == "openssh":
            from servers.openssh import OpenSSHServer
            server = OpenSSHServer()
        else:
            raise ControlError(f"unknown server kind {request['kind']!r}")
        server.start()
        self.servers[id(server)] = server
        readonly = server.readonly_dir
        return {"id": id(server), "port": server.port, "user": server.user, "password": server.password,
                "root": str(server.root), "remote_root": server.remote_root, "pid": server.pid,
                "readonly_dir": None if readonly is None else str(readonly)}


class _Service(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, token: str) -> None:
        super().__init__((LOOPBACK, 0), _Session)
        self.token = token


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m servers.control", description=__doc__.splitlines()[0])
    parser.add_argument("--ready-file", required=True, type=Path, help="where the port is written once ready")
    args = parser.parse_args(argv)
    token = os.environ.get(TOKEN_ENV)
    if not token:
        parser.error(f"no token: set {TOKEN_ENV}")
    service = _Service(token)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    threading.Thread(target=service.serve_forever, daemon=True).start()
    args.ready_file.write_text(f"{service.server_address[1]}\n")
    parent = os.getppid()
    while not stop.wait(_PARENT_POLL_SECONDS) and os.getppid() == parent:
        pass
    service.shutdown()
    service.server_close()
    # The sessions' threads are daemons: stop the servers they still hold.
    for thread in threading.enumerate():
        if thread is not threading.current_thread() and not thread.daemon:
            thread.join(10)


# --- the Windows side --------------------------------------------------------------------------

class Control:
    """A connection to the service; requests on it are taken in turn."""

    def __init__(self) -> None:
        setting = os.environ.get(CONTROL_ENV)
        if not setting:
            raise ControlError(f"{CONTROL_ENV} is not set: the test SFTP servers run through the control "
                               "service, which tools/windows/test.sh starts")
        port, self._token = setting.split(":", 1)
        self._sock = socket.create_connection((LOOPBACK, int(port)), timeout=120)
        self._file = self._sock.makefile("rwb")
        self._lock = threading.Lock()

    def request(self, op: str, **fields: Any) -> Any:
        with self._lock:
            self._file.write(json.dumps({"op": op, "token": self._token, **fields}).encode() + b"\n")
            self._file.flush()
            line = self._file.readline()
        if not line:
            raise ControlError("the control service closed the connection")
        answer = json.loads(line)
        if "error" in answer:
            raise (ServerUnavailable if answer["unavailable"] else ControlError)(answer["error"])
        return answer["ok"]

    def close(self) -> None:
        self._file.close()
        self._sock.close()


def ask(op: str, **fields: Any) -> Any:
    """One request on a connection of its own."""
    control = Control()
    try:
        return control.request(op, **fields)
    finally:
        control.close()


class _RemoteServer(ServerProcess):
    """A server on the Linux side, for as long as the context lasts (or until
    `stop`).  Its control connection stays open until the context ends, so
    that stopping the server mid-test changes none of this process's handles."""

    host = LOOPBACK
    kind = ""

    def __init__(self) -> None:
        self.port, self.user, self.password, self.pid = 0, "", "", None
        self.root, self.remote_root = Path(), "/"
        self.readonly_dir: PurePosixPath | None = None
        self._control: Control | None = None
        self._id: int | None = None

    def _start(self, local_root: Path | None = None) -> Self:
        if self._control is not None:
            raise RuntimeError(f"{self.kind} SFTP server already started")
        self._control = Control()
        try:
            started = self._control.request("start", kind=self.kind, root=str(local_root or ""))
        except BaseException:
            self.close()
            raise
        self._id, self.port, self.pid = started["id"], started["port"], started["pid"]
        self.user, self.password = started["user"], started["password"]
        self.root, self.remote_root = local_root or windows_path(started["root"]), started["remote_root"]
        # A path on the server, named as the client names it.
        self.readonly_dir = None if started["readonly_dir"] is None else PurePosixPath(started["readonly_dir"])
        return self

    def config(self) -> dict[str, Any]:
        return {"host": self.host, "port": self.port, "user": self.user, "password": self.password}

    def remote_path(self, *parts: str) -> str:
        return "/".join([self.remote_root.rstrip("/"), *parts]) if parts else self.remote_root

    def _on_server(self, op: str) -> None:
        if self._control is not None and self._id is not None:
            self._control.request(op, id=self._id)
            self._id = None

    def stop(self) -> None:
        self._on_server("stop")

    def _ask_server(self, op: str) -> Any:
        if self._control is None or self._id is None:
            raise RuntimeError(f"{self.kind} SFTP server not running")
        return self._control.request(op, id=self._id)

    def pause(self) -> None:
        self._ask_server("pause")

    def resume(self) -> None:
        self._ask_server("resume")

    def host_keys(self) -> dict[str, str]:
        return dict(self._ask_server("host_keys"))

    def kill(self) -> None:
        self._on_server("kill")

    def close(self) -> None:
        self.stop()
        if self._control is not None:
            self._control.close()
            self._control = None

    def __exit__(self, *exc: Any) -> None:
        self.close()


class RemoteEmbeddedServer(_RemoteServer):
    """The embedded server on the Linux side, its root a local directory."""

    kind = "embedded"

    def __init__(self, root: str | os.PathLike[str], user: str = "tester") -> None:
        super().__init__()
        self._root = Path(root).resolve()
        self.user = user

    def start(self) -> Self:
        if not self._root.is_dir():
            raise FileNotFoundError(f"embedded SFTP server root {self._root} is not a directory")
        return self._start(self._root)


class RemoteOpenSSHServer(_RemoteServer):
    """The private sshd on the Linux side."""

    kind = "openssh"

    def start(self) -> Self:
        return self._start()

    def add_rsa_key(self, passphrase: str | None = None) -> Any:
        if self._control is None or self._id is None:
            raise RuntimeError("OpenSSH test server not started")
        made = self._control.request("add_rsa_key", id=self._id, passphrase=passphrase)
        return KeyPair(windows_path(made["private_key"]), windows_path(made["public_key"]), passphrase)


if __name__ == "__main__":
    sys.exit(main())
