"""The embedded SFTP server: a small server of our own on asyncssh.

One user logs in with a password; the client sees the given directory as
"/".  It forwards connections to loopback addresses (127.0.0.0/8, ::1),
none elsewhere, so that it can be the jump host for another such server or
for itself.  The server runs in a process of its own:

    python -m servers.embedded --root DIR --user U [--password P]

listens on an ephemeral port of 127.0.0.1, prints one JSON line with that
port once it accepts connections, and exits when its standard input reaches
end of file or its parent process goes away.  Without --password it takes
the password from the environment variable SFTP_MAIN_PASSWORD (the one the
demo reads), which keeps it out of the process list.

    python -m servers.embedded --foreground [--root DIR] [--user U] [--port N]

(`./dev server`, whose --help describes it) is the same server for a person
at a terminal: it prints host, port, user, password, root folder and its
host key, and runs until Ctrl-C.  Without --root it serves a fresh
temporary directory, removed when it stops; without a password given it
makes up one.

Either way SIGINT, SIGTERM and SIGHUP stop it cleanly: open connections
closed, exit status 0.

`EmbeddedSFTPServer` starts and stops such a process from Python.
"""

from __future__ import annotations

import argparse
import asyncio
import hmac
import ipaddress
import json
import logging
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import warnings
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Self

from servers._procs import LOOPBACK, ServerProcess, start_process, stop_tree

if TYPE_CHECKING:
    import asyncssh

PASSWORD_ENV = "SFTP_MAIN_PASSWORD"
PROJECT_ROOT = Path(__file__).resolve().parent.parent

# How often the server checks that its parent is still there.
_PARENT_POLL_SECONDS = 0.5
# Sanitizer runtimes that a checking run preloads into the client's
# interpreter (tools/sanitized.sh); the server is not what it checks.
_SANITIZER_RUNTIME = re.compile(r"lib[a-z]*san\.so")
_SANITIZER_VARIABLES = ("ASAN_OPTIONS", "UBSAN_OPTIONS")
# Windows has no SIGHUP.
_STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGINT", "SIGHUP") if hasattr(signal, name))
# How long a stop waits for the open connections to close.
_CLOSE_TIMEOUT_SECONDS = 5.0
# What asyncio logs for every write to a connection whose peer has gone,
# hundreds of lines for one client killed or interrupted in a transfer.
# The client knows that it went, and the server closes the connection.
_WRITE_AFTER_LOSS = "socket.send() raised exception."


# --- the server process ---------------------------------------------------


def _password_server(user: str, password: str,
                     connections: set[asyncssh.SSHServerConnection]) -> type[asyncssh.SSHServer]:
    import asyncssh

    class PasswordServer(asyncssh.SSHServer):
        """Accepts exactly one user name and password; forwards connections
        to loopback addresses only, so that one such server can be the jump
        host for another, or for itself; everything else but the SFTP
        subsystem (shells, remote forwarding) stays refused by the defaults.
        Keeps each open connection in `connections`, for the stop to close."""

        # One such object per connection.
        def connection_made(self, conn: asyncssh.SSHServerConnection) -> None:
            self._conn = conn
            connections.add(conn)

        def connection_lost(self, exc: Exception | None) -> None:
            connections.discard(self._conn)

        def begin_auth(self, username: str) -> bool:
            return True

        def password_auth_supported(self) -> bool:
            return True

        def validate_password(self, username: str, given: str) -> bool:
            # Both compared in full, so that timing tells nothing.
            user_ok = hmac.compare_digest(username.encode(), user.encode())
            password_ok = hmac.compare_digest(given.encode(), password.encode())
            return user_ok and password_ok

        def connection_requested(self, dest_host: str, dest_port: int, orig_host: str, orig_port: int) -> bool:
            # An address, not a name: what a name resolves to is not checked.
            try:
                loopback = ipaddress.ip_address(dest_host).is_loopback
            except ValueError:
                loopback = False
            if not loopback:
                raise asyncssh.ChannelOpenError(asyncssh.OPEN_ADMINISTRATIVELY_PROHIBITED,
                                                f"forwarding only to loopback addresses, not to {dest_host}")
            return True  # asyncssh connects to it

    return PasswordServer


