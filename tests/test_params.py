"""The parameter tables and the cleansing of the caller's mapping: checks,
defaults, the Chinese message texts and the completion of the mapping."""

from __future__ import annotations

import collections
import types
from typing import Any

import pytest

import sftp_main
import vornax_var
from conftest import C, DEFAULT_KEYS, VALID, Event, blank, catch, check_raised, logged_call, make_obj

TABLE = {"host": {"type": True}, "port": {"type": False, "default": 22}, "user": {"type": True},
         "password": {"type": True}}


def with_table(table: Any) -> Any:
    """A blank object whose parameter table builder stores table."""
    obj = blank()
    obj._set_params_dict = lambda: setattr(obj, "_params_dict", table)
    return obj


def test_tables() -> None:
    obj = blank()
    assert obj._set_params_dict() is None and obj._set_default_params() is None
    first, defaults = obj._params_dict, obj._default_params
    assert type(first) is dict and list(first.items()) == list(TABLE.items())
    assert [list(rule) for rule in first.values()] == [["type"], ["type", "default"], ["type"], ["type"]]
    assert type(first["port"]["default"]) is int and all(type(r) is dict for r in first.values())
    assert type(defaults) is dict and list(defaults.items()) == [(k, None) for k in DEFAULT_KEYS]
    obj._set_params_dict()
    obj._set_default_params()
    assert obj._params_dict is not first and obj._default_params is not defaults
    first["port"]["default"] = 80  # nothing is shared between two tables
    assert obj._params_dict == TABLE and obj._default_params == defaults


def test_success_completes_the_callers_mapping_only() -> None:
    config = {"password": "p", "user": "u", "ssh_port": 5, "host": "h", "extra": [1]}
    obj = blank()
    assert obj._cleanse_params(config) is None
    # The missing default keys are appended in table order; no port.
    assert list(config.items()) == [("password", "p"), ("user", "u"), ("ssh_port", 5), ("host", "h"),
                                    ("extra", [1])] + [(k, None) for k in DEFAULT_KEYS if k != "ssh_port"]
    assert obj._config.port == obj._config.get("port") == 22 and type(obj._config.port) is int
    assert obj._config.extra is config["extra"] and obj._config.get("ssh") is None
    assert list(vars(obj)) == ["_config", "_params_dict", "_default_params"]


@pytest.mark.parametrize("port, expected", [(None, 22), (0, 22), (False, 22), ("", 22), (0.0, 22),
                                            ("2222", "2222"), (2222, 2222), (1.5, 1.5)])
def test_port_default(port: Any, expected: Any) -> None:
    config = make_obj({**VALID, "port": port})._config
    assert config.port == expected and type(config.port) is type(expected)


@pytest.mark.parametrize("config, missing", [
    ({}, "['host', 'user', 'password']"),
    ({"password": "p", "user": "u"}, "['host']"),
    ({"password": None, "user": "", "host": 0, "port": 7}, "['host', 'user', 'password']"),
    ({"host": "h", "user": "u", "password": ""}, "['password']"),
    ({"host": "h", "user": "u", "password": None}, "['password']"),
    ({"host": "h", "password": False}, "['user', 'password']"),
    ({"host": [], "user": "u", "password": "p", "ssh": True}, "['host']"),
])
def test_missing_parameters(config: dict[str, Any], missing: str) -> None:
    before, obj = dict(config), blank()
    exc = catch(obj._cleanse_params, config)
    check_raised(exc, Exception, "缺少必填参数：" + missing, ("_cleanse_params", 69))
    assert exc.args == ("缺少必填参数：" + missing,)
    # Nothing added to the caller's mapping, no default table built.
    assert list(config.items()) == list(before.items()) and list(vars(obj)) == ["_config", "_params_dict"]
    assert obj._config.port == (before.get("port") or 22)


@pytest.mark.parametrize("config, exc_type, text", [
    (None, TypeError, "argument after ** must be a mapping, not NoneType"),
    (5, TypeError, None), ("hostname", ValueError, None), ({1: "h"}, TypeError, None)])
