"""The convention all methods share: function attributes, argument binding
and its TypeError texts, the traceback entry of every exception that leaves
a method, and the lookup of module-level names at each use."""

from __future__ import annotations

import builtins
import gc
import inspect
import types
from typing import Any

import pytest

import sftp_main
import vornax_var
from conftest import (C, CLIENT_METHODS, METHODS, MODULE_FILE, QUAL, VALID, Event, FakeParamiko, Recorder,
                      below_tests, blank, calls, catch, check_raised, connect_fakes, logged_call, make_obj,
                      raiser)


@pytest.mark.parametrize("name, params, line", METHODS)
def test_function_attributes(name: str, params: tuple[str, ...], line: int) -> None:
    f = getattr(C, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, "VornaxSFTPMain." + name, "sftp_main")
    assert f.__doc__ == f"VornaxSFTPMain.{name}({', '.join(params)})"
    signature = inspect.signature(f)
    assert str(signature) == f"({', '.join(params)})"
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert str(inspect.signature(getattr(blank(), name))) == f"({', '.join(params[1:])})"


@pytest.fixture
def armed(monkeypatch: pytest.MonkeyPatch) -> tuple[Any, list[Event]]:
    """A connected object whose every collaborator logs into one list."""
    gc.collect()  # objects of earlier tests must not be finalised into this log
    obj = make_obj()
    log = connect_fakes(obj)
    monkeypatch.setattr(sftp_main, "paramiko", FakeParamiko(log))
    for name in ("VornaxLog", "VornaxSSH", "VornaxVar"):
        monkeypatch.setattr(sftp_main, name, logged_call(name, log))
    return obj, log


def binding_cases(name: str, params: tuple[str, ...]) -> list[tuple[str, list[str], list[str], str]]:
    """(case, positional sources, keyword sources, expected text); "o" is the object."""
    n, values = len(params), [repr(f"v{i}") for i in range(1, len(params))]

    def count(given: int) -> str:
        return f"{name}() takes exactly {n} positional argument{'s' * (n != 1)} ({given} given)"
    unexpected = f"{name}() got an unexpected keyword argument 'x'"
    cases = [("nothing", [], [], count(0)),
             ("too-many", ["o", *values, "0"], [], count(n + 1)),
             ("too-many-with-keyword", ["o", *values, "0"], ["x=1"], count(n + 1)),
             ("keyword-only", [], ["x=1"], count(0)),
             ("unexpected", ["o", *values], ["x=1"], unexpected),
             ("all-by-keyword-and-unknown", [], [f"{p}={v}" for p, v in zip(params, ["o", *values])] + ["x=1"],
              unexpected),
             ("self-twice", ["o", *values], ["self=o"],
              f"{name}() got multiple values for keyword argument 'self'")]
    if n > 1:
        cases += [("too-few", ["o", *values[:-1]], [], count(n - 1)),
                  ("last-missing-with-keyword", ["o", *values[:-1]], ["x=1"], count(n - 1)),
                  ("self-by-keyword-rest-missing", [], ["self=o", "x=1"], count(1)),
                  ("last-twice", ["o", *values], [f"{params[-1]}=0"],
                   f"{name}() got multiple values for keyword argument '{params[-1]}'")]
    else:
        cases.append(("self-by-keyword-and-unknown", [], ["self=o", "x=1"], unexpected))
    if n > 2:
        cases.append(("first-missing-second-by-keyword", ["o"], [f"{params[2]}=0"], count(1)))
    return cases


BINDING = [pytest.param(name, line, f"lambda o: C.{name}({', '.join(pos + kw)})", text, id=f"{name}-{case}")
           for name, params, line in METHODS for case, pos, kw, text in binding_cases(name, params)] + [
    # obj.m(...) written out takes the interpreter's method-call path.
    pytest.param(name, line, f"lambda o: o.{name}({', '.join(pos[1:] + kw)})", text, id=f"{name}-{case}-obj")
    for name, params, line in METHODS for case, pos, kw, text in binding_cases(name, params) if pos[:1] == ["o"]]


def assert_untouched(obj: Any, before: dict[str, Any], log: list[Event]) -> None:
    assert log == [] and list(vars(obj)) == list(before)
    assert all(vars(obj)[k] is v for k, v in before.items())


@pytest.mark.parametrize("name, line, source, text", BINDING)
def test_binding_errors(armed: tuple[Any, list[Event]], name: str, line: int, source: str, text: str) -> None:
    obj, log = armed
    before = dict(vars(obj))
    # Compiled under this file's name, so that its frame counts as the test's own.
    exc = catch(eval(compile(source, __file__, "eval"), {"C": C}), obj)
    check_raised(exc, TypeError, text, (name, line))
    assert below_tests(exc) == [(MODULE_FILE, QUAL + name, line)]
    assert_untouched(obj, before, log)


