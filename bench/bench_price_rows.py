"""Per-row cost of the price fetchers' batch loop, beside its floor and plain Python.

100 symbols x 2,000 rows of 8 fields each, from a fake session whose replies are
already decoded, so no HTTP or JSON work is timed. The frame helpers and progress
hooks are replaced by no-ops: what remains is the loop itself, essentially one new
row mapping per element.

The floor is the dict work any implementation must do, a plain
`{"symbol": s, **row}` comprehension over the same rows. The plain-Python version is
the same loop (normalise, query, decode checks, rows, hooks) written as ordinary
Python. All three are timed in the same run, interleaved round by round.

Each fetch allocates about 70 MB of fresh rows. With the default allocator those
pages are returned to the system after each round and faulted in again on the next,
and on a virtual machine the page faults can be half of the time, alike for all three.
A second table therefore repeats the measurement under the system allocator told to
keep freed memory (PYTHONMALLOC=malloc, no trimming), which leaves the loop's own
cost.

    python bench/bench_price_rows.py [--quick] [--repeat N]
"""
from __future__ import annotations

import os

# Quiet the machine before pandas loads: numerical library threads and CPU
# migration both add noise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
if hasattr(os, "sched_setaffinity"):
    os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})

import argparse
import gc
import subprocess
import sys
import time
from collections.abc import Sequence

from tavrix.exceptions import DataDecodingError

from private_core import daily_bars, tick_feed

SYMBOLS = 100
ROWS = 2_000
FIELDS = ("time", "open", "high", "low", "close", "volume", "value", "trades")


class Response:
    __slots__ = ("payload",)

    def __init__(self, payload):
        self.payload = payload

    def json(self):
        return self.payload


class Session:
    def __init__(self, payloads):
        self.responses = {s: Response(p) for s, p in payloads.items()}

    def get(self, path, params=None):
        return self.responses[params["symbol"]]


def make_payloads():
    """One reply per symbol, each with rows of its own, as JSON decoding gives them."""
    payloads = {}
    for n in range(SYMBOLS):
        data = [
            {"time": f"2024-01-01T09:{i // 60 % 60:02d}:{i % 60:02d}", "open": 10.0 + i,
             "high": 11.0 + i, "low": 9.0 + i, "close": 10.5 + i, "volume": 1000 + i,
             "value": 1.0e7 + i, "trades": 40 + i}
            for i in range(ROWS)
        ]
        assert tuple(data[0]) == FIELDS
        payloads[f"S{n:03d}"] = {"data": data}
    return payloads


def noop(*args, **kwargs):
    return None


def identity(frame, interval=None):
    return frame


# --- the same loop in plain Python ---------------------------------------------------


def py_normalize_symbols(symbols):
    if isinstance(symbols, str):
        cleaned = symbols.strip()
        if not cleaned:
            raise ValueError("symbol must not be empty.")
        return [cleaned.upper()]
    if not isinstance(symbols, Sequence) or isinstance(symbols, bytes):
        raise TypeError("symbol must be a string or a sequence of strings.")
    items = list(symbols)
    if not all(isinstance(item, str) for item in items):
        raise TypeError("All symbols in the sequence must be strings.")
    normalised, seen = [], set()
    for item in items:
        cleaned = item.strip()
        if not cleaned:
            continue
        symbol = cleaned.upper()
        if symbol not in seen:
            seen.add(symbol)
            normalised.append(symbol)
    if not normalised:
        raise ValueError("symbol sequence must contain at least one non-empty string.")
    return normalised


