"""Plain-Python models of the price fetchers (daily_bars, tick_feed): symbol
normalisation, the progress bar and the batch loop the three fetchers share, as
documented. The tests compare the modules with them; bench/ times the loop beside them."""
import sys
from collections.abc import Sequence

from tavrix.exceptions import DataDecodingError

NOT_A_SEQUENCE = "symbol must be a string or a sequence of strings."
NOT_STRINGS = "All symbols in the sequence must be strings."
NO_SYMBOL = "symbol sequence must contain at least one non-empty string."
EMPTY = "symbol must not be empty."
MESSAGES = (NOT_A_SEQUENCE, NOT_STRINGS, NO_SYMBOL, EMPTY)

# kind -> (endpoint, progress label, wording in messages, query after the symbol,
# interval resampled to (None: the frame as built))
FETCHERS = {
    "eod": ("/market-data/eod/ohlcv", "Batch EOD", "OHLCV", {"interval": "1D"}, "1D"),
    "intraday": ("/market-data/intraday/ohlcv", "Batch intraday", "OHLCV", {"interval": "1m"}, "1m"),
    "orderbook": ("/market-data/intraday/orderbook", "Orderbook intraday", "orderbook", {}, None),
}


def normalize_symbols(symbols):
    """Trimmed, upper-cased text of each symbol, blanks skipped, duplicates (after
    normalising) dropped in first-seen order. A str subclass counts by its text: its
    own strip() and upper() are not trusted."""
    if isinstance(symbols, str):
        cleaned = str.__str__(symbols).strip()
        if not cleaned:
            raise ValueError(EMPTY)
        return [cleaned.upper()]
    if isinstance(symbols, bytes) or not isinstance(symbols, Sequence):
        raise TypeError(NOT_A_SEQUENCE)
    items = list(symbols)
    if not all(isinstance(item, str) for item in items):
        raise TypeError(NOT_STRINGS)
    result, seen = [], set()
    for item in items:
        symbol = str.__str__(item).strip().upper()
        if symbol and symbol not in seen:
            seen.add(symbol)
            result.append(symbol)
    if not result:
        raise ValueError(NO_SYMBOL)
    return result


def render_progress(current, total, symbol):
    """The bar written to sys.stdout and flushed; a newline (flushed too) once done."""
    for name, value, kind in (("current", current, int), ("total", total, int), ("symbol", symbol, str)):
        if type(value) is not kind:  # the start of the message; the rest names the type
            raise TypeError(f"Argument '{name}' has incorrect type (expected {kind.__name__}, got ")
    if total <= 0:
        return
    progress = current / total
    filled = int(49 * progress)
    sys.stdout.write(f"\r[{'*' * filled}{' ' * (49 - filled)}] {int(progress * 100.0):3d}%  "
                     f"{current} of {total} completed | {symbol}")
    sys.stdout.flush()
    if current == total:
        sys.stdout.write("\n")
        sys.stdout.flush()


def symbol_rows(session, endpoint, symbol, params, rows, wording="OHLCV"):
    """One symbol's request and decode checks; its rows, tagged, appended to `rows`."""
    response = session.get(endpoint, params=params)
    try:
        payload = response.json()
    except ValueError as exc:
        raise DataDecodingError(f"Unable to decode {wording} response as JSON") from exc
    if not isinstance(payload, dict):
        raise DataDecodingError(f"Unexpected payload structure for {wording} response.")
    if payload.get("error"):
        raise DataDecodingError(f"Backend returned error for {symbol}: {payload['error']}")
    data = payload.get("data")
    if not isinstance(data, list):
        raise DataDecodingError(f"Unexpected payload format for {wording} series.")
    for item in data:
        if not isinstance(item, dict):
            raise DataDecodingError(f"Each {wording} row must be a dictionary.")
        row = {"symbol": symbol}
        row.update(item)
        rows.append(row)


def fetch(kind, session, symbol, show_progress=True, hooks=None):
    """A fetcher called with its defaults. `hooks` gives the progress hooks, pd and
    the frame helpers (the fetcher's module, as the fetcher reads them)."""
    endpoint, label, wording, query, interval = FETCHERS[kind]
    symbols = normalize_symbols(symbol)
    rows = []
    hooks.start_progress(len(symbols), label)
    for index, current in enumerate(symbols, start=1):
        symbol_rows(session, endpoint, current, {"symbol": current, **query}, rows, wording)
        if show_progress:
            hooks.update_progress(index)
    hooks.finish_progress()
    if not rows:
        return hooks.pd.DataFrame()
    frame = hooks._to_dataframe(rows)
    return frame if interval is None else hooks.resample_ohlcv_multi(frame, interval=interval)
