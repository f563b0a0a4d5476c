"""Rows of benchmark figures and their markdown tables.

A method's overhead is its time less the client's own work (the direct
call).  Where a method hands no work to a client (building the tables, an
argument error, ...) there is no direct figure and the overhead is the
whole call.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import asdict, dataclass

from cases import GROUPS

# The module's overhead per forwarding call on C-builtin clients may be at
# most this fraction of the plain-Python class's.
TARGET_RATIO = 0.8


@dataclass(frozen=True)
class Row:
    group: str
    label: str
    module: float
    plain: float
    direct: float | None
    forwarding: bool

    @property
    def module_overhead(self) -> float:
        return self.module - (self.direct or 0.0)

    @property
    def python_overhead(self) -> float:
        return self.plain - (self.direct or 0.0)

    @property
    def ratio(self) -> float | None:
        # A plain-Python overhead this small is lost in noise: no ratio.
        if self.python_overhead <= 0.5:
            return None
        return self.module_overhead / self.python_overhead

    def as_json(self) -> dict[str, object]:
        data: dict[str, object] = asdict(self)
        data.update(module_overhead=self.module_overhead, python_overhead=self.python_overhead,
                    ratio=self.ratio)
        return data


def target_misses(rows: Iterable[Row]) -> list[Row]:
    """The forwarding calls whose overhead ratio exceeds the target."""
    return [row for row in rows if row.forwarding and (row.ratio is None or row.ratio > TARGET_RATIO)]


def _number(value: float | None, digits: int) -> str:
    return "—" if value is None else f"{value:,.{digits}f}"


def markdown_table(rows: Sequence[Row], unit: str, digits: int, with_target: bool) -> str:
    """One table, rows grouped by section in GROUPS order."""
    header = ["method", f"module {unit}", f"plain Python {unit}", f"direct {unit}",
              "module overhead", "Python overhead", "ratio"]
    align = ["---", "---:", "---:", "---:", "---:", "---:", "---:"]
    if with_target:
        header.append(f"≤ {TARGET_RATIO}")
        align.append(":---:")
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    for group in GROUPS:
        members = [row for row in rows if row.group == group]
        if not members:
            continue
        lines.append(f"| *{group}* |" + " |" * (len(header) - 1))
        for row in members:
            cells = [f"`{row.label}`" if row.label.isidentifier() else row.label,
                     _number(row.module, digits), _number(row.plain, digits), _number(row.direct, digits),
                     _number(row.module_overhead, digits), _number(row.python_overhead, digits),
                     _number(row.ratio, 2)]
            if with_target:
                met = row.ratio is not None and row.ratio <= TARGET_RATIO
                cells.append(("yes" if met else "**no**") if row.forwarding else "")
            lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def target_summary(rows: Sequence[Row]) -> str:
    forwarding = [row for row in rows if row.forwarding]
    misses = target_misses(forwarding)
    ratios = [row.ratio for row in forwarding if row.ratio is not None]
    worst = max(ratios) if ratios else float("nan")
    verdict = "met" if not misses else "NOT met"
    text = (f"Target (module overhead ≤ {TARGET_RATIO} × plain-Python overhead on every "
            f"forwarding call): {verdict} — {len(forwarding) - len(misses)}/{len(forwarding)} "
            f"calls within it, ratios {min(ratios, default=float('nan')):.2f} to {worst:.2f}.")
    if misses:
        text += " Over: " + ", ".join(f"`{row.label}` ({_number(row.ratio, 2)})" for row in misses) + "."
    return text
