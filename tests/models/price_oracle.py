"""Plain-pandas reference versions of the price helpers (private_core.helpers).

The straightforward algorithms, as the helpers were written before the frames
engine took them over: one `from_records` and `to_datetime` for the rows, one
pandas resample per symbol. The tests compare the helpers with them, and bench/
times the helpers beside them.
"""

from __future__ import annotations

from typing import Any, Dict, List, Literal, Mapping, Optional, Sequence

import pandas as pd

__all__ = ["Interval", "IntervalIntraday", "resample_ohlcv_multi"]

Interval = Literal["1D", "1W", "1M"]
IntervalIntraday = Literal["1m", "5m", "15m", "30m", "1H", "1D"]

# Bins are closed and labelled on the left: a bar is stamped with the start of
# its period (weeks start on Monday, months on the 1st).
_RULES: Dict[str, str] = {
    "1m": "1min",
    "5m": "5min",
    "15m": "15min",
    "30m": "30min",
    "1H": "1h",
    "1D": "1D",
    "1W": "W-MON",
    "1M": "MS",
}

_AGG: Dict[str, str] = {
    "open": "first",
    "high": "max",
    "low": "min",
    "close": "last",
    "volume": "sum",
}

_TIME_COLUMNS = ("time", "date")


def _time_column(columns: Sequence[Any]) -> Optional[str]:
    for name in _TIME_COLUMNS:
        if name in columns:
            return name
    return None


def _to_dataframe(rows: Sequence[Mapping[str, Any]]) -> pd.DataFrame:
    """Build a DataFrame from decoded rows.

    Columns keep the order in which they are first seen (so "symbol" stays
    first); a key missing from some rows becomes NaN there. The time column
    ("time", else "date") is parsed with ``pd.to_datetime``.
    """
    columns: Dict[str, None] = {}
    for row in rows:
        for key in row:
            columns.setdefault(key, None)
    frame = pd.DataFrame.from_records(list(rows), columns=list(columns))
    tcol = _time_column(frame.columns)
    if tcol is not None:
        frame[tcol] = pd.to_datetime(frame[tcol])
    return frame


def _is_base_interval(times: pd.Series, interval: str) -> bool:
    # Nothing is finer than one-minute bars, and daily bars carry no time of
    # day; resampling either to its own interval would only copy it.
    if interval == "1m":
        return True
    if interval == "1D":
        return bool((times == times.dt.normalize()).all())
    return False


def resample_ohlcv_multi(frame: pd.DataFrame, interval: str = "1D") -> pd.DataFrame:
    """Resample OHLCV bars to ``interval``, separately for each symbol.

    open is the first, high the max, low the min, close the last value and
    volume the sum within each period; periods without bars are dropped.
    Bars are labelled with the start of their period (weeks start Monday,
    months on the 1st). Columns other than symbol, the time column and
    open/high/low/close/volume are left out of resampled output, since no
    single aggregation is right for all of them.

    A frame already at ``interval`` (daily bars for "1D", any frame for
    "1m") and an empty frame are returned as they are, not copied.

    Raises ValueError for an unknown interval or a frame without a "time" or
    "date" column.
    """
    rule = _RULES.get(interval)
    if rule is None:
        raise ValueError(
            f"unknown interval {interval!r}; expected one of {', '.join(_RULES)}"
        )
    if frame.empty:
        return frame
    tcol = _time_column(frame.columns)
    if tcol is None:
        raise ValueError("cannot resample: frame has no 'time' or 'date' column")

    times = pd.to_datetime(frame[tcol])
    if _is_base_interval(times, interval):
        return frame

    agg = {col: how for col, how in _AGG.items() if col in frame.columns}
    work = frame.assign(**{tcol: times}).sort_values(tcol, kind="stable")
    has_symbol = "symbol" in work.columns
    groups = work.groupby("symbol", sort=False) if has_symbol else [(None, work)]

    parts: List[pd.DataFrame] = []
    for symbol, group in groups:
        resampled = group.set_index(tcol).resample(rule, closed="left", label="left")
        counts = resampled.size()
        out = resampled.agg(agg) if agg else pd.DataFrame(index=counts.index)
        out = out[counts > 0].reset_index()
        if has_symbol:
            out.insert(0, "symbol", symbol)
        parts.append(out)

    keep = [c for c in frame.columns if c == "symbol" or c == tcol or c in agg]
    ordered = (["symbol"] if has_symbol else []) + [c for c in keep if c != "symbol"]
    return pd.concat(parts, ignore_index=True)[ordered]
