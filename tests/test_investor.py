"""Investor-flow contract and engine: dispatch, request building, decoding, resampling.
The request builders' properties are in test_fuzz_investor.py."""
import re
import subprocess
import sys
import typing
import warnings
from datetime import date

import numpy as np
import pandas as pd
import pytest
from tavrix.exceptions import DataDecodingError, HttpError

from private_core_models import investor_oracle as oracle
from fakes import DictSub, Session, StrSub, outcome, raise_, record_hooks
from private_core.investor import InvestorFlowContract as contract
from private_core.investor import flow_engine as fe
from private_core.investor.flow_engine import InvestorFlowEngine


@pytest.fixture
def progress(monkeypatch):
    return record_hooks(monkeypatch, fe, frames=False)


def engine(*answers):
    return InvestorFlowEngine(Session(*answers))


# --- the contract, the module and the class ----------------------------------------
def test_contract_types_and_protocol():
    assert typing.get_args(contract.InvestorGroup) == (
        "foreign", "proprietary", "local_institutional", "local_individual",
        "foreign_institutional", "foreign_individual", "all")
    assert typing.get_args(contract.Interval) == ("1D", "1W", "1M")
    assert contract.SymbolArg == typing.Union[str, typing.Sequence[str]]
    proto = contract.InvestorFlowContract
    assert typing.Protocol in proto.__bases__ and proto._is_runtime_protocol
    assert proto.__annotations__ == {"session": "HttpSession"}
    assert [p for p in ("session", '"stock"', '"foreign_room"', "``ids``", "YYYY-MM-DD", "DataFrame")
            if p not in proto.__doc__] == []
    Other = type("Other", (), {"session": None, "fetch_df": lambda self, namespace, op, params: None})
    assert isinstance(Other(), proto) and not isinstance(object(), proto)
    eng = InvestorFlowEngine(None)
    assert isinstance(eng, proto)
    del eng.session
    assert not isinstance(eng, proto)
    assert proto.fetch_df(Other(), "stock", "flow", {}) is None


def test_contract_does_not_load_the_transport():
    code = ("import sys; import private_core.investor.InvestorFlowContract as c; "
            "assert 'private_core.transport_base' not in sys.modules, sorted(sys.modules); "
            "print(sorted(k for k in vars(c) if not k.startswith('__')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == str(sorted([
        "TYPE_CHECKING", "Literal", "Protocol", "Sequence", "Union", "runtime_checkable", "pd",
        "InvestorGroup", "SymbolArg", "Interval", "InvestorFlowContract"]))


def test_engine_module_bindings_and_class_tables():
    from private_core import progress, transport_base

    assert [k for k in vars(fe) if not k.startswith("__")] == [
        "date", "datetime", "Any", "Iterable", "Mapping", "pd", "DataDecodingError", "HttpError",
        "HttpSession", "finish_progress", "start_progress", "update_progress",
        "Namespace", "Operation", "_strict_str", "InvestorFlowEngine"]
    assert fe.HttpSession is transport_base.HttpSession and fe.start_progress is progress.start_progress
    assert fe.Namespace is str and fe.Operation is str and fe.HttpError is HttpError
    cls, session = InvestorFlowEngine, object()
    assert cls.__bases__ == (object,) and "investor bridge" in cls.__doc__.lower()
    assert cls._NAMESPACE_OPS == {"stock": {"flow", "breakdown", "foreign_room"}, "market": {"flow", "breakdown"},
                                  "sector": {"flow", "breakdown", "foreign_room"}}
    assert cls._ID_FIELD == {"stock": "symbol", "market": "symbol", "sector": "icb"}
    assert cls.__annotations__["_NAMESPACE_OPS"] == typing.Mapping[str, set[str]]
    assert cls(session).session is session


