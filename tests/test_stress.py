"""Real threads on the result cache: sixteen hammer one shared _Cache, directly and through
BaseMemoLayer._fetch_with_cache, while two callers of one pair duel on fresh clients.

A run lasts PRIVATE_CORE_STRESS_SECONDS per switch interval (0.6 s by default; set it
higher for a long local run). Small switch intervals hand the GIL over between almost
every bytecode and C API call that may release it, where races in native code show up."""
import contextlib
import itertools
import os
import random
import sys
import threading
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta

import pytest

from fakes import MEMO_PAIR as PAIR, Boom, Fetcher, MemoClient as Client, memo_fetch as fetch
from private_core.memo_store import CacheEntry

SECONDS, THREADS = float(os.environ.get("PRIVATE_CORE_STRESS_SECONDS", "0.6")), 16


class YieldingKey:
    """Hashing and comparison give up the GIL: other threads run inside the cache's dict operations."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        time.sleep(0)
        return hash(self.name)

    def __eq__(self, other):
        time.sleep(0)
        return isinstance(other, YieldingKey) and other.name == self.name


DIRECT_PAIRS = [(ns, (k,)) for ns in ("d0", "d1", "d2") for k in range(3)]
DIRECT_PAIRS += [("d0", (YieldingKey("y"),)), ("d1", (YieldingKey("y"), 1))]
LAYER_PAIRS = [("f0", ("A", 1)), ("f0", ("B", 1)), ("f1", ("A", 1)), ("f1", ("A", 2)), ("f1", (YieldingKey("A"), 1))]
TTLS = [None, timedelta(0), timedelta(seconds=30), timedelta(microseconds=200), timedelta(seconds=-1)]
OPS = [(0.35, "fetch_with_cache"), (0.55, "get"), (0.70, "set"), (0.82, "inflight"), (0.90, "private inflight"),
       (0.94, "failing get"), (0.975, "clear_ns"), (0.99, "clear_cache"), (1.0, "clear_all")]  # (top of band, kind)


class Token:
    """A unique result, tagged with the pair it was made for. With a cache (re-entrant),
    its destructor reads that cache: entries are dropped under the cache's lock (eviction,
    clears, replacement), so this re-enters it from inside a dict operation."""

    serial, problems = itertools.count(), []

    def __init__(self, pair, origin, cache=None):
        self.pair, self.origin, self.cache, self.serial = pair, origin, cache, next(Token.serial)

    def __del__(self):
        try:
            entry = None if self.cache is None else self.cache.get(*self.pair)
            assert entry is None or entry.data.pair == self.pair
        except BaseException as exc:  # a destructor cannot raise: record it
            Token.problems.append(repr(exc))


class Churn:
    def __init__(self):
        self.layer = Client()
        self.cache = self.layer._cache
        self.produced = {pair: set() for pair in LAYER_PAIRS}
        self.returned = []  # (pair, token) of every _fetch_with_cache result
        self.problems = []  # anything that must not happen, as text
        self.ops, self.ops_lock = Counter(), threading.Lock()

    def fetcher(self, rng, pair):
        kind, sleep, fail = rng.random(), rng.random() < 0.3, rng.random() < 0.15

        def fetch():
            if sleep:
                time.sleep(rng.choice((0.0005, 0.001, 0.003)))
            if fail:
                raise Boom(pair)  # the fetchers' own error: the only one allowed out of _fetch_with_cache
            token = Token(pair, "fetch", self.cache if kind < 0.2 else None)
            self.produced[pair].add(token.serial)
            return token
        return fetch

    def worker(self, index, deadline):
        rng, ops, cache, layer = random.Random(index), Counter(), self.cache, self.layer
        own = (f"t{index}", ("private",))  # only this thread counts this pair
        first = True
        try:
            # Each thread's first operation is fixed, so every kind runs however slow
            # the machine; the rest are drawn at random, each kind with its share.
            while first or time.monotonic() < deadline:
                roll = rng.random()
                op = OPS[index % len(OPS)][1] if first else next(name for top, name in OPS if roll < top)
                first, ops[op] = False, ops[op] + 1
                if op == "fetch_with_cache":
                    pair = rng.choice(LAYER_PAIRS)
                    try:
                        token = layer._fetch_with_cache(
                            *pair, live=rng.random() < 0.4, fetcher=self.fetcher(rng, pair), ttl_live=rng.choice(TTLS),
                            ttl_history=rng.choice(TTLS), params=rng.choice((None, {"p": 1})),
                            wait_timeout=rng.choice((0, 0.002, 0.01)), wait_interval=0.0005)
                        self.returned.append((pair, token))
                    except Boom as exc:
                        if exc.args != (pair,):
                            self.problems.append(f"another pair's failure: {exc.args}")
                elif op == "get":
                    pair = rng.choice(DIRECT_PAIRS + LAYER_PAIRS)
                    entry = cache.get(*pair)
                    if entry is not None and (type(entry) is not CacheEntry or entry.data.pair != pair):
                        self.problems.append(f"get{pair} returned {entry!r}")
                elif op == "set":
                    pair = rng.choice(DIRECT_PAIRS)
                    data = Token(pair, "set", cache if rng.random() < 0.2 else None)
                    entry = cache.set(*pair, data, params=rng.choice((None, {}, {"a": 1})), ttl=rng.choice(TTLS))
                    if entry.data is not data:
                        self.problems.append("set returned another entry")
                elif op == "inflight":  # single flight on a shared pair: begin/end always paired
                    pair, depth = rng.choice(DIRECT_PAIRS), rng.randint(1, 3)
                    for _ in range(depth):
                        cache._begin_inflight(*pair)
                    if rng.random() < 0.5:
                        time.sleep(0)
                    for _ in range(depth):
                        cache._end_inflight(*pair)
                elif op == "private inflight":  # exact counts while others churn
                    depth = rng.randint(1, 4)
                    got = [cache._begin_inflight(*own) for _ in range(depth)]
                    if got != [True] + [False] * (depth - 1) or cache._inflight.get(own) != depth:
                        self.problems.append(f"private pair counted {got}")
                    for _ in range(depth):
                        cache._end_inflight(*own)
                    if own in cache._inflight:
                        self.problems.append("private pair left counted")
                elif op == "failing get":  # a failure inside the locked section must release the lock
                    with contextlib.suppress(TypeError):
                        cache.get(["unhashable"], ("k",))
                        self.problems.append("unhashable namespace accepted")
                elif op == "clear_ns":
                    cache.clear_ns(rng.choice(("d0", "d1", "d2", "f0", "f1", "absent")))
                elif op == "clear_cache":
                    layer.clear_cache(rng.choice((None, "", "f0")))
                else:
                    cache.clear_all()
        except BaseException as exc:
            self.problems.append(f"thread {index}: {exc!r}")
        finally:
            with self.ops_lock:
                self.ops.update(ops)


def wait_until(condition):
    deadline = time.monotonic() + 10
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.002)


# Two callers of one pair: the first one's fetch is held until released (then raises
# first_error, when given); the second arrives while it is in flight.
DUELS = [(None, 5.0, False),  # the waiter takes the first caller's result
         (Boom, 0.1, True),  # a failed fetch is not announced: the waiter fetches after its deadline
         (None, 0.1, True),  # slow fetch: the waiter fetches after its deadline
         (None, 0, True)]  # no waiting at all


def duel(pool, first_error, wait_timeout, second_fetches):
    client, release, error = Client(), threading.Event(), first_error and first_error()
    first, second = object(), object()
    try:
        a = pool.submit(fetch, client, Fetcher(first, error, release))
        wait_until(lambda: client._cache._inflight.get(PAIR) == 1)
        b = pool.submit(fetch, client, Fetcher(second), wait_timeout=wait_timeout, wait_interval=0.01)
        if second_fetches:  # done while the first caller is still inside
            assert b.result(timeout=10) is second and not a.done()
        else:
            wait_until(lambda: client._cache._inflight.get(PAIR) == 2)
    finally:
        release.set()
    assert a.exception(timeout=10) is error and b.result(timeout=10) is (second if second_fetches else first)
    if error is None:
        assert a.result() is first
    assert client._cache._inflight == {}
    assert client._cache.get(*PAIR).data is (second if error else first)  # the later set wins


@pytest.mark.parametrize("switch_interval", [None, 1e-5, 1e-6])
def test_threads_on_one_cache(switch_interval):
    previous = sys.getswitchinterval()
    Token.problems.clear()
    run, rounds = Churn(), 0
    try:
        sys.setswitchinterval(switch_interval or previous)
        deadline = time.monotonic() + SECONDS
        threads = [threading.Thread(target=run.worker, args=(i, deadline), daemon=True) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        try:
            with ThreadPoolExecutor(2) as pool:
                while not rounds or time.monotonic() < deadline:
                    for row in DUELS:
                        duel(pool, *row)
                    rounds += 1
        finally:
            for thread in threads:
                thread.join(SECONDS + 10)
    finally:
        sys.setswitchinterval(previous)
    assert [t.name for t in threads if t.is_alive()] == [], "deadlock or lost wake-up"
    assert run.problems == [] and Token.problems == []
    assert run.cache._inflight == {} and run.cache._lock.acquire(timeout=1)  # all left single flight; lock free
    run.cache._lock.release()
    # Each result came from a fetcher for that very pair (stored, shared or its own).
    for pair, token in run.returned:
        assert token.pair == pair and token.origin == "fetch" and token.serial in run.produced[pair]
    assert set(run.ops) == {name for _, name in OPS}  # every kind of operation really ran
    produced = sum(map(len, run.produced.values()))
    assert len(run.returned) > produced > 0  # results were shared or served from the cache
    print(f"\n{THREADS} threads x {SECONDS:g} s, switch interval {switch_interval}: {sum(run.ops.values())} "
          f"operations {dict(run.ops)}; {len(run.returned)} results from {produced} fetches; {rounds} duel rounds")
