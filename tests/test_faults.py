"""Every fetcher against a backend that misbehaves on the wire: each fault gives the
fetcher's documented error, and the same HttpSession serves the next request."""
import json
import subprocess
import sys
from operator import attrgetter

import pandas as pd
import pytest
import requests
from tavrix.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

from fakes import record_hooks
from faultserver import FAULTS, HTML, FaultServer, json_answer
from private_core import daily_bars, keygate, tick_feed
from private_core.investor import flow_engine
from private_core.transport_base import HttpSession

TRANSPORT_FAILURE = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!"
TRANSPORT = ["accept_close", "drop", "reset", "garbage", "close_mid_status", "close_mid_body",
             "slow_headers", "slow_body", "bad_chunked", "bad_gzip", "redirect_loop"]
UNDECODABLE = ["truncated_json", "html_200"]
assert set(TRANSPORT + UNDECODABLE + ["html_502"]) == set(FAULTS)

# Short enough to keep the stalling faults cheap, and set only for them; every other
# call gets a generous one, so a loaded machine never turns a good answer into a
# timeout. The session reads it at each call.
FAULT_TIMEOUT, GOOD_TIMEOUT = 0.3, 10
# The HTTP library follows 30 redirects and gives up on the 31st answer.
HOPS = 31


def backend(method, path, query, body):
    tail = path.split("/api/v1/tavrix", 1)[-1]
    if tail == "/auth/validate":
        return json_answer({"valid": True, "plan": "pro"})
    if tail in ("/market-data/eod/ohlcv", "/market-data/intraday/ohlcv"):
        time = "2024-05-02" if "eod" in tail else "2024-05-02 09:15:00"
        bar = {"time": time, "open": 1.0, "high": 2.0, "low": 0.5, "close": 1.5, "volume": 100}
        return json_answer({"data": [bar]})
    if tail == "/market-data/intraday/orderbook":
        return json_answer({"data": [{"time": "2024-05-02 09:15:00", "price": 1.0, "side": "B"}]})
    if tail.startswith("/market-data/investor/"):
        ids = json.loads(body)["ids"] if method == "POST" else query["ids"].split(",")
        return json_answer([{"symbol": i, "date": "2024-05-02", "net": 1.0} for i in ids])
    return json_answer({"path": tail, "method": method})


@pytest.fixture(scope="module")
def server():
    with FaultServer(backend) as server:
        yield server


@pytest.fixture
def session(server):
    assert server.pending() == []
    with HttpSession("key", base_url=server.url + "/api/v1/tavrix") as session:
        session.timeout = GOOD_TIMEOUT
        yield session
    assert server.pending() == [], "a planned action was never met"


# name: (call, kind of fetcher, what a good answer yields)
FETCHERS = {
    "get": (lambda s: s.get("/thing", params={"q": "1"}), "session", {"path": "/thing", "method": "GET"}),
    "post": (lambda s: s.post("/thing", json_body={"a": 1}), "session", {"path": "/thing", "method": "POST"}),
    "request": (lambda s: s.request("PUT", "thing", data=b"raw"), "session", {"path": "/thing", "method": "PUT"}),
    "validate_api_key": (lambda s: keygate.validate_api_key(s, client_version="1.2.3"), "keygate", (True, "pro")),
    "eod": (lambda s: daily_bars.fetch_ohlcv(s, "abc", show_progress=False), "OHLCV", ["ABC"]),
    "intraday": (lambda s: tick_feed.fetch_ohlcv(s, "abc", show_progress=False), "OHLCV", ["ABC"]),
    "orderbook": (lambda s: tick_feed.fetch_orderbook(s, ["abc"], show_progress=False), "orderbook", ["ABC"]),
    "investor": (lambda s: flow_engine.InvestorFlowEngine(s).fetch_df("stock", "flow", {"ids": "AAA"}),
                 "investor", ["AAA"]),
}


def yielded(kind, answer):
    if kind == "session":
        return answer.json()
    return (answer.valid is True, answer.plan) if kind == "keygate" else list(answer["symbol"])


def expect_error(kind, fault, url):
    """(exception type, exact message or None, type of __cause__ or None[, attributes the
    error has, by dotted name])."""
    if fault in TRANSPORT:
        if kind == "keygate":
            # The transport error carries no status and no payload text.
            return ApiKeyValidationError, "Backend rejected API key validation (HTTP None)", HttpError
        return HttpError, TRANSPORT_FAILURE, requests.RequestException, {"status_code": None, "payload": None}
    if fault in UNDECODABLE:
        if kind == "session":
            return None  # a 2xx body is the caller's to decode
        if kind == "keygate":
            return ApiKeyValidationError, "Backend returned invalid JSON payload", ValueError
        if kind == "investor":
            return ValueError, None, None  # the response's own decoding error, unchanged
        return DataDecodingError, f"Unable to decode {kind} response as JSON", ValueError
    if kind == "keygate":
        return ApiKeyValidationError, HTML.decode().strip(), HttpError, {"__cause__.status_code": 502}
    return HttpError, f"Tavrix backend returned HTTP 502 for {url}", None, {"status_code": 502, "payload": HTML.decode()}


