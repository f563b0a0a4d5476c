"""The parameter tables and the cleansing of the caller's mapping: checks,
defaults, the Chinese message texts, the completion of the mapping, and the
traceback line of each step that fails."""

import collections
import types
from typing import Any

import pytest

import sftp_main
import vornax_var
from conftest import C, DEFAULT_KEYS, VALID, Event, blank, catch, check_raised, logged_call, make_obj, raiser

TABLE = {"host": {"type": True}, "port": {"type": False, "default": 22}, "user": {"type": True},
         "password": {"type": True}}
NO_HOST = {"user": "u", "password": "p"}
fail = raiser(LookupError)


def rigged(tables: dict[str, Any] = {}, **attributes: Any) -> Any:
    """A blank object whose table builders (instance overrides) store the
    given tables, with further instance attributes."""
    obj = blank()
    for attr, table in tables.items():
        builder = {"_params_dict": "_set_params_dict", "_default_params": "_set_default_params"}[attr]
        setattr(obj, builder, lambda attr=attr, table=table: setattr(obj, attr, table))
    obj.__dict__.update(attributes)
    return obj


def with_table(table: Any) -> Any:
    return rigged({"_params_dict": table})


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
    # timeout and host_key pass like any other key: _connect checks them.
    config = {"password": "p", "user": "u", "ssh_port": 5, "host": "h", "extra": [1], "timeout": "30", "host_key": 5}
    obj = blank()
    assert obj._cleanse_params(config) is None
    # The missing default keys are appended in table order; no port.
    assert list(config.items()) == [("password", "p"), ("user", "u"), ("ssh_port", 5), ("host", "h"),
                                    ("extra", [1]), ("timeout", "30"), ("host_key", 5)] + [
        (k, None) for k in DEFAULT_KEYS if k != "ssh_port"]
    assert obj._config.port == obj._config.get("port") == 22 and type(obj._config.port) is int
    assert obj._config.extra is config["extra"] and obj._config.get("ssh") is None
    assert list(vars(obj)) == ["_config", "_params_dict", "_default_params"]


@pytest.mark.parametrize("port, expected", [(None, 22), (0, 22), (False, 22), ("", 22), (0.0, 22),
                                            ("2222", "2222"), (2222, 2222), (1.5, 1.5)])
def test_port_default(port: Any, expected: Any) -> None:
    config = make_obj({**VALID, "port": port})._config
    assert config.port == expected and type(config.port) is type(expected)


@pytest.mark.parametrize("make", [collections.OrderedDict, collections.UserDict, collections.ChainMap])
def test_other_mappings_are_completed(make: Any) -> None:
    config = make(dict(VALID))
    assert make_obj(config)._config.host == VALID["host"]
    assert list(config.keys()) == list(VALID) + DEFAULT_KEYS


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


Shown = type("Shown", (), {"__contains__": lambda self, x: False, "__str__": lambda self: "<str>",
                           "__format__": lambda self, format_spec: "<formatted>"})
MISSING = "缺少必填参数："


@pytest.mark.parametrize("config, options, text", [
    ({}, {}, MISSING + "['host', 'user', 'password']"),
    ({"password": "p", "user": "u"}, {}, MISSING + "['host']"),
    ({"password": None, "user": "", "host": 0, "port": 7}, {}, MISSING + "['host', 'user', 'password']"),
    ({"host": "h", "user": "u", "password": ""}, {}, MISSING + "['password']"),
    ({"host": "h", "user": "u", "password": None}, {}, MISSING + "['password']"),
    ({"host": "h", "password": False}, {}, MISSING + "['user', 'password']"),
    ({"host": [], "user": "u", "password": "p", "ssh": True}, {}, MISSING + "['host']"),
    # Rules that restrict values with `optional`.
    ({**VALID, "port": 23}, {"port": [22, 80]}, "参数port预设值不正确，可选：[22, 80]"),
    ({"host": "h", "password": "p", "port": 23}, {"port": [22, 80]},
     MISSING + "['user']；参数port预设值不正确，可选：[22, 80]"),
    ({"password": "p", "port": 23, "user": "w"}, {"port": (22, 80), "user": ["u", "v"]},
     MISSING + "['host']；参数port预设值不正确，可选：(22, 80)；参数user预设值不正确，可选：['u', 'v']"),
    ({**VALID, "host": "z"}, {"host": "abc"}, "参数host预设值不正确，可选：abc"),
    ({**VALID, "user": "x"}, {"user": Shown()}, "参数user预设值不正确，可选：<formatted>"),
    ({"user": "u", "password": "p"}, {"host": ["h"]}, MISSING + "['host']"),
    ({**VALID, "port": 80}, {"port": [22, 80]}, None),
    ({**VALID, "host": "b"}, {"host": "abc"}, None),
    ({**VALID, "port": 23}, {"port": []}, None),  # an empty collection allows everything
    ({**VALID, "port": 0}, {"port": [80]}, None),  # a false value is not checked, and gets the default
])
def test_validation(config: dict[str, Any], options: dict[str, Any], text: str | None) -> None:
    table = {k: dict(rule, **({"optional": options[k]} if k in options else {})) for k, rule in TABLE.items()}
    obj = blank(type("Opts", (C,), {"_set_params_dict": lambda self: setattr(self, "_params_dict", table)})
                if options else C)
    before = dict(config)
    if text is None:
        assert obj._cleanse_params(config) is None
    else:
        exc = catch(obj._cleanse_params, config)
        check_raised(exc, Exception, text, ("_cleanse_params", 69))
        assert exc.args == (text,)
        # Nothing added to the caller's mapping, no default table built.
        assert list(config.items()) == list(before.items()) and list(vars(obj)) == ["_config", "_params_dict"]
    assert obj._config.port == (before.get("port") or 22)


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