@pytest.mark.parametrize("method, args, message", [  # "contract": the protocol's own fetch_df
    ("contract", (1, "flow", {}), "Argument 'namespace' has incorrect type (expected str, got int)"),
    ("contract", ("stock", StrSub("flow"), {}), "Argument 'op' has incorrect type (expected str, got StrSub)"),
    ("contract", ("stock", "flow", DictSub()), "Argument 'params' has incorrect type (expected dict, got DictSub)"),
    ("contract", ("stock", "flow", None), "Argument 'params' has incorrect type (expected dict, got NoneType)"),
    ("fetch_df", ("stock", "flow", []), "Argument 'params' has incorrect type (expected dict, got list)"),
    ("_prepare_payload", (DictSub(),), "Argument 'params' has incorrect type (expected dict, got DictSub)"),
    ("_request", (StrSub("/x"), {}), "Argument 'endpoint' has incorrect type (expected str, got StrSub)"),
    ("_request", ("/x", None), "Argument 'payload' has incorrect type (expected dict, got NoneType)"),
    ("_to_query_params", ([],), "Argument 'payload' has incorrect type (expected dict, got list)"),
    ("_ensure_mapping", ({}, "stock", 5), "Argument 'identifier' has incorrect type (expected str, got int)"),
    ("_to_dataframe", ((), "stock"), "Argument 'rows' has incorrect type (expected list, got tuple)"),
    ("_resample_frame", (pd.DataFrame(), "stock", None), "Argument 'interval' has incorrect type (expected str, got NoneType)"),
    ("_resample_frame", (pd.DataFrame(),), "InvestorFlowEngine._resample_frame() missing 2 required positional arguments: 'namespace' and 'interval'"),
    ("_normalise_records", (None, "stock", 1), "InvestorFlowEngine._normalise_records() takes 3 positional arguments but 4 were given"),
])
def test_argument_checks(method, args, message):
    eng = engine()
    call = getattr(eng, method, lambda *args: contract.InvestorFlowContract.fetch_df(object(), *args))
    with pytest.raises(TypeError) as info:
        call(*args)
    assert str(info.value) == message and eng.session.calls == []


# --- fetch_df -----------------------------------------------------------------------
@pytest.mark.parametrize("namespace, op, ids, sent, answer", [
    ("Stock", "FLOW", "AAA", ["AAA"], [{"symbol": "AAA", "date": "2024-01-02", "v": 1}]),  # dispatch ignores case
    ("sector", "flow", [" ", ""], [], None), ("sector", "flow", ["A"], ["A"], None),
    ("sector", "flow", "  A ", ["A"], None),
])
def test_fetch_df_one_request(progress, namespace, op, ids, sent, answer):
    eng, folded = engine(answer), namespace.lower()
    frame = eng.fetch_df(namespace, op, {"ids": ids})
    assert eng.session.calls == [("POST", f"/market-data/investor/{folded}/{op.lower()}", {"ids": sent}, {})]
    assert progress == []
    pd.testing.assert_frame_equal(frame, oracle.to_dataframe(oracle.normalise_records(answer, folded), folded))


def test_fetch_df_one_request_per_id(progress):
    eng = engine([{"date": "2024-01-03", "v": 1}], {"data": [{"date": "2024-01-02", "v": 2}]},
                 {"C": [{"date": "2024-01-01", "v": 3}]})
    params = {"ids": ("A", " B ", "C"), "group": "Foreign", "interval": None}
    frame = eng.fetch_df("stock", "breakdown", params)
    assert params == {"ids": ("A", " B ", "C"), "group": "Foreign", "interval": None}
    assert [c[2] for c in eng.session.calls] == [{"ids": [x], "group": "foreign"} for x in ("A", "B", "C")]
    assert progress == [("start", 3, "stock:breakdown"), ("update", 1), ("update", 2), ("update", 3), ("finish",)]
    # Rows of bare and enveloped answers are tagged with the id they were fetched for.
    assert frame[["symbol", "v"]].values.tolist() == [["A", 1], ["B", 2], ["C", 3]]
    # A row's own identifier is kept; an interval resamples each id's rows apart.
    eng = engine([{"date": "2024-01-01", "v": 1}, {"date": "2024-01-02", "v": 2, "symbol": "OWN"}],
                 [{"date": "2024-01-01", "v": 10}, {"date": "2024-01-03", "v": 20}])
    frame = eng.fetch_df("stock", "flow", {"ids": ["A", "B"], "interval": "1w"})
    assert frame[["symbol", "v"]].values.tolist() == [["A", 1], ["B", 30], ["OWN", 2]]


