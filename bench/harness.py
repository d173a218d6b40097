"""The suite's measuring machinery: each case is timed as core, floor and plain Python
in the same process, interleaved round by round, and summarised with pyperf.

Every variant is a pyperf-style time function `f(loops) -> seconds`. pyperf's own
Runner times one benchmark after another in worker processes; on a shared machine
whose load changes from second to second that would compare figures taken at
different moments. Here every round times the three variants back to back (their
order rotated from round to round), so drift and other jobs' bursts fall on all
three alike; each variant's values then become a `pyperf.Benchmark`, which gives
the statistics and a JSON file that `python -m pyperf stats|hist|compare_to` reads.

Ratios are the median of the per-round ratios: each round's core is divided by the
floor measured a moment earlier or later, which cancels most of the drift.
"""
from __future__ import annotations

import gc
import statistics
import time
import tracemalloc
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence

import pyperf

VARIANTS = ("core", "floor", "plain")


@dataclass
class Case:
    """One row of the table. `run` maps each variant to a callable doing the work
    once; `per` divides a call's time (rows per call for per-row figures)."""

    name: str
    run: Dict[str, Callable[[], Any]]
    unit: str = "us"  # "ns", "us" or "ms" per `per`
    per: int = 1
    target: Optional[float] = None  # core/floor to stay within
    check: Optional[Callable[[Dict[str, Any]], None]] = None  # results of one call each
    # "cpu": the process's CPU time, blind to the time other jobs hold the CPU (on a
    # shared machine the larger noise); "wall" where the work includes waiting on
    # another process (the sandbox backend).
    clock: str = "cpu"


@dataclass
class Result:
    name: str
    unit: str
    # seconds per `per` for each value of each variant
    values: Dict[str, List[float]] = field(default_factory=dict)
    core_floor: float = float("nan")
    best_core_floor: float = float("nan")
    plain_core: float = float("nan")
    target: Optional[float] = None
    benchmarks: List[pyperf.Benchmark] = field(default_factory=list)

    def median(self, variant: str) -> float:
        return statistics.median(self.values[variant])

    def best(self, variant: str) -> float:
        return min(self.values[variant])


_SCALE = {"ns": 1e9, "us": 1e6, "ms": 1e3, "s": 1.0, "MB": 1.0}


def time_func(fn: Callable[[], Any], clock: str = "cpu") -> Callable[[int], float]:
    """A pyperf time function for `fn`: `loops` calls, garbage collection held off
    while timing (what they leave behind is collected outside the clock)."""
    now = time.process_time if clock == "cpu" else pyperf.perf_counter

    def timed(loops: int) -> float:
        gc.disable()
        try:
            t0 = now()
            for _ in range(loops):
                fn()
            return now() - t0
        finally:
            gc.enable()

    return timed


def calibrate(timed: Callable[[int], float], min_time: float) -> int:
    """Loops per value so that one value takes at least `min_time` seconds (as
    pyperf's calibration does: doubling until long enough)."""
    loops = 1
    while True:
        elapsed = timed(loops)
        if elapsed >= min_time or loops >= 1 << 24:
            return loops
        loops *= 2 if elapsed * 2 >= min_time else max(2, min(1 << 10, int(min_time / max(elapsed, 1e-9))))


def measure(case: Case, rounds: int, min_time: float, log: Callable[[str], None]) -> Result:
    if case.check is not None:
        case.check({v: case.run[v]() for v in VARIANTS})
    timers = {v: time_func(case.run[v], case.clock) for v in VARIANTS}
    # Calibrating warms each variant up too (its last value is not kept).
    loops = {v: calibrate(timers[v], min_time) for v in VARIANTS}
    raw: Dict[str, List[float]] = {v: [] for v in VARIANTS}
    started = time.monotonic()
    for r in range(rounds):
        order = VARIANTS[r % 3:] + VARIANTS[: r % 3]
        for v in order:
            raw[v].append(timers[v](loops[v]) / loops[v])
    result = Result(case.name, case.unit, target=case.target)
    result.values = {v: [t / case.per for t in raw[v]] for v in VARIANTS}
    result.core_floor = statistics.median(c / f for c, f in zip(raw["core"], raw["floor"]))
    result.plain_core = statistics.median(p / c for p, c in zip(raw["plain"], raw["core"]))
    result.best_core_floor = min(raw["core"]) / min(raw["floor"])
    for v in VARIANTS:
        run = pyperf.Run(result.values[v], metadata={"name": f"{case.name} [{v}]", "loops": loops[v],
                                                     "unit": "second"},
                         collect_metadata=False)
        result.benchmarks.append(pyperf.Benchmark([run]))
    log(f"  {case.name}: {rounds} rounds in {time.monotonic() - started:.1f} s")
    return result


