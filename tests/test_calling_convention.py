"""The convention all methods share: function attributes, argument binding
and its TypeError texts, the traceback entry of every exception that leaves
a method, and the lookup of module-level names at each use."""

import builtins
import gc
import inspect
import types
from typing import Any

import pytest

import sftp_main
import vornax_var
from conftest import (C, CLIENT_METHODS, METHODS, MODULE_FILE, QUAL, VALID, Event, FakeParamiko, Recorder,
                      below_tests, blank, calls, catch, check_raised, connect_fakes, logged_call, make_obj, run_fresh)


@pytest.mark.parametrize("name, params, line", METHODS)
def test_function_attributes_and_keyword_binding(fake_paramiko: FakeParamiko, name: str,
                                                 params: tuple[str, ...], line: int) -> None:
    f = getattr(C, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, "VornaxSFTPMain." + name, "sftp_main")
    assert f.__doc__ == f"VornaxSFTPMain.{name}({', '.join(params)})"
    signature = inspect.signature(f)
    assert str(signature) == f"({', '.join(params)})"
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert str(inspect.signature(getattr(blank(), name))) == f"({', '.join(params[1:])})"
    obj = make_obj()  # every parameter binds by keyword, in any order
    log = connect_fakes(obj)
    values = {p: dict(VALID) if p == "config" else object() for p in params[1:]}
    f(self=obj, **values)
    getattr(obj, name)(**dict(reversed(values.items())))
    if name in CLIENT_METHODS:
        assert calls(log) == [("sftp." + CLIENT_METHODS[name], tuple(values.values()), {})] * 2


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
    twice = f"{name}() got multiple values for keyword argument '{{}}'"
    cases = [("nothing", [], [], count(0)), ("too-many", ["o", *values, "0"], [], count(n + 1)),
             ("too-many-with-keyword", ["o", *values, "0"], ["x=1"], count(n + 1)),
             ("keyword-only", [], ["x=1"], count(0)), ("unexpected", ["o", *values], ["x=1"], unexpected),
             ("all-by-keyword-and-unknown", [], [f"{p}={v}" for p, v in zip(params, ["o", *values])] + ["x=1"],
              unexpected), ("self-twice", ["o", *values], ["self=o"], twice.format("self"))]
    if n > 1:
        cases += [("too-few", ["o", *values[:-1]], [], count(n - 1)),
                  ("last-missing-with-keyword", ["o", *values[:-1]], ["x=1"], count(n - 1)),
                  ("self-by-keyword-rest-missing", [], ["self=o", "x=1"], count(1)),
                  ("last-twice", ["o", *values], [f"{params[-1]}=0"], twice.format(params[-1]))]
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


def test_class_call_without_config_runs_nothing(monkeypatch: pytest.MonkeyPatch) -> None:
    log: list[Event] = []
    monkeypatch.setattr(sftp_main, "VornaxLog", logged_call("VornaxLog", log))
    check_raised(catch(C), TypeError, "__init__() takes exactly 2 positional arguments (1 given)", ("__init__", 22))
    assert log == []


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


def test_method_calls_build_no_bound_method() -> None:
    obj, seen = make_obj(), []
    # While the client runs, a bound method made for the call would still be alive.
    obj._sftp = types.SimpleNamespace(remove=lambda path: seen.append(
        [r for r in gc.get_referrers(obj) if isinstance(r, types.MethodType)]))
    obj._remove("p")
    C._remove(obj, "p")
    bound = obj._remove
    bound("p")
    assert seen[:2] == [[], []] and seen[2] == [bound]


def test_a_method_reentered_through_its_client_meets_the_recursion_limit() -> None:
    """Nesting through C alone ends in RecursionError, not at the end of the C stack."""
    fresh = run_fresh("""
        import functools, os, threading, types, sftp_main
        obj = sftp_main.VornaxSFTPMain({"host": "h", "user": "u", "password": "p"})
        obj._sftp = types.SimpleNamespace(remove=functools.partial(sftp_main.VornaxSFTPMain._remove, obj))
        def nest():
            try:
                obj._remove("x")
            except RecursionError:
                emit("RecursionError")
        if os.name == "nt":
            nest()
        else:  # room for the sanitizer build's larger frames too
            threading.stack_size(256 << 20)
            thread = threading.Thread(target=nest)
            thread.start()
            thread.join()""")
    assert (fresh.returncode, fresh.results) == (0, ["RecursionError"])
