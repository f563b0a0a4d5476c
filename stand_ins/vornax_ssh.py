"""VornaxSSH: reach an SSH server through a jump host.

``VornaxSSH(config).connect()`` logs in to the jump host named by the
``ssh_*`` entries of a configuration, listens on an ephemeral port of
127.0.0.1 and forwards every connection made there through the jump host to
the configuration's ``host``:``port``.  It returns the configuration with
``host`` and ``port`` pointing at that local port, so a client connects to
the target as if it were local; every other entry, ``timeout`` and
``host_key`` among them, comes through unchanged.  A true ``timeout`` (in
seconds) also bounds each wait of the jump-host session: connecting, the
banner, the key exchange, logging in and opening a forwarded channel.
``connect`` opens one forwarded channel to the target and closes it at
once, so that a jump host that refuses to forward there raises paramiko's
``SSHException``, naming the jump host, the target and the refusal.  A jump
host that cannot be reached raises the ``OSError`` of the connection
(``ConnectionRefusedError``, ``TimeoutError``, ...) and one that refuses the
login paramiko's ``AuthenticationException``, each naming the jump host and
its address, with paramiko's or the socket's own error as the cause: the
target's errors, raised later by the client, look the same otherwise.

The returned object owns the tunnel: the tunnel closes when that object is
closed or garbage collected, and at the latest when the interpreter exits.
"""

from __future__ import annotations

import logging
import selectors
import socket
import threading
import time
import weakref
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import paramiko

from vornax_var import VornaxVar

__all__ = ["VornaxSSH", "VornaxTunnelVar"]

LOCAL_HOST = "127.0.0.1"
DEFAULT_PORT = 22
# Bounds on every wait, so a dead jump host cannot hang the caller; a
# configured ``timeout`` takes their place.
CONNECT_TIMEOUT = 15.0
CHANNEL_OPEN_TIMEOUT = 15.0
JOIN_TIMEOUT = 5.0
CHUNK = 32768

log = logging.getLogger("vornax.ssh")


class VornaxSSH:
    """Turns a configuration whose ``ssh`` entry is true into one that
    reaches ``host``:``port`` through the jump host of its ``ssh_*`` entries.
    """

    def __init__(self, config: Mapping[str, Any]) -> None:
        self.config = dict(config)

    def connect(self) -> VornaxVar:
        """Open the tunnel; the result's ``host`` and ``port`` lead through it.

        A configuration whose ``ssh`` entry is false needs no tunnel and
        comes back unchanged, as a plain ``VornaxVar``.
        """
        if not self.config.get("ssh"):
            return VornaxVar(**self.config)
        settings = _TunnelSettings.from_config(self.config)
        tunnel = _Tunnel(settings)
        entries = dict(self.config, host=LOCAL_HOST, port=tunnel.port)
        return VornaxTunnelVar(tunnel, **entries)


class VornaxTunnelVar(VornaxVar):
    """A configuration that owns the jump-host tunnel its ``port`` leads to."""

    __slots__ = ("_finalizer",)

    _finalizer: weakref.finalize[[], VornaxTunnelVar]

    def __init__(self, tunnel: _Tunnel, /, **entries: Any) -> None:
        super().__init__(**entries)
        # The finaliser holds the tunnel, never this object, so dropping the
        # last reference to the configuration closes the tunnel; it also
        # runs at interpreter exit.
        self._finalizer = weakref.finalize(self, tunnel.close)

    def close(self) -> None:
        """Close the tunnel now: its threads, sockets and jump-host session."""
        self._finalizer()

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def __reduce__(self) -> tuple[Any, ...]:
        # A copy is the configuration only; the tunnel has one owner.
        return (VornaxVar, (), self.todict())


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
    def address(self) -> str:
        """The jump host as its errors name it."""
        return _address(self.jump_host, self.jump_port)

    @classmethod
    def from_config(cls, config: Mapping[str, Any]) -> _TunnelSettings:
        missing = [name for name in ("ssh_host", "ssh_user") if not config.get(name)]
        if not config.get("ssh_password") and not config.get("ssh_rsa"):
            missing.append("ssh_password or ssh_rsa")
        if not config.get("host"):
            missing.append("host")
        if missing:
            raise ValueError("the jump-host tunnel configuration lacks: " + ", ".join(missing))
        return cls(
            jump_host=str(config["ssh_host"]),
            jump_port=_port(config, "ssh_port"),
            user=str(config["ssh_user"]),
            password=_text(config.get("ssh_password")),
            key_path=_text(config.get("ssh_rsa")),
            key_passphrase=_text(config.get("ssh_rsa_pwd")),
            target_host=str(config["host"]),
            target_port=_port(config, "port"),
            timeout=_timeout(config.get("timeout")),
        )