def check_raised(info, error_type, message, cause, attributes=()):
    error = info.value
    assert type(error) is error_type or (error_type is ValueError and not isinstance(
        error, (DataDecodingError, HttpError)))
    if message is not None:
        assert error.args == (message,)
    assert isinstance(error.__cause__, cause or type(None))
    assert {name: attrgetter(name)(error) for name in attributes} == dict(attributes)


@pytest.mark.parametrize("fault", sorted(FAULTS))
@pytest.mark.parametrize("name", FETCHERS)
def test_fault_gives_documented_error_and_session_stays_usable(server, session, name, fault):
    call, kind, good = FETCHERS[name]
    assert yielded(kind, call(session)) == good  # a pooled connection now exists
    url = server.url + server.requests[-1][1]  # where the failing call goes too
    sent, hops = len(server.requests), HOPS if fault == "redirect_loop" else 1
    server.plan(*[fault] * hops)  # a redirect loop is planned once per hop
    reaching = 0 if fault == "accept_close" else hops
    if fault.startswith("slow_"):
        session.timeout = FAULT_TIMEOUT
    expected = expect_error(kind, fault, url)
    if expected is None:
        response = call(session)
        assert response.status_code == 200
        with pytest.raises(ValueError):
            response.json()
    else:
        with pytest.raises(Exception) as info:
            call(session)
        check_raised(info, *expected)
    # One attempt: no retry, and no GET fallback after a failed investor POST.
    assert len(server.requests) - sent == reaching
    session.timeout = GOOD_TIMEOUT
    assert yielded(kind, call(session)) == yielded(kind, call(session)) == good


@pytest.mark.parametrize("fault", ["drop", "close_mid_body", "truncated_json", "html_502"])
def test_investor_fault_on_the_get_fallback(server, session, fault):
    engine = flow_engine.InvestorFlowEngine(session)
    server.plan("status:405", fault)
    path = "/api/v1/tavrix/market-data/investor/stock/flow"
    with pytest.raises(Exception) as info:
        engine.fetch_df("stock", "flow", {"ids": ["AAA", " "]})
    check_raised(info, *expect_error("investor", fault, server.url + path))
    assert server.requests[-2:] == [("POST", path), ("GET", path)]
    server.plan("status:405")
    assert list(engine.fetch_df("stock", "flow", {"ids": "AAA"})["symbol"]) == ["AAA"]


BATCHES = {
    "eod": (daily_bars, lambda s, syms: daily_bars.fetch_ohlcv(s, syms), "OHLCV"),
    "intraday": (tick_feed, lambda s, syms: tick_feed.fetch_ohlcv(s, syms), "OHLCV"),
    "orderbook": (tick_feed, lambda s, syms: tick_feed.fetch_orderbook(s, syms), "orderbook"),
    "investor": (flow_engine, lambda s, syms: flow_engine.InvestorFlowEngine(s).fetch_df(
        "stock", "flow", {"ids": syms}), "investor"),
}


@pytest.mark.parametrize("fault", ["reset", "close_mid_body", "html_200", "html_502"])
@pytest.mark.parametrize("name", BATCHES)
def test_one_symbol_failing_ends_the_batch(server, session, monkeypatch, name, fault):
    module, fetch, kind = BATCHES[name]
    events = record_hooks(monkeypatch, module, frames=False)
    names = ["AAA", "BBB", "CCC"]

    server.plan("good", fault)
    sent = len(server.requests)
    with pytest.raises(Exception) as info:
        fetch(session, names)
    check_raised(info, *expect_error(kind, fault, server.url + server.requests[-1][1]))
    # No partial frame and nothing fetched after the failing symbol.
    assert len(server.requests) - sent == 2
    finished = [("finish",)] if kind == "investor" else []  # only the investor loop finishes
    assert [e[:2] for e in events] == [("start", 3), ("update", 1)] + finished

    events.clear()
    frame = fetch(session, names)
    assert isinstance(frame, pd.DataFrame) and list(frame["symbol"]) == names
    assert [e[:2] for e in events] == [("start", 3), ("update", 1), ("update", 2), ("update", 3), ("finish",)]


# A fetcher that goes back through the cache for ever. In a fresh interpreter: the first
# error of the process is the one at the limit, and a crash fails one test instead of the
# run. (A backend's endlessly nested envelope is test_fuzz_investor.py's.)
RECURSIVE_FETCHER = """
import itertools
from private_core.memo_layer import BaseMemoLayer
layer, keys = BaseMemoLayer(), itertools.count()
def fetcher():
    return layer._fetch_with_cache("ns", (next(keys),), live=True, fetcher=fetcher, ttl_live=None, ttl_history=None)
try:
    fetcher()
except RecursionError:
    print("RecursionError")
"""


def test_runaway_recursion_is_a_recursion_error_not_a_crash():
    result = subprocess.run([sys.executable, "-c", RECURSIVE_FETCHER], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, "RecursionError"), result.stderr[-2000:]
