"""Every public entry point of the extension modules, on its success path and on each of
its error paths, as calls built from fresh objects: one row each. The reference-count
table and the leak loops both run these.

A row is (module, entry point, path, expected exception or None, build); build() returns
a leakcheck.Call with new objects each time, documenting what the call keeps (`:=` names
the objects a row documents). Sessions and transports are fakes.py's: no network."""
import math
from collections import deque
from datetime import date, datetime, timedelta
from functools import partial
from types import MappingProxyType
from typing import Any, Callable, List, NamedTuple, Optional, Type
from unittest import mock

import pandas as pd
import requests
from fakes import BadStr, Boom, Interrupt, Response, Session, Transport, raise_
from leakcheck import Call, fresh, fresh_int
from tavrix.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

from private_core import _frames as frames
from private_core import daily_bars, helpers, keygate, memo_layer, memo_rules, memo_store, tick_feed
from private_core import transport_base
from private_core.investor import InvestorFlowContract as contract
from private_core.investor import flow_engine

MODULES = ["transport_base", "keygate", "memo_store", "memo_rules", "memo_layer", "basket_base",
           "statements_base", "daily_bars", "tick_feed", "investor.InvestorFlowContract",
           "investor.flow_engine", "_frames"]


class Case(NamedTuple):
    module: str
    entry: str
    path: str
    raises: Optional[Type[BaseException]]
    build: Callable[[], Call]
    heavy: bool = False  # the engine's own frame work with pandas: looped less

    @property
    def id(self) -> str:
        return f"{self.module}:{self.entry}:{self.path}"


CASES: List[Case] = []


def row(module: str, entry: str, path: str, raises: Optional[Type[BaseException]],
        build: Callable[[], Call], heavy: bool = False) -> None:
    CASES.append(Case(module, entry, path, raises, build, heavy))


def rows_of(module: str, prefix: str = "") -> Callable[..., None]:
    """row() for the entry points of one module named `prefix` + entry."""
    return lambda entry, path, raises, build, heavy=False: row(module, prefix + entry, path, raises, build, heavy)


def quiet(fake: Any) -> Any:
    # A fake's records would hold the very arguments whose counts are watched.
    fake.calls = deque(maxlen=0)
    return fake


def session(*answers: Any, **kwargs: Any) -> Session:
    return quiet(Session(*answers, **kwargs))


def refusal(status: Optional[int] = None, payload: Any = None) -> Callable[..., HttpError]:
    """An answer raising a new HttpError at each send."""
    return lambda *sent: HttpError("x", status_code=status, payload=payload)


def having(obj: Any, **attrs: Any) -> Any:
    for name, value in attrs.items():
        setattr(obj, name, value)
    return obj


class Mapping(dict):
    """A dict subclass: read through its own methods, not the dict fast paths."""


class Rows(list):
    pass


# --- transport_base ----------------------------------------------------------------------

TB, HS = "transport_base", transport_base.HttpSession
tb = rows_of(TB, "HttpSession.")
user_agent = transport_base._default_user_agent


def http(*answers: Any, close_error: Any = None) -> Any:
    """An HttpSession over a Transport answering from memory."""
    return having(HS.__new__(HS), api_key=fresh("key"), base_url=fresh("http://127.0.0.1:9/api"), timeout=30,
                  _session=quiet(Transport(*answers, close_error=close_error)))


def sent() -> dict:  # every optional part of a request
    return dict(params={"a": fresh("p1")}, json_body={"b": [1]}, data=[fresh("d1")], headers={"X-A": fresh("h1")},
                timeout=fresh_int(1000))


row(TB, "_default_user_agent", "ok", None, lambda: Call(user_agent, fresh("1.2.3")))
row(TB, "_default_user_agent", "not a str", TypeError, lambda: Call(user_agent, fresh_int(1000)))
row(TB, "_default_user_agent", "missing argument", TypeError, lambda: Call(user_agent, nope=fresh("x1")))
# base_url ends in "/": rstrip makes a new string, and that one is kept.
tb("__init__", "ok", None, lambda: Call(
    HS.__init__, HS.__new__(HS), k := fresh("key"), base_url=fresh("http://127.0.0.1:9/a/"), version=fresh("1.0"),
    timeout=(t := fresh_int(1000)), user_agent=(a := fresh("ua/1"))).keeps(k, t, a))
tb("__init__", "default user agent", None,
   lambda: Call(HS.__init__, HS.__new__(HS), k := fresh("key"), version=fresh("1.0")).keeps(k))
tb("__init__", "key not a str", TypeError, lambda: Call(HS.__init__, HS.__new__(HS), fresh_int(1000)))
tb("_prepare_url", "relative", None, lambda: Call(HS._prepare_url, http(), fresh("//eod/x?y=1")))
tb("_prepare_url", "absolute: returned as given", None,
   lambda: Call(HS._prepare_url, http(), p := fresh("http://127.0.0.1:9/x")).keeps(p))
tb("_prepare_url", "not a str", TypeError, lambda: Call(HS._prepare_url, http(), b"/x"))
tb("request", "ok", None, lambda: Call(HS.request, http(), fresh("GET"), fresh("/p"), **sent()))
tb("request", "transport failure", HttpError,
   lambda: Call(HS.request, http(requests.ConnectionError), fresh("GET"), fresh("/p"), **sent()))
