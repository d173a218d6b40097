"""Every public entry point of the extension modules, on its success path and on each of
its error paths, as calls built from fresh objects. The reference-count table and the
leak loops both run these.

A case is (module, entry point, path, expected exception or None, build); build()
returns a refcheck.Call with new objects each time, and documents what the call keeps.
Sessions are fakes (get/post answering canned payloads): no network."""
import math
from datetime import date, datetime, timedelta
from typing import Any, Callable, List, NamedTuple, Optional, Type

import pandas as pd
import requests
from refcheck import Call, fresh, fresh_int
from tavrix.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

from private_core import _frames as frames
from private_core import daily_bars, helpers, keygate, memo_layer, memo_rules, memo_store, tick_feed
from private_core import transport_base
from private_core.investor import InvestorFlowContract as contract
from private_core.investor import flow_engine


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


def case(module: str, entry: str, path: str, raises: Optional[Type[BaseException]] = None, *,
         heavy: bool = False):
    def register(build: Callable[[], Call]) -> Callable[[], Call]:
        CASES.append(Case(module, entry, path, raises, build, heavy))
        return build

    return register


class Boom(Exception):
    """An error raised by a fake, to see it pass through unchanged."""


class Interrupt(BaseException):
    """Not an Exception: must never be turned into a library error."""


class BadStr:
    def __str__(self) -> str:
        raise Boom("no text")


# --- fakes -----------------------------------------------------------------------------
# Errors are made anew at each raise: a stored exception would keep its traceback (and
# the fake in its frames) alive after the call.


class Response:
    def __init__(self, payload: Any, status: int = 200, text: str = "body") -> None:
        self.payload, self.status_code, self.text = payload, status, text

    def json(self) -> Any:
        if isinstance(self.payload, type) and issubclass(self.payload, BaseException):
            raise self.payload("not json")
        return self.payload


class Session:
    """A session for the fetchers: get/post answer `payload`, or raise `error()`."""

    def __init__(self, payload: Any = None, *, error: Optional[Callable[[], BaseException]] = None,
                 api_key: Optional[str] = None) -> None:
        self.payload, self.error = payload, error
        if api_key is not None:
            self.api_key = api_key

    def get(self, path: str, params: Any = None, **kwargs: Any) -> Response:
        if self.error is not None:
            raise self.error()
        return Response(self.payload)

    def post(self, path: str, json_body: Any = None, **kwargs: Any) -> Response:
        return self.get(path)


class Transport:
    """Stands in for the requests.Session under an HttpSession."""

    def __init__(self, status: int = 200, payload: Any = None,
                 error: Optional[Callable[[], BaseException]] = None) -> None:
        self.status, self.payload, self.error = status, payload, error

    def request(self, method: str, url: str, **kwargs: Any) -> Response:
        if self.error is not None:
            raise self.error()
        return Response(self.payload, self.status)

    def close(self) -> None:
        if self.error is not None:
            raise self.error()


# --- transport_base ----------------------------------------------------------------------

TB = "transport_base"
HttpSession = transport_base.HttpSession


def http_session(**transport: Any) -> Any:
    session = HttpSession.__new__(HttpSession)
    session.api_key, session.base_url, session.timeout = fresh("key"), fresh("http://127.0.0.1:9/api"), 30
    session._session = Transport(**transport)
    return session


@case(TB, "_default_user_agent", "ok")
def _():
    return Call(transport_base._default_user_agent, fresh("1.2.3"))


@case(TB, "_default_user_agent", "not a str", TypeError)
def _():
    return Call(transport_base._default_user_agent, fresh_int(1000))


@case(TB, "_default_user_agent", "missing argument", TypeError)
def _():
    return Call(transport_base._default_user_agent, nope=fresh("x1"))


@case(TB, "HttpSession.__init__", "ok")
def _():
    self, key, timeout, agent = HttpSession.__new__(HttpSession), fresh("key"), fresh_int(1000), fresh("ua/1")
    # base_url ends in "/": rstrip makes a new string, and that one is kept.
    return (Call(HttpSession.__init__, self, key, base_url=fresh("http://127.0.0.1:9/a/"),
                 version=fresh("1.0"), timeout=timeout, user_agent=agent)
            .keeps(key).keeps(timeout).keeps(agent))


@case(TB, "HttpSession.__init__", "default user agent")
def _():
    self, key = HttpSession.__new__(HttpSession), fresh("key")
    return Call(HttpSession.__init__, self, key, version=fresh("1.0")).keeps(key)


@case(TB, "HttpSession.__init__", "key not a str", TypeError)
def _():
    return Call(HttpSession.__init__, HttpSession.__new__(HttpSession), fresh_int(1000))


@case(TB, "HttpSession._prepare_url", "relative")
def _():
    return Call(HttpSession._prepare_url, http_session(), fresh("//eod/x?y=1"))


@case(TB, "HttpSession._prepare_url", "absolute: returned as given")
def _():
    path = fresh("http://127.0.0.1:9/x")
    return Call(HttpSession._prepare_url, http_session(), path).keeps(path)


@case(TB, "HttpSession._prepare_url", "not a str", TypeError)
def _():
    return Call(HttpSession._prepare_url, http_session(), b"/x")


def _request_kwargs() -> dict:
    return dict(params={"a": fresh("p1")}, json_body={"b": [1]}, data=[fresh("d1")],
                headers={"X-A": fresh("h1")}, timeout=fresh_int(1000))


@case(TB, "HttpSession.request", "ok")
def _():
    return Call(HttpSession.request, http_session(), fresh("GET"), fresh("/p"), **_request_kwargs())


@case(TB, "HttpSession.request", "transport failure", HttpError)
def _():
    return Call(HttpSession.request, http_session(error=lambda: requests.ConnectionError("down")),
                fresh("GET"), fresh("/p"), **_request_kwargs())


@case(TB, "HttpSession.request", "other error passes", Boom)
def _():
    return Call(HttpSession.request, http_session(error=lambda: Boom()), fresh("GET"), fresh("/p"))


