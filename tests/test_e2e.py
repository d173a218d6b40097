"""End to end over real HTTP: the core's fetchers against the sandbox backend."""
import socket
from datetime import date, timedelta
from urllib.parse import parse_qsl

import pandas as pd
import pytest
from tavrix.exceptions import DataDecodingError, HttpError
from tavrix_sandbox import data
from tavrix_sandbox.testing import SandboxError, start_sandbox

from fakes import MemoClient
from private_core import daily_bars, memo_rules, tick_feed
from private_core.investor.flow_engine import InvestorFlowEngine
from private_core.transport_base import HttpSession

API, EOD, INTRADAY = "/api/v1/tavrix", "/market-data/eod/ohlcv", "/market-data/intraday/ohlcv"
# A fixed past week: Monday 2 to Friday 13 November 2026 (two trading weeks).
START, END = "2026-11-02", "2026-11-13"
DAYS = list(data.trading_days(date(2026, 11, 2), date(2026, 11, 13)))


@pytest.fixture
def session(sandbox):
    with HttpSession("demo-key", base_url=sandbox.base_url) as s:
        yield s


def wire(sandbox):
    """(method, path below the base, query as a list of pairs) of every request."""
    return [(e["method"], e["path"][len(API):], parse_qsl(e["query"], keep_blank_values=True))
            for e in sandbox.stats()["log"]]


def flows(session, ids, namespace="stock", op="flow", **extra):
    params = {"ids": ids, "group": "Foreign", "start": START, "end": END, **extra}
    return InvestorFlowEngine(session).fetch_df(namespace, op, params)


# --- the sandbox itself, through the session ---------------------------------------------
@pytest.mark.parametrize("key, path, params, status, detail", [
    ("demo-key", EOD, {}, 400, "query parameter 'symbol' is required"),
    ("demo-key", EOD, {"symbol": "ALP", "start": "2026-13-01"}, 400,
     "start must be a date as YYYY-MM-DD, got '2026-13-01'"),
    ("demo-key", EOD, {"symbol": "ALP", "start": END, "end": START}, 400, "start must not be after end"),
    ("demo-key", EOD, {"symbol": "ALP", "interval": "5m"}, 400, "interval must be one of 1D, 1W, 1M, got '5m'"),
    ("demo-key", INTRADAY, {"symbol": "ALP", "adjusted": "yes"}, 400, "adjusted must be 'true' or 'false', got 'yes'"),
    ("demo-key", "/market-data/nothing", {}, 404, f"Not found: {API}/market-data/nothing"),
    ("nope", EOD, {"symbol": "ALP"}, 401, "Invalid API key")])
def test_sandbox_refuses_bad_requests(sandbox, key, path, params, status, detail):
    with HttpSession(key, base_url=sandbox.base_url) as s, pytest.raises(HttpError) as info:
        s.get(path, params=params)
    assert (info.value.status_code, info.value.payload) == (status, {"detail": detail})


def test_sandbox_data_is_deterministic_and_plausible(session):
    params = {"symbol": "WAV", "start": START, "end": END}
    first = session.get(EOD, params=params).json()["data"]
    again = session.get(EOD, params={**params, "start": "2026-11-09"}).json()
    assert again["data"] == first[5:]  # same bars whatever the range asked for
    assert [b["date"] for b in first] == [d.isoformat() for d in DAYS]
    for bar in first:
        assert bar["low"] <= min(bar["open"], bar["close"]) <= max(bar["open"], bar["close"]) <= bar["high"]
        assert bar["volume"] > 0 and bar["volume"] % 100 == 0
    minutes = session.get(INTRADAY, params={"symbol": "WAV", "start": START, "end": START}).json()["data"]
    times = [m["time"][11:16] for m in minutes]
    assert len(minutes) == 270 and times[0] == "09:00" and times[-1] == "14:59" and "12:00" not in times  # lunch break


def test_sandbox_port_taken_is_one_clear_line():
    with socket.create_server(("127.0.0.1", 0)) as busy:
        port = busy.getsockname()[1]
        with pytest.raises(SandboxError) as info:
            start_sandbox(["--port", str(port)])
    assert str(info.value) == (f"sandbox backend did not start: tavrix-sandbox: cannot listen "
                               f"on 127.0.0.1:{port}: address already in use")


