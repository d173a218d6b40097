"""The benchmark suite: every case as core, floor and plain Python, one table.

    python bench/run.py [--quick | --full] [--only SUBSTRING] [--out DIR]

Prints the table, writes the ratios chart (ratios.png) and the raw values as pyperf
JSON (values.json: `python -m pyperf stats bench/results/values.json`) into DIR
(default bench/results). tools/bench.sh sets up the environment and runs this.
"""
from __future__ import annotations

import os

# Quiet the process before pandas loads: numerical library threads and CPU
# migration both add noise larger than some of the costs measured here.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse
import importlib
import platform
import sys
import time
from pathlib import Path
from typing import Callable, List

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
from harness import Case, Result  # noqa: E402

# (rounds, seconds per value) for in-process cases, end-to-end cases, memory rounds
MODES = {"quick": (5, 0.005, 3, 1), "full": (41, 0.02, 21, 5)}


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def collect() -> List[Callable[[], List[Case]]]:
    import cases_cache
    import cases_rows

    groups = [cases_cache.cases, cases_rows.cases]
    for name in ("cases_frames", "cases_investor", "cases_keygate"):
        try:
            module = importlib.import_module(name)
        except ImportError as exc:  # a module this build does not have
            log(f"skipping {name}: {exc}")
        else:
            groups.append(module.cases)
    return groups


def main(argv: List[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_const", const="quick", dest="mode",
                      help="few rounds, about two minutes")
    mode.add_argument("--full", action="store_const", const="full", dest="mode",
                      help="many rounds (several minutes; the default)")
    parser.add_argument("--only", default="", help="run only cases whose name contains this")
    parser.add_argument("--out", default=str(HERE / "results"), help="directory for the chart and JSON")
    args = parser.parse_args(argv)
    mode_name = args.mode or "full"
    rounds, min_time, e2e_rounds, mem_rounds = MODES[mode_name]

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    results: List[Result] = []

    def wanted(case: Case) -> bool:
        return args.only.lower() in case.name.lower()

    for group in collect():
        for case in group():
            if wanted(case):
                results.append(harness.measure(case, rounds, min_time, log))

    try:
        import cases_e2e
    except ImportError as exc:
        log(f"skipping the end-to-end cases (sandbox backend not installed): {exc}")
    else:
        backend = cases_e2e.Backend()
        try:
            eod, minute = cases_e2e.batches(backend)
            wide = cases_e2e.wide_resampled(backend, cases_e2e.WIDE_SYMBOLS[mode_name])
            for case in (cases_e2e.round_trip(backend), eod, minute, wide):
                if wanted(case):
                    results.append(harness.measure(case, e2e_rounds, min_time, log))
            for case in (minute, wide):
                memory = Case(f"peak memory: {case.name.split(': ', 1)[1]}", case.run, target=1.2)
                if wanted(memory):
                    results.append(harness.measure_memory(memory, mem_rounds, log))
        finally:
            backend.close()

    if not results:
        log("no case matched")
        return 1
    title = (f"private_core benchmarks ({mode_name}), Python {platform.python_version()}, "
             f"{os.cpu_count()} CPUs, {time.strftime('%Y-%m-%d %H:%M')}")
    print(title)
    print(f"time: median per call (per row for ns/row) over {rounds} rounds in process, "
          f"{e2e_rounds} end to end; memory: tracemalloc peak, best of {mem_rounds}")
    print("in process: CPU time; end to end: wall-clock time")
    print("core/floor: median of per-round ratios, (best): best core / best floor; "
          "! = over its target")
    print()
    print(harness.table(results))
    png = out / "ratios.png"
    harness.plot(results, str(png), title)
    values = out / "values.json"
    harness.dump_pyperf(results, str(values))
    print()
    print(f"chart: {png}")
    print(f"values (pyperf JSON): {values}")
    log(f"done in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
