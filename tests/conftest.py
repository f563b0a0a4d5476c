"""Shared helpers: the method table, traceback checks, recording stand-ins for
paramiko and its clients, resource counts, and a fresh-interpreter runner."""

import gc
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import traceback
import types
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import paramiko
import pytest

import sftp_main
from servers.fixtures import _idle_embedded_servers, embedded_server, openssh_server, sftp_server  # noqa: F401  (fixtures)

C = sftp_main.VornaxSFTPMain
MODULE_FILE = os.path.basename(sftp_main.__file__)  # named by every entry the module adds
QUAL = "sftp_main.VornaxSFTPMain."
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# Methods in definition order: name, parameters (self included), line of argument errors.
METHODS: list[tuple[str, tuple[str, ...], int]] = [
    ("__init__", ("self", "config"), 22), ("_cleanse_params", ("self", "config"), 46),
    ("_set_params_dict", ("self",), 75), ("_set_default_params", ("self",), 83),
    ("_connect", ("self",), 89), ("_close", ("self",), 96), ("_remove", ("self", "path"), 100),
    ("_rename", ("self", "ole_path", "new_path"), 104),
    ("_posix_rename", ("self", "ole_path", "new_path"), 108), ("_mkdir", ("self", "path"), 112),
    ("_rmdir", ("self", "path"), 116), ("_stat", ("self", "file_path"), 120),
    ("_normalize", ("self", "path"), 123), ("_chdir", ("self", "path"), 126),
    ("_upload", ("self", "src_file", "dsc_path"), 130),
    ("_download", ("self", "src_file", "dsc_path"), 137), ("__del__", ("self",), 144)]
METHOD_NAMES = [name for name, _, _ in METHODS]
# The SFTP client method behind each remote operation.
CLIENT_METHODS = {"_remove": "remove", "_rename": "rename", "_posix_rename": "posix_rename",
                  "_mkdir": "mkdir", "_rmdir": "rmdir", "_stat": "stat", "_normalize": "normalize",
                  "_chdir": "chdir", "_upload": "put", "_download": "get"}
# Read-only, since cleansing completes the very mapping it is given.
VALID = types.MappingProxyType({"host": "sftp.example", "user": "alice", "password": "secret"})
DEFAULT_KEYS = ["ssh", "ssh_host", "ssh_port", "ssh_user", "ssh_password", "ssh_rsa", "ssh_rsa_pwd"]
Event = tuple[Any, ...]


def make_obj(config: Mapping[str, Any] | None = None, cls: type = C) -> Any:
    return cls(dict(VALID) if config is None else config)


def blank(cls: type = C) -> Any:
    """An instance on which no method has run."""
    return cls.__new__(cls)


def connected(server: Any) -> Any:
    obj = C(server.config())
    obj._connect()
    return obj


def below_tests(exc: BaseException) -> list[tuple[str, str, int]]:
    """The traceback entries below the frames of the tests themselves."""
    frames = traceback.extract_tb(exc.__traceback__)
    while frames and frames[0].filename.startswith(TESTS_DIR + os.sep):
        del frames[0]
    return [(os.path.basename(f.filename), f.name, f.lineno) for f in frames]


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function, line) of each traceback entry the module added, outermost first."""
    return [(n, line) for f, n, line in below_tests(exc) if f == MODULE_FILE]


def catch(call: Callable[..., Any], *args: Any, **kwargs: Any) -> BaseException:
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # the callers check the type
        return exc
    raise AssertionError(f"{call!r} raised nothing")


def check_raised(exc: BaseException, exc_type: type[BaseException], message: str | None,
                 *entries: tuple[str, int]) -> None:
    """exc is exactly exc_type (with that text), and carries one module entry
    per (method, line), outermost first, the first right below the tests."""
    assert type(exc) is exc_type, repr(exc)
    assert message is None or str(exc) == message
    assert module_entries(exc) == [(QUAL + m, n) for m, n in entries]
    assert below_tests(exc)[0] == (MODULE_FILE, QUAL + entries[0][0], entries[0][1])


# Where a program that saves its work on Ctrl-C calls the module: while the
# interrupt is handled, or still unwinding through a finally.
HANDLED_SCENES = ["except KeyboardInterrupt", "finally", "except SystemExit"]


def while_handling(scene: str, call: Callable[[], Any]) -> Any:
    """call()'s result, or what it raised, with an interrupt being handled as the scene says."""
    old = SystemExit(1) if scene == "except SystemExit" else KeyboardInterrupt()
    outcome: list[Any] = []

    def run() -> None:
        assert sys.exception() is old
        try:
            outcome.append(call())
        except BaseException as exc:  # the callers check it
            outcome.append(exc)
    try:
        try:
            raise old
        finally:
            if scene == "finally":
                run()
    except BaseException:
        if scene != "finally":
            run()
    return outcome[0]


