"""Every public entry point of the extension modules, on its success path and on each of
its error paths, as calls built from fresh objects: one row each, run by the
reference-count table and the leak loops.

A row names its module, entry point (looked up by that name), path and expected exception
or None; build(fn) makes a leakcheck.Call of the entry point with new objects, documenting
what it keeps (`:=` names those objects). Sessions are fakes.py's: no network."""
import contextlib
import importlib
import math
import sys
from collections import deque
from datetime import date, datetime, timedelta
from functools import partial, reduce
from types import MappingProxyType
from typing import Any, Callable, List, NamedTuple, Optional, Type
from unittest import mock

from private_core_models import investor_oracle
import pandas as pd
import requests
from fakes import BadStr, Boom, DictSub, Interrupt, MemoClient, Response, Session, Transport, raise_
from leakcheck import Call, fresh, fresh_int
from tavrix.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

from private_core import helpers, memo_layer, memo_store, transport_base
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
        build: Callable[[Any], Call], heavy: bool = False) -> None:
    fn = reduce(getattr, entry.split("."), importlib.import_module(f"private_core.{module}"))
    CASES.append(Case(module, entry, path, raises, partial(build, fn), heavy))


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


def fail(*args: Any) -> None:  # a method of a caller's own object
    raise Boom()


class Rows(list):
    pass


# --- transport_base ----------------------------------------------------------------------
TB, HS = "transport_base", transport_base.HttpSession
tb = rows_of(TB, "HttpSession.")


def http(*answers: Any, close_error: Any = None) -> Any:
    return having(HS.__new__(HS), api_key=fresh("key"), base_url=fresh("http://127.0.0.1:9/api"), timeout=30,
                  _session=quiet(Transport(*answers, close_error=close_error)))


def sent() -> dict:  # every optional part of a request
    return dict(params={"a": fresh("p1")}, json_body={"b": [1]}, data=[fresh("d1")], headers={"X-A": fresh("h1")},
                timeout=fresh_int(2000))


row(TB, "_default_user_agent", "ok", None, lambda f: Call(f, fresh("1.2.3")))
row(TB, "_default_user_agent", "not a str", TypeError, lambda f: Call(f, fresh_int(2000)))
row(TB, "_default_user_agent", "missing argument", TypeError, lambda f: Call(f, nope=fresh("x1")))
# base_url ends in "/": rstrip makes a new string, and that one is kept.
tb("__init__", "ok", None, lambda f: Call(
    f, HS.__new__(HS), k := fresh("key"), base_url=fresh("http://127.0.0.1:9/a/"), version=fresh("1.0"),
    timeout=(t := fresh_int(2000)), user_agent=(a := fresh("ua/1"))).keeps(k, t, a))
tb("__init__", "default user agent", None,
   lambda f: Call(f, HS.__new__(HS), k := fresh("key"), version=fresh("1.0")).keeps(k))
tb("__init__", "key not a str", TypeError, lambda f: Call(f, HS.__new__(HS), fresh_int(2000)))
tb("_prepare_url", "relative", None, lambda f: Call(f, http(), fresh("//eod/x?y=1")))
tb("_prepare_url", "absolute: returned as given", None,
   lambda f: Call(f, http(), p := fresh("http://127.0.0.1:9/x")).keeps(p))
tb("_prepare_url", "not a str", TypeError, lambda f: Call(f, http(), b"/x"))
tb("request", "ok", None, lambda f: Call(f, http(), fresh("GET"), fresh("/p"), **sent()))
tb("request", "transport failure", HttpError,
   lambda f: Call(f, http(requests.ConnectionError), fresh("GET"), fresh("/p"), **sent()))
tb("request", "other error passes", Boom, lambda f: Call(f, http(Boom), fresh("GET"), fresh("/p")))
tb("request", "status 404 with JSON", HttpError,
   lambda f: Call(f, http(Response({"detail": "no"}, 404)), fresh("GET"), fresh("/p"), **sent()))
tb("request", "status 500 without JSON", HttpError,
   lambda f: Call(f, http(Response(ValueError, 500)), fresh("GET"), fresh("/p")))
tb("request", "JSON of a failed answer fails otherwise", Boom,
   lambda f: Call(f, http(Response(Boom, 500)), fresh("GET"), fresh("/p")))
tb("request", "headers not a dict", TypeError, lambda f: Call(f, http(), fresh("GET"), fresh("/p"), headers=[1]))
tb("request", "missing path", TypeError, lambda f: Call(f, http(), fresh("GET")))
tb("get", "ok", None, lambda f: Call(f, http(), fresh("/p"), params={"a": fresh("p1")}, headers={"X-A": fresh("h1")},
                                     timeout=fresh_int(2000)))