# --- end-of-day bars ------------------------------------------------------------------------
def test_eod_batch(sandbox, session):
    frame = daily_bars.fetch_ohlcv(session, ["alp", " sol ", "WAV"], START, END, show_progress=False)
    assert sorted(frame["symbol"].unique()) == ["ALP", "SOL", "WAV"] and len(frame) == 3 * len(DAYS)
    query = [("interval", "1D"), ("start", START), ("end", END)]  # in this order, after the symbol
    assert sorted(wire(sandbox)) == [("GET", EOD, [("symbol", name), *query]) for name in ["ALP", "SOL", "WAV"]]
    sol, bars = frame[frame["symbol"] == "SOL"], [data.eod_bar("SOL", d, adjusted=True) for d in DAYS]
    assert (sol["close"].tolist(), sol["volume"].tolist()) == ([b["close"] for b in bars], [b["volume"] for b in bars])


def test_eod_weekly_is_aggregated_per_symbol(session):
    weekly = daily_bars.fetch_ohlcv(session, ["ALP", "BOR"], START, END, "1W", show_progress=False)
    alp, bars = weekly[weekly["symbol"] == "ALP"], [data.eod_bar("ALP", d, adjusted=True) for d in DAYS]
    weeks = [bars[:5], bars[5:]]
    assert len(weekly) == 4 and alp["volume"].tolist() == [sum(b["volume"] for b in week) for week in weeks]
    assert alp["high"].tolist() == [max(b["high"] for b in week) for week in weeks]


def test_batch_of_twenty_uses_one_kept_alive_connection(sandbox, session):
    frame = daily_bars.fetch_ohlcv(session, sorted(data.STOCKS)[:20], START, END, show_progress=False)
    assert frame["symbol"].nunique() == 20
    stats = sandbox.stats()  # connections accepted by the server: one for the whole batch
    assert (stats["requests"], stats["connections"], stats["peers"]) == (20, 1, 1)


# --- intraday bars and the tape -----------------------------------------------------------
@pytest.mark.parametrize("adjusted, sent", [(None, None), (True, "true"), (False, "false")])
def test_intraday_resampled_to_five_minutes(sandbox, session, adjusted, sent):
    frame = tick_feed.fetch_ohlcv(session, "tav", "2026-11-04", "2026-11-04", "5m", adjusted, show_progress=False)
    assert len(frame) == 270 // 5 and (frame["symbol"] == "TAV").all()
    minutes = data.intraday_bars("TAV", date(2026, 11, 4), adjusted=bool(adjusted))
    assert frame["volume"].sum() == sum(m["volume"] for m in minutes)
    assert (frame["open"].iloc[0], frame["close"].iloc[-1]) == (minutes[0]["open"], minutes[-1]["close"])
    [(_, _, query)] = wire(sandbox)
    assert dict(query).get("adjusted") == sent and dict(query)["interval"] == "1m"


def test_intraday_time_window(session):
    frame = tick_feed.fetch_ohlcv(session, "TAV", "2026-11-04T10:00:00", "2026-11-04T10:29:00", show_progress=False)
    assert len(frame) == 30 and str(frame["time"].iloc[0]) == "2026-11-04 10:00:00"


def test_orderbook(sandbox, session):
    frame = tick_feed.fetch_orderbook(session, ["SOL", "ZEN"], "2026-11-05", show_progress=False)
    expected = {s: data.orderbook_rows(s, date(2026, 11, 5)) for s in ("SOL", "ZEN")}
    assert list(frame.columns) == ["symbol", "time", "price", "volume", "side", "match_id"]
    assert len(frame) == sum(map(len, expected.values()))
    assert frame[frame["symbol"] == "ZEN"]["price"].tolist() == [r["price"] for r in expected["ZEN"]]
    assert all(dict(q) == {"symbol": dict(q)["symbol"], "target_date": "2026-11-05"} for _, _, q in wire(sandbox))


def test_orderbook_weekend_is_empty(session):
    frame = tick_feed.fetch_orderbook(session, "SOL", "2026-11-07", show_progress=False)
    assert frame.empty and list(frame.columns) == []


# --- investor flows -----------------------------------------------------------------------
@pytest.mark.parametrize("shape", ["array", "data", "results", "items", "records", "keyed"])
@pytest.mark.parametrize("namespace, op, ids, id_column", [
    ("stock", "flow", ["SOL", "TAV"], "symbol"), ("market", "breakdown", ["MAIN"], "symbol"),
    ("sector", "foreign_room", ["8000", "9000"], "icb")])
