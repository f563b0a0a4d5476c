"""Connecting and closing on a stand-in paramiko, and the ten remote
operations on recording stand-in clients."""

import base64
import logging
import math
import os
import socket
import subprocess
import sys
import tempfile
import threading
import types
from collections.abc import Callable
from typing import Any

import paramiko
import pytest

import sftp_main
from conftest import (C, CLIENT_METHODS, HANDLED_SCENES, VALID, Event, FakeParamiko, Logged, Recorder, blank, calls,
                      catch, check_raised, connect_fakes, key_line, logged_call, make_obj, raiser, while_handling)

CONFIG = {"host": "h", "port": 22, "user": "u", "password": "p"}


def watched(name: str, log: list[Event], refuse: bool = False) -> property:
    """An attribute whose reads and writes are logged (and writes refused if asked)."""
    def get(self: Any) -> Any:
        log.append(("get", "self." + name))
        return self.__dict__[name]

    def set(self: Any, value: Any) -> None:
        log.append(("set", "self." + name))
        if refuse:
            raise LookupError("refused")
        self.__dict__[name] = value
    return property(get, set)


KEY = key_line(comment="admin@example")
KEY_DATA = base64.b64decode(KEY.split()[1])


def option_reads(log: list[Event], values: dict[str, Any] | None) -> dict[str, Any]:
    """Configuration entries with a `get` that answers values (none without values)."""
    if values is None:
        return {}
    return {"get": lambda key: log.append(("call", "config.get", (key,), {})) or values.get(key)}


@pytest.mark.parametrize("options", ["no get", "false values", "both keys"])
def test_connect_reads_and_calls_in_order(fake_paramiko: FakeParamiko, monkeypatch: pytest.MonkeyPatch,
                                          options: str) -> None:
    log = fake_paramiko.log
    values = {"false values": {"timeout": 0, "host_key": ""},
              "both keys": {"timeout": 1.5, "host_key": KEY}}.get(options)
    sock = object()
    monkeypatch.setattr(socket, "create_connection", logged_call("socket.create_connection", log, sock))
    fake_paramiko.results["sftp.get_channel"] = Recorder("channel", log)
    obj = blank(type("Watched", (C,), {n: watched(n, log) for n in ("_config", "_ssh", "_sftp")}))
    obj.__dict__["_config"] = Logged("config", log, dict(CONFIG, **option_reads(log, values)))
    assert obj._connect() is None
    policy, transport = fake_paramiko.one("paramiko.AutoAddPolicy"), fake_paramiko.one("paramiko.Transport")
    bounded = options == "both keys"
    (login,) = [e for e in log if e[:2] == ("call", "transport.connect")]
    if bounded:  # the key handed over is the one made from the line
        key = login[3]["hostkey"]
        assert (key.get_name(), key.asbytes()) == ("ssh-ed25519", KEY_DATA)
    # Each key is read through a fresh self._config.get; only true values change anything.
    assert log == [e for key in ("timeout", "host_key") for e in [("get", "self._config")] + (
        [] if values is None else [("get", "config.get"), ("call", "config.get", (key,), {})])] + [
        ("get", "paramiko.PKey"), ("get", "paramiko.PKey.from_type_string"),
        ("call", "paramiko.PKey.from_type_string", ("ssh-ed25519", KEY_DATA), {})] * bounded + [
        ("get", "paramiko.SSHClient"), ("call", "paramiko.SSHClient", (), {}), ("set", "self._ssh"),
        ("get", "self._ssh"), ("get", "ssh.set_missing_host_key_policy"),
        ("get", "paramiko.AutoAddPolicy"), ("call", "paramiko.AutoAddPolicy", (), {}),
        ("call", "ssh.set_missing_host_key_policy", (policy,), {}),
        ("get", "paramiko.Transport"), ("get", "self._config"), ("get", "config.host"),
        ("get", "self._config"), ("get", "config.port")] + (
        [("call", "socket.create_connection", (("h", 22), 1.5), {}), ("call", "paramiko.Transport", (sock,), {})] +
        [("set", f"transport.{name}_timeout", 1.5) for name in ("banner", "handshake", "auth", "channel")]
        if bounded else [("call", "paramiko.Transport", ("h:22",), {})]) + [
        ("get", "transport.connect"), ("get", "self._config"), ("get", "config.user"),
        ("get", "self._config"), ("get", "config.password"),
        ("call", "transport.connect", (), {"username": "u", "password": "p"} | ({"hostkey": key} if bounded else {})),
        ("get", "paramiko.SFTPClient"), ("get", "paramiko.SFTPClient.from_transport"),
        ("call", "paramiko.SFTPClient.from_transport", (transport,), {})] + [
        ("get", "sftp.get_channel"), ("call", "sftp.get_channel", (), {}),
        ("get", "channel.settimeout"), ("call", "channel.settimeout", (1.5,), {})] * bounded + [("set", "self._sftp")]
    assert list(login[3]) == ["username", "password"] + ["hostkey"] * bounded
    assert obj.__dict__["_ssh"] is fake_paramiko.one("paramiko.SSHClient")
    assert obj.__dict__["_sftp"] is fake_paramiko.one("paramiko.SFTPClient.from_transport")
    assert transport not in vars(obj).values()