def test_unusable_mappings(config: Any, exc_type: type[BaseException], text: str | None) -> None:
    obj = blank()
    check_raised(catch(obj._cleanse_params, config), exc_type, text, ("_cleanse_params", 47))
    assert vars(obj) == {}


@pytest.mark.parametrize("make", [collections.OrderedDict, collections.UserDict, collections.ChainMap])
def test_other_mappings_are_completed(make: Any) -> None:
    config = make(dict(VALID))
    assert make_obj(config)._config.host == VALID["host"]
    assert list(config.keys()) == list(VALID) + DEFAULT_KEYS


def test_read_only_mapping_fails_at_update() -> None:
    obj = blank()
    check_raised(catch(obj._cleanse_params, types.MappingProxyType(dict(VALID))), AttributeError,
                 "'mappingproxy' object has no attribute 'update'", ("_cleanse_params", 73))
    assert list(vars(obj)) == ["_config", "_params_dict", "_default_params"]


def test_completion_calls_keys_then_update_per_missing_key() -> None:
    log: list[Event] = []
    config = type("Logged", (dict,), {
        "keys": lambda self: log.append(("keys",)) or dict.keys(self),
        "update": lambda self, *a, **k: log.append(("update", a, k)) or dict.update(self, *a, **k)})(
        {**VALID, "ssh": True, "ssh_rsa": "k"})
    blank()._cleanse_params(config)
    assert log == [e for key in DEFAULT_KEYS for e in
                   [("keys",)] + ([] if key in ("ssh", "ssh_rsa") else [("update", ({key: None},), {})])]
    assert config["ssh"] is True and config["ssh_rsa"] == "k"


def test_repeated_cleansing() -> None:
    config = dict(VALID)
    first, second = make_obj(config), make_obj(config)  # the second adds nothing
    assert list(config) == list(VALID) + DEFAULT_KEYS and first._config is not second._config
    tables = first._params_dict, first._default_params
    first._cleanse_params({"host": "other", "user": "u", "password": "p", "port": 0})
    assert first._config.host == "other" and first._config.port == 22 and first._config.ssh is None
    assert first._params_dict is not tables[0] and first._default_params is not tables[1]


class Options(C):
    """A table whose rules restrict values with `optional` (class attribute `options`)."""
    options: dict[str, Any] = {}

    def _set_params_dict(self) -> None:
        self._params_dict = {k: dict(rule) for k, rule in TABLE.items()}
        for name, optional in self.options.items():
            self._params_dict[name]["optional"] = optional


Shown = type("Shown", (), {"__contains__": lambda self, x: False, "__str__": lambda self: "<str>",
                           "__format__": lambda self, spec: "<formatted>"})


@pytest.mark.parametrize("config, options, text", [
    ({**VALID, "port": 23}, {"port": [22, 80]}, "参数port预设值不正确，可选：[22, 80]"),
    ({"host": "h", "password": "p", "port": 23}, {"port": [22, 80]},
     "缺少必填参数：['user']；参数port预设值不正确，可选：[22, 80]"),
    ({"password": "p", "port": 23, "user": "w"}, {"port": (22, 80), "user": ["u", "v"]},
     "缺少必填参数：['host']；参数port预设值不正确，可选：(22, 80)；"
     "参数user预设值不正确，可选：['u', 'v']"),
    ({**VALID, "host": "z"}, {"host": "abc"}, "参数host预设值不正确，可选：abc"),
    ({**VALID, "user": "x"}, {"user": Shown()}, "参数user预设值不正确，可选：<formatted>"),
    ({"user": "u", "password": "p"}, {"host": ["h"]}, "缺少必填参数：['host']"),
    ({**VALID, "port": 80}, {"port": [22, 80]}, None),
    ({**VALID, "host": "b"}, {"host": "abc"}, None),
    ({**VALID, "port": 23}, {"port": []}, None),  # an empty collection allows everything
    ({**VALID, "port": 0}, {"port": [80]}, None),  # a false value is not checked, and gets the default
])
def test_allowed_values(config: dict[str, Any], options: dict[str, Any], text: str | None) -> None:
    obj = blank(type("Opts", (Options,), {"options": options}))
    exc = catch(obj._cleanse_params, config) if text else obj._cleanse_params(config)
    if text:
        check_raised(exc, Exception, text, ("_cleanse_params", 69))
    else:
        assert obj._config.port == (config.get("port") or 22)