tb("get", "status 404", HttpError, lambda f: Call(f, http(Response("x", 404)), fresh("/p"), params={"a": fresh("p1")}))
tb("get", "params not a dict", TypeError, lambda f: Call(f, http(), fresh("/p"), params=[fresh("p1")]))
tb("get", "path not a str", TypeError, lambda f: Call(f, http(), fresh_int(2000)))
tb("post", "ok", None, lambda f: Call(f, http(), fresh("/p"), json_body={"a": fresh("b1")}, data=fresh("raw"),
                                      headers={"X-A": fresh("h1")}))
tb("post", "transport failure", HttpError,
   lambda f: Call(f, http(requests.Timeout), fresh("/p"), json_body={"a": fresh("b1")}))
tb("post", "timeout not an int", TypeError, lambda f: Call(f, http(), fresh("/p"), timeout=1.5))
tb("post", "timeout a bool", TypeError, lambda f: Call(f, http(), fresh("/p"), json_body=[fresh("b1")], timeout=True))
tb("close", "ok", None, lambda f: Call(f, http()))
tb("close", "a requests session", None, lambda f: Call(f, HS(fresh("key"))))
tb("close", "close fails", Boom, lambda f: Call(f, http(close_error=Boom)))
tb("__enter__", "returns self", None, lambda f: Call(f, s := http()).keeps(s))
tb("__exit__", "clean exit", None, lambda f: Call(f, http(), None, None, None))
tb("__exit__", "exit with an error, close fails", Boom,
   lambda f: Call(f, http(close_error=Boom), KeyError, KeyError(fresh("k1")), None))
tb("__exit__", "missing arguments", TypeError, lambda f: Call(f, http(), None))

# --- keygate -----------------------------------------------------------------------------
AKV = ApiKeyValidationError
kg = partial(row, "keygate", "validate_api_key")


def keyed(*answers: Any) -> Session:
    return session(*answers, api_key=fresh("key"))


def validate(fn: Any, session: Any, **kwargs: Any) -> Call:
    kwargs.setdefault("client_version", fresh("1.0"))
    return Call(fn, session, **kwargs).watch(getattr(session, "api_key", None))


kg("ok", None, lambda f: validate(f, keyed({"valid": True, "message": "fine"}), include_messages=False,
                                  extra_context={"a": fresh("ctx")}))
for _status, _payload in ((401, {"detail": "no"}), (422, {"detail": [{"msg": "bad"}]}), (500, "  text  "),
                          (503, None), (None, None)):
    kg(f"backend refuses ({_status or 'no status'})", AKV,
       lambda f, s=_status, p=_payload: validate(f, keyed(refusal(s, p))))
kg("refusal detail without text", Boom, lambda f: validate(f, keyed(refusal(400, {"detail": BadStr()}))))
kg("refusal payload of a subclass", AKV, lambda f: validate(f, keyed(refusal(400, DictSub(message=fresh("m1"))))))
kg("network failure", AKV, lambda f: validate(f, keyed(KeyError)))
kg("interrupt passes", Interrupt, lambda f: validate(f, keyed(Interrupt)))
kg("invalid JSON", AKV, lambda f: validate(f, keyed(Response(ValueError))))
kg("JSON error not a ValueError passes", Boom, lambda f: validate(f, keyed(Response(Boom))))
kg("schema mismatch", AKV, lambda f: validate(f, keyed([])))
kg("session without key", AttributeError, lambda f: validate(f, session({"valid": True}, api_key=None)))
kg("version not a str", TypeError, lambda f: validate(f, keyed({"valid": True}), client_version=fresh_int(2000)))
kg("missing version", TypeError, lambda f: Call(f, keyed({"valid": True})))

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


def foreign(lock: Any = None) -> Any:
    """A cache over dict subclasses and a lock of Python's own (`lock`, set once the cache
    holds one entry; by default one doing nothing)."""
    cache = having(Cache(), _store=DictSub(), _inflight=DictSub(), _lock=contextlib.nullcontext())
    cache.set("ns", ("k1", 1), object())
    return having(cache, _lock=lock or cache._lock)


class FailingLock(contextlib.nullcontext):
    __exit__ = fail


class Failing(DictSub):
    get = clear = fail


row(MS, "CacheEntry.is_expired", "no expiry", None, lambda f: Call(f, Entry(object(), datetime.now(), {}, None)))
row(MS, "CacheEntry.is_expired", "expired", None,
    lambda f: Call(f, Entry(object(), datetime.now(), {}, datetime.now() - timedelta(seconds=1))))