Shown = type("Shown", (), {"__format__": lambda self, format_spec: "formatted" + format_spec, "__str__": lambda self: "str"})


@pytest.mark.parametrize("host, port, address", [
    ("h", 22, "h:22"), ("h", "22", "h:22"), ("::1", 2222, "::1:2222"), ("a:b", 7, "a:b:7"),
    (Shown(), Shown(), "formatted:formatted"), (10, 1.5, "10:1.5")])
def test_address_text(fake_paramiko: FakeParamiko, obj: Any, host: Any, port: Any, address: str) -> None:
    obj._config = types.SimpleNamespace(host=host, port=port, user="u", password="p")
    obj._connect()
    assert calls(fake_paramiko.log)[3] == ("paramiko.Transport", (address,), {})


def test_default_port_and_handed_over_configuration(fake_paramiko: FakeParamiko,
                                                    monkeypatch: pytest.MonkeyPatch) -> None:
    make_obj()._connect()
    tunnel = types.SimpleNamespace(host="127.0.0.1", port=40022, user="tu", password="tp")
    monkeypatch.setattr(sftp_main, "VornaxSSH", lambda config: types.SimpleNamespace(connect=lambda: tunnel))
    make_obj({**VALID, "port": 2222, "ssh": True})._connect()
    assert [c for c in calls(fake_paramiko.log) if c[0].startswith(("paramiko.Transport", "transport"))] == [
        ("paramiko.Transport", ("sftp.example:22",), {}),
        ("transport.connect", (), {"username": "alice", "password": "secret"}),
        ("paramiko.Transport", ("127.0.0.1:40022",), {}),
        ("transport.connect", (), {"username": "tu", "password": "tp"})]


@pytest.mark.parametrize("fault, exc_type, line, new_ssh", [
    ("paramiko.SSHClient", LookupError, 90, False), ("store _ssh", LookupError, 90, False),
    ("paramiko.AutoAddPolicy", LookupError, 91, True), ("ssh.set_missing_host_key_policy", LookupError, 91, True),
    ("config.host", AttributeError, 92, True), ("paramiko.Transport", LookupError, 92, True),
    ("transport.connect", LookupError, 93, True), ("config.password", AttributeError, 93, True),
    ("paramiko.SFTPClient.from_transport", LookupError, 94, True), ("store _sftp", LookupError, 94, True),
    # With a timeout: reading the keys, the socket, a transport over it, bounding the SFTP channel.
    ("config.get", LookupError, 90, False), ("socket.create_connection", TimeoutError, 92, True),
    ("paramiko.Transport+timeout", LookupError, 92, True), ("channel.settimeout", LookupError, 94, True)])
def test_connect_failure_at_each_step(monkeypatch: pytest.MonkeyPatch, fault: str, exc_type: type[BaseException],
                                      line: int, new_ssh: bool) -> None:
    fake = FakeParamiko(errors={fault.removesuffix("+timeout"): LookupError})
    monkeypatch.setattr(sftp_main, "paramiko", fake)
    obj = blank(type("Watched", (C,), {n: watched(n, [], fault == "store " + n) for n in ("_ssh", "_sftp")}))
    earlier_ssh, earlier_sftp = object(), object()
    entries = {k: v for k, v in CONFIG.items() if fault != "config." + k}
    timed = fault in ("config.get", "socket.create_connection", "paramiko.Transport+timeout", "channel.settimeout")
    if timed:
        entries["get"] = raiser(LookupError) if fault == "config.get" else {"timeout": 1.5}.get
        connection = raiser(TimeoutError) if fault == "socket.create_connection" else lambda *a: Recorder("sock", fake.log)
        monkeypatch.setattr(socket, "create_connection", connection)
        fake.results["sftp.get_channel"] = Recorder("channel", fake.log, errors=fake.errors)
    obj.__dict__.update(_ssh=earlier_ssh, _sftp=earlier_sftp, _config=Logged("config", [], entries))
    check_raised(catch(obj._connect), exc_type, None, ("_connect", line))
    assert (obj.__dict__["_ssh"] is not earlier_ssh) is new_ssh and obj.__dict__["_sftp"] is earlier_sftp
    # A transport that was made is closed before the error leaves, or else
    # a socket made for it; nothing else is.
    closed = [c[:2] for c in calls(fake.log) if c[0].endswith("close")]
    assert closed == ([("transport.close", ())] if line >= 93 else [("sock.close", ())] if "+" in fault else [])