tb("request", "other error passes", Boom, lambda: Call(HS.request, http(Boom), fresh("GET"), fresh("/p")))
tb("request", "status 404 with JSON", HttpError,
   lambda: Call(HS.request, http(Response({"detail": "no"}, 404)), fresh("GET"), fresh("/p"), **sent()))
tb("request", "status 500 without JSON", HttpError,
   lambda: Call(HS.request, http(Response(ValueError, 500)), fresh("GET"), fresh("/p")))
tb("request", "JSON of a failed answer fails otherwise", Boom,
   lambda: Call(HS.request, http(Response(Boom, 500)), fresh("GET"), fresh("/p")))
tb("request", "headers not a dict", TypeError, lambda: Call(HS.request, http(), fresh("GET"), fresh("/p"), headers=[1]))
tb("request", "missing path", TypeError, lambda: Call(HS.request, http(), fresh("GET")))
tb("get", "ok", None, lambda: Call(HS.get, http(), fresh("/p"), params={"a": fresh("p1")}, headers={"X-A": fresh("h1")},
                                   timeout=fresh_int(1000)))
tb("get", "status 404", HttpError,
   lambda: Call(HS.get, http(Response("x", 404)), fresh("/p"), params={"a": fresh("p1")}))
tb("get", "params not a dict", TypeError, lambda: Call(HS.get, http(), fresh("/p"), params=[fresh("p1")]))
tb("get", "path not a str", TypeError, lambda: Call(HS.get, http(), fresh_int(1000)))
tb("post", "ok", None, lambda: Call(HS.post, http(), fresh("/p"), json_body={"a": fresh("b1")}, data=fresh("raw"),
                                    headers={"X-A": fresh("h1")}))
tb("post", "transport failure", HttpError,
   lambda: Call(HS.post, http(requests.Timeout), fresh("/p"), json_body={"a": fresh("b1")}))
tb("post", "timeout not an int", TypeError, lambda: Call(HS.post, http(), fresh("/p"), timeout=1.5))
tb("post", "timeout a bool", TypeError,
   lambda: Call(HS.post, http(), fresh("/p"), json_body=[fresh("b1")], timeout=True))
tb("close", "ok", None, lambda: Call(HS.close, http()))
tb("close", "a requests session", None, lambda: Call(HS.close, HS(fresh("key"))))
tb("close", "close fails", Boom, lambda: Call(HS.close, http(close_error=Boom)))
tb("__enter__", "returns self", None, lambda: Call(HS.__enter__, s := http()).keeps(s))
tb("__exit__", "clean exit", None, lambda: Call(HS.__exit__, http(), None, None, None))
tb("__exit__", "exit with an error, close fails", Boom,
   lambda: Call(HS.__exit__, http(close_error=Boom), KeyError, KeyError(fresh("k1")), None))
tb("__exit__", "missing arguments", TypeError, lambda: Call(HS.__exit__, http(), None))

# --- keygate -----------------------------------------------------------------------------

AKV = ApiKeyValidationError
kg = partial(row, "keygate", "validate_api_key")


def keyed(*answers: Any) -> Session:
    return session(*answers, api_key=fresh("key"))


def validate(session: Any, **kwargs: Any) -> Call:
    kwargs.setdefault("client_version", fresh("1.0"))
    return Call(keygate.validate_api_key, session, **kwargs).watch(getattr(session, "api_key", None))


kg("ok", None, lambda: validate(keyed({"valid": True, "message": "fine"}), include_messages=False,
                                extra_context={"a": fresh("ctx")}))
for _status, _payload in ((401, {"detail": "no"}), (422, {"detail": [{"msg": "bad"}]}), (500, "  text  "),
                          (503, None), (None, None)):
    kg(f"backend refuses ({_status or 'no status'})", AKV, lambda s=_status, p=_payload: validate(keyed(refusal(s, p))))
kg("refusal detail without text", Boom, lambda: validate(keyed(refusal(400, {"detail": BadStr()}))))
kg("refusal payload of a subclass", AKV, lambda: validate(keyed(refusal(400, Mapping(message=fresh("m1"))))))
kg("network failure", AKV, lambda: validate(keyed(KeyError)))
kg("interrupt passes", Interrupt, lambda: validate(keyed(Interrupt)))
kg("invalid JSON", AKV, lambda: validate(keyed(Response(ValueError))))
kg("JSON error not a ValueError passes", Boom, lambda: validate(keyed(Response(Boom))))
kg("schema mismatch", AKV, lambda: validate(keyed([])))
kg("session without key", AttributeError, lambda: validate(session({"valid": True}, api_key=None)))
kg("version not a str", TypeError, lambda: validate(keyed({"valid": True}), client_version=fresh_int(1000)))
kg("missing version", TypeError, lambda: Call(keygate.validate_api_key, keyed({"valid": True})))

# --- memo_store --------------------------------------------------------------------------

MS, Cache, Entry = "memo_store", memo_store._Cache, memo_store.CacheEntry
ms = rows_of(MS, "_Cache.")


def key(n: int = 1) -> tuple:
    return fresh("k1"), n


