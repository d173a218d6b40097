"""End to end over loopback: batches fetched from the sandbox backend through
`fetch_ohlcv`, beside the floor and plain Python, plus one small round trip.

- 50 symbols x 1 year of end-of-day bars (`daily_bars.fetch_ohlcv`)
- 20 symbols x 1 day of one-minute bars (`tick_feed.fetch_ohlcv`), timed and, for
  memory, its tracemalloc peak
- 500 symbols x 1 day of one-minute bars resampled to "5m" (`tick_feed.fetch_ohlcv`,
  a market-wide universe; 100 symbols in quick mode), timed and its peak memory. Its
  floor adds one vectorised pandas aggregation to 5-minute bars; its plain version
  resamples symbol by symbol (tests/models/price_oracle.py)

The floor makes the same requests (same paths, parameters and headers) with a bare
`requests.Session`, calls `response.json()` on each and builds one
`pandas.DataFrame` from all rows. The plain-Python version is `fetch_ohlcv` written
as ordinary Python over a session class written in Python, with the same frame
helpers. All three share one kept-alive connection each to one sandbox.

The sandbox runs in its own process. It knows 24 symbols; for the 50-symbol batch
the launcher below adds synthetic ones, and it memoises the generated bars so the
server's share of each request is JSON encoding, not synthesising prices (which
would otherwise swamp the client's work being measured).
"""
from __future__ import annotations

import sys
from datetime import timedelta
from typing import Any, Callable, Dict, List, Optional, Tuple
from urllib.parse import urljoin

import pandas as pd
import requests
from tavrix.exceptions import HttpError
from tavrix_sandbox.app import DEMO_KEY
from tavrix_sandbox.data import latest_trading_day
from tavrix_sandbox.testing import Sandbox, start_sandbox

from private_core import daily_bars, tick_feed
from private_core.helpers import _to_dataframe, resample_ohlcv_multi
from private_core.transport_base import HttpSession

from cases_rows import py_normalize_symbols, py_symbol_rows
from harness import Case

from private_core_models import price_oracle

EOD_SYMBOLS = 50
MINUTE_SYMBOLS = 20
WIDE_SYMBOLS = {"quick": 100, "full": 500}
KNOWN = max(EOD_SYMBOLS, *WIDE_SYMBOLS.values())

LAUNCHER = """
import functools, sys
from tavrix_sandbox import data, server
base = list(data.STOCKS.items())
for n in range({extra}):
    name, info = base[n % len(base)]
    data.STOCKS[f"X{{n:02d}}"] = (f"Extra {{n}}", info[1], info[2] * (1 + n / 50), info[3])
data.eod_bar = functools.lru_cache(maxsize=None)(data.eod_bar)
data.intraday_bars = functools.lru_cache(maxsize=None)(data.intraday_bars)
sys.exit(server.main(["--threads", "2"]))
"""


def start_backend() -> Sandbox:
    from tavrix_sandbox.data import STOCKS

    extra = max(0, KNOWN - len(STOCKS))
    return start_sandbox(command=[sys.executable, "-c", LAUNCHER.format(extra=extra)])


def symbols_known() -> List[str]:
    from tavrix_sandbox.data import STOCKS

    names = sorted(STOCKS)
    return names + [f"X{n:02d}" for n in range(max(0, KNOWN - len(names)))]


# --- plain Python: the session and the fetcher ---------------------------------------


class PyHttpSession:
    """The authenticated session written as an ordinary Python class."""

    def __init__(self, api_key: str, base_url: str, timeout: int = 30):
        self.api_key = api_key
        self.base_url = base_url.rstrip("/")
        self.timeout = timeout
        self._session = requests.Session()
        self._session.headers.update({
            "Authorization": f"Bearer {api_key}",
            "Accept": "application/json",
            "Content-Type": "application/json",
        })

    def get(self, path: str, params: Optional[Dict[str, Any]] = None) -> requests.Response:
        url = path if path.startswith(("http://", "https://")) else urljoin(self.base_url + "/",
                                                                             path.lstrip("/"))
        try:
            response = self._session.request("GET", url, params=params, timeout=self.timeout)
        except requests.RequestException as exc:
            raise HttpError("Failed to reach Tavrix backend") from exc
        if response.status_code >= 400:
            raise HttpError(f"Tavrix backend returned HTTP {response.status_code} for {url}",
                            status_code=response.status_code, payload=response.text)
        return response

    def close(self) -> None:
        self._session.close()


def py_fetch(session: Any, endpoint: str, symbol: Any, extra: Dict[str, str], interval: str,
             helpers: Any = None) -> pd.DataFrame:
    symbols = py_normalize_symbols(symbol)
    all_rows = []
    for sym in symbols:
        py_symbol_rows(session, endpoint, sym, {"symbol": sym, **extra}, all_rows)
    if helpers is not None:
        return helpers.resample_ohlcv_multi(helpers._to_dataframe(all_rows), interval=interval)
    return resample_ohlcv_multi(_to_dataframe(all_rows), interval=interval)


# --- the floor -----------------------------------------------------------------------


def floor_fetch(session: requests.Session, url: str, requests_params: List[Dict[str, str]]) -> pd.DataFrame:
    rows = []
    for params in requests_params:
        data = session.get(url, params=params, timeout=30).json()["data"]
        symbol = params["symbol"]
        rows.extend({"symbol": symbol, **row} for row in data)
    return pd.DataFrame(rows)


