from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from threading import RLock
from typing import Any, Dict, Hashable, Optional, Tuple

import pandas as pd  # type: ignore[import-untyped, unused-ignore]

__all__ = ["_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"]

CacheKey = Tuple[Hashable, ...]
Namespace = str

@dataclass
class CacheEntry:
    data: pd.DataFrame
    fetched_at: datetime
    params: Dict[str, Any] = field(default_factory=dict)
    expires_at: Optional[datetime] = None
    def is_expired(self) -> bool: ...

class _Cache:
    _store: Dict[Namespace, Dict[CacheKey, CacheEntry]]
    _lock: RLock
    _inflight: Optional[Dict[Tuple[Namespace, CacheKey], int]]
    _singleflight: Any
    def __init__(self, enable_singleflight: bool = True) -> None: ...
    def get(self, ns: Namespace, key: CacheKey) -> Optional[CacheEntry]: ...
    def set(
        self,
        ns: Namespace,
        key: CacheKey,
        data: pd.DataFrame,
        *,
        params: Optional[Dict[str, Any]] = None,
        ttl: Optional[timedelta] = None,
    ) -> CacheEntry: ...
    def clear_ns(self, ns: Namespace) -> None: ...
    def clear_all(self) -> None: ...
    def _begin_inflight(self, ns: Namespace, key: CacheKey) -> bool: ...
    def _end_inflight(self, ns: Namespace, key: CacheKey) -> None: ...

def to_date(d: Any) -> date: ...
def is_today(d: Any) -> bool: ...
