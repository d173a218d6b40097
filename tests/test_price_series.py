"""daily_bars and tick_feed: symbol lists, the progress bar, and the three batch fetchers.

The fetchers are driven with fake sessions that record what is sent; the progress
hooks and frame helpers are replaced by recorders, as a caller may replace them.
"""
import inspect
import io
import sys
from datetime import date

import pandas as pd
import pytest
from tavrix.exceptions import DataDecodingError, HttpError

from private_core import daily_bars, tick_feed

MODULES = [daily_bars, tick_feed]


# --- fakes ------------------------------------------------------------------------


class Response:
    def __init__(self, payload):
        self.payload = payload

    def json(self):
        if isinstance(self.payload, BaseException):
            raise self.payload
        return self.payload


class FakeSession:
    """Answers each get() from `replies` (symbol -> payload, or an exception to raise
    from get itself); records path and params (items in order)."""

    def __init__(self, replies=None, default=None):
        self.replies = replies or {}
        self.default = {"data": []} if default is None else default
        self.sent = []

    def get(self, path, params=None):
        self.sent.append((path, list(params.items())))
        reply = self.replies.get(params["symbol"], self.default)
        if isinstance(reply, HttpError):
            raise reply
        return Response(reply)


@pytest.fixture
def log(monkeypatch):
    """Progress hooks and frame helpers of both modules replaced by recorders."""
    events = []

    def to_dataframe(rows):
        events.append(("frame", rows))
        return "frame"

    def resample(frame, *, interval):
        events.append(("resample", frame, interval))
        return "resampled"

    for module in MODULES:
        monkeypatch.setattr(module, "start_progress", lambda *a: events.append(("start",) + a))
        monkeypatch.setattr(module, "update_progress", lambda *a: events.append(("update",) + a))
        monkeypatch.setattr(module, "finish_progress", lambda *a: events.append(("finish",) + a))
        monkeypatch.setattr(module, "_to_dataframe", to_dataframe)
        monkeypatch.setattr(module, "resample_ohlcv_multi", resample)
    return events


# name -> (fetcher, path, label, wording, default interval or None when not resampled)
FETCHERS = {
    "eod": (daily_bars.fetch_ohlcv, "/market-data/eod/ohlcv", "Batch EOD", "OHLCV", "1D"),
    "intraday": (tick_feed.fetch_ohlcv, "/market-data/intraday/ohlcv", "Batch intraday", "OHLCV",
                 "1m"),
    "orderbook": (tick_feed.fetch_orderbook, "/market-data/intraday/orderbook",
                  "Orderbook intraday", "orderbook", None),
}
each_fetcher = pytest.mark.parametrize("kind", list(FETCHERS))


def frames_only(events):
    return [e for e in events if e[0] in ("frame", "resample")]


# --- _normalize_symbols -------------------------------------------------------------


@pytest.fixture(params=MODULES, ids=lambda m: m.__name__.rsplit(".", 1)[1])
def module(request):
    return request.param


@pytest.mark.parametrize(
    "given, expected",
    [
        ("  abc ", ["ABC"]),
        ("brk.b", ["BRK.B"]),
        (["abc", "abc"], ["ABC"]),
        # Duplicates are found after normalising, and the caller's order is kept.
        (["abc", "ABC", " abc\t"], ["ABC"]),
        (["xyz", "abc"], ["XYZ", "ABC"]),
        (("msft", "", " aapl", "  ", "MSFT", "xyz"), ["MSFT", "AAPL", "XYZ"]),
    ],
)
def test_normalize_symbols(module, given, expected):
    result = module._normalize_symbols(given)
    assert result == expected and all(type(s) is str for s in result)
    assert module._normalize_symbols(symbols=given) == expected


def test_normalize_symbols_returns_a_new_list(module):
    symbols = ["ABC"]
    result = module._normalize_symbols(symbols)
    assert result == symbols and result is not symbols