row(MS, "CacheEntry.is_expired", "expiry not comparable", TypeError,
    lambda f: Call(f, Entry(object(), datetime.now(), {}, fresh("soon"))))
ms("__init__", "singleflight", None,  # the flag is kept as passed
   lambda f: Call(f, Cache.__new__(Cache), s := fresh_int(2000)).keeps(s))
ms("__init__", "no singleflight", None, lambda f: Call(f, Cache.__new__(Cache), False))
ms("get", "hit", None, lambda f: Call(f, filled(), fresh("ns"), key()))
ms("get", "no namespace", None, lambda f: Call(f, filled(), fresh("other"), key()))
ms("get", "no key", None, lambda f: Call(f, filled(), fresh("ns"), key(2)))
ms("get", "expired: evicted", None,
   lambda f: Call(f, filled(d := object(), timedelta(seconds=-1)), fresh("ns"), key()).keeps(d, count=-1))
ms("get", "unhashable key", TypeError, lambda f: Call(f, filled(), fresh("ns"), [1]))
ms("get", "foreign store and lock", None, lambda f: Call(f, foreign(), fresh("ns"), key()))
ms("get", "error swallowed by the lock", None,
   lambda f: Call(f, foreign(contextlib.suppress(TypeError)), fresh("ns"), [1]))
ms("get", "lock fails on exit", Boom, lambda f: Call(f, foreign(FailingLock()), fresh("ns"), [1]))
ms("set", "new namespace", None, lambda f: Call(
    f, Cache(), n := fresh("ns"), k := key(), d := object(), params=(p := {"a": 1}), ttl=timedelta(minutes=1))
    .keeps(n, k, d, p))
# The bucket keeps its own key objects; the old entry's data is released.
ms("set", "replaces an entry", None,
   lambda f: Call(f, filled(old := object()), fresh("ns"), key(), d := object()).keeps(d).keeps(old, count=-1))
ms("set", "foreign store and lock", None,
   lambda f: Call(f, foreign(), fresh("ns"), k := key(2), d := object()).keeps(k, d))
ms("set", "params not a dict", TypeError, lambda f: Call(f, filled(), fresh("ns"), key(), object(), params=[1]))
# The namespace's bucket is made before the entry: it stays, empty.
ms("set", "ttl not a timedelta", TypeError,
   lambda f: Call(f, Cache(), n := fresh("ns"), key(), object(), ttl=fresh("1m")).keeps(n))
ms("set", "unhashable key", TypeError, lambda f: Call(f, filled(), fresh("ns"), [1], object()))
ms("clear_ns", "releases the namespace", None, lambda f: Call(f, filled(d := object()), fresh("ns")).keeps(d, count=-1))
ms("clear_ns", "foreign store", None, lambda f: Call(f, foreign(), fresh("ns")))
ms("clear_ns", "unhashable namespace", TypeError, lambda f: Call(f, filled(), [1]))
ms("clear_all", "releases everything", None, lambda f: Call(f, filled(d := object())).keeps(d, count=-1))
ms("clear_all", "store replaced by a failing mapping", Boom, lambda f: Call(f, having(Cache(), _store=Failing())))
ms("_begin_inflight", "first caller", None, lambda f: Call(f, Cache(), n := fresh("ns"), k := key()).keeps(n, k))
ms("_begin_inflight", "second caller", None, lambda f: Call(f, begun(Cache()), fresh("ns"), key()))
ms("_begin_inflight", "no singleflight", None, lambda f: Call(f, Cache(False), fresh("ns"), key()))
ms("_begin_inflight", "unhashable key", TypeError, lambda f: Call(f, Cache(), fresh("ns"), [1]))
ms("_begin_inflight", "inflight table gone", AssertionError,
   lambda f: Call(f, having(Cache(), _inflight=None), fresh("ns"), key()))
ms("_begin_inflight", "foreign table fails", Boom,
   lambda f: Call(f, having(Cache(), _inflight=Failing()), fresh("ns"), key()))
ms("_end_inflight", "last caller: released", None,
   lambda f: Call(f, begun(Cache(), n := fresh("ns"), k := key()), fresh("ns"), key()).keeps(n, k, count=-1))
