"""Construction and destruction of VornaxSFTPMain objects."""

import gc
import types
from typing import Any

import pytest

import sftp_main
import vornax_log
import vornax_var
from conftest import (C, DEFAULT_KEYS, VALID, Event, FakeParamiko, blank, calls, catch, check_raised, connect_fakes,
                      logged_call, make_obj, raiser)

ATTRIBUTES = ["_log", "_config", "_params_dict", "_default_params"]


def fake_ssh(log: list[Event], result: Any, fail: str = "") -> Any:
    """VornaxSSH logging its construction and connect; fails at `fail` if given."""
    def step(label: str, result: Any) -> Any:
        def call(*args: Any, **kwargs: Any) -> Any:
            log.append(("call", label, args, kwargs))
            if fail == label:
                raise LookupError(fail)
            return result
        return call
    return step("VornaxSSH", types.SimpleNamespace(connect=step("connect", result)))


def var_with(**members: Any) -> type:
    return type("V", (vornax_var.VornaxVar,), {"__slots__": (), **members})


def test_fresh_object(monkeypatch: pytest.MonkeyPatch) -> None:
    log: list[Event] = []
    monkeypatch.setattr(sftp_main, "VornaxSSH", logged_call("VornaxSSH", log))
    config = dict(VALID)
    obj = C(config)
    assert list(vars(obj)) == ATTRIBUTES and type(obj._log) is vornax_log.VornaxLog
    assert type(obj._config) is vornax_var.VornaxVar and obj._config.port == 22
    assert list(config) == list(VALID) + DEFAULT_KEYS
    assert C.__init__(obj, dict(VALID)) is None
    assert C(config=dict(VALID))._config.host == VALID["host"]
    for ssh in (None, 0, "", False, [], 0.0):
        assert type(make_obj({**VALID, "ssh": ssh})._config) is vornax_var.VornaxVar
    assert log == []  # a false (or absent) ssh never reaches VornaxSSH


def test_construction_order(monkeypatch: pytest.MonkeyPatch) -> None:
    log: list[Event] = []
    monkeypatch.setattr(sftp_main, "VornaxLog", logged_call("VornaxLog", log, "logger"))
    watched = type("Watched", (C,), {"_cleanse_params": lambda self, config: (
        log.append(("call", "_cleanse_params", (config,), dict(vars(self)))), C._cleanse_params(self, config))})
    config = dict(VALID)
    watched(config)
    assert log == [("call", "VornaxLog", (), {"file": False}),
                   ("call", "_cleanse_params", (config,), {"_log": "logger"})]
    assert log[1][2][0] is config


@pytest.mark.parametrize("ssh", [True, 1, "yes", ["x"]])
def test_true_ssh_hands_the_configuration_over(monkeypatch: pytest.MonkeyPatch, ssh: Any) -> None:
    log: list[Event] = []
    result, handed = object(), []
    monkeypatch.setattr(sftp_main, "VornaxSSH", fake_ssh(log, result))
    monkeypatch.setattr(sftp_main, "VornaxVar", var_with(
        todict=lambda self: handed.append(vornax_var.VornaxVar.todict(self)) or handed[-1]))
    obj = make_obj({**VALID, "ssh": ssh})
    assert obj._config is result and list(vars(obj)) == ATTRIBUTES
    assert log == [("call", "VornaxSSH", (handed[0],), {}), ("call", "connect", (), {})]
    assert len(handed) == 1 and log[0][2][0] is handed[0] and handed[0] == {**VALID, "ssh": ssh, "port": 22}


FALSY_FAILS = type("Untrue", (), {"__bool__": raiser(LookupError)})()


