import sys as sys
from typing import Any, Dict, List, Optional, Sequence, Union

import pandas as pd  # type: ignore[import-untyped, unused-ignore]
from tavrix.exceptions import DataDecodingError as DataDecodingError

from .helpers import (
    IntervalIntraday,
    _to_dataframe as _to_dataframe,
    resample_ohlcv_multi as resample_ohlcv_multi,
)
from .progress import (
    finish_progress as finish_progress,
    start_progress as start_progress,
    update_progress as update_progress,
)
from .transport_base import HttpSession

ENDPOINT: str
ORDERBOOK_ENDPOINT: str

def _normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]:
    """Return a normalised, non-empty list of uppercase symbols."""

def _render_progress(current: int, total: int, symbol: str) -> None:
    """Render a progress bar"""

def fetch_ohlcv(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: IntervalIntraday = "1m",
    adjusted: Optional[bool] = None,
    *,
    show_progress: bool = True,
) -> pd.DataFrame:
    """Fetch raw OHLCV data for one or multiple symbols."""

def fetch_orderbook(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    target_date: Optional[str] = None,
    *,
    show_progress: bool = True,
) -> pd.DataFrame:
    """Fetch raw orderbook (tape) data for one or multiple symbols."""
