"""A newcomer's first commands: `./dev setup` says when there is nothing to
do; the demo runs end to end, on its own embedded server and against a
server given by options with the password from the environment or standard
input, bounds its waits unless told otherwise; a failed connect is one line
and exit status 1, a bad argument or no password one line and exit status
2, Ctrl-C one line and 130."""

import contextlib
import importlib.util
import os
import re
import select
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import key_line
from servers._procs import free_port

PROJECT_ROOT = Path(__file__).resolve().parent.parent
DEMO = PROJECT_ROOT / "demo" / "run_demo.py"


def run_demo(*args: str, env: dict[str, str] | None = None, input: str | None = None,
             ) -> subprocess.CompletedProcess[str]:
    # Its own session: no terminal of the tests' for the password prompt to find.
    return subprocess.run([sys.executable, str(DEMO), "--size-mib", "0.25", *args], capture_output=True,
                          text=True, timeout=120, env=env, input=input,
                          stdin=None if input is not None else subprocess.DEVNULL, start_new_session=True)


def test_second_setup_is_up_to_date() -> None:
    venv = PROJECT_ROOT / os.environ.get("SFTP_MAIN_VENV", ".venv")
    if venv.resolve() != Path(sys.prefix).resolve() or os.environ.get("SFTP_MAIN_CMAKE_ARGS"):
        pytest.skip("checks the environment that ./dev test set up for these tests")
    for _ in range(2):  # the first brings a tree changed since then up to date
        done = subprocess.run([PROJECT_ROOT / "dev", "setup"], capture_output=True, text=True, timeout=900,
                              stdin=subprocess.DEVNULL)
        assert done.returncode == 0, done.stderr
    shown = venv.relative_to(PROJECT_ROOT) if venv.is_relative_to(PROJECT_ROOT) else venv
    assert (done.stdout, done.stderr) == ("", f"dev: everything is up to date in {shown}\n")


@pytest.mark.skipif(sys.platform == "win32", reason="./dev is the Linux machine's bash script")
@pytest.mark.parametrize("args", [[], ["help"], ["-h"], ["--help"], ["server", "--help"], ["demo", "--help"]])
def test_dev_explains_itself(args: list[str]) -> None:
    """Help prints at once and exits 0: ./dev's lists a line for every
    sub-command; the server's and the demo's (called as ./dev calls them,
    so that no set-up runs here) list their options."""
    command = ([sys.executable, "-m", "servers.embedded", "--foreground", "--help"] if args[:1] == ["server"]
               else [sys.executable, str(DEMO), "--help"] if args[:1] == ["demo"]
               else [str(PROJECT_ROOT / "dev"), *args])
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, cwd=PROJECT_ROOT,
                          stdin=subprocess.DEVNULL)
    assert (done.returncode, done.stderr) == (0, "")
    if args[:1] == ["server"]:
        assert done.stdout.startswith("usage: ./dev server ") and "foreground" not in done.stdout
        return
    if args[:1] == ["demo"]:
        assert done.stdout.startswith("usage: ./dev demo ") and "--size-mib" in done.stdout
        return
    listed = set(re.findall(r"^  ([a-z-]+)", done.stdout, re.MULTILINE))
    cases = re.findall(r"^    ([a-z|-]+)\)", (PROJECT_ROOT / "dev").read_text(), re.MULTILINE)
    assert {name for case in cases for name in case.split("|") if not name.startswith("-")} <= listed


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


@pytest.mark.skipif(sys.platform == "win32", reason="Ctrl-C is sent as SIGINT")
def test_demo_interrupted_removes_what_it_made(sftp_server) -> None:
    """Ctrl-C in the middle of the first upload, on a server that is not the
    demo's own: the partial file and the session's directory go too."""
    env = dict(os.environ, SFTP_MAIN_PASSWORD=sftp_server.password, PYTHONUNBUFFERED="1")
    demo = subprocess.Popen([sys.executable, str(DEMO), "--size-mib", "64", "--timeout", "5", "--host", sftp_server.host,
                             "--port", str(sftp_server.port), "--user", sftp_server.user,
                             "--remote-dir", sftp_server.remote_root], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                            start_new_session=True)
    try:
        assert demo.stdout is not None
        for line in demo.stdout:  # the upload starts right after this step's line
            if line.lstrip().startswith("_chdir('sftp_main_demo_"):
                break
        demo.send_signal(signal.SIGINT)
        out, err = demo.communicate(timeout=60)
    finally:
        demo.kill()
        demo.wait(timeout=10)
    assert (demo.returncode, err.splitlines()[-1:]) == (130, ["demo: interrupted"]), err
    assert "_upload(generated.bin, 'data.bin')" not in out
    assert [name for name in os.listdir(sftp_server.root) if name.startswith("sftp_main_demo_")] == []


@pytest.mark.parametrize("verbose", [False, True], ids=["quiet", "verbose"])
@pytest.mark.parametrize("failure", ["refused", "wrong password", "other host key", "key of another type",
                                     "silent server, timeout"])
