import threading
import time
from datetime import datetime, timedelta
from decimal import Decimal
from fractions import Fraction

import pytest

from private_core import memo_layer, memo_store
from private_core.memo_layer import BaseMemoLayer
from private_core.memo_store import _Cache

PAIR = ("ns", ("k",))
LIVE_TTL = timedelta(minutes=1)


class Boom(Exception):
    pass


def _spy(name):
    def method(self, *args, **kwargs):
        self.calls.append(name)
        return getattr(_Cache, name)(self, *args, **kwargs)

    return method


SpyCache = type("SpyCache", (_Cache,), {n: _spy(n) for n in ("get", "set", "_begin_inflight", "_end_inflight")})


class Client(BaseMemoLayer):
    pass


@pytest.fixture
def client():
    c = Client()
    c._cache = SpyCache()
    c._cache.calls = []
    return c


class FakeTime:
    def __init__(self, on_sleep=lambda n: None):
        self.now, self.sleeps, self.on_sleep = 0.0, [], on_sleep

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds
        self.on_sleep(len(self.sleeps))


def fetch(client, fetcher, *, live=False, ns="ns", key=("k",), **kwargs):
    return client._fetch_with_cache(ns, key, live=live, fetcher=fetcher, ttl_live=LIVE_TTL,
                                    ttl_history=None, **kwargs)


def counting(result=None, error=None):
    def fetcher(*args, **kwargs):
        fetcher.calls += 1
        if error is not None:
            raise error
        return result

    fetcher.calls = 0
    return fetcher


@pytest.mark.parametrize(
    "live, stored, calls, fetched",
    [(False, True, ["get"], False),
     (False, False, ["get", "_begin_inflight", "set", "_end_inflight"], True),
     (True, True, ["_begin_inflight", "set", "_end_inflight"], True)],
)
def test_call_paths(client, monkeypatch, live, stored, calls, fetched):
    monkeypatch.setattr(memo_store, "datetime", type("Clock", (), {"now": lambda: datetime(2024, 5, 3)}))
    old, new, params = object(), object(), {"symbol": "X"}
    if stored:
        client._cache.set(*PAIR, old, ttl=LIVE_TTL)
        client._cache.calls.clear()
    fetcher = counting(new)
    result = fetch(client, fetcher, live=live, params=params)
    assert client._cache.calls == calls and fetcher.calls == fetched and client._cache._inflight == {}
    entry = client._cache.get(*PAIR)
    assert result is entry.data is (new if fetched else old)
    if fetched:
        assert entry.params is params
        assert entry.expires_at == (datetime(2024, 5, 3) + LIVE_TTL if live else None)


@pytest.mark.parametrize(
    "live, ns_stored, calls",
    [(False, True, ["get"]), (False, False, ["get", "_begin_inflight"]), (True, True, ["_begin_inflight"])],
)
def test_unhashable_key_fails_before_the_guard_is_entered(client, live, ns_stored, calls):
    if ns_stored:
        client._cache._store["ns"] = {"other": None}
    with pytest.raises(TypeError, match="unhashable"):
        fetch(client, counting(), live=live, key=["k"])
    assert client._cache.calls == calls and client._cache._inflight == {}


def _fail_set(client):
    client._cache.set = counting(error=Boom())


def _fail_poll(client):
    client._cache.get = counting(error=Boom())


def _fail_clock(client):
    memo_layer.time = type("T", (), {"monotonic": counting(error=Boom())})


