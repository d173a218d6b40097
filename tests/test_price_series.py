"""daily_bars and tick_feed: symbol lists, the progress bar, and the three batch fetchers.

The fetchers are driven with fake sessions that record what is sent; the progress
hooks and frame helpers are replaced by recorders, as a caller may replace them.
"""
import inspect
import sys
from datetime import date

import pandas as pd
import pytest
from tavrix.exceptions import DataDecodingError, HttpError

from private_core import daily_bars, tick_feed


class Session:
    """Answers get() from `replies` (symbol -> payload; an HttpError is raised by get, a
    ValueError or KeyError by json()); records the path and the params' items in order."""

    def __init__(self, replies=None, default=None):
        self.replies, self.default, self.sent = replies or {}, default or {"data": []}, []

    def get(self, path, params=None):
        self.sent.append((path, list(params.items())))
        self.reply = self.replies.get(params["symbol"], self.default)
        if isinstance(self.reply, HttpError):
            raise self.reply
        return self

    def json(self):
        if isinstance(self.reply, Exception):
            raise self.reply
        return self.reply


@pytest.fixture
def log(monkeypatch):
    """Progress hooks and frame helpers of both modules replaced by recorders."""
    events = []

    def resample(frame, *, interval):
        events.append(("resample", frame, interval))
        return "resampled"

    for module in (daily_bars, tick_feed):
        for hook in ("start_progress", "update_progress", "finish_progress"):
            monkeypatch.setattr(module, hook, lambda *a, h=hook: events.append((h[:-9],) + a))
        monkeypatch.setattr(module, "_to_dataframe", lambda rows: events.append(("frame", rows)) or "frame")
        monkeypatch.setattr(module, "resample_ohlcv_multi", resample)
    return events


# name -> (fetcher, path, progress label, message wording, default interval (None: no resampling))
FETCHERS = {
    "eod": (daily_bars.fetch_ohlcv, "/market-data/eod/ohlcv", "Batch EOD", "OHLCV", "1D"),
    "intraday": (tick_feed.fetch_ohlcv, "/market-data/intraday/ohlcv", "Batch intraday", "OHLCV", "1m"),
    "orderbook": (tick_feed.fetch_orderbook, "/market-data/intraday/orderbook", "Orderbook intraday",
                  "orderbook", None),
}
each_fetcher = pytest.mark.parametrize("kind", list(FETCHERS))
each_module = pytest.mark.parametrize("module", [daily_bars, tick_feed], ids=["daily_bars", "tick_feed"])
NOT_A_SEQUENCE = "symbol must be a string or a sequence of strings."
NOT_STRINGS = "All symbols in the sequence must be strings."
NO_SYMBOL = "symbol sequence must contain at least one non-empty string."


# --- _normalize_symbols and _render_progress, shared by both modules ---------------------


