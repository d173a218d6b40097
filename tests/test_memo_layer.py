"""BaseMemoLayer._fetch_with_cache on one thread; real threads are in test_stress.py."""
import time
from decimal import Decimal
from fractions import Fraction

import pytest

from fakes import MEMO_PAIR as PAIR, MEMO_TTL, Boom, DictSub, Fetcher, MemoClient as Client, StrSub, \
    memo_fetch as fetch
from private_core import memo_layer
from private_core.memo_layer import BaseMemoLayer
from private_core.memo_store import _Cache


@pytest.fixture
def client():
    """A client whose cache records in `calls` the name of each operation called on it."""
    c = Client()
    c._cache.calls = []
    for name in ("get", "set", "_begin_inflight", "_end_inflight"):
        setattr(c._cache, name, lambda *args, _name=name, _real=getattr(c._cache, name), **kwargs:
                c._cache.calls.append(_name) or _real(*args, **kwargs))
    return c


class FakeTime:
    """memo_layer.time: sleeping moves monotonic() on, then calls on_sleep(sleeps so far)."""

    def __init__(self, on_sleep):
        self.now, self.sleeps, self.on_sleep = 0.0, [], on_sleep

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds
        self.on_sleep(len(self.sleeps))


@pytest.mark.parametrize("live, stored, calls, fetched", [
    (False, True, ["get"], False), (False, False, ["get", "_begin_inflight", "set", "_end_inflight"], True),
    (True, True, ["_begin_inflight", "set", "_end_inflight"], True)])
def test_call_paths(client, clock, live, stored, calls, fetched):
    old, new, params = object(), object(), {"symbol": "X"}
    if stored:
        client._cache.set(*PAIR, old, ttl=MEMO_TTL)
        client._cache.calls.clear()
    fetcher = Fetcher(new)
    result = fetch(client, fetcher, live=live, params=params)
    assert client._cache.calls == calls and fetcher.calls == fetched and client._cache._inflight == {}
    entry = client._cache.get(*PAIR)
    assert result is entry.data is (new if fetched else old)
    if fetched:
        assert entry.params is params
        assert entry.expires_at == (clock.current + MEMO_TTL if live else None)


@pytest.mark.parametrize("live, ns_stored, calls", [
    (False, True, ["get"]), (False, False, ["get", "_begin_inflight"]), (True, True, ["_begin_inflight"])])
def test_unhashable_key_fails_before_the_guard_is_entered(client, live, ns_stored, calls):
    if ns_stored:
        client._cache._store["ns"] = {"other": None}
    with pytest.raises(TypeError, match="unhashable"):
        fetch(client, Fetcher(), live=live, key=["k"])
    assert client._cache.calls == calls and client._cache._inflight == {}


@pytest.mark.parametrize("break_it, waiting, kwargs, error", [
    (None, False, {}, Boom), (lambda c: setattr(c._cache, "set", Fetcher(error=Boom())), False, {}, Boom),
    (lambda c: setattr(c._cache, "get", Fetcher(error=Boom())), True, {}, Boom),
    (lambda c: setattr(memo_layer, "time", type("T", (), {"monotonic": Fetcher(error=Boom())})), True, {}, Boom),
    (None, True, {"wait_interval": -1}, ValueError)])
def test_every_failure_releases_the_callers_count(client, monkeypatch, break_it, waiting, kwargs, error):
    monkeypatch.setattr(memo_layer, "time", time)
    if waiting:  # another caller holds the pair
        client._cache._begin_inflight(*PAIR)
    if break_it:
        break_it(client)
    with pytest.raises(error):
        fetch(client, Fetcher(object(), error=None if break_it else Boom()), live=True, **kwargs)
    assert client._cache._inflight == ({PAIR: 1} if waiting else {})
    assert client._cache.calls[-1] == "_end_inflight" and PAIR[0] not in client._cache._store