def _address(host: str, port: int) -> str:
    # An IPv6 address in brackets, so that the port stands apart.
    if ":" in host:
        return f"[{host}]:{port}"
    return f"{host}:{port}"


def _text(value: Any) -> str | None:
    return str(value) if value else None


def _port(config: Mapping[str, Any], key: str) -> int:
    value = config.get(key)
    if not value:
        return DEFAULT_PORT
    # Digits in a text are taken too: ports often come from text files.
    text = str(value)
    if isinstance(value, int | str) and not isinstance(value, bool) and text.isascii() and text.isdigit():
        if 0 < int(text) < 65536:
            return int(text)
    raise ValueError(f"{key} must be a port number, not {value!r}")


def _timeout(value: Any) -> float | None:
    if not value:
        return None
    # A bool is no number of seconds; beyond TIMEOUT_MAX no lock can wait.
    if isinstance(value, int | float) and not isinstance(value, bool) and 0 < value <= threading.TIMEOUT_MAX:
        return float(value)
    raise ValueError(f"timeout must be a positive number of seconds, not {value!r}")


def _login(settings: _TunnelSettings) -> paramiko.Transport:
    """An authenticated transport to the jump host; nothing is left open
    when this raises."""
    # The key is read first, so a bad key file opens no connection at all.
    key = _load_key(settings.key_path, settings.key_passphrase) if settings.key_path else None
    logins: list[Callable[[paramiko.Transport], object]] = []
    if key is not None:
        logins.append(lambda transport: transport.auth_publickey(settings.user, key))
    if settings.password is not None:
        password = settings.password
        logins.append(lambda transport: transport.auth_password(settings.user, password))
    # A refused key still leaves the password.  Each login gets a session of
    # its own: some servers end the session rather than take a second
    # attempt on it.
    for number, login in enumerate(logins, 1):
        transport = _open_transport(settings)
        try:
            login(transport)
            if not transport.is_authenticated():
                raise paramiko.AuthenticationException("it wants more than the given credentials")
            return transport
        except paramiko.AuthenticationException as exc:
            _shut_transport(transport)
            if number == len(logins):
                # The type callers of paramiko catch, in words that tell it
                # from the target's own refusal.
                raise paramiko.AuthenticationException(
                    f"the jump host {settings.address} refused the login of {settings.user}: {exc}") from exc
        except BaseException:
            _shut_transport(transport)
            raise
    raise AssertionError("unreachable: the configuration check requires a password or a key")


def _open_transport(settings: _TunnelSettings) -> paramiko.Transport:
    wait = settings.timeout or CONNECT_TIMEOUT
    try:
        sock = socket.create_connection((settings.jump_host, settings.jump_port), timeout=wait)
    except OSError as exc:
        raise _naming_jump_host(exc, settings.address) from exc
    try:
        transport = paramiko.Transport(sock)
    except BaseException:
        sock.close()
        raise
    try:
        # The session's thread carries the tunnel's name, like its others.
        transport.name = f"vornax-tunnel-jump-{settings.jump_host}:{settings.jump_port}"
        transport.banner_timeout = transport.handshake_timeout = transport.auth_timeout = wait
        # The jump host's key is accepted as offered: the configuration
        # names the host, and no known-hosts file is consulted.  A
        # configured host_key is the target's, checked by the client that
        # connects through the tunnel.  The banner and handshake timeouts
        # end a silent jump host's session, and start_client raises their
        # error (a wait of its own would return quietly, with no session).
        transport.start_client()
    except BaseException:
        _shut_transport(transport)
        raise
    return transport


def _naming_jump_host(exc: OSError, address: str) -> OSError:
    """exc's own type and errno (ConnectionRefusedError stays one), its
    text naming the jump host, which the target's errors do not."""
    text = f"cannot connect to the jump host {address}: {exc.strerror or exc}"
    if exc.errno is None:
        return type(exc)(text)
    return type(exc)(exc.errno, text)


def _load_key(path: str, passphrase: str | None) -> paramiko.PKey:
    # The key loader hands the passphrase to the decryption as it is, and
    # that takes bytes only (whatever paramiko's type hints say).
    secret = passphrase.encode() if passphrase is not None else None
    try:
        return paramiko.PKey.from_path(path, secret)  # type: ignore[arg-type]
    except TypeError as exc:
        # The key loader refuses a passphrase for a key that is not
        # encrypted, and a missing one for a key that is.
        if secret is None:
            raise ValueError(f"ssh_rsa: the key in {path} is encrypted; "
                             "ssh_rsa_pwd must give its passphrase") from exc
    return paramiko.PKey.from_path(path)


def _shut_transport(transport: paramiko.Transport) -> None:
    transport.close()
    # close() does nothing for a transport that already stopped by itself,
    # and may return before its thread has ended.
    transport.sock.close()
    if transport.is_alive() and transport is not threading.current_thread():
        transport.join(JOIN_TIMEOUT)