def raiser(exc: BaseException | type[BaseException]) -> Callable[..., Any]:
    def fail(*args: Any, **kwargs: Any) -> Any:
        raise exc
    return fail


def logged_call(label: str, log: list[Event], result: Any = None) -> Callable[..., Any]:
    """A callable that logs ("call", label, args, kwargs) and returns result."""
    def call(*args: Any, **kwargs: Any) -> Any:
        log.append(("call", label, args, kwargs))
        return result
    return call


class Recorder:
    """A stand-in client: logs each attribute read as ("get", "label.name")
    and each call as ("call", "label.name", args, kwargs).  `results` and
    `errors` are keyed by "label.name"; an error class is raised anew each time."""

    def __init__(self, label: str, log: list[Event] | None = None, results: Mapping[str, Any] = {},
                 errors: Mapping[str, Any] = {}) -> None:
        own = object.__setattr__
        own(self, "label", label)
        own(self, "log", [] if log is None else log)
        own(self, "results", dict(results))
        own(self, "errors", dict(errors))

    def __setattr__(self, name: str, value: Any) -> None:
        """Settings are logged as ("set", "label.name", value)."""
        self.log.append(("set", f"{self.label}.{name}", value))
        object.__setattr__(self, name, value)

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        full = f"{self.label}.{name}"
        self.log.append(("get", full))

        def method(*args: Any, **kwargs: Any) -> Any:
            self.log.append(("call", full, args, kwargs))
            if full in self.errors:
                raise self.errors[full]
            return self.results.get(full)
        return method


def calls(log: Iterable[Event]) -> list[Event]:
    """The calls of a log, as (name, args, kwargs), without the reads."""
    return [e[1:] for e in log if e[0] == "call"]


class Logged:
    """A namespace whose attribute reads are logged as ("get", "label.name")."""

    def __init__(self, label: str, log: list[Event], attrs: dict[str, Any]) -> None:
        self._label, self._log, self._attrs = label, log, attrs

    def __getattr__(self, name: str) -> Any:
        if name not in self._attrs:
            raise AttributeError(name)
        self._log.append(("get", f"{self._label}.{name}"))
        return self._attrs[name]


class FakeParamiko(Logged):
    """paramiko for _connect: its SSH clients, transports and SFTP clients
    are Recorders labelled "ssh", "transport" and "sftp" logging into the same
    list; errors and results are keyed by the logged names."""

    def __init__(self, log: list[Event] | None = None, errors: Mapping[str, Any] = {},
                 results: Mapping[str, Any] = {}) -> None:
        self.log = [] if log is None else log
        self.errors, self.results, self.made = dict(errors), dict(results), {}

        def factory(name: str, make: Callable[[], Any]) -> Callable[..., Any]:
            def call(*args: Any, **kwargs: Any) -> Any:
                self.log.append(("call", name, args, kwargs))
                if name in self.errors:
                    raise self.errors[name]
                made = self.results[name] if name in self.results else make()
                self.made.setdefault(name, []).append(made)
                return made
            return call

        def client(label: str) -> Callable[[], Recorder]:
            return lambda: Recorder(label, self.log, self.results, self.errors)
        super().__init__("paramiko", self.log, {
            "SSHClient": factory("paramiko.SSHClient", client("ssh")),
            "AutoAddPolicy": factory("paramiko.AutoAddPolicy", object),
            "Transport": factory("paramiko.Transport", client("transport")),
            "SFTPClient": Logged("paramiko.SFTPClient", self.log, {"from_transport": factory(
                "paramiko.SFTPClient.from_transport", client("sftp"))}),
            "PKey": Logged("paramiko.PKey", self.log, {"from_type_string": self.from_type_string}),
            "HostKeys": Logged("paramiko.HostKeys", self.log, {"hash_host": paramiko.HostKeys.hash_host})})

    def from_type_string(self, *args: Any) -> Any:
        """paramiko's own key parser, its calls logged."""
        self.log.append(("call", "paramiko.PKey.from_type_string", args, {}))
        return paramiko.PKey.from_type_string(*args)

    def one(self, name: str) -> Any:
        (made,) = self.made[name]
        return made