@pytest.mark.parametrize("namespace, op, message", [
    ("fund", "nope", "Unsupported investor namespace: 'fund'"),
    ("MARKET", "foreign_room",
     "Operation 'foreign_room' is not available for namespace 'market'. Allowed operations: ['breakdown', 'flow']."),
    ("sector", "x",
     "Operation 'x' is not available for namespace 'sector'. Allowed operations: ['breakdown', 'flow', 'foreign_room']."),
])
def test_fetch_df_rejects_unknown_dispatch(namespace, op, message):
    eng = engine()
    eng._prepare_payload = None  # never reached
    with pytest.raises(ValueError) as info:
        eng.fetch_df(namespace, op, {"ids": ["A"]})
    assert str(info.value) == message and eng.session.calls == []


def test_fetch_df_failure_mid_batch_finishes_progress(monkeypatch, progress):
    boom = HttpError("down", status_code=500)
    eng = engine([{"v": 1}], boom, [{"v": 3}])
    with pytest.raises(HttpError) as info:
        eng.fetch_df("market", "flow", {"ids": ["A", "B", "C"]})
    assert info.value is boom and len(eng.session.calls) == 2
    assert progress == [("start", 3, "market:flow"), ("update", 1), ("finish",)]
    # A hook that fails in turn replaces the error, chained to it.
    monkeypatch.setattr(fe, "finish_progress", lambda: raise_(RuntimeError("hook")))
    with pytest.raises(RuntimeError) as info:
        engine([{"v": 1}], KeyError("x")).fetch_df("stock", "flow", {"ids": ["A", "B"]})
    assert isinstance(info.value.__context__, KeyError)


@pytest.mark.parametrize("interval, expected",
                         [(None, None), ("1d", None), (" 1D ", None), ("1w", "1W"), ("1M", "1M"), (7, "7")])
def test_fetch_df_interval_rule(interval, expected):
    eng, seen = engine([{"date": "2024-01-01", "v": 1}]), []
    eng._resample_frame = lambda frame, namespace, interval: seen.append((namespace, interval)) or "resampled"
    result = eng.fetch_df("STOCK", "flow", {} if interval is None else {"interval": interval})
    assert seen == ([] if expected is None else [("stock", expected)])
    assert isinstance(result, str) == (expected is not None)


# --- one request ----------------------------------------------------------------------
@pytest.mark.parametrize("post, get", [
    (HttpError("no", status_code=404), {"data": []}), (HttpError("no", status_code=405), {"data": []}),
    (HttpError("no", status_code=405), HttpError("get failed", status_code=500)),
    # Any other error propagates as it is, with no second request.
    (HttpError("boom", status_code=500), None), (HttpError("transport"), None), (ValueError("not http"), None),
])
def test_request_falls_back_to_one_get(post, get):
    eng = engine(post, get)
    got = outcome(eng._request, "/p", {"ids": ["A", "B"], "group": "all"})
    sent = [("POST", "/p", {"ids": ["A", "B"], "group": "all"}, {}), ("GET", "/p", {"ids": "A,B", "group": "all"}, {})]
    if get is None:
        assert got == ("raised", post) and eng.session.calls == sent[:1]
    else:  # a failed GET carries the refused POST as its context
        assert got == ("ok", get) or (got[1] is get and get.__context__ is post)
        assert eng.session.calls == sent


# --- decoding -----------------------------------------------------------------------
ROW_A, ROW_B = {"date": "2024-01-02", "v": 1}, {"date": "2024-01-01", "v": 2}