class _Tunnel:
    """The jump-host session, the local listener and the forwarding threads.

    Holds no reference to the configuration that owns it.
    """

    def __init__(self, settings: _TunnelSettings) -> None:
        self._target = (settings.target_host, settings.target_port)
        self._jump_host = settings.address
        self._channel_timeout = settings.timeout or CHANNEL_OPEN_TIMEOUT
        self._transport = _login(settings)
        try:
            # One forward, closed at once: a jump host that refuses the
            # target fails the tunnel here, in words, where the client
            # would meet only a closed connection, a banner it cannot read.
            self._open_forward((LOCAL_HOST, 0)).close()
            self._listener = socket.create_server((LOCAL_HOST, 0))
            # Closing the write end makes the read end readable for good:
            # one signal that wakes every thread waiting in a selector.
            self._wake_r, self._wake_w = socket.socketpair()
        except BaseException:
            _shut_transport(self._transport)
            raise
        self.port: int = self._listener.getsockname()[1]
        # Re-entrant: close() may run from a finaliser that the garbage
        # collector starts while this same thread holds the lock.
        self._lock = threading.RLock()
        self._closed = False
        self._threads: set[threading.Thread] = set()
        self._connections: set[socket.socket] = set()
        self._start(self._accept_loop, "accept")

    def _start(self, target: Any, role: str, *args: Any) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True,
                                  name=f"vornax-tunnel-{self.port}-{role}")
        self._threads.add(thread)
        thread.start()

    def _accept_loop(self) -> None:
        with selectors.DefaultSelector() as selector:
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake_r, selectors.EVENT_READ)
            while True:
                ready = {key.fileobj for key, _ in selector.select()}
                if self._wake_r in ready:
                    return
                try:
                    client, peer = self._listener.accept()
                except OSError as exc:
                    # E.g. out of file descriptors: the listener stays
                    # readable, so pause instead of spinning.
                    log.warning("tunnel on port %d: accept failed: %s", self.port, exc)
                    time.sleep(0.1)
                    continue
                with self._lock:
                    if self._closed:
                        client.close()
                        return
                    self._connections.add(client)
                    self._start(self._forward, "forward", client, peer)

    def _open_forward(self, peer: tuple[str, int]) -> paramiko.Channel:
        try:
            return self._transport.open_channel("direct-tcpip", self._target, peer, timeout=self._channel_timeout)
        except paramiko.ChannelException as exc:
            target = _address(*self._target)
            raise paramiko.SSHException(f"the jump host {self._jump_host} refused to forward to {target}: "
                                        f"{exc.text} (code {exc.code})") from exc

    def _forward(self, client: socket.socket, peer: tuple[str, int]) -> None:
        channel: paramiko.Channel | None = None
        try:
            channel = self._open_forward(peer)
            self._pump(client, channel)
        except (OSError, EOFError, paramiko.SSHException) as exc:
            # The local client sees its connection closed; the reason is
            # the jump host's (refused target, closed session, ...).
            log.warning("tunnel on port %d to %s:%d: %s", self.port, *self._target, exc)
        finally:
            if channel is not None:
                try:
                    channel.close()
                except (OSError, EOFError, paramiko.SSHException):
                    pass  # the jump session ended first: the channel went with it
            client.close()
            with self._lock:
                self._connections.discard(client)
                self._threads.discard(threading.current_thread())

    def _pump(self, client: socket.socket, channel: paramiko.Channel) -> None:
        # Each direction ends on its own (half-close), so a client may send
        # everything, shut its side and still read the whole answer.
        with selectors.DefaultSelector() as selector:
            selector.register(client, selectors.EVENT_READ)
            selector.register(channel, selectors.EVENT_READ)
            selector.register(self._wake_r, selectors.EVENT_READ)
            open_directions = 2
            while open_directions:
                for key, _ in selector.select():
                    if key.fileobj is self._wake_r:
                        return
                    if key.fileobj is client:
                        data = client.recv(CHUNK)
                        if data:
                            channel.sendall(data)
                            continue
                        channel.shutdown_write()
                    else:
                        data = channel.recv(CHUNK)
                        if data:
                            client.sendall(data)
                            continue
                        client.shutdown(socket.SHUT_WR)
                    selector.unregister(key.fileobj)
                    open_directions -= 1

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            threads = list(self._threads)
            connections = list(self._connections)
        self._wake_w.close()
        # Threads blocked in a send rather than a select are freed by
        # shutting their sockets down and by closing the session.
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        _shut_transport(self._transport)
        current = threading.current_thread()
        for thread in threads:
            if thread is not current:
                thread.join(JOIN_TIMEOUT)
        self._listener.close()
        self._wake_r.close()
