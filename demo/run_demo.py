"""A complete sftp_main session, each step printed with its result.

Without options it starts the embedded SFTP server on 127.0.0.1 with a
fresh directory, runs the session against it and cleans up.  With --host it
runs against that server instead; the password comes from the environment
variable SFTP_MAIN_PASSWORD (the one `./dev server` reads too), from a
prompt at a terminal, or as a line on standard input; never from the
command line.  Every wait on the server is bounded by --timeout, 30 s
unless given.

Exit status: 0 when every step succeeded; 1 when a step failed, with one
line on stderr saying what failed, where and why (--verbose adds the
traceback, and what paramiko logs); 2 for a bad argument or no password,
with one line on stderr before anything starts; 130 for Ctrl-C, with one
line on stderr.  A Ctrl-C during an upload can leave the client waiting up
to --timeout for the server's reply; a second Ctrl-C ends the wait.
Interrupted, or after a failed step, it removes the folder it made on the
server and the files in it.
"""

from __future__ import annotations

import argparse
import binascii
import contextlib
import getpass
import logging
import math
import os
import shutil
import socket
import sys
import tempfile
import time
import traceback
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, NoReturn

import paramiko

import sftp_main

PASSWORD_VARIABLE = "SFTP_MAIN_PASSWORD"
# What a connect that did not get through raises: paramiko's protocol,
# authentication and host-key errors, and the socket's own.
CONNECT_ERRORS = (paramiko.SSHException, OSError, EOFError)
# The file is held twice in memory for the comparison, and the embedded
# server keeps two more copies on disk: a GiB is far more than a demo needs
# and still fits an ordinary machine, where 1e9 MiB would end in MemoryError.
MAX_SIZE_MIB = 1024
# Bounds every wait on the server: a Ctrl-C in the middle of a transfer
# can leave the client waiting, in its own cleanup, for a reply that a
# stream the interrupt cut never brings.  Far above what a request takes.
DEFAULT_TIMEOUT = 30.0
# What a session can leave in its directory when it ends early.
LEFTOVERS = ("data.bin", "renamed.bin", "copy.bin")
# Exit statuses besides 0 and 1: a bad argument (as argparse's), Ctrl-C
# (as a shell reports a process that SIGINT ended).
BAD_ARGUMENT = 2
INTERRUPTED = 130
# A day: no wait of the demo needs longer, and it is below every platform's
# limit on the waits paramiko makes with it.
MAX_TIMEOUT = 86400


class DemoFailed(Exception):
    """A step failed; the text says what, where and why, the cause is the
    original exception."""


class Refused(Exception):
    """The demo cannot start (no password to be had); the text says why."""


def connect_failure(config: dict[str, Any], exc: BaseException) -> str:
    where = f"{config['host']}:{config.get('port') or 22}"
    reason = str(exc) or type(exc).__name__
    if isinstance(exc, paramiko.AuthenticationException):
        return f"authentication failed for {config['user']}@{where}: {reason}"
    if isinstance(exc, paramiko.BadHostKeyException) or "host key" in reason.lower():
        return f"host key check failed for {where}: {reason}"
    if isinstance(exc, (TimeoutError, socket.timeout)):
        return f"connection to {where} timed out: {reason}"
    return f"cannot connect to {where}: {reason}"


class OneLineParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, as the demo's failures are; the usage is one --help away.
        self.exit(BAD_ARGUMENT, f"demo: {message} (--help lists the options)\n")


def number(convert: Callable[[str], float], at_most: float, what: str) -> Callable[[str], float]:
    def parse(given: str) -> float:
        try:
            value = convert(given)
        except ValueError:
            value = math.nan
        if not 0 < value <= at_most:  # nan and inf fail here too
            raise argparse.ArgumentTypeError(f"needs {what}, not {given!r}")
        return value
    return parse


def text(value: str) -> str:
    # An empty value would quietly mean the default (an empty --host, the
    # embedded server) or fail only once connected.
    if not value.strip():
        raise argparse.ArgumentTypeError("needs a value that is not empty")
    return value