ms("_end_inflight", "one caller left", None, lambda f: Call(f, begun(Cache(), times=2), fresh("ns"), key()))
ms("_end_inflight", "foreign table", None, lambda f: Call(f, begun(foreign()), fresh("ns"), key()))
ms("_end_inflight", "unhashable key", TypeError, lambda f: Call(f, Cache(), fresh("ns"), [1]))
row(MS, "to_date", "None: today", None, lambda f: Call(f, None))
row(MS, "to_date", "date: returned as given", None, lambda f: Call(f, d := date(2024, 5, 3)).keeps(d))
row(MS, "to_date", "datetime", None, lambda f: Call(f, datetime(2024, 5, 3, 10)))
row(MS, "to_date", "text", None, lambda f: Call(f, fresh("2024-05-03")))
row(MS, "to_date", "text not a date", ValueError, lambda f: Call(f, fresh("2024-13-45")))
row(MS, "to_date", "unsupported type", ValueError, lambda f: Call(f, 1.5))
row(MS, "is_today", "ok", None, lambda f: Call(f, fresh("2024-05-03")))
row(MS, "is_today", "None: today", None, lambda f: Call(f, None))
row(MS, "is_today", "not a date", ValueError, lambda f: Call(f, [fresh("x1")]))

# --- memo_rules --------------------------------------------------------------------------
MR = "memo_rules"
row(MR, "touches_latest_trading_day", "ok", None, lambda f: Call(f, fresh("2024-05-03")))
row(MR, "touches_latest_trading_day", "not a date", ValueError, lambda f: Call(f, object()))
for _name in ("ttl_intraday_live", "ttl_intraday_history", "ttl_orderbook_live", "ttl_eod_latest", "ttl_eod_history"):
    row(MR, _name, "ok", None, lambda f: Call(f))
    row(MR, _name, "unexpected argument", TypeError, lambda f: Call(f, fresh("x1")))

# --- memo_layer --------------------------------------------------------------------------
Layer, ml, FETCH = memo_layer.BaseMemoLayer, rows_of("memo_layer", "BaseMemoLayer."), "_fetch_with_cache"


class Base:
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        pass


class Mixed(Layer, Base):
    """The layer as a mixin: what it is not given goes on to the next class."""


class Leaving(Cache):
    _end_inflight = fail  # the cleanup after a fetch


def client(data: Any = None, inflight: bool = False) -> MemoClient:
    """A client whose cache holds `data` under ("ns", ("k1", 1)), and has that pair in flight."""
    made = MemoClient()
    if inflight:
        made._cache._begin_inflight("ns", ("k1", 1))
    if data is not None:
        made._cache.set("ns", ("k1", 1), data)
    return made


def cached(fn: Any, client: Any, ns: Any, key: Any, fetcher: Any, **kwargs: Any) -> Call:
    """A call of _fetch_with_cache, by default for history kept for good."""
    kwargs = dict(dict(live=False, ttl_live=timedelta(minutes=1), ttl_history=None), **kwargs)
    return Call(fn, client, ns, key, fetcher=fetcher, **kwargs)


def returning(data: Any) -> Callable[[], Any]:
    return lambda: data


ml("__init__", "ok", None, lambda f: Call(f, MemoClient.__new__(MemoClient)))
ml("__init__", "arguments for the next class", None,
   lambda f: Call(f, Mixed.__new__(Mixed), fresh("x1"), [1], a=fresh("y1"), b={}))
ml("__init__", "arguments the next class refuses", TypeError,
   lambda f: Call(f, MemoClient.__new__(MemoClient), fresh("x1"), a=fresh("y1")))
ml("clear_cache", "one namespace", None, lambda f: Call(f, client(d := object()), fresh("ns")).keeps(d, count=-1))
ml("clear_cache", "everything", None, lambda f: Call(f, client(d := object())).keeps(d, count=-1))
ml("clear_cache", "namespace not a str", TypeError, lambda f: Call(f, client(), [1]))
# Stored in the cache and returned; the key reaches the bucket, the namespace too.
ml(FETCH, "miss: fetched and stored", None, lambda f: cached(
    f, client(), n := fresh("ns"), k := key(), returning(d := object()), params=(p := {"a": 1}))
    .keeps(n, k, p).keeps(d, count=2))
ml(FETCH, "hit", None, lambda f: cached(f, client(d := object()), fresh("ns"), key(), returning(object())).keeps(d))
ml(FETCH, "hit: fetcher None", None, lambda f: cached(f, client(d := object()), fresh("ns"), key(), None).keeps(d))
ml(FETCH, "live: fetched over a hit", None, lambda f: cached(
    f, client(old := object()), fresh("ns"), key(), returning(d := object()), live=True)
    .keeps(d, count=2).keeps(old, count=-1))
ml(FETCH, "another caller's result awaited", None, lambda f: cached(
    f, client(d := object(), inflight=True), fresh("ns"), key(), returning(object()), live=True, wait_timeout=5.0,
    wait_interval=0.0).keeps(d))