def _watch_stdin(loop: asyncio.AbstractEventLoop, stop: asyncio.Event) -> None:
    """Blocks until the parent closes our standard input (or dies)."""
    # The descriptor, not sys.stdin: this daemon thread may still be reading
    # when the interpreter exits, and must then hold no lock of the buffered
    # stream, which the exit flushes.
    try:
        while os.read(sys.stdin.fileno(), 4096):
            pass
    finally:
        loop.call_soon_threadsafe(stop.set)


async def _watch_parent(parent: int, stop: asyncio.Event) -> None:
    # An orphan is re-parented, so a changed parent pid means ours is gone.
    while os.getppid() == parent:
        await asyncio.sleep(_PARENT_POLL_SECONDS)
    stop.set()


def _announce(port: int, root: Path, user: str, password: str, temporary_root: bool, host_key: str) -> None:
    kept = "removed when the server stops" if temporary_root else "kept"
    print(f"embedded SFTP server on {LOOPBACK}, stop it with Ctrl-C\n"
          f"  host:     {LOOPBACK}\n"
          f"  port:     {port}\n"
          f"  user:     {user}\n"
          f"  password: {password}\n"
          f"  root:     {root}  (the client's \"/\"; {kept})\n"
          f"  host_key: {host_key}", flush=True)


async def _serve(root: Path, user: str, password: str, port: int, foreground: bool, temporary_root: bool) -> int:
    import asyncssh

    parent = os.getppid()
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    # Windows's event loop takes no signal handlers: there the signals stay
    # with main(), whose KeyboardInterrupt ends the loop.
    if sys.platform != "win32":
        for sig in _STOP_SIGNALS:
            loop.add_signal_handler(sig, stop.set)

    connections: set[asyncssh.SSHServerConnection] = set()
    host_key = asyncssh.generate_private_key("ssh-ed25519")
    try:
        acceptor = await asyncssh.listen(
            LOOPBACK,
            port,
            server_host_keys=[host_key],
            server_factory=_password_server(user, password, connections),
            sftp_factory=lambda chan: asyncssh.SFTPServer(chan, chroot=os.fsencode(root)),
            allow_scp=False,
        )
    except OSError as exc:
        # Chiefly a port that is taken: one line, not a traceback.
        print(f"embedded SFTP server: cannot listen on {LOOPBACK} port {port}: {exc.strerror or exc}",
              file=sys.stderr)
        return 1
    # A person stops the server with a signal; a controlling process also
    # by closing our standard input, or by going away.
    parent_watch = None
    if foreground:
        # "<type> <base64>", as ssh-keyscan prints it after the host: the
        # value for the configuration's host_key and the demo's --host-key.
        public = " ".join(host_key.export_public_key("openssh").decode().split()[:2])
        _announce(acceptor.get_port(), root, user, password, temporary_root, public)
    else:
        threading.Thread(target=_watch_stdin, args=(loop, stop), daemon=True).start()
        parent_watch = asyncio.create_task(_watch_parent(parent, stop))
        print(json.dumps({"port": acceptor.get_port(), "pid": os.getpid()}), flush=True)
    await stop.wait()

    if parent_watch is not None:
        parent_watch.cancel()
    # The listener's close leaves open connections running, and waiting for
    # it to be closed waits for them too: close them first.
    acceptor.close()
    still_open = list(connections)
    for conn in still_open:
        conn.close()
    await asyncio.wait_for(
        asyncio.gather(acceptor.wait_closed(), *(conn.wait_closed() for conn in still_open)),
        timeout=_CLOSE_TIMEOUT_SECONDS,
    )
    return 0


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def _person_parser() -> argparse.ArgumentParser:
    """The options of `./dev server`, which runs `--foreground` first."""
    parser = argparse.ArgumentParser(
        prog="./dev server",
        description="Runs an SFTP server on 127.0.0.1 until Ctrl-C, to try sftp_main against. It shows how to "
        "log in (host, port, user, password), the folder it serves as the client's \"/\", and its host key as "
        "the value for the configuration's host_key (or the demo's --host-key). A new key is made at each "
        "start. It also serves as a jump host (configuration key ssh) to loopback addresses only, such as "
        "127.0.0.1 and its own port.")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: any free one)")
    parser.add_argument("--user", default="tester", help="login name (default: tester)")
    parser.add_argument("--password", help=f"login password (default: the environment variable {PASSWORD_ENV}, "
                        "which the demo's --host runs read too, else a new random one)")
    parser.add_argument("--root", type=Path,
                        help="folder to serve (default: a fresh temporary one, removed when the server stops)")
    return parser