@pytest.mark.parametrize(
    "break_it, waiting, kwargs, error",
    [(None, False, {}, Boom), (_fail_set, False, {}, Boom), (_fail_poll, True, {}, Boom),
     (_fail_clock, True, {}, Boom), (None, True, {"wait_interval": -1}, ValueError)],
)
def test_every_failure_releases_the_callers_count(client, monkeypatch, break_it, waiting, kwargs, error):
    monkeypatch.setattr(memo_layer, "time", time)
    if waiting:  # another caller holds the pair
        client._cache._begin_inflight(*PAIR)
    if break_it:
        break_it(client)
    fetcher = counting(object(), error=None if break_it else Boom())
    with pytest.raises(error):
        fetch(client, fetcher, live=True, **kwargs)
    assert client._cache._inflight == ({PAIR: 1} if waiting else {})
    assert client._cache.calls[-1] == "_end_inflight" and PAIR[0] not in client._cache._store


@pytest.mark.parametrize("fetch_error", [None, Boom("fetch")])
def test_end_inflight_error_behaves_like_finally(client, fetch_error):
    client._cache._end_inflight = counting(error=RuntimeError("end"))
    with pytest.raises(RuntimeError, match="end") as info:
        fetch(client, counting(object(), error=fetch_error))
    assert info.value.__context__ is fetch_error


@pytest.mark.parametrize(
    "wait_timeout, wait_interval, store_at_sleep, sleeps, fetched",
    [(1.0, 0.25, 3, [0.25] * 3, False),  # result arrives while polling
     (1.0, 0.25, None, [0.25] * 4, True),  # deadline passes: fetch ourselves
     (0.5, 0.5, 1, [0.5], True),  # stored during the last sleep: not read
     (0, 0.25, None, [], True), (-1.0, 0.25, None, [], True),  # no wait at all
     (Fraction(1, 2), Decimal("0.25"), None, [0.25] * 2, True), (True, 1, None, [1.0], True)],
)
def test_polling_with_fake_clock(client, monkeypatch, wait_timeout, wait_interval, store_at_sleep, sleeps, fetched):
    stored = object()
    clock = FakeTime(lambda n: n == store_at_sleep and client._cache.set(*PAIR, stored))
    monkeypatch.setattr(memo_layer, "time", clock)
    client._cache._begin_inflight(*PAIR)
    fetcher = counting(object())
    result = fetch(client, fetcher, live=True, wait_timeout=wait_timeout, wait_interval=wait_interval)
    assert clock.sleeps == sleeps and all(type(s) is float for s in clock.sleeps)
    assert fetcher.calls == fetched and result is (fetcher() if fetched else stored)
    assert client._cache.get(*PAIR).data is result and client._cache._inflight == {PAIR: 1}


@pytest.mark.parametrize(
    "args, kwargs, drop, message",
    [((), {}, "live", "missing 1 required keyword-only argument: 'live'"),
     ((), {}, "fetcher", "missing 1 required keyword-only argument: 'fetcher'"),
     ((), {}, "ttl_live", "argument: 'ttl_live'"), ((), {}, "ttl_history", "argument: 'ttl_history'"),
     (("extra",), {}, None, "takes 3 positional arguments but 4"),
     ((), {"params": type("D", (dict,), {})()}, None, "Argument 'params' has incorrect type"),
     ((), {"params": [("a", 1)]}, None, "Argument 'params' has incorrect type"),
     ((), {"wait_timeout": "1"}, None, "must be real number, not str"),
     ((), {"wait_timeout": 1j}, None, "must be real number, not complex"),
     ((), {"wait_interval": None}, None, "must be real number, not NoneType")],
)
def test_argument_errors_come_before_the_cache_is_touched(client, args, kwargs, drop, message):
    full = dict(live=False, fetcher=counting(), ttl_live=None, ttl_history=None, **kwargs)
    full.pop(drop, None)
    with pytest.raises(TypeError, match=message):
        client._fetch_with_cache("ns", ("k",), *args, **full)
    assert client._cache.calls == []


@pytest.mark.parametrize("args, left", [((), []), ((None,), []), (("",), []), (("a",), ["b"])])
def test_clear_cache(args, left):
    client = Client()
    for ns in ("a", "b"):
        fetch(client, counting(ns), ns=ns)
    client.clear_cache(*args)
    assert list(client._cache._store) == left