@each_module
@pytest.mark.parametrize("given, expected", [
    ("  abc ", ["ABC"]),
    (["abc", "abc"], ["ABC"]),
    (["abc", "ABC", " abc\t"], ["ABC"]),  # duplicates found after normalising
    (("msft", "", " aapl", "  ", "MSFT", "xyz"), ["MSFT", "AAPL", "XYZ"]),  # caller's order
    ("   ", ValueError("symbol must not be empty.")),
    ([], ValueError(NO_SYMBOL)), (("",), ValueError(NO_SYMBOL)), ([" ", "\t\n"], ValueError(NO_SYMBOL)),
    (b"abc", TypeError(NOT_A_SEQUENCE)), ({"abc"}, TypeError(NOT_A_SEQUENCE)),
    ({"abc": 1}, TypeError(NOT_A_SEQUENCE)), (iter(["abc"]), TypeError(NOT_A_SEQUENCE)),
    (None, TypeError(NOT_A_SEQUENCE)), (5, TypeError(NOT_A_SEQUENCE)),
    (["abc", 1], TypeError(NOT_STRINGS)), (bytearray(b"ab"), TypeError(NOT_STRINGS)),
    (["abc", ["x"]], TypeError(NOT_STRINGS)),  # unhashable: the documented message too
    ([" ", None], TypeError(NOT_STRINGS)),
])
def test_normalize_symbols(module, given, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            module._normalize_symbols(given)
        assert type(info.value) is type(expected) and info.value.args == expected.args
    else:
        result = module._normalize_symbols(symbols=given)
        assert result == expected and all(type(s) is str for s in result) and result is not given


class Stdout:
    def __init__(self, fail=False):
        self.calls, self.fail = [], fail

    def write(self, text):
        if self.fail:
            raise OSError("closed")
        self.calls.append(text)

    def flush(self):
        self.calls.append("<flush>")


@each_module
@pytest.mark.parametrize("current, total, symbol, written", [
    (0, 5, "X", ["\r[" + " " * 49 + "]   0%  0 of 5 completed | X", "<flush>"]),
    (1, 3, "AAA", ["\r[" + "*" * 16 + " " * 33 + "]  33%  1 of 3 completed | AAA", "<flush>"]),
    (3, 3, "AAA", ["\r[" + "*" * 49 + "] 100%  3 of 3 completed | AAA", "<flush>", "\n", "<flush>"]),
    (2, 1, "X", ["\r[" + "*" * 98 + "] 200%  2 of 1 completed | X", "<flush>"]),
    (-1, 2, "X", ["\r[" + " " * 73 + "] -50%  -1 of 2 completed | X", "<flush>"]),
    # 0.29 * 100.0 is just below 29 in double precision.
    (29, 100, "X", ["\r[" + "*" * 14 + " " * 35 + "]  28%  29 of 100 completed | X", "<flush>"]),
    (0, 0, "X", []),
    (1, -3, "X", []),
])
def test_render_progress(module, monkeypatch, current, total, symbol, written):
    monkeypatch.setattr(sys, "stdout", Stdout())
    assert module._render_progress(current, total, symbol) is None
    assert sys.stdout.calls == written


@each_module
def test_render_progress_output_and_failures(module, capsys, monkeypatch):
    module._render_progress(current=2, total=2, symbol="Z")
    assert capsys.readouterr().out == "\r[" + "*" * 49 + "] 100%  2 of 2 completed | Z\n"
    for args, name in [((True, 3, "X"), "current"), ((1, None, "X"), "total"),
                       ((1, 3, type("S", (str,), {})("X")), "symbol")]:
        with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
            module._render_progress(*args)
    monkeypatch.setattr(sys, "stdout", Stdout(fail=True))
    with pytest.raises(OSError, match="closed"):
        module._render_progress(1, 1, "X")
    assert sys.stdout.calls == []  # neither flush nor newline attempted


# --- the fetchers -------------------------------------------------------------------------


@each_fetcher
def test_batch_round_trip(log, kind):
    fetch, path, label, _, interval = FETCHERS[kind]
    session = Session({
        "XYZ": {"data": [{"t": 1}, {"t": 2}], "extra": "ignored"},
        "ABC": {"data": [{"t": 3, "close": 2.5}, {"t": 4, "symbol": "OWN"}]},
        "EMPTY": {"data": []},
    })
    result = fetch(session, ["xyz", "empty", " abc", "XYZ", "Abc"])
    assert session.sent == [(path, [("symbol", s)] + session.sent[0][1][1:]) for s in ("XYZ", "EMPTY", "ABC")]
    rows = [{"symbol": "XYZ", "t": 1}, {"symbol": "XYZ", "t": 2}, {"symbol": "ABC", "t": 3, "close": 2.5},
            {"symbol": "OWN", "t": 4}]  # the row's own symbol wins, in first position
    expected = [("start", 3, label), ("update", 1), ("update", 2), ("update", 3), ("finish",), ("frame", rows)]
    if interval:
        expected.append(("resample", "frame", interval))
    assert log == expected and result == ("resampled" if interval else "frame")
    assert [list(r) for r in log[5][1]][2:] == [["symbol", "t", "close"], ["symbol", "t"]]


@pytest.mark.parametrize("kind, args, params, resampled_to", [
    ("eod", {}, [("interval", "1D")], "1D"),
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
    session = Session(default={"data": [{"t": 1}]})
    if isinstance(args, dict):
        FETCHERS[kind][0](session, ["abc"], **args)
    else:
        FETCHERS[kind][0](session, ["abc"], *args)
    assert session.sent[0][1] == [("symbol", "ABC")] + params
    assert [e[2] for e in log if e[0] == "resample"] == ([resampled_to] if resampled_to else [])
    with pytest.raises(TypeError, match="positional arguments? but [4-9] were given"):
        FETCHERS[kind][0](session, "a", *[None] * (1 if kind == "orderbook" else 4), False)


@each_fetcher
@pytest.mark.parametrize("show_progress, error", [(False, 0), (0, False), (None, ""), ("", None)])
def test_quiet_progress_empty_result_and_falsy_error(log, kind, show_progress, error):
    fetch, _, label, _, _ = FETCHERS[kind]
    result = fetch(Session(default={"error": error, "data": []}), ["a", "b"], show_progress=show_progress)
    assert type(result) is pd.DataFrame and result.empty and list(result.columns) == []
    assert log == [("start", 2, label), ("finish",)]  # no updates, no frame helpers


@each_fetcher
@pytest.mark.parametrize("payload, message", [
    ([{"t": 1}], "Unexpected payload structure for {} response."),
    ({"error": "bad symbol", "data": []}, "Backend returned error for XYZ: bad symbol"),
    ({"error": {"code": 7}}, "Backend returned error for XYZ: {{'code': 7}}"),
    ({}, "Unexpected payload format for {} series."),
    ({"data": {"t": 1}}, "Unexpected payload format for {} series."),
    ({"data": [{"t": 1}, [1, 2]]}, "Each {} row must be a dictionary."),
    ({"data": [3]}, "Each {} row must be a dictionary."),
    (ValueError("Expecting value"), "Unable to decode {} response as JSON"),
    (type("BadJson", (ValueError,), {})("x"), "Unable to decode {} response as JSON"),
])
def test_decoding_errors(log, kind, payload, message):
    fetch, _, label, wording, _ = FETCHERS[kind]
    session = Session({"XYZ": payload}, default={"data": [{"t": 0}]})
    with pytest.raises(DataDecodingError) as info:
        fetch(session, ["abc", "xyz", "def"])
    assert info.value.args == (message.format(wording),)
    if isinstance(payload, ValueError):  # only the JSON failure is chained
        assert info.value.__cause__ is payload and info.value.__suppress_context__
    else:
        assert info.value.__cause__ is None
    assert len(session.sent) == 2 and log == [("start", 3, label), ("update", 1)]  # no finish, no frame


@each_fetcher
def test_other_errors_propagate_unchanged(log, kind):
    fetch, _, label, _, _ = FETCHERS[kind]
    failure = HttpError("Tavrix backend returned HTTP 500 for x", status_code=500)
    for replies, raised in [({"B": KeyError("json")}, KeyError), ({"B": failure}, HttpError)]:
        log.clear()
        with pytest.raises(raised) as info:
            fetch(Session(replies, default={"data": [{"t": 1}]}), ["a", "b", "c"])
        assert info.value is replies["B"] and log == [("start", 3, label), ("update", 1)]


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
    assert session.sent == [] and log == []


# --- module surface -----------------------------------------------------------------------


@pytest.mark.parametrize("module, interval_name, constants, functions", [
    (daily_bars, "Interval", {"ENDPOINT": "/market-data/eod/ohlcv"}, ["fetch_ohlcv"]),
    (tick_feed, "IntervalIntraday", {"ENDPOINT": "/market-data/intraday/ohlcv",
                                     "ORDERBOOK_ENDPOINT": "/market-data/intraday/orderbook"},
     ["fetch_ohlcv", "fetch_orderbook"]),
])
def test_module_contents(module, interval_name, constants, functions):
    assert [n for n in vars(module) if not n.startswith("__")] == [
        "sys", "Any", "Dict", "List", "Optional", "Sequence", "Union", "DataDecodingError", "HttpSession",
        interval_name, "_to_dataframe", "resample_ohlcv_multi", "start_progress", "update_progress",
        "finish_progress", "pd", *constants, "_normalize_symbols", "_render_progress", *functions,
    ]
    assert module.sys is sys and {k: getattr(module, k) for k in constants} == constants
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
    fetch = FETCHERS[kind][0]
    module = sys.modules[fetch.__module__]
    monkeypatch.setattr(module, "ORDERBOOK_ENDPOINT" if kind == "orderbook" else "ENDPOINT", "/elsewhere")
    monkeypatch.setattr(module, "_normalize_symbols", lambda s: ["ONE", "TWO"])
    monkeypatch.setattr(module, "pd", type("FakePd", (), {"DataFrame": staticmethod(lambda: "empty")}))
    session = Session()
    assert fetch(session, "ignored") == "empty"
    assert [(p, q[0]) for p, q in session.sent] == [("/elsewhere", ("symbol", "ONE")), ("/elsewhere", ("symbol", "TWO"))]
    monkeypatch.setattr(module, "DataDecodingError", KeyError)
    with pytest.raises(KeyError, match="Unexpected payload structure"):
        fetch(Session(default=[1]), "a")


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