@pytest.mark.parametrize("patches, config, exc_type, entries, attributes", [
    ({"VornaxLog": raiser(LookupError)}, VALID, LookupError, [("__init__", 24)], []),
    ({"VornaxVar": var_with(ssh=property(raiser(LookupError)))}, VALID, LookupError, [("__init__", 26)],
     ATTRIBUTES),
    ({}, {**VALID, "ssh": FALSY_FAILS}, LookupError, [("__init__", 26)], ATTRIBUTES),
    ({"VornaxVar": var_with(todict=raiser(LookupError))}, {**VALID, "ssh": True}, LookupError,
     [("__init__", 27)], ATTRIBUTES),
    ({"VornaxSSH": fake_ssh([], None, "VornaxSSH")}, {**VALID, "ssh": True}, LookupError, [("__init__", 27)],
     ATTRIBUTES),
    ({"VornaxSSH": fake_ssh([], None, "connect")}, {**VALID, "ssh": True}, LookupError, [("__init__", 27)],
     ATTRIBUTES),
], ids=["logger", "ssh-read", "ssh-truth", "todict", "VornaxSSH", "connect"])
def test_failure_at_each_step(monkeypatch: pytest.MonkeyPatch, patches: dict[str, Any], config: Any,
                              exc_type: type[BaseException], entries: list[tuple[str, int]],
                              attributes: list[str]) -> None:
    for name, value in patches.items():
        monkeypatch.setattr(sftp_main, name, value)
    obj = blank()
    check_raised(catch(obj.__init__, dict(config)), exc_type, None, *entries)
    assert list(vars(obj)) == attributes
    if "ssh" in config:  # a failed hand-over keeps the cleansed configuration
        assert isinstance(obj._config, vornax_var.VornaxVar) and obj._config.get("ssh") is config["ssh"]


def test_init_again_replaces_configuration_but_not_clients() -> None:
    obj = make_obj({**VALID, "port": 2200})
    connect_fakes(obj)
    before = dict(vars(obj))
    assert obj.__init__({"host": "other", "user": "u", "password": "p"}) is None
    assert obj._log is not before["_log"] and obj._config is not before["_config"]
    assert (obj._config.host, obj._config.port) == ("other", 22)
    assert obj._sftp is before["_sftp"] and obj._ssh is before["_ssh"]


def test_destruction_in_process(unraisable: list[Any], capsys: pytest.CaptureFixture[str]) -> None:
    del_log: list[Event] = []
    closed = make_obj()
    connect_fakes(closed, del_log)
    closed._close()
    del closed  # closes both clients a second time
    failing = make_obj()
    connect_fakes(failing, errors={"sftp.close": OSError})
    cycle = make_obj()
    cycle.me = cycle
    del failing, cycle
    catch(C, None)
    catch(C, {})
    gc.collect()
    assert [c[0] for c in calls(del_log)] == ["sftp.close", "ssh.close"] * 2
    assert unraisable == [] and capsys.readouterr() == ("", "")
    interrupted = make_obj()
    interrupted._close = raiser(KeyboardInterrupt)
    del interrupted  # reported as for any finaliser
    assert unraisable == [KeyboardInterrupt]


def test_del_direct_call_closes_and_object_stays_usable(fake_paramiko: FakeParamiko) -> None:
    obj = make_obj()
    log = connect_fakes(obj)
    assert obj.__del__() is None and C.__del__(obj) is None and C.__del__(self=obj) is None
    assert calls(log) == [("sftp.close", (), {}), ("ssh.close", (), {})] * 3
    obj._connect()
    assert obj._sftp is fake_paramiko.one("paramiko.SFTPClient.from_transport")


@pytest.mark.parametrize("error", [OSError, ValueError, AttributeError, Exception])
def test_del_discards_ordinary_errors(error: type[Exception]) -> None:
    obj = make_obj()
    log = connect_fakes(obj, errors={"sftp.close": error})
    assert obj.__del__() is None and calls(log) == [("sftp.close", (), {})]
    assert blank().__del__() is None  # no _sftp at all
    assert blank(type("NoClose", (C,), {"_close": property(raiser(error))})).__del__() is None


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("where", ["instance", "subclass"])
def test_del_lets_other_base_exceptions_through(error: type[BaseException], where: str) -> None:
    raised, armed = error(), [True]

    def close(*args: Any) -> None:
        if armed[0]:
            raise raised
    if where == "instance":
        obj = make_obj()
        obj._close = close
    else:
        obj = make_obj(cls=type("Interrupted", (C,), {"_close": close}))
    exc = catch(obj.__del__)
    armed[0] = False
    assert exc is raised
    check_raised(exc, error, None, ("__del__", 146))
