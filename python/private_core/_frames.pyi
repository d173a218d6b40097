from typing import Any, Optional, Sequence

import pandas as pd  # type: ignore[import-untyped, unused-ignore]

def rows_to_frame(rows: Any, time_columns: Sequence[str]) -> Optional[pd.DataFrame]: ...
def resample_ohlcv(
    frame: pd.DataFrame, time_column: str, times: pd.Series, interval: str,
) -> Optional[pd.DataFrame]: ...