# A Windows socket takes no timeout above 2147483.647 s, less than threading's limit there.
TIMEOUT_LIMIT = 2147483.647 if sys.platform == "win32" else threading.TIMEOUT_MAX
TIMEOUT_TEXT = (f"参数timeout应为大于0且不超过{TIMEOUT_LIMIT if sys.platform == 'win32' else int(TIMEOUT_LIMIT)}"
                "的int或float（秒）：{!r}")
NOT_A_LINE = "参数host_key应为OpenSSH格式的一行公钥（类型、base64、可选的注释，前面可有known_hosts的主机字段）：{!r}"
REFUSED = "参数host_key的密钥类型或数据无效：{!r}"
LABEL = "参数host_key标明的类型与密钥本身的类型{}不符：{{!r}}"
OTHER_HOST = "参数host_key的主机字段不含所连接的主机{}：{{!r}}"
P256_DATA = key_line("ecdsa-sha2-nistp256").split()[1]
RSA_DATA = key_line("ssh-rsa").split()[1]


@pytest.mark.parametrize("timeout, host_key, text", [
    *[(value, None, TIMEOUT_TEXT) for value in ("30", -1, -0.5, math.nan, math.inf, True, [1.5],
                                                 math.floor(TIMEOUT_LIMIT) + 1,
                                                 threading.TIMEOUT_MAX * 2, 10 ** 400)],
    (None, KEY.encode(), "参数host_key应为str：{!r}"), (None, 5, "参数host_key应为str：{!r}"),
    (None, "ssh-ed25519", NOT_A_LINE), (None, f"{KEY}\n{KEY}", NOT_A_LINE),
    (None, KEY.split()[0] + " " + KEY.split()[1][:-1], NOT_A_LINE), (None, "ssh-ed25519 AAAA*AAA", NOT_A_LINE),
    (None, "ssh-ed25519 ＡＡＡＡ", NOT_A_LINE),
    (None, "ssh-foo " + KEY.split()[1], REFUSED), (None, "ssh-rsa " + KEY.split()[1], REFUSED),
    (None, "sftp.example ssh-foo " + KEY.split()[1], REFUSED),
    # The label must name the key's own type, which paramiko takes from the data.
    (None, "ecdsa-sha2-nistp384 " + P256_DATA, LABEL.format("ecdsa-sha2-nistp256")),
    (None, "rsa-sha2-512 " + RSA_DATA, LABEL.format("ssh-rsa")),
    (None, "sftp.example ecdsa-sha2-nistp521 " + P256_DATA, LABEL.format("ecdsa-sha2-nistp256")),
    # A known_hosts line must name the host and port connected to, as ssh-keyscan writes them.
    *[(None, f"{hosts} {KEY}", OTHER_HOST.format("sftp.example")) for hosts in (
        "other.example", "sftp.example.org,other", "[sftp.example]:22", "*.example", "sftp.example:22",
        paramiko.HostKeys.hash_host("other.example"), paramiko.HostKeys.hash_host("[sftp.example]:22"),
        "|1|bm90IGEgc2FsdA==|AAAA", "|1|")],
    ("30", 5, TIMEOUT_TEXT + "；参数host_key应为str：5")])
def test_wrong_key_values_are_refused_before_anything_is_made(fake_paramiko: FakeParamiko,
                                                              monkeypatch: pytest.MonkeyPatch, timeout: Any,
                                                              host_key: Any, text: str) -> None:
    monkeypatch.setattr(socket, "create_connection", raiser(AssertionError("no connection may be opened")))
    obj = make_obj({**VALID, "timeout": timeout, "host_key": host_key})
    exc = catch(obj._connect)
    check_raised(exc, ValueError, text.format(host_key if timeout is None else timeout), ("_connect", 90))
    made_key = not text.startswith(("参数timeout", "参数host_key应为"))
    assert [c[0] for c in calls(fake_paramiko.log)] == ["paramiko.PKey.from_type_string"] * made_key
    assert "_ssh" not in vars(obj)
    # What paramiko said about a refused key stays at hand.
    assert (type(exc.__cause__).__module__.startswith("paramiko")) is (text == REFUSED)