@case(TB, "HttpSession.request", "status 404 with JSON", HttpError)
def _():
    return Call(HttpSession.request, http_session(status=404, payload={"detail": "no"}),
                fresh("GET"), fresh("/p"), **_request_kwargs())


@case(TB, "HttpSession.request", "status 500 without JSON", HttpError)
def _():
    return Call(HttpSession.request, http_session(status=500, payload=ValueError), fresh("GET"),
                fresh("/p"))


@case(TB, "HttpSession.request", "headers not a dict", TypeError)
def _():
    return Call(HttpSession.request, http_session(), fresh("GET"), fresh("/p"), headers=[1])


@case(TB, "HttpSession.get", "ok")
def _():
    return Call(HttpSession.get, http_session(), fresh("/p"), params={"a": fresh("p1")},
                headers={"X-A": fresh("h1")}, timeout=fresh_int(1000))


@case(TB, "HttpSession.get", "status 404", HttpError)
def _():
    return Call(HttpSession.get, http_session(status=404, payload="x"), fresh("/p"),
                params={"a": fresh("p1")})


@case(TB, "HttpSession.get", "params not a dict", TypeError)
def _():
    return Call(HttpSession.get, http_session(), fresh("/p"), params=[fresh("p1")])


@case(TB, "HttpSession.post", "ok")
def _():
    return Call(HttpSession.post, http_session(), fresh("/p"), json_body={"a": fresh("b1")},
                data=fresh("raw"), headers={"X-A": fresh("h1")})


@case(TB, "HttpSession.post", "transport failure", HttpError)
def _():
    return Call(HttpSession.post, http_session(error=lambda: requests.Timeout("slow")), fresh("/p"),
                json_body={"a": fresh("b1")})


@case(TB, "HttpSession.post", "timeout not an int", TypeError)
def _():
    return Call(HttpSession.post, http_session(), fresh("/p"), timeout=1.5)


@case(TB, "HttpSession.close", "ok")
def _():
    return Call(HttpSession.close, http_session())


@case(TB, "HttpSession.close", "close fails", Boom)
def _():
    return Call(HttpSession.close, http_session(error=lambda: Boom()))


@case(TB, "HttpSession.__enter__", "returns self")
def _():
    session = http_session()
    return Call(HttpSession.__enter__, session).keeps(session)


@case(TB, "HttpSession.__exit__", "clean exit")
def _():
    return Call(HttpSession.__exit__, http_session(), None, None, None)


@case(TB, "HttpSession.__exit__", "exit with an error, close fails", Boom)
def _():
    error = KeyError(fresh("k1"))
    return Call(HttpSession.__exit__, http_session(error=lambda: Boom()), KeyError, error, None)


@case(TB, "HttpSession.__exit__", "missing arguments", TypeError)
def _():
    return Call(HttpSession.__exit__, http_session(), None)


# --- keygate -----------------------------------------------------------------------------

KG = "keygate"


def key_session(payload: Any = None, error: Optional[Callable[[], BaseException]] = None) -> Session:
    return Session(payload, error=error, api_key=fresh("key"))


def validate(session: Any, **kwargs: Any) -> Call:
    kwargs.setdefault("client_version", fresh("1.0"))
    return Call(keygate.validate_api_key, session, **kwargs).watch(getattr(session, "api_key", None))


@case(KG, "validate_api_key", "ok")
def _():
    return validate(key_session({"valid": True, "message": "fine"}), include_messages=False,
                    extra_context={"a": fresh("ctx")})


for _status, _payload in ((401, {"detail": "no"}), (422, {"detail": [{"msg": "bad"}]}),
                          (500, "  text  "), (503, None)):
    def _http(status=_status, payload=_payload):
        return validate(key_session(error=lambda: HttpError("x", status_code=status, payload=payload)))

    case(KG, "validate_api_key", f"backend refuses ({_status})", ApiKeyValidationError)(_http)


@case(KG, "validate_api_key", "network failure", ApiKeyValidationError)
def _():
    return validate(key_session(error=lambda: KeyError("k")))


@case(KG, "validate_api_key", "interrupt passes", Interrupt)
def _():
    return validate(key_session(error=lambda: Interrupt()))


@case(KG, "validate_api_key", "invalid JSON", ApiKeyValidationError)
def _():
    return validate(key_session(ValueError))


@case(KG, "validate_api_key", "JSON error not a ValueError passes", Boom)
def _():
    return validate(key_session(Boom))


@case(KG, "validate_api_key", "schema mismatch", ApiKeyValidationError)
def _():
    return validate(key_session([]))


@case(KG, "validate_api_key", "session without key", AttributeError)
def _():
    return validate(Session({"valid": True}))


@case(KG, "validate_api_key", "version not a str", TypeError)
def _():
    return validate(key_session({"valid": True}), client_version=fresh_int(1000))


@case(KG, "validate_api_key", "missing version", TypeError)
def _():
    return Call(keygate.validate_api_key, key_session({"valid": True}))


# --- memo_store --------------------------------------------------------------------------

MS = "memo_store"
Cache, CacheEntry = memo_store._Cache, memo_store.CacheEntry


def entry(expires_at: Any) -> Any:
    return CacheEntry(object(), datetime.now(), {}, expires_at)


@case(MS, "CacheEntry.is_expired", "no expiry")
def _():
    return Call(CacheEntry.is_expired, entry(None))


@case(MS, "CacheEntry.is_expired", "expired")
def _():
    return Call(CacheEntry.is_expired, entry(datetime.now() - timedelta(seconds=1)))


@case(MS, "CacheEntry.is_expired", "expiry not comparable", TypeError)
def _():
    return Call(CacheEntry.is_expired, entry(fresh("soon")))


@case(MS, "_Cache.__init__", "singleflight")
def _():
    flag = fresh_int(1000)  # kept as passed
    return Call(Cache.__init__, Cache.__new__(Cache), flag).keeps(flag)


@case(MS, "_Cache.__init__", "no singleflight")
def _():
    return Call(Cache.__init__, Cache.__new__(Cache), False)