ml(FETCH, "wait timed out: fetched", None, lambda f: cached(
    f, client(inflight=True), n := fresh("ns"), k := key(), returning(d := object()), wait_timeout=0.0)
    .keeps(n, k).keeps(d, count=2))
ml(FETCH, "fetcher fails", Boom, lambda f: cached(f, client(), fresh("ns"), key(), lambda: raise_(Boom)))
ml(FETCH, "live: fetcher fails", KeyError,
   lambda f: cached(f, client(), fresh("ns"), key(), lambda: raise_(KeyError), live=True))
# The failed cleanup leaves the pair counted in flight.
ml(FETCH, "fetch and its cleanup fail", Boom, lambda f: cached(
    f, having(client(), _cache=Leaving()), n := fresh("ns"), k := key(), lambda: raise_(KeyError(fresh("k1"))))
    .keeps(n, k))
# The bucket is made before the bad ttl is met (see _Cache.set).
ml(FETCH, "storing fails", TypeError,
   lambda f: cached(f, client(), n := fresh("ns"), key(), returning(object()), ttl_history=fresh("1m")).keeps(n))
ml(FETCH, "wait_timeout not a number", TypeError,
   lambda f: cached(f, client(), fresh("ns"), key(), returning(object()), wait_timeout=fresh("1s")))
ml(FETCH, "params not a dict", TypeError,
   lambda f: cached(f, client(), fresh("ns"), key(), returning(object()), params=[1]))
ml(FETCH, "missing ttl", TypeError,
   lambda f: Call(f, client(), fresh("ns"), key(), live=False, fetcher=returning(object())))
ml(FETCH, "too many positional arguments", TypeError, lambda f: Call(f, client(), fresh("ns"), key(), False))
ml(FETCH, "argument given twice", TypeError,
   lambda f: cached(f, client(), fresh("ns"), key(), returning(object()), namespace=fresh("ns"), ttl_live=None))
ml(FETCH, "unexpected keyword", TypeError,
   lambda f: cached(f, client(), fresh("ns"), key(), returning(object()), ttl_live=None, nope=fresh("x1")))

# --- daily_bars, tick_feed ---------------------------------------------------------------
ROWS = {"data": [{"time": "2024-01-02", "close": 1.5}, {"time": "2024-01-03", "close": 2.0}]}
BAD_PAYLOADS = {"invalid JSON": Response(ValueError), "payload not an object": [], "backend error": {"error": "bad"},
                "data not a list": {"data": 1}, "row not an object": {"data": [{"t": 1}, 2]}}


def symbols() -> list:
    return [fresh(" abc"), fresh("ABC"), fresh("xyz")]


for _m, _fetchers in (("daily_bars", ["fetch_ohlcv"]), ("tick_feed", ["fetch_ohlcv", "fetch_orderbook"])):
    bars = rows_of(_m)
    bars("_normalize_symbols", "one symbol", None, lambda f: Call(f, fresh(" abc ")))
    bars("_normalize_symbols", "sequence", None, lambda f: Call(f, s := symbols()).watch(*s))
    bars("_normalize_symbols", "element not a str", TypeError, lambda f: Call(f, [fresh("abc"), [fresh("x1")]]))
    bars("_normalize_symbols", "blank", ValueError, lambda f: Call(f, fresh("   ")))
    bars("_normalize_symbols", "only blanks", ValueError, lambda f: Call(f, (fresh("  "), fresh("   "))))
    bars("_normalize_symbols", "bytes", TypeError, lambda f: Call(f, b"abc"))
    bars("_render_progress", "mid-way", None, lambda f: Call(f, fresh_int(2000), fresh_int(3000), fresh("AAA")))
    bars("_render_progress", "last", None, lambda f: Call(f, fresh_int(3000), fresh_int(3000), fresh("AAA")))
    bars("_render_progress", "nothing to do", None, lambda f: Call(f, 0, 0, fresh("AAA")))
    bars("_render_progress", "current not an int", TypeError, lambda f: Call(f, True, fresh_int(3000), fresh("AAA")))
    for _e in _fetchers:
        bars(_e, "ok", None, lambda f: Call(f, session(ROWS), symbols(), fresh("2024-01-01"), show_progress=True))
        bars(_e, "no rows", None, lambda f: Call(f, session({"data": []}), fresh("abc")))
        for _path, _payload in BAD_PAYLOADS.items():
            bars(_e, _path, DataDecodingError, lambda f, p=_payload: Call(f, session(p), symbols()))
        bars(_e, "session fails", Boom, lambda f: Call(f, session(Boom), symbols()))
        bars(_e, "no symbol", ValueError, lambda f: Call(f, session(ROWS), fresh("  ")))
        bars(_e, "date not a str", TypeError, lambda f: Call(f, session(ROWS), fresh("abc"), fresh_int(20240101)))
    bars("fetch_ohlcv", "payload and data of subclasses", None,
         lambda f: Call(f, session(DictSub(data=Rows([DictSub(time="2024-01-02", close=1.5)]))), fresh("abc")))
    bars("fetch_ohlcv", "backend error in a subclass payload", DataDecodingError,
         lambda f: Call(f, session(DictSub(error=fresh("bad"))), fresh("abc")))
    bars("fetch_ohlcv", "error without text", Boom, lambda f: Call(f, session({"error": BadStr()}), fresh("abc")))