@pytest.mark.parametrize("ns", [1, type("S", (str,), {})("a")])
def test_clear_cache_wants_exact_str(ns):
    with pytest.raises(TypeError, match="Argument 'ns' has incorrect type"):
        Client().clear_cache(ns)


def test_instances_own_separate_caches_built_at_call_time(monkeypatch):
    made = []
    monkeypatch.setattr(memo_layer, "_Cache", lambda **kw: made.append(kw) or _Cache(**kw))
    a, b = Client(), Client()
    fetch(a, counting("a"))
    assert fetch(b, counting("b")) == "b" and made == [{"enable_singleflight": True}] * 2


def test_cooperative_init_in_any_position():
    class Before:
        def __init__(self, *args, **kwargs):
            self.log = ["before"]
            super().__init__(*args, **kwargs)

    class After:
        def __init__(self, name, *, level):
            self.log.append((name, level, hasattr(self, "_cache")))
            super().__init__()

    mixed = type("Mixed", (Before, BaseMemoLayer, After), {})("x", level=2)
    assert mixed.log == ["before", ("x", 2, False)] and isinstance(mixed._cache, _Cache)
    with pytest.raises(TypeError):
        BaseMemoLayer("unexpected")
    skipped = type("Skipped", (BaseMemoLayer,), {"__init__": lambda self: None})()
    with pytest.raises(AttributeError, match="_cache"):
        skipped.clear_cache()


# --- real threads ----------------------------------------------------------------


def start(fn):
    box = {}

    def target():
        try:
            box["result"] = fn()
        except BaseException as exc:  # handed to the test thread
            box["error"] = exc

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread, box


def wait_until(condition):
    deadline = time.monotonic() + 1
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.002)


def blocking(result, release, error=None):
    def fetcher():
        release.wait(1)
        if error:
            raise error
        return result

    return fetcher


@pytest.mark.parametrize(
    "first_error, wait_timeout, second_fetches",
    [(None, 1.0, False),  # the waiter takes the first caller's result
     (Boom(), 0.1, True),  # a failed fetch is not announced: waiter fetches after its deadline
     (None, 0.1, True),  # slow fetch: the waiter fetches after its deadline
     (None, 0, True)],  # no waiting at all
)
def test_two_callers_of_one_pair(first_error, wait_timeout, second_fetches):
    client, release = Client(), threading.Event()
    first, second = object(), object()
    a, box_a = start(lambda: fetch(client, blocking(first, release, first_error)))
    wait_until(lambda: client._cache._inflight.get(PAIR) == 1)
    b, box_b = start(lambda: fetch(client, counting(second), wait_timeout=wait_timeout, wait_interval=0.01))
    if second_fetches:
        b.join(1)  # done while the first caller is still inside
        assert box_b["result"] is second and a.is_alive()
    else:
        wait_until(lambda: client._cache._inflight.get(PAIR) == 2)
    release.set()
    a.join(1)
    b.join(1)
    assert box_a.get("error") is first_error and box_b["result"] is (second if second_fetches else first)
    assert client._cache._inflight == {}
    assert client._cache.get(*PAIR).data is (second if first_error else first)  # the later set wins


def test_eight_threads_on_mixed_pairs_leave_no_counts():
    client, barrier, errors = Client(), threading.Barrier(8, timeout=1), []

    def worker(n):
        barrier.wait()
        for i in range(30):
            key = ((n + i) % 3,)
            result = fetch(client, lambda: ("v", key), live=bool(i % 2), key=key, wait_timeout=0.5,
                           wait_interval=0.001)
            if result != ("v", key):
                errors.append(result)

    threads = [start(lambda n=n: worker(n)) for n in range(8)]
    for thread, box in threads:
        thread.join(1.5)
        assert not thread.is_alive() and "error" not in box
    assert errors == [] and client._cache._inflight == {}