def filled(ns: str = "ns", key: tuple = ("k1", 1), data: Any = None, ttl: Any = None,
           singleflight: bool = True) -> Any:
    cache = Cache(singleflight)
    cache.set(ns, key, data if data is not None else object(), ttl=ttl)
    return cache


def key_of(*parts: Any) -> tuple:
    return tuple(fresh(p) if isinstance(p, str) else p for p in parts)


@case(MS, "_Cache.get", "hit")
def _():
    return Call(Cache.get, filled(), fresh("ns"), key_of("k1", 1))


@case(MS, "_Cache.get", "no namespace")
def _():
    return Call(Cache.get, filled(), fresh("other"), key_of("k1", 1))


@case(MS, "_Cache.get", "no key")
def _():
    return Call(Cache.get, filled(), fresh("ns"), key_of("k1", 2))


@case(MS, "_Cache.get", "expired: evicted")
def _():
    data = object()
    cache = filled(data=data, ttl=timedelta(seconds=-1))
    return Call(Cache.get, cache, fresh("ns"), key_of("k1", 1)).keeps(data, -1)


@case(MS, "_Cache.get", "unhashable key", TypeError)
def _():
    return Call(Cache.get, filled(), fresh("ns"), [1])


@case(MS, "_Cache.set", "new namespace")
def _():
    ns, key, data, params = fresh("ns"), key_of("k1", 1), object(), {"a": 1}
    return (Call(Cache.set, Cache(), ns, key, data, params=params, ttl=timedelta(minutes=1))
            .keeps(ns).keeps(key).keeps(data).keeps(params))


@case(MS, "_Cache.set", "replaces an entry")
def _():
    old, data = object(), object()
    # The bucket keeps its own key objects; the old entry's data is released.
    return (Call(Cache.set, filled(data=old), fresh("ns"), key_of("k1", 1), data)
            .keeps(data).keeps(old, -1))


@case(MS, "_Cache.set", "params not a dict", TypeError)
def _():
    return Call(Cache.set, filled(), fresh("ns"), key_of("k1", 1), object(), params=[1])


@case(MS, "_Cache.set", "ttl not a timedelta", TypeError)
def _():
    # The namespace's bucket is made before the entry: it stays, empty.
    ns = fresh("ns")
    return Call(Cache.set, Cache(), ns, key_of("k1", 1), object(), ttl=fresh("1m")).keeps(ns)


@case(MS, "_Cache.set", "unhashable key", TypeError)
def _():
    return Call(Cache.set, filled(), fresh("ns"), [1], object())


@case(MS, "_Cache.clear_ns", "releases the namespace")
def _():
    data = object()
    return Call(Cache.clear_ns, filled(data=data), fresh("ns")).keeps(data, -1)


@case(MS, "_Cache.clear_ns", "unhashable namespace", TypeError)
def _():
    return Call(Cache.clear_ns, filled(), [1])


@case(MS, "_Cache.clear_all", "releases everything")
def _():
    data = object()
    return Call(Cache.clear_all, filled(data=data)).keeps(data, -1)


@case(MS, "_Cache.clear_all", "store replaced by a failing mapping", Boom)
def _():
    class Store(dict):
        def clear(self):
            raise Boom()

    cache = Cache()
    cache._store = Store()
    return Call(Cache.clear_all, cache)


@case(MS, "_Cache._begin_inflight", "first caller")
def _():
    ns, key = fresh("ns"), key_of("k1", 1)
    return Call(Cache._begin_inflight, Cache(), ns, key).keeps(ns).keeps(key)


@case(MS, "_Cache._begin_inflight", "second caller")
def _():
    cache = Cache()
    cache._begin_inflight("ns", ("k1", 1))
    return Call(Cache._begin_inflight, cache, fresh("ns"), key_of("k1", 1))


@case(MS, "_Cache._begin_inflight", "no singleflight")
def _():
    return Call(Cache._begin_inflight, Cache(False), fresh("ns"), key_of("k1", 1))


@case(MS, "_Cache._begin_inflight", "unhashable key", TypeError)
def _():
    return Call(Cache._begin_inflight, Cache(), fresh("ns"), [1])


@case(MS, "_Cache._begin_inflight", "inflight table gone", AssertionError)
def _():
    cache = Cache()
    cache._inflight = None
    return Call(Cache._begin_inflight, cache, fresh("ns"), key_of("k1", 1))


@case(MS, "_Cache._end_inflight", "last caller: released")
def _():
    cache, ns, key = Cache(), fresh("ns"), key_of("k1", 1)
    cache._begin_inflight(ns, key)
    return (Call(Cache._end_inflight, cache, fresh("ns"), key_of("k1", 1))
            .keeps(ns, -1).keeps(key, -1))


@case(MS, "_Cache._end_inflight", "one caller left")
def _():
    cache = Cache()
    cache._begin_inflight("ns", ("k1", 1))
    cache._begin_inflight("ns", ("k1", 1))
    return Call(Cache._end_inflight, cache, fresh("ns"), key_of("k1", 1))


@case(MS, "_Cache._end_inflight", "unhashable key", TypeError)
def _():
    return Call(Cache._end_inflight, Cache(), fresh("ns"), [1])


@case(MS, "to_date", "None: today")
def _():
    return Call(memo_store.to_date, None)


@case(MS, "to_date", "date: returned as given")
def _():
    day = date(2024, 5, 3)
    return Call(memo_store.to_date, day).keeps(day)


@case(MS, "to_date", "datetime")
def _():
    return Call(memo_store.to_date, datetime(2024, 5, 3, 10))


@case(MS, "to_date", "text")
def _():
    return Call(memo_store.to_date, fresh("2024-05-03"))


@case(MS, "to_date", "text not a date", ValueError)
def _():
    return Call(memo_store.to_date, fresh("2024-13-45"))


@case(MS, "to_date", "unsupported type", ValueError)
def _():
    return Call(memo_store.to_date, 1.5)