row("daily_bars", "fetch_ohlcv", "with range and interval", None, lambda f: Call(
    f, session(ROWS), fresh("abc"), fresh("2024-01-01"), fresh("2024-02-01"), fresh("1W"), show_progress=False))
row("tick_feed", "fetch_ohlcv", "adjusted", None, lambda f: Call(
    f, session(ROWS), fresh("abc"), end=fresh("2024-01-05"), interval=fresh("5m"), adjusted=True, show_progress=False))

# --- investor.InvestorFlowContract ---------------------------------------------------------
ic = rows_of("investor.InvestorFlowContract", "InvestorFlowContract.")
ic("fetch_df", "ok", None, lambda f: Call(f, object(), fresh("stock"), fresh("flow"), {"ids": [fresh("A1")]}))
ic("fetch_df", "params not a dict", TypeError,
   lambda f: Call(f, object(), fresh("stock"), fresh("flow"), [fresh("A1")]))
ic("fetch_df", "namespace not a str", TypeError, lambda f: Call(f, object(), fresh_int(2000), fresh("flow"), {}))

# --- investor.flow_engine ----------------------------------------------------------------
FE, Engine = "investor.flow_engine", flow_engine.InvestorFlowEngine
fe = rows_of(FE, "InvestorFlowEngine.")


def engine(*answers: Any) -> Any:
    return Engine(session(*answers))


class OwnMapping(Engine):
    """Overrides one step: the others must go through it."""

    def _ensure_mapping(self, entry: Any, namespace: str, identifier: Any = None) -> Any:
        return super()._ensure_mapping(entry, namespace, identifier)


def daily_rows(symbol: str = "symbol") -> list:
    return [{symbol: f"S{i % 3}", "date": f"2024-01-{i % 28 + 1:02d}", "v": i, "t": "x"} for i in range(30)]


def label_references() -> int:
    """References a frame built the plain pandas way keeps to one of its column labels:
    one on pandas 2, two on pandas 3. The engine's frame keeps as many."""
    rows = daily_rows(key := fresh("symbol"))
    before = sys.getrefcount(key)
    frame = investor_oracle.to_dataframe(rows, "stock")  # noqa: F841 - held while counting
    return sys.getrefcount(key) - before


LABELS = label_references()


def daily_frame() -> Any:
    return pd.DataFrame(daily_rows()).assign(date=lambda frame: pd.to_datetime(frame["date"]))


def hooks_off(*args: Any) -> Any:
    """fetch_df with the progress hooks replaced by no-ops (read from the module at each call)."""
    noop = lambda *args: None  # noqa: E731
    with mock.patch.multiple(flow_engine, start_progress=noop, update_progress=noop, finish_progress=noop):
        return Engine.fetch_df(*args)


def fetch_df(fn: Any, ns: str, op: str, params: Any, *answers: Any) -> Call:
    return Call(fn, engine(*answers), fresh(ns), fresh(op), params)


row(FE, "_strict_str", "None", None, lambda f: Call(f, None))
row(FE, "_strict_str", "text", None, lambda f: Call(f, fresh(" x1 ")))
row(FE, "_strict_str", "NaN", None, lambda f: Call(f, float(math.nan)))
row(FE, "_strict_str", "number", None, lambda f: Call(f, fresh_int(123456)))
row(FE, "_strict_str", "str() fails", Boom, lambda f: Call(f, BadStr()))
fe("__init__", "session set on the instance", None, lambda f: Call(f, Engine.__new__(Engine), s := session()).keeps(s))
fe("__init__", "missing session", TypeError, lambda f: Call(f, Engine.__new__(Engine)))
fe("_prepare_payload", "ok", None, lambda f: Call(  # the value as given lands in the returned payload
   f, engine(), dict(ids=[fresh(" a1 "), 1, fresh("  ")], group=fresh(" X1 "), interval=fresh("1w"),
                     start=date(2024, 1, 1), end=datetime(2024, 1, 2), n=None, other=(x := fresh("as given"))))
   .keeps(x))
