"""Property-based tests of the price-series entry points (daily_bars, tick_feed):
symbol normalisation, the progress bar, and the fetchers' handling of whatever a
session answers. Each is compared with a plain-Python model of its documented
behaviour, on JSON-like values, subclasses and hostile objects alike."""
import contextlib
import io
import itertools
import json
import sys
from collections.abc import Sequence
from unittest import mock

import pytest
from hypothesis import example, given
from hypothesis import strategies as st
from tavrix.exceptions import DataDecodingError, HttpError

from fuzz_inputs import (Boom, DictGetLies, DictGetRaises, ListIterRaises, StrStripLies,
                         StrStripRaises, anything, containers, hostile_scalars, json_values,
                         leaves, padded_text, scaled, short_text, subclassed_scalars)
from private_core import daily_bars, tick_feed

NOT_A_SEQUENCE = "symbol must be a string or a sequence of strings."
NOT_STRINGS = "All symbols in the sequence must be strings."
NO_SYMBOL = "symbol sequence must contain at least one non-empty string."
EMPTY = "symbol must not be empty."


def outcome(fn, *args, **kwargs):
    """("ok", result) or ("raised", exception); never lets a SystemError by."""
    try:
        return "ok", fn(*args, **kwargs)
    except SystemError:  # a C-level contract broken: never acceptable
        raise
    except Exception as exc:  # noqa: BLE001 - compared by the caller
        return "raised", exc


def same_outcome(got, want):
    """Equal results, or exceptions of the same type (and message, for our own)."""
    assert got[0] == want[0], (got, want)
    if got[0] == "raised":
        assert type(got[1]) is type(want[1]), (got, want)
        if type(got[1]) in (ValueError, TypeError, DataDecodingError) and want[1].args:
            if want[1].args[0] in (NOT_A_SEQUENCE, NOT_STRINGS, NO_SYMBOL, EMPTY) or isinstance(
                    want[1], DataDecodingError):
                assert got[1].args == want[1].args
    else:
        assert got[1] == want[1]


# --- _normalize_symbols -------------------------------------------------------------------


def model_normalize(symbols):
    """Trimmed, upper-cased text of each symbol, blanks skipped, duplicates (after
    normalising) dropped in first-seen order. A str subclass counts by its text."""
    if isinstance(symbols, str):
        cleaned = str.__str__(symbols).strip()
        if not cleaned:
            raise ValueError(EMPTY)
        return [cleaned.upper()]
    if isinstance(symbols, bytes) or not isinstance(symbols, Sequence):
        raise TypeError(NOT_A_SEQUENCE)
    items = list(symbols)
    if not all(isinstance(item, str) for item in items):
        raise TypeError(NOT_STRINGS)
    result = []
    for item in items:
        symbol = str.__str__(item).strip().upper()
        if symbol and symbol not in result:
            result.append(symbol)
    if not result:
        raise ValueError(NO_SYMBOL)
    return result


symbol_text = st.one_of(padded_text, short_text, st.sampled_from(["abc", " ABC", "Abc\t", "ß", "ǆ"]))
symbol_items = st.one_of(symbol_text, symbol_text.map(StrStripRaises), symbol_text.map(StrStripLies),
                         leaves)
symbol_args = st.one_of(
    symbol_text, symbol_text.map(StrStripRaises), symbol_text.map(StrStripLies),
    containers(symbol_items), st.lists(symbol_text, max_size=6), anything,
)


@pytest.mark.parametrize("module", [daily_bars, tick_feed], ids=["daily_bars", "tick_feed"])
@given(symbols=symbol_args)
# Regression: a str subclass's own strip() was trusted, so a strip() that
# returned a non-text object reached upper() and the de-duplicating set.
@example(symbols=StrStripLies(" abc "))
@example(symbols=[StrStripLies(" abc "), "x"])
@example(symbols=[StrStripRaises(" abc ")])
@example(symbols=ListIterRaises(["abc", "def"]))
def test_normalize_symbols_matches_model(module, symbols):
    got = outcome(module._normalize_symbols, symbols)
    same_outcome(got, outcome(model_normalize, symbols))
    if got[0] == "ok":
        result = got[1]
        assert type(result) is list and result
        assert all(type(s) is str and s and s == s.strip() and s == s.upper() for s in result)
        assert len(set(result)) == len(result)


# --- _render_progress -----------------------------------------------------------------------


