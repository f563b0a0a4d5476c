"""Importing sftp_main: what it binds, its class, and every import failure.
Whatever depends on the import itself runs in a fresh interpreter."""

import importlib.metadata
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import types
from pathlib import Path
from typing import Any

import pytest

import sftp_main
from conftest import C, METHOD_NAMES, MODULE_FILE, run_fresh

NAMESPACE = ["paramiko", "VornaxLog", "VornaxSSH", "VornaxVar", "VornaxSFTPMain"]
COMPANIONS = {"vornax_log": ("VornaxLog", 16), "vornax_ssh": ("VornaxSSH", 17),
              "vornax_var": ("VornaxVar", 18)}
CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.fixture
def companions(tmp_path: Path) -> Path:
    """Minimal companions that import nothing, so that each can be hidden alone."""
    for module, (cls, _) in COMPANIONS.items():
        (tmp_path / f"{module}.py").write_text(f"class {cls}:\n    pass\n")
    return tmp_path


def test_reimport_gives_the_same_module_and_class() -> None:
    fresh = run_fresh("""
        import importlib, importlib.util
        import sftp_main as a
        cls, a.VornaxLog = a.VornaxSFTPMain, "patched"  # a second execution would rebind it
        import sftp_main as b
        del sys.modules["sftp_main"]
        import sftp_main as c
        d = importlib.reload(c)
        e = importlib.util.module_from_spec(importlib.util.find_spec("sftp_main"))
        emit([a is b, a is c, a is d, a is e, c.VornaxSFTPMain is cls, c.VornaxLog])
        emit(list(vars(a)))
    """)
    assert fresh.results[0] == [True] * 5 + ["patched"], fresh.stderr
    names = fresh.results[1]
    assert [n for n in names if not n.startswith("__")] == NAMESPACE
    assert {n for n in names if n.startswith("__")} == {
        "__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}


def test_installed_distributions_keep_the_module_apart_from_the_stand_ins() -> None:
    """sftp_main installs its module, its stubs and its metadata only, so that it never
    replaces a deployment's own companions; the stand-ins are a distribution of their own."""
    pyproject = Path(__file__).resolve().parents[1] / "pyproject.toml"
    assert importlib.metadata.version("sftp_main") == tomllib.loads(pyproject.read_text("utf-8"))["project"]["version"]
    owned = {dist: {f.as_posix() for f in importlib.metadata.files(dist) or ()
                    if not f.parts[0].endswith(".dist-info") and f.parts[0] != "__pycache__"}
             for dist in ("sftp_main", "sftp_main_stand_ins")}
    assert owned["sftp_main"] == {Path(sftp_main.__file__).name, "sftp_main-stubs/__init__.pyi", "sftp_main-stubs/py.typed"}
    assert owned["sftp_main_stand_ins"] == {
        name for module in COMPANIONS for name in (f"{module}.py", f"{module}-stubs/__init__.pyi", f"{module}-stubs/py.typed")}


def test_bound_names_and_module_attributes() -> None:
    import paramiko
    import vornax_log
    import vornax_ssh
    import vornax_var
    assert sftp_main.paramiko is paramiko and sftp_main.VornaxLog is vornax_log.VornaxLog
    assert sftp_main.VornaxSSH is vornax_ssh.VornaxSSH and sftp_main.VornaxVar is vornax_var.VornaxVar
    assert sftp_main.__file__ == sftp_main.__spec__.origin and sftp_main.__package__ == ""
    assert sftp_main.__loader__ is sftp_main.__spec__.loader and not hasattr(sftp_main, "__path__")
    lines = sftp_main.__doc__.split("\n")
    assert len(lines) == 7 and lines[0] == lines[6] == "" and re.fullmatch(r"@Author: \S.*", lines[1])
    assert lines[2:6] == ["@Time: 2024/1/20 11:03", "@SoftWare: PyCharm", "@Project: vornax",
                          "@File: sftp_main"]


@pytest.mark.parametrize("hidden, line", [("paramiko", 14), ("vornax_log", 16), ("vornax_ssh", 17),
                                          ("vornax_var", 18)])
def test_missing_dependency_fails_then_recovers(companions: Path, hidden: str, line: int) -> None:
    fresh = run_fresh(f"""
        with Hide({hidden!r}):
            emit(failure(lambda: __import__("sftp_main")) + ["sftp_main" in sys.modules])
        import sftp_main
        emit([n for n in vars(sftp_main) if not n.startswith("__")])
    """, [companions])
    assert fresh.results == [["ModuleNotFoundError", f"No module named '{hidden}'",
                              [[MODULE_FILE, "init sftp_main", line]], False], NAMESPACE], fresh.stderr


@pytest.mark.parametrize("module, source, failure", [
    *[(m, "OTHER = 1\n", ["ImportError", f"cannot import name {c}", [[MODULE_FILE, "init sftp_main", n]]])
      for m, (c, n) in COMPANIONS.items()],
    # A read that fails otherwise than with AttributeError is reported the same way.
    ("vornax_var", "def __getattr__(name):\n    if name == 'VornaxVar':\n        raise ValueError(name)\n"
     "    raise AttributeError(name)\n",
     ["ImportError", "cannot import name VornaxVar", [[MODULE_FILE, "init sftp_main", 18]]]),
    # An error of the companion itself passes unchanged, below the module's entry.
    ("vornax_ssh", "raise LookupError('broken')\n",
     ["LookupError", "broken", [[MODULE_FILE, "init sftp_main", 17], ["vornax_ssh.py", "<module>", 1]]]),
])
def test_broken_companion(companions: Path, module: str, source: str, failure: list[object]) -> None:
    (companions / f"{module}.py").write_text(source)
    fresh = run_fresh("""
        emit(failure(lambda: __import__("sftp_main")))
        for module, cls in {"vornax_log": "VornaxLog", "vornax_ssh": "VornaxSSH",
                            "vornax_var": "VornaxVar"}.items():   # repair, then import again
            sys.modules[module] = type(sys)(module)
            setattr(sys.modules[module], cls, type(cls, (), {}))
        import sftp_main
        emit(sorted(n for n in vars(sftp_main) if not n.startswith("__")))
    """, [companions])
    assert fresh.results == [failure, sorted(NAMESPACE)], fresh.stderr


def test_modules_in_sys_modules_are_used_and_names_bound_one_by_one(companions: Path) -> None:
    (companions / "vornax_ssh.py").write_text("OTHER = 1\n")
    (companions / "vornax_var.py").write_text(  # sees what the module has bound so far
        "import sys\nSEEN = [n for n in vars(sys.modules['sftp_main']) if not n.startswith('__')]\n"
        "class VornaxVar:\n    pass\n")
    fresh = run_fresh("""
        import importlib.machinery, types
        fake = types.ModuleType("paramiko")
        fake.__spec__ = importlib.machinery.ModuleSpec("paramiko", None)
        fake.__spec__._initializing = False
        sys.modules["paramiko"] = fake
        # A class the companion lacks is found under its dotted name.
        sys.modules["vornax_ssh.VornaxSSH"] = stand_in = type("VornaxSSH", (), {})
        import sftp_main, vornax_var
        emit([sftp_main.paramiko is fake, sftp_main.VornaxSSH is stand_in, vornax_var.SEEN])
    """, [companions])
    assert fresh.results == [[True, True, ["paramiko", "VornaxLog", "VornaxSSH"]]], fresh.stderr


@pytest.mark.parametrize("error", ["AttributeError", "KeyboardInterrupt", "MemoryError"])
def test_unreadable_initialising_flag_of_a_held_paramiko(error: str) -> None:
    # A missing flag means the module is ready; an interrupt or exhausted
    # memory while reading it fails the import.  (The import system's own
    # look-up in sys.modules reads the flag first, and finds it false.)
    fresh = run_fresh(f"""
        class ImportRecord:
            reads = 0
            @property
            def _initializing(self):
                ImportRecord.reads += 1
                if ImportRecord.reads == 1:
                    return False
                raise {error}("flag")
        sys.modules["paramiko"] = fake = type(sys)("paramiko")
        fake.__spec__ = ImportRecord()
        emit(failure(lambda: __import__("sftp_main")) or [__import__("sftp_main").paramiko is fake])
    """)
    assert fresh.results == [[True] if error == "AttributeError" else
                             [error, "flag", [[MODULE_FILE, "init sftp_main", 14]]]], fresh.stderr


@pytest.mark.parametrize("code, last_lines", [
    ("with Hide('vornax_log'):\n    import sftp_main\n",
     [f'  File "{MODULE_FILE}", line 16, in init sftp_main',
      "ModuleNotFoundError: No module named 'vornax_log'"]),
    ("import sftp_main\nsftp_main.VornaxSFTPMain._remove()\n",
     [f'  File "{MODULE_FILE}", line 100, in sftp_main.VornaxSFTPMain._remove',
      "TypeError: _remove() takes exactly 2 positional arguments (0 given)"]),
])
def test_printed_traceback_shows_no_source_line(companions: Path, code: str, last_lines: list[str]) -> None:
    fresh = run_fresh(code, [companions])
    # 3.15's traceback printer adds its own suggestion of a similar module name.
    printed = [re.sub(r"\. Did you mean: '\w+'\?$", "", line) if sys.version_info >= (3, 15) else line
               for line in fresh.stderr.splitlines()[-2:]]
    assert fresh.returncode == 1 and printed == last_lines


def test_subinterpreters_are_refused_and_the_main_one_keeps_working(embedded_server: Any) -> None:
    fresh = run_fresh("""
        import _interpreters
        import sftp_main
        live = sftp_main.VornaxSFTPMain(dict(cfg)); live._connect()
        for kind in ("legacy", "legacy", "isolated"):
            i = _interpreters.create(kind)
            r = _interpreters.exec(i, "import sftp_main")
            emit(None if r is None else [r.type.__name__, r.msg])
            _interpreters.destroy(i)
        emit([live._mkdir("/made"), live._normalize("/made/..")])
        del sys.modules["sftp_main"]
        import sftp_main as again
        new = again.VornaxSFTPMain(dict(cfg)); new._connect()
        emit([again is sftp_main, new._stat("/made").st_mode >> 12, new._rmdir("/made")])
        live._close(); new._close()
    """, server=embedded_server)
    assert fresh.results == [["ImportError", CHANGE]] * 2 + [
        ["ImportError", "module sftp_main does not support loading in subinterpreters"],
        [True, "/"], [True, 0o4, True]], fresh.stderr
    assert (fresh.returncode, fresh.stderr) == (0, "")


def test_main_interpreter_refused_while_a_legacy_subinterpreter_has_the_module(companions: Path) -> None:
    (companions / "paramiko.py").write_text("")
    fresh = run_fresh(f"""
        import _interpreters
        i = _interpreters.create("legacy")
        r = _interpreters.exec(i, "import sys; sys.path.insert(0, " + repr({str(companions)!r}) + "); import sftp_main")
        emit(None if r is None else r.formatted)
        emit(failure(lambda: __import__("sftp_main"))[:2])
        _interpreters.destroy(i)   # its module goes with it
        import sftp_main
        emit(sftp_main.VornaxSFTPMain.__init__.__doc__)
    """, [companions])
    assert fresh.results == [None, ["ImportError", CHANGE], "VornaxSFTPMain.__init__(self, config)"], fresh.stderr


EMBEDDING_HOST = r"""
#include <Python.h>
#include <stdio.h>
#include <stdlib.h>

/* argv[1] rounds of: start Python, run argv[2], finalise. */
int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    for (int round = atoi(argv[1]); round > 0; --round) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[2]);
        int unfinalised = Py_FinalizeEx();
        printf("ROUND:%d %d\n", failed, unfinalised);
        fflush(stdout);
    }
    return 0;
}
"""

EMBEDDED_ROUND = """
import json, traceback
import sftp_main

def fail(call):
    try:
        call()
    except Exception as exc:
        return [type(exc).__name__, str(exc), [[f.name, f.lineno] for f in traceback.extract_tb(exc.__traceback__)
                                              if f.filename != "<string>"]]

C = sftp_main.VornaxSFTPMain
obj = C({"host": "h", "user": "u", "password": "p"})
print("RESULT:" + json.dumps([hasattr(sftp_main, "from_an_earlier_round"), type(C).__name__, sorted(vars(obj)),
                              fail(lambda: C({})), fail(obj._remove), __import__("sftp_main") is sftp_main]))
sftp_main.from_an_earlier_round = True
"""


@pytest.mark.skipif(sys.platform == "win32", reason="builds a host with the POSIX python3.X-config")
def test_embedding_host_that_finalises_and_starts_again(tmp_path: Path) -> None:
    # SFTP_MAIN_PYTHON_CONFIG: another python3.X-config (./dev test-constrained gives one without an rpath).
    version = sysconfig.get_python_version()
    config = os.environ.get("SFTP_MAIN_PYTHON_CONFIG") or os.path.join(sysconfig.get_config_var("BINDIR"),
                                                                       f"python{version}-config")
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if not os.path.exists(config) or compiler is None:
        pytest.skip(f"no python{version}-config or C compiler")
    libdir = sysconfig.get_config_var("LIBDIR")
    static = os.path.join(sysconfig.get_config_var("LIBPL") or libdir, sysconfig.get_config_var("LIBRARY") or "")
    if not sysconfig.get_config_var("Py_ENABLE_SHARED") and not os.path.isfile(static):
        pytest.skip("no libpython to link a host against: this CPython is built --disable-shared and its "
                    f"{os.path.basename(static)} is gone (as in the manylinux images)")
    flags = subprocess.run([config, "--cflags", "--embed", "--ldflags"], capture_output=True, text=True, check=True)
    (tmp_path / "host.c").write_text(EMBEDDING_HOST)
    # The interpreter's own LIBDIR as rpath: not every python3.13-config gives one (the hosted runners' CPython
    # leaves it to LD_LIBRARY_PATH), and the host must not depend on the environment.
    subprocess.run([compiler, str(tmp_path / "host.c"), "-o", str(tmp_path / "host"), *shlex.split(flags.stdout),
                    f"-Wl,-rpath,{libdir}"], check=True)
    # The sanitizer run's preloaded runtimes and settings reach the host too.
    paths = os.pathsep.join(dict.fromkeys([sysconfig.get_path("purelib"), sysconfig.get_path("platlib")]))
    if sys.version_info >= (3, 14):
        # From 3.14 on, paramiko's own dependencies (PyNaCl, bcrypt) do not survive a second round, so the
        # module's rounds run with empty paramiko and vornax_ssh (which imports paramiko) in their place.
        (tmp_path / "paramiko.py").write_text("")
        (tmp_path / "vornax_ssh.py").write_text("class VornaxSSH:\n    pass\n")
        paths = os.pathsep.join([str(tmp_path), paths])
    host = subprocess.run([str(tmp_path / "host"), "3", EMBEDDED_ROUND], capture_output=True, text=True,
                          encoding="utf-8", env={**os.environ, "PYTHONPATH": paths}, cwd=tmp_path, timeout=120)
    results = [json.loads(line[7:]) for line in host.stdout.splitlines() if line.startswith("RESULT:")]
    rounds = [line for line in host.stdout.splitlines() if line.startswith("ROUND:")]
    assert (host.returncode, rounds) == (0, ["ROUND:0 0"] * 3), host.stdout + host.stderr
    assert results == [[False, "type", ["_config", "_default_params", "_log", "_params_dict"],
                        ["Exception", "缺少必填参数：['host', 'user', 'password']",
                         [["sftp_main.VornaxSFTPMain.__init__", 25], ["sftp_main.VornaxSFTPMain._cleanse_params", 69]]],
                        ["TypeError", "_remove() takes exactly 2 positional arguments (1 given)",
                         [["sftp_main.VornaxSFTPMain._remove", 100]]],
                        True]] * 3, host.stderr


def _other_versions() -> list[tuple[str, int, str, int]]:
    """(build, its minor version, interpreter, its minor version) where the build is older: the given build
    (SFTP_MAIN_OTHER_BUILD, which ./dev test-python sets) in this interpreter, and this build in the newer
    CPython versions on PATH.  (An older interpreter refuses a 3.15 build by itself: it does not know the
    slot numbers that 3.15's headers give.)"""
    own = sys.version_info.minor
    other_build = os.environ.get("SFTP_MAIN_OTHER_BUILD")
    pairs = [(other_build, int(re.findall(r"(?:cpython-|cp)3(\d+)", other_build)[-1]), sys.executable, own)
             ] if other_build else []
    for minor in (13, 14, 15):
        if minor > own and (other := shutil.which(f"python3.{minor}")):
            pairs.append((sftp_main.__file__, own, other, minor))
    return pairs


@pytest.mark.skipif(not _other_versions(), reason="no build or interpreter of another CPython version here "
                    "(./dev test-python 3.14 gives both)")
@pytest.mark.parametrize("filters", [[], ["-W", "error::RuntimeWarning"]])
def test_build_for_another_version_is_refused_before_it_can_crash(tmp_path: Path, filters: list[str]) -> None:
    for build, built, interpreter, ran in _other_versions():
        # The bare name, which every version loads.
        shutil.copyfile(build, tmp_path / ("sftp_main" + os.path.splitext(build)[1]))
        done = subprocess.run([interpreter, *filters, "-c", "import sftp_main"], capture_output=True, text=True,
                              cwd=tmp_path, timeout=60)
        warning = (f"RuntimeWarning: compile time Python version 3.{built} of module 'sftp_main' does not match "
                   f"runtime version 3.{ran}")
        refusal = (f"ImportError: sftp_main was built for CPython 3.{built} and cannot run on CPython 3.{ran}; "
                   f"install the sftp_main built for CPython 3.{ran}")
        lines = done.stderr.splitlines()
        assert done.returncode == 1 and lines, done.stderr
        if filters:
            assert lines[-1] == warning and "ImportError" not in done.stderr, done.stderr
        else:
            assert lines[0].endswith(": " + warning) and lines[-1] == refusal, done.stderr


def test_class_surface() -> None:
    assert type(C) is type and C.__mro__ == (C, object) and C.__bases__ == (object,)
    assert C.__name__ == C.__qualname__ == "VornaxSFTPMain" and C.__module__ == "sftp_main"
    assert C.__doc__ is None and "__slots__" not in C.__dict__ and C.__flags__ & (1 << 9)  # heap type
    # The class dict is what type() makes of the namespace, methods in table order.
    namespace = {"__module__": "sftp_main", "__qualname__": "VornaxSFTPMain"}
    oracle = type("VornaxSFTPMain", (), {**namespace, **{n: lambda self: None for n in METHOD_NAMES}})
    assert list(C.__dict__) == list(oracle.__dict__)
    assert [n for n in C.__dict__ if n in METHOD_NAMES] == METHOD_NAMES
    functions = [C.__dict__[name] for name in METHOD_NAMES]
    assert len({type(f) for f in functions}) == 1
    assert type(functions[0]).__flags__ & (1 << 17)  # a method descriptor: obj.m() builds no bound method
    obj = C.__new__(C)
    assert vars(obj) == {}
    for name, f in zip(METHOD_NAMES, functions):
        bound = getattr(obj, name)
        assert getattr(C, name) is f and isinstance(bound, types.MethodType)
        assert bound.__self__ is obj and bound.__func__ is f