def filled(data: Any = None, ttl: Any = None) -> Any:
    cache = Cache()
    cache.set("ns", ("k1", 1), object() if data is None else data, ttl=ttl)
    return cache


def begun(cache: Any, ns: Any = "ns", key: Any = ("k1", 1), times: int = 1) -> Any:
    for _ in range(times):
        cache._begin_inflight(ns, key)
    return cache


class Lock:
    """A context manager of Python's own, in place of the cache's RLock."""

    def __init__(self, swallow: bool = False) -> None:
        self.swallow = swallow

    def __enter__(self) -> "Lock":
        return self

    def __exit__(self, *exc: Any) -> bool:
        return self.swallow


class FailingLock(Lock):
    def __exit__(self, *exc: Any) -> bool:
        raise Boom()


def foreign(swallow: bool = False) -> Any:
    """A cache over dict subclasses and a lock of Python's own, holding one entry."""
    cache = having(Cache(), _store=Mapping(), _inflight=Mapping(), _lock=Lock(swallow))
    cache.set("ns", ("k1", 1), object())
    return cache


class Failing(Mapping):
    """A mapping whose get() and clear() fail."""

    def get(self, *args: Any) -> Any:
        raise Boom()

    def clear(self) -> None:
        raise Boom()


row(MS, "CacheEntry.is_expired", "no expiry", None,
    lambda: Call(Entry.is_expired, Entry(object(), datetime.now(), {}, None)))
row(MS, "CacheEntry.is_expired", "expired", None, lambda: Call(
    Entry.is_expired, Entry(object(), datetime.now(), {}, datetime.now() - timedelta(seconds=1))))
row(MS, "CacheEntry.is_expired", "expiry not comparable", TypeError,
    lambda: Call(Entry.is_expired, Entry(object(), datetime.now(), {}, fresh("soon"))))
ms("__init__", "singleflight", None,  # the flag is kept as passed
   lambda: Call(Cache.__init__, Cache.__new__(Cache), f := fresh_int(1000)).keeps(f))
ms("__init__", "no singleflight", None, lambda: Call(Cache.__init__, Cache.__new__(Cache), False))
ms("get", "hit", None, lambda: Call(Cache.get, filled(), fresh("ns"), key()))
ms("get", "no namespace", None, lambda: Call(Cache.get, filled(), fresh("other"), key()))
ms("get", "no key", None, lambda: Call(Cache.get, filled(), fresh("ns"), key(2)))
ms("get", "expired: evicted", None,
   lambda: Call(Cache.get, filled(d := object(), timedelta(seconds=-1)), fresh("ns"), key()).keeps(d, count=-1))
ms("get", "unhashable key", TypeError, lambda: Call(Cache.get, filled(), fresh("ns"), [1]))
ms("get", "foreign store and lock", None, lambda: Call(Cache.get, foreign(), fresh("ns"), key()))
ms("get", "error swallowed by the lock", None, lambda: Call(Cache.get, foreign(swallow=True), fresh("ns"), [1]))
ms("get", "lock fails on exit", Boom, lambda: Call(Cache.get, having(foreign(), _lock=FailingLock()), fresh("ns"), [1]))
ms("set", "new namespace", None, lambda: Call(
    Cache.set, Cache(), n := fresh("ns"), k := key(), d := object(), params=(p := {"a": 1}),
    ttl=timedelta(minutes=1)).keeps(n, k, d, p))
# The bucket keeps its own key objects; the old entry's data is released.
ms("set", "replaces an entry", None,
   lambda: Call(Cache.set, filled(old := object()), fresh("ns"), key(), d := object()).keeps(d).keeps(old, count=-1))
ms("set", "foreign store and lock", None,
   lambda: Call(Cache.set, foreign(), fresh("ns"), k := key(2), d := object()).keeps(k, d))
ms("set", "params not a dict", TypeError, lambda: Call(Cache.set, filled(), fresh("ns"), key(), object(), params=[1]))
# The namespace's bucket is made before the entry: it stays, empty.
ms("set", "ttl not a timedelta", TypeError,
   lambda: Call(Cache.set, Cache(), n := fresh("ns"), key(), object(), ttl=fresh("1m")).keeps(n))
ms("set", "unhashable key", TypeError, lambda: Call(Cache.set, filled(), fresh("ns"), [1], object()))
ms("clear_ns", "releases the namespace", None,
   lambda: Call(Cache.clear_ns, filled(d := object()), fresh("ns")).keeps(d, count=-1))
ms("clear_ns", "foreign store", None, lambda: Call(Cache.clear_ns, foreign(), fresh("ns")))
ms("clear_ns", "unhashable namespace", TypeError, lambda: Call(Cache.clear_ns, filled(), [1]))
ms("clear_all", "releases everything", None, lambda: Call(Cache.clear_all, filled(d := object())).keeps(d, count=-1))
ms("clear_all", "store replaced by a failing mapping", Boom,
   lambda: Call(Cache.clear_all, having(Cache(), _store=Failing())))
ms("_begin_inflight", "first caller", None,
   lambda: Call(Cache._begin_inflight, Cache(), n := fresh("ns"), k := key()).keeps(n, k))