def py_fetch_ohlcv(session, symbol, start=None, end=None, interval="1D", *, show_progress=True):
    if start is not None and type(start) is not str:
        raise TypeError("start")
    if end is not None and type(end) is not str:
        raise TypeError("end")
    symbols = py_normalize_symbols(symbol)
    all_rows = []
    noop(len(symbols), "Batch EOD")
    for index, sym in enumerate(symbols, start=1):
        params = {"symbol": sym, "interval": interval}
        if start:
            params["start"] = start
        if end:
            params["end"] = end
        response = session.get("/market-data/eod/ohlcv", params=params)
        try:
            payload = response.json()
        except ValueError as exc:
            raise DataDecodingError("Unable to decode OHLCV response as JSON") from exc
        if not isinstance(payload, dict):
            raise DataDecodingError("Unexpected payload structure for OHLCV response.")
        if payload.get("error"):
            raise DataDecodingError(f"Backend returned error for {sym}: {payload['error']}")
        data = payload.get("data")
        if not isinstance(data, list):
            raise DataDecodingError("Unexpected payload format for OHLCV series.")
        for item in data:
            row = {"symbol": sym}
            if not isinstance(item, dict):
                raise DataDecodingError("Each OHLCV row must be a dictionary.")
            row.update(item)
            all_rows.append(row)
        if show_progress:
            noop(index)
    noop()
    if not all_rows:
        return None
    return identity(identity(all_rows), interval=interval)


# --- measurement -----------------------------------------------------------------------


def best_seconds(functions, repeat):
    """Best time of each function, interleaved per round so drift affects them alike."""
    best = [float("inf")] * len(functions)
    gc.disable()
    try:
        for fn in functions:  # warm up
            fn()
        for _ in range(repeat):
            for i, fn in enumerate(functions):
                # CPU time: on a shared machine, time spent descheduled is not ours.
                t0 = time.process_time()
                result = fn()
                elapsed = time.process_time() - t0
                del result  # freed outside the timing, alike for all
                best[i] = min(best[i], elapsed)
    finally:
        gc.enable()
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--repeat", type=int, default=0)
    parser.add_argument("--default-only", action="store_true", help="skip the second table")
    args = parser.parse_args()
    repeat = args.repeat or (5 if args.quick else 40)

    for module in (daily_bars, tick_feed):
        module.start_progress = module.update_progress = module.finish_progress = noop
        module._to_dataframe = identity
        module.resample_ohlcv_multi = identity

    kept = os.environ.get("PYTHONMALLOC") == "malloc"
    if not kept:
        print(f"Python {sys.version.split()[0]}; {SYMBOLS} symbols x {ROWS} rows of {len(FIELDS)} "
              f"fields; ns per row (CPU time), best of {repeat} rounds")
    print()
    print("system allocator keeping freed memory (no page faults: the loop's own cost)" if kept
          else "default allocator (fresh pages faulted in every round)")
    header = (f"{'fetcher':28} {'core':>7} {'floor':>7} {'plain':>7} "
              f"{'core/floor':>11} {'plain/core':>11}")
    print(header)
    print("-" * len(header))
    sys.stdout.flush()
    run(make_payloads(), repeat)
    if not kept and not args.default_only:
        env = dict(os.environ, PYTHONMALLOC="malloc", MALLOC_TRIM_THRESHOLD_="4000000000",
                   MALLOC_MMAP_THRESHOLD_="4000000000")
        subprocess.run([sys.executable, __file__, "--repeat", str(repeat)], env=env, check=True)


def run(payloads, repeat):
    session = Session(payloads)
    symbols = list(payloads)
    total_rows = SYMBOLS * ROWS

    def floor():
        return [{"symbol": s, **row} for s in symbols for row in payloads[s]["data"]]

    cases = [
        ("daily_bars.fetch_ohlcv", lambda: daily_bars.fetch_ohlcv(session, symbols)),
        ("tick_feed.fetch_ohlcv", lambda: tick_feed.fetch_ohlcv(session, symbols, adjusted=True)),
        ("tick_feed.fetch_orderbook", lambda: tick_feed.fetch_orderbook(session, symbols)),
    ]
    plain = lambda: py_fetch_ohlcv(session, symbols)  # noqa: E731

    expected = floor()
    for _, fn in cases:
        assert fn() == expected
    assert plain() == expected
    del expected

    for name, fn in cases:
        t_core, t_floor, t_plain = (
            t / total_rows * 1e9 for t in best_seconds([fn, floor, plain], repeat)
        )
        print(f"{name:28} {t_core:7.1f} {t_floor:7.1f} {t_plain:7.1f} "
              f"{t_core / t_floor:10.2f}x {t_plain / t_core:10.2f}x")


if __name__ == "__main__":
    main()