@case(MS, "is_today", "ok")
def _():
    return Call(memo_store.is_today, fresh("2024-05-03"))


@case(MS, "is_today", "not a date", ValueError)
def _():
    return Call(memo_store.is_today, [fresh("x1")])


# --- memo_rules --------------------------------------------------------------------------

MR = "memo_rules"


@case(MR, "touches_latest_trading_day", "ok")
def _():
    return Call(memo_rules.touches_latest_trading_day, fresh("2024-05-03"))


@case(MR, "touches_latest_trading_day", "not a date", ValueError)
def _():
    return Call(memo_rules.touches_latest_trading_day, object())


for _name in ("ttl_intraday_live", "ttl_intraday_history", "ttl_orderbook_live", "ttl_eod_latest",
              "ttl_eod_history"):
    case(MR, _name, "ok")(lambda fn=getattr(memo_rules, _name): Call(fn))
    case(MR, _name, "unexpected argument", TypeError)(
        lambda fn=getattr(memo_rules, _name): Call(fn, fresh("x1")))


# --- memo_layer --------------------------------------------------------------------------

ML = "memo_layer"
Layer = memo_layer.BaseMemoLayer


class Client(Layer):
    pass


@case(ML, "BaseMemoLayer.__init__", "ok")
def _():
    return Call(Layer.__init__, Client.__new__(Client))


@case(ML, "BaseMemoLayer.__init__", "arguments the next class refuses", TypeError)
def _():
    return Call(Layer.__init__, Client.__new__(Client), fresh("x1"), a=fresh("y1"))


@case(ML, "BaseMemoLayer.clear_cache", "one namespace")
def _():
    client, data = Client(), object()
    client._cache.set("ns", ("k",), data)
    return Call(Layer.clear_cache, client, fresh("ns")).keeps(data, -1)


@case(ML, "BaseMemoLayer.clear_cache", "everything")
def _():
    client, data = Client(), object()
    client._cache.set("ns", ("k",), data)
    return Call(Layer.clear_cache, client).keeps(data, -1)


@case(ML, "BaseMemoLayer.clear_cache", "namespace not a str", TypeError)
def _():
    return Call(Layer.clear_cache, Client(), [1])


TTL = timedelta(minutes=1)


def fetch(client: Any, ns: Any, key: Any, fetcher: Any, **kwargs: Any) -> Call:
    kwargs.setdefault("live", False)
    kwargs.setdefault("ttl_live", timedelta(minutes=1))
    kwargs.setdefault("ttl_history", None)
    return Call(Layer._fetch_with_cache, client, ns, key, fetcher=fetcher, **kwargs)


def returning(data: Any) -> Callable[[], Any]:
    return lambda: data


@case(ML, "BaseMemoLayer._fetch_with_cache", "miss: fetched and stored")
def _():
    ns, key, data, params = fresh("ns"), key_of("k1", 1), object(), {"a": 1}
    # Stored in the cache and returned; the key reaches the bucket, the namespace too.
    return (fetch(Client(), ns, key, returning(data), params=params)
            .keeps(ns).keeps(key).keeps(data, 2).keeps(params))


@case(ML, "BaseMemoLayer._fetch_with_cache", "hit")
def _():
    client, data = Client(), object()
    client._cache.set("ns", ("k1", 1), data)
    return fetch(client, fresh("ns"), key_of("k1", 1), returning(object())).keeps(data)


@case(ML, "BaseMemoLayer._fetch_with_cache", "live: fetched over a hit")
def _():
    client, old, data = Client(), object(), object()
    client._cache.set("ns", ("k1", 1), old)
    return (fetch(client, fresh("ns"), key_of("k1", 1), returning(data), live=True)
            .keeps(data, 2).keeps(old, -1))


@case(ML, "BaseMemoLayer._fetch_with_cache", "another caller's result awaited")
def _():
    client, data = Client(), object()
    client._cache._begin_inflight("ns", ("k1", 1))
    client._cache.set("ns", ("k1", 1), data)
    return fetch(client, fresh("ns"), key_of("k1", 1), returning(object()), live=True,
                 wait_timeout=5.0, wait_interval=0.0).keeps(data)


@case(ML, "BaseMemoLayer._fetch_with_cache", "wait timed out: fetched")
def _():
    client, ns, key, data = Client(), fresh("ns"), key_of("k1", 1), object()
    client._cache._begin_inflight("ns", ("k1", 1))
    return (fetch(client, ns, key, returning(data), wait_timeout=0.0)
            .keeps(ns).keeps(key).keeps(data, 2))


@case(ML, "BaseMemoLayer._fetch_with_cache", "fetcher fails", Boom)
def _():
    def fail():
        raise Boom()

    return fetch(Client(), fresh("ns"), key_of("k1", 1), fail)


@case(ML, "BaseMemoLayer._fetch_with_cache", "storing fails", TypeError)
def _():
    ns = fresh("ns")
    # The bucket is made before the bad ttl is met (see _Cache.set).
    return fetch(Client(), ns, key_of("k1", 1), returning(object()), ttl_history=fresh("1m")).keeps(ns)


@case(ML, "BaseMemoLayer._fetch_with_cache", "wait_timeout not a number", TypeError)
def _():
    return fetch(Client(), fresh("ns"), key_of("k1", 1), returning(object()), wait_timeout=fresh("1s"))


@case(ML, "BaseMemoLayer._fetch_with_cache", "params not a dict", TypeError)
def _():
    return fetch(Client(), fresh("ns"), key_of("k1", 1), returning(object()), params=[1])


@case(ML, "BaseMemoLayer._fetch_with_cache", "missing ttl", TypeError)
def _():
    return Call(Layer._fetch_with_cache, Client(), fresh("ns"), key_of("k1", 1), live=False,
                fetcher=returning(object()))


# --- daily_bars, tick_feed ---------------------------------------------------------------

