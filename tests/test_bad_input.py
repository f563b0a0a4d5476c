"""Bad input: malformed configurations, generated calls checked against a model of argument binding,
odd paths on a real server.  Each gives its documented error or a clear exception, never a crash or hang."""

import errno
import itertools
import os
import socket
import sys
from collections.abc import Iterator
from pathlib import Path, PurePosixPath
from typing import Any

import paramiko
import pytest
from hypothesis import given, settings, strategies as st

import sftp_main
from conftest import (C, CLIENT_METHODS, DEFAULT_KEYS, METHODS, QUAL, VALID, FakeParamiko, Recorder, blank, calls,
                      catch, check_raised, module_entries)
from servers.hosting import EmbeddedServer

FALSE_VALUES: dict[str, Any] = {"None": None, "0": 0, "[]": [], "{}": {}}
TRUE_VALUES: dict[str, Any] = {"1.5": 1.5, "b'x'": b"x", "object()": object(), "long text": "x" * 100_000,
                               "non-ASCII": "主机é\U0001f600", "True": True}
MISSING_ALL = "缺少必填参数：['host', 'user', 'password']"
LINE = {name: line for name, _, line in METHODS}  # of argument errors; a forwarding call is on the next
# A local file name in bytes: not even UTF-8 on POSIX; Windows names are Unicode, so there it is non-ASCII text.
LOCAL_BYTES_NAME = b"\xfe\xff-local" if os.name == "posix" else "\u00e9\u4e3b-local".encode()


@pytest.fixture(scope="module")
def module_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[EmbeddedServer]:
    with EmbeddedServer(tmp_path_factory.mktemp("root")) as running:  # the configurations only log in
        yield running


@pytest.fixture
def server(module_server: EmbeddedServer, monkeypatch: pytest.MonkeyPatch) -> EmbeddedServer:
    """The server, with only numeric addresses resolving and only it accepting connections (a host with NUL
    or a port out of range still meets the socket's own checks): nothing waits on a resolver or leaves here."""
    lookup, connect, own = socket.getaddrinfo, socket.socket.connect, (module_server.host, module_server.port)

    def guarded_connect(sock: socket.socket, address: Any) -> None:
        if address != own and "\0" not in address[0] and 0 <= address[1] <= 65535:
            raise ConnectionRefusedError(errno.ECONNREFUSED, os.strerror(errno.ECONNREFUSED))
        connect(sock, address)
    monkeypatch.setattr(socket, "getaddrinfo", lambda host, port, family=0, type=0, proto=0, flags=0:
                        lookup(host, port, family, type, proto, flags | socket.AI_NUMERICHOST))
    monkeypatch.setattr(socket.socket, "connect", guarded_connect)
    return module_server


def check_connect(obj: Any, failure: tuple[type[BaseException], int] | None) -> None:
    """_connect raises failure's type from the step at its line, or really connects."""
    if failure is not None:
        check_raised(catch(obj._connect), failure[0], None, ("_connect", failure[1]))
    else:
        obj._connect()
        assert obj._normalize(".") == "/" and obj._close() is None


# --- configurations ---------------------------------------------------------------------------------

@pytest.mark.parametrize("config, exc_type, text, line", [
    (None, TypeError, "argument after ** must be a mapping, not NoneType", 47), ([], Exception, MISSING_ALL, 69),
    ("", Exception, MISSING_ALL, 69), (5, TypeError, "'int' object is not iterable", 47),
    ("host", ValueError, "dictionary update sequence element #0 has length 1; 2 is required", 47),
    ({1: "x"}, TypeError, "keywords must be strings", 47),
    (dict(VALID) | {b"port": 22}, TypeError, "keywords must be strings", 47),
    # Pairs make a configuration, but completing the caller's mapping needs keys() and update().
    (list(VALID.items()), AttributeError, "'list' object has no attribute 'keys'", 72),
    (VALID, AttributeError, "'mappingproxy' object has no attribute 'update'", 73),
], ids=["None", "empty-list", "empty-str", "int", "str", "int-key", "bytes-key", "pairs", "read-only"])
def test_configuration_shapes(config: Any, exc_type: type[Exception], text: str, line: int) -> None:
    obj = blank()
    for call in (C, obj.__init__):
        check_raised(catch(call, config), exc_type, text, ("__init__", 25), ("_cleanse_params", line))
    # The attributes of the steps before the one that failed, and no others.
    assert list(vars(obj)) == ["_log", "_config", "_params_dict", "_default_params"][:{47: 1, 69: 3}.get(line, 4)]


