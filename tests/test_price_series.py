"""daily_bars and tick_feed: symbol normalisation, the progress bar and the three batch
fetchers, each compared with its plain-Python model (tests/models/price_model.py) on JSON-like
values, subclasses and hostile objects alike; then the query each call sends, the
module surface, and one trip through a real server."""
import contextlib
import inspect
import io
import json
import sys
from datetime import date
from types import SimpleNamespace

import pandas as pd
import pytest
from hypothesis import example, given
from hypothesis import strategies as st
from tavrix.exceptions import DataDecodingError, HttpError

from private_core_models import price_model as model
from fakes import Response, Session, StrSub, assert_same_outcome, outcome, raise_, record_hooks, same_text
from fuzz_inputs import (Boom, DictGetLies, DictGetRaises, ListIterRaises, StrStripLies, StrStripRaises,
                         anything, containers, hostile_scalars, json_values, leaves, padded_text, scaled,
                         short_text, subclassed_scalars)
from private_core import daily_bars, tick_feed

FETCHERS = {"eod": daily_bars.fetch_ohlcv, "intraday": tick_feed.fetch_ohlcv,
            "orderbook": tick_feed.fetch_orderbook}
each_fetcher = pytest.mark.parametrize("kind", list(FETCHERS))
each_module = pytest.mark.parametrize("module", [daily_bars, tick_feed], ids=["daily_bars", "tick_feed"])


def examples(*cases):
    def apply(test):
        for case in cases:
            test = example(**case)(test)
        return test
    return apply


def ours(exc):
    """An error whose wording is ours to keep (the interpreter's and a caller's vary)."""
    return isinstance(exc, DataDecodingError) or exc.args[:1] in [(m,) for m in model.MESSAGES]


@pytest.fixture
def log(monkeypatch):
    return record_hooks(monkeypatch, daily_bars, tick_feed)


# --- _normalize_symbols --------------------------------------------------------------------
symbol_text = st.one_of(padded_text, short_text, st.sampled_from(["abc", " ABC", "Abc\t", "ß", "ǆ"]))
symbol_items = st.one_of(symbol_text, symbol_text.map(StrStripRaises), symbol_text.map(StrStripLies), leaves)
symbol_args = st.one_of(symbol_text, symbol_text.map(StrStripRaises), symbol_text.map(StrStripLies),
                        containers(symbol_items), st.lists(symbol_text, max_size=6), anything)


@each_module
@given(symbols=symbol_args)
@examples(*[{"symbols": s} for s in [
    "  abc ", ["abc", "abc"], ["abc", "ABC", " abc\t"], ("msft", "", " aapl", "  ", "MSFT", "xyz"), "   ",
    [], ("",), [" ", "\t\n"], b"abc", {"abc"}, {"abc": 1}, iter(["abc"]), None, 5, ["abc", 1],
    bytearray(b"ab"), ["abc", ["x"]], [" ", None], ListIterRaises(["abc", "def"]),
    # Regression: a str subclass's own strip() was trusted, so a strip() that returned a
    # non-text object reached upper() and the de-duplicating set.
    StrStripLies(" abc "), [StrStripLies(" abc "), "x"], [StrStripRaises(" abc ")]]])
def test_normalize_symbols_matches_model(module, symbols):
    got = outcome(module._normalize_symbols, symbols=symbols)
    want = outcome(model.normalize_symbols, symbols)
    assert_same_outcome(got, want, compare=lambda g, w: None, exact=ours)
    assert got[0] == "raised" or (same_text(got[1], want[1]) and got[1] is not symbols), (got, want)


# --- _render_progress ----------------------------------------------------------------------
class Stdout(io.StringIO):
    def flush(self):  # shown in the text, so that a missing or misplaced flush shows
        super().write("<flush>")


def printed(render, *args):
    with contextlib.redirect_stdout(Stdout()) as out:
        return render(*args), out.getvalue()


# The bar's length grows with current/total, so the pair is kept within a bar of a few
# thousand cells; huge values come in pairs of like size.
progress_pairs = st.one_of(
    st.tuples(st.integers(-3000, 3000), st.integers(-5, 3000)),
    st.integers(-(2**80), 2**80).filter(bool).flatmap(
        lambda total: st.tuples(st.integers(-abs(total), abs(total)), st.just(total))))
wrong_number = st.one_of(st.booleans(), st.integers().map(lambda n: type("I", (int,), {})(n)),
                         st.none(), st.floats(), short_text)


@each_module
@given(pair=progress_pairs, symbol=st.one_of(short_text, subclassed_scalars, hostile_scalars),
       wrong=st.one_of(st.none(), st.tuples(st.sampled_from([0, 1]), wrong_number)))
