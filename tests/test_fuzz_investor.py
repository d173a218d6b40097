"""Properties of the investor engine's request building and payload normalisation,
each compared with a plain-Python model of its documented behaviour, on JSON-like
values, subclasses and hostile objects alike."""
import math
from collections.abc import Iterable
from datetime import date, datetime, timezone

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given
from hypothesis import strategies as st
from tavrix.exceptions import DataDecodingError

from fakes import DictSub, StrSub, assert_same_outcome, outcome, same_text
from fuzz_inputs import (DictContainsLies, DictGetLies, DictIterRaises, ListIterRaises, MappingGetitemRaises,
                         StrEqLies, StrRaises, StrReturnsLyingStr, anything, containers, hostile, json_values,
                         leaves, padded_text, short_text)
from private_core_models.investor_oracle import ENVELOPE, ensure_mapping, normalise_records
from private_core.investor.flow_engine import InvestorFlowEngine, _strict_str

ENGINE = InvestorFlowEngine(None)


def matches(method, model, *args):
    """Same result as the model (exact plain text, lists and dicts in order, or the
    very object passed through), or the same error: with our wording for ours."""
    def same(got, want):
        assert same_text(got, want), (got, want)
    got = outcome(method, *args)
    assert_same_outcome(got, outcome(model, *args), same, lambda exc: isinstance(exc, DataDecodingError))
    return got


def text(value):
    """str(value) stripped, taken as plain text whatever str() gave back."""
    return str.__str__(str(value)).strip()


