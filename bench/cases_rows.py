"""Per-row cost of the price fetchers' batch loop, beside its floor and plain Python.

100 symbols x 500 rows of 8 fields each, from a fake session whose replies are
already decoded, so no HTTP or JSON work is timed. The frame helpers and progress
hooks are replaced by no-ops: what remains is the loop itself, essentially one new
row mapping per element.

The floor is the dict work any implementation must do, a plain
`{"symbol": s, **row}` comprehension over the same rows. The plain-Python version is
the same loop (normalise, query, decode checks, rows, hooks) written as ordinary
Python.

Each call allocates about 18 MB of fresh rows; with the default allocator those
pages go back to the system between calls and are faulted in again, alike for all
three (on a virtual machine that can be half of the time, which pulls core/floor
towards 1). Under PYTHONMALLOC=malloc with MALLOC_TRIM_THRESHOLD_ and
MALLOC_MMAP_THRESHOLD_ set high, freed memory is kept and the loop's own cost
remains.
"""
from __future__ import annotations

from types import SimpleNamespace
from typing import List

from private_core_models import price_model as plain

from private_core import daily_bars

from harness import Case

# bench/cases_e2e.py builds its plain version on these.
py_normalize_symbols, py_symbol_rows = plain.normalize_symbols, plain.symbol_rows

SYMBOLS = 100
ROWS = 500
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


# Frame building, resampling and progress are the plain-Python helpers, the same for
# every variant: no-ops here, so only the loop is timed.
PATCHED = {"start_progress": noop, "update_progress": noop, "finish_progress": noop,
           "_to_dataframe": identity, "resample_ohlcv_multi": identity}
NO_HOOKS = SimpleNamespace(**PATCHED)


# --- the case -------------------------------------------------------------------------


def cases() -> List[Case]:
    """The daily fetcher's loop over 100 x 500 rows; the intraday fetchers share the
    same loop (price_batch.hpp), so one row stands for them."""
    payloads = make_payloads()
    session = Session(payloads)
    symbols = list(payloads)

    def floor():
        return [{"symbol": s, **row} for s in symbols for row in payloads[s]["data"]]

    def core():
        saved = {n: getattr(daily_bars, n) for n in PATCHED}
        for n, hook in PATCHED.items():
            setattr(daily_bars, n, hook)
        try:
            return daily_bars.fetch_ohlcv(session, symbols)
        finally:
            for n, v in saved.items():
                setattr(daily_bars, n, v)

    def check(results):
        assert results["core"] == results["floor"] == results["plain"]

    return [Case(f"batch row loop ({SYMBOLS} x {ROWS} rows)", {
        "core": core, "floor": floor, "plain": lambda: plain.fetch("eod", session, symbols, hooks=NO_HOOKS),
    }, unit="ns", per=SYMBOLS * ROWS, check=check), error_path()]


def error_path() -> Case:
    """A fetcher's argument check failing: what an error costs from raise to caller.
    The floor raises and catches the same TypeError inline."""
    bad, message = ["ALP", "BOR", 5], plain.NOT_STRINGS

    def refused(normalize):
        def run():
            try:
                normalize(bad)
            except TypeError as exc:
                return exc.args
            raise AssertionError("accepted")
        return run

    def floor():
        try:
            raise TypeError(message)
        except TypeError as exc:
            return exc.args

    def check(results):
        assert results["core"] == results["floor"] == results["plain"] == (message,)

    return Case("error path: _normalize_symbols refuses", {
        "core": refused(daily_bars._normalize_symbols), "floor": floor,
        "plain": refused(plain.normalize_symbols),
    }, unit="ns", check=check)