ms("_begin_inflight", "second caller", None, lambda: Call(Cache._begin_inflight, begun(Cache()), fresh("ns"), key()))
ms("_begin_inflight", "no singleflight", None, lambda: Call(Cache._begin_inflight, Cache(False), fresh("ns"), key()))
ms("_begin_inflight", "unhashable key", TypeError, lambda: Call(Cache._begin_inflight, Cache(), fresh("ns"), [1]))
ms("_begin_inflight", "inflight table gone", AssertionError,
   lambda: Call(Cache._begin_inflight, having(Cache(), _inflight=None), fresh("ns"), key()))
ms("_begin_inflight", "foreign table fails", Boom,
   lambda: Call(Cache._begin_inflight, having(Cache(), _inflight=Failing()), fresh("ns"), key()))
ms("_end_inflight", "last caller: released", None, lambda: Call(
    Cache._end_inflight, begun(Cache(), n := fresh("ns"), k := key()), fresh("ns"), key()).keeps(n, k, count=-1))
ms("_end_inflight", "one caller left", None,
   lambda: Call(Cache._end_inflight, begun(Cache(), times=2), fresh("ns"), key()))
ms("_end_inflight", "foreign table", None, lambda: Call(Cache._end_inflight, begun(foreign()), fresh("ns"), key()))
ms("_end_inflight", "unhashable key", TypeError, lambda: Call(Cache._end_inflight, Cache(), fresh("ns"), [1]))
row(MS, "to_date", "None: today", None, lambda: Call(memo_store.to_date, None))
row(MS, "to_date", "date: returned as given", None, lambda: Call(memo_store.to_date, d := date(2024, 5, 3)).keeps(d))
row(MS, "to_date", "datetime", None, lambda: Call(memo_store.to_date, datetime(2024, 5, 3, 10)))
row(MS, "to_date", "text", None, lambda: Call(memo_store.to_date, fresh("2024-05-03")))
row(MS, "to_date", "text not a date", ValueError, lambda: Call(memo_store.to_date, fresh("2024-13-45")))
row(MS, "to_date", "unsupported type", ValueError, lambda: Call(memo_store.to_date, 1.5))
row(MS, "is_today", "ok", None, lambda: Call(memo_store.is_today, fresh("2024-05-03")))
row(MS, "is_today", "None: today", None, lambda: Call(memo_store.is_today, None))
row(MS, "is_today", "not a date", ValueError, lambda: Call(memo_store.is_today, [fresh("x1")]))

# --- memo_rules --------------------------------------------------------------------------

MR = "memo_rules"
row(MR, "touches_latest_trading_day", "ok", None,
    lambda: Call(memo_rules.touches_latest_trading_day, fresh("2024-05-03")))
row(MR, "touches_latest_trading_day", "not a date", ValueError,
    lambda: Call(memo_rules.touches_latest_trading_day, object()))
for _name in ("ttl_intraday_live", "ttl_intraday_history", "ttl_orderbook_live", "ttl_eod_latest", "ttl_eod_history"):
    row(MR, _name, "ok", None, lambda fn=getattr(memo_rules, _name): Call(fn))
    row(MR, _name, "unexpected argument", TypeError, lambda fn=getattr(memo_rules, _name): Call(fn, fresh("x1")))

# --- memo_layer --------------------------------------------------------------------------

Layer, ml = memo_layer.BaseMemoLayer, rows_of("memo_layer", "BaseMemoLayer.")
FETCH = "_fetch_with_cache"


class Client(Layer):
    pass


class Base:
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        pass


class Mixed(Layer, Base):
    """The layer as a mixin: what it is not given goes on to the next class."""


class Leaving(Cache):
    """Its cleanup after a fetch fails."""

    def _end_inflight(self, ns: Any, key: Any) -> None:
        raise Boom()


def client(data: Any = None, inflight: bool = False) -> Client:
    """A client whose cache holds `data` under ("ns", ("k1", 1)), and has that pair in flight."""
    made = Client()
    if inflight:
        made._cache._begin_inflight("ns", ("k1", 1))
    if data is not None:
        made._cache.set("ns", ("k1", 1), data)
    return made


def fetch(client: Any, ns: Any, key: Any, fetcher: Any, **kwargs: Any) -> Call:
    kwargs = dict(dict(live=False, ttl_live=timedelta(minutes=1), ttl_history=None), **kwargs)
    return Call(Layer._fetch_with_cache, client, ns, key, fetcher=fetcher, **kwargs)


def returning(data: Any) -> Callable[[], Any]:
    return lambda: data


ml("__init__", "ok", None, lambda: Call(Layer.__init__, Client.__new__(Client)))
ml("__init__", "arguments for the next class", None,
   lambda: Call(Layer.__init__, Mixed.__new__(Mixed), fresh("x1"), [1], a=fresh("y1"), b={}))
ml("__init__", "arguments the next class refuses", TypeError,
   lambda: Call(Layer.__init__, Client.__new__(Client), fresh("x1"), a=fresh("y1")))
ml("clear_cache", "one namespace", None,
   lambda: Call(Layer.clear_cache, client(d := object()), fresh("ns")).keeps(d, count=-1))