@pytest.mark.parametrize("payload, namespace, expected", [  # the rows, or the decoding error's message
    (None, "stock", []), ([ROW_A], "stock", [ROW_A]), ({"data": None}, "stock", []), ({}, "stock", []),
    ({"data": [ROW_A], "results": [ROW_B]}, "stock", [ROW_A]), ({"data": {"records": [ROW_B]}}, "stock", [ROW_B]),
    ({"records": [ROW_B], "items": [ROW_A]}, "stock", [ROW_A]),
    ({"A": [ROW_A], "B": [ROW_B, {"symbol": "own"}]}, "market",
     [dict(ROW_A, symbol="A"), dict(ROW_B, symbol="B"), {"symbol": "own"}]),
    ({"8300": [ROW_A]}, "sector", [dict(ROW_A, icb="8300")]), ({"X": [ROW_A]}, "fund", [dict(ROW_A, id="X")]),
    *[(bad, "stock", oracle.UNEXPECTED) for bad in ("text", 5, True, (ROW_A,), {"A": [ROW_A], "n": 1})],
    ([ROW_A, 3], "stock", oracle.ENTRY_NOT_OBJECT), ({"data": [None]}, "stock", oracle.ENTRY_NOT_OBJECT),
])
def test_normalise_records(payload, namespace, expected):
    for decode in (engine()._normalise_records, oracle.normalise_records):
        _, rows = outcome(decode, payload, namespace)
        if isinstance(expected, str):
            assert type(rows) is DataDecodingError and rows.args == (expected,), rows
            continue
        assert rows == expected and [list(r) for r in rows] == [list(r) for r in expected]
        assert all(type(r) is dict and r is not ROW_A and r is not ROW_B for r in rows)  # copies
    assert (ROW_A, ROW_B) == ({"date": "2024-01-02", "v": 1}, {"date": "2024-01-01", "v": 2})


def test_normalise_records_honours_overridden_steps():
    class Tagging(InvestorFlowEngine):
        _ID_FIELD = {"stock": "ticker"}

        def _ensure_mapping(self, entry, namespace, identifier=None):
            return dict(super()._ensure_mapping(entry, namespace, identifier), seen=True)

    assert Tagging(None)._normalise_records({"A": [{"v": 1}]}, "stock") == [{"v": 1, "ticker": "A", "seen": True}]


