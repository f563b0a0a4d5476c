"""Wall-clock timing: min-of-repeats nanoseconds per statement.

Each statement runs in a timeit loop (garbage collection off, its names
bound as locals).  The variants of one case are timed in turn within every
repeat, so drift in the machine's speed hits them alike, and the minimum
over the repeats is kept: the run least disturbed by everything else that
runs on the machine.
"""

from __future__ import annotations

import time
import timeit
from collections.abc import Mapping, Sequence

from cases import Variant


def make_timer(variant: Variant) -> timeit.Timer:
    """A timer whose loop sees the variant's names as local variables."""
    # The setup runs inside the timing function, so these assignments make
    # locals; the objects themselves come in through the globals.
    globals_ = {f"_bench_{name}": value for name, value in variant.names.items()}
    setup = "\n".join(f"{name} = _bench_{name}" for name in variant.names) or "pass"
    return timeit.Timer(variant.stmt, setup=setup, timer=time.perf_counter_ns, globals=globals_)


def loops_for(timer: timeit.Timer, target_ns: int) -> int:
    """How many loops take about target_ns; the runs made to find out also
    warm the interpreter's specialised instructions up."""
    number = 16
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_ns // 8:
            return max(1, int(number * target_ns / max(elapsed, 1)))
        number *= 8


def best_ns_per_loop(variants: Mapping[str, Variant], repeat: int, target_ns: int) -> dict[str, float]:
    """The minimum over `repeat` runs of each variant's ns per loop."""
    timers = {key: make_timer(variant) for key, variant in variants.items()}
    loops = {key: loops_for(timer, target_ns) for key, timer in timers.items()}
    best = {key: float("inf") for key in timers}
    for _ in range(repeat):
        for key, timer in timers.items():
            best[key] = min(best[key], timer.timeit(loops[key]) / loops[key])
    return best


def empty_loop_ns(repeat: int, target_ns: int, names: Sequence[str] = ("o", "p")) -> float:
    """The cost of the timing loop itself, subtracted from every figure."""
    variant = Variant("pass", {name: None for name in names})
    return best_ns_per_loop({"empty": variant}, repeat, target_ns)["empty"]