# --- the cases -----------------------------------------------------------------------


class Backend:
    """The sandbox and one session of each kind, kept alive across the rounds."""

    def __init__(self) -> None:
        self.sandbox = start_backend()
        url = self.sandbox.base_url
        self.core = HttpSession(DEMO_KEY, base_url=url)
        self.plain = PyHttpSession(DEMO_KEY, url)
        self.bare = requests.Session()
        self.bare.headers.update({"Authorization": f"Bearer {DEMO_KEY}", "Accept": "application/json",
                                  "Content-Type": "application/json"})
        self.base = url

    def close(self) -> None:
        for session in (self.core, self.plain, self.bare):
            session.close()
        self.sandbox.stop()


def batches(backend: Backend) -> Tuple[Case, Case]:
    """The two batches as cases: (50 x 1 year end of day, 20 x 1 day one-minute)."""
    names = symbols_known()
    day = latest_trading_day()
    end, start = day.isoformat(), (day - timedelta(days=365)).isoformat()
    eod_symbols, minute_symbols = names[:EOD_SYMBOLS], names[:MINUTE_SYMBOLS]
    eod_url = backend.base + daily_bars.ENDPOINT
    minute_url = backend.base + tick_feed.ENDPOINT
    eod_params = [{"symbol": s, "interval": "1D", "start": start, "end": end} for s in eod_symbols]
    minute_params = [{"symbol": s, "interval": "1m", "start": end, "end": end} for s in minute_symbols]

    def check(rows_each: int, count: int) -> Callable[[Dict[str, Any]], None]:
        def run(results: Dict[str, Any]) -> None:
            core, floor, plain = results["core"], results["floor"], results["plain"]
            assert len(core) == len(floor) == len(plain) >= rows_each * count, (len(core), len(floor))
            assert core["symbol"].nunique() == count
            pd.testing.assert_frame_equal(core, plain)
            assert list(core["open"]) == list(floor["open"])
        return run

    eod = Case(f"end to end: {EOD_SYMBOLS} x 1 year daily", {
        "core": lambda: daily_bars.fetch_ohlcv(backend.core, eod_symbols, start, end, show_progress=False),
        "floor": lambda: floor_fetch(backend.bare, eod_url, eod_params),
        "plain": lambda: py_fetch(backend.plain, daily_bars.ENDPOINT, eod_symbols,
                                  {"interval": "1D", "start": start, "end": end}, "1D"),
    }, unit="ms", target=1.10, check=check(240, EOD_SYMBOLS), clock="wall")
    minute = Case(f"end to end: {MINUTE_SYMBOLS} x 1 day 1-minute", {
        "core": lambda: tick_feed.fetch_ohlcv(backend.core, minute_symbols, end, end, "1m",
                                              show_progress=False),
        "floor": lambda: floor_fetch(backend.bare, minute_url, minute_params),
        "plain": lambda: py_fetch(backend.plain, tick_feed.ENDPOINT, minute_symbols,
                                  {"interval": "1m", "start": end, "end": end}, "1m"),
    }, unit="ms", target=1.10, check=check(200, MINUTE_SYMBOLS), clock="wall")
    return eod, minute


def round_trip(backend: Backend) -> Case:
    """One small GET: what the session adds to a request over a kept-alive connection."""
    day = latest_trading_day().isoformat()
    params = {"symbol": "ALP", "start": day, "end": day}
    url = backend.base + daily_bars.ENDPOINT
    return Case("round trip: one small GET", {
        "core": lambda: backend.core.get(daily_bars.ENDPOINT, params=params).json(),
        "floor": lambda: backend.bare.get(url, params=params, timeout=30).json(),
        "plain": lambda: backend.plain.get(daily_bars.ENDPOINT, params=params).json(),
    }, unit="us", clock="wall")


def wide_resampled(backend: Backend, symbols: int) -> Case:
    """A market-wide day of one-minute bars resampled to 5 minutes."""
    names = symbols_known()[:symbols]
    day = latest_trading_day().isoformat()
    url = backend.base + tick_feed.ENDPOINT
    params = [{"symbol": s, "interval": "1m", "start": day, "end": day} for s in names]
    agg = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum"}

    def floor() -> pd.DataFrame:
        frame = floor_fetch(backend.bare, url, params)
        frame["time"] = pd.to_datetime(frame["time"])
        return frame.groupby(["symbol", pd.Grouper(key="time", freq="5min")]).agg(agg)

    def check(results: Dict[str, Any]) -> None:
        core, floor_frame, plain = results["core"], results["floor"], results["plain"]
        pd.testing.assert_frame_equal(core, plain, check_exact=True)
        assert len(core) == len(floor_frame) and core["symbol"].nunique() == symbols

    return Case(f"end to end: {symbols} x 1 day 1-minute -> 5m", {
        "core": lambda: tick_feed.fetch_ohlcv(backend.core, names, day, day, "5m",
                                              show_progress=False),
        "floor": floor,
        "plain": lambda: py_fetch(backend.plain, tick_feed.ENDPOINT, names,
                                  {"interval": "1m", "start": day, "end": day}, "5m",
                                  helpers=price_oracle),
    }, unit="ms", check=check, clock="wall")