# --- frames ---------------------------------------------------------------------------
def test_to_dataframe_conversions_and_sort():
    rows = [{"icb": "9000", "date": "2024-01-02", "timestamp": 1704153600, "trade_date": "bad"},
            {"icb": "8300", "date": "not a date", "timestamp": 1704067200, "trade_date": "2024-01-01"},
            {"icb": "8300", "date": "2024-01-01", "timestamp": None, "trade_date": None}]
    frame = engine()._to_dataframe(rows, "sector")
    assert frame["icb"].tolist() == ["8300", "8300", "9000"] and list(frame.index) == [0, 1, 2]
    assert frame["date"].tolist()[0] == pd.Timestamp("2024-01-01") and pd.isna(frame["date"][1])
    assert pd.isna(frame["timestamp"][0])
    assert frame["timestamp"].tolist()[1:] == [pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-02")]
    # The resolution pandas gives epoch seconds: nanoseconds on pandas 2, microseconds on 3.
    assert frame["timestamp"].dtype == pd.to_datetime(pd.Series([0.0]), unit="s").dtype


def _rows(symbols, dates):
    return [{"symbol": s, "date": d, "n": i} for i, (s, d) in enumerate(zip(symbols, dates))]


@pytest.mark.parametrize("rows, namespace", [
    (_rows(["A", "A", "B", "B"], ["2024-01-01", "2024-01-02", "2024-01-01", "bad"]), "stock"),
    (_rows(["A", "A", "B", "B"], ["2024-01-01", "bad", "2024-01-01", "2024-01-02"]), "stock"),
    (_rows(["A", "B", "B", "a"], ["2024-01-05", "2024-01-01", "2024-01-01", "2024-01-01"]), "stock"),
    (_rows(["B", "A", "A", "A"], ["2024-01-01", "2024-01-01", "2024-01-03", "2024-01-02"]), "stock"),
    (_rows(["A", "A", None, "B"], ["2024-01-01"] * 4), "stock"),
    ([{"icb": i // 2, "n": -i} for i in range(6)], "sector"),  # integer codes, already in order
    ([{"icb": c, "n": i} for i, c in enumerate([1.5, 0.5, None])], "sector"),  # codes of a float column
    ([{"symbol": s, "n": i} for s in "BA" for i in range(40)], "stock"),  # a stable sort
    ([{"x": 2}, {"x": 1}], "fund"), ([{"Date": "2024-01-02"}, {"Date": "2024-01-01"}], "fund"), ([], "stock"),
    ([{"timestamp": "2024-01-01 10:00"}], "stock"),  # timestamps as text
])
def test_to_dataframe_sorted_and_unsorted_answers(rows, namespace):
    pd.testing.assert_frame_equal(engine()._to_dataframe(rows, namespace), oracle.to_dataframe(rows, namespace))


# Value makers per column kind; each column of a random answer keeps one kind.
COLUMN_KINDS = {
    "int": [lambda r: int(r.integers(-9, 9))], "float": [lambda r: float(r.normal()), lambda r: float("nan")],
    "number": [lambda r: int(r.integers(0, 5)), lambda r: float(r.normal()), lambda r: None],
    "bool": [lambda r: bool(r.integers(0, 2))], "bool_none": [lambda r: bool(r.integers(0, 2)), lambda r: None],
    "bool_int": [lambda r: True, lambda r: 1], "text": [lambda r: "x" * int(r.integers(0, 3)), lambda r: None],
    "none": [lambda r: None], "mixed": [lambda r: "t", lambda r: 1, lambda r: 2.5, lambda r: False, lambda r: None],
    "big": [lambda r: 2 ** 64, lambda r: 1], "nested": [lambda r: [1, 2], lambda r: {"k": 1}],
}


def _random_rows(rng, n, kinds):
    makers = {"symbol": [lambda r: f"S{int(r.integers(0, 4))}"],
              "date": [lambda r: f"2024-01-{int(r.integers(1, 29)):02d}"],
              **{f"c{i}": COLUMN_KINDS[kind] for i, kind in enumerate(kinds)}}
    keys, missing, rows = list(makers), rng.choice([0.0, 0.0, 0.1]), []
    for _ in range(n):
        # Now and then in another order, the keys then numpy's str subclass.
        order = rng.permutation(keys) if rng.random() < 0.3 else keys
        present = [key for key in order if rng.random() >= missing]
        rows.append({key: makers[key][int(rng.integers(0, len(makers[key])))](rng) for key in present})
    return rows


@pytest.mark.parametrize("seed", range(60))
def test_to_dataframe_matches_reference(seed):
    rng = np.random.default_rng(seed)
    names = sorted(COLUMN_KINDS)
    plain = [n for n in names if n not in ("big", "nested")]
    kinds = list(rng.choice(names if seed % 4 == 0 else plain, size=int(rng.integers(1, 6))))
    rows = _random_rows(rng, int(rng.integers(1, 60)), kinds)
    if seed % 7 == 0:
        rows.append(DictSub(symbol="S9"))  # not a plain dict: pandas' own path
    pd.testing.assert_frame_equal(engine()._to_dataframe(rows, "stock"), oracle.to_dataframe(rows, "stock"))


# --- resampling -------------------------------------------------------------------
def _daily(symbols, days, start="2024-01-01", **extra):
    return pd.DataFrame([{"symbol": s, "date": pd.Timestamp(start) + pd.Timedelta(days=d), "v": d + 1, **extra}
                         for s in symbols for d in range(days)])


@pytest.mark.parametrize("frame", [
    pd.DataFrame(), pd.DataFrame({"trade_date": ["2024-01-01"], "v": [1]}),
    pd.DataFrame({"timestamp": [pd.Timestamp("2024-01-01")], "v": [1]}),
    pd.DataFrame({"date": ["2024-01-01"], "name": ["x"]}),
    pd.DataFrame({"date": [None, None], "v": [1, 2]}), pd.DataFrame({"date": ["nope", "never"], "v": [1, 2]}),
    *[pd.DataFrame({"date": ["2024-01-01"], "symbol": [symbol], "v": [1]}) for symbol in (" ", None)],
])
def test_resample_returns_input_when_nothing_to_do(frame):
    snapshot = frame.copy()
    assert engine()._resample_frame(frame, "stock", "1W") is frame
    pd.testing.assert_frame_equal(frame, snapshot)


def test_resample_without_identifier_is_one_series():
    frame = pd.DataFrame({"Date": ["2024-01-03", "2024-01-01", "2024-01-09"], "v": [1, 2, 3],
                          "note": [None, "a", "b"]})
    out = engine()._resample_frame(frame, "fund", "1W")
    assert list(out.columns) == ["Date", "v", "note"] and out["v"].tolist() == [3, 3]
    # The first note, missing: None on pandas 2, its text dtype's NaN on pandas 3.
    pd.testing.assert_series_equal(out["note"], pd.Series([frame["note"].iloc[0]] * 2, name="note"))


def _random_frame(rng, with_id=True):
    rows = []
    for e in range(int(rng.integers(1, 7))):
        start = pd.Timestamp("2024-01-01") + pd.Timedelta(days=int(rng.integers(0, 60)))
        symbol, first_note = rng.choice([f"S{e}", f" S{e} ", f"S{e}"]), rng.choice(["n", None, 1.5, 2])
        for d in range(int(rng.integers(1, 80))):
            if rng.random() < 0.35:
                continue  # gaps
            hours = int(rng.integers(0, 24)) if rng.random() < 0.1 else 0
            rows.append({
                "symbol": symbol if rng.random() > 0.03 else rng.choice([None, "  ", np.nan]),
                "date": start + pd.Timedelta(days=d, hours=hours), "buy": int(rng.integers(-50, 50)),
                "sell": float(rng.normal()) if rng.random() > 0.15 else np.nan,
                "group": rng.choice(["foreign", "local", None]), "note": first_note,
                "seen": pd.Timestamp("2020-01-01") + pd.Timedelta(days=e),
                # None for the first entity, a float for the others: concat's joined dtype
                "level": None if e == 0 else float(e)})
    frame = pd.DataFrame(rows).sample(frac=1.0, random_state=int(rng.integers(0, 10_000)))
    if not with_id:
        frame = frame.drop(columns=["symbol"])
    elif rng.random() < 0.4:  # a categorical identifier, missing values included
        frame["symbol"] = frame["symbol"].astype("category")
    level = frame["level"].astype(object)
    frame["level"] = level.where(level.notna(), None)  # None kept, as a JSON null gives it
    return frame.reset_index(drop=True)


RULES = ["1W", "1M", "2W", "3D", "1D", "W-WED", "2M", "12h", "QE", "B", "MS", "NOPE"]


@pytest.mark.parametrize("seed", range(25))
def test_resample_matches_per_entity_algorithm(seed):
    rng = np.random.default_rng(seed)
    frame = _random_frame(rng, with_id=seed % 5 != 4)
    # Every resolution pandas keeps, whichever it gives parsed dates.
    frame["date"] = frame["date"].dt.as_unit(("ns", "us", "ms", "s")[seed % 4])
    for rule in RULES:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            try:
                expected = oracle.resample_per_entity(frame, "stock", rule)
            except ValueError as exc:  # pandas' error for a rule it does not take ("2M" on pandas 3)
                with pytest.raises(ValueError, match=re.escape(str(exc))):
                    engine()._resample_frame(frame, "stock", rule)
                continue
            got = engine()._resample_frame(frame, "stock", rule)
        pd.testing.assert_frame_equal(got, expected, check_exact=True, obj=rule)


@pytest.mark.parametrize("extra", [{}, {"extra": pd.Categorical(["x"] * 140)}])  # the native bins; pandas'
def test_resample_1m_is_calendar_months_on_every_pandas(extra):
    frame = _daily(["B", "A"], 70).assign(**extra)  # 2024-01-01 to 2024-03-10
    out = engine()._resample_frame(frame, "stock", "1M")  # no FutureWarning for "M" (warnings are errors)
    month_ends = [pd.Timestamp(d) for d in ("2024-01-31", "2024-02-29", "2024-03-31")]
    assert out["date"].tolist() == month_ends * 2 and out["symbol"].tolist() == list("AAABBB")
    assert out["v"].tolist() == [sum(range(1, 32)), sum(range(32, 61)), sum(range(61, 71))] * 2
    if int(pd.__version__.split(".")[0]) < 3:  # the same frame as pandas 2's own "M"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            pd.testing.assert_frame_equal(out, oracle.resample_per_entity(frame, "stock", "M"))


# pandas 3.1 sums an entity's floats without NaN in numpy's order, with NaN in its
# compensated loops: 1e16 + 1 + 1 - 1e16 comes out 0.0 or 2.0.
_SUMS = [1e16, 1.0, 1.0, -1e16, 0.1, 0.2, 0.3] * 2


@pytest.mark.parametrize("frame", [pd.DataFrame({  # each kind of descriptive column, beside two entities
    "symbol": ["A", "B", "A", "B"], "date": pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-20", "2024-01-21"]),
    "v": [1, 2, 3, 4], "extra": column}) for column in [
    pd.Series(["a", None, "b", "c"]), pd.Series(["a", "b", "c", "d"]),  # texts alone: object on pandas 2, str on 3
    pd.Series([StrSub("a"), "b", "c", "d"], dtype=object), pd.Series(["x", "y", "x", "y"], dtype="category"),
    pd.Series([1.5, 2.0, np.nan, 3.0], dtype=object), pd.Series([1, 2, 3, 4], dtype=object),
    pd.Series([True, False, True, True]), pd.Series([True, 1, False, 2], dtype=object),
    pd.Series([True, False, False, True], dtype=object), pd.Series([date(2024, 1, 1)] * 4, dtype=object),
    pd.Series([np.nan, None, np.nan, np.nan], dtype=object), pd.Series([2 ** 64, 1, 2, 3], dtype=object),
    pd.Series(pd.to_datetime(["2024-01-01", None, "2024-01-02", None])),
    pd.Series(pd.to_datetime(["2024-01-01", "2024-01-03", None, None]).as_unit("s")),
    pd.Series(pd.to_datetime(["2024-01-01"] * 4).tz_localize("UTC")),
]] + [
    pd.DataFrame({"symbol": ["A"] * 14 + ["B"] * 14, "date": list(pd.date_range("2024-01-01", periods=14)) * 2,
                  "v": _SUMS + _SUMS[:-1] + [np.nan]}),
    _daily(["A", "B"], 10).assign(date=lambda f: f["date"].dt.tz_localize("Asia/Ho_Chi_Minh")),
    _daily(["BBB", " AAA "], 21, group="foreign"),  # identifiers stripped, then in order
    pd.DataFrame({"symbol": ["A"] * 3, "date": ["2024-01-01", "2024-01-02", "2024-01-16"], "v": [1, 2, 3],
                  "name": ["first", "second", "third"]}),  # a week without rows; the first text kept
] + [pd.DataFrame({"icb": codes, "date": ["2024-01-01"] * 4, "v": [1.5, 2.5, 4.0, 8.0]})  # codes as text
      for codes in ([8300.0, 8300.0, 500.0, np.nan], pd.Series([8300, 8300, 500, None], dtype=object))])
def test_resample_matches_per_entity_algorithm_on(frame):
    snapshot, namespace = frame.copy(), "sector" if "icb" in frame else "stock"
    pd.testing.assert_frame_equal(engine()._resample_frame(frame, namespace, "1W"),
                                  oracle.resample_per_entity(frame, namespace, "1W"), check_exact=True)
    pd.testing.assert_frame_equal(frame, snapshot)


def test_resample_uses_replaced_strict_str(monkeypatch):
    frame = _daily(["AA", "aa", "B"], 3)
    # Applied to the identifiers, then again to each group's key, as the plain algorithm does.
    for replaced in (lambda v: str(v).lower().strip(), lambda v: "X" + str(v), lambda v: len(str(v))):
        monkeypatch.setattr(fe, "_strict_str", replaced)
        monkeypatch.setattr(oracle, "_strict_str", replaced)
        pd.testing.assert_frame_equal(engine()._resample_frame(frame, "stock", "1W"),
                                      oracle.resample_per_entity(frame, "stock", "1W"))