@pytest.mark.parametrize(
    "given, exc, message",
    [
        ("   ", ValueError, "symbol must not be empty."),
        ([], ValueError, "symbol sequence must contain at least one non-empty string."),
        (("",), ValueError, "symbol sequence must contain at least one non-empty string."),
        ([" ", "\t\n"], ValueError, "symbol sequence must contain at least one non-empty string."),
        (b"abc", TypeError, "symbol must be a string or a sequence of strings."),
        ({"abc"}, TypeError, "symbol must be a string or a sequence of strings."),
        ({"abc": 1}, TypeError, "symbol must be a string or a sequence of strings."),
        (iter(["abc"]), TypeError, "symbol must be a string or a sequence of strings."),
        (None, TypeError, "symbol must be a string or a sequence of strings."),
        (5, TypeError, "symbol must be a string or a sequence of strings."),
        (["abc", 1], TypeError, "All symbols in the sequence must be strings."),
        (bytearray(b"ab"), TypeError, "All symbols in the sequence must be strings."),
        # Unhashable elements get the documented message, not a hashing error.
        (["abc", ["x"]], TypeError, "All symbols in the sequence must be strings."),
        ([" ", None], TypeError, "All symbols in the sequence must be strings."),
    ],
)
def test_normalize_symbols_rejects(module, given, exc, message):
    with pytest.raises(exc) as info:
        module._normalize_symbols(given)
    assert type(info.value) is exc and info.value.args == (message,)


def test_helpers_metadata(module):
    normalize, render = module._normalize_symbols, module._render_progress
    assert normalize.__doc__ == "Return a normalised, non-empty list of uppercase symbols."
    assert render.__doc__ == "Render a progress bar"
    assert str(inspect.signature(normalize)) == "(symbols: 'Union[str, Sequence[str]]') -> 'List[str]'"
    assert list(inspect.signature(render).parameters) == ["current", "total", "symbol"]
    assert normalize.__module__ == render.__module__ == module.__name__


# --- _render_progress ---------------------------------------------------------------


class Stdout:
    def __init__(self, fail=False):
        self.calls = []
        self.fail = fail

    def write(self, text):
        if self.fail:
            raise OSError("closed")
        self.calls.append(text)

    def flush(self):
        self.calls.append("<flush>")


@pytest.mark.parametrize(
    "current, total, symbol, written",
    [
        (0, 5, "X", ["\r[" + " " * 49 + "]   0%  0 of 5 completed | X", "<flush>"]),
        (1, 3, "AAA", ["\r[" + "*" * 16 + " " * 33 + "]  33%  1 of 3 completed | AAA", "<flush>"]),
        (3, 3, "AAA", ["\r[" + "*" * 49 + "] 100%  3 of 3 completed | AAA", "<flush>", "\n",
                       "<flush>"]),
        (2, 1, "X", ["\r[" + "*" * 98 + "] 200%  2 of 1 completed | X", "<flush>"]),
        (-1, 2, "X", ["\r[" + " " * 73 + "] -50%  -1 of 2 completed | X", "<flush>"]),
        # 0.29 * 100.0 is just below 29 in double precision.
        (29, 100, "X", ["\r[" + "*" * 14 + " " * 35 + "]  28%  29 of 100 completed | X",
                        "<flush>"]),
        (0, 0, "X", []),
        (1, -3, "X", []),
    ],
)
def test_render_progress_output(module, monkeypatch, current, total, symbol, written):
    out = Stdout()
    monkeypatch.setattr(sys, "stdout", out)
    assert module._render_progress(current, total, symbol) is None
    assert out.calls == written


def test_render_progress_captured_output(module, capsys):
    module._render_progress(current=2, total=2, symbol="Z")
    assert capsys.readouterr().out == "\r[" + "*" * 49 + "] 100%  2 of 2 completed | Z\n"