def _child_parser() -> argparse.ArgumentParser:
    """The options of the server as a child of a test or the demo."""
    parser = argparse.ArgumentParser(prog="python -m servers.embedded", description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, help="directory the client sees as /")
    parser.add_argument("--user", help="login name")
    parser.add_argument("--password", help=f"default: the environment variable {PASSWORD_ENV}")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    parser.add_argument("--refuse", action="append", default=[],
                        help="an SFTP extension the server neither offers nor serves, e.g. posix-rename@openssh.com")
    return parser


def _refuse_extensions(names: list[str]) -> None:
    """The server as one without these extensions: not offered, and answered as unsupported."""
    from asyncssh.sftp import SFTPServerHandler

    refused = {name.encode() for name in names}
    SFTPServerHandler._extensions = [e for e in SFTPServerHandler._extensions if e[0] not in refused]
    SFTPServerHandler._packet_handlers = {k: v for k, v in SFTPServerHandler._packet_handlers.items()
                                          if k not in refused}


def main(argv: list[str] | None = None) -> int:
    # Until the server's loop takes the stop signals over, each of them
    # ends start-up as Ctrl-C does: quietly, with status 0.
    for sig in _STOP_SIGNALS:
        signal.signal(sig, _interrupt)
    logging.getLogger("asyncio").addFilter(lambda record: record.msg != _WRITE_AFTER_LOSS)
    argv = sys.argv[1:] if argv is None else list(argv)
    foreground = argv[:1] == ["--foreground"]
    parser = _person_parser() if foreground else _child_parser()
    args = parser.parse_args(argv[1:] if foreground else argv)

    password = args.password if args.password is not None else os.environ.get(PASSWORD_ENV)
    if foreground:
        password = password or secrets.token_urlsafe(12)
    elif args.root is None or args.user is None:
        parser.error("--root and --user are required (or give --foreground)")
    if not password:
        parser.error(f"no password: give --password or set {PASSWORD_ENV}")
    if not 0 <= args.port <= 65535:
        parser.error(f"--port {args.port} is not a port number")
    if args.root is not None and not args.root.is_dir():
        parser.error(f"--root {args.root} is not a directory")
    temporary_root = args.root is None
    root = Path(tempfile.mkdtemp(prefix="sftp-main-server-")) if temporary_root else args.root.resolve()
    status = 0
    try:
        # cryptography warns about DSA on every import of asyncssh; the
        # server never offers DSA, so the warning is noise on the log.
        warnings.filterwarnings("ignore", message="DSA is deprecated")
        _refuse_extensions(getattr(args, "refuse", []))
        status = asyncio.run(_serve(root, args.user, password, args.port, foreground, temporary_root))
    except KeyboardInterrupt:
        pass
    finally:
        # The loop's end gave the signals back their default actions; a
        # second Ctrl-C must not cut the clean-up short.
        for sig in _STOP_SIGNALS:
            signal.signal(sig, signal.SIG_IGN)
        if temporary_root:
            shutil.rmtree(root, ignore_errors=True)
    if foreground and status == 0:
        print("embedded SFTP server stopped", flush=True)
    return status


# --- the controlling side -------------------------------------------------


def _without_sanitizers(env: dict[str, str]) -> dict[str, str]:
    """env without the sanitizer runtimes in LD_PRELOAD and their options."""
    preload = env.pop("LD_PRELOAD", "")
    kept = [lib for lib in re.split(r"[:\s]+", preload) if lib and not _SANITIZER_RUNTIME.match(os.path.basename(lib))]
    if kept:
        env["LD_PRELOAD"] = " ".join(kept)
    for name in _SANITIZER_VARIABLES:
        env.pop(name, None)
    return env