def test_configuration_object_gets_a_copy_by_keywords(monkeypatch: pytest.MonkeyPatch) -> None:
    log: list[Event] = []
    made = vornax_var.VornaxVar(**VALID)
    monkeypatch.setattr(sftp_main, "VornaxVar", logged_call("VornaxVar", log, made))
    obj, config = blank(), collections.UserDict({**VALID, "port": 2})
    obj._cleanse_params(config)
    assert obj._config is made and log == [("call", "VornaxVar", (), {**VALID, "port": 2})]


# --- the line of each failing step --------------------------------------------------------------

def odd(base: type = object, *args: Any, **methods: Any) -> Any:
    """An instance of a one-off class with the given methods."""
    return type("Odd", (base,), methods)(*args)


def failing_get(key: str, after: int = 0) -> Any:
    """A rule's get that fails for key after `after` successful reads of it."""
    reads = {"left": after}

    def get(self: dict[str, Any], k: str, default: Any = None) -> Any:
        if k == key:
            if reads["left"] == 0:
                raise LookupError("get " + k)
            reads["left"] -= 1
        return dict.get(self, k, default)
    return get


def cleansing(table: Any, config: Any) -> Any:
    return lambda: with_table(table)._cleanse_params(dict(config))


def growing() -> dict[str, Any]:
    """A table that one of its rules adds to while the table is walked."""
    table: dict[str, Any] = {}
    table["host"] = odd(dict, get=lambda self, key: (table.setdefault("more", {}), dict.get(self, key))[1])
    return table


def with_var(**members: Any) -> Any:
    """Cleansing of a valid mapping into a configuration object with the given members."""
    def call() -> None:
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(sftp_main, "VornaxVar", type("V", (vornax_var.VornaxVar,), {"__slots__": (), **members})
                          if members else fail)
            blank()._cleanse_params(dict(VALID))
    return call


def step(case: str, call: Any, exc_type: type[BaseException], line: int, text: str | None = None,
         method: str = "_cleanse_params") -> Any:
    return pytest.param(call, exc_type, method, line, text, id=case)


NONE_ITEMS = "'NoneType' object has no attribute 'items'"
STEP_ERRORS = [
    step("config-object", with_var(), LookupError, 47),
    step("table-builder", lambda: rigged(_set_params_dict=fail)._cleanse_params(dict(VALID)), LookupError, 48),
    step("table-none", cleansing(None, VALID), AttributeError, 52, NONE_ITEMS),
    step("table-items", cleansing(types.SimpleNamespace(items=fail), VALID), LookupError, 52),
    step("config-get", with_var(get=fail), LookupError, 53),
    step("table-changed", cleansing(growing(), VALID), RuntimeError, 52, "dictionary changed size during iteration"),
    step("optional-read", cleansing({"host": odd(dict, get=failing_get("optional"))}, VALID), LookupError, 54),
    step("membership", cleansing({"host": {"optional": odd(__contains__=fail)}}, VALID), LookupError, 54),
    step("optional-third-read", cleansing({"host": odd(dict, {"optional": ["x"]}, get=failing_get("optional", 2))},
                                          VALID), LookupError, 55),
    step("type-read", cleansing({"host": odd(dict, get=failing_get("type"))}, NO_HOST), LookupError, 57),
    step("default-read", cleansing({"host": odd(dict, get=failing_get("default"))}, NO_HOST), LookupError, 60),
    step("default-reread", cleansing({"host": odd(dict, {"default": 1}, get=failing_get("default", 1))}, NO_HOST),
         LookupError, 61),
    step("config-set", with_var(set=fail), LookupError, 61),
    step("missing-text", cleansing({odd(str, "host", __repr__=fail): {"type": True}}, NO_HOST), LookupError, 63),
    step("allowed-text", cleansing({"host": {"optional": odd(__contains__=lambda s, x: False, __format__=fail)}},
                                   VALID), LookupError, 66),
    step("default-builder", lambda: rigged(_set_default_params=fail)._cleanse_params(dict(VALID)), LookupError, 70),
    step("default-none", lambda: rigged({"_default_params": None})._cleanse_params(dict(VALID)), AttributeError,
         71, NONE_ITEMS),
    step("mapping-keys", lambda: blank()._cleanse_params(odd(dict, VALID, keys=fail)), LookupError, 72),
    step("mapping-update", lambda: blank()._cleanse_params(odd(dict, VALID, update=fail)), LookupError, 73),
    step("params-store", lambda: blank(type("R", (C,), {"_params_dict": property(None, fail)}))._set_params_dict(),
         LookupError, 76, method="_set_params_dict"),
    step("defaults-store", lambda: blank(type("R", (C,), {"_default_params": property(None, fail)}))
         ._set_default_params(), LookupError, 84, method="_set_default_params"),
]


@pytest.mark.parametrize("call, exc_type, method, line, text", STEP_ERRORS)
def test_step_error_lines(call: Any, exc_type: type[BaseException], method: str, line: int, text: str | None) -> None:
    check_raised(catch(call), exc_type, text, (method, line))