def test_demo_connect_failure_is_one_line(failure: str, verbose: bool, request: pytest.FixtureRequest) -> None:
    with contextlib.ExitStack() as stack:
        if failure == "refused":
            port, user, password = free_port(), "tester", "secret"
            expected = rf"demo: cannot connect to 127\.0\.0\.1:{port}: .*Connection refused"
        elif failure.startswith("silent"):
            # Accepted by the kernel, never answered.
            listener = stack.enter_context(socket.create_server(("127.0.0.1", 0)))
            port, user, password = listener.getsockname()[1], "tester", "secret"
            expected = rf"demo: cannot connect to 127\.0\.0\.1:{port}: Error reading SSH protocol banner"
        else:
            server = request.getfixturevalue("embedded_server")
            port, user, password = server.port, server.user, server.password + "x" * (failure == "wrong password")
            expected = (rf"demo: authentication failed for {user}@127\.0\.0\.1:{port}: Authentication failed\."
                        if failure == "wrong password" else
                        rf"demo: host key check failed for 127\.0\.0\.1:{port}: .*[Hh]ost key.*")
        extra = {"other host key": ["--host-key", key_line()],
                 "key of another type": ["--host-key", key_line("ssh-rsa")],
                 "silent server, timeout": ["--timeout", "1"]}.get(failure, [])
        # The wrong password comes as a line on standard input, the others from the environment.
        piped = failure == "wrong password"
        env = {name: value for name, value in os.environ.items() if name != "SFTP_MAIN_PASSWORD"}
        done = run_demo("--host", "127.0.0.1", "--port", str(port), "--user", user, *extra,
                        *["--verbose"] * verbose, env=env if piped else dict(env, SFTP_MAIN_PASSWORD=password),
                        input=password + "\n" if piped else None)
    assert done.returncode == 1, done.stdout + done.stderr
    *traceback, last = done.stderr.splitlines()
    assert re.fullmatch(expected + ("" if verbose else re.escape(" (--verbose shows the traceback)")), last)
    # Verbose, paramiko's own log may come first.
    assert ("Traceback (most recent call last):" in traceback) is verbose and bool(traceback) is verbose
    assert password not in done.stdout + done.stderr


@pytest.mark.parametrize(("args", "named"), [
    (["--size-mib", "-1"], "--size-mib"), (["--size-mib", "nan"], "--size-mib"), (["--size-mib", "1e9"], "--size-mib"),
    (["--size-mib", "lots"], "--size-mib"), (["--size-mib"], "--size-mib"),
    (["--host", "h", "--port", "0"], "--port"), (["--host", "h", "--port", "65536"], "--port"),
    (["--host", "h", "--port", "22.5"], "--port"), (["--port", "22"], "--port"),
    (["--host", "h", "--timeout", "0"], "--timeout"), (["--host", "h", "--timeout", "inf"], "--timeout"),
    (["--host", "h", "--host-key", "ssh-ed25519 AAAA"], "--host-key"), (["--host-key", key_line()], "--host-key"),
    (["--host", ""], "--host"), (["--remote-dir", ""], "--remote-dir"), (["--bogus"], "--bogus"), (["stray"], "stray"),
])
def test_demo_bad_argument_is_one_line(args: list[str], named: str) -> None:
    """Refused before the embedded server starts (it would print) and before
    any password prompt."""
    done = run_demo(*args)
    assert (done.returncode, done.stdout) == (2, ""), done.stderr
    assert re.fullmatch(rf"demo: .*{re.escape(named)}.* \(--help lists the options\)\n", done.stderr)


@pytest.mark.parametrize(("args", "timeout"), [([], 30.0), (["--timeout", "2.5"], 2.5), (["--host", "h"], 30.0),
                                               (["--host", "h", "--timeout", "7"], 7.0)])
def test_demo_bounds_every_wait(args: list[str], timeout: float, monkeypatch: pytest.MonkeyPatch) -> None:
    """Without a timeout a Ctrl-C in a transfer can leave the client waiting for ever."""
    found = importlib.util.spec_from_file_location("run_demo", DEMO)
    assert found is not None and found.loader is not None
    demo = importlib.util.module_from_spec(found)
    found.loader.exec_module(demo)
    sessions: list[dict[str, object]] = []
    monkeypatch.setattr(demo, "run_session", lambda config, *_: sessions.append(config) or True)
    monkeypatch.setenv("SFTP_MAIN_PASSWORD", "pw")
    assert demo.main([*args, "--verbose"]) == 0  # verbose: paramiko's logger left as it is
    assert [config["timeout"] for config in sessions] == [timeout]


NO_PASSWORD = "demo: no password: set SFTP_MAIN_PASSWORD, or give it at the prompt or on standard input"


@pytest.mark.parametrize(("ending", "status", "line"), [("standard input closed", 2, NO_PASSWORD),
                                                        ("Ctrl-D at the prompt", 2, NO_PASSWORD),
                                                        ("Ctrl-C at the prompt", 130, "demo: interrupted")])
def test_demo_without_password_ends_in_one_line(ending: str, status: int, line: str) -> None:
    env = {name: value for name, value in os.environ.items() if name != "SFTP_MAIN_PASSWORD"}
    args = ["--host", "127.0.0.1", "--port", "1", "--user", "u"]
    if ending == "standard input closed":
        done = run_demo(*args, env=env)
        returncode, out, err = done.returncode, done.stdout, done.stderr
    else:
        if sys.platform == "win32":
            pytest.skip("the terminal is a pseudo-terminal, Ctrl-C a SIGINT")
        terminal, tty = os.openpty()
        demo = subprocess.Popen([sys.executable, str(DEMO), *args], stdin=tty, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, text=True, start_new_session=True)
        os.close(tty)
        try:
            assert demo.stderr is not None
            prompt = b""
            while not prompt.endswith(b"password for u@127.0.0.1: ") and select.select([demo.stderr], [], [], 60)[0]:
                chunk = os.read(demo.stderr.fileno(), 1024)
                assert chunk, prompt  # the demo ended before it prompted
                prompt += chunk
            if ending.startswith("Ctrl-C"):
                demo.send_signal(signal.SIGINT)
            else:
                os.write(terminal, b"\x04")
            out, err = demo.communicate(timeout=60)
            returncode = demo.returncode
        finally:
            os.close(terminal)
            demo.kill()
            demo.wait(timeout=10)
    assert (returncode, out) == (status, "")
    assert err.splitlines()[-1:] == [line] and "Traceback" not in err and "Warning" not in err
