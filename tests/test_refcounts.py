"""Reference check: many thousands of calls of each method, on success and on
error paths, leave the reference counts of the class, the arguments and the
results, the interpreter's allocated blocks and the open descriptors where
they were."""

import gc
import logging
import os
import socket
import sys
import types
from collections.abc import Callable
from typing import Any

import paramiko
import pytest

import sftp_main
import vornax_var
from conftest import C, CLIENT_METHODS, METHODS, VALID, blank, key_line, make_obj, raiser, resources, run_fresh

CALLS, WARM_UP = 20_000, 500
# Allocator and cache noise stays far below this; one leaked object per call would be CALLS blocks.
BLOCK_TOLERANCE = 1_000
# A download to a local path makes, fills and removes files each call, which takes minutes for CALLS
# under Wine: fewer still put one leaked block per call four times over the tolerance, and a descriptor
# left per call fails the exact count at once.
LOCAL_CALLS = 4_000
PARAMS = {name: params for name, params, _ in METHODS}


def quiet_client(result: Any, error: type[BaseException] | None = None) -> Any:
    """A client that keeps nothing, so that nothing it does lasts."""
    def method(*args: Any) -> Any:
        if error is not None:
            raise error("client error")
        return result
    names = [*CLIENT_METHODS.values(), "close", "set_missing_host_key_policy"]
    return types.SimpleNamespace(**dict.fromkeys(names, method))


@pytest.fixture
def env(monkeypatch: pytest.MonkeyPatch) -> types.SimpleNamespace:
    # Light companions, so that only the module's own references are measured.
    monkeypatch.setattr(sftp_main, "VornaxLog", dict)
    monkeypatch.setattr(sftp_main, "VornaxVar", vornax_var.VornaxVar)
    result, handed = object(), types.SimpleNamespace(ssh=None, port=22, **VALID)
    client = quiet_client(result)
    monkeypatch.setattr(sftp_main, "paramiko", types.SimpleNamespace(
        SSHClient=lambda: client, AutoAddPolicy=object,
        Transport=lambda address: types.SimpleNamespace(connect=lambda **kw: None),
        SFTPClient=type("SFTPClient", (), {"from_transport": staticmethod(lambda transport: client)})))
    monkeypatch.setattr(sftp_main, "VornaxSSH", lambda config: types.SimpleNamespace(connect=lambda: handed))
    obj = make_obj()
    obj._sftp = obj._ssh = client
    return types.SimpleNamespace(obj=obj, client=client, a=[1], b=[2], result=result, config=dict(VALID),
                                 handed=handed)


def assert_balanced(call: Callable[[], Any], *watched: object, calls: int = CALLS) -> None:
    for _ in range(WARM_UP):
        call()
    gc.collect()
    refs, blocks, fds = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks(), resources()[2]
    for _ in range(calls):
        call()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert abs(sys.getallocatedblocks() - blocks) < BLOCK_TOLERANCE
    assert resources()[2] == fds


def expecting(exc_type: type[BaseException], *calls: Callable[[], Any]) -> Callable[[], None]:
    """One call running each of calls, each of which must raise exc_type."""
    def run() -> None:
        for call in calls:
            try:
                call()
            except exc_type:
                continue
            raise AssertionError(f"{call!r} raised no {exc_type.__name__}")
    return run


def args_for(env: types.SimpleNamespace, name: str) -> list[Any]:
    return [env.config if p == "config" else (env.a, env.b)[i % 2] for i, p in enumerate(PARAMS[name][1:])]


@pytest.mark.parametrize("name", PARAMS)
def test_success(env: types.SimpleNamespace, name: str) -> None:
    f, args = getattr(C, name), args_for(env, name)
    keywords = dict(zip(PARAMS[name][1:], args))

    def call() -> None:
        f(env.obj, *args)
        f(self=env.obj, **keywords)
    assert_balanced(call, C, env.obj, env.client, env.a, env.b, env.result, env.config)


@pytest.mark.parametrize("name", PARAMS)
def test_binding_errors(env: types.SimpleNamespace, name: str) -> None:
    f, obj, a, args = getattr(C, name), env.obj, env.a, args_for(env, name)
    assert_balanced(expecting(
        TypeError, lambda: f(), lambda: f(obj, *args, a), lambda: f(obj, *args, x=a),
        lambda: f(obj, *args, self=obj), lambda: type(f).__call__(f, obj, *args, **{1: a}),
        lambda: f(x=a), lambda: f(obj, *args, a, x=a)), C, obj, a, env.config)


@pytest.mark.parametrize("name", CLIENT_METHODS)
@pytest.mark.parametrize("error", [OSError, KeyboardInterrupt])
def test_client_errors(env: types.SimpleNamespace, name: str, error: type[BaseException]) -> None:
    env.obj._sftp = quiet_client(env.result, error)
    f, args = getattr(env.obj, name), (env.a, env.b)[:len(PARAMS[name]) - 1]
    if name in ("_upload", "_download") and error is OSError:
        def call() -> None:
            assert f(*args) is False
    else:
        call = expecting(error, lambda: f(*args))
    assert_balanced(call, C, env.obj, env.a, env.b)
    env.obj._sftp = env.client  # so that destroying the object is quiet