def peak_bytes(fn: Callable[[], Any]) -> int:
    """tracemalloc's peak over one call of `fn`, with its result still alive at the
    end (a caller holds the frame it gets)."""
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        result = fn()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del result
    return peak


def measure_memory(case: Case, rounds: int, log: Callable[[str], None]) -> Result:
    """Peak traced memory of each variant, interleaved; the smallest of the rounds
    (a peak can only be inflated by leftovers, never lowered)."""
    for v in VARIANTS:  # warm: imports, caches and connections happen once
        case.run[v]()
    raw: Dict[str, List[float]] = {v: [] for v in VARIANTS}
    for r in range(rounds):
        for v in VARIANTS[r % 3:] + VARIANTS[: r % 3]:
            raw[v].append(peak_bytes(case.run[v]) / 1e6)
    result = Result(case.name, "MB", target=case.target)
    result.values = raw
    result.core_floor = result.best_core_floor = min(raw["core"]) / min(raw["floor"])
    result.plain_core = min(raw["plain"]) / min(raw["core"])
    log(f"  {case.name}: {rounds} rounds")
    return result


def figure(result: Result, variant: str) -> str:
    if result.unit == "MB":
        return f"{min(result.values[variant]):.1f}"
    value = result.median(variant) * _SCALE[result.unit]
    return f"{value:.0f}" if value >= 100 else f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def table(results: Sequence[Result]) -> str:
    header = (f"{'benchmark':40} {'unit':>6} {'core':>9} {'floor':>9} {'plain':>9} "
              f"{'core/floor':>10} {'(best)':>7} {'target':>7} {'plain/core':>10}")
    lines = [header, "-" * len(header)]
    for r in results:
        target = f"{r.target:.2f}" if r.target else "-"
        mark = " " if not r.target or r.core_floor <= r.target else "!"
        lines.append(
            f"{r.name:40} {r.unit:>6} {figure(r, 'core'):>9} {figure(r, 'floor'):>9} "
            f"{figure(r, 'plain'):>9} {r.core_floor:9.2f}x{mark}{r.best_core_floor:6.2f}x{target:>7} "
            f"{r.plain_core:9.2f}x"
        )
    return "\n".join(lines)


def dump_pyperf(results: Sequence[Result], path: str) -> None:
    benches = [b for r in results for b in r.benchmarks]
    if benches:
        pyperf.BenchmarkSuite(benches).dump(path, replace=True)


def plot(results: Sequence[Result], path: str, title: str) -> None:
    import matplotlib
    import matplotlib.ticker

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [r.name for r in results]
    fig, axes = plt.subplots(1, 2, figsize=(13, 0.42 * len(results) + 1.8), sharey=True)
    ys = list(range(len(results)))[::-1]
    core_floor = [r.core_floor for r in results]
    colours = ["#c0392b" if r.target and r.core_floor > r.target else "#2e86c1" for r in results]
    ax = axes[0]
    ax.barh(ys, core_floor, color=colours)
    ax.axvline(1.0, color="black", linewidth=1)
    for y, r in zip(ys, results):
        ax.text(r.core_floor, y, f" {r.core_floor:.2f}x", va="center", fontsize=8)
        if r.target:
            ax.plot([r.target, r.target], [y - 0.4, y + 0.4], color="#27ae60", linewidth=2)
    ax.set_yticks(ys)
    ax.set_yticklabels(names, fontsize=8)
    ax.set_xlim(0, max(core_floor + [1.2]) * 1.18)
    ax.set_title("core / floor  (1.0 = as fast as the floor; lower is better;\n"
                 "green tick = target, red bar = over target)", fontsize=9)
    ax = axes[1]
    plain_core = [r.plain_core for r in results]
    ax.barh(ys, plain_core, color="#7f8c8d")
    ax.axvline(1.0, color="black", linewidth=1)
    ax.set_xscale("log")
    for y, value in zip(ys, plain_core):
        ax.text(value, y, f" {value:.2f}x", va="center", fontsize=8)
    lo, hi = min(plain_core + [1.0]) / 1.5, max(plain_core + [1.0]) * 3
    ax.set_xlim(lo, hi)
    ticks = [t for t in (0.25, 0.5, 1, 2, 5, 10, 20, 50, 100) if lo <= t <= hi]
    ax.set_xticks(ticks)
    ax.set_xticklabels([f"{t:g}x" for t in ticks])
    ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_title("plain Python / core  (speed-up over the same code in Python;\nhigher is better, log scale)",
                 fontsize=9)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