def key_line(kind: str = "ssh-ed25519", comment: str = "") -> str:
    """A new public key as one OpenSSH line, of a key no server has."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
    private = {"ssh-ed25519": ed25519.Ed25519PrivateKey.generate,
               "ecdsa-sha2-nistp256": lambda: ec.generate_private_key(ec.SECP256R1()),
               "ssh-rsa": lambda: rsa.generate_private_key(65537, 2048)}[kind]()
    line = private.public_key().public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH)
    return " ".join(filter(None, [line.decode(), comment]))


@pytest.fixture
def fake_paramiko(monkeypatch: pytest.MonkeyPatch) -> FakeParamiko:
    gc.collect()  # objects of earlier tests must not be finalised into this log
    fake = FakeParamiko()
    monkeypatch.setattr(sftp_main, "paramiko", fake)
    return fake


@pytest.fixture
def private_tempdir(tmp_path_factory: pytest.TempPathFactory) -> Iterable[str]:
    """The caller's temporary directory for this test alone: what the test finds there is its own, never
    another run's on the same machine.  Kept through the test's own monkeypatch.undo()."""
    path = str(tmp_path_factory.mktemp("tmp"))
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tempfile, "tempdir", path)
        yield path


@pytest.fixture
def obj() -> Any:
    return make_obj()


def connect_fakes(target: Any, log: list[Event] | None = None, **kwargs: Any) -> list[Event]:
    """Give target recording SFTP and SSH clients; returns their shared log."""
    log = [] if log is None else log
    target._sftp, target._ssh = Recorder("sftp", log, **kwargs), Recorder("ssh", log, **kwargs)
    return log


@pytest.fixture
def unraisable(monkeypatch: pytest.MonkeyPatch) -> list[type[BaseException]]:
    """The types of exceptions reported as unraisable during the test."""
    gc.collect()  # garbage of earlier tests is theirs
    seen: list[type[BaseException]] = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    return seen


# --- threads and descriptors -------------------------------------------------------------------

if sys.platform == "win32":
    import ctypes

    _kernel32, _ws2_32, _ntdll = ctypes.WinDLL("kernel32"), ctypes.WinDLL("ws2_32"), ctypes.WinDLL("ntdll")
    _kernel32.GetHandleInformation.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_ulong)]
    _ws2_32.getsockopt.argtypes = [ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                   ctypes.POINTER(ctypes.c_int)]
    _SOL_SOCKET, _SO_TYPE = 0xFFFF, 0x1008

    def _is_socket(handle: int) -> bool:
        value, size = ctypes.c_int(), ctypes.c_int(ctypes.sizeof(ctypes.c_int))
        return _ws2_32.getsockopt(handle, _SOL_SOCKET, _SO_TYPE, ctypes.byref(value), ctypes.byref(size)) == 0

    def _is_thread(handle: int) -> bool:
        """Threads count apart, and a thread that ended keeps its handle until its Thread
        object goes (ObjectTypeInformation: a UNICODE_STRING with the type's name first)."""
        info, size = ctypes.create_string_buffer(1024), ctypes.c_ulong()
        if _ntdll.NtQueryObject(ctypes.c_void_p(handle), 2, info, len(info), ctypes.byref(size)) != 0:
            return False
        length, name = ctypes.c_ushort.from_buffer(info).value, ctypes.c_void_p.from_buffer(info, 8).value
        return ctypes.wstring_at(name, length // 2) == "Thread"

    def _open_files(sockets_only: bool) -> int:
        """The process's open handles but threads (Windows has no descriptor table to list,
        and Wine's GetProcessHandleCount answers 0): handle values are multiples of 4, handed
        out lowest first, so probing them until a long run of unused ones finds them all."""
        flags, found, value, last = ctypes.c_ulong(), 0, 4, 0
        while value < max(4096, last + 1024):
            if _kernel32.GetHandleInformation(value, ctypes.byref(flags)):
                last = value
                found += _is_socket(value) if sockets_only else not _is_thread(value)
            value += 4
        return found
else:
    def _is_socket(fd: str) -> bool:
        try:
            return os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:  # the descriptor listdir itself used
            return False

    def _open_files(sockets_only: bool) -> int:
        fds = os.listdir("/proc/self/fd")
        return sum(map(_is_socket, fds)) if sockets_only else len(fds)


def resources(sockets_only: bool = False) -> tuple[int, int, int]:
    """Threads, paramiko transport threads and open descriptors (or sockets) of this process.
    Sockets only where a test stops a server, which closes the pipes its fixture opened."""
    gc.collect()  # what earlier tests left for the collector is not counted as this test's
    return (threading.active_count(), sum(isinstance(t, paramiko.Transport) for t in threading.enumerate()),
            _open_files(sockets_only))


def settle(predicate: Callable[[], bool], timeout: float = 10.0) -> None:
    """Waits, within the timeout, until predicate holds (transport threads notice a close late)."""
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.02)


def assert_released(before: tuple[int, int, int], sockets_only: bool = False) -> None:
    gc.collect()
    settle(lambda: resources(sockets_only) == before)
    assert resources(sockets_only) == before


# --- a fresh interpreter -----------------------------------------------------------------------

_PRELUDE = '''
import importlib.machinery as _machinery, json, os, sys, traceback
cfg = json.loads(os.environ.get("SERVER_CONFIG", "null"))

def emit(value):
    print("RESULT:" + json.dumps(value), flush=True)

def failure(call):
    """Type, text and traceback entries (without this code's own) of what call raises."""
    try:
        call()
    except BaseException as exc:
        return [type(exc).__name__, str(exc), [
            [os.path.basename(f.filename), f.name, f.lineno]
            for f in traceback.extract_tb(exc.__traceback__) if f.filename != "<string>"]]

class Hide:
    """Within the block the path finder misses the named modules."""
    def __init__(self, *names):
        self.names = set(names)
    def find_spec(self, name, path=None, target=None):
        return None if name in self.names else _machinery.PathFinder.find_spec(name, path, target)
    def find_distributions(self, *args, **kwargs):  # package metadata stays findable
        return _machinery.PathFinder.find_distributions(*args, **kwargs)
    def __enter__(self):
        self.index = sys.meta_path.index(_machinery.PathFinder)
        sys.meta_path[self.index] = self
    def __exit__(self, *exc):
        sys.meta_path[self.index] = _machinery.PathFinder
'''


@dataclass
class Fresh:
    returncode: int
    stdout: str
    stderr: str
    results: list[Any]


def run_fresh(code: str, sys_path_prepend: Iterable[str | os.PathLike[str]] = (),
              server: Any = None) -> Fresh:
    """Run code in a new interpreter of this environment.  The code may call
    emit(value) to hand back JSON values and failure(call) to describe what a
    call raises, use `with Hide(*names):` to make modules unfindable, and read
    `cfg`, the configuration of the given server."""
    prepend = [os.fspath(p) for p in sys_path_prepend]
    source = _PRELUDE + f"sys.path[0:0] = {prepend!r}\n" + textwrap.dedent(code)
    env = {**os.environ, "SERVER_CONFIG": json.dumps(None if server is None else server.config())}
    proc = subprocess.run([sys.executable, "-P", "-c", source], capture_output=True, text=True,
                          encoding="utf-8", env=env, cwd=tempfile.gettempdir(), timeout=120)
    results = [json.loads(line[7:]) for line in proc.stdout.splitlines() if line.startswith("RESULT:")]
    return Fresh(proc.returncode, proc.stdout, proc.stderr, results)