def test_render_progress_write_error_stops_output(module, monkeypatch):
    out = Stdout(fail=True)
    monkeypatch.setattr(sys, "stdout", out)
    with pytest.raises(OSError, match="closed"):
        module._render_progress(1, 1, "X")
    assert out.calls == []  # neither flush nor newline attempted


@pytest.mark.parametrize(
    "args, name, got",
    [
        ((True, 3, "X"), "current", "bool"),
        ((None, 3, "X"), "current", "NoneType"),
        ((1, 3.0, "X"), "total", "float"),
        ((1, 3, None), "symbol", "NoneType"),
        ((1, 3, type("S", (str,), {})("X")), "symbol", "S"),
    ],
)
def test_render_progress_refuses_types(module, args, name, got):
    with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type .* got {got}\)"):
        module._render_progress(*args)


# --- the fetchers: what is sent ---------------------------------------------------------


@each_fetcher
def test_single_symbol_round_trip(log, kind):
    fetch, path, label, _, interval = FETCHERS[kind]
    session = FakeSession({"ABC": {"data": [{"time": 1, "close": 2.5}], "extra": "ignored"}})
    result = fetch(session, " abc ")
    assert [p for p, _ in session.sent] == [path]
    rows = [{"symbol": "ABC", "time": 1, "close": 2.5}]
    expected = [("start", 1, label), ("update", 1), ("finish",), ("frame", rows)]
    if interval is None:
        assert result == "frame"
    else:
        expected.append(("resample", "frame", interval))
        assert result == "resampled"
    assert log == expected
    assert list(log[3][1][0]) == ["symbol", "time", "close"]


@pytest.mark.parametrize(
    "kind, kwargs, params, resampled_to",
    [
        ("eod", {}, [("interval", "1D")], "1D"),
        ("eod", {"start": "2024-01-02", "end": ""}, [("interval", "1D"), ("start", "2024-01-02")],
         "1D"),
        ("eod", {"start": "", "end": "2024-02-01", "interval": "1W"},
         [("interval", "1W"), ("end", "2024-02-01")], "1W"),
        ("eod", {"start": "a", "end": "b"}, [("interval", "1D"), ("start", "a"), ("end", "b")],
         "1D"),
        ("intraday", {"interval": "5m"}, [("interval", "1m")], "5m"),
        ("intraday", {"start": "2024-01-02", "adjusted": True},
         [("interval", "1m"), ("start", "2024-01-02"), ("adjusted", "true")], "1m"),
        ("intraday", {"adjusted": False}, [("interval", "1m"), ("adjusted", "false")], "1m"),
        ("intraday", {"adjusted": 0}, [("interval", "1m"), ("adjusted", "false")], "1m"),
        ("intraday", {"adjusted": [1]}, [("interval", "1m"), ("adjusted", "true")], "1m"),
        ("intraday", {"adjusted": None, "end": "e"}, [("interval", "1m"), ("end", "e")], "1m"),
        ("orderbook", {"target_date": "2024-05-03"}, [("target_date", "2024-05-03")], None),
        ("orderbook", {"target_date": ""}, [], None),
        ("orderbook", {}, [], None),
    ],
)
def test_query_parameters(log, kind, kwargs, params, resampled_to):
    fetch = FETCHERS[kind][0]
    session = FakeSession(default={"data": [{"time": 1}]})
    fetch(session, ["abc"], **kwargs)
    assert session.sent[0][1] == [("symbol", "ABC")] + params
    resamples = [e[2] for e in log if e[0] == "resample"]
    assert resamples == ([resampled_to] if resampled_to else [])


def test_positional_arguments():
    session = FakeSession()
    daily_bars.fetch_ohlcv(session, "a", "s", "e", "1W")
    tick_feed.fetch_ohlcv(session, "b", "s", "e", "5m", True)
    tick_feed.fetch_orderbook(session, "c", "d")
    assert [params for _, params in session.sent] == [
        [("symbol", "A"), ("interval", "1W"), ("start", "s"), ("end", "e")],
        [("symbol", "B"), ("interval", "1m"), ("start", "s"), ("end", "e"), ("adjusted", "true")],
        [("symbol", "C"), ("target_date", "d")],
    ]
    with pytest.raises(TypeError, match="takes from 2 to 5 positional arguments but 6 were given"):
        daily_bars.fetch_ohlcv(session, "a", None, None, "1D", False)
    with pytest.raises(TypeError, match="takes from 2 to 3 positional arguments but 4 were given"):
        tick_feed.fetch_orderbook(session, "a", None, False)