ROWS = {"data": [{"time": "2024-01-02", "close": 1.5}, {"time": "2024-01-03", "close": 2.0}]}
BAD_PAYLOADS = {
    "invalid JSON": ValueError,
    "payload not an object": [],
    "backend error": {"error": "bad"},
    "data not a list": {"data": 1},
    "row not an object": {"data": [{"t": 1}, 2]},
}


def symbols() -> list:
    return [fresh(" abc"), fresh("ABC"), fresh("xyz")]


for _module in (daily_bars, tick_feed):
    _m = _module.__name__.rsplit(".", 1)[1]
    _n, _r = _module._normalize_symbols, _module._render_progress

    case(_m, "_normalize_symbols", "one symbol")(lambda n=_n: Call(n, fresh(" abc ")))
    case(_m, "_normalize_symbols", "sequence")(lambda n=_n: Call(n, symbols()).watch(*symbols()))
    case(_m, "_normalize_symbols", "element not a str", TypeError)(
        lambda n=_n: Call(n, [fresh("abc"), [fresh("x1")]]))
    case(_m, "_normalize_symbols", "blank", ValueError)(lambda n=_n: Call(n, fresh("   ")))
    case(_m, "_normalize_symbols", "only blanks", ValueError)(
        lambda n=_n: Call(n, (fresh("  "), fresh("   "))))
    case(_m, "_normalize_symbols", "bytes", TypeError)(lambda n=_n: Call(n, b"abc"))
    case(_m, "_render_progress", "mid-way")(
        lambda r=_r: Call(r, fresh_int(1000), fresh_int(3000), fresh("AAA")))
    case(_m, "_render_progress", "last")(
        lambda r=_r: Call(r, fresh_int(3000), fresh_int(3000), fresh("AAA")))
    case(_m, "_render_progress", "nothing to do")(lambda r=_r: Call(r, 0, 0, fresh("AAA")))
    case(_m, "_render_progress", "current not an int", TypeError)(
        lambda r=_r: Call(r, True, fresh_int(3000), fresh("AAA")))

    fetchers = [(_module.fetch_ohlcv, "fetch_ohlcv")]
    if _module is tick_feed:
        fetchers.append((tick_feed.fetch_orderbook, "fetch_orderbook"))
    for _fn, _name in fetchers:
        case(_m, _name, "ok")(
            lambda fn=_fn: Call(fn, Session(ROWS), symbols(), fresh("2024-01-01"),
                                show_progress=True))
        case(_m, _name, "no rows")(lambda fn=_fn: Call(fn, Session({"data": []}), fresh("abc")))
        for _path, _payload in BAD_PAYLOADS.items():
            case(_m, _name, _path, DataDecodingError)(
                lambda fn=_fn, p=_payload: Call(fn, Session(p), symbols()))
        case(_m, _name, "session fails", Boom)(
            lambda fn=_fn: Call(fn, Session(error=lambda: Boom()), symbols()))
        case(_m, _name, "no symbol", ValueError)(lambda fn=_fn: Call(fn, Session(ROWS), fresh("  ")))
        case(_m, _name, "date not a str", TypeError)(
            lambda fn=_fn: Call(fn, Session(ROWS), fresh("abc"), fresh_int(20240101)))

case("daily_bars", "fetch_ohlcv", "with range and interval")(
    lambda: Call(daily_bars.fetch_ohlcv, Session(ROWS), fresh("abc"), fresh("2024-01-01"),
                 fresh("2024-02-01"), fresh("1W"), show_progress=False))
case("tick_feed", "fetch_ohlcv", "adjusted")(
    lambda: Call(tick_feed.fetch_ohlcv, Session(ROWS), fresh("abc"), end=fresh("2024-01-05"),
                 interval=fresh("5m"), adjusted=True, show_progress=False))


# --- investor.InvestorFlowContract ---------------------------------------------------------

IC = "investor.InvestorFlowContract"
Contract = contract.InvestorFlowContract


@case(IC, "InvestorFlowContract.fetch_df", "ok")
def _():
    return Call(Contract.fetch_df, object(), fresh("stock"), fresh("flow"), {"ids": [fresh("A1")]})


@case(IC, "InvestorFlowContract.fetch_df", "params not a dict", TypeError)
def _():
    return Call(Contract.fetch_df, object(), fresh("stock"), fresh("flow"), [fresh("A1")])


@case(IC, "InvestorFlowContract.fetch_df", "namespace not a str", TypeError)
def _():
    return Call(Contract.fetch_df, object(), fresh_int(1000), fresh("flow"), {})


# --- investor.flow_engine ----------------------------------------------------------------

FE = "investor.flow_engine"
Engine = flow_engine.InvestorFlowEngine


def engine(payload: Any = None, error: Optional[Callable[[], BaseException]] = None) -> Any:
    return Engine(Session(payload, error=error))


@case(FE, "_strict_str", "None")
def _():
    return Call(flow_engine._strict_str, None)


@case(FE, "_strict_str", "text")
def _():
    return Call(flow_engine._strict_str, fresh(" x1 "))


@case(FE, "_strict_str", "NaN")
def _():
    return Call(flow_engine._strict_str, float(math.nan))


@case(FE, "_strict_str", "number")
def _():
    return Call(flow_engine._strict_str, fresh_int(123456))


@case(FE, "_strict_str", "str() fails", Boom)
def _():
    return Call(flow_engine._strict_str, BadStr())


@case(FE, "InvestorFlowEngine.__init__", "session set on the instance")
def _():
    session = Session()
    return Call(Engine.__init__, Engine.__new__(Engine), session).keeps(session)


@case(FE, "InvestorFlowEngine.__init__", "missing session", TypeError)
def _():
    return Call(Engine.__init__, Engine.__new__(Engine))


def payload_params() -> dict:
    return {"ids": [fresh(" a1 "), 1, fresh("  ")], "group": fresh(" X1 "), "interval": fresh("1w"),
            "start": date(2024, 1, 1), "end": datetime(2024, 1, 2), "n": None}


@case(FE, "InvestorFlowEngine._prepare_payload", "ok")
def _():
    extra = fresh("as given")
    params = payload_params()
    params["other"] = extra
    return Call(Engine._prepare_payload, engine(), params).keeps(extra)  # in the returned payload