def host_key(line: str) -> str:
    # The module checks the key in full when it connects, after the password
    # prompt; what is no key at all is refused here, before it.
    fields = line.split()
    if len(line.strip().splitlines()) == 1:
        for label, data in zip(fields, fields[1:3]):  # bare, or with a known_hosts host field first
            with contextlib.suppress(Exception):
                paramiko.PKey.from_type_string(label, binascii.a2b_base64(data, strict_mode=True))
                return line
    raise argparse.ArgumentTypeError(f'needs one public key line, "<type> <base64>" or as ssh-keyscan prints it, '
                                     f"not {line!r}")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(prog="./dev demo", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", type=text, help="server to use instead of the embedded one")
    parser.add_argument("--port", type=number(int, 65535, "a port number from 1 to 65535"),
                        help="its SSH port (default 22)")
    parser.add_argument("--user", type=text, help="login name (default: your user name)")
    parser.add_argument("--remote-dir", type=text, default=".",
                        help="remote directory to work in (default: the login directory)")
    parser.add_argument("--size-mib", type=number(float, MAX_SIZE_MIB, f"a number above 0 and at most {MAX_SIZE_MIB}"),
                        default=8.0, help=f"size of the generated file (default 8 MiB, at most {MAX_SIZE_MIB})")
    parser.add_argument("--host-key", type=host_key,
                        help='the server\'s public key: a line as ssh-keyscan prints it, or "<type> <base64>"')
    parser.add_argument("--timeout", type=number(float, MAX_TIMEOUT, f"seconds above 0, at most {MAX_TIMEOUT}"),
                        default=DEFAULT_TIMEOUT,
                        help=f"seconds that any wait on the server may take (default {DEFAULT_TIMEOUT:g})")
    parser.add_argument("--verbose", action="store_true", help="show the traceback of a failure and paramiko's log")
    args = parser.parse_args(argv)
    if args.host is None:
        # The embedded server has its own port, user and key; taken silently,
        # these would look as if they had been used.
        for option in ("port", "user", "host_key"):
            if getattr(args, option) is not None:
                parser.error(f"--{option.replace('_', '-')} applies only to a server given with --host")
    elif args.user is None:
        try:
            args.user = getpass.getuser()
        except OSError:
            parser.error("--user is needed: this account has no user name to default to")
    return args


@contextlib.contextmanager
def embedded_server() -> Iterator[dict[str, Any]]:
    # Imported here: the servers package lives in the project tree, and
    # runs against other servers do not need it.
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    from servers.hosting import EmbeddedServer

    root = Path(tempfile.mkdtemp(prefix="sftp-main-demo-root-"))
    try:
        with EmbeddedServer(root) as server:
            print(f"embedded SFTP server on {server.host}:{server.port}, files in {root}")
            yield server.config()
    finally:
        shutil.rmtree(root, ignore_errors=True)


def at_a_terminal() -> bool:
    if sys.stdin is None or not sys.stdin.isatty():
        return False
    if sys.platform == "win32":
        # Windows calls the NUL device a terminal too; only a console
        # answers GetConsoleMode, and getpass reads from the console.
        import ctypes
        import msvcrt
        mode = ctypes.c_uint32()
        return bool(ctypes.windll.kernel32.GetConsoleMode(msvcrt.get_osfhandle(sys.stdin.fileno()),
                                                          ctypes.byref(mode)))
    return True


def read_password(prompt: str) -> str:
    if at_a_terminal():
        try:
            return getpass.getpass(prompt)
        except EOFError:  # Ctrl-D
            print(file=sys.stderr)  # the prompt's line ends before the demo's
            line = ""
        except KeyboardInterrupt:
            print(file=sys.stderr)
            raise
    else:
        # No terminal to prompt at (getpass would warn, then read here
        # anyway): a password piped in, one line.
        line = sys.stdin.readline() if sys.stdin is not None else ""
    if not line:
        raise Refused(f"no password: set {PASSWORD_VARIABLE}, or give it at the prompt or on standard input")
    return line.removesuffix("\n")


def given_server(args: argparse.Namespace) -> dict[str, Any]:
    password = os.environ.get(PASSWORD_VARIABLE)
    if password is None:
        password = read_password(f"password for {args.user}@{args.host}: ")
    config = {"host": args.host, "port": args.port or 22, "user": args.user, "password": password,
              "timeout": args.timeout}
    # Only when given: without it the configuration accepts any server.
    if args.host_key is not None:
        config["host_key"] = args.host_key
    return config


def step(label: str, action: Callable[[], Any]) -> Any:
    started = time.perf_counter()
    try:
        result = action()
    except Exception as exc:
        raise DemoFailed(f"{label} failed: {type(exc).__name__}: {exc}") from exc
    elapsed = (time.perf_counter() - started) * 1000
    print(f"  {label:<44} -> {result!r}  ({elapsed:.1f} ms)")
    return result


def throughput(size: int, seconds: float) -> str:
    return f"{size / (1024 * 1024) / seconds:.1f} MiB/s" if seconds > 0 else "n/a"


def run_session(config: dict[str, Any], remote_dir: str, size: int) -> bool:
    workdir = f"sftp_main_demo_{os.getpid()}"
    ok = True
    with tempfile.TemporaryDirectory(prefix="sftp-main-demo-local-") as local:
        source = Path(local) / "generated.bin"
        back = Path(local) / "downloaded.bin"
        source.write_bytes(os.urandom(size))

        obj = step("VornaxSFTPMain(config)", lambda: sftp_main.VornaxSFTPMain(dict(config)))
        try:
            step("_connect()", obj._connect)
        except DemoFailed as failed:
            if isinstance(failed.__cause__, CONNECT_ERRORS):
                raise DemoFailed(connect_failure(config, failed.__cause__)) from failed.__cause__
            raise
        step(f"_chdir({remote_dir!r})", lambda: obj._chdir(remote_dir))
        step("_normalize('.')", lambda: obj._normalize("."))
        # Interrupted, or a step failed after the directory was made: what
        # the session made must not stay on the server (the embedded
        # server's whole root goes anyway); a directory that was there
        # already is someone else's.  The clean-up runs outside the
        # handler: an error whose context is an interrupt closes the
        # connection as an interrupt does.
        made = False
        ended: BaseException | None = None
        try:
            step(f"_mkdir({workdir!r})", lambda: obj._mkdir(workdir))
            made = True
            ok = work_in(obj, workdir, source, back, size)
        except BaseException as exc:
            ended = exc
        if ended is not None:
            if made or not isinstance(ended, DemoFailed):
                remove_leftovers(config, remote_dir, workdir)
            raise ended
        step("_close()", obj._close)
    return ok


def work_in(obj: Any, workdir: str, source: Path, back: Path, size: int) -> bool:
    """The session's own steps, in its new directory, which they remove."""
    step(f"_chdir({workdir!r})", lambda: obj._chdir(workdir))

    started = time.perf_counter()
    uploaded = step("_upload(generated.bin, 'data.bin')", lambda: obj._upload(str(source), "data.bin"))
    print(f"    {size} bytes up, {throughput(size, time.perf_counter() - started)}")
    attrs = step("_stat('data.bin')", lambda: obj._stat("data.bin"))
    print(f"    remote size {attrs.st_size} ({'matches' if attrs.st_size == size else 'DIFFERS'})")
    step("_rename('data.bin', 'renamed.bin')", lambda: obj._rename("data.bin", "renamed.bin"))
    step("_upload(generated.bin, 'copy.bin')", lambda: obj._upload(str(source), "copy.bin"))
    step("_posix_rename('copy.bin', 'renamed.bin')", lambda: obj._posix_rename("copy.bin", "renamed.bin"))

    started = time.perf_counter()
    downloaded = step("_download('renamed.bin', downloaded.bin)", lambda: obj._download("renamed.bin", str(back)))
    print(f"    {back.stat().st_size if back.exists() else 0} bytes down, {throughput(size, time.perf_counter() - started)}")
    identical = back.exists() and back.read_bytes() == source.read_bytes()
    print(f"    downloaded file {'is byte-identical' if identical else 'DIFFERS'}")
    ok = uploaded and downloaded and identical and attrs.st_size == size

    missing = step("_download('no-such-file', downloaded.bin)", lambda: obj._download("no-such-file", str(back)))
    print(f"    local file {'kept' if back.read_bytes() == source.read_bytes() else 'DAMAGED'} after the failed download")
    ok = ok and missing is False
    try:
        obj._stat("no-such-file")
    except FileNotFoundError as exc:
        print(f"  {'_stat(no-such-file)':<44} -> raised {type(exc).__name__}: {exc}")

    step("_remove('renamed.bin')", lambda: obj._remove("renamed.bin"))
    step("_chdir('..')", lambda: obj._chdir(".."))
    step(f"_rmdir({workdir!r})", lambda: obj._rmdir(workdir))
    return ok


def remove_leftovers(config: dict[str, Any], remote_dir: str, workdir: str) -> None:
    """Removes, through a connection of its own (an interrupt closes the
    one it cut), the files the session may have left and its directory;
    any of them may never have been made.  A second Ctrl-C ends it."""
    try:
        obj = sftp_main.VornaxSFTPMain(dict(config))
        obj._connect()
        obj._chdir(remote_dir)
        hidden: list[str] = []
        with contextlib.suppress(FileNotFoundError):  # an upload cut short leaves its temporary file
            hidden = [n for n in obj._sftp.listdir(workdir) if n.startswith(".sftp_main-")]
        for name in (*LEFTOVERS, *hidden):
            with contextlib.suppress(FileNotFoundError):
                obj._remove(f"{workdir}/{name}")
        with contextlib.suppress(FileNotFoundError):
            obj._rmdir(workdir)
        obj._close()
    except Exception as exc:
        print(f"demo: {workdir} stays on the server, its removal failed: {type(exc).__name__}: {exc}",
              file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if not args.verbose:
        # paramiko logs the failures of its transport thread, tracebacks
        # and all, and with no logging set up they reach stderr ahead of the
        # demo's one line; the exception the demo reports says the same.
        logging.getLogger("paramiko").setLevel(logging.CRITICAL + 1)
    size = math.ceil(args.size_mib * 1024 * 1024)  # at least a byte, however small
    try:
        if args.host:
            config = given_server(args)
            ok = run_session(config, args.remote_dir, size)
        else:
            with embedded_server() as config:
                ok = run_session(dict(config, timeout=args.timeout), args.remote_dir, size)
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return INTERRUPTED
    except Refused as refused:
        print(f"demo: {refused}", file=sys.stderr)
        return BAD_ARGUMENT
    except DemoFailed as failed:
        if args.verbose:
            traceback.print_exception(failed.__cause__ or failed)
        hint = "" if args.verbose else " (--verbose shows the traceback)"
        print(f"demo: {failed}{hint}", file=sys.stderr)
        return 1
    print("demo finished: " + ("all steps succeeded" if ok else "SOME STEPS FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