@pytest.mark.parametrize("port, hosts", [
    (None, "sftp.example"), (22, "other,SFTP.Example"), ("22", paramiko.HostKeys.hash_host("sftp.example")),
    (2222, "[sftp.example]:2222"), ("2222", paramiko.HostKeys.hash_host("[sftp.example]:2222"))])
def test_known_hosts_line_naming_the_target_is_taken(fake_paramiko: FakeParamiko, port: Any, hosts: str) -> None:
    make_obj({**VALID, "port": port, "host_key": f"{hosts} {KEY}"})._connect()
    (login,) = [c for c in calls(fake_paramiko.log) if c[0] == "transport.connect"]
    assert login[2]["hostkey"].get_base64() == KEY.split()[1]


@pytest.mark.parametrize("close_error", [OSError, KeyboardInterrupt])
def test_failed_connect_and_an_error_of_the_transport_close(monkeypatch: pytest.MonkeyPatch,
                                                             close_error: type[BaseException]) -> None:
    """An Exception of the close is dropped for the login's error; an interrupt
    wins, the login's error its context."""
    fake = FakeParamiko(errors={"transport.connect": LookupError, "transport.close": close_error})
    monkeypatch.setattr(sftp_main, "paramiko", fake)
    exc = catch(make_obj()._connect)
    assert ("transport.close", ()) in [c[:2] for c in calls(fake.log)]
    if close_error is OSError:
        check_raised(exc, LookupError, None, ("_connect", 93))
    else:
        assert type(exc) is KeyboardInterrupt and type(exc.__context__) is LookupError