@case(FE, "InvestorFlowEngine._prepare_payload", "one id")
def _():
    return Call(Engine._prepare_payload, engine(), {"ids": fresh(" a1 "), "start": fresh("2024-01-01")})


@case(FE, "InvestorFlowEngine._prepare_payload", "id without text", Boom)
def _():
    return Call(Engine._prepare_payload, engine(), {"ids": [fresh("a1"), BadStr()]})


@case(FE, "InvestorFlowEngine._prepare_payload", "date without text", Boom)
def _():
    return Call(Engine._prepare_payload, engine(), {"start": BadStr()})


@case(FE, "InvestorFlowEngine._prepare_payload", "params not a dict", TypeError)
def _():
    return Call(Engine._prepare_payload, engine(), [fresh("a1")])


@case(FE, "InvestorFlowEngine._to_query_params", "ok")
def _():
    group = fresh("foreign")
    return Call(Engine._to_query_params, engine(), {"ids": [fresh("a1"), fresh(" b1 ")], "g": group}).keeps(group)


@case(FE, "InvestorFlowEngine._to_query_params", "id without text", Boom)
def _():
    return Call(Engine._to_query_params, engine(), {"ids": [BadStr()]})


@case(FE, "InvestorFlowEngine._request", "ok")
def _():
    return Call(Engine._request, engine([{"v": 1}]), fresh("/p"), {"ids": [fresh("a1")]})


@case(FE, "InvestorFlowEngine._request", "POST refused: GET instead")
def _():
    class Fallback(Session):
        def post(self, path, json_body=None, **kwargs):
            raise HttpError("n", status_code=405)

    return Call(Engine._request, Engine(Fallback([])), fresh("/p"), {"ids": [fresh("a1"), fresh("b1")]})


@case(FE, "InvestorFlowEngine._request", "HTTP error", HttpError)
def _():
    return Call(Engine._request, engine(error=lambda: HttpError("x", status_code=500)), fresh("/p"), {})


@case(FE, "InvestorFlowEngine._request", "other error passes", Boom)
def _():
    return Call(Engine._request, engine(error=lambda: Boom()), fresh("/p"), {})


@case(FE, "InvestorFlowEngine._request", "invalid JSON", ValueError)
def _():
    return Call(Engine._request, engine(ValueError), fresh("/p"), {})


@case(FE, "InvestorFlowEngine._request", "endpoint not a str", TypeError)
def _():
    return Call(Engine._request, engine(), fresh_int(1000), {})


@case(FE, "InvestorFlowEngine._normalise_records", "list")
def _():
    return Call(Engine._normalise_records, engine(), [{"v": 1}, {"v": 2}], fresh("stock"))


@case(FE, "InvestorFlowEngine._normalise_records", "keyed by id")
def _():
    ident = fresh("AAA")  # tags the row that lacks its own
    return Call(Engine._normalise_records, engine(), {ident: [{"v": 1}], "B": [{"v": 2, "symbol": "own"}]},
                fresh("stock")).keeps(ident)


@case(FE, "InvestorFlowEngine._normalise_records", "envelope")
def _():
    return Call(Engine._normalise_records, engine(), {"data": {"items": [{"v": 1}]}}, fresh("sector"))


@case(FE, "InvestorFlowEngine._normalise_records", "None")
def _():
    return Call(Engine._normalise_records, engine(), None, fresh("stock"))


@case(FE, "InvestorFlowEngine._normalise_records", "entry not an object", DataDecodingError)
def _():
    return Call(Engine._normalise_records, engine(), [{"v": 1}, fresh("x1")], fresh("stock"))


@case(FE, "InvestorFlowEngine._normalise_records", "unexpected payload", DataDecodingError)
def _():
    return Call(Engine._normalise_records, engine(), {"A": [], "B": fresh_int(1000)}, fresh("stock"))


@case(FE, "InvestorFlowEngine._ensure_mapping", "ok")
def _():
    value = fresh("v1")  # copied into the returned row
    return Call(Engine._ensure_mapping, engine(), {"v": value}, fresh("stock")).keeps(value)


@case(FE, "InvestorFlowEngine._ensure_mapping", "tagged with its id")
def _():
    ident = fresh("AAA")
    return Call(Engine._ensure_mapping, engine(), {"v": 1}, fresh("stock"), ident).keeps(ident)


@case(FE, "InvestorFlowEngine._ensure_mapping", "not an object", DataDecodingError)
def _():
    return Call(Engine._ensure_mapping, engine(), [fresh("x1")], fresh("stock"))


@case(FE, "InvestorFlowEngine._ensure_mapping", "id not a str", TypeError)
def _():
    return Call(Engine._ensure_mapping, engine(), {}, fresh("stock"), fresh_int(1000))


def daily_rows() -> list:
    return [{"symbol": f"S{i % 3}", "date": f"2024-01-{i % 28 + 1:02d}", "v": i, "t": "x"} for i in range(30)]


def daily_frame() -> Any:
    frame = pd.DataFrame(daily_rows())
    frame["date"] = pd.to_datetime(frame["date"])
    return frame


@case(FE, "InvestorFlowEngine._to_dataframe", "ok", heavy=True)
def _():
    return Call(Engine._to_dataframe, engine(), daily_rows(), fresh("stock"))


@case(FE, "InvestorFlowEngine._to_dataframe", "no rows")
def _():
    return Call(Engine._to_dataframe, engine(), [], fresh("stock"))


@case(FE, "InvestorFlowEngine._to_dataframe", "row of another kind", Exception, heavy=True)
def _():
    return Call(Engine._to_dataframe, engine(), [{"v": 1}, fresh_int(1000)], fresh("stock"))


@case(FE, "InvestorFlowEngine._to_dataframe", "rows not a list", TypeError)
def _():
    return Call(Engine._to_dataframe, engine(), (), fresh("stock"))


