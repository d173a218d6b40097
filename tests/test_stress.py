"""Thread stress of the result cache: sixteen real threads hammer one shared _Cache,
directly and through BaseMemoLayer._fetch_with_cache, for a bounded time.

The run lasts PRIVATE_CORE_STRESS_SECONDS per switch interval (0.6 s by default, so
about 2 s for the whole module); set it higher for a long local run. Small switch
intervals make the interpreter hand the GIL over between almost every bytecode and
C API call that may release it, which is where races in native code show up.
"""

import itertools
import os
import random
import sys
import threading
import time
from collections import Counter
from datetime import timedelta

import pytest

from private_core.memo_layer import BaseMemoLayer
from private_core.memo_store import CacheEntry

SECONDS = float(os.environ.get("PRIVATE_CORE_STRESS_SECONDS", "0.6"))
THREADS = 16



class YieldingKey:
    """A key whose hashing and comparison run Python code that gives up the GIL, so
    other threads run in the middle of the cache's dict operations."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        time.sleep(0)
        return hash(self.name)

    def __eq__(self, other):
        time.sleep(0)
        return isinstance(other, YieldingKey) and other.name == self.name

    def __repr__(self):
        return f"YieldingKey({self.name!r})"


DIRECT_PAIRS = [(ns, (k,)) for ns in ("d0", "d1", "d2") for k in range(3)]
DIRECT_PAIRS += [("d0", (YieldingKey("y"),)), ("d1", (YieldingKey("y"), 1))]
LAYER_PAIRS = [("f0", ("A", 1)), ("f0", ("B", 1)), ("f1", ("A", 1)), ("f1", ("A", 2)),
               ("f1", (YieldingKey("A"), 1))]
TTLS = [None, timedelta(0), timedelta(seconds=30), timedelta(microseconds=200), timedelta(seconds=-1)]


# One draw inside each operation's band below.
FIRST_ROLLS = [0.1, 0.45, 0.6, 0.75, 0.85, 0.92, 0.96, 0.98, 0.995]


class FetchFailed(Exception):
    """The fetchers' own error: the only one allowed out of _fetch_with_cache."""


class Token:
    """A unique result, tagged with the pair it was made for."""

    serial = itertools.count()

    def __init__(self, pair, origin):
        self.pair, self.origin, self.serial = pair, origin, next(Token.serial)


class Reentrant(Token):
    """A result whose destructor reads the cache: entries are dropped under the cache's
    lock (eviction, clears, replacement), so this re-enters it from inside a dict
    operation on the same thread."""

    problems = []

    def __init__(self, pair, origin, cache):
        super().__init__(pair, origin)
        self.cache = cache

    def __del__(self):
        try:
            entry = self.cache.get(*self.pair)
            assert entry is None or entry.data.pair == self.pair
        except BaseException as exc:  # a destructor cannot raise: record it
            Reentrant.problems.append(repr(exc))


class Layer(BaseMemoLayer):
    pass


