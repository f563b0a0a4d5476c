"""What the local side of `_download` costs over the client's own `get`.

The client here is a stand-in whose `get` does what paramiko's does to the
local file (open it for writing, write the bytes, close it), with 4 KiB of
data already at hand, so that the figures show the module's file work and
nothing of the network.  The files live on tmpfs (/dev/shm) by default.
Figures are microseconds per download, the minimum over several repeats.
The first download in a fresh process (whose imports the module makes
on its first call) is timed in new processes, each doing one call, for
a new and an existing file: the median over `--fresh` processes each.
Then a large file (256 MiB by default) comes from the embedded server,
downloaded with `_download` and with plain `get` in alternation into new
files, then over existing files of 4 KiB, each after one pair that warms the page cache and the machine's
memory up; the figure is the ratio of the two best times, as for the small
files (a transfer here now and then stalls for tens of seconds, for
either, which a minimum leaves out and the pairs printed show).
With `--openssh N`, 4 KiB files come from a private OpenSSH server into each
`--openssh-dir` (by default /dev/shm and the system's temporary directory),
`_download` and plain `get` alternated, new and existing, the minimum of N
each (needs root and the packages of servers/install_openssh.sh).
When a common case adds more than its target, or the large file more than
10 %, the exit status is 1 and the last line says which missed and by how
much.

    ./dev bench-download [--dir DIR] [--repeat N] [--target-ms MS] [--fresh N] [--large-mib N] [--pairs N]
                         [--openssh N] [--openssh-dir DIR ...] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import sftp_main

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the project's servers package
from servers.embedded import EmbeddedSFTPServer  # noqa: E402

from cases import CONFIG, Variant
from timing import best_ns_per_loop

DATA = os.urandom(4096)
# The added cost the common cases (a new file; an existing file with one
# link that the caller owns) may have, in microseconds.
TARGET_US = 30.0
LARGE_RATIO = 1.10  # the large download's time over get's, at most


class WritingClient:
    """get writes the remote file's bytes to the local path, as paramiko's get does."""

    def get(self, remotepath: Any, localpath: Any) -> None:
        with open(localpath, "wb") as f:
            f.write(DATA)


def new_file(directory: Path) -> str:
    return str(directory / "new.bin")


def existing_file(directory: Path) -> str:
    path = directory / "existing.bin"
    path.write_bytes(DATA)
    return str(path)


def hard_linked_file(directory: Path) -> str:
    path = directory / "linked.bin"
    path.write_bytes(DATA)
    os.link(path, directory / "linked-other-name.bin")
    return str(path)


# label, common case (the target applies), how the destination is made, the
# statement after each download (a new file must be new at every download)
CASES: list[tuple[str, bool, Callable[[Path], str], str]] = [
    ("new file", True, new_file, "u(l)"),
    ("existing file, one link, caller's own", True, existing_file, "pass"),
    ("existing file with a second link (copied in)", False, hard_linked_file, "pass"),
]


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Times _download's local file work.")
    default_dir = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path(tempfile.gettempdir())
    parser.add_argument("--dir", type=Path, default=default_dir, help=f"where the files go (default {default_dir})")
    parser.add_argument("--repeat", type=int, default=25, help="timed runs per figure (default 25)")
    parser.add_argument("--target-ms", type=float, default=20.0, help="length of one timed run in ms (default 20)")
    parser.add_argument("--fresh", type=int, default=15, help="fresh processes per first-call figure (default 15)")
    parser.add_argument("--large-mib", type=int, default=256, help="size of the large download (default 256, 0: none)")
    parser.add_argument("--pairs", type=int, default=5, help="alternated pairs of large downloads (default 5)")
    parser.add_argument("--openssh", type=int, default=0, help="4 KiB downloads from OpenSSH per figure (default 0: none)")
    parser.add_argument("--openssh-dir", type=Path, action="append", help="where those go (repeatable)")
    parser.add_argument("--json", metavar="FILE", type=Path, help="also write the figures to FILE")
    return parser.parse_args(argv)


FRESH = """
import os, sys, time
sys.path.insert(0, sys.argv[4])
import sftp_main
from bench_download import WritingClient
from cases import CONFIG
obj = sftp_main.VornaxSFTPMain(dict(CONFIG))
obj._sftp = client = WritingClient()
call = obj._download if sys.argv[1] == "module" else client.get
if sys.argv[3] == "existing":
    open(sys.argv[2], "wb").close()