ml("clear_cache", "everything", None, lambda: Call(Layer.clear_cache, client(d := object())).keeps(d, count=-1))
ml("clear_cache", "namespace not a str", TypeError, lambda: Call(Layer.clear_cache, Client(), [1]))
# Stored in the cache and returned; the key reaches the bucket, the namespace too.
ml(FETCH, "miss: fetched and stored", None, lambda: fetch(
    Client(), n := fresh("ns"), k := key(), returning(d := object()), params=(p := {"a": 1}))
    .keeps(n, k, p).keeps(d, count=2))
ml(FETCH, "hit", None, lambda: fetch(client(d := object()), fresh("ns"), key(), returning(object())).keeps(d))
ml(FETCH, "hit: fetcher None", None, lambda: fetch(client(d := object()), fresh("ns"), key(), None).keeps(d))
ml(FETCH, "live: fetched over a hit", None, lambda: fetch(
    client(old := object()), fresh("ns"), key(), returning(d := object()), live=True)
    .keeps(d, count=2).keeps(old, count=-1))
ml(FETCH, "another caller's result awaited", None, lambda: fetch(
    client(d := object(), inflight=True), fresh("ns"), key(), returning(object()), live=True, wait_timeout=5.0,
    wait_interval=0.0).keeps(d))
ml(FETCH, "wait timed out: fetched", None, lambda: fetch(
    client(inflight=True), n := fresh("ns"), k := key(), returning(d := object()), wait_timeout=0.0)
    .keeps(n, k).keeps(d, count=2))
ml(FETCH, "fetcher fails", Boom, lambda: fetch(Client(), fresh("ns"), key(), lambda: raise_(Boom)))
ml(FETCH, "live: fetcher fails", KeyError,
   lambda: fetch(Client(), fresh("ns"), key(), lambda: raise_(KeyError), live=True))
# The failed cleanup leaves the pair counted in flight.
ml(FETCH, "fetch and its cleanup fail", Boom, lambda: fetch(
    having(Client(), _cache=Leaving()), n := fresh("ns"), k := key(), lambda: raise_(KeyError(fresh("k1"))))
    .keeps(n, k))
# The bucket is made before the bad ttl is met (see _Cache.set).
ml(FETCH, "storing fails", TypeError,
   lambda: fetch(Client(), n := fresh("ns"), key(), returning(object()), ttl_history=fresh("1m")).keeps(n))
ml(FETCH, "wait_timeout not a number", TypeError,
   lambda: fetch(Client(), fresh("ns"), key(), returning(object()), wait_timeout=fresh("1s")))
ml(FETCH, "params not a dict", TypeError, lambda: fetch(Client(), fresh("ns"), key(), returning(object()), params=[1]))
ml(FETCH, "missing ttl", TypeError,
   lambda: Call(Layer._fetch_with_cache, Client(), fresh("ns"), key(), live=False, fetcher=returning(object())))
ml(FETCH, "too many positional arguments", TypeError,
   lambda: Call(Layer._fetch_with_cache, Client(), fresh("ns"), key(), False))
ml(FETCH, "argument given twice", TypeError, lambda: Call(
    Layer._fetch_with_cache, Client(), fresh("ns"), key(), namespace=fresh("ns"), live=False,
    fetcher=returning(object()), ttl_live=None, ttl_history=None))
ml(FETCH, "unexpected keyword", TypeError, lambda: Call(
    Layer._fetch_with_cache, Client(), fresh("ns"), key(), live=False, fetcher=returning(object()), ttl_live=None,
    ttl_history=None, nope=fresh("x1")))

# --- daily_bars, tick_feed ---------------------------------------------------------------

ROWS = {"data": [{"time": "2024-01-02", "close": 1.5}, {"time": "2024-01-03", "close": 2.0}]}
BAD_PAYLOADS = {"invalid JSON": Response(ValueError), "payload not an object": [], "backend error": {"error": "bad"},
                "data not a list": {"data": 1}, "row not an object": {"data": [{"t": 1}, 2]}}


def symbols() -> list:
    return [fresh(" abc"), fresh("ABC"), fresh("xyz")]


