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

from collections.abc import Sequence
from typing import List

from tavrix.exceptions import DataDecodingError

from private_core import daily_bars

from harness import Case

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


def py_symbol_rows(session, endpoint, sym, params, all_rows):
    """One symbol's request and decode checks, its rows tagged and appended."""
    response = session.get(endpoint, params=params)
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
        if not isinstance(item, dict):
            raise DataDecodingError("Each OHLCV row must be a dictionary.")
        row = {"symbol": sym}
        row.update(item)
        all_rows.append(row)


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
        py_symbol_rows(session, "/market-data/eod/ohlcv", sym, params, all_rows)
        if show_progress:
            noop(index)
    noop()
    if not all_rows:
        return None
    return identity(identity(all_rows), interval=interval)


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
        # Frame building, resampling and progress are the plain-Python helpers, the
        # same for every variant: replaced by no-ops here so only the loop is timed.
        saved = {n: getattr(daily_bars, n) for n in PATCHED}
        for n in PATCHED:
            setattr(daily_bars, n, identity if n in ("_to_dataframe", "resample_ohlcv_multi") else noop)
        try:
            return daily_bars.fetch_ohlcv(session, symbols)
        finally:
            for n, v in saved.items():
                setattr(daily_bars, n, v)

    def check(results):
        assert results["core"] == results["floor"] == results["plain"]

    return [Case(f"batch row loop ({SYMBOLS} x {ROWS} rows)", {
        "core": core, "floor": floor, "plain": lambda: py_fetch_ohlcv(session, symbols),
    }, unit="ns", per=SYMBOLS * ROWS, check=check), error_path()]


def error_path() -> Case:
    """A fetcher's argument check failing: what an error costs from raise to caller.
    The floor raises and catches the same TypeError inline."""
    bad = ["ALP", "BOR", 5]
    message = "All symbols in the sequence must be strings."

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
        "plain": refused(py_normalize_symbols),
    }, unit="ns", check=check)


PATCHED = ("start_progress", "update_progress", "finish_progress", "_to_dataframe", "resample_ohlcv_multi")