@pytest.mark.parametrize("name", ["_upload", "_download"])
def test_logged_transfer_failure(env: types.SimpleNamespace, name: str) -> None:
    """With the DEBUG record on: each record formatted, then dropped (pytest's own handlers would keep them)."""
    env.obj._sftp = quiet_client(env.result, OSError)
    f, logger, handler = getattr(env.obj, name), logging.getLogger("sftp_main"), logging.Handler()
    handler.emit = handler.format
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    try:
        def call() -> None:
            assert f(env.a, env.b) is False
        assert_balanced(call, C, env.obj, env.a, env.b)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
        logger.propagate = True
        env.obj._sftp = env.client


def test_validation_construction_and_lookup_errors(env: types.SimpleNamespace,
                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    obj, bad = env.obj, {"port": 23}
    options = blank(type("Options", (C,), {"_set_params_dict": lambda self: setattr(
        self, "_params_dict", {"host": {"type": True}, "port": {"type": False, "optional": [22, 80]}})}))
    assert_balanced(expecting(
        Exception, lambda: obj._cleanse_params({}), lambda: obj._cleanse_params(None),
        lambda: obj._cleanse_params(5), lambda: options._cleanse_params(bad), lambda: C({}), lambda: C(None),
        lambda: blank()._close(), lambda: C._remove(blank(), env.a)), C, obj, options, bad)
    monkeypatch.delattr(sftp_main, "paramiko")
    assert_balanced(expecting(NameError, obj._connect), C, obj)


def test_construction_hand_over_and_interrupted_finaliser(env: types.SimpleNamespace) -> None:
    ssh_config = {**VALID, "ssh": True}

    def call() -> None:
        C(env.config)
        C(ssh_config)._connect()
        env.obj.__init__(ssh_config)
    assert_balanced(call, C, env.config, ssh_config, env.handed, env.client)

    interrupted = make_obj()
    interrupted._close = raiser(KeyboardInterrupt)
    assert_balanced(expecting(KeyboardInterrupt, interrupted.__del__), C, interrupted)
    del interrupted._close


def test_timeout_and_host_key(env: types.SimpleNamespace, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(socket, "create_connection", lambda *args: types.SimpleNamespace(close=lambda: None))
    monkeypatch.setattr(sftp_main.paramiko, "PKey", paramiko.PKey, raising=False)
    monkeypatch.setattr(sftp_main.paramiko, "HostKeys", paramiko.HostKeys, raising=False)
    channel = types.SimpleNamespace(settimeout=lambda seconds: None)
    env.client.get_channel = lambda: channel
    key = key_line()
    configs = [{**VALID, "timeout": 1.5, "host_key": f"{paramiko.HostKeys.hash_host(VALID['host'])} {key}"},
               # both refused, paramiko's error kept
               {**VALID, "timeout": "30", "host_key": "ssh-foo " + key.split()[1]},
               {**VALID, "host_key": f"other,{paramiko.HostKeys.hash_host('other')} {key}"},
               {**VALID, "host_key": "ecdsa-sha2-nistp384 " + key_line("ecdsa-sha2-nistp256").split()[1]}]
    obj, *refused = map(make_obj, configs)
    # A request that timed out on a paramiko client with a timeout, or was interrupted, closes its transport.
    timed_out = make_obj()
    timed_out._sftp = sftp_main.paramiko.SFTPClient()
    timed_out._sftp.stat = timed_out._sftp.put = raiser(TimeoutError)
    timed_out._sftp.remove = raiser(KeyboardInterrupt)
    timed_out._sftp.get_channel = lambda: types.SimpleNamespace(
        gettimeout=lambda: 1.5, get_transport=lambda: types.SimpleNamespace(close=lambda: None))

    def call() -> None:
        obj._connect()
        expecting(ValueError, *(o._connect for o in refused))()
        expecting(TimeoutError, lambda: timed_out._stat("x"))()
        expecting(KeyboardInterrupt, lambda: timed_out._remove("x"))()
        assert timed_out._upload("a", "b") is False
    assert_balanced(call, C, obj, timed_out, *refused, *configs)


@pytest.mark.parametrize("outcome", ["written", "failed", "interrupted"])
def test_downloads_to_local_paths(env: types.SimpleNamespace, tmp_path: Any, outcome: str) -> None:
    target, source = str(tmp_path / "target"), "remote"

    def get(remote: str, local: str) -> None:
        with open(local, "wb") as f:
            f.write(b"data")
        if outcome != "written":
            raise OSError("lost") if outcome == "failed" else KeyboardInterrupt
    env.obj._sftp = types.SimpleNamespace(get=get)
    download = env.obj._download
    if outcome == "interrupted":
        call = expecting(KeyboardInterrupt, lambda: download(source, target))
    else:
        def call() -> None:
            assert download(source, target) is (outcome == "written")
    assert_balanced(call, C, env.obj, source, target, calls=LOCAL_CALLS)
    assert os.listdir(tmp_path) == (["target"] if outcome == "written" else [])
    env.obj._sftp = env.client


def test_failed_imports_and_recovery_leak_nothing() -> None:
    fresh = run_fresh("""
        import gc
        def attempt():
            try:
                import sftp_main
            except ModuleNotFoundError:
                return
            raise AssertionError("imported")
        with Hide("vornax_ssh"):
            for _ in range(200):
                attempt()
            gc.collect()
            blocks = sys.getallocatedblocks()
            for _ in range(5000):
                attempt()
            gc.collect()
            grown = sys.getallocatedblocks() - blocks
        import sftp_main
        emit([grown, sftp_main.VornaxSFTPMain.__name__])
    """)
    assert fresh.returncode == 0, fresh.stderr
    assert abs(fresh.results[0][0]) < BLOCK_TOLERANCE and fresh.results[0][1] == "VornaxSFTPMain"
