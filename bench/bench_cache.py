"""Per-call cost of the result cache, beside its floor and a plain-Python version.

The floor is what any implementation must pay: the RLock acquire/release and the
dict look-ups themselves, timed in the same run. The plain-Python version is the
straightforward algorithm written as ordinary methods.

    python bench/bench_cache.py [--quick]
"""
from __future__ import annotations

import os

# Quiet the machine before pandas loads: numerical library threads and CPU
# migration both add noise far larger than the costs measured here.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
if hasattr(os, "sched_setaffinity"):
    os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})

import argparse
import sys
import time
import timeit
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from threading import RLock
from typing import Any, Dict, Optional

from private_core.memo_layer import BaseMemoLayer
from private_core.memo_store import _Cache


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


# --- measurement ------------------------------------------------------------------


def ns_per_call(stmts, scope: dict, number: int, repeat: int) -> list:
    """Best time per call of each statement, the statements interleaved per round so
    that drift affects them alike."""
    timers = [timeit.Timer(stmt, globals=scope) for stmt in stmts]
    best = [float("inf")] * len(timers)
    for timer in timers:  # warm caches and the clock frequency first
        timer.timeit(number)
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number))
    return [t / number * 1e9 for t in best]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer iterations")
    args = parser.parse_args()
    number, repeat = (20_000, 3) if args.quick else (10_000, 150)

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
    scope = dict(globals(), **locals())

    fetch = "{}._fetch_with_cache(ns, key, live=False, fetcher=None, ttl_live=ttl, ttl_history=None)"
    begin_end = "{0}._begin_inflight(ns, key); {0}._end_inflight(ns, key)"
    # The floors: the lock and the dict operations alone, written inline.
    floor_lookup = "with lock: store.get(ns).get(key)"
    floor_count = (
        "with lock: inflight[pair] = inflight.get(pair, 0) + 1\n"
        "with lock: del inflight[pair]"
    )
    rows = [
        ("_fetch_with_cache hit (not live)", fetch.format("client"), fetch.format("plain_client"), floor_lookup),
        ("_Cache.get hit", "core.get(ns, key)", "plain.get(ns, key)", floor_lookup),
        ("_Cache.set", "core.set(ns, key, frame, ttl=ttl)", "plain.set(ns, key, frame, ttl=ttl)", floor_lookup),
        ("_begin_inflight + _end_inflight", begin_end.format("core"), begin_end.format("plain"), floor_count),
    ]
    print(f"Python {sys.version.split()[0]}; ns per call, best of {repeat} x {number}")
    header = f"{'operation':34} {'core':>8} {'floor':>8} {'plain':>8} {'core/floor':>11} {'plain/core':>11}"
    print(header)
    print("-" * len(header))
    for name, ours, theirs, floor in rows:
        t_core, t_floor, t_plain = ns_per_call([ours, floor, theirs], scope, number, repeat)
        print(f"{name:34} {t_core:8.0f} {t_floor:8.0f} {t_plain:8.0f} {t_core / t_floor:10.2f}x {t_plain / t_core:10.2f}x")


if __name__ == "__main__":
    main()