def model_render(current, total, symbol):
    """Writes what the documented algorithm writes, in one piece."""
    sys.stdout.write(model_render_text(current, total, symbol))


def model_render_text(current, total, symbol):
    for name, value, kind in (("current", current, int), ("total", total, int),
                              ("symbol", symbol, str)):
        if type(value) is not kind:
            raise TypeError(name)
    if total <= 0:
        return ""
    progress = current / total
    filled = int(49 * progress)
    bar = "*" * filled + " " * (49 - filled)
    text = f"\r[{bar}] {int(progress * 100.0):3d}%  {current} of {total} completed | {symbol}"
    return text + ("\n" if current == total else "")


def render(fn, current, total, symbol):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        fn(current, total, symbol)
    return out.getvalue()


# The bar's length grows with current/total, so the pair is kept within a bar of a few
# thousand cells; huge values come in pairs of like size.
small = st.integers(-3000, 3000)
huge = st.integers(-(2**80), 2**80).filter(lambda n: n != 0)
progress_pairs = st.one_of(
    st.tuples(small, st.integers(-5, 3000)),
    huge.flatmap(lambda total: st.tuples(st.integers(-abs(total), abs(total)), st.just(total))),
)
wrong_number = st.one_of(st.booleans(), st.integers().map(lambda n: type("I", (int,), {})(n)),
                         st.none(), st.floats(), short_text)


@pytest.mark.parametrize("module", [daily_bars, tick_feed], ids=["daily_bars", "tick_feed"])
@given(pair=progress_pairs, symbol=st.one_of(short_text, subclassed_scalars, hostile_scalars),
       wrong=st.one_of(st.none(), st.tuples(st.sampled_from([0, 1]), wrong_number)))
def test_render_progress_matches_model(module, pair, symbol, wrong):
    args = list(pair) + [symbol]
    if wrong is not None:
        args[wrong[0]] = wrong[1]
    got = outcome(render, module._render_progress, *args)
    want = outcome(render, model_render, *args)
    assert got[0] == want[0], (got, want)
    if got[0] == "raised":
        assert type(got[1]) is type(want[1]), (got, want)
        assert want[1].args[0] in str(got[1])  # the refused argument is named
    else:
        assert got[1] == want[1]


# --- the fetchers' handling of what the session answers ------------------------------------

FETCHERS = {
    "eod": (daily_bars, daily_bars.fetch_ohlcv, "/market-data/eod/ohlcv", "Batch EOD", "OHLCV", True),
    "intraday": (tick_feed, tick_feed.fetch_ohlcv, "/market-data/intraday/ohlcv", "Batch intraday",
                 "OHLCV", True),
    "orderbook": (tick_feed, tick_feed.fetch_orderbook, "/market-data/intraday/orderbook",
                  "Orderbook intraday", "orderbook", False),
}


class Answer:
    """What one get() does: return a response whose json() gives `payload` or raises
    `json_error`, or raise `get_error` itself."""

    def __init__(self, payload=None, json_error=None, get_error=None):
        self.payload, self.json_error, self.get_error = payload, json_error, get_error

    def __repr__(self):
        return f"Answer({self.payload!r}, {self.json_error!r}, {self.get_error!r})"


class Response:
    def __init__(self, answer):
        self.answer = answer

    def json(self):
        if self.answer.json_error is not None:
            raise self.answer.json_error
        return self.answer.payload


class Session:
    """get() answers from `answers` in turn (cycling) and records each call."""

    def __init__(self, answers, events):
        self.answers, self.events = itertools.cycle(answers), events

    def get(self, path, params=None):
        self.events.append(("get", path, list(params.items())))
        answer = next(self.answers)
        if answer.get_error is not None:
            raise answer.get_error
        return Response(answer)