def connect_failure(key: str, kind: str) -> tuple[type[BaseException], int] | None:
    """What _connect raises for a value construction let through, with the line of the step (92: address
    and transport, 93: login); None where it connects."""
    if key == "host":  # the value's text form is the host name; "1.5" is the address 1.0.0.5
        return ({"1.5": paramiko.SSHException, "long text": UnicodeEncodeError}.get(kind, socket.gaierror), 92)
    if key == "port":  # a false port is 22, where nothing listens
        return (paramiko.SSHException if kind in FALSE_VALUES else ValueError, 92)
    if key in ("user", "password"):
        return (TypeError if kind in ("1.5", "object()", "True") else paramiko.AuthenticationException, 93)
    return None  # the ssh_ keys: nothing reads them while ssh is false


@pytest.mark.parametrize("kind", [*FALSE_VALUES, *TRUE_VALUES])
@pytest.mark.parametrize("key", ["host", "port", "user", "password", *DEFAULT_KEYS])
def test_every_type_for_every_key(server: EmbeddedServer, key: str, kind: str) -> None:
    config = dict(server.config(), **{key: (value := {**FALSE_VALUES, **TRUE_VALUES}[kind])})
    if key in ("host", "user", "password") and kind in FALSE_VALUES:
        check_raised(catch(C, config), Exception, f"缺少必填参数：['{key}']", ("__init__", 25), ("_cleanse_params", 69))
    elif key == "ssh" and kind in TRUE_VALUES:  # handed to the SSH component, which wants a jump host
        check_raised(catch(C, config), ValueError, None, ("__init__", 27))
    else:
        obj = C(config)  # values go through unconverted, except a false port
        assert obj._config.get(key) == 22 if key == "port" and kind in FALSE_VALUES else obj._config.get(key) is value
        check_connect(obj, connect_failure(key, kind))


@pytest.mark.parametrize("key, value, failure", [  # "{port}" stands for the server's port
    ("host", "127.0.0.1\0", TypeError), ("host", "::1", ValueError),
    ("host", "127.0.0.1:{port}", ValueError),  # the address text is split at its first colon
    *[("host", host, socket.gaierror) for host in (" 127.0.0.1", "127.0.0.1\t", "127.0 .0.1")],
    ("port", -1, socket.gaierror), ("port", 2**70, socket.gaierror), ("port", 65536, OverflowError),
    *[("port", port, ValueError) for port in (22.0, float("nan"), "{port}.0", "garbage")],
    ("port", "{port}", None), ("port", " {port}\n", None),
], ids=repr)
def test_odd_hosts_and_ports(server: EmbeddedServer, key: str, value: Any, failure: type | None) -> None:
    config = dict(server.config(), **{key: value.format(port=server.port) if isinstance(value, str) else value})
    check_connect(C(config), None if failure is None else (failure, 92))


# --- calls ------------------------------------------------------------------------------------------

NAMES: list[Any] = sorted({p for _, params, _ in METHODS for p in params} | {"x", "", "Self"}) + [0, None, b"path"]
RESULTS, TRANSFERS = {"_stat": object(), "_normalize": object()}, ("_upload", "_download")
CLOSES = [("sftp.close", (), {}), ("ssh.close", (), {})]
SETS = {"__init__": {"_log", "_config", "_params_dict", "_default_params"}, "_connect": {"_ssh", "_sftp"},
        "_cleanse_params": {"_config", "_params_dict", "_default_params"}, "_set_params_dict": {"_params_dict"},
        "_set_default_params": {"_default_params"}}  # the attributes each body sets


def binding_error(via: str, name: str, params: tuple[str, ...], pos: list[Any], kw: dict[Any, Any]) -> str | None:
    """The TypeError text that binding raises, or None when the arguments bind."""
    if via != "slot" and any(not isinstance(k, str) for k in kw):
        return "keywords must be strings"  # the interpreter's own check, made before the call
    n, given = len(params), len(pos)
    count = f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({{}} given)"
    if not kw or given > n:
        return None if given == n else count.format(given)
    missing = [i for i in range(given, n) if params[i] not in kw]
    if missing:
        return count.format(missing[0])
    for k in kw:  # only now, in the order given
        if not isinstance(k, str):
            return f"{name}() keywords must be strings"
        if k not in params:
            return f"{name}() got an unexpected keyword argument '{k}'"
        if params.index(k) < given:
            return f"{name}() got multiple values for keyword argument '{k}'"
    return None


