"""The companion modules: configuration object, logger and jump-host tunnel.

Most tunnel tests use a small asyncssh jump host (password logins, one
authorised key, direct-tcpip forwarding) and an echo server behind it, on
127.0.0.1 in a background event loop; one goes through a real OpenSSH jump
host, with a password and with a key, to the embedded SFTP server.
"""

import asyncio
import contextlib
import copy
import gc
import pickle
import re
import socket
import subprocess
import sys
import threading
import time
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import paramiko
import pytest

import sftp_main
import vornax_log
from servers.hosting import EmbeddedServer
from vornax_ssh import VornaxSSH, VornaxTunnelVar
from vornax_var import VornaxVar

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # asyncssh names DSA types that cryptography deprecates
    import asyncssh

JUMP_USER, JUMP_PASSWORD, KEY_PASSPHRASE = "jumper", "jump-secret", "key-secret"


def test_var_entries_copies_and_repr() -> None:
    var = VornaxVar(host="h", self=1)
    assert (var.get("port"), var.port, var.host, var.get("self"), var._private) == (None, None, "h", 1, None)
    assert [n for n in ("__len__", "__iter__", "__fspath__", "__html__") if hasattr(var, n)] == []  # not faked
    var.set("port", 22)
    var.user = "u"
    entries = var.todict()
    entries["host"] = "changed"
    assert (var.port, var.get("user"), var.todict()) == (22, "u", {"host": "h", "self": 1, "port": 22, "user": "u"})
    for twin in (copy.copy(var), copy.deepcopy(var), pickle.loads(pickle.dumps(var))):
        assert twin == var and twin is not var
        twin.set("host", "other")
        assert var.host == "h"
    assert VornaxVar(a=1) != {"a": 1}
    text = repr(VornaxVar(host="h", password="secret-1", ssh_rsa_pwd="secret-2"))
    assert "host='h'" in text and "secret" not in text


def test_log_without_file_prints_and_writes_nothing(tmp_path: Path) -> None:
    # A fresh interpreter: nothing there has configured logging.
    code = ("import vornax_log; log = vornax_log.VornaxLog(file=False); "
            "log.warning('w'); log.error('e'); log.critical('c')")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert list(tmp_path.iterdir()) == []


def test_log_with_file_writes_there(tmp_path: Path) -> None:
    log = vornax_log.VornaxLog(file=tmp_path / "app.log")
    log.debug("too low")
    log.info("first %s", "record")
    log.close()
    text = (tmp_path / "app.log").read_text(encoding="utf-8")
    assert "INFO" in text and "first record" in text and "too low" not in text


COMPLETE = {"ssh": True, "ssh_host": "127.0.0.1", "ssh_user": "u", "ssh_password": "p",
            "host": "target"}


@pytest.mark.parametrize("changes, message", [
    ({"ssh_host": None}, "lacks: ssh_host$"),
    ({"ssh_user": ""}, "lacks: ssh_user$"),
    ({"ssh_password": None}, "lacks: ssh_password or ssh_rsa$"),
    ({"host": None}, "lacks: host$"),
    ({"ssh_host": None, "ssh_user": None, "ssh_password": None, "host": None},
     "lacks: ssh_host, ssh_user, ssh_password or ssh_rsa, host$"),
    ({"ssh_port": "22x"}, "ssh_port must be a port number"),
    ({"port": 70000}, "port must be a port number"),
    *[({"timeout": value}, "timeout must be a positive number of seconds")
      for value in ("30", -1, float("nan"), True)],
])
def test_ssh_incomplete_configuration_is_named(changes: dict[str, Any], message: str) -> None:
    with pytest.raises(ValueError, match=message):
        VornaxSSH(dict(COMPLETE, **changes)).connect()


def test_ssh_false_needs_no_tunnel() -> None:
    result = VornaxSSH({"ssh": None, "host": "h"}).connect()
    assert type(result) is VornaxVar and result.todict() == {"ssh": None, "host": "h"}


class _JumpHost(asyncssh.SSHServer):
    sessions: set["_JumpHost"] = set()

    def connection_made(self, conn: asyncssh.SSHServerConnection) -> None:
        self.sessions.add(self)

    def connection_lost(self, exc: Exception | None) -> None:
        self.sessions.discard(self)

    def password_auth_supported(self) -> bool:
        return True

    def validate_password(self, username: str, password: str) -> bool:
        return (username, password) == (JUMP_USER, JUMP_PASSWORD)

    def connection_requested(self, *addresses: Any) -> bool:
        return True  # asyncssh connects to the requested address itself


