"""A client of the native core, run against the local sandbox backend.

Uses the core the way the public package does: one HttpSession from the API key,
key validation, the price fetchers, and the investor engine behind a cached client
object. Start it with `bash tools/demo.sh`, or `python examples/demo.py --help`.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from datetime import date, timedelta
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import pandas as pd

try:
    from private_core import keygate, memo_rules
    from private_core.daily_bars import fetch_ohlcv as fetch_eod
    from private_core.memo_layer import BaseMemoLayer
    from private_core.tick_feed import fetch_ohlcv as fetch_intraday
    from private_core.tick_feed import fetch_orderbook
    from private_core.transport_base import HttpSession
except ImportError as exc:
    sys.exit(f"demo: private_core is incomplete: {exc}")

# The investor engine lands in its own step of the build; until it is there the demo
# says so and skips that section rather than hide the rest.
try:
    from private_core.investor.flow_engine import InvestorFlowEngine
except ModuleNotFoundError as exc:
    if exc.name != "private_core.investor.flow_engine":
        raise
    InvestorFlowEngine = None

CLIENT_VERSION = "0.1.0"
BATCH = ["ALP", "BOR", "SOL", "WAV", "ZEN"]
INVESTOR_STOCKS = ["SOL", "TAV", "WAV"]


class InvestorClient(BaseMemoLayer):
    """What a client class of the public package looks like: its own cache, and
    every fetch through _fetch_with_cache."""

    def __init__(self, session: HttpSession) -> None:
        super().__init__()
        self.engine = InvestorFlowEngine(session)

    def stock_flow(self, symbols: Sequence[str], start: str, end: str, *, group: str = "foreign",
                   interval: str = "1W") -> pd.DataFrame:
        params = {"ids": list(symbols), "group": group, "start": start, "end": end,
                  "interval": interval}
        return self._fetch_with_cache(
            "investor:stock:flow",
            (tuple(symbols), group, start, end, interval),
            live=memo_rules.touches_latest_trading_day(end),
            fetcher=lambda: self.engine.fetch_df("stock", "flow", params),
            ttl_live=memo_rules.ttl_eod_latest(),
            ttl_history=memo_rules.ttl_eod_history(),
        )


def last_closed_trading_day(today: date) -> date:
    """The latest weekday before today: history, not live data."""
    day = today - timedelta(days=1)
    while day.weekday() >= 5:
        day -= timedelta(days=1)
    return day


def timed(timings: List[Tuple[str, float]], label: str, fn: Callable[[], Any]) -> Any:
    t0 = time.perf_counter()
    result = fn()
    timings.append((label, time.perf_counter() - t0))
    return result


def heading(text: str) -> None:
    print(f"\n== {text}")


def show(frame: pd.DataFrame, rows: int = 6) -> None:
    with pd.option_context("display.width", 120, "display.max_columns", 12,
                           "display.float_format", "{:,.2f}".format):
        print(frame.head(rows).to_string(index=False))


def eod_summary(bars: pd.DataFrame) -> pd.DataFrame:
    out = []
    for symbol, group in bars.groupby("symbol", sort=True):
        group = group.sort_values("date")
        first, last = group.iloc[0], group.iloc[-1]
        out.append({
            "symbol": symbol,
            "days": len(group),
            "first": first["date"].date().isoformat(),
            "last": last["date"].date().isoformat(),
            "close": last["close"],
            "change %": (last["close"] / first["close"] - 1) * 100,
            "low": group["low"].min(),
            "high": group["high"].max(),
            "avg volume": f"{group['volume'].mean():,.0f}",
        })
    return pd.DataFrame(out)


def save_chart(bars: pd.DataFrame, path: str) -> str:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 4.8), dpi=110)
    for symbol, group in bars.groupby("symbol", sort=True):
        group = group.sort_values("date")
        ax.plot(group["date"], group["close"] / group["close"].iloc[0] * 100, label=symbol,
                linewidth=1.4)
    ax.set_title("End-of-day close, first day = 100 (sandbox data)")
    ax.set_ylabel("indexed close")
    ax.grid(alpha=0.3)
    ax.legend(ncol=len(BATCH), loc="upper left", fontsize=8)
    fig.autofmt_xdate()
    fig.tight_layout()
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    fig.savefig(path)
    plt.close(fig)
    return os.path.abspath(path)


def run(base_url: str, api_key: str, chart_path: str, requests_made: Callable[[], int]) -> None:
    timings: List[Tuple[str, float]] = []
    end_day = last_closed_trading_day(date.today())
    start_day = end_day - timedelta(days=120)
    start, end = start_day.isoformat(), end_day.isoformat()

    with HttpSession(api_key, base_url=base_url, version=CLIENT_VERSION) as session:
        heading(f"API key check against {base_url}")
        answer = timed(timings, "validate",
                       lambda: keygate.validate_api_key(session, client_version=CLIENT_VERSION))
        print(f"valid={answer.valid} plan={answer.plan} "
              f"min_client_version={answer.min_client_version}: {answer.message}")
        if not answer.valid:
            raise RuntimeError(f"API key refused: {answer.message}")

        heading(f"End-of-day bars, {len(BATCH)} symbols, {start} to {end}")
        bars = timed(timings, f"eod x{len(BATCH)}",
                     lambda: fetch_eod(session, BATCH, start, end))
        print(f"{len(bars)} bars")
        show(eod_summary(bars), rows=len(BATCH))

        heading(f"Intraday bars for SOL on {end}, one-minute bars resampled to 5 minutes")
        intraday = timed(timings, "intraday",
                         lambda: fetch_intraday(session, "SOL", end, end, "5m",
                                                show_progress=False))
        print(f"{len(intraday)} five-minute bars")
        show(intraday)

        heading(f"Orderbook tape for SOL on {end}")
        tape = timed(timings, "orderbook",
                     lambda: fetch_orderbook(session, "SOL", end, show_progress=False))
        by_side = tape.groupby("side")["volume"].sum()
        print(f"{len(tape)} matched orders; buy-side volume {by_side.get('B', 0):,}, "
              f"sell-side volume {by_side.get('S', 0):,}")
        show(tape, rows=5)

        inv_start = (end_day - timedelta(days=41)).isoformat()
        if InvestorFlowEngine is None:
            heading("Weekly investor flows: SKIPPED, private_core.investor.flow_engine "
                    "is not built in this checkout")
        else:
            investor_section(session, inv_start, end, timings, requests_made)

    heading("Chart")
    print(f"saved {save_chart(bars, chart_path)}")

    total = sum(seconds for _, seconds in timings)
    parts = " | ".join(f"{label} {seconds * 1000:.1f} ms" for label, seconds in timings)
    print(f"\ntimings: {parts} | total {total * 1000:.1f} ms")


def investor_section(session: HttpSession, inv_start: str, end: str,
                     timings: List[Tuple[str, float]], requests_made: Callable[[], int]) -> None:
    heading(f"Weekly foreign flows for {', '.join(INVESTOR_STOCKS)}, {inv_start} to {end}")
    client = InvestorClient(session)
    before = requests_made()
    flows = timed(timings, "investor",
                  lambda: client.stock_flow(INVESTOR_STOCKS, inv_start, end))
    sent_first = requests_made() - before
    before = requests_made()
    again = timed(timings, "investor (cached)",
                  lambda: client.stock_flow(INVESTOR_STOCKS, inv_start, end))
    sent_again = requests_made() - before
    table = flows.pivot_table(index="date", columns="symbol", values="net_value")
    table.index = [d.date().isoformat() for d in table.index]
    with pd.option_context("display.width", 120, "display.float_format", "{:,.0f}".format):
        print("net value by week (buy - sell):")
        print(table.to_string())
    cached = again is flows
    print(f"first call: {sent_first} requests; second call: {sent_again} requests, "
          f"{'the same frame from the cache' if cached else 'a NEW frame'}")
    if sent_again != 0 or not cached:
        raise RuntimeError("the second investor call was not served from the cache")


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0,
                        help="port for the sandbox backend (default: a free one)")
    parser.add_argument("--api-key", default="demo-key", help="API key to use (default demo-key)")
    parser.add_argument("--chart", default=os.path.join("demo_output", "eod_batch.png"),
                        help="where to save the price chart (PNG)")
    args = parser.parse_args(argv)

    from tavrix_sandbox.testing import SandboxError, start_sandbox

    try:
        sandbox = start_sandbox(["--port", str(args.port)])
    except SandboxError as exc:
        print(f"demo: {exc}", file=sys.stderr)
        return 1
    try:
        run(sandbox.base_url, args.api_key, args.chart, sandbox.requests_made)
    except Exception as exc:  # one clear line instead of a traceback
        print(f"demo: failed: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    finally:
        sandbox.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