for _module in (daily_bars, tick_feed):
    _m, _n, _r = _module.__name__.rsplit(".", 1)[1], _module._normalize_symbols, _module._render_progress
    row(_m, "_normalize_symbols", "one symbol", None, lambda n=_n: Call(n, fresh(" abc ")))
    row(_m, "_normalize_symbols", "sequence", None, lambda n=_n: Call(n, s := symbols()).watch(*s))
    row(_m, "_normalize_symbols", "element not a str", TypeError, lambda n=_n: Call(n, [fresh("abc"), [fresh("x1")]]))
    row(_m, "_normalize_symbols", "blank", ValueError, lambda n=_n: Call(n, fresh("   ")))
    row(_m, "_normalize_symbols", "only blanks", ValueError, lambda n=_n: Call(n, (fresh("  "), fresh("   "))))
    row(_m, "_normalize_symbols", "bytes", TypeError, lambda n=_n: Call(n, b"abc"))
    row(_m, "_render_progress", "mid-way", None, lambda r=_r: Call(r, fresh_int(1000), fresh_int(3000), fresh("AAA")))
    row(_m, "_render_progress", "last", None, lambda r=_r: Call(r, fresh_int(3000), fresh_int(3000), fresh("AAA")))
    row(_m, "_render_progress", "nothing to do", None, lambda r=_r: Call(r, 0, 0, fresh("AAA")))
    row(_m, "_render_progress", "current not an int", TypeError,
        lambda r=_r: Call(r, True, fresh_int(3000), fresh("AAA")))
    for _fn in (_module.fetch_ohlcv, getattr(_module, "fetch_orderbook", None)):
        if _fn is None:
            continue
        _e = _fn.__name__
        row(_m, _e, "ok", None,
            lambda f=_fn: Call(f, session(ROWS), symbols(), fresh("2024-01-01"), show_progress=True))
        row(_m, _e, "no rows", None, lambda f=_fn: Call(f, session({"data": []}), fresh("abc")))
        for _path, _payload in BAD_PAYLOADS.items():
            row(_m, _e, _path, DataDecodingError, lambda f=_fn, p=_payload: Call(f, session(p), symbols()))
        row(_m, _e, "session fails", Boom, lambda f=_fn: Call(f, session(Boom), symbols()))
        row(_m, _e, "no symbol", ValueError, lambda f=_fn: Call(f, session(ROWS), fresh("  ")))
        row(_m, _e, "date not a str", TypeError,
            lambda f=_fn: Call(f, session(ROWS), fresh("abc"), fresh_int(20240101)))
    _f = _module.fetch_ohlcv
    row(_m, "fetch_ohlcv", "payload and data of subclasses", None, lambda f=_f: Call(
        f, session(Mapping(data=Rows([Mapping(time="2024-01-02", close=1.5)]))), fresh("abc")))
    row(_m, "fetch_ohlcv", "backend error in a subclass payload", DataDecodingError,
        lambda f=_f: Call(f, session(Mapping(error=fresh("bad"))), fresh("abc")))
    row(_m, "fetch_ohlcv", "error without text", Boom, lambda f=_f: Call(f, session({"error": BadStr()}), fresh("abc")))
row("daily_bars", "fetch_ohlcv", "with range and interval", None, lambda: Call(
    daily_bars.fetch_ohlcv, session(ROWS), fresh("abc"), fresh("2024-01-01"), fresh("2024-02-01"), fresh("1W"),
    show_progress=False))
row("tick_feed", "fetch_ohlcv", "adjusted", None, lambda: Call(
    tick_feed.fetch_ohlcv, session(ROWS), fresh("abc"), end=fresh("2024-01-05"), interval=fresh("5m"), adjusted=True,
    show_progress=False))

# --- investor.InvestorFlowContract ---------------------------------------------------------

IC, Contract = "investor.InvestorFlowContract", contract.InvestorFlowContract
row(IC, "InvestorFlowContract.fetch_df", "ok", None,
    lambda: Call(Contract.fetch_df, object(), fresh("stock"), fresh("flow"), {"ids": [fresh("A1")]}))
row(IC, "InvestorFlowContract.fetch_df", "params not a dict", TypeError,
    lambda: Call(Contract.fetch_df, object(), fresh("stock"), fresh("flow"), [fresh("A1")]))
row(IC, "InvestorFlowContract.fetch_df", "namespace not a str", TypeError,
    lambda: Call(Contract.fetch_df, object(), fresh_int(1000), fresh("flow"), {}))

# --- investor.flow_engine ----------------------------------------------------------------

FE, Engine, strict_str = "investor.flow_engine", flow_engine.InvestorFlowEngine, flow_engine._strict_str
fe = rows_of(FE, "InvestorFlowEngine.")


def engine(*answers: Any) -> Any:
    return Engine(session(*answers))


class OwnMapping(Engine):
    """Overrides one step: the others must go through it."""

    def _ensure_mapping(self, entry: Any, namespace: str, identifier: Any = None) -> Any:
        return super()._ensure_mapping(entry, namespace, identifier)


def payload_params(**more: Any) -> dict:
    return dict(ids=[fresh(" a1 "), 1, fresh("  ")], group=fresh(" X1 "), interval=fresh("1w"), start=date(2024, 1, 1),
                end=datetime(2024, 1, 2), n=None, **more)


def daily_rows(symbol: str = "symbol") -> list:
    return [{symbol: f"S{i % 3}", "date": f"2024-01-{i % 28 + 1:02d}", "v": i, "t": "x"} for i in range(30)]


def daily_frame() -> Any:
    frame = pd.DataFrame(daily_rows())
    frame["date"] = pd.to_datetime(frame["date"])
    return frame


def hooks_off(*args: Any) -> Any:
    """fetch_df with the progress hooks replaced by no-ops (read from the module at each call)."""
    noop = lambda *args: None  # noqa: E731
    with mock.patch.multiple(flow_engine, start_progress=noop, update_progress=noop, finish_progress=noop):
        return Engine.fetch_df(*args)


def fetch_df(ns: str, op: str, params: Any, *answers: Any, fn: Callable[..., Any] = Engine.fetch_df) -> Call:
    return Call(fn, engine(*answers), fresh(ns), fresh(op), params)


