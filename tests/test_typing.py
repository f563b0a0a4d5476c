"""The type stubs, as a type checker finds them in the installed packages.

mypy runs in a scratch directory, so it sees only what was installed, never
the source tree.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).with_name("typing_example.py")

HEADER = """\
from sftp_main import VornaxSFTPMain
from vornax_log import VornaxLog
from vornax_var import VornaxVar
sftp = VornaxSFTPMain({})
"""

# Each line must be rejected with the given error code: the stubs are found
# and are precise, not Any.
MISUSES = {
    "old_path": ("sftp._rename(old_path='a', new_path='b')", "call-arg"),
    "dst_path": ("sftp._upload(src_file='a', dst_path='b')", "call-arg"),
    "stat_result": ("size: int = sftp._stat('a')", "assignment"),
    "normalize_result": ("number: int = sftp._normalize('a')", "assignment"),
    "config_type": ("VornaxSFTPMain([('host', 'h')])", "arg-type"),
    "no_such_method": ("sftp._listdir('.')", "attr-defined"),
    "todict_result": ("VornaxVar(a=1).todict().a", "attr-defined"),
    "log_file": ("VornaxLog(file=3)", "arg-type"),
}


def mypy(workdir: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(workdir / ".cache"), *args],
        cwd=workdir, capture_output=True, text=True, timeout=600)


def test_example_passes_strict_checking(tmp_path: Path) -> None:
    done = mypy(tmp_path, str(EXAMPLE))
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def misuse_report(tmp_path_factory: pytest.TempPathFactory) -> str:
    workdir = tmp_path_factory.mktemp("misuse")
    for name, (line, _) in MISUSES.items():
        (workdir / f"{name}.py").write_text(HEADER + line + "\n")
    return mypy(workdir, *(f"{name}.py" for name in MISUSES)).stdout


@pytest.mark.parametrize("name", MISUSES)
def test_misuse_is_rejected(misuse_report: str, name: str) -> None:
    line_number = HEADER.count("\n") + 1
    codes = re.findall(rf"^{name}\.py:(\d+): error: .*\[([a-z-]+)\]$", misuse_report, re.M)
    assert codes == [(str(line_number), MISUSES[name][1])], misuse_report


def test_stubs_match_the_installed_modules(tmp_path: Path) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "sftp_main", "vornax_log", "vornax_var",
         "vornax_ssh"], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
