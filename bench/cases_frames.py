"""The price helpers on the frames engine, beside their floors and the per-symbol
pandas helpers they replaced (tests/models/price_oracle.py, the plain version).

- `_to_dataframe` on 500 symbols x 390 one-minute rows, as the intraday fetcher
  builds them (ns per row). Floor: `pandas.DataFrame(rows)`, pandas' own constructor
  of a frame from the list, without parsing the time column.
- `resample_ohlcv_multi` of the same bars to "5m". Floor: one vectorised pandas
  aggregation by symbol and 5-minute bin (no column order, no row order, no checks).

The helpers' results are checked equal to the plain version's before timing.
"""
from __future__ import annotations

from datetime import datetime, timedelta
from typing import Any, Dict, List

import pandas as pd

from private_core_models import price_oracle as plain

from private_core import helpers

from harness import Case

SYMBOLS, MINUTES = 500, 390
AGG = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum"}


def minute_rows(symbols: int = SYMBOLS, minutes: int = MINUTES) -> List[Dict[str, Any]]:
    """One day of one-minute bars per symbol, as the fetcher tags the backend's rows
    (one symbol object per symbol, ISO times, float prices, integer volumes)."""
    start = datetime(2024, 3, 4, 9, 0)
    times = [(start + timedelta(minutes=m)).isoformat() for m in range(minutes)]
    rows = []
    for s in range(symbols):
        symbol, base = f"S{s:03d}", 10.0 + s
        for m, t in enumerate(times):
            price = base + (m % 17) * 0.05
            rows.append({"symbol": symbol, "time": t, "open": price, "high": price + 0.1,
                         "low": price - 0.1, "close": price + 0.02, "volume": 100 + m})
    return rows


def cases() -> List[Case]:
    rows = minute_rows()
    frame = plain._to_dataframe(rows)

    def check(results: Dict[str, Any]) -> None:
        pd.testing.assert_frame_equal(results["core"], results["plain"], check_exact=True)

    def resample_floor() -> pd.DataFrame:
        return frame.groupby(["symbol", pd.Grouper(key="time", freq="5min")]).agg(AGG)

    return [
        Case(f"_to_dataframe ({SYMBOLS} x {MINUTES} 1-minute)", {
            "core": lambda: helpers._to_dataframe(rows),
            "floor": lambda: pd.DataFrame(rows),
            "plain": lambda: plain._to_dataframe(rows),
        }, unit="ns", per=len(rows), check=check),
        Case(f"resample_ohlcv_multi ({SYMBOLS} x {MINUTES} -> 5m)", {
            "core": lambda: helpers.resample_ohlcv_multi(frame, interval="5m"),
            "floor": resample_floor,
            "plain": lambda: plain.resample_ohlcv_multi(frame, interval="5m"),
        }, unit="ms", check=check),
    ]