row(FE, "_strict_str", "None", None, lambda: Call(strict_str, None))
row(FE, "_strict_str", "text", None, lambda: Call(strict_str, fresh(" x1 ")))
row(FE, "_strict_str", "NaN", None, lambda: Call(strict_str, float(math.nan)))
row(FE, "_strict_str", "number", None, lambda: Call(strict_str, fresh_int(123456)))
row(FE, "_strict_str", "str() fails", Boom, lambda: Call(strict_str, BadStr()))
fe("__init__", "session set on the instance", None,
   lambda: Call(Engine.__init__, Engine.__new__(Engine), s := session()).keeps(s))
fe("__init__", "missing session", TypeError, lambda: Call(Engine.__init__, Engine.__new__(Engine)))
fe("_prepare_payload", "ok", None,  # the value as given lands in the returned payload
   lambda: Call(Engine._prepare_payload, engine(), payload_params(other=(x := fresh("as given")))).keeps(x))
fe("_prepare_payload", "one id", None,
   lambda: Call(Engine._prepare_payload, engine(), {"ids": fresh(" a1 "), "start": fresh("2024-01-01")}))
fe("_prepare_payload", "ids in a tuple", None,
   lambda: Call(Engine._prepare_payload, engine(), {"ids": (fresh(" a1 "), fresh("b1"))}))
fe("_prepare_payload", "id without text", Boom,
   lambda: Call(Engine._prepare_payload, engine(), {"ids": [fresh("a1"), BadStr()]}))
fe("_prepare_payload", "date without text", Boom, lambda: Call(Engine._prepare_payload, engine(), {"start": BadStr()}))
fe("_prepare_payload", "params not a dict", TypeError, lambda: Call(Engine._prepare_payload, engine(), [fresh("a1")]))
fe("_to_query_params", "ok", None, lambda: Call(
    Engine._to_query_params, engine(), {"ids": [fresh("a1"), fresh(" b1 ")], "g": (g := fresh("foreign"))}).keeps(g))
fe("_to_query_params", "ids from an iterator", None,
   lambda: Call(Engine._to_query_params, engine(), {"ids": iter([fresh("a1"), fresh("b1")])}))
fe("_to_query_params", "id without text", Boom, lambda: Call(Engine._to_query_params, engine(), {"ids": [BadStr()]}))
fe("_request", "ok", None, lambda: Call(Engine._request, engine([{"v": 1}]), fresh("/p"), {"ids": [fresh("a1")]}))
for _status, _path in ((405, "POST refused: GET instead"), (404, "POST not found: GET instead")):
    fe("_request", _path, None, lambda s=_status: Call(Engine._request, engine(refusal(s), []), fresh("/p"),
                                                     {"ids": [fresh("a1"), fresh("b1")]}))
fe("_request", "GET after a refused POST fails", HttpError,
   lambda: Call(Engine._request, engine(refusal(404), refusal(500)), fresh("/p"), {"ids": [fresh("a1")]}))
fe("_request", "HTTP error", HttpError, lambda: Call(Engine._request, engine(refusal(500)), fresh("/p"), {}))
fe("_request", "other error passes", Boom, lambda: Call(Engine._request, engine(Boom), fresh("/p"), {}))
fe("_request", "invalid JSON", ValueError, lambda: Call(Engine._request, engine(Response(ValueError)), fresh("/p"), {}))
fe("_request", "endpoint not a str", TypeError, lambda: Call(Engine._request, engine(), fresh_int(1000), {}))
fe("_normalise_records", "list", None,
   lambda: Call(Engine._normalise_records, engine(), [{"v": 1}, {"v": 2}], fresh("stock")))
fe("_normalise_records", "keyed by id", None, lambda: Call(  # the id tags the row that lacks its own
   Engine._normalise_records, engine(), {(i := fresh("AAA")): [{"v": 1}], "B": [{"v": 2, "symbol": "own"}]},
   fresh("stock")).keeps(i))
fe("_normalise_records", "envelope", None,
   lambda: Call(Engine._normalise_records, engine(), {"data": {"items": [{"v": 1}]}}, fresh("sector")))
fe("_normalise_records", "None", None, lambda: Call(Engine._normalise_records, engine(), None, fresh("stock")))
fe("_normalise_records", "overridden step", None,
   lambda: Call(Engine._normalise_records, OwnMapping(session()), {"A": [{"v": 1}]}, fresh("stock")))
fe("_normalise_records", "rows of a foreign mapping", None, lambda: Call(
    Engine._normalise_records, engine(), MappingProxyType({"A": [MappingProxyType({"v": 1})]}), fresh("stock")))
fe("_normalise_records", "entry not an object", DataDecodingError,
   lambda: Call(Engine._normalise_records, engine(), [{"v": 1}, fresh("x1")], fresh("stock")))
fe("_normalise_records", "unexpected payload", DataDecodingError,
   lambda: Call(Engine._normalise_records, engine(), {"A": [], "B": fresh_int(1000)}, fresh("stock")))
fe("_normalise_records", "id not a str", TypeError,
   lambda: Call(Engine._normalise_records, engine(), {fresh_int(1000): [{"v": 1}]}, fresh("stock")))
fe("_ensure_mapping", "ok", None,  # the value is copied into the returned row
   lambda: Call(Engine._ensure_mapping, engine(), {"v": (v := fresh("v1"))}, fresh("stock")).keeps(v))
fe("_ensure_mapping", "tagged with its id", None,
   lambda: Call(Engine._ensure_mapping, engine(), {"v": 1}, fresh("stock"), i := fresh("AAA")).keeps(i))