@pytest.mark.parametrize("name, params, line", METHODS)
def test_non_string_keywords(armed: tuple[Any, list[Event]], name: str, params: tuple[str, ...],
                             line: int) -> None:
    # type(f).__call__ hands the dict straight to the type's call slot; a
    # plain f(**{1: 2}) is refused by the interpreter before the module.
    obj, log = armed
    before, f, values = dict(vars(obj)), getattr(C, name), [f"v{i}" for i in range(1, len(params))]
    check_raised(catch(lambda: type(f).__call__(f, obj, *values, **{1: 2})), TypeError,
                 f"{name}() keywords must be strings", (name, line))
    if len(params) > 1:  # a missing parameter is reported first
        check_raised(catch(lambda: type(f).__call__(f, obj, **{1: 2})), TypeError,
                     f"{name}() takes exactly {len(params)} positional arguments (1 given)", (name, line))
    assert_untouched(obj, before, log)


@pytest.mark.parametrize("name, params, line", METHODS)
def test_every_parameter_binds_by_keyword(fake_paramiko: FakeParamiko, name: str, params: tuple[str, ...],
                                          line: int) -> None:
    obj = make_obj()
    log = connect_fakes(obj)
    values = {p: dict(VALID) if p == "config" else object() for p in params[1:]}
    getattr(C, name)(self=obj, **values)
    getattr(obj, name)(**dict(reversed(values.items())))
    if name in CLIENT_METHODS:
        assert calls(log) == [("sftp." + CLIENT_METHODS[name], tuple(values.values()), {})] * 2


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


def rigged(tables: dict[str, Any] = {}, **attributes: Any) -> Any:
    """A blank object whose table builders (instance overrides) store the
    given tables, with further instance attributes."""
    obj = blank()
    for attr, table in tables.items():
        builder = {"_params_dict": "_set_params_dict", "_default_params": "_set_default_params"}[attr]
        setattr(obj, builder, lambda attr=attr, table=table: setattr(obj, attr, table))
    obj.__dict__.update(attributes)
    return obj


def cleansing(table: Any, config: Any) -> Any:
    return lambda: rigged({"_params_dict": table})._cleanse_params(dict(config))


def raise_once(exc: type[BaseException]) -> Any:
    """Raises at the first call only, so that destroying the object later is quiet."""
    state = {"raised": False}

    def call() -> None:
        if not state["raised"]:
            state["raised"] = True
            raise exc
    return call


fail = raiser(LookupError)
NO_HOST = {"user": "u", "password": "p"}
TABLE = {"host": {"type": True}}
# (case, patched module names, call, exception type, module entries)
BODY_ERRORS: list[tuple[str, dict[str, Any], Any, type[BaseException], list[tuple[str, int]]]] = [
    ("logger", {"VornaxLog": fail}, lambda: make_obj(), LookupError, [("__init__", 24)]),
    ("config-none", {}, lambda: C(None), TypeError, [("__init__", 25), ("_cleanse_params", 47)]),
    ("validation-in-init", {}, lambda: C({}), Exception, [("__init__", 25), ("_cleanse_params", 69)]),
    ("ssh-truth", {}, lambda: C({**VALID, "ssh": odd(__bool__=fail)}), LookupError, [("__init__", 26)]),
    ("hand-over", {"VornaxSSH": fail}, lambda: C({**VALID, "ssh": True}), LookupError, [("__init__", 27)]),
    ("config-object", {"VornaxVar": fail}, lambda: blank()._cleanse_params(dict(VALID)), LookupError,
     [("_cleanse_params", 47)]),
    ("not-a-mapping", {}, lambda: blank()._cleanse_params(5), TypeError, [("_cleanse_params", 47)]),
    ("table-builder", {}, lambda: rigged(_set_params_dict=fail)._cleanse_params(dict(VALID)), LookupError,
     [("_cleanse_params", 48)]),
    ("table-none", {}, cleansing(None, VALID), AttributeError, [("_cleanse_params", 52)]),
    ("table-items", {}, cleansing(types.SimpleNamespace(items=fail), VALID), LookupError,
     [("_cleanse_params", 52)]),
    ("config-get", {"VornaxVar": type("V", (vornax_var.VornaxVar,), {"__slots__": (), "get": fail})},
     lambda: blank()._cleanse_params(dict(VALID)), LookupError, [("_cleanse_params", 53)]),
    ("optional-read", {}, cleansing({"host": odd(dict, get=failing_get("optional"))}, VALID), LookupError,
     [("_cleanse_params", 54)]),
    ("membership", {}, cleansing({"host": {"optional": odd(__contains__=fail)}}, VALID), LookupError,
     [("_cleanse_params", 54)]),
    ("optional-third-read", {}, cleansing({"host": odd(dict, {"optional": ["x"]}, get=failing_get("optional", 2))},
                                          VALID), LookupError, [("_cleanse_params", 55)]),
    ("type-read", {}, cleansing({"host": odd(dict, get=failing_get("type"))}, NO_HOST), LookupError,
     [("_cleanse_params", 57)]),
    ("default-read", {}, cleansing({"host": odd(dict, get=failing_get("default"))}, NO_HOST), LookupError,
     [("_cleanse_params", 60)]),
    ("default-reread", {}, cleansing({"host": odd(dict, {"default": 1}, get=failing_get("default", 1))}, NO_HOST),
     LookupError, [("_cleanse_params", 61)]),
    ("config-set", {"VornaxVar": type("V", (vornax_var.VornaxVar,), {"__slots__": (), "set": fail})},
     lambda: blank()._cleanse_params(dict(VALID)), LookupError, [("_cleanse_params", 61)]),
    ("missing-text", {}, cleansing({odd(str, "host", __repr__=fail): {"type": True}}, NO_HOST), LookupError,
     [("_cleanse_params", 63)]),
    ("allowed-text", {}, cleansing({"host": {"optional": odd(__contains__=lambda s, x: False, __format__=fail)}},
                                   VALID), LookupError, [("_cleanse_params", 66)]),
    ("validation", {}, cleansing(TABLE, {}), Exception, [("_cleanse_params", 69)]),
    ("default-builder", {}, lambda: rigged(_set_default_params=fail)._cleanse_params(dict(VALID)), LookupError,
     [("_cleanse_params", 70)]),
    ("default-none", {}, lambda: rigged({"_default_params": None})._cleanse_params(dict(VALID)), AttributeError,
     [("_cleanse_params", 71)]),
    ("mapping-keys", {}, lambda: blank()._cleanse_params(odd(dict, VALID, keys=fail)), LookupError,
     [("_cleanse_params", 72)]),
    ("mapping-update", {}, lambda: blank()._cleanse_params(odd(dict, VALID, update=fail)), LookupError,
     [("_cleanse_params", 73)]),
    ("params-store", {}, lambda: blank(type("R", (C,), {"_params_dict": property(None, fail)}))._set_params_dict(),
     LookupError, [("_set_params_dict", 76)]),
    ("defaults-store", {}, lambda: blank(type("R", (C,), {"_default_params": property(None, fail)}))
     ._set_default_params(), LookupError, [("_set_default_params", 84)]),
    ("finaliser", {}, lambda: rigged(_close=raise_once(KeyboardInterrupt)).__del__(), KeyboardInterrupt,
     [("__del__", 146)]),
]