@pytest.mark.parametrize("rule, value, expected", [
    ({"type": False, "default": 0}, None, None), ({"type": False, "default": ""}, None, None),
    ({"type": False}, None, None), ({"default": 8022}, None, 8022), ({"type": None, "default": "x"}, 0, "x"),
])
def test_defaults_apply_only_when_true(rule: dict[str, Any], value: Any, expected: Any) -> None:
    obj = with_table({"port": rule})
    obj._cleanse_params({"port": value})
    assert obj._config.port == expected


def test_required_parameter_gets_no_default() -> None:
    obj = with_table({"host": {"type": True, "default": "h"}})
    assert str(catch(obj._cleanse_params, {})) == "缺少必填参数：['host']" and obj._config.host is None


@pytest.mark.parametrize("rule, value, reads", [
    ({"optional": [1]}, 1, ["config.get", "optional", "config.get", "optional"]),
    ({"optional": [1]}, 2, ["config.get", "optional", "config.get", "optional", "optional"]),
    ({"optional": []}, 2, ["config.get", "optional"]), ({"type": True}, 0, ["config.get", "type"]),
    ({"default": 5}, 0, ["config.get", "type", "default", "default", "config.set"]),
    ({"default": 0}, 0, ["config.get", "type", "default"])])
def test_reads_of_rule_and_configuration(monkeypatch: pytest.MonkeyPatch, rule: dict[str, Any], value: Any,
                                         reads: list[str]) -> None:
    log: list[str] = []
    base = vornax_var.VornaxVar
    monkeypatch.setattr(sftp_main, "VornaxVar", type("LoggedVar", (base,), {
        "__slots__": (), "get": lambda self, key: log.append("config.get") or base.get(self, key),
        "set": lambda self, key, value: log.append("config.set") or base.set(self, key, value)}))
    rule = type("Rule", (dict,), {"get": lambda self, key: log.append(key) or dict.get(self, key)})(rule)
    try:
        with_table({"p": rule})._cleanse_params({"p": value})
    except Exception as exc:  # some cases fail validation; only the reads matter here
        assert type(exc) is Exception
    assert log == reads


def test_table_walked_through_items_when_not_a_dict() -> None:
    obj = with_table(types.SimpleNamespace(items=lambda: [("user", {"type": True}), ("host", {"type": True})]))
    assert str(catch(obj._cleanse_params, {})) == "缺少必填参数：['user', 'host']"


@pytest.mark.parametrize("attribute, builder", [("_params_dict", "_set_params_dict"),
                                                ("_default_params", "_set_default_params")])
def test_table_that_is_none(attribute: str, builder: str) -> None:
    obj = blank()
    setattr(obj, builder, lambda: setattr(obj, attribute, None))
    exc = catch(obj._cleanse_params, dict(VALID))
    assert type(exc) is AttributeError and str(exc) == "'NoneType' object has no attribute 'items'"


def test_configuration_object_gets_a_copy_by_keywords(monkeypatch: pytest.MonkeyPatch) -> None:
    log: list[Event] = []
    made = vornax_var.VornaxVar(**VALID)
    monkeypatch.setattr(sftp_main, "VornaxVar", logged_call("VornaxVar", log, made))
    obj, config = blank(), collections.UserDict({**VALID, "port": 2})
    obj._cleanse_params(config)
    assert obj._config is made and log == [("call", "VornaxVar", (), {**VALID, "port": 2})]