@st.composite
def generated_calls(draw: st.DrawFn) -> tuple[Any, ...]:
    """A correct call (some parameters by position, the rest by keyword in any order), then spoilt: positionals
    added, keywords dropped, any names put anywhere.  True is the object under test, False a fresh mapping."""
    via = draw(st.sampled_from(["bound", "class", "slot"]))
    name, params, _ = draw(st.sampled_from(METHODS))
    kinds = [True, *draw(st.lists(st.booleans(), min_size=len(params) - 1, max_size=len(params) - 1))]
    split = draw(st.integers(via == "bound", len(params)))  # a bound method brings self along
    positional = kinds[via == "bound":split] + draw(st.lists(st.booleans(), max_size=2))
    keywords = draw(st.permutations([(p, kinds[i]) for i, p in enumerate(params) if i >= split]))
    del keywords[len(keywords) - draw(st.integers(0, len(keywords))):]
    for extra in draw(st.lists(st.tuples(st.sampled_from([*params, *NAMES]), st.booleans()), max_size=3)):
        keywords.insert(draw(st.integers(0, len(keywords))), extra)
    return via, name, params, positional, dict(keywords)


@settings(max_examples=300, deadline=None)
@given(generated_calls())
def test_binding_matches_the_model(call: tuple[Any, ...]) -> None:
    via, name, params, positional_kinds, keyword_kinds = call
    obj, log, fake, tags = blank(), [], FakeParamiko(), itertools.count()
    obj._sftp = Recorder("sftp", log, results={"sftp.stat": RESULTS["_stat"], "sftp.normalize": RESULTS["_normalize"]})
    obj._ssh, obj._config = Recorder("ssh", log), sftp_main.VornaxVar(host="h", port=22, user="u", password="p")
    before = dict(vars(obj))
    value = lambda is_obj: obj if is_obj else dict(host="h", user="u", password="p", tag=next(tags))  # noqa: E731
    args, kw, f = [value(k) for k in positional_kinds], {k: value(v) for k, v in keyword_kinds.items()}, getattr(C, name)
    result, exc = None, None
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sftp_main, "paramiko", fake)
        try:  # through the bound method, the function, and the call slot of its type
            result = {"bound": lambda: getattr(obj, name)(*args, **kw), "class": lambda: f(*args, **kw),
                      "slot": lambda: type(f).__call__(f, *args, **kw)}[via]()
        except Exception as raised:
            exc = raised
    changed = {k for k, v in vars(obj).items() if before.get(k) is not v}
    positional = [obj, *args] if via == "bound" else args
    error = binding_error(via, name, params, positional, kw)
    if error is not None:  # and the body did not run (objects of earlier examples may look paramiko up)
        assert type(exc) is TypeError and str(exc) == error and not changed and not log and not calls(fake.log)
        assert module_entries(exc) == ([] if error == "keywords must be strings" else [(QUAL + name, LINE[name])])
        return
    target, *values = [*positional, *(kw[p] for p in params[len(positional):])]
    assert exc is None or module_entries(exc)[0][0] == QUAL + name and module_entries(exc)[0][1] != LINE[name]
    if target is not obj:  # the body worked on a mapping instead, which fails or gives False
        assert not changed and not log and result is (False if name in TRANSFERS else None)
        assert exc is None if name in TRANSFERS + ("__del__",) else isinstance(exc, (AttributeError, TypeError))
    elif name in ("__init__", "_cleanse_params") and values[0] is obj:  # the object is no mapping
        assert type(exc) is TypeError and module_entries(exc)[-1] == (QUAL + "_cleanse_params", 47) and not log
        assert changed == ({"_log"} if name == "__init__" else set())
    else:
        assert exc is None and changed == SETS.get(name, set())
        assert calls(log) == ([(f"sftp.{CLIENT_METHODS[name]}", tuple(values), {})] if name in CLIENT_METHODS
                              else CLOSES if name in ("_close", "__del__") else [])
        assert result is RESULTS.get(name, True if name in CLIENT_METHODS else None)
        assert name not in ("__init__", "_cleanse_params") or obj._config.get("tag") == values[0]["tag"]


# --- paths on a real server -------------------------------------------------------------------------