# --- _strict_str ---------------------------------------------------------------------------
def model_strict_str(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return text(value)


@given(value=st.one_of(leaves, anything))
# Regression: str() of an object may be a str subclass whose strip() returns
# anything; its length was then read as if it were text.
@example(value=StrReturnsLyingStr())
@example(value=np.float64("nan"))
@example(value=pd.NaT)
@example(value="  AAA \t")
def test_strict_str_matches_model(value):
    got = matches(_strict_str, model_strict_str, value)
    if got[0] == "ok":
        assert type(got[1]) is str and got[1] == got[1].strip()


# --- _prepare_payload and _to_query_params --------------------------------------------------
def model_prepare(params):
    if type(params) is not dict:
        raise TypeError("params")
    payload = {k: v for k, v in params.items() if v is not None}
    if "ids" in payload:
        ids = payload["ids"]
        if isinstance(ids, (list, tuple)):
            payload["ids"] = [t for t in (text(x) for x in ids) if t]
        else:
            payload["ids"] = [text(ids)]
    for key, upper in (("group", False), ("interval", True)):
        if key in payload:
            folded = text(payload[key])
            folded = folded.upper() if upper else folded.lower()
            if folded:
                payload[key] = folded
    for key in ("start", "end"):
        if key in payload:
            value = payload[key]
            if isinstance(value, datetime):
                value = value.date()
            payload[key] = value.isoformat() if isinstance(value, date) else text(value)
    return payload


def model_query(payload):
    if type(payload) is not dict:
        raise TypeError("payload")
    query = {}
    for key, value in payload.items():
        if (isinstance(key, str) and str.__str__(key) == "ids" and isinstance(value, Iterable)
                and not isinstance(value, (str, bytes))):
            value = ",".join(t for t in (text(x) for x in value) if t)
        query[key] = value
    return query


param_keys = st.one_of(st.sampled_from(["ids", "group", "interval", "start", "end", "other"]),
                       short_text, short_text.map(StrEqLies), st.just(StrSub("ids")))
param_values = st.one_of(st.none(), padded_text, st.lists(st.one_of(padded_text, st.integers(), leaves), max_size=4),
                         st.dates(), st.datetimes(), leaves, anything)
params_dicts = st.dictionaries(param_keys, param_values, max_size=6)


@given(params=st.one_of(params_dicts, params_dicts.map(DictSub), anything))
@example(params={"ids": [StrReturnsLyingStr(" a ")], "group": StrReturnsLyingStr(" G ")})
@example(params={"interval": StrReturnsLyingStr(" 1w "), "start": StrReturnsLyingStr(" d ")})
@example(params={"ids": {"A"}, "group": "   ", "start": datetime(2024, 3, 5, 23, 30, tzinfo=timezone.utc),
                 "end": pd.Timestamp("2024-03-05 23:30"), "x": None})
def test_prepare_payload_matches_model(params):
    snapshot = list(params.items()) if type(params) is dict else None
    got = matches(ENGINE._prepare_payload, model_prepare, params)
    if snapshot is not None:  # the caller's dict is left as it was
        assert len(snapshot) == len(params)
        assert all(k is k2 and v is v2 for (k, v), (k2, v2) in zip(snapshot, params.items()))
    if got[0] == "ok" and "ids" in got[1]:
        assert all(type(i) is str and i == i.strip() for i in got[1]["ids"])


@given(payload=st.one_of(params_dicts, params_dicts.map(lambda d: dict(d, ids=d.get("ids", []))),
                         anything))
@example(payload={"ids": [StrReturnsLyingStr(" a "), " b "]})
@example(payload={"ids": b"AB", "other": ["a", "b"]})
@example(payload={"ids": ("A", 1), "group": "all"})
@example(payload={"ids": ["  ", " b ", StrRaises()]})
def test_to_query_params_matches_model(payload):
    matches(ENGINE._to_query_params, model_query, payload)


def test_request_building_survives_its_dict_being_emptied():
    # Both builders used to walk the caller's dict while running the caller's code (str()
    # of an id, a key's hash); emptying the dict then freed the entry being copied, and the
    # process crashed. They now work on a copy.
    # The key is built at run time, so the dict holds its only reference.
    payload = {"".join(["i", "ds"]): [None], "other": "v"}
    payload["ids"][0] = hostile("ClearsWhenStringified", __str__=lambda self: payload.clear() or "x")()
    assert ENGINE._to_query_params(payload) == {"ids": "x", "other": "v"}
    params = {}
    key = hostile("ClearsWhenHashed", __hash__=lambda self: params.clear() or 1)()
    params.update([(key, "value"), ("group", " G ")])  # the hash runs here too, on a dict still empty
    assert list(ENGINE._prepare_payload(params).values()) == ["value", "g"]


# --- _normalise_records and _ensure_mapping -------------------------------------------------
row = st.dictionaries(st.sampled_from(["symbol", "icb", "date", "value", "id"]), json_values, max_size=4)
entries = st.lists(st.one_of(row, row.map(DictGetLies), anything), max_size=3)
keyed = st.dictionaries(st.one_of(short_text, st.sampled_from(["A", "B"])), entries, max_size=3)
shapes = st.recursive(
    st.one_of(st.none(), entries, keyed, keyed.map(DictGetLies), keyed.map(DictIterRaises),
              keyed.map(DictContainsLies), containers(row), anything),
    lambda inner: st.builds(lambda key, value, extra: {**extra, key: value},
                            st.sampled_from(ENVELOPE), inner,
                            st.dictionaries(st.sampled_from(ENVELOPE + ("x",)), inner, max_size=2)),
    max_leaves=4,
)
namespaces = st.one_of(st.sampled_from(["stock", "market", "sector", "fund"]), short_text, leaves)


@given(payload=shapes, namespace=namespaces)
# Regression: for a keyed answer the identifier column was looked up before
# any row was seen, so a namespace that cannot be a key failed even with no rows.
@example(payload={"A": []}, namespace=[])
@example(payload={"data": {1: [{}]}}, namespace="stock")  # a key that is no identifier
@example(payload={"A": ({"v": 1},)}, namespace="stock")
@example(payload={"A": ListIterRaises([{"v": 1}, {"v": 2}])}, namespace="stock")
def test_normalise_records_matches_model(payload, namespace):
    matches(ENGINE._normalise_records, normalise_records, payload, namespace)


@given(entry=st.one_of(row, anything), namespace=namespaces,
       identifier=st.one_of(st.none(), short_text, leaves))
@example(entry=DictSub(a=1), namespace="stock", identifier=None)
@example(entry={"icb": "own"}, namespace="sector", identifier="8300")
@example(entry=[("a", 1)], namespace="stock", identifier=None)
@example(entry=MappingGetitemRaises({"a": 1}), namespace="stock", identifier="A")
def test_ensure_mapping_matches_model(entry, namespace, identifier):
    got = matches(ENGINE._ensure_mapping, ensure_mapping, entry, namespace, identifier)
    if got[0] == "ok":
        assert got[1] is not entry


def test_deeply_nested_envelope_is_a_recursion_error():
    # Each envelope level is one more native call into _normalise_records, and
    # nothing bounded the depth: a deep enough answer overflowed the C stack and
    # crashed the process. Now the interpreter's recursion limit applies.
    payload = None
    for _ in range(200_000):
        payload = {"data": payload}
    with pytest.raises(RecursionError):
        ENGINE._normalise_records(payload, "stock")
    # Within the limit the unwrapping still works.
    shallow = [{"v": 1}]
    for _ in range(50):
        shallow = {"records": shallow}
    assert ENGINE._normalise_records(shallow, "stock") == [{"v": 1}]