@each_fetcher
@pytest.mark.parametrize("show_progress", [False, 0, None, ""])
def test_progress_without_updates(log, kind, show_progress):
    fetch, _, label, _, _ = FETCHERS[kind]
    fetch(FakeSession(), ["a", "b"], show_progress=show_progress)
    assert log == [("start", 2, label), ("finish",)]


@each_fetcher
def test_batch_order_and_rows(log, kind):
    fetch, _, label, _, _ = FETCHERS[kind]
    session = FakeSession({
        "XYZ": {"data": [{"t": 1}, {"t": 2}]},
        "ABC": {"data": [{"t": 3}, {"t": 4, "symbol": "OWN"}]},
        "EMPTY": {"data": []},
    })
    fetch(session, ["xyz", "empty", " abc", "XYZ", "Abc"], show_progress="yes")
    assert [dict(p)["symbol"] for _, p in session.sent] == ["XYZ", "EMPTY", "ABC"]
    assert log[:4] == [("start", 3, label), ("update", 1), ("update", 2), ("update", 3)]
    rows = frames_only(log)[0][1]
    assert rows == [
        {"symbol": "XYZ", "t": 1},
        {"symbol": "XYZ", "t": 2},
        {"symbol": "ABC", "t": 3},
        {"symbol": "OWN", "t": 4},  # the row's own symbol wins, in first position
    ]
    assert list(rows[3]) == ["symbol", "t"]


@each_fetcher
def test_no_rows_gives_empty_frame(log, kind):
    fetch, _, label, _, _ = FETCHERS[kind]
    result = fetch(FakeSession(), ["a", "b"])
    assert type(result) is pd.DataFrame and result.empty and list(result.columns) == []
    assert log == [("start", 2, label), ("update", 1), ("update", 2), ("finish",)]


@each_fetcher
@pytest.mark.parametrize("error", [0, False, "", None, [], {}])
def test_falsy_error_member_is_success(log, kind, error):
    fetch = FETCHERS[kind][0]
    fetch(FakeSession(default={"error": error, "data": [{"t": 1}]}), "a")
    assert frames_only(log)[0] == ("frame", [{"symbol": "A", "t": 1}])


# --- the fetchers: failures -------------------------------------------------------------


@each_fetcher
@pytest.mark.parametrize(
    "payload, message",
    [
        ([{"t": 1}], "Unexpected payload structure for {} response."),
        ("text", "Unexpected payload structure for {} response."),
        ({"error": "bad symbol", "data": []}, "Backend returned error for XYZ: bad symbol"),
        ({"error": {"code": 7}}, "Backend returned error for XYZ: {{'code': 7}}"),
        ({"error": True}, "Backend returned error for XYZ: True"),
        ({}, "Unexpected payload format for {} series."),
        ({"data": None}, "Unexpected payload format for {} series."),
        ({"data": {"t": 1}}, "Unexpected payload format for {} series."),
        ({"data": [{"t": 1}, [1, 2]]}, "Each {} row must be a dictionary."),
        ({"data": [3]}, "Each {} row must be a dictionary."),
    ],
)
def test_decoding_errors(log, kind, payload, message):
    fetch, _, label, wording, _ = FETCHERS[kind]
    session = FakeSession({"XYZ": payload}, default={"data": [{"t": 0}]})
    with pytest.raises(DataDecodingError) as info:
        fetch(session, ["abc", "xyz", "def"])
    assert info.value.args == (message.format(wording),)
    assert info.value.__cause__ is None
    assert len(session.sent) == 2  # nothing after the failing symbol
    assert log == [("start", 3, label), ("update", 1)]  # no finish, no frame


