"""The type stubs, as a type checker finds them in the installed packages.
mypy runs in a scratch directory, so it sees only what was installed, never
the source tree."""

import re
import subprocess
import sys
from pathlib import Path

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
    "timeout_text": ("from sftp_main import VornaxSFTPConfig; c: VornaxSFTPConfig = "
                     "{'host': 'h', 'user': 'u', 'password': 'p', 'timeout': '30'}", "typeddict-item"),
}


def run(workdir: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], cwd=workdir, capture_output=True, text=True, timeout=600)


def test_example_passes_and_each_misuse_is_rejected(tmp_path: Path) -> None:
    for name, (line, _) in MISUSES.items():
        (tmp_path / f"{name}.py").write_text(HEADER + line + "\n")
    done = run(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / ".cache"), str(EXAMPLE),
               *(f"{name}.py" for name in MISUSES))
    errors = re.findall(r"^(\S+)\.py:(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.M)
    line_number = str(HEADER.count("\n") + 1)
    # Nothing at all in the example, one error of its code in each misuse.
    assert sorted(errors) == sorted((name, line_number, code) for name, (_, code) in MISUSES.items()), done.stdout
    assert done.stdout.count(": error: ") == len(MISUSES), done.stdout


def test_stubs_match_the_installed_modules(tmp_path: Path) -> None:
    done = run(tmp_path, "mypy.stubtest", "sftp_main", "vornax_log", "vornax_var", "vornax_ssh")
    assert done.returncode == 0, done.stdout + done.stderr