# (29, 100): 0.29 * 100.0 is just below 29 in double precision.
@examples(*[{"pair": p, "symbol": "X", "wrong": None}
            for p in [(0, 5), (1, 3), (3, 3), (2, 1), (-1, 2), (29, 100), (0, 0), (1, -3)]],
          {"pair": (1, 3), "symbol": "X", "wrong": (0, True)}, {"pair": (1, 3), "symbol": "X", "wrong": (1, None)},
          {"pair": (1, 3), "symbol": StrSub("X"), "wrong": None})
def test_render_progress_matches_model(module, pair, symbol, wrong):
    args = list(pair) + [symbol]
    if wrong is not None:
        args[wrong[0]] = wrong[1]
    got = outcome(printed, module._render_progress, *args)
    want = outcome(printed, model.render_progress, *args)
    assert_same_outcome(got, want, exact=lambda exc: False)
    if got[0] == "raised":  # the refused argument and the type expected are named
        assert str(got[1]).startswith(want[1].args[0]), (got, want)


@each_module
def test_render_progress_write_failure(module, monkeypatch):
    monkeypatch.setattr(sys, "stdout", Stdout())
    monkeypatch.setattr(sys.stdout, "write", lambda text: raise_(OSError("closed")))
    with pytest.raises(OSError, match="closed"):
        module._render_progress(current=1, total=1, symbol="X")
    assert sys.stdout.getvalue() == ""  # neither flush nor newline attempted


# --- the fetchers' handling of what the session answers ------------------------------------
row = st.dictionaries(st.sampled_from(["symbol", "time", "open", "close", "volume", "x"]), json_values, max_size=4)
good_payload = st.fixed_dictionaries(
    {"data": st.lists(row, max_size=3)},
    optional={"error": st.sampled_from([None, 0, False, "", [], "not found", 1])})
payloads = st.one_of(  # a good payload also as a real response decodes it, after the JSON codec
    good_payload, good_payload.map(lambda value: json.loads(json.dumps(value))),
    good_payload.map(DictGetLies), good_payload.map(DictGetRaises),
    st.fixed_dictionaries({"data": containers(st.one_of(row, anything))}),
    st.fixed_dictionaries({"error": anything}), json_values, anything)
answers = st.one_of(
    payloads.map(Response),
    st.sampled_from([ValueError("bad"), json.JSONDecodeError("x", "", 0), Boom(), KeyError("k")]).map(Response),
    st.sampled_from([HttpError("down"), HttpError("gone", status_code=404), Boom()]))  # raised by get()
ROWS = Response({"data": [{"t": 0}]})


def second_of_three(reply):
    return {"symbol": ["abc", "xyz", "def"], "replies": [ROWS, reply, ROWS], "show_progress": True}


@each_fetcher
@scaled(0.5)
@given(symbol=st.one_of(st.lists(symbol_text, min_size=1, max_size=3), symbol_text, symbol_args),
       replies=st.lists(answers, min_size=1, max_size=3), show_progress=st.booleans())
@examples(
    # Duplicates and an empty reply; a row's own symbol wins, in first position; values
    # are handed on as they are, not copied.
    {"symbol": ["xyz", "empty", " abc", "XYZ", "Abc"], "show_progress": True, "replies": [
        Response({"data": [{"t": 1}, {"t": 2}], "extra": "ignored"}), Response({"data": []}),
        Response({"data": [{"t": 3, "close": 2.5}, {"t": 4, "symbol": "OWN", "x": [{}]}]})]},
    # A list row inside an otherwise valid reply, after a valid first symbol.
    {"symbol": ["a", "b"], "replies": [Response({"data": [{"v": 1}]}), Response({"data": [[1]]})],
     "show_progress": True},
    *map(second_of_three, [
        Response([{"t": 1}]), Response({"error": "bad symbol", "data": []}), Response({"error": {"code": 7}}),
        Response({}), Response({"data": {"t": 1}}), Response({"data": [{"t": 1}, [1, 2]]}),
        Response({"data": [3]}), Response(ValueError("Expecting value")),
        Response(type("BadJson", (ValueError,), {})("x")), Response(KeyError("json")),
        HttpError("Tavrix backend returned HTTP 500 for x", status_code=500)]))