fe("_prepare_payload", "one id", None,
   lambda f: Call(f, engine(), {"ids": fresh(" a1 "), "start": fresh("2024-01-01")}))
fe("_prepare_payload", "ids in a tuple", None, lambda f: Call(f, engine(), {"ids": (fresh(" a1 "), fresh("b1"))}))
fe("_prepare_payload", "id without text", Boom, lambda f: Call(f, engine(), {"ids": [fresh("a1"), BadStr()]}))
fe("_prepare_payload", "date without text", Boom, lambda f: Call(f, engine(), {"start": BadStr()}))
fe("_prepare_payload", "params not a dict", TypeError, lambda f: Call(f, engine(), [fresh("a1")]))
fe("_to_query_params", "ok", None,
   lambda f: Call(f, engine(), {"ids": [fresh("a1"), fresh(" b1 ")], "g": (g := fresh("foreign"))}).keeps(g))
fe("_to_query_params", "ids from an iterator", None,
   lambda f: Call(f, engine(), {"ids": iter([fresh("a1"), fresh("b1")])}))
fe("_to_query_params", "id without text", Boom, lambda f: Call(f, engine(), {"ids": [BadStr()]}))
fe("_request", "ok", None, lambda f: Call(f, engine([{"v": 1}]), fresh("/p"), {"ids": [fresh("a1")]}))
for _status, _path in ((405, "POST refused: GET instead"), (404, "POST not found: GET instead")):
    fe("_request", _path, None,
       lambda f, s=_status: Call(f, engine(refusal(s), []), fresh("/p"), {"ids": [fresh("a1"), fresh("b1")]}))
fe("_request", "GET after a refused POST fails", HttpError,
   lambda f: Call(f, engine(refusal(404), refusal(500)), fresh("/p"), {"ids": [fresh("a1")]}))
fe("_request", "HTTP error", HttpError, lambda f: Call(f, engine(refusal(500)), fresh("/p"), {}))
fe("_request", "other error passes", Boom, lambda f: Call(f, engine(Boom), fresh("/p"), {}))
fe("_request", "invalid JSON", ValueError, lambda f: Call(f, engine(Response(ValueError)), fresh("/p"), {}))
fe("_request", "endpoint not a str", TypeError, lambda f: Call(f, engine(), fresh_int(2000), {}))
fe("_normalise_records", "list", None, lambda f: Call(f, engine(), [{"v": 1}, {"v": 2}], fresh("stock")))
fe("_normalise_records", "keyed by id", None, lambda f: Call(  # the id tags the row that lacks its own
   f, engine(), {(i := fresh("AAA")): [{"v": 1}], "B": [{"v": 2, "symbol": "own"}]}, fresh("stock")).keeps(i))
fe("_normalise_records", "envelope", None,
   lambda f: Call(f, engine(), {"data": {"items": [{"v": 1}]}}, fresh("sector")))
fe("_normalise_records", "None", None, lambda f: Call(f, engine(), None, fresh("stock")))
fe("_normalise_records", "overridden step", None,
   lambda f: Call(f, OwnMapping(session()), {"A": [{"v": 1}]}, fresh("stock")))
fe("_normalise_records", "rows of a foreign mapping", None,
   lambda f: Call(f, engine(), MappingProxyType({"A": [MappingProxyType({"v": 1})]}), fresh("stock")))
fe("_normalise_records", "entry not an object", DataDecodingError,
   lambda f: Call(f, engine(), [{"v": 1}, fresh("x1")], fresh("stock")))
fe("_normalise_records", "unexpected payload", DataDecodingError,
   lambda f: Call(f, engine(), {"A": [], "B": fresh_int(2000)}, fresh("stock")))
fe("_normalise_records", "id not a str", TypeError,
   lambda f: Call(f, engine(), {fresh_int(2000): [{"v": 1}]}, fresh("stock")))
fe("_ensure_mapping", "ok", None,  # the value is copied into the returned row
   lambda f: Call(f, engine(), {"v": (v := fresh("v1"))}, fresh("stock")).keeps(v))
fe("_ensure_mapping", "tagged with its id", None,
   lambda f: Call(f, engine(), {"v": 1}, fresh("stock"), i := fresh("AAA")).keeps(i))