@pytest.mark.parametrize("fetch_error", [None, Boom("fetch")])
def test_end_inflight_error_behaves_like_finally(client, fetch_error):
    client._cache._end_inflight = Fetcher(error=RuntimeError("end"))
    with pytest.raises(RuntimeError, match="end") as info:
        fetch(client, Fetcher(object(), error=fetch_error))
    assert info.value.__context__ is fetch_error


@pytest.mark.parametrize("wait_timeout, wait_interval, store_at_sleep, sleeps, fetched", [
    (1.0, 0.25, 3, [0.25] * 3, False),  # result arrives while polling
    (1.0, 0.25, None, [0.25] * 4, True),  # deadline passes: fetch ourselves
    (0.5, 0.5, 1, [0.5], True),  # stored during the last sleep: not read
    (0, 0.25, None, [], True), (-1.0, 0.25, None, [], True),  # no wait at all
    (Fraction(1, 2), Decimal("0.25"), None, [0.25] * 2, True), (True, 1, None, [1.0], True)])
def test_polling_with_fake_clock(client, monkeypatch, wait_timeout, wait_interval, store_at_sleep, sleeps, fetched):
    stored = object()
    clock = FakeTime(lambda n: n == store_at_sleep and client._cache.set(*PAIR, stored))
    monkeypatch.setattr(memo_layer, "time", clock)
    client._cache._begin_inflight(*PAIR)
    fetcher = Fetcher(object())
    result = fetch(client, fetcher, live=True, wait_timeout=wait_timeout, wait_interval=wait_interval)
    assert clock.sleeps == sleeps and all(type(s) is float for s in clock.sleeps)
    assert fetcher.calls == fetched and result is (fetcher.result if fetched else stored)
    assert client._cache.get(*PAIR).data is result and client._cache._inflight == {PAIR: 1}


@pytest.mark.parametrize("args, kwargs, drop, message", [
    ((), {}, "live", "missing 1 required keyword-only argument: 'live'"),
    ((), {}, "fetcher", "missing 1 required keyword-only argument: 'fetcher'"),
    ((), {}, "ttl_live", "argument: 'ttl_live'"), ((), {}, "ttl_history", "argument: 'ttl_history'"),
    (("extra",), {}, None, "takes 3 positional arguments but 4"),
    ((), {"params": DictSub()}, None, "Argument 'params' has incorrect type"),
    ((), {"params": [("a", 1)]}, None, "Argument 'params' has incorrect type"),
    ((), {"wait_timeout": "1"}, None, "must be real number, not str"),
    ((), {"wait_timeout": 1j}, None, "must be real number, not complex"),
    ((), {"wait_interval": None}, None, "must be real number, not NoneType")])
def test_argument_errors_come_before_the_cache_is_touched(client, args, kwargs, drop, message):
    full = dict(live=False, fetcher=Fetcher(), ttl_live=None, ttl_history=None, **kwargs)
    full.pop(drop, None)
    with pytest.raises(TypeError, match=message):
        client._fetch_with_cache("ns", ("k",), *args, **full)
    assert client._cache.calls == []


@pytest.mark.parametrize("args, left", [((), []), ((None,), []), (("",), []), (("a",), ["b"]),
                                        ((1,), TypeError), ((StrSub("a"),), TypeError)])  # exact str only
def test_clear_cache(args, left):
    client = Client()
    for ns in ("a", "b"):
        fetch(client, Fetcher(ns), ns=ns)
    if left is TypeError:
        with pytest.raises(TypeError, match="Argument 'ns' has incorrect type"):
            client.clear_cache(*args)
    else:
        client.clear_cache(*args)
        assert list(client._cache._store) == left


def test_instances_own_separate_caches_built_at_call_time(monkeypatch):
    made = []
    monkeypatch.setattr(memo_layer, "_Cache", lambda **kw: made.append(kw) or _Cache(**kw))
    a, b = Client(), Client()
    fetch(a, Fetcher("a"))
    assert fetch(b, Fetcher("b")) == "b" and made == [{"enable_singleflight": True}] * 2


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