@case(FE, "InvestorFlowEngine._resample_frame", "grouped", heavy=True)
def _():
    return Call(Engine._resample_frame, engine(), daily_frame(), fresh("stock"), fresh("1W"))


@case(FE, "InvestorFlowEngine._resample_frame", "pandas' resampler", heavy=True)
def _():
    return Call(Engine._resample_frame, engine(), daily_frame(), fresh("stock"), fresh("2B"))


@case(FE, "InvestorFlowEngine._resample_frame", "no date column: returned as given", heavy=True)
def _():
    frame = pd.DataFrame({"v": [1, 2]})
    return Call(Engine._resample_frame, engine(), frame, fresh("stock"), fresh("1W")).keeps(frame)


@case(FE, "InvestorFlowEngine._resample_frame", "unknown interval", ValueError, heavy=True)
def _():
    return Call(Engine._resample_frame, engine(), daily_frame(), fresh("stock"), fresh("NOPE"))


@case(FE, "InvestorFlowEngine._resample_frame", "interval not a str", TypeError)
def _():
    return Call(Engine._resample_frame, engine(), pd.DataFrame(), fresh("stock"), fresh_int(1000))


def fetch_df(session: Any, ns: str, op: str, params: Any) -> Call:
    return Call(Engine.fetch_df, Engine(session), fresh(ns), fresh(op), params)


@case(FE, "InvestorFlowEngine.fetch_df", "one id", heavy=True)
def _():
    return fetch_df(Session([{"symbol": "A", "date": "2024-01-02", "v": 1}]), "stock", "flow",
                    {"ids": fresh("A1"), "interval": fresh("1W")})


@case(FE, "InvestorFlowEngine.fetch_df", "several ids", heavy=True)
def _():
    return fetch_df(Session([{"date": "2024-01-02", "v": 1}]), "Stock", "FLOW",
                    {"ids": [fresh("A1"), fresh("B1")]})


@case(FE, "InvestorFlowEngine.fetch_df", "unknown namespace", ValueError)
def _():
    return fetch_df(Session(), "fund", "flow", {})


@case(FE, "InvestorFlowEngine.fetch_df", "unknown operation", ValueError)
def _():
    return fetch_df(Session(), "market", "foreign_room", {})


@case(FE, "InvestorFlowEngine.fetch_df", "request fails", HttpError)
def _():
    return fetch_df(Session(error=lambda: HttpError("x", status_code=500)), "stock", "flow", {})


@case(FE, "InvestorFlowEngine.fetch_df", "one of several ids fails", DataDecodingError)
def _():
    return fetch_df(Session(fresh("not rows")), "stock", "flow", {"ids": [fresh("A1"), fresh("B1")]})


@case(FE, "InvestorFlowEngine.fetch_df", "params not a dict", TypeError)
def _():
    return fetch_df(Session(), "stock", "flow", [fresh("A1")])


MODULES = ["transport_base", "keygate", "memo_store", "memo_rules", "memo_layer", "basket_base",
           "statements_base", "daily_bars", "tick_feed", "investor.InvestorFlowContract",
           "investor.flow_engine", "_frames"]


# --- the general routes: foreign mappings, subclasses, other context managers ---------------


class Mapping(dict):
    """A dict subclass: read through its own methods, not the dict fast paths."""


class Lock:
    """A context manager of Python's own, in place of the cache's RLock."""

    def __init__(self, swallow: bool = False) -> None:
        self.swallow = swallow

    def __enter__(self) -> "Lock":
        return self

    def __exit__(self, *exc: Any) -> bool:
        return self.swallow


def foreign_cache(swallow: bool = False) -> Any:
    cache = Cache()
    cache._store, cache._inflight, cache._lock = Mapping(), Mapping(), Lock(swallow)
    cache.set("ns", ("k1", 1), object())
    return cache


@case(MS, "_Cache.get", "foreign store and lock")
def _():
    return Call(Cache.get, foreign_cache(), fresh("ns"), key_of("k1", 1))


@case(MS, "_Cache.get", "error swallowed by the lock")
def _():
    return Call(Cache.get, foreign_cache(swallow=True), fresh("ns"), [1])


@case(MS, "_Cache.set", "foreign store and lock")
def _():
    key, data = key_of("k1", 2), object()
    return Call(Cache.set, foreign_cache(), fresh("ns"), key, data).keeps(key).keeps(data)


@case(MS, "_Cache.clear_ns", "foreign store")
def _():
    return Call(Cache.clear_ns, foreign_cache(), fresh("ns"))


@case(MS, "_Cache._end_inflight", "foreign table")
def _():
    cache = foreign_cache()
    cache._begin_inflight("ns", ("k1", 1))
    return Call(Cache._end_inflight, cache, fresh("ns"), key_of("k1", 1))


@case(MS, "_Cache._begin_inflight", "foreign table fails", Boom)
def _():
    class Failing(Mapping):
        def get(self, *args):
            raise Boom()

    cache = Cache()
    cache._inflight = Failing()
    return Call(Cache._begin_inflight, cache, fresh("ns"), key_of("k1", 1))


@case(ML, "BaseMemoLayer.__init__", "arguments for the next class")
def _():
    class Base:
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            pass

    class Mixed(Layer, Base):
        pass

    return Call(Layer.__init__, Mixed.__new__(Mixed), fresh("x1"), [1], a=fresh("y1"), b={})


@case(ML, "BaseMemoLayer._fetch_with_cache", "too many positional arguments", TypeError)
def _():
    return Call(Layer._fetch_with_cache, Client(), fresh("ns"), key_of("k1", 1), False)


@case(ML, "BaseMemoLayer._fetch_with_cache", "argument given twice", TypeError)
def _():
    return Call(Layer._fetch_with_cache, Client(), fresh("ns"), key_of("k1", 1), namespace=fresh("ns"),
                live=False, fetcher=returning(object()), ttl_live=None, ttl_history=None)


@case(ML, "BaseMemoLayer._fetch_with_cache", "unexpected keyword", TypeError)
def _():
    return Call(Layer._fetch_with_cache, Client(), fresh("ns"), key_of("k1", 1), live=False,
                fetcher=returning(object()), ttl_live=None, ttl_history=None, nope=fresh("x1"))