class BadJson(ValueError):
    pass


@each_fetcher
@pytest.mark.parametrize("error", [ValueError("Expecting value"), BadJson("x")])
def test_json_failure_is_chained(log, kind, error):
    fetch, _, _, wording, _ = FETCHERS[kind]
    with pytest.raises(DataDecodingError) as info:
        fetch(FakeSession(default=error), "abc")
    assert info.value.args == (f"Unable to decode {wording} response as JSON",)
    assert info.value.__cause__ is error and info.value.__suppress_context__
    assert ("finish",) not in log


@each_fetcher
def test_other_errors_propagate_unchanged(log, kind):
    fetch, _, label, _, _ = FETCHERS[kind]
    with pytest.raises(KeyError):
        fetch(FakeSession(default=KeyError("json")), "abc")
    failure = HttpError("Tavrix backend returned HTTP 500 for x", status_code=500)
    session = FakeSession({"B": failure}, default={"data": [{"t": 1}]})
    log.clear()
    with pytest.raises(HttpError) as info:
        fetch(session, ["a", "b", "c"])
    assert info.value is failure
    assert log == [("start", 3, label), ("update", 1)]


@pytest.mark.parametrize(
    "call, name, got",
    [
        (lambda s: daily_bars.fetch_ohlcv(s, "a", start=20240101), "start", "int"),
        (lambda s: daily_bars.fetch_ohlcv(s, "a", end=b"x"), "end", "bytes"),
        (lambda s: tick_feed.fetch_ohlcv(s, "a", start=type("S", (str,), {})("x")), "start", "S"),
        (lambda s: tick_feed.fetch_ohlcv(s, "a", end=1.5), "end", "float"),
        (lambda s: tick_feed.fetch_orderbook(s, "a", date(2024, 5, 3)), "target_date",
         "datetime.date"),
    ],
)
def test_argument_types_checked_first(log, call, name, got):
    session = FakeSession()
    with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected str, got {got}\)"):
        call(session)
    assert session.sent == [] and log == []


@each_fetcher
def test_symbol_errors_come_before_progress(log, kind):
    session = FakeSession()
    with pytest.raises(ValueError, match="symbol must not be empty."):
        FETCHERS[kind][0](session, " ")
    assert session.sent == [] and log == []


# --- module surface ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "module, interval_name, constants, functions",
    [
        (daily_bars, "Interval", {"ENDPOINT": "/market-data/eod/ohlcv"}, ["fetch_ohlcv"]),
        (tick_feed, "IntervalIntraday",
         {"ENDPOINT": "/market-data/intraday/ohlcv",
          "ORDERBOOK_ENDPOINT": "/market-data/intraday/orderbook"},
         ["fetch_ohlcv", "fetch_orderbook"]),
    ],
)
def test_module_contents_in_order(module, interval_name, constants, functions):
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [
        "sys", "Any", "Dict", "List", "Optional", "Sequence", "Union", "DataDecodingError",
        "HttpSession", interval_name, "_to_dataframe", "resample_ohlcv_multi", "start_progress",
        "update_progress", "finish_progress", "pd", *constants, "_normalize_symbols",
        "_render_progress", *functions,
    ]
    assert module.sys is sys and module.DataDecodingError is DataDecodingError
    assert {k: getattr(module, k) for k in constants} == constants


