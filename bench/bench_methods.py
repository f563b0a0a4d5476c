"""Benchmark of VornaxSFTPMain's methods.

Every method of the native class is timed against the same class written in
plain Python (bench/plain_python.py) and against calling the client
directly, on stand-in clients whose methods are C builtins and on ones
whose methods are Python functions (bench/clients.py).  The figures are
nanoseconds per call, the minimum over several repeats, with the cost of
the timing loop itself subtracted.  A method's overhead is its time less
the direct call's; the ratio compares the module's overhead with plain
Python's.

    ./dev bench [--json FILE] [--callgrind] [--only TEXT] [--repeat N] [--target-ms MS]

With --callgrind the same loops also run under callgrind, which counts
instructions per call: figures without timing noise, for optimising.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import sftp_main

import callgrind
from cases import build_cases
from clients import KINDS, installed
from report import TARGET_RATIO, Row, markdown_table, target_misses, target_summary
from timing import best_ns_per_loop, empty_loop_ns

# The kind on which the overhead target is checked.
TARGET_KIND = "c_builtin"


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Times VornaxSFTPMain's methods.")
    parser.add_argument("--json", metavar="FILE", type=Path, help="also write the figures to FILE")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions per call under valgrind's callgrind")
    parser.add_argument("--callgrind-iterations", type=int, default=400, metavar="N",
                        help="loop length under callgrind (default 400)")
    parser.add_argument("--only", metavar="TEXT", help="only the cases whose label contains TEXT")
    parser.add_argument("--kinds", default=",".join(KINDS),
                        help=f"client kinds, comma-separated (default {','.join(KINDS)})")
    # Many short runs: on a shared machine a short run is more likely to
    # pass undisturbed, and the minimum keeps the undisturbed ones.
    parser.add_argument("--repeat", type=int, default=25, help="timed runs per figure (default 25)")
    parser.add_argument("--target-ms", type=float, default=3.0,
                        help="length of one timed run in ms (default 3)")
    args = parser.parse_args(argv)
    args.kinds = [key.strip() for key in args.kinds.split(",") if key.strip()]
    unknown = [key for key in args.kinds if key not in KINDS]
    if unknown:
        parser.error(f"unknown kinds {unknown}; choose from {list(KINDS)}")
    return args


def time_kind(key: str, only: str | None, repeat: int, target_ns: int, loop_ns: float,
              local_path: str) -> list[Row]:
    kind = KINDS[key]()
    rows = []
    with installed(kind):
        for case in build_cases(kind, local_path):
            if only is not None and only not in case.label:
                continue
            best = best_ns_per_loop(case.variants(), repeat, target_ns)
            direct = best.get("direct")
            rows.append(Row(case.group, case.label, best["module"] - loop_ns, best["plain"] - loop_ns,
                            None if direct is None else direct - loop_ns, case.forwarding))
            print(f"  {kind.title}: {case.label}", file=sys.stderr, flush=True)
    return rows


def callgrind_rows(counts: dict[str, dict[str, float]], timed: list[Row]) -> list[Row]:
    """The instruction counts in the shape of the timed rows."""
    rows = []
    for row in timed:
        variants = counts[row.label]
        rows.append(Row(row.group, row.label, variants["module"], variants["plain"],
                        variants.get("direct"), row.forwarding))
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    started = time.monotonic()
    target_ns = int(args.target_ms * 1_000_000)
    loop_ns = empty_loop_ns(args.repeat, target_ns)
    # The local side of the transfers: a download may write its file.
    with tempfile.TemporaryDirectory(prefix="sftp-main-bench-") as scratch:
        local_path = os.path.join(scratch, "report.csv")
        timed = {key: time_kind(key, args.only, args.repeat, target_ns, loop_ns, local_path)
                 for key in args.kinds}

    counts: dict[str, dict[str, dict[str, float]]] | None = None
    if args.callgrind:
        if not callgrind.available():
            print("bench: valgrind not found, --callgrind skipped", file=sys.stderr)
        else:
            print("  counting instructions under callgrind ...", file=sys.stderr, flush=True)
            counts = callgrind.count_instructions(args.kinds, args.only, args.callgrind_iterations)

    out = ["# VornaxSFTPMain method benchmark\n",
           f"Python {platform.python_version()} ({platform.python_implementation()}), "
           f"{platform.machine()}, module {Path(sftp_main.__file__).name}.  "
           f"Minimum of {args.repeat} runs of ~{args.target_ms:g} ms each; "
           f"the timing loop's own {loop_ns:.1f} ns per iteration is subtracted.  "
           "Overhead = the call less the direct client call; where there is no direct call "
           "(—) the overhead is the whole call.  Ratio = module overhead / Python overhead.\n"]
    for key, rows in timed.items():
        kind = KINDS[key]()
        out.append(f"## {kind.title}: ns per call\n")
        out.append(markdown_table(rows, "ns", 1, with_target=key == TARGET_KIND))
        if key == TARGET_KIND and any(row.forwarding for row in rows):
            out.append("\n" + target_summary(rows))
        out.append("")
    if any(row.module_overhead < 0 for rows in timed.values() for row in rows):
        out.append("A negative module overhead: the module dealt with the client's exception "
                   "in less time than the direct call's Python `try`/`except` took.\n")
    if counts is not None:
        for key, rows in timed.items():
            kind = KINDS[key]()
            out.append(f"## {kind.title}: instructions per call (callgrind, "
                       f"{args.callgrind_iterations} iterations)\n")
            out.append(markdown_table(callgrind_rows(counts[key], rows), "Ir", 0,
                                      with_target=key == TARGET_KIND))
            out.append("")
    out.append(f"Run time {time.monotonic() - started:.0f} s.")
    print("\n".join(out))

    if args.json is not None:
        write_json(args, loop_ns, timed, counts)
    return 0


def write_json(args: argparse.Namespace, loop_ns: float, timed: dict[str, list[Row]],
               counts: dict[str, dict[str, dict[str, float]]] | None) -> None:
    data: dict[str, Any] = {
        "python": sys.version,
        "machine": platform.machine(),
        "module": Path(sftp_main.__file__).name,
        "repeat": args.repeat,
        "target_ms": args.target_ms,
        "loop_ns": loop_ns,
        "unit": "ns per call, loop cost subtracted",
        "target": {"kind": TARGET_KIND, "ratio": TARGET_RATIO,
                   "met": not target_misses(timed.get(TARGET_KIND, [])) if TARGET_KIND in timed else None,
                   "misses": [row.label for row in target_misses(timed.get(TARGET_KIND, []))]},
        "results": {key: [row.as_json() for row in rows] for key, rows in timed.items()},
    }
    if counts is not None:
        data["callgrind"] = {
            "unit": "instructions per call, loop cost subtracted",
            "iterations": args.callgrind_iterations,
            "results": {key: [row.as_json() for row in callgrind_rows(counts[key], rows)]
                        for key, rows in timed.items()},
        }
    args.json.write_text(json.dumps(data, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")


if __name__ == "__main__":
    sys.exit(main())
