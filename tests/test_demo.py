"""The demo runs end to end: on its own embedded server, and against a
server given by options with the password from the environment."""

import os
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parent.parent / "demo" / "run_demo.py"


def run_demo(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(DEMO), "--size-mib", "0.25", *args], capture_output=True,
                          text=True, timeout=120, env=env, stdin=subprocess.DEVNULL)


def test_demo_on_embedded_server() -> None:
    done = run_demo()
    assert done.returncode == 0, done.stdout + done.stderr
    assert "demo finished: all steps succeeded" in done.stdout
    assert "local file kept after the failed download" in done.stdout


def test_demo_against_given_server(openssh_server) -> None:
    env = dict(os.environ, SFTP_MAIN_PASSWORD=openssh_server.password)
    done = run_demo("--host", openssh_server.host, "--port", str(openssh_server.port),
                    "--user", openssh_server.user, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "demo finished: all steps succeeded" in done.stdout
    assert openssh_server.password not in done.stdout + done.stderr