def test_interrupted_removal_of_a_partial_download(obj: Any, monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    """The client's get fails, then removing the temporary file's name (where /proc cannot reach a file
    without one) is interrupted: the interrupt wins."""
    failure = OSError(5, "lost")
    obj._sftp = types.SimpleNamespace(get=lambda src, dst: (open(dst, "wb").close(), raiser(failure)())[1])
    real_stat = os.stat
    monkeypatch.setattr(os, "stat", lambda p, *a, **k: raiser(FileNotFoundError(2, "gone"))() if str(p).startswith(
        "/proc/self/fd/") else real_stat(p, *a, **k))
    removals: list[Any] = []
    for name in ("unlink", "remove"):
        monkeypatch.setattr(os, name, lambda *args, **kwargs: removals.append(args) or raiser(KeyboardInterrupt)())
    exc = catch(obj._download, "remote", str(tmp_path / "absent"))
    monkeypatch.undo()
    assert removals and type(exc) is KeyboardInterrupt and exc.__context__ is failure


def test_connect_twice_replaces_without_closing(fake_paramiko: FakeParamiko, obj: Any) -> None:
    obj._connect()
    first = obj._ssh, obj._sftp
    obj._connect()
    assert obj._ssh is not first[0] and obj._sftp is fake_paramiko.made["paramiko.SFTPClient.from_transport"][1]
    assert not [c for c in calls(fake_paramiko.log) if c[0].endswith("close")]


def test_close_order_and_repetition(fake_paramiko: FakeParamiko, obj: Any) -> None:
    # A client that is no paramiko SFTPClient gets exactly the two closes.
    log = connect_fakes(obj, fake_paramiko.log)
    assert obj._close() is None
    obj._close()
    assert [e for e in log if not e[1].startswith("paramiko")] == [
        ("get", "sftp.close"), ("call", "sftp.close", (), {}),
        ("get", "ssh.close"), ("call", "ssh.close", (), {})] * 2


@pytest.mark.parametrize("failing, line, reached", [
    (None, None, ["sftp", "ssh", "transport"]),
    ("sftp", 97, ["sftp", "transport"]),   # the error still reaches the caller and _ssh is left alone
    ("ssh", 98, ["sftp", "ssh", "transport"])])
def test_close_also_closes_the_transport_of_a_paramiko_client(failing: str | None, line: int | None,
                                                              reached: list[str]) -> None:
    log: list[str] = []

    def closer(name: str) -> Any:
        def close() -> None:
            log.append(name)
            if name == failing:
                raise EOFError
        return close
    transport = types.SimpleNamespace(close=closer("transport"))
    client = paramiko.SFTPClient.__new__(paramiko.SFTPClient)     # no real channel needed
    client.close, client.get_channel = closer("sftp"), lambda: types.SimpleNamespace(get_transport=lambda: transport)
    obj = make_obj()
    obj._sftp, obj._ssh = client, types.SimpleNamespace(close=closer("ssh"))
    if failing:
        check_raised(catch(obj._close), EOFError, None, ("_close", line))
    else:
        assert obj._close() is None
    assert log == reached


@pytest.mark.parametrize("lookup", ["absent", AttributeError, KeyboardInterrupt, MemoryError])
def test_close_with_paramiko_unusable(monkeypatch: pytest.MonkeyPatch, obj: Any, lookup: Any) -> None:
    # Without paramiko or its class (as at shutdown) there is no transport to
    # look for; any other failure of the look-up is the caller's.
    class Unusable:
        def __getattr__(self, name: str) -> Any:
            raise lookup(name)
    if lookup == "absent":
        monkeypatch.delattr(sftp_main, "paramiko")
    else:
        monkeypatch.setattr(sftp_main, "paramiko", Unusable())
    log = connect_fakes(obj)
    if lookup in ("absent", AttributeError):
        assert obj._close() is None
    else:
        check_raised(catch(obj._close), lookup, "SFTPClient", ("_close", 98))
    assert [c[0] for c in calls(log)] == ["sftp.close", "ssh.close"]


@pytest.mark.parametrize("setup, exc_type, text, line, reached", [
    ("sftp.close", OSError, None, 97, ["sftp.close"]),
    ("ssh.close", OSError, None, 98, ["sftp.close", "ssh.close"]),
    ("no _sftp", AttributeError, "'VornaxSFTPMain' object has no attribute '_sftp'", 97, []),
    ("no _ssh", AttributeError, "'VornaxSFTPMain' object has no attribute '_ssh'", 98, ["sftp.close"]),
    ("_sftp None", AttributeError, "'NoneType' object has no attribute 'close'", 97, [])])
def test_close_failures(obj: Any, setup: str, exc_type: type[BaseException], text: str | None, line: int,
                        reached: list[str]) -> None:
    log = connect_fakes(obj, errors={setup: OSError})
    if setup.startswith("no "):
        delattr(obj, setup[3:])
    if setup == "_sftp None":
        obj._sftp = None
    check_raised(catch(obj._close), exc_type, text, ("_close", line))
    assert [c[0] for c in calls(log)] == reached


def test_from_transport_returning_none(monkeypatch: pytest.MonkeyPatch, obj: Any) -> None:
    monkeypatch.setattr(sftp_main, "paramiko", FakeParamiko(results={"paramiko.SFTPClient.from_transport": None}))
    obj._connect()
    assert obj._sftp is None
    check_raised(catch(obj._close), AttributeError, "'NoneType' object has no attribute 'close'", ("_close", 97))
    assert obj._upload(object(), object()) is False and obj._download(object(), object()) is False


# name, argument count, answers True (else the client's result), line of a failure
FORWARDING = [("_remove", 1, True, 101), ("_rename", 2, True, 105), ("_posix_rename", 2, True, 109),
              ("_mkdir", 1, True, 113), ("_rmdir", 1, True, 117), ("_stat", 1, False, 121),
              ("_normalize", 1, False, 124), ("_chdir", 1, True, 127)]
TRANSFERS = [("_upload", 132), ("_download", 139)]


@pytest.mark.parametrize("name, count, answers_true, line", FORWARDING)
def test_forwarding_operation(obj: Any, name: str, count: int, answers_true: bool, line: int) -> None:
    result, args, method = object(), tuple(object() for _ in range(count)), "sftp." + CLIENT_METHODS[name]
    log = connect_fakes(obj, results={method: result})
    assert getattr(obj, name)(*args) is (True if answers_true else result)
    assert log == [("get", method), ("call", method, args, {})]
    obj._sftp = other = Recorder("other")  # the client is looked up at every call
    getattr(obj, name)(*args)
    assert calls(other.log) == [("other." + CLIENT_METHODS[name], args, {})]


@pytest.mark.parametrize("name, count, answers_true, line", FORWARDING)
@pytest.mark.parametrize("client, error_type, args", [
    ("raising", OSError, (2, "No such file")), ("raising", PermissionError, ("denied",)),
    ("raising", KeyboardInterrupt, ()),
    ("absent", AttributeError, ("'VornaxSFTPMain' object has no attribute '_sftp'",)),
    (None, AttributeError, ("'NoneType' object has no attribute '{}'",)),
    (42, AttributeError, ("'int' object has no attribute '{}'",))])
def test_forwarding_lets_errors_through(obj: Any, name: str, count: int, answers_true: bool, line: int,
                                        client: Any, error_type: type[BaseException], args: tuple[Any, ...]) -> None:
    error = error_type(*args)
    if client == "raising":  # the client's own exception, unchanged
        connect_fakes(obj, errors={"sftp." + CLIENT_METHODS[name]: error})
    elif client != "absent":
        obj._sftp = client
    exc = catch(getattr(obj, name), *["p"] * count)
    assert client != "raising" or exc is error
    check_raised(exc, type(error), str(error).format(CLIENT_METHODS[name]), (name, line))


@pytest.mark.parametrize("local", ["missing/target", "", "unwritable/target"] + [
    pytest.param(p, marks=pytest.mark.skipif(os.name == "nt", reason="Windows reads '..' and trailing slashes as text"))
    for p in ("newname/", "missing/../new")])
def test_download_to_a_refused_destination_transfers_nothing(obj: Any, tmp_path: Any, local: str,
                                                             caplog: pytest.LogCaptureFixture) -> None:
    """A destination the kernel refuses answers False before the client's get is called, nothing is made,
    and the error recorded is the one get's own open() raises, naming the caller's path."""
    path, made = f"{tmp_path}{os.sep}{local}" if local else "", []
    if local.startswith("unwritable"):
        made = ["unwritable"]
        (tmp_path / "unwritable").mkdir(0o555)
        if getattr(os, "geteuid", lambda: 0)() == 0:  # root writes anywhere, but where a directory is immutable
            try:
                subprocess.run(["chattr", "+i", str(tmp_path / "unwritable")], check=True, capture_output=True)
            except (OSError, subprocess.CalledProcessError):
                pytest.skip("a directory root may not write needs chattr +i")
    try:
        log = connect_fakes(obj)
        caplog.set_level(logging.DEBUG, logger="sftp_main")
        assert obj._download("remote", path) is False
        assert log == [("get", "sftp.get")] and os.listdir(tmp_path) == made
        with pytest.raises(OSError) as expected:
            open(path, "wb")
    finally:
        if made:
            subprocess.run(["chattr", "-i", str(tmp_path / "unwritable")], capture_output=True)
    [record] = caplog.records
    got = record.exc_info[1]
    assert (type(got), got.errno, got.filename) == (type(expected.value), expected.value.errno, path)


@pytest.mark.parametrize("name, line", TRANSFERS)
@pytest.mark.parametrize("paths", ["objects", "local paths"])
def test_transfer_success(obj: Any, name: str, line: int, paths: str, tmp_path: Any) -> None:
    src, dst = (object(), object()) if paths == "objects" else (str(tmp_path / "src"), str(tmp_path / "dst"))
    method = "sftp." + CLIENT_METHODS[name]
    log = connect_fakes(obj, results={method: False})
    assert getattr(obj, name)(src, dst) is True and getattr(obj, name)(dsc_path=dst, src_file=src) is True
    if name == "_download" and paths == "local paths":
        # A local path is written to a temporary file: one with no name, reached through its descriptor
        # where /proc has them, else one beside it whose name does not show the destination's.
        assert [e[:2] for e in log] == [("get", method), ("call", method)] * 2
        for event in log[1::2]:
            where, name = os.path.split(event[2][1])
            assert event[2][0] == src
            unnamed = sys.platform == "linux" and os.path.isdir("/proc/self/fd")
            assert ((where, name.isdigit()) == ("/proc/self/fd", True) if unnamed else
                    (where, name.startswith(".sftp_main-")) == (_named_temporary_home(tmp_path), True))
        assert os.listdir(tmp_path) == ["dst"]
    else:
        assert log == [("get", method), ("call", method, (src, dst), {})] * 2


def _named_temporary_home(destination_directory: Any) -> str:
    """Where a named temporary file is made: beside the destination, or on Windows in the caller's own
    temporary directory, which no other user may write."""
    return tempfile.gettempdir() if os.name == "nt" else str(destination_directory)


@pytest.mark.parametrize("name, line", TRANSFERS)
@pytest.mark.parametrize("client", ["OSError", "ValueError", "Exception subclass", "absent", None, "no method"])
def test_transfer_failure_is_false(obj: Any, name: str, line: int, client: Any,
                                   caplog: pytest.LogCaptureFixture, tmp_path: Any) -> None:
    errors = {"OSError": OSError, "ValueError": ValueError, "Exception subclass": type("Broken", (Exception,), {})}
    if client in errors:
        connect_fakes(obj, errors={"sftp." + CLIENT_METHODS[name]: errors[client]})
    elif client != "absent":
        obj._sftp = object() if client == "no method" else client
    assert getattr(obj, name)(object(), object()) is False
    assert sys.exc_info() == (None, None, None) and caplog.records == []  # logging not configured: nothing
    caplog.set_level(logging.DEBUG, logger="sftp_main")  # the reason, one logging.basicConfig away
    paths = ("it's/x", str(tmp_path / "y"))  # the record names the method and both arguments
    assert getattr(obj, name)(*paths) is False and sys.exc_info() == (None, None, None)
    [record] = caplog.records
    assert (record.name, record.levelno, record.getMessage()) == (
        "sftp_main", logging.DEBUG, f"{name}(\"it's/x\", {paths[1]!r}) answered False")
    assert isinstance(record.exc_info[1], errors.get(client, AttributeError))
    caplog.clear()  # a huge path is cut in the record, its length said
    assert getattr(obj, name)("x" * 10_000_000, b"y" * 999) is False
    [record] = caplog.records
    assert record.getMessage() == (f"{name}('{'x' * 999}... (a repr of 10000002 characters, cut), "
                                   f"b'{'y' * 998}... (a repr of 1002 characters, cut)) answered False")
    if client == "OSError":  # an error that names the huge path: its text cut, no traceback of megabytes
        def refuse(path: str, *rest: Any) -> None:
            raise FileNotFoundError(2, "No such file or directory", path)
        caplog.clear()
        obj._sftp = types.SimpleNamespace(**{CLIENT_METHODS[name]: refuse})
        assert getattr(obj, name)("x" * 10_000_000, "y") is False
        [record] = caplog.records
        assert record.exc_info is None and len(logging.Formatter().format(record)) < 4096
        text = "FileNotFoundError: [Errno 2] No such file or directory: '"
        assert record.getMessage().endswith(
            f"answered False: {text}{'x' * (1000 - len(text))}... (a text of {len(text) + 10_000_001} characters, cut)")
    try:
        raise RuntimeError("later")
    except RuntimeError as later:
        assert later.__context__ is None  # the discarded error left nothing behind
    try:  # an exception the caller is handling stays the one handled
        raise ValueError("outer")
    except ValueError as outer:
        assert getattr(obj, name)(object(), object()) is False and sys.exception() is outer


def _chained(error: BaseException, link: str, *chain: BaseException) -> BaseException:
    """error with chain[0] as its link (__context__ or __cause__), each later one the context of the one before."""
    for front, back in zip(chain, chain[1:]):
        front.__context__ = back
    setattr(error, link, chain[0])
    return error


@pytest.mark.parametrize("name, line", TRANSFERS)
@pytest.mark.parametrize("make", [
    KeyboardInterrupt, SystemExit, GeneratorExit,
    # paramiko's answer to Ctrl-C in the middle of a transfer: the interrupt is the context of its error.
    lambda: _chained(paramiko.SFTPError("Garbage packet received"), "__context__", KeyboardInterrupt()),
    lambda: _chained(OSError(5, "lost"), "__cause__", SystemExit(1)),
    lambda: _chained(paramiko.SSHException("closed"), "__context__", ValueError("bad"), KeyboardInterrupt())],
    ids=["KeyboardInterrupt", "SystemExit", "GeneratorExit", "interrupt-as-context", "exit-as-cause",
         "interrupt-deeper"])
def test_transfer_lets_other_base_exceptions_through(obj: Any, name: str, line: int,
                                                     make: Callable[[], BaseException]) -> None:
    """Also an Exception raised while a non-Exception was under way: never False, the interrupt raised."""
    raised = make()
    connect_fakes(obj, errors={"sftp." + CLIENT_METHODS[name]: raised})
    exc = catch(getattr(obj, name), object(), object())
    behind = raised  # the interrupt itself is raised, not the error that carries it
    while isinstance(behind, Exception):
        behind = behind.__cause__ or behind.__context__
    assert exc is behind
    check_raised(exc, type(behind), None, (name, line))


@pytest.mark.parametrize("name, count, line", [(n, count, line) for n, count, _, line in FORWARDING] +
                         [(n, 2, line) for n, line in TRANSFERS])
@pytest.mark.parametrize("make, channel_timeout, closes", [
    (KeyboardInterrupt, None, True), (SystemExit, 1.5, True),
    (lambda: _chained(paramiko.SFTPError("Garbage packet received"), "__context__", KeyboardInterrupt()), None, True),
    (TimeoutError, 1.5, True), (TimeoutError, None, False), (lambda: OSError(2, "No such file"), 1.5, False),
    # a local file on NFS or CIFS: the file system's ETIMEDOUT, before any request was sent
    (lambda: TimeoutError(110, "Connection timed out"), 1.5, False)],
    ids=["KeyboardInterrupt", "SystemExit", "interrupt-as-context", "timeout", "timeout-unset", "error",
         "local-timeout"])
def test_a_call_cut_short_closes_the_connection(obj: Any, name: str, count: int, line: int,
                                                make: Callable[[], BaseException], channel_timeout: float | None,
                                                closes: bool) -> None:
    """An interrupt, or a timeout of the channel's, may leave paramiko's client
    amid a packet: its transport is closed, and the exception goes on as it came
    (a transfer raises the interrupt, or answers False).  A failing close changes
    nothing; other errors close nothing."""
    raised, log = make(), []
    transport = types.SimpleNamespace(close=lambda: log.append("close") or raiser(EOFError)())
    client = paramiko.SFTPClient.__new__(paramiko.SFTPClient)  # no real channel needed
    client.get_channel = lambda: types.SimpleNamespace(gettimeout=lambda: channel_timeout,
                                                       get_transport=lambda: transport)
    setattr(client, CLIENT_METHODS[name], raiser(raised))
    obj._sftp = client
    interrupt = raised.__context__ if isinstance(raised, Exception) else raised
    if name in dict(TRANSFERS) and interrupt is None:
        assert getattr(obj, name)(*[object()] * count) is False
    else:
        expected = interrupt if name in dict(TRANSFERS) else raised
        exc = catch(getattr(obj, name), *[object()] * count)
        assert exc is expected
        check_raised(exc, type(expected), None, (name, line))
    assert log == ["close"] * closes


@pytest.mark.parametrize("name, count, line", [(n, count, line) for n, count, _, line in FORWARDING] +
                         [(n, 2, line) for n, line in TRANSFERS])
@pytest.mark.parametrize("scene", HANDLED_SCENES)
@pytest.mark.parametrize("during", ["error", "new interrupt"])
def test_an_interrupt_being_handled_is_not_this_calls(obj: Any, name: str, count: int, line: int, scene: str,
                                                      during: str) -> None:
    """Called while the caller handles an interrupt, a failed call answers as at
    any other time and closes nothing; an interrupt raised during the call is
    still found behind the client's error, and closes the connection."""
    log: list[str] = []
    transport = types.SimpleNamespace(close=lambda: log.append("close"))
    client = paramiko.SFTPClient.__new__(paramiko.SFTPClient)
    client.get_channel = lambda: types.SimpleNamespace(gettimeout=lambda: None, get_transport=lambda: transport)

    def fail(*args: Any) -> Any:
        if during == "error":
            raise FileNotFoundError(2, "No such file")
        try:
            raise KeyboardInterrupt
        except KeyboardInterrupt:  # paramiko's answer to a Ctrl-C during the call: its own error
            raise paramiko.SFTPError("Garbage packet received")
    setattr(client, CLIENT_METHODS[name], fail)
    obj._sftp = client
    outcome = while_handling(scene, lambda: getattr(obj, name)(*[object()] * count))
    if during == "error":
        assert outcome is False if name in dict(TRANSFERS) else type(outcome) is FileNotFoundError
        assert log == []
        return
    expected = (KeyboardInterrupt if name in dict(TRANSFERS) else paramiko.SFTPError)
    check_raised(outcome, expected, None, (name, line))
    assert log == ["close"]


def test_operations_after_close_reach_the_closed_client(obj: Any) -> None:
    log = connect_fakes(obj)
    obj._close()
    obj._sftp.errors.update({"sftp.remove": OSError("Socket is closed"), "sftp.put": OSError("closed")})
    check_raised(catch(obj._remove, "x"), OSError, "Socket is closed", ("_remove", 101))
    assert obj._upload(object(), object()) is False
    assert [c[0] for c in calls(log)] == ["sftp.close", "ssh.close", "sftp.remove", "sftp.put"]