@pytest.mark.parametrize(
    "fetch, signature, doc",
    [
        (daily_bars.fetch_ohlcv,
         "(session: 'HttpSession', symbol: 'Union[str, Sequence[str]]', "
         "start: 'Optional[str]' = None, end: 'Optional[str]' = None, "
         "interval: 'Interval' = '1D', *, show_progress: 'bool' = True) -> 'pd.DataFrame'",
         "Fetch raw OHLCV data for one or multiple symbols."),
        (tick_feed.fetch_ohlcv,
         "(session: 'HttpSession', symbol: 'Union[str, Sequence[str]]', "
         "start: 'Optional[str]' = None, end: 'Optional[str]' = None, "
         "interval: 'IntervalIntraday' = '1m', adjusted: 'Optional[bool]' = None, *, "
         "show_progress: 'bool' = True) -> 'pd.DataFrame'",
         "Fetch raw OHLCV data for one or multiple symbols."),
        (tick_feed.fetch_orderbook,
         "(session: 'HttpSession', symbol: 'Union[str, Sequence[str]]', "
         "target_date: 'Optional[str]' = None, *, show_progress: 'bool' = True) "
         "-> 'pd.DataFrame'",
         "Fetch raw orderbook (tape) data for one or multiple symbols."),
    ],
)
def test_fetcher_metadata(fetch, signature, doc):
    assert str(inspect.signature(fetch)) == signature and fetch.__doc__ == doc
    assert all(type(a) is str for a in fetch.__annotations__.values())


@each_fetcher
def test_module_names_read_at_each_call(log, kind, monkeypatch):
    fetch, path, _, _, _ = FETCHERS[kind]
    module = sys.modules[fetch.__module__]
    constant = "ORDERBOOK_ENDPOINT" if kind == "orderbook" else "ENDPOINT"

    class Replaced(Exception):
        pass

    class FakePd:
        DataFrame = staticmethod(lambda: "empty")

    monkeypatch.setattr(module, constant, "/elsewhere")
    monkeypatch.setattr(module, "_normalize_symbols", lambda s: ["ONE", "TWO"])
    monkeypatch.setattr(module, "pd", FakePd)
    session = FakeSession()
    assert fetch(session, "ignored") == "empty"
    assert [(p, dict(q)["symbol"]) for p, q in session.sent] == [("/elsewhere", "ONE"),
                                                                 ("/elsewhere", "TWO")]
    monkeypatch.setattr(module, "DataDecodingError", Replaced)
    with pytest.raises(Replaced, match="Unexpected payload structure"):
        fetch(FakeSession(default=[]), "a")


# --- end to end: a real session against a local server, the real helpers ----------------


def test_through_a_real_session(httpserver_ipv4):
    from private_core.transport_base import HttpSession

    server = httpserver_ipv4
    bars = [{"time": f"2024-01-0{d}", "open": d, "high": d + 1, "low": d - 1, "close": d,
             "volume": 10} for d in (1, 2, 3)]
    path = "/api/v1/tavrix/market-data/eod/ohlcv"
    server.expect_request(path, query_string="symbol=AAA&interval=1D&start=2024-01-01").respond_with_json(
        {"data": bars})
    server.expect_request(path, query_string="symbol=BBB&interval=1D&start=2024-01-01").respond_with_data(
        "<html>not json</html>")
    server.expect_request("/api/v1/tavrix/market-data/intraday/orderbook").respond_with_json(
        {"error": "no tape"}, status=404)
    with HttpSession("key", base_url=server.url_for("/api/v1/tavrix")) as session:
        frame = daily_bars.fetch_ohlcv(session, "aaa", start="2024-01-01", show_progress=False)
        assert list(frame.columns) == ["symbol", "time", "open", "high", "low", "close", "volume"]
        assert list(frame["symbol"]) == ["AAA"] * 3 and list(frame["close"]) == [1, 2, 3]

        with pytest.raises(DataDecodingError) as info:
            daily_bars.fetch_ohlcv(session, ["aaa", "bbb"], start="2024-01-01")
        assert str(info.value) == "Unable to decode OHLCV response as JSON"
        assert isinstance(info.value.__cause__, ValueError)

        with pytest.raises(HttpError) as failed:
            tick_feed.fetch_orderbook(session, "aaa")
        assert failed.value.status_code == 404 and failed.value.payload == {"error": "no tape"}