fe("_ensure_mapping", "not an object", DataDecodingError,
   lambda: Call(Engine._ensure_mapping, engine(), [fresh("x1")], fresh("stock")))
fe("_ensure_mapping", "id not a str", TypeError,
   lambda: Call(Engine._ensure_mapping, engine(), {}, fresh("stock"), fresh_int(1000)))
fe("_to_dataframe", "ok", None, lambda: Call(Engine._to_dataframe, engine(), daily_rows(), fresh("stock")), True)
fe("_to_dataframe", "column name not interned", None, lambda: Call(  # the frame's column label
   Engine._to_dataframe, engine(), r := daily_rows(k := fresh("symbol")), fresh("stock")).watch(r[0]).keeps(k), True)
fe("_to_dataframe", "no rows", None, lambda: Call(Engine._to_dataframe, engine(), [], fresh("stock")))
fe("_to_dataframe", "row of another kind", Exception,
   lambda: Call(Engine._to_dataframe, engine(), [{"v": 1}, fresh_int(1000)], fresh("stock")), True)
fe("_to_dataframe", "rows not a list", TypeError, lambda: Call(Engine._to_dataframe, engine(), (), fresh("stock")))
fe("_resample_frame", "grouped", None,
   lambda: Call(Engine._resample_frame, engine(), daily_frame(), fresh("stock"), fresh("1W")), True)
fe("_resample_frame", "pandas' resampler", None,
   lambda: Call(Engine._resample_frame, engine(), daily_frame(), fresh("stock"), fresh("2B")), True)
fe("_resample_frame", "no date column: returned as given", None, lambda: Call(
    Engine._resample_frame, engine(), f := pd.DataFrame({"v": [1, 2]}), fresh("stock"), fresh("1W")).keeps(f), True)
fe("_resample_frame", "unknown interval", ValueError,
   lambda: Call(Engine._resample_frame, engine(), daily_frame(), fresh("stock"), fresh("NOPE")), True)
fe("_resample_frame", "interval not a str", TypeError,
   lambda: Call(Engine._resample_frame, engine(), pd.DataFrame(), fresh("stock"), fresh_int(1000)))
fe("fetch_df", "one id", None, lambda: fetch_df(
    "stock", "flow", {"ids": fresh("A1"), "interval": fresh("1W")}, [{"symbol": "A", "date": "2024-01-02", "v": 1}]),
   True)
fe("fetch_df", "several ids", None,
   lambda: fetch_df("Stock", "FLOW", {"ids": [fresh("A1"), fresh("B1")]}, [{"date": "2024-01-02", "v": 1}]), True)
fe("fetch_df", "several ids, progress hooks replaced", None, lambda: fetch_df(
    "stock", "flow", {"ids": [fresh("A1"), fresh("B1")]}, [{"date": "2024-01-02", "v": 1}], fn=hooks_off),
    True)
fe("fetch_df", "unknown namespace", ValueError, lambda: fetch_df("fund", "flow", {}))
fe("fetch_df", "unknown operation", ValueError, lambda: fetch_df("market", "foreign_room", {}))
fe("fetch_df", "request fails", HttpError, lambda: fetch_df("stock", "flow", {}, refusal(500)))
fe("fetch_df", "one of several ids fails", DataDecodingError,
   lambda: fetch_df("stock", "flow", {"ids": [fresh("A1"), fresh("B1")]}, fresh("not rows")))
fe("fetch_df", "params not a dict", TypeError, lambda: fetch_df("stock", "flow", [fresh("A1")]))

# --- the frames engine (private_core._frames, behind private_core.helpers) --------------

FR = "_frames"


def minute_rows(zone: str = "", odd: Any = None) -> list:
    rows = [{"symbol": f"S{i % 3}", "time": f"2024-01-02T09:{i:02d}:00{zone}", "open": 1.5 + i, "volume": i,
             "note": None if i % 4 else "x"} for i in range(30)]
    if odd is not None:
        rows[7]["open"] = odd
    return rows


def resample(interval: str, numpy: bool, gap: bool = False) -> Call:
    frame = helpers._to_dataframe(minute_rows())
    times = pd.to_datetime(frame["time"].astype(object).where(frame.index != 4, None)) if gap else frame["time"]
    return Call(frames.resample_ohlcv, frame, fresh("time"), times, fresh(interval), numpy)


row(FR, "rows_to_frame", "ok", None, lambda: Call(frames.rows_to_frame, minute_rows(), ("time", "date")), True)
row(FR, "rows_to_frame", "times left to pandas", None,
    lambda: Call(frames.rows_to_frame, minute_rows("+07:00"), ("time", "date")), True)
row(FR, "rows_to_frame", "a value outside JSON: None returned", None,
    lambda: Call(frames.rows_to_frame, minute_rows(odd=[fresh("x1")]), ("time", "date")))
row(FR, "resample_ohlcv", "one pass", None, lambda: resample("5m", False), True)
row(FR, "resample_ohlcv", "numpy's reductions", None, lambda: resample("1W", True), True)
row(FR, "resample_ohlcv", "a missing time: None returned", None, lambda: resample("5m", False, gap=True), True)
