"""Per-call cost of the result cache, beside its floor and a plain-Python version.

The floor is what any implementation must pay: the RLock acquire/release and the
dict look-ups themselves. The plain-Python version is the straightforward algorithm
written as ordinary methods.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from threading import RLock
from typing import Any, Dict, List, Optional

from private_core.memo_layer import BaseMemoLayer
from private_core.memo_store import _Cache

from harness import Case


# --- the same methods in plain Python --------------------------------------------


@dataclass
class PyEntry:
    data: Any
    fetched_at: datetime
    params: Dict[str, Any] = field(default_factory=dict)
    expires_at: Optional[datetime] = None

    def is_expired(self) -> bool:
        if self.expires_at is None:
            return False
        return datetime.now() >= self.expires_at


class PyCache:
    def __init__(self, enable_singleflight: bool = True):
        self._store: dict = {}
        self._lock = RLock()
        self._inflight = {} if enable_singleflight else None
        self._singleflight = enable_singleflight

    def get(self, ns, key):
        with self._lock:
            bucket = self._store.get(ns)
            if not bucket:
                return None
            entry = bucket.get(key)
            if entry is None:
                return None
            if entry.is_expired():
                bucket.pop(key, None)
                return None
            return entry

    def set(self, ns, key, data, *, params=None, ttl=None):
        if params is not None and type(params) is not dict:
            raise TypeError("params")
        with self._lock:
            if ns not in self._store:
                self._store[ns] = {}
            expires_at = datetime.now() + ttl if ttl else None
            entry = PyEntry(data=data, fetched_at=datetime.now(), params=params or {}, expires_at=expires_at)
            self._store[ns][key] = entry
            return entry

    def _begin_inflight(self, ns, key) -> bool:
        if not self._singleflight:
            return True
        assert self._inflight is not None
        pair = (ns, key)
        with self._lock:
            count = self._inflight.get(pair, 0)
            self._inflight[pair] = count + 1
            return count == 0

    def _end_inflight(self, ns, key) -> None:
        if not self._singleflight:
            return
        assert self._inflight is not None
        pair = (ns, key)
        with self._lock:
            count = self._inflight.get(pair, 1)
            if count <= 1:
                self._inflight.pop(pair, None)
            else:
                self._inflight[pair] = count - 1


class PyMemoLayer:
    def __init__(self):
        self._cache = PyCache(enable_singleflight=True)

    def _fetch_with_cache(self, namespace, key, *, live, fetcher, ttl_live, ttl_history,
                          params=None, wait_timeout=1.0, wait_interval=0.05):
        if params is not None and type(params) is not dict:
            raise TypeError("params")
        wait_timeout = float(wait_timeout)
        wait_interval = float(wait_interval)
        if not live:
            entry = self._cache.get(namespace, key)
            if entry is not None:
                return entry.data
        should_fetch = self._cache._begin_inflight(namespace, key)
        try:
            if not should_fetch:
                deadline = time.monotonic() + wait_timeout
                while time.monotonic() < deadline:
                    entry = self._cache.get(namespace, key)
                    if entry is not None:
                        return entry.data
                    time.sleep(wait_interval)
            data = fetcher()
            self._cache.set(namespace, key, data, params=params, ttl=ttl_live if live else ttl_history)
            return data
        finally:
            self._cache._end_inflight(namespace, key)


class Client(BaseMemoLayer):
    pass


# --- the cases ----------------------------------------------------------------------


def cases() -> List[Case]:
    ns, key = "eod", ("VNM", "2024-01-01", "2024-03-01", "1D")
    frame = object()
    ttl = timedelta(minutes=1)

    lock = RLock()
    store = {ns: {key: PyEntry(frame, datetime.now())}}
    inflight: dict = {}
    pair = (ns, key)

    # Hits are measured on entries without expiry: what the non-live path stores
    # (ttl_history is None), so no clock is read on a hit.
    core, plain = _Cache(), PyCache()
    core.set(ns, key, frame)
    plain.set(ns, key, frame)
    client, plain_client = Client(), PyMemoLayer()
    for obj in (client, plain_client):
        obj._fetch_with_cache(ns, key, live=False, fetcher=lambda: frame, ttl_live=ttl, ttl_history=None)

    # The floors: the lock and the dict operations alone, written inline (the
    # plain version's store, so the look-up floor reads an entry like theirs).
    def floor_lookup():
        with lock:
            return store.get(ns).get(key)

    def floor_store():
        # A stored entry carries its data, fetch time and expiry: the clock read,
        # the sum and one record stored under the lock.
        with lock:
            now = datetime.now()
            store[ns][key] = (frame, now, None, now + ttl)

    def floor_count():
        with lock:
            inflight[pair] = inflight.get(pair, 0) + 1
        with lock:
            del inflight[pair]

    def begin_end(cache):
        def run():
            cache._begin_inflight(ns, key)
            cache._end_inflight(ns, key)
        return run

    def same(results):
        assert results["core"] is results["plain"] is frame

    return [
        Case("cache hit (_fetch_with_cache)", {
            "core": lambda: client._fetch_with_cache(ns, key, live=False, fetcher=None, ttl_live=ttl,
                                                     ttl_history=None),
            "floor": floor_lookup,
            "plain": lambda: plain_client._fetch_with_cache(ns, key, live=False, fetcher=None,
                                                            ttl_live=ttl, ttl_history=None),
        }, unit="ns", check=same),
        Case("cache: _Cache.get hit", {
            "core": lambda: core.get(ns, key), "floor": floor_lookup, "plain": lambda: plain.get(ns, key),
        }, unit="ns"),
        Case("cache: _Cache.set", {
            "core": lambda: core.set(ns, key, frame, ttl=ttl), "floor": floor_store,
            "plain": lambda: plain.set(ns, key, frame, ttl=ttl),
        }, unit="ns"),
        Case("cache: _begin/_end_inflight", {
            "core": begin_end(core), "floor": floor_count, "plain": begin_end(plain),
        }, unit="ns"),
    ]