def test_fetchers_match_model(kind, symbol, replies, show_progress):
    fetch = FETCHERS[kind]
    module = sys.modules[fetch.__module__]
    runs = []
    with pytest.MonkeyPatch.context() as patch:
        events = record_hooks(patch, module)
        patch.setattr(module, "pd", SimpleNamespace(DataFrame=lambda: "empty"))
        for run in (fetch, lambda session, symbol, show_progress: model.fetch(kind, session, symbol,
                                                                                show_progress, module)):
            session = Session(*replies, cycle=True)
            session.calls = events  # the requests in order among the hooks' calls
            runs.append((outcome(run, session, symbol, show_progress=show_progress), events[:]))
            events.clear()
    (got, got_events), (want, want_events) = runs
    assert_same_outcome(got, want, exact=ours)
    if want[0] == "raised":  # a cause is chained as it is; a session's own error passes unchanged
        assert got[1].__cause__ is want[1].__cause__, (got, want)
        assert got[1].__suppress_context__ == want[1].__suppress_context__
        assert (got[1] is want[1]) == any(want[1] is (r.payload if isinstance(r, Response) else r) for r in replies)
    assert len(got_events) == len(want_events), (got_events, want_events)
    for g, w in zip(got_events, want_events):
        if g[0] == "frame":  # each row a dict, its keys and values the same objects or equal plain text
            assert w[0] == "frame" and len(g[1]) == len(w[1]), (g, w)
            assert all(type(r) is dict and same_text(list(r), list(m)) and all(
                a is b or type(a) is str and same_text(a, b) for a, b in zip(r.values(), m.values()))
                for r, m in zip(g[1], w[1])), (g, w)
        elif g[0] == "GET":  # the query's items in order
            assert g[:2] == w[:2] and list(g[2].items()) == list(w[2].items()) and g[3] == w[3], (g, w)
        else:
            assert g == w, (got_events, want_events)


# --- the query each call sends, quiet runs, argument checks ---------------------------------
@pytest.mark.parametrize("kind, args, params, resampled_to", [
    ("eod", (), [("interval", "1D")], "1D"),
    ("eod", {"start": "2024-01-02", "end": ""}, [("interval", "1D"), ("start", "2024-01-02")], "1D"),
    ("eod", {"start": "", "end": "e", "interval": "1W"}, [("interval", "1W"), ("end", "e")], "1W"),
    ("eod", ("a", "b", "1W"), [("interval", "1W"), ("start", "a"), ("end", "b")], "1W"),
    ("intraday", {"interval": "5m"}, [("interval", "1m")], "5m"),
    ("intraday", ("s", "e", "5m", True), [("interval", "1m"), ("start", "s"), ("end", "e"), ("adjusted", "true")], "5m"),
    ("intraday", {"adjusted": False}, [("interval", "1m"), ("adjusted", "false")], "1m"),
    ("intraday", {"adjusted": 0}, [("interval", "1m"), ("adjusted", "false")], "1m"),
    ("intraday", {"adjusted": [1]}, [("interval", "1m"), ("adjusted", "true")], "1m"),
    ("intraday", {"adjusted": None, "end": "e"}, [("interval", "1m"), ("end", "e")], "1m"),
    ("orderbook", ("2024-05-03",), [("target_date", "2024-05-03")], None),
    ("orderbook", {"target_date": ""}, [], None),
])
def test_query_parameters(log, kind, args, params, resampled_to):
    session, fetch = Session({"data": [{"t": 1}]}), FETCHERS[kind]
    fetch(session, ["abc"], *args) if isinstance(args, tuple) else fetch(session, ["abc"], **args)
    assert list(session.calls[0][2].items()) == [("symbol", "ABC")] + params
    assert [e[2] for e in log if e[0] == "resample"] == ([resampled_to] if resampled_to else [])
    with pytest.raises(TypeError, match="positional arguments? but [4-9] were given"):
        fetch(session, "a", *[None] * (1 if kind == "orderbook" else 4), False)


@each_fetcher
@pytest.mark.parametrize("show_progress, error", [(False, 0), (0, False), (None, ""), ("", None)])
def test_quiet_progress_empty_result_and_falsy_error(log, kind, show_progress, error):
    result = FETCHERS[kind](Session({"error": error, "data": []}), ["a", "b"], show_progress=show_progress)
    assert type(result) is pd.DataFrame and result.empty and list(result.columns) == []
    assert log == [("start", 2, model.FETCHERS[kind][1]), ("finish",)]  # no updates, no frame helpers


@pytest.mark.parametrize("call, name, got", [
    (lambda s: daily_bars.fetch_ohlcv(s, "a", start=20240101), "start", "int"),
    (lambda s: daily_bars.fetch_ohlcv(s, "a", end=b"x"), "end", "bytes"),
    (lambda s: tick_feed.fetch_ohlcv(s, "a", start=type("S", (str,), {})("x")), "start", "S"),
    (lambda s: tick_feed.fetch_orderbook(s, "a", date(2024, 5, 3)), "target_date", "datetime.date"),
    (lambda s: tick_feed.fetch_orderbook(s, " "), None, None),
])
def test_argument_errors_come_first(log, call, name, got):
    session = Session()
    expected = rf"Argument '{name}' has incorrect type \(expected str, got {got}\)" if name else "symbol must"
    with pytest.raises((TypeError, ValueError), match=expected):
        call(session)
    assert session.calls == [] and log == []


