from datetime import timedelta
from typing import Any, Callable, Dict, Optional

import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from .memo_store import CacheKey, Namespace, _Cache

__all__ = ["BaseMemoLayer"]

class BaseMemoLayer:
    _cache: _Cache
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def clear_cache(self, ns: Optional[str] = None) -> None: ...
    def _fetch_with_cache(
        self,
        namespace: Namespace,
        key: CacheKey,
        *,
        live: bool,
        fetcher: Callable[[], pd.DataFrame],
        ttl_live: Optional[timedelta],
        ttl_history: Optional[timedelta],
        params: Optional[Dict[str, Any]] = None,
        wait_timeout: float = 1.0,
        wait_interval: float = 0.05,
    ) -> pd.DataFrame: ...