@pytest.fixture
def session(embedded_server: EmbeddedServer, tmp_path: Path) -> Iterator[tuple[Any, Path, Path]]:
    """A connected object, the server's root and a local directory; b"data" is in the local "src" and the
    remote "exists"."""
    obj, local = C(embedded_server.config()), tmp_path / "local"
    obj._connect()
    local.mkdir()
    (local / "src").write_bytes(b"data")
    assert obj._upload(str(local / "src"), "exists") is True
    yield obj, embedded_server.root, local
    obj._close()


@pytest.mark.parametrize("path, exc_type", [
    *[(path, TypeError) for path in (5, None, object(), 1.5, PurePosixPath("p"), Path("p"))],
    *[(path, OSError) for path in ("x" * 5000, "/".join(["d" * 200] * 25), "x/" * 2100 + "f")],
], ids=["int", "None", "object", "float", "PurePosixPath", "Path", "long-name", "long-path", "many-parts"])
def test_paths_the_client_refuses(session: tuple[Any, Path, Path], path: Any, exc_type: type) -> None:
    obj, root, local = session
    for name, params, _ in METHODS:
        for position in range(len(params) - 1) if name in CLIENT_METHODS and "src_file" not in params else ():
            args = ["exists"] * position + [path] + ["exists"] * (len(params) - 2 - position)
            if name == "_chdir" and path is None:  # the client's way back to where it started
                assert obj._chdir(None) is True and obj._normalize(".") == "/"
            elif name == "_normalize" and exc_type is OSError:  # text work, which needs no file
                assert obj._normalize(path) == "/" + path
            else:
                exc = catch(getattr(obj, name), *args)
                # A server on Windows answers a name beyond its limits by operation: no such
                # file, file exists; any OSError is the client's answer passed on.
                windows_answer = sys.platform == "win32" and exc_type is OSError and isinstance(exc, OSError)
                check_raised(exc, type(exc) if windows_answer else exc_type, None, (name, LINE[name] + 1))
    assert obj._upload(str(local / "src"), path) is False and obj._download(path, str(local / "d")) is False
    # As local paths too, but not ints: to the client's open() an int is a file descriptor, written and closed.
    if path is None or type(path) is object:
        assert obj._upload(path, "up") is False and obj._download("exists", path) is False
    assert sorted(os.listdir(root)) == ["exists"] and sorted(os.listdir(local)) == ["src"]


def test_paths_that_work(session: tuple[Any, Path, Path]) -> None:
    obj, root, local = session
    # Remote bytes paths; a server on Windows keeps names as text, so there they are UTF-8.
    raw = b"\xff\xfe-raw" if os.name == "posix" else "\u00e9-raw".encode()
    raw_local = os.path.join(os.fsencode(local), LOCAL_BYTES_NAME)
    assert obj._upload(os.fsencode(local / "src"), raw) is True
    assert os.path.exists(os.path.join(os.fsencode(root), raw))
    assert obj._stat(raw).st_size == 4 and obj._rename(raw, b"p") is True and obj._posix_rename(b"p", raw) is True
    assert obj._download(raw, raw_local) is True and open(raw_local, "rb").read() == b"data"
    if os.name == "posix":
        with pytest.raises(UnicodeDecodeError):  # the server's answer names the file in those bytes
            obj._normalize(raw)
    assert obj._remove(raw) is True and obj._mkdir(raw) is True and obj._rmdir(raw) is True
    assert obj._upload(local / "src", "from-path") is True and (root / "from-path").read_bytes() == b"data"
    assert obj._download("exists", local / "to-path") is True and (local / "to-path").read_bytes() == b"data"
    assert obj._mkdir("a") is True and obj._chdir("a") is True and obj._normalize(".") == "/a"  # relative paths
    assert obj._upload(str(local / "src"), "f") is True and (root / "a" / "f").read_bytes() == b"data"
    assert obj._stat("../exists").st_size == 4 and obj._stat("../a/./f").st_size == 4
    assert obj._rename("f", "../g") is True and obj._download("../g", str(local / "g")) is True
    assert obj._normalize("../../..") == "/"  # parent steps stop at the server's root
    assert obj._upload(str(local / "src"), "../../../h") is True and not (root.parent / "h").exists()
    assert obj._chdir("../..") is True and obj._normalize(".") == "/"
    assert obj._remove("a/../g") is True and obj._rmdir("a") is True and sorted(os.listdir(root)) == [
        "exists", "from-path", "h"]