def test_investor_reply_shapes(sandbox, session, shape, namespace, op, ids, id_column):
    sandbox.configure(investor_shape=shape)
    frame = flows(session, ids, namespace, op)
    # Keyed replies carry the identifier only as their key: the engine restores it.
    assert frame[id_column].tolist() == [i for i in sorted(ids) for _ in DAYS]
    assert frame["date"].tolist() == [pd.Timestamp(d) for d in DAYS] * len(ids)
    assert [m for m, _, _ in wire(sandbox)] == ["POST"] * len(ids)


@pytest.mark.parametrize("interval, ends, periods", [
    ("1w", ["2026-11-08", "2026-11-15"], [slice(0, 5), slice(5, 10)]),
    ("1m", ["2026-11-30"], [slice(0, 10)])])  # calendar months on pandas 2 and 3
def test_investor_values_and_resampling(session, interval, ends, periods):
    frame = flows(session, ["SOL", "TAV", "WAV"], interval=interval)
    assert len(frame) == 3 * len(ends) and (frame["group"] == "foreign").all()
    sol = frame[frame["symbol"] == "SOL"]
    assert sol["date"].tolist() == [pd.Timestamp(d) for d in ends]
    daily = [data.investor_flow("stock", "SOL", d, "foreign") for d in DAYS]
    assert sol["net_value"].tolist() == [sum(r["net_value"] for r in daily[p]) for p in periods]


@pytest.mark.parametrize("status", [404, 405])
def test_investor_get_fallback(sandbox, session, status):
    posted = flows(session, ["SOL"])
    sandbox.reset()
    sandbox.configure(investor_post_status=status)
    pd.testing.assert_frame_equal(flows(session, ["SOL"]), posted)
    [(post, _, _), (get, _, query)] = wire(sandbox)
    assert (post, get, dict(query)) == ("POST", "GET", {"ids": "SOL", "group": "foreign", "start": START, "end": END})
    assert [e["status"] for e in sandbox.stats()["log"]] == [status, 200]


# --- errors through the fetchers ---------------------------------------------------------
# A backend error inside a 200 reply is a decoding error; a status other than 404/405 is not retried by GET.
@pytest.mark.parametrize("faults, fetch, error, expected, sent", [
    ({}, lambda s: daily_bars.fetch_ohlcv(s, "XYZ", show_progress=False), DataDecodingError,
     {"args": ("Backend returned error for XYZ: Unknown symbol: XYZ",)}, ["GET"]),
    ({}, lambda s: daily_bars.fetch_ohlcv(s, "ALP", "2026-02-30", show_progress=False), HttpError,
     {"status_code": 400, "payload": {"detail": "start must be a date as YYYY-MM-DD, got '2026-02-30'"}}, ["GET"]),
    ({"/market-data/investor/stock/flow": 503}, lambda s: flows(s, ["SOL"]), HttpError, {"status_code": 503}, ["POST"]),
    ({}, lambda s: flows(s, ["NOPE"]), DataDecodingError, {}, ["POST"])])
def test_fetcher_errors(sandbox, session, faults, fetch, error, expected, sent):
    sandbox.configure(faults=faults)
    with pytest.raises(error) as info:
        fetch(session)
    assert {name: getattr(info.value, name) for name in expected} == expected
    assert [m for m, _, _ in wire(sandbox)] == sent


# --- the cache in front of a fetcher ------------------------------------------------------
@pytest.mark.parametrize("recent, live, fetches", [
    (False, None, 1),  # the fixed past fortnight: history, served from the cache
    (True, None, 2),  # the last ten days up to today: fetched again
    (False, True, 2)])  # asked live: fetched again
def test_cache_in_front_of_the_fetcher(sandbox, session, recent, live, fetches):
    today = date.today()
    start, end = ((today - timedelta(days=10)).isoformat(), today.isoformat()) if recent else (START, END)

    def eod(client):  # as callers put the cache in front: its TTLs and its test of live data
        return client._fetch_with_cache(
            "eod", (start, end), live=memo_rules.touches_latest_trading_day(end) if live is None else live,
            fetcher=lambda: daily_bars.fetch_ohlcv(session, ["ALP", "BOR"], start, end, show_progress=False),
            ttl_live=memo_rules.ttl_eod_latest(), ttl_history=memo_rules.ttl_eod_history())

    client = MemoClient()
    first, second = eod(client), eod(client)
    assert sandbox.requests_made() == 2 * fetches and (second is first) is (fetches == 1)
    pd.testing.assert_frame_equal(first, second)
    other = eod(MemoClient())  # caches are per client
    assert other is not first and sandbox.requests_made() == 2 * fetches + 2