# --- module surface -----------------------------------------------------------------------
@pytest.mark.parametrize("module, interval_name, constants, functions", [
    (daily_bars, "Interval", ["ENDPOINT"], ["fetch_ohlcv"]),
    (tick_feed, "IntervalIntraday", ["ENDPOINT", "ORDERBOOK_ENDPOINT"], ["fetch_ohlcv", "fetch_orderbook"]),
])
def test_module_contents(module, interval_name, constants, functions):
    assert [n for n in vars(module) if not n.startswith("__")] == [
        "sys", "Any", "Dict", "List", "Optional", "Sequence", "Union", "DataDecodingError", "HttpSession",
        interval_name, "_to_dataframe", "resample_ohlcv_multi", "start_progress", "update_progress",
        "finish_progress", "pd", *constants, "_normalize_symbols", "_render_progress", *functions,
    ]
    assert module.sys is sys  # the endpoints' values: the paths compared with the model's in every fetch
    assert module._normalize_symbols.__doc__ == "Return a normalised, non-empty list of uppercase symbols."
    assert module._render_progress.__doc__ == "Render a progress bar"
    signatures = {f: str(inspect.signature(getattr(module, f))) for f in ["_normalize_symbols", *functions]}
    tail = "*, show_progress: 'bool' = True) -> 'pd.DataFrame'"
    head = "(session: 'HttpSession', symbol: 'Union[str, Sequence[str]]', "
    dates = "start: 'Optional[str]' = None, end: 'Optional[str]' = None, "
    assert signatures == {
        "_normalize_symbols": "(symbols: 'Union[str, Sequence[str]]') -> 'List[str]'",
        "fetch_ohlcv": head + dates + (
            "interval: 'Interval' = '1D', " if module is daily_bars
            else "interval: 'IntervalIntraday' = '1m', adjusted: 'Optional[bool]' = None, ") + tail,
        **({"fetch_orderbook": head + "target_date: 'Optional[str]' = None, " + tail} if module is tick_feed else {}),
    }
    assert module.fetch_ohlcv.__doc__ == "Fetch raw OHLCV data for one or multiple symbols."
    if module is tick_feed:
        assert module.fetch_orderbook.__doc__ == "Fetch raw orderbook (tape) data for one or multiple symbols."


@each_fetcher
def test_module_names_read_at_each_call(log, kind, monkeypatch):
    fetch = FETCHERS[kind]
    module = sys.modules[fetch.__module__]
    monkeypatch.setattr(module, "ORDERBOOK_ENDPOINT" if kind == "orderbook" else "ENDPOINT", "/elsewhere")
    monkeypatch.setattr(module, "_normalize_symbols", lambda s: ["ONE", "TWO"])
    monkeypatch.setattr(module, "pd", SimpleNamespace(DataFrame=lambda: "empty"))
    session = Session({"data": []})
    assert fetch(session, "ignored") == "empty"
    assert [(c[1], c[2]["symbol"]) for c in session.calls] == [("/elsewhere", "ONE"), ("/elsewhere", "TWO")]
    monkeypatch.setattr(module, "DataDecodingError", KeyError)
    with pytest.raises(KeyError, match="Unexpected payload structure"):
        fetch(Session([1]), "a")


def test_through_a_real_session(httpserver_ipv4):
    """End to end: a real HttpSession against a local server, and the real helpers."""
    from private_core.transport_base import HttpSession

    server, path = httpserver_ipv4, "/api/v1/tavrix/market-data/eod/ohlcv"
    bars = [{"time": f"2024-01-0{d}", "open": d, "high": d + 1, "low": d - 1, "close": d, "volume": 10}
            for d in (1, 2, 3)]
    server.expect_request(path, query_string="symbol=AAA&interval=1D&start=2024-01-01").respond_with_json({"data": bars})
    server.expect_request(path, query_string="symbol=BBB&interval=1D&start=2024-01-01").respond_with_data("<html>")
    server.expect_request("/api/v1/tavrix/market-data/intraday/orderbook").respond_with_json({"error": "x"}, status=404)
    with HttpSession("key", base_url=server.url_for("/api/v1/tavrix")) as session:
        frame = daily_bars.fetch_ohlcv(session, "aaa", start="2024-01-01", show_progress=False)
        assert list(frame.columns) == ["symbol", "time", "open", "high", "low", "close", "volume"]
        assert list(frame["symbol"]) == ["AAA"] * 3 and list(frame["close"]) == [1, 2, 3]
        with pytest.raises(DataDecodingError, match="^Unable to decode OHLCV response as JSON$") as info:
            daily_bars.fetch_ohlcv(session, ["aaa", "bbb"], start="2024-01-01")
        assert isinstance(info.value.__cause__, ValueError)
        with pytest.raises(HttpError) as failed:
            tick_feed.fetch_orderbook(session, "aaa")
        assert failed.value.status_code == 404 and failed.value.payload == {"error": "x"}
