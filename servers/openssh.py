"""A private OpenSSH server for the tests: Debian's sshd in the foreground on
a free loopback port, with its own host key, configuration and account.

The account exists only for this sshd: nss_wrapper (preloaded into sshd)
makes sshd read passwd, group and shadow files from the server's temporary
directory instead of the system's, so the machine's own accounts stay as
they are.  sshd checks the password against that shadow file itself (PAM is
off), then switches to the account's uid, which is not root, so that the
server can refuse writes by permission.

It serves SFTP (internal-sftp, also for any command) and TCP forwarding, so
the tests can use it as a jump host too, logging in with the password or
with an RSA key made by `add_rsa_key`.  Needs root and the packages that
servers/install_openssh.sh installs.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import grp
import pwd
import secrets
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Self

from servers import SYSTEM_TEMP, KeyPair
from servers._procs import LOOPBACK, ServerProcess, children, descendants, free_port, stop_tree

SSHD = "/usr/sbin/sshd"
SSH_KEYGEN = "/usr/bin/ssh-keygen"
HOST_KEY_TYPES = ("ed25519", "ecdsa")
_REAPER = Path(__file__).with_name("_reaper.py")
# sshd's privilege separation chroots its unprivileged half here.
PRIVSEP_DIR = Path("/run/sshd")
# Where Debian's multiarch and plain layouts put the wrapper library.
_NSS_WRAPPER_GLOBS = ("/usr/lib/*/libnss_wrapper.so", "/usr/lib*/libnss_wrapper.so", "/lib/*/libnss_wrapper.so")
# Tries at a port before giving up, for the case that another process takes
# the free port between our probe and sshd's bind.
_BIND_TRIES = 5


class OpenSSHUnavailable(RuntimeError):
    """sshd cannot run here: not root, or the packages are missing."""


def _nss_wrapper_library() -> str:
    for pattern in _NSS_WRAPPER_GLOBS:
        found = sorted(glob.glob(pattern))
        if found:
            return found[0]
    raise OpenSSHUnavailable("libnss_wrapper.so not found: run servers/install_openssh.sh")


def _check_available() -> str:
    if os.geteuid() != 0:
        raise OpenSSHUnavailable("the OpenSSH test server must be started as root (sshd switches to the test account)")
    for tool in (SSHD, SSH_KEYGEN):
        if not os.access(tool, os.X_OK):
            raise OpenSSHUnavailable(f"{tool} not found: run servers/install_openssh.sh")
    return _nss_wrapper_library()


def _unused_id(taken: Any, start: int = 42000) -> int:
    """An id that the machine's own account database does not use, so that
    files owned by the test account cannot be mistaken for anyone's."""
    candidate = start
    while True:
        try:
            taken(candidate)
        except KeyError:
            return candidate
        candidate += 1


def _sha512_crypt(password: str) -> str:
    """The shadow-file hash of `password`, made by the system's crypt(3),
    the same library sshd checks it with."""
    name = ctypes.util.find_library("crypt")
    if name is None:
        raise OpenSSHUnavailable("libcrypt not found")
    crypt = ctypes.CDLL(name).crypt
    crypt.restype = ctypes.c_char_p
    crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    alphabet = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
    salt = "".join(secrets.choice(alphabet) for _ in range(16))
    hashed: bytes | None = crypt(password.encode(), f"$6${salt}$".encode())
    if not hashed or not hashed.startswith(b"$6$"):
        raise OpenSSHUnavailable("crypt(3) cannot make SHA-512 hashes here")
    return hashed.decode()