for _module in (daily_bars, tick_feed):
    _m = _module.__name__.rsplit(".", 1)[1]
    case(_m, "fetch_ohlcv", "payload and data of subclasses")(
        lambda fn=_module.fetch_ohlcv: Call(fn, Session(Mapping(data=type("Rows", (list,), {})(
            [Mapping(time="2024-01-02", close=1.5)]))), fresh("abc")))
    case(_m, "fetch_ohlcv", "backend error in a subclass payload", DataDecodingError)(
        lambda fn=_module.fetch_ohlcv: Call(fn, Session(Mapping(error=fresh("bad"))), fresh("abc")))
    case(_m, "fetch_ohlcv", "error without text", Boom)(
        lambda fn=_module.fetch_ohlcv: Call(fn, Session({"error": BadStr()}), fresh("abc")))


@case(TB, "HttpSession.request", "JSON of a failed answer fails otherwise", Boom)
def _():
    return Call(HttpSession.request, http_session(status=500, payload=Boom), fresh("GET"), fresh("/p"))


@case(KG, "validate_api_key", "refusal detail without text", Boom)
def _():
    return validate(key_session(error=lambda: HttpError("x", status_code=400, payload={"detail": BadStr()})))


@case(KG, "validate_api_key", "refusal payload of a subclass", ApiKeyValidationError)
def _():
    return validate(key_session(error=lambda: HttpError("x", status_code=400,
                                                        payload=Mapping(message=fresh("m1")))))


class OwnMapping(Engine):
    """Overrides one step: the others must go through it."""

    def _ensure_mapping(self, entry: Any, namespace: str, identifier: Any = None) -> Any:
        return super()._ensure_mapping(entry, namespace, identifier)


@case(FE, "InvestorFlowEngine._normalise_records", "overridden step")
def _():
    return Call(Engine._normalise_records, OwnMapping(Session()), {"A": [{"v": 1}]}, fresh("stock"))


@case(FE, "InvestorFlowEngine._normalise_records", "rows of a foreign mapping")
def _():
    from types import MappingProxyType

    return Call(Engine._normalise_records, engine(),
                MappingProxyType({"A": [MappingProxyType({"v": 1})]}), fresh("stock"))


@case(FE, "InvestorFlowEngine._normalise_records", "id not a str", TypeError)
def _():
    return Call(Engine._normalise_records, engine(), {fresh_int(1000): [{"v": 1}]}, fresh("stock"))


@case(FE, "InvestorFlowEngine._prepare_payload", "ids in a tuple")
def _():
    return Call(Engine._prepare_payload, engine(), {"ids": (fresh(" a1 "), fresh("b1"))})


@case(FE, "InvestorFlowEngine._to_query_params", "ids from an iterator")
def _():
    return Call(Engine._to_query_params, engine(), {"ids": iter([fresh("a1"), fresh("b1")])})


@case(FE, "InvestorFlowEngine._request", "GET after a refused POST fails", HttpError)
def _():
    class Refused(Session):
        def post(self, path, json_body=None, **kwargs):
            raise HttpError("n", status_code=404)

    return Call(Engine._request, Engine(Refused(error=lambda: HttpError("g", status_code=500))),
                fresh("/p"), {"ids": [fresh("a1")]})


@case(MS, "_Cache.get", "lock fails on exit", Boom)
def _():
    class Failing(Lock):
        def __exit__(self, *exc: Any) -> bool:
            raise Boom()

    cache = foreign_cache()
    cache._lock = Failing()
    return Call(Cache.get, cache, fresh("ns"), [1])


@case(ML, "BaseMemoLayer._fetch_with_cache", "fetch and its cleanup fail", Boom)
def _():
    class Leaving(Cache):
        def _end_inflight(self, ns: Any, key: Any) -> None:
            raise Boom()

    def fail():
        raise KeyError(fresh("k1"))

    client, ns, key = Client(), fresh("ns"), key_of("k1", 1)
    client._cache = Leaving()
    # The failed cleanup leaves the pair counted in flight.
    return fetch(client, ns, key, fail).keeps(ns).keeps(key)


# --- the frames engine (private_core._frames, behind private_core.helpers) --------------

FR = "_frames"


def minute_rows() -> list:
    return [{"symbol": f"S{i % 3}", "time": f"2024-01-02T09:{i:02d}:00", "open": 1.5 + i,
             "volume": i, "note": None if i % 4 else "x"} for i in range(30)]


def minute_frame() -> Any:
    return helpers._to_dataframe(minute_rows())


@case(FR, "rows_to_frame", "ok", heavy=True)
def _():
    return Call(frames.rows_to_frame, minute_rows(), ("time", "date"))


@case(FR, "rows_to_frame", "times left to pandas", heavy=True)
def _():
    rows = minute_rows()
    for row in rows:
        row["time"] += "+07:00"
    return Call(frames.rows_to_frame, rows, ("time", "date"))


@case(FR, "rows_to_frame", "a value outside JSON: None returned")
def _():
    rows = minute_rows()
    rows[7]["open"] = [fresh("x1")]
    return Call(frames.rows_to_frame, rows, ("time", "date"))


@case(FR, "resample_ohlcv", "one pass", heavy=True)
def _():
    frame = minute_frame()
    return Call(frames.resample_ohlcv, frame, fresh("time"), frame["time"], fresh("5m"), False)


@case(FR, "resample_ohlcv", "numpy's reductions", heavy=True)
def _():
    frame = minute_frame()
    return Call(frames.resample_ohlcv, frame, fresh("time"), frame["time"], fresh("1W"), True)


@case(FR, "resample_ohlcv", "a missing time: None returned", heavy=True)
def _():
    frame = minute_frame()
    times = pd.to_datetime(frame["time"].astype(object).where(frame.index != 4, None))
    return Call(frames.resample_ohlcv, frame, fresh("time"), times, fresh("5m"), False)