def model_fetch(kind, session, symbol, show_progress, events):
    """The documented batch loop, with the module's hooks replaced by recorders."""
    _, _, path, label, wording, resamples = FETCHERS[kind]
    symbols = model_normalize(symbol)
    rows = []
    events.append(("start", len(symbols), label))
    for index, current in enumerate(symbols, 1):
        params = {"symbol": current, "interval": "1D"} if kind == "eod" else (
            {"symbol": current, "interval": "1m"} if kind == "intraday" else {"symbol": current})
        response = session.get(path, params=params)
        try:
            payload = response.json()
        except ValueError as exc:
            raise DataDecodingError(f"Unable to decode {wording} response as JSON") from exc
        if not isinstance(payload, dict):
            raise DataDecodingError(f"Unexpected payload structure for {wording} response.")
        if payload.get("error"):
            raise DataDecodingError(f"Backend returned error for {current}: {payload['error']}")
        data = payload.get("data")
        if not isinstance(data, list):
            raise DataDecodingError(f"Unexpected payload format for {wording} series.")
        for item in data:
            if not isinstance(item, dict):
                raise DataDecodingError(f"Each {wording} row must be a dictionary.")
            row = {"symbol": current}
            row.update(item)
            rows.append(row)
        if show_progress:
            events.append(("update", index))
    events.append(("finish",))
    if not rows:
        return "empty"
    events.append(("frame", rows))
    if resamples:
        events.append(("resample",))
        return "resampled"
    return "frame"


@contextlib.contextmanager
def recorders(module, events):
    def frame(rows):
        events.append(("frame", rows))
        return "frame"

    def resample(df, *, interval):
        events.append(("resample",))
        return "resampled"

    with mock.patch.multiple(
        module,
        start_progress=lambda total, label: events.append(("start", total, label)),
        update_progress=lambda done: events.append(("update", done)),
        finish_progress=lambda: events.append(("finish",)),
        _to_dataframe=frame, resample_ohlcv_multi=resample,
        pd=mock.Mock(DataFrame=lambda: "empty"),
    ):
        yield


def same_value(a, b):
    return a is b or (type(a) is str and type(b) is str and a == b)


def same_events(got, want):
    assert len(got) == len(want), (got, want)
    for g, w in zip(got, want):
        if g[0] == "frame":
            assert w[0] == "frame" and len(g[1]) == len(w[1])
            for row, model_row in zip(g[1], w[1]):
                assert type(row) is dict
                assert len(row) == len(model_row)
                assert all(same_value(k, mk) and same_value(v, mv)
                           for (k, v), (mk, mv) in zip(row.items(), model_row.items()))
                assert next(iter(row)) == "symbol"
        else:
            assert g == w


def as_json(value):
    """The value after a trip through the JSON codec, as a real response decodes it."""
    try:
        return json.loads(json.dumps(value))
    except (TypeError, ValueError):
        return value


row = st.dictionaries(st.sampled_from(["symbol", "time", "open", "close", "volume", "x"]),
                      json_values, max_size=4)
good_payload = st.fixed_dictionaries(
    {"data": st.lists(row, max_size=3)},
    optional={"error": st.sampled_from([None, 0, False, "", [], "not found", 1])})
payloads = st.one_of(
    good_payload, good_payload.map(as_json), good_payload.map(DictGetLies),
    good_payload.map(DictGetRaises),
    st.fixed_dictionaries({"data": containers(st.one_of(row, anything))}),
    st.fixed_dictionaries({"error": anything}), json_values, anything,
)
answers = st.one_of(
    st.builds(Answer, payload=payloads),
    st.builds(Answer, json_error=st.sampled_from([ValueError("bad"), json.JSONDecodeError("x", "", 0),
                                                  Boom(), KeyError("k")])),
    st.builds(Answer, get_error=st.sampled_from([HttpError("down"), HttpError("gone", status_code=404),
                                                 Boom()])),
)


@pytest.mark.parametrize("kind", list(FETCHERS))
@scaled(0.5)
@given(symbol=st.one_of(st.lists(symbol_text, min_size=1, max_size=3), symbol_text, symbol_args),
       replies=st.lists(answers, min_size=1, max_size=3), show_progress=st.booleans())
# A list row inside an otherwise valid reply, after a valid first symbol.
@example(symbol=["a", "b"], replies=[Answer({"data": [{"v": 1}]}), Answer({"data": [[1]]})],
         show_progress=True)
def test_fetchers_match_model(kind, symbol, replies, show_progress):
    module, fetch, *_ = FETCHERS[kind]
    got_events, want_events = [], []
    with recorders(module, got_events):
        got = outcome(fetch, Session(replies, got_events), symbol, show_progress=show_progress)
    want = outcome(model_fetch, kind, Session(replies, want_events), symbol, show_progress,
                   want_events)
    same_outcome(got, want)
    if got[0] == "raised" and isinstance(want[1], DataDecodingError):
        assert type(got[1].__cause__) is type(want[1].__cause__)
    # The requests and params sent, the progress calls and the rows handed on.
    same_events(got_events, want_events)