async def _echo(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    while data := await reader.read(65536):
        writer.write(data)
        await writer.drain()
    writer.close()


class Hosts:
    """The jump host and an echo server behind it, on one event loop."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        key = asyncssh.generate_private_key("ssh-rsa", key_size=2048)  # not the one the test offers
        self.jump, self.echo = self.run(self._start(key.export_public_key().decode()))
        self.echo_port = self.echo.sockets[0].getsockname()[1]

    async def _start(self, public_key: str) -> tuple[Any, Any]:
        jump = await asyncssh.create_server(
            _JumpHost, "127.0.0.1", 0, authorized_client_keys=asyncssh.import_authorized_keys(public_key),
            server_host_keys=[asyncssh.generate_private_key("ssh-ed25519")])
        return jump, await asyncio.start_server(_echo, "127.0.0.1", 0)

    def run(self, coroutine: Any) -> Any:
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(30)

    def config(self, **changes: Any) -> dict[str, Any]:
        return dict({"ssh": True, "ssh_host": "127.0.0.1", "ssh_port": self.jump.sockets[0].getsockname()[1],
                     "ssh_user": JUMP_USER, "ssh_password": JUMP_PASSWORD, "host": "127.0.0.1",
                     "port": self.echo_port, "user": "u", "password": "p"}, **changes)

    def stop(self) -> None:
        async def close() -> None:
            self.jump.close()
            self.echo.close()
        self.run(close())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


@pytest.fixture(scope="module")
def hosts() -> Iterator[Hosts]:
    started = Hosts()
    yield started
    started.stop()


def tunnel_threads() -> set[threading.Thread]:
    # The listener, the forwarders and the jump-host session's thread.
    return {thread for thread in threading.enumerate() if thread.name.startswith("vornax-tunnel")}


def echo_through(port: int, payload: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=30) as conn:
        conn.sendall(payload)
        conn.shutdown(socket.SHUT_WR)  # the answer must still come back
        return b"".join(iter(lambda: conn.recv(65536), b""))


def assert_tunnel_gone(port: int | None = None) -> None:
    assert tunnel_threads() == set()
    if port is not None:
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=30)
    deadline = time.monotonic() + 10
    while _JumpHost.sessions and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not _JumpHost.sessions


def test_tunnel_forwards_to_the_target(hosts: Hosts, tmp_path: Path) -> None:
    # A key the jump host refuses, then the password (each alone: the OpenSSH test below).
    asyncssh.generate_private_key("ssh-rsa", key_size=2048).write_private_key(tmp_path / "unknown_rsa")
    given = hosts.config(ssh_rsa=str(tmp_path / "unknown_rsa"))
    config = VornaxSSH(given).connect()
    try:
        assert config.todict() == dict(given, host="127.0.0.1", port=config.port)
        # Two connections at once, one with more data than an SSH window.
        first = socket.create_connection(("127.0.0.1", config.port), timeout=30)
        payload = bytes(range(256)) * 8192
        assert echo_through(config.port, payload) == payload
        first.sendall(b"still here")
        assert first.recv(100) == b"still here"
        first.close()
    finally:
        config.close()


def test_tunnel_refused_says_so_and_survives_a_later_refusal(hosts: Hosts) -> None:
    """A target the jump host cannot reach fails the tunnel in words; one
    that goes after the tunnel opened leaves it accepting."""
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    config = VornaxSSH(hosts.config(port=port)).connect()
    listener.close()
    with pytest.raises(paramiko.SSHException, match=rf"^the jump host 127\.0\.0\.1:{hosts.config()['ssh_port']} "
                       rf"refused to forward to 127\.0\.0\.1:{port}: Connect failed \(code 2\)$"):
        VornaxSSH(hosts.config(port=port)).connect()
    try:
        for _ in range(2):  # still accepting after a failed forward
            with socket.create_connection(("127.0.0.1", config.port), timeout=30) as conn:
                assert conn.recv(1) == b""
    finally:
        config.close()
    assert_tunnel_gone()


@pytest.mark.parametrize("fault", ["wrong password", "closed port"])
def test_jump_host_errors_name_it_and_leave_nothing_behind(hosts: Hosts, fault: str) -> None:
    """Told apart from the target's own errors, of the types callers of
    paramiko catch, with paramiko's or the socket's error as the cause."""
    config = hosts.config(ssh_password="wrong")
    kind: type[OSError | paramiko.SSHException] = paramiko.AuthenticationException
    said = f"the jump host 127.0.0.1:{config['ssh_port']} refused the login of {JUMP_USER}: Authentication failed."
    if fault == "closed port":
        with socket.create_server(("127.0.0.1", 0)) as listener:
            config["ssh_port"] = listener.getsockname()[1]
        kind, said = ConnectionRefusedError, f"cannot connect to the jump host 127.0.0.1:{config['ssh_port']}: "
    with pytest.raises(kind) as caught:
        VornaxSSH(config).connect()
    error, cause = caught.value, caught.value.__cause__
    assert type(error) is kind and said in str(error) and type(cause) is kind
    assert getattr(error, "errno", None) == getattr(cause, "errno", None) and str(cause) not in ("", str(error))
    assert_tunnel_gone()


@pytest.mark.parametrize("end", ["close", "drop", "drop the sftp object"])
def test_tunnel_ends_with_its_configuration(hosts: Hosts, end: str) -> None:
    owner: Any = sftp_main.VornaxSFTPMain(hosts.config())
    config = owner._config
    assert isinstance(config, VornaxTunnelVar)
    twin = copy.copy(config)  # a copy is data only, it does not keep the tunnel
    port = config.port
    open_conn = socket.create_connection(("127.0.0.1", port), timeout=30)
    open_conn.sendall(b"x")
    assert open_conn.recv(1) == b"x"
    if end == "close":
        config.close()
        assert config.closed
    elif end == "drop":
        owner._config = None
        del config
    else:
        del owner, config
    gc.collect()
    assert type(twin) is VornaxVar and twin.port == port
    assert_tunnel_gone(port)
    assert open_conn.recv(1) == b""  # a connection still open is closed too
    open_conn.close()


@pytest.mark.parametrize("login", ["password", "key", "password, timeout and host_key", "the jump host's key"])
def test_sftp_through_an_openssh_jump_host(openssh_server: Any, embedded_server: Any, tmp_path: Path,
                                           login: str) -> None:
    jump, target = openssh_server, embedded_server
    config = dict(target.config(), ssh=True, ssh_host=jump.host, ssh_port=jump.port, ssh_user=jump.user,
                  ssh_password=jump.password)
    if login == "key":
        key = jump.add_rsa_key(passphrase=KEY_PASSPHRASE)
        config.update(ssh_password=None, ssh_rsa=str(key.private_key), ssh_rsa_pwd=key.passphrase)
    elif login != "password":  # the host key checked is the target's, whose key the tunnel carries through
        checked = target if login.endswith("host_key") else jump
        config.update(timeout=30, host_key=checked.host_keys()["ssh-ed25519"])
    sftp = sftp_main.VornaxSFTPMain(config)
    assert sftp._config.port != target.port
    for key in ("timeout", "host_key"):  # carried through unchanged
        assert sftp._config.get(key) == config.get(key)
    if login == "the jump host's key":
        with pytest.raises(paramiko.SSHException, match="Bad host key from server"):
            sftp._connect()
    else:
        (tmp_path / "up.bin").write_bytes(b"through the jump host")
        sftp._connect()
        assert sftp._upload(str(tmp_path / "up.bin"), "/up.bin") is True and sftp._stat("/up.bin").st_size == 21
        sftp._close()
        assert (target.root / "up.bin").read_bytes() == b"through the jump host"
    del sftp
    gc.collect()
    assert tunnel_threads() == set()


@pytest.mark.parametrize("target", ["itself", "another", "10.0.0.5", "localhost", "::1"])
def test_embedded_server_is_a_jump_host_to_loopback_only(embedded_server: Any, tmp_path: Path, target: str) -> None:
    """Forwarded to a loopback address, refused elsewhere (::1 is let through
    to a port that nothing there listens on)."""
    jump = embedded_server
    with contextlib.ExitStack() as stack:
        server = jump
        if target == "another":
            (tmp_path / "other").mkdir()
            server = stack.enter_context(EmbeddedServer(tmp_path / "other"))
        config = dict(server.config(), ssh=True, ssh_host=jump.host, ssh_port=jump.port, ssh_user=jump.user,
                      ssh_password=jump.password)
        if target in ("itself", "another"):
            sftp = sftp_main.VornaxSFTPMain(config)
            sftp._connect()
            sftp._mkdir("/through")
            sftp._close()
            assert (server.root / "through").is_dir()
            return
        refusal = "Connect failed (code 2)" if target == "::1" else "Administratively prohibited (code 1)"
        shown = f"[{target}]" if ":" in target else target
        with pytest.raises(paramiko.SSHException, match="^" + re.escape(
                f"the jump host 127.0.0.1:{jump.port} refused to forward to {shown}:{jump.port}: {refusal}") + "$"):
            sftp_main.VornaxSFTPMain(dict(config, host=target))
        assert tunnel_threads() == set()
