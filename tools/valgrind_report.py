"""Reads memcheck's XML output and reports the errors that concern one
shared object: those with a frame in it in any of their stacks (where the
bad access happened, where the block was allocated or freed, where an
uninitialised value came from).

    python tools/valgrind_report.py [--module GLOB] FILE.xml...

Prints those errors with their stacks and exits with status 1 if there is
any; errors elsewhere are only counted.  Exits with status 2 when a file
holds no complete memcheck output (valgrind itself failed).
"""

from __future__ import annotations

import argparse
import fnmatch
import os
import sys
import xml.etree.ElementTree as ET
from collections import Counter
from dataclasses import dataclass


@dataclass(frozen=True)
class Frame:
    obj: str
    fn: str
    where: str

    def __str__(self) -> str:
        return f"{self.fn} ({self.where or os.path.basename(self.obj) or '?'})"


@dataclass(frozen=True)
class Error:
    kind: str
    what: str
    # Each stack with the text that says what it is ("Address ... was freed").
    stacks: list[tuple[str, list[Frame]]]

    def touches(self, pattern: str) -> bool:
        return any(fnmatch.fnmatch(os.path.basename(f.obj), pattern) for _, frames in self.stacks for f in frames)


def _frames(stack: ET.Element) -> list[Frame]:
    frames = []
    for frame in stack.iter("frame"):
        file, line = frame.findtext("file"), frame.findtext("line")
        frames.append(Frame(obj=frame.findtext("obj") or "", fn=frame.findtext("fn") or frame.findtext("ip") or "?",
                            where=f"{file}:{line}" if file else ""))
    return frames


def _error(element: ET.Element) -> Error:
    what = element.findtext("what") or element.findtext("xwhat/text") or ""
    # A stack follows the text that describes it: the error's own first,
    # then auxwhat/xauxwhat ones ("Address 0x... is 8 bytes inside a block
    # of size 32 free'd", "Uninitialised value was created by ...").
    stacks: list[tuple[str, list[Frame]]] = []
    label = "at"
    for child in element:
        if child.tag == "auxwhat":
            label = child.text or ""
        elif child.tag == "xauxwhat":
            label = child.findtext("text") or ""
        elif child.tag == "stack":
            stacks.append((label, _frames(child)))
    return Error(kind=element.findtext("kind") or "?", what=what, stacks=stacks)


def read_errors(path: str) -> list[Error]:
    """The errors of one memcheck XML file; SystemExit(2) when incomplete."""
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError) as exc:
        print(f"valgrind_report: {path}: no complete memcheck output ({exc})", file=sys.stderr)
        raise SystemExit(2) from None
    if root.findtext("tool") != "memcheck":
        print(f"valgrind_report: {path}: not memcheck output", file=sys.stderr)
        raise SystemExit(2)
    return [_error(e) for e in root.iter("error")]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", default="sftp_main.cpython-*.so", help="file name pattern of the shared object")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)

    errors = [error for path in args.files for error in read_errors(path)]
    ours = [error for error in errors if error.touches(args.module)]
    others = Counter(error.kind for error in errors if not error.touches(args.module))
    for error in ours:
        print(f"== {error.kind}: {error.what}")
        for label, frames in error.stacks:
            print(f"   {label}")
            for frame in frames:
                print(f"     {frame}")
    summary = ", ".join(f"{n} {kind}" for kind, n in sorted(others.items())) or "none"
    print(f"memcheck: {len(ours)} error(s) in {args.module}; elsewhere: {summary}")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