fe("_ensure_mapping", "not an object", DataDecodingError, lambda f: Call(f, engine(), [fresh("x1")], fresh("stock")))
fe("_ensure_mapping", "id not a str", TypeError, lambda f: Call(f, engine(), {}, fresh("stock"), fresh_int(2000)))
fe("_to_dataframe", "ok", None, lambda f: Call(f, engine(), daily_rows(), fresh("stock")), True)
fe("_to_dataframe", "column name not interned", None, lambda f: Call(  # the frame's column label
   f, engine(), r := daily_rows(k := fresh("symbol")), fresh("stock")).watch(r[0]).keeps(k, count=LABELS), True)
fe("_to_dataframe", "no rows", None, lambda f: Call(f, engine(), [], fresh("stock")))
fe("_to_dataframe", "row of another kind", Exception,
   lambda f: Call(f, engine(), [{"v": 1}, fresh_int(2000)], fresh("stock")), True)
fe("_to_dataframe", "rows not a list", TypeError, lambda f: Call(f, engine(), (), fresh("stock")))
fe("_resample_frame", "grouped", None, lambda f: Call(f, engine(), daily_frame(), fresh("stock"), fresh("1W")), True)
fe("_resample_frame", "pandas' resampler", None,
   lambda f: Call(f, engine(), daily_frame(), fresh("stock"), fresh("2B")), True)
fe("_resample_frame", "no date column: returned as given", None, lambda f: Call(
    f, engine(), d := pd.DataFrame({"v": [1, 2]}), fresh("stock"), fresh("1W")).keeps(d), True)
fe("_resample_frame", "unknown interval", ValueError,
   lambda f: Call(f, engine(), daily_frame(), fresh("stock"), fresh("NOPE")), True)
fe("_resample_frame", "interval not a str", TypeError,
   lambda f: Call(f, engine(), pd.DataFrame(), fresh("stock"), fresh_int(2000)))
fe("fetch_df", "one id", None, lambda f: fetch_df(
    f, "stock", "flow", {"ids": fresh("A1"), "interval": fresh("1W")}, [{"symbol": "A", "date": "2024-01-02", "v": 1}]),
   True)
fe("fetch_df", "several ids", None,
   lambda f: fetch_df(f, "Stock", "FLOW", {"ids": [fresh("A1"), fresh("B1")]}, [{"date": "2024-01-02", "v": 1}]), True)
fe("fetch_df", "several ids, progress hooks replaced", None, lambda f: fetch_df(
    hooks_off, "stock", "flow", {"ids": [fresh("A1"), fresh("B1")]}, [{"date": "2024-01-02", "v": 1}]), True)
fe("fetch_df", "unknown namespace", ValueError, lambda f: fetch_df(f, "fund", "flow", {}))
fe("fetch_df", "unknown operation", ValueError, lambda f: fetch_df(f, "market", "foreign_room", {}))
fe("fetch_df", "request fails", HttpError, lambda f: fetch_df(f, "stock", "flow", {}, refusal(500)))
fe("fetch_df", "one of several ids fails", DataDecodingError,
   lambda f: fetch_df(f, "stock", "flow", {"ids": [fresh("A1"), fresh("B1")]}, fresh("not rows")))
fe("fetch_df", "params not a dict", TypeError, lambda f: fetch_df(f, "stock", "flow", [fresh("A1")]))

# --- the frames engine (private_core._frames, behind private_core.helpers) --------------
fr = rows_of("_frames")


def minute_rows(zone: str = "", odd: Any = None) -> list:
    rows = [{"symbol": f"S{i % 3}", "time": f"2024-01-02T09:{i:02d}:00{zone}", "open": 1.5 + i, "volume": i,
             "note": None if i % 4 else "x"} for i in range(30)]
    if odd is not None:
        rows[7]["open"] = odd
    return rows


def resample(fn: Any, interval: str, gap: bool = False) -> Call:
    frame = helpers._to_dataframe(minute_rows())
    times = pd.to_datetime(frame["time"].astype(object).where(frame.index != 4, None)) if gap else frame["time"]
    return Call(fn, frame, fresh("time"), times, fresh(interval))


fr("rows_to_frame", "ok", None, lambda f: Call(f, minute_rows(), ("time", "date")), True)
fr("rows_to_frame", "times left to pandas", None, lambda f: Call(f, minute_rows("+07:00"), ("time", "date")), True)
fr("rows_to_frame", "a value outside JSON: None returned", None,
   lambda f: Call(f, minute_rows(odd=[fresh("x1")]), ("time", "date")))
fr("resample_ohlcv", "one pass", None, lambda f: resample(f, "5m"), True)
fr("resample_ohlcv", "weeks", None, lambda f: resample(f, "1W"), True)
fr("resample_ohlcv", "a missing time: None returned", None, lambda f: resample(f, "5m", gap=True), True)