class EmbeddedSFTPServer(ServerProcess):
    """Runs the embedded server in a child process for as long as the
    context lasts (or until `stop`)."""

    host = LOOPBACK
    # The client's "/" is `root`.
    remote_root = "/"
    # The server runs as the tests' own user, so it can refuse nothing by
    # permission: there is no read-only directory on it.
    readonly_dir: Path | None = None

    def __init__(
        self,
        root: str | os.PathLike[str],
        user: str = "tester",
        password: str | None = None,
        *,
        start_timeout: float = 30.0,
        refused: tuple[str, ...] = (),
    ) -> None:
        self.root = Path(root).resolve()
        # SFTP extensions the server is to lack, as "posix-rename@openssh.com".
        self.refused = refused
        self.user = user
        self.password = password if password is not None else secrets.token_urlsafe(12)
        self.port = 0
        self.start_timeout = start_timeout
        self._proc: subprocess.Popen[bytes] | None = None
        self._log: IO[bytes] | None = None

    @property
    def pid(self) -> int | None:
        return self._proc.pid if self._proc is not None else None

    def config(self) -> dict[str, Any]:
        """The connection part of a `VornaxSFTPMain` configuration."""
        return {"host": self.host, "port": self.port, "user": self.user, "password": self.password}

    def remote_path(self, *parts: str) -> str:
        """The path under which the client sees `root / parts`."""
        return "/".join([""] + list(parts)) if parts else self.remote_root

    def start(self) -> Self:
        if self._proc is not None:
            raise RuntimeError("embedded SFTP server already started")
        if not self.root.is_dir():
            raise FileNotFoundError(f"embedded SFTP server root {self.root} is not a directory")
        self._log = tempfile.TemporaryFile()
        env = _without_sanitizers(dict(os.environ, **{PASSWORD_ENV: self.password}))
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PROJECT_ROOT), env.get("PYTHONPATH")]))
        self._proc = start_process(
            [sys.executable, "-m", "servers.embedded", "--root", str(self.root), "--user", self.user,
             *(f"--refuse={name}" for name in self.refused)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._log,
            env=env,
            # Its own session: a Ctrl-C at the terminal reaches the tests,
            # which then stop the server in order.
            start_new_session=True,
        )
        try:
            self.port = self._read_port()
        except BaseException:
            self.stop()
            raise
        return self

    def _read_port(self) -> int:
        assert self._proc is not None and self._proc.stdout is not None
        stdout = self._proc.stdout
        # Read by a thread: Windows cannot wait on a pipe with a timeout.  A
        # server that hangs is stopped by the caller, which ends the read.
        lines: list[bytes] = []
        reader = threading.Thread(target=lambda: lines.append(stdout.readline()), daemon=True)
        reader.start()
        reader.join(self.start_timeout)
        if reader.is_alive():
            raise TimeoutError(
                f"embedded SFTP server did not report its port within {self.start_timeout:g} s{self._log_tail()}"
            )
        if not lines[0].endswith(b"\n"):
            self._proc.wait(timeout=5)
            raise RuntimeError(
                f"embedded SFTP server exited with status {self._proc.returncode} before it was ready{self._log_tail()}"
            )
        stdout.close()
        port: int = json.loads(lines[0])["port"]
        return port

    def _log_tail(self) -> str:
        if self._log is None:
            return ""
        self._log.seek(0)
        text = self._log.read().decode(errors="replace").strip()
        return f":\n{text[-4000:]}" if text else ""

    def stop(self) -> None:
        """Stops the server process and reaps it; safe to call twice."""
        proc, self._proc = self._proc, None
        if proc is not None:
            if proc.stdin is not None:
                proc.stdin.close()
            stop_tree(proc)
            if proc.stdout is not None:
                proc.stdout.close()
        if self._log is not None:
            self._log.close()
            self._log = None


if __name__ == "__main__":
    sys.exit(main())