started = time.perf_counter_ns()
call("remote.bin", sys.argv[2])
print((time.perf_counter_ns() - started) / 1000)
"""


def fresh_process(directory: Path, processes: int) -> dict[str, dict[str, float]]:
    """Median microseconds of the first call in a new process, by case and by method."""
    figures: dict[str, dict[str, float]] = {}
    for case in ("new", "existing"):
        runs: dict[str, list[float]] = {"get": [], "module": []}
        for i in range(processes):
            for how in (("module", "get") if i % 2 == 0 else ("get", "module")):
                local = directory / f"fresh-{how}.bin"
                done = subprocess.run([sys.executable, "-c", FRESH, how, str(local), case,
                                       str(Path(__file__).resolve().parent)], capture_output=True, text=True, check=True)
                runs[how].append(float(done.stdout))
                local.unlink()
        figures[case] = {how: statistics.median(values) for how, values in runs.items()}
    return figures


def large_download(directory: Path, mib: int, pairs: int, existing: bool) -> dict[str, Any]:
    """Seconds of each alternated pair (_download, get) of a `mib` MiB file from the embedded server, into
    a new file or over an existing one of 4 KiB."""
    (directory / "root").mkdir(exist_ok=True)
    with open(directory / "root" / "large.bin", "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))
    with EmbeddedSFTPServer(directory / "root") as server:
        obj = sftp_main.VornaxSFTPMain(server.config())
        obj._connect()
        pairs_s = []
        for i in range(pairs + 1):  # the first warms up
            times = {}
            for how in (("module", "get") if i % 2 == 0 else ("get", "module")):
                local = directory / f"{how}.bin"
                if existing:
                    local.write_bytes(DATA)
                started = time.perf_counter()
                fetch = obj._download if how == "module" else obj._sftp.get
                ok = fetch("/large.bin", str(local))
                times[how] = time.perf_counter() - started
                if ok is False or local.stat().st_size != mib << 20:
                    raise RuntimeError(f"the large download by {how} failed")
                local.unlink()
            pairs_s.append((times["module"], times["get"]))
        obj._close()
    del pairs_s[0]
    ratio = min(m for m, _ in pairs_s) / min(g for _, g in pairs_s)
    return {"mib": mib, "existing": existing, "pairs_s": pairs_s, "ratio": ratio}


def openssh_small(directories: list[Path], runs: int) -> list[dict[str, Any]]:
    """Best microseconds of a 4 KiB download from a private OpenSSH server by _download and by get,
    alternated, into a new file and over an existing one, in each directory."""
    from servers.openssh import OpenSSHServer

    rows = []
    with OpenSSHServer() as server:
        (server.root / "small.bin").write_bytes(DATA)
        obj = sftp_main.VornaxSFTPMain(server.config())
        obj._connect()
        calls = {"module": obj._download, "get": obj._sftp.get}
        for directory in directories:
            with tempfile.TemporaryDirectory(prefix="sftp-main-openssh-", dir=directory) as scratch:
                for case in ("new", "existing"):
                    best = {"module": float("inf"), "get": float("inf")}
                    for i in range(runs + 1):  # the first warms up
                        for how in (("module", "get") if i % 2 == 0 else ("get", "module")):
                            local = Path(scratch, how)
                            started = time.perf_counter_ns()
                            if calls[how](server.remote_path("small.bin"), str(local)) is False:
                                raise RuntimeError(f"the download by {how} failed")
                            elapsed = (time.perf_counter_ns() - started) / 1000
                            best[how] = min(best[how], elapsed) if i else best[how]
                            if case == "new":
                                local.unlink()
                    rows.append({"dir": str(directory), "case": case, "get_us": best["get"],
                                 "module_us": best["module"], "added_us": best["module"] - best["get"]})
                    print(f"  OpenSSH, {directory}, {case}", file=sys.stderr, flush=True)
        obj._close()
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    obj = sftp_main.VornaxSFTPMain(dict(CONFIG))
    obj._sftp = client = WritingClient()
    rows = []
    with tempfile.TemporaryDirectory(prefix="sftp-main-download-", dir=args.dir) as scratch:
        for label, common, make, after in CASES:
            local = make(Path(scratch))
            names = {"o": obj, "c": client, "p": "remote.bin", "l": local, "u": os.unlink}
            best = best_ns_per_loop({"get": Variant(f"c.get(p, l)\n{after}", names),
                                     "module": Variant(f"o._download(p, l)\n{after}", names)},
                                    args.repeat, int(args.target_ms * 1_000_000))
            get_us, module_us = best["get"] / 1000, best["module"] / 1000
            rows.append({"case": label, "common": common, "get_us": get_us, "module_us": module_us,
                         "added_us": module_us - get_us})
            print(f"  {label}", file=sys.stderr, flush=True)
        fresh = fresh_process(Path(scratch), args.fresh) if args.fresh > 0 else None
        larges = [large_download(Path(scratch), args.large_mib, args.pairs, existing)
                  for existing in (False, True) if args.large_mib > 0]
    small = openssh_small(args.openssh_dir or [Path("/dev/shm"), Path(tempfile.gettempdir())],
                          args.openssh) if args.openssh > 0 else []

    print(f"# _download local file work, 4 KiB files in {args.dir}\n")
    print(f"Python {platform.python_version()}, {platform.machine()}, module {Path(sftp_main.__file__).name}. "
          f"Minimum of {args.repeat} runs of ~{args.target_ms:g} ms each, microseconds per download.\n")
    print("| Case | plain get | _download | added | target |")
    print("|---|---:|---:|---:|---|")
    for row in rows:
        verdict = (("met" if row["added_us"] <= TARGET_US else "MISSED") + f" (≤ {TARGET_US:g})"
                   if row["common"] else "—")
        print(f"| {row['case']} | {row['get_us']:.1f} | {row['module_us']:.1f} | {row['added_us']:.1f} | {verdict} |")
    if fresh is not None:
        print(f"\nThe first call in a fresh process, median of {args.fresh} processes, µs: "
              + "; ".join(f"{case} file: get {f['get']:.0f}, _download {f['module']:.0f}, added {f['module'] - f['get']:.0f}"
                          for case, f in fresh.items()))
    for large in larges:
        print(f"\n{large['mib']} MiB from the embedded server into "
              f"{'an existing' if large['existing'] else 'a new'} file, {len(large['pairs_s'])} alternated pairs "
              f"(_download s / get s): " + ", ".join(f"{m:.2f}/{g:.2f}" for m, g in large["pairs_s"])
              + f"; best {min(m for m, _ in large['pairs_s']):.2f}/{min(g for _, g in large['pairs_s']):.2f}, "
              + f"ratio {large['ratio']:.3f} "
              + ("met" if large["ratio"] <= LARGE_RATIO else "MISSED") + f" (≤ {LARGE_RATIO:.2f})")
    if small:
        print(f"\n4 KiB from a private OpenSSH server, minimum of {args.openssh} alternated downloads each, µs:\n")
        print("| Directory | Case | plain get | _download | added |")
        print("|---|---|---:|---:|---:|")
        for row in small:
            print(f"| {row['dir']} | {row['case']} | {row['get_us']:.0f} | {row['module_us']:.0f} | {row['added_us']:.0f} |")
    if args.json is not None:
        args.json.write_text(json.dumps({"dir": str(args.dir), "target_us": TARGET_US, "rows": rows,
                                         "fresh": fresh, "large": larges, "openssh": small}, indent=2) + "\n",
                             encoding="utf-8")
    missed = [row for row in rows if row["common"] and row["added_us"] > TARGET_US]
    slow = [large for large in larges if large["ratio"] > LARGE_RATIO]
    if slow:
        sys.stdout.flush()
        print("bench-download: target missed: " + "; ".join(
            f"the {large['mib']} MiB download into {'an existing' if large['existing'] else 'a new'} file takes "
            f"{large['ratio']:.3f} times get's time, over the {LARGE_RATIO:.2f} allowed" for large in slow),
            file=sys.stderr)
        return 1
    if missed:
        # The last line says what failed, however long the table above.
        sys.stdout.flush()
        print("bench-download: target missed: " + "; ".join(
            f"{row['case']} adds {row['added_us']:.1f} µs, {row['added_us'] - TARGET_US:.1f} µs over the "
            f"{TARGET_US:g} µs allowed" for row in missed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