class Run:
    def __init__(self):
        self.layer = Layer()
        self.cache = self.layer._cache
        self.produced = {pair: set() for pair in LAYER_PAIRS}
        self.returned = []  # (pair, token) of every _fetch_with_cache result
        self.problems = []  # anything that must not happen, as text
        self.ops, self.ops_lock = Counter(), threading.Lock()

    def fetcher(self, rng, pair):
        kind = rng.random()
        sleep = rng.random() < 0.3
        fail = rng.random() < 0.15

        def fetch():
            if sleep:
                time.sleep(rng.choice((0.0005, 0.001, 0.003)))
            if fail:
                raise FetchFailed(pair)
            token = Reentrant(pair, "fetch", self.cache) if kind < 0.2 else Token(pair, "fetch")
            self.produced[pair].add(token.serial)
            return token

        return fetch

    def check_entry(self, pair, entry):
        if entry is None:
            return
        if type(entry) is not CacheEntry or entry.data.pair != pair:
            self.problems.append(f"get{pair} returned {entry!r}")

    def worker(self, index, deadline):
        rng = random.Random(index)
        cache, layer, ops = self.cache, self.layer, Counter()
        own = (f"t{index}", ("private",))  # only this thread counts this pair
        first = True
        try:
            # The first operation of each thread is fixed, so that every kind runs
            # however slow the machine; the rest are drawn at random.
            while first or time.monotonic() < deadline:
                roll = FIRST_ROLLS[index % len(FIRST_ROLLS)] if first else rng.random()
                first = False
                if roll < 0.35:
                    pair = rng.choice(LAYER_PAIRS)
                    try:
                        token = layer._fetch_with_cache(
                            *pair, live=rng.random() < 0.4, fetcher=self.fetcher(rng, pair),
                            ttl_live=rng.choice(TTLS), ttl_history=rng.choice(TTLS),
                            params=rng.choice((None, {"p": 1})),
                            wait_timeout=rng.choice((0, 0.002, 0.01)), wait_interval=0.0005)
                    except FetchFailed as exc:
                        if exc.args != (pair,):
                            self.problems.append(f"another pair's failure: {exc.args}")
                    else:
                        self.returned.append((pair, token))
                    ops["fetch_with_cache"] += 1
                elif roll < 0.55:
                    pair = rng.choice(DIRECT_PAIRS + LAYER_PAIRS)
                    self.check_entry(pair, cache.get(*pair))
                    ops["get"] += 1
                elif roll < 0.70:
                    pair = rng.choice(DIRECT_PAIRS)
                    data = Reentrant(pair, "set", cache) if rng.random() < 0.2 else Token(pair, "set")
                    entry = cache.set(*pair, data, params=rng.choice((None, {}, {"a": 1})),
                                      ttl=rng.choice(TTLS))
                    if entry.data is not data:
                        self.problems.append("set returned another entry")
                    ops["set"] += 1
                elif roll < 0.82:
                    # Single flight on a shared pair: begin/end always paired.
                    pair = rng.choice(DIRECT_PAIRS)
                    depth = rng.randint(1, 3)
                    for _ in range(depth):
                        cache._begin_inflight(*pair)
                    if rng.random() < 0.5:
                        time.sleep(0)
                    for _ in range(depth):
                        cache._end_inflight(*pair)
                    ops["inflight"] += 2 * depth
                elif roll < 0.90:
                    # A pair only this thread touches: exact counts while others churn.
                    depth = rng.randint(1, 4)
                    got = [cache._begin_inflight(*own) for _ in range(depth)]
                    if got != [True] + [False] * (depth - 1) or cache._inflight.get(own) != depth:
                        self.problems.append(f"private pair counted {got}")
                    for _ in range(depth):
                        cache._end_inflight(*own)
                    if own in cache._inflight:
                        self.problems.append("private pair left counted")
                    ops["inflight"] += 2 * depth
                elif roll < 0.94:
                    # Failures inside the locked section must release the lock.
                    try:
                        cache.get(["unhashable"], ("k",))
                    except TypeError:
                        pass
                    else:
                        self.problems.append("unhashable namespace accepted")
                    ops["failing get"] += 1
                elif roll < 0.975:
                    cache.clear_ns(rng.choice(("d0", "d1", "d2", "f0", "f1", "absent")))
                    ops["clear_ns"] += 1
                elif roll < 0.99:
                    layer.clear_cache(rng.choice((None, "", "f0")))
                    ops["clear_cache"] += 1
                else:
                    cache.clear_all()
                    ops["clear_all"] += 1
        except BaseException as exc:
            self.problems.append(f"thread {index}: {exc!r}")
        finally:
            with self.ops_lock:
                self.ops.update(ops)

    def run(self, seconds):
        deadline = time.monotonic() + seconds
        threads = [threading.Thread(target=self.worker, args=(i, deadline), daemon=True)
                   for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(seconds + 10)
        return [t.name for t in threads if t.is_alive()]


@pytest.mark.parametrize("switch_interval", [None, 1e-5, 1e-6])
def test_sixteen_threads_on_one_cache(switch_interval):
    previous = sys.getswitchinterval()
    Reentrant.problems.clear()
    run = Run()
    try:
        if switch_interval:
            sys.setswitchinterval(switch_interval)
        stuck = run.run(SECONDS)
    finally:
        sys.setswitchinterval(previous)
    assert stuck == [], "threads still running: deadlock or lost wake-up"
    assert run.problems == [] and Reentrant.problems == []
    # Every caller left its single-flight section, and the lock is free.
    assert run.cache._inflight == {}
    assert run.cache._lock.acquire(timeout=1)
    run.cache._lock.release()
    # Each result came from a fetcher for that very pair (stored, shared or its own).
    for pair, token in run.returned:
        assert token.pair == pair and token.origin == "fetch"
        assert token.serial in run.produced[pair]
    # Every kind of operation really ran, and the layer both fetched and shared results.
    assert set(run.ops) >= {"fetch_with_cache", "get", "set", "inflight", "clear_ns",
                            "clear_cache", "clear_all", "failing get"}
    produced = sum(map(len, run.produced.values()))
    assert run.returned and produced
    print(f"\n{THREADS} threads x {SECONDS:g} s, switch interval {switch_interval}: "
          f"{sum(run.ops.values())} operations {dict(run.ops)}; "
          f"{len(run.returned)} results from {produced} fetches")
