"""Instructions per call, counted by callgrind: figures free of timing noise.

The parent runs this file as a worker under ``valgrind --tool=callgrind
--dump-before=getppid``.  The worker runs every variant's loop twice, with
N and 2N iterations, and calls ``os.getppid()`` between the runs; each call
makes callgrind write out the instructions counted since the previous one,
so the two runs land in two numbered dumps.  Their difference divided by N
is the cost of one iteration, with every fixed cost (starting the loop,
the marker itself) cancelled out.  The cost of an empty iteration is then
subtracted, as in the wall-clock figures.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any

# Instructions per call: kind -> case label -> variant -> count.
Counts = dict[str, dict[str, dict[str, float]]]

EMPTY = "(empty loop)"


def available() -> bool:
    return shutil.which("valgrind") is not None


def count_instructions(kinds: Sequence[str], only: str | None, iterations: int) -> Counts:
    """Runs the worker under callgrind and returns its instruction counts."""
    with tempfile.TemporaryDirectory(prefix="sftp-main-callgrind-") as scratch:
        layout = Path(scratch, "layout.json")
        command = [
            "valgrind", "--tool=callgrind", "--dump-before=getppid",
            f"--callgrind-out-file={scratch}/callgrind.out", "--dump-line=no", "--compress-strings=no",
            sys.executable, os.path.abspath(__file__), "--worker", str(layout),
            "--iterations", str(iterations), "--kinds", ",".join(kinds),
        ]
        if only:
            command += ["--only", only]
        proc = subprocess.run(command, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"callgrind worker failed ({proc.returncode}):\n{proc.stderr[-4000:]}")
        parts = {number: _dump_total(path) for number, path in _dumps(Path(scratch))}
        return _per_call(json.loads(layout.read_text()), parts, iterations)


def _dumps(scratch: Path) -> list[tuple[int, Path]]:
    found = []
    for path in scratch.glob("callgrind.out.*"):
        suffix = path.name.rsplit(".", 1)[1]
        if suffix.isdigit():
            found.append((int(suffix), path))
    return found


def _dump_total(path: Path) -> int:
    text = path.read_text(errors="replace")
    match = re.search(r"^(?:totals|summary):\s*(\d+)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError(f"no instruction total in {path}")
    return int(match.group(1))


def _per_call(layout: list[dict[str, Any]], parts: dict[int, int], iterations: int) -> Counts:
    """Instructions per iteration, less the empty loop's, from the layout
    of (kind, label, variant, dump of N loops, dump of 2N loops)."""
    raw: Counts = {}
    for entry in layout:
        per_loop = (parts[entry["long"]] - parts[entry["short"]]) / iterations
        raw.setdefault(entry["kind"], {}).setdefault(entry["label"], {})[entry["variant"]] = per_loop
    counts: Counts = {}
    for kind, labels in raw.items():
        empty = labels.pop(EMPTY)["empty"]
        counts[kind] = {label: {variant: value - empty for variant, value in variants.items()}
                        for label, variants in labels.items()}
    return counts


# ------------------------------------------------------------------- worker


class _Marker:
    """Numbers the callgrind dumps: the n-th os.getppid() call ends dump n."""

    def __init__(self) -> None:
        self.count = 0

    def __call__(self) -> int:
        os.getppid()
        self.count += 1
        return self.count


def _worker(layout_path: str, kinds: Sequence[str], only: str | None, iterations: int) -> None:
    from cases import Variant, build_cases
    from clients import KINDS, installed
    from timing import make_timer

    mark = _Marker()
    mark()  # everything up to here, imports included, goes into dump 1
    layout: list[dict[str, Any]] = []
    scratch = tempfile.TemporaryDirectory(prefix="sftp-main-callgrind-")
    local_path = os.path.join(scratch.name, "report.csv")
    for key in kinds:
        kind = KINDS[key]()
        with installed(kind):
            measured = [(EMPTY, {"empty": Variant("pass", {"o": None, "p": None})})]
            measured += [(case.label, case.variants()) for case in build_cases(kind, local_path)
                         if only is None or only in case.label]
            for label, variants in measured:
                for variant_key, variant in variants.items():
                    timer = make_timer(variant)
                    timer.timeit(iterations)  # specialise the loop's instructions first
                    mark()
                    timer.timeit(iterations)
                    short = mark()
                    timer.timeit(2 * iterations)
                    long = mark()
                    layout.append({"kind": key, "label": label, "variant": variant_key,
                                   "short": short, "long": long})
    Path(layout_path).write_text(json.dumps(layout))
    scratch.cleanup()


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="callgrind worker of the method benchmark")
    parser.add_argument("--worker", metavar="LAYOUT_JSON", required=True)
    parser.add_argument("--iterations", type=int, required=True)
    parser.add_argument("--kinds", required=True)
    parser.add_argument("--only")
    args = parser.parse_args(argv)
    _worker(args.worker, args.kinds.split(","), args.only, args.iterations)


if __name__ == "__main__":
    main()