class OpenSSHServer(ServerProcess):
    """Runs a private sshd for as long as the context lasts (or until
    `stop`).  `root` is the account's home and the files the tests use;
    without `root_dir` it is a fresh directory that `stop` removes."""

    host = LOOPBACK

    def __init__(
        self,
        root_dir: str | os.PathLike[str] | None = None,
        user: str = "tester",
        password: str | None = None,
        *,
        start_timeout: float = 15.0,
        refused: tuple[str, ...] = (),
    ) -> None:
        self.user = user
        # SFTP extensions the server is to refuse, as "posix-rename@openssh.com" (its request
        # name, the part before "@", goes to internal-sftp -P).
        self.refused = refused
        self.password = password if password is not None else secrets.token_urlsafe(12)
        self.port = 0
        self.start_timeout = start_timeout
        self._given_root = Path(root_dir).resolve() if root_dir is not None else None
        self._base: Path | None = None
        self._proc: subprocess.Popen[bytes] | None = None
        self.uid = 0
        self.gid = 0
        # Set by start().
        self.root = Path()
        self.readonly_dir = Path()

    # --- paths the tests use ---

    @property
    def remote_root(self) -> str:
        """The client sees real paths (no chroot); it starts in `root`."""
        return str(self.root)

    def remote_path(self, *parts: str) -> str:
        return "/".join([self.remote_root, *parts])

    def config(self) -> dict[str, Any]:
        """The connection part of a `VornaxSFTPMain` configuration."""
        return {"host": self.host, "port": self.port, "user": self.user, "password": self.password}

    @property
    def pid(self) -> int | None:
        return self._proc.pid if self._proc is not None else None

    def serving_pids(self) -> list[int]:
        return self.session_pids()

    def session_pids(self) -> list[int]:
        """The processes that serve open connections: all that sshd forked."""
        if self._proc is None:
            return []
        return [pid for listener in children(self._proc.pid) for pid in descendants(listener)]

    @property
    def log_text(self) -> str:
        """What sshd has logged so far (its -e output)."""
        if self._base is None:
            return ""
        try:
            return (self._base / "sshd.log").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    # --- keys ---

    def add_rsa_key(self, passphrase: str | None = None) -> KeyPair:
        """Makes an RSA key pair and lets it log in to the account."""
        base = self._require_base()
        keys = base / "keys"
        keys.mkdir(exist_ok=True)
        private = keys / f"id_rsa_{secrets.token_hex(4)}"
        subprocess.run(
            [SSH_KEYGEN, "-q", "-t", "rsa", "-b", "2048", "-m", "PEM", "-N", passphrase or "", "-C", "test-key", "-f", str(private)],
            check=True,
            timeout=60,
            stdin=subprocess.DEVNULL,
        )
        public = private.with_name(private.name + ".pub")
        with open(base / "etc" / "authorized_keys", "a") as f:
            f.write(public.read_text())
        return KeyPair(private, public, passphrase)

    # --- life cycle ---

    def start(self) -> Self:
        if self._proc is not None:
            raise RuntimeError("OpenSSH test server already started")
        wrapper = _check_available()
        self._base = Path(tempfile.mkdtemp(prefix="sftp-openssh-", dir=SYSTEM_TEMP))
        try:
            self._prepare_files()
            self._launch(wrapper)
        except BaseException:
            self.stop()
            raise
        return self

    def _require_base(self) -> Path:
        if self._base is None:
            raise RuntimeError("OpenSSH test server not started")
        return self._base

    def _prepare_files(self) -> None:
        base = self._require_base()
        # The account reads its authorized keys and reaches its home
        # through this directory.
        base.chmod(0o755)
        self.uid = _unused_id(pwd.getpwuid)
        self.gid = _unused_id(grp.getgrgid, self.uid)

        if self._given_root is not None:
            self.root = self._given_root
            _check_reachable(self.root)
        else:
            self.root = base / "root"
            self.root.mkdir()
        os.chown(self.root, self.uid, self.gid)
        self.root.chmod(0o755)

        # Owned by root: the account can read it, never write in it.
        self.readonly_dir = base / "readonly"
        self.readonly_dir.mkdir(mode=0o755)

        etc = base / "etc"
        etc.mkdir()
        # Two host keys of different types, so that a client can be seen to
        # negotiate the type it asks for.
        for kind in HOST_KEY_TYPES:
            subprocess.run(
                [SSH_KEYGEN, "-q", "-t", kind, "-N", "", "-C", "test-host", "-f", str(etc / f"host_{kind}_key")],
                check=True,
                timeout=60,
                stdin=subprocess.DEVNULL,
            )
        (etc / "authorized_keys").touch(mode=0o644)
        self._write_accounts(etc)
        PRIVSEP_DIR.mkdir(mode=0o755, exist_ok=True)

    def _write_accounts(self, etc: Path) -> None:
        """passwd, group and shadow as this sshd sees them: root, sshd's
        privilege-separation user (taken from the system) and the account."""
        try:
            privsep = pwd.getpwnam("sshd")
        except KeyError:
            raise OpenSSHUnavailable("no 'sshd' user on this machine: run servers/install_openssh.sh") from None
        today = int(time.time() // 86400)
        (etc / "passwd").write_text(
            "root:x:0:0:root:/root:/bin/sh\n"
            f"sshd:x:{privsep.pw_uid}:{privsep.pw_gid}::{PRIVSEP_DIR}:/usr/sbin/nologin\n"
            f"{self.user}:x:{self.uid}:{self.gid}:SFTP test account:{self.root}:/bin/sh\n"
        )
        (etc / "group").write_text(f"root:x:0:\nnogroup:x:65534:\n{self.user}:x:{self.gid}:\n")
        # A last-change day of today: with 0 sshd would demand a new password.
        shadow = etc / "shadow"
        shadow.touch(mode=0o600)
        shadow.write_text(
            f"root:*:{today}:0:99999:7:::\n"
            f"sshd:*:{today}:0:99999:7:::\n"
            f"{self.user}:{_sha512_crypt(self.password)}:{today}:0:99999:7:::\n"
        )

    def _write_config(self, port: int) -> Path:
        etc = self._require_base() / "etc"
        config = etc / "sshd_config"
        host_keys = "\n".join(f"HostKey {etc / f'host_{kind}_key'}" for kind in HOST_KEY_TYPES)
        refusal = f" -P {','.join(name.split('@')[0] for name in self.refused)}" if self.refused else ""
        config.write_text(
            f"""\
ListenAddress {LOOPBACK}
Port {port}
{host_keys}
PidFile none
LogLevel VERBOSE
UseDNS no
StrictModes no
# Passwords are checked against the shadow file that nss_wrapper shows.
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication yes
AuthorizedKeysFile {etc / "authorized_keys"}
PermitRootLogin no
AllowUsers {self.user}
LoginGraceTime 30
MaxStartups 100
# Jump-host use: forwarding to other loopback ports.
AllowTcpForwarding yes
X11Forwarding no
PermitTTY no
Subsystem sftp internal-sftp
ForceCommand internal-sftp{refusal}
"""
        )
        return config

    def _launch(self, wrapper: str) -> None:
        base = self._require_base()
        etc = base / "etc"
        env = {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "LD_PRELOAD": wrapper,
            "NSS_WRAPPER_PASSWD": str(etc / "passwd"),
            "NSS_WRAPPER_GROUP": str(etc / "group"),
            "NSS_WRAPPER_SHADOW": str(etc / "shadow"),
        }
        for _ in range(_BIND_TRIES):
            port = free_port()
            config = self._write_config(port)
            with open(base / "sshd.log", "wb") as log:
                # Under the reaper, which ends sshd's connection processes
                # with it, reaps them all and removes the temporary files.
                self._proc = subprocess.Popen(
                    [sys.executable, str(_REAPER), "--remove-after", str(base), SSHD, "-D", "-e", "-f", str(config)],
                    stdin=subprocess.DEVNULL,
                    stdout=log,
                    stderr=subprocess.STDOUT,
                    env=env,
                    cwd=base,
                    start_new_session=True,
                )
            if self._wait_listening(port):
                self.port = port
                return
            if "Address already in use" not in self.log_text:
                raise RuntimeError(f"sshd did not start (exit status {self._proc.returncode}):\n{self.log_text[-4000:]}")
            self._proc = None
        raise RuntimeError(f"sshd found no free port in {_BIND_TRIES} tries:\n{self.log_text[-4000:]}")

    def _wait_listening(self, port: int) -> bool:
        """True once sshd listens on `port`; False if it exited first."""
        assert self._proc is not None
        ready = f"Server listening on {LOOPBACK} port {port}."
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if ready in self.log_text:
                return True
            if self._proc.poll() is not None:
                return False
            time.sleep(0.02)
        raise TimeoutError(f"sshd did not listen within {self.start_timeout:g} s:\n{self.log_text[-4000:]}")

    def stop(self) -> None:
        """Stops sshd and every session process it forked, then removes the
        temporary directory; safe to call twice."""
        proc, self._proc = self._proc, None
        if proc is not None:
            stop_tree(proc)
        base, self._base = self._base, None
        if base is not None:
            shutil.rmtree(base, ignore_errors=True)


def _check_reachable(root: Path) -> None:
    """The account must be able to walk down to a given root: pytest's own
    temporary directories, for one, are closed to other users."""
    if not root.is_dir():
        raise FileNotFoundError(f"OpenSSH test server root {root} is not a directory")
    for parent in root.parents:
        if not parent.stat().st_mode & 0o001:
            raise PermissionError(f"the test account cannot reach {root}: {parent} is closed to other users")