@pytest.mark.parametrize("patches, call, exc_type, entries", [pytest.param(*r[1:], id=r[0]) for r in BODY_ERRORS])
def test_body_error_lines(monkeypatch: pytest.MonkeyPatch, patches: dict[str, Any], call: Any,
                          exc_type: type[BaseException], entries: list[tuple[str, int]]) -> None:
    for name, value in patches.items():
        monkeypatch.setattr(sftp_main, name, value)
    check_raised(catch(call), exc_type, None, *entries)


def test_replaced_logger_is_used_by_the_next_construction(monkeypatch: pytest.MonkeyPatch) -> None:
    log: list[Event] = []
    monkeypatch.setattr(sftp_main, "VornaxLog", logged_call("logger", log, "the logger"))
    assert make_obj()._log == "the logger" and log == [("call", "logger", (), {"file": False})]


@pytest.mark.parametrize("name, call, entries", [
    ("VornaxLog", lambda: make_obj(), [("__init__", 24)]),
    ("VornaxVar", lambda: make_obj(), [("__init__", 25), ("_cleanse_params", 47)]),
    ("VornaxSSH", lambda: make_obj({**VALID, "ssh": True}), [("__init__", 27)]),
    ("paramiko", lambda: make_obj()._connect(), [("_connect", 90)]),
])
def test_names_missing_everywhere(monkeypatch: pytest.MonkeyPatch, name: str, call: Any,
                                  entries: list[tuple[str, int]]) -> None:
    monkeypatch.delattr(sftp_main, name)  # restored by monkeypatch
    check_raised(catch(call), NameError, f"name '{name}' is not defined", *entries)


def test_builtins_fallback(monkeypatch: pytest.MonkeyPatch) -> None:
    fake, handed_over = FakeParamiko(), Recorder("handed over")
    marked = type("MarkedVar", (vornax_var.VornaxVar,), {"__slots__": ()})
    for name, value in {"VornaxLog": logged_call("logger", [], "builtin logger"), "VornaxVar": marked,
                        "paramiko": fake,
                        "VornaxSSH": lambda config: types.SimpleNamespace(connect=lambda: handed_over)}.items():
        monkeypatch.delattr(sftp_main, name)
        monkeypatch.setattr(builtins, name, value, raising=False)
    obj = make_obj()
    assert obj._log == "builtin logger" and type(obj._config) is marked
    obj._connect()
    assert obj._sftp is fake.one("paramiko.SFTPClient.from_transport")
    assert make_obj({**VALID, "ssh": True})._config is handed_over
