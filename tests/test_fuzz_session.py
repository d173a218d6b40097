"""Property-based tests of the session layer: HttpSession's arguments and its handling
of what the HTTP library answers, the key validation's handling of what the session
answers or raises, and memo_store.to_date, each beside a plain-Python model."""
from datetime import date, datetime, timedelta
from unittest import mock
from urllib.parse import urljoin

import requests
from hypothesis import example, given
from hypothesis import strategies as st
from tavrix.exceptions import HttpError

from fakes import Interrupt, Response, Session, Transport, assert_same_outcome, closed_port, outcome, raise_
from fuzz_inputs import (Boom, DictGetLies, DictGetRaises, StrStripLies, StrStripRaises, anything,
                         json_values, leaves, padded_text, scaled, short_text)
from private_core import keygate, memo_store
from private_core.transport_base import HttpSession
from private_core_models import keygate_model
from private_core_models.signatures import wrong_type


def mostly(valid, other, odds=3):
    """`valid` `odds` times per `other`, so most examples pass the argument checks (one_of would
    draw each of the many branches of `leaves` as often as `valid`)."""
    return st.sampled_from([valid] * odds + [other]).flatmap(lambda strategy: strategy)


# --- validate_api_key ------------------------------------------------------------------------
def unreadable(name):
    """An HttpError whose attribute `name` raises Boom when read (and ignores being set)."""
    return type(f"{name}Raises", (HttpError,), {name: property(lambda self: raise_(Boom), lambda self, _: None)})


error_texts = st.one_of(padded_text, st.sampled_from(["", "  ", "bad key"]), json_values, leaves)
error_payloads = st.one_of(
    st.fixed_dictionaries({}, optional={"detail": error_texts, "message": error_texts}),
    st.fixed_dictionaries({"detail": error_texts}).map(DictGetLies),
    st.fixed_dictionaries({"detail": error_texts}).map(DictGetRaises),
    padded_text.map(StrStripLies), padded_text.map(StrStripRaises), error_texts, anything)
statuses = st.one_of(st.none(), st.integers(100, 599), leaves)
good_answers = st.fixed_dictionaries({"valid": st.booleans()},
                                     optional={"message": st.none() | short_text, "plan": st.none() | short_text})
# What the session's post() raises or returns.
answers = st.one_of(
    st.builds(HttpError, short_text, status_code=statuses, payload=error_payloads),
    st.builds(unreadable("status_code"), short_text, payload=error_payloads),
    st.builds(unreadable("payload"), short_text, status_code=statuses),
    st.sampled_from([Boom(), ValueError("v"), KeyError("k"), requests.ConnectionError("c"), Interrupt()]),
    st.builds(Response, st.one_of(good_answers, json_values, anything)),
    st.builds(Response, st.sampled_from([ValueError("no json"), Boom(), Interrupt()])))
PLAIN = dict(api_key="k", client_version="1", include_messages=True, extra_context=None)


def key_session(api_key, answer):
    session = Session(answer)
    session.api_key = api_key
    return session


@given(api_key=st.one_of(short_text, leaves), answer=answers,
       client_version=mostly(st.one_of(st.just("1.2.3"), short_text), leaves),
       include_messages=st.one_of(st.booleans(), leaves),
       extra_context=mostly(st.one_of(st.none(), st.dictionaries(short_text, json_values, max_size=2)),
                            st.one_of(leaves, anything)))
@example(answer=HttpError("x", status_code=401, payload={"detail": ["field", "error"]}), **PLAIN)
# An HttpError built from a message alone; a non-ValueError from json(); a BaseException.
@example(answer=HttpError("down"), **PLAIN)
@example(answer=Response(RuntimeError("stream closed")), **PLAIN)
@example(answer=KeyboardInterrupt(), **PLAIN)
def test_validate_api_key_matches_model(api_key, answer, client_version, include_messages, extra_context):
    kwargs = dict(client_version=client_version, include_messages=include_messages, extra_context=extra_context)
    session, model_session = key_session(api_key, answer), key_session(api_key, answer)
    with mock.patch.object(keygate, "logger") as log, mock.patch.object(keygate_model, "logger") as model_log:
        try:
            got = outcome(keygate.validate_api_key, session, **kwargs)
            want = outcome(keygate_model.validate, model_session, **kwargs)
        except KeyboardInterrupt as exc:
            assert exc is answer
            return
    assert_same_outcome(got, want)
    assert log.mock_calls == model_log.mock_calls
    # The session's own exception passes as the very object it raised.
    if want[0] == "raised" and (want[1] is answer or isinstance(answer, Response) and want[1] is answer.payload):
        assert got[1] is want[1]
    assert len(session.calls) == len(model_session.calls) <= 1
    for (method, path, body, other), (_, model_path, model_body, _) in zip(session.calls, model_session.calls):
        assert (method, path, other) == ("POST", model_path, {})
        assert list(body) == list(model_body)
        assert all(body[k] is model_body[k] for k in body)


# --- HttpSession ----------------------------------------------------------------------------
text_or_not = mostly(short_text, leaves, odds=7)


def first_wrong(checks):
    """The TypeError message for the first argument of the wrong type, or None."""
    for name, value, kind, optional in checks:
        if not (type(value) is kind or (optional and value is None)):
            return wrong_type(name, value, kind.__name__)


@given(api_key=text_or_not, version=text_or_not, timeout=mostly(st.integers(0, 60), leaves, odds=7),
       base_url=mostly(st.one_of(st.sampled_from(["http://127.0.0.1:9/api//", "https://h.example/api/",
                                                  "https://h.example/api///", "https://h.example/"]),
                                 short_text), leaves, odds=7),
       user_agent=mostly(st.one_of(st.none(), short_text), leaves, odds=7))
def test_session_constructor_checks_and_stores(api_key, base_url, version, timeout, user_agent):
    wrong = first_wrong([("api_key", api_key, str, False), ("base_url", base_url, str, False),
                         ("version", version, str, False), ("timeout", timeout, int, False),
                         ("user_agent", user_agent, str, True)])
    got = outcome(HttpSession, api_key, base_url=base_url, version=version, timeout=timeout, user_agent=user_agent)
    if wrong is not None:
        assert got[0] == "raised" and type(got[1]) is TypeError and str(got[1]) == wrong, got
        return
    assert got[0] == "ok", got
    with got[1] as session:
        assert session.api_key is api_key and session.timeout is timeout
        assert session.base_url == base_url.rstrip("/")
        sent = session._session.headers
        assert (sent["Authorization"], sent["User-Agent"]) == ("Bearer " + api_key, user_agent or "tavrix/" + version)


replies = st.one_of(
    st.builds(Response, json_values | st.sampled_from([ValueError("not json"), Boom()]), st.integers(100, 599)),
    st.sampled_from([requests.ConnectionError("refused"), requests.Timeout("slow"), Boom()]))
dict_or_not = mostly(st.one_of(st.none(), st.dictionaries(short_text, json_values, max_size=3)), leaves, odds=7)
paths = st.sampled_from(["x", "/x", "//x", "../y", "", "eod/ohlcv", "http://h/z", "https://h/z",
                         "https://other.example//p/", "http://other.example/p?q=1"])


@given(method=mostly(st.one_of(st.sampled_from(["GET", "POST"]), short_text), leaves, odds=7),
       path=mostly(st.one_of(paths, short_text), leaves, odds=7),
       params=dict_or_not, json_body=dict_or_not, data=st.one_of(st.none(), leaves),
       headers=st.one_of(dict_or_not, st.dictionaries(st.sampled_from(["A", "B"]), short_text)),
       timeout=mostly(st.one_of(st.none(), st.integers(0, 9)), leaves, odds=7), reply=replies)
def test_session_request_matches_model(method, path, params, json_body, data, headers, timeout, reply):
    session = HttpSession("key", base_url="http://127.0.0.1:9/api/v1/tavrix", timeout=30)
    session._session.close()
    session._session = library = Transport(reply)
    wrong = first_wrong([("method", method, str, False), ("path", path, str, False),
                         ("params", params, dict, True), ("json_body", json_body, dict, True),
                         ("headers", headers, dict, True), ("timeout", timeout, int, True)])
    got = outcome(session.request, method, path, params=params, json_body=json_body, data=data, headers=headers,
                  timeout=timeout)
    if wrong is not None:
        assert got[0] == "raised" and type(got[1]) is TypeError and str(got[1]) == wrong, got
        assert library.calls == []  # nothing sent
        return
    url = path if path.startswith(("http://", "https://")) else urljoin(session.base_url + "/", path.lstrip("/"))
    [(sent_method, sent_url, _, kwargs)] = library.calls
    assert sent_method is method and sent_url == url
    assert kwargs["params"] is params and kwargs["json"] is json_body and kwargs["data"] is data
    assert kwargs["timeout"] == (timeout or 30)
    # A copy of the caller's headers, None for none at all.
    assert kwargs["headers"] == (headers or None) and (kwargs["headers"] is not headers or headers is None)
    if isinstance(reply, requests.RequestException):
        assert got[0] == "raised" and type(got[1]) is HttpError and got[1].__cause__ is reply
        assert got[1].status_code is None
    elif isinstance(reply, Boom) or (reply.status_code >= 400 and isinstance(reply.payload, Boom)):
        assert got[0] == "raised" and isinstance(got[1], Boom)
    elif reply.status_code >= 400:
        assert got[0] == "raised" and type(got[1]) is HttpError, got
        assert got[1].args == (f"Tavrix backend returned HTTP {reply.status_code} for {url}",)
        assert got[1].status_code == reply.status_code
        assert got[1].payload is (reply.text if isinstance(reply.payload, ValueError) else reply.payload)
    else:
        assert got == ("ok", reply)


@scaled(0.15, floor=4)
@given(path=st.one_of(short_text, st.sampled_from(["eod/ohlcv", "/auth/validate"])), post=st.booleans(),
       params=st.one_of(st.none(), st.dictionaries(short_text, st.one_of(short_text, st.integers()), max_size=3)),
       json_body=st.one_of(st.none(), st.dictionaries(short_text, json_values, max_size=2)))
def test_session_against_a_closed_port_raises_http_error(path, params, post, json_body):
    # A real library call that cannot connect: always the transport HttpError, caused by the library's own.
    base = f"http://127.0.0.1:{closed_port()}/api/v1/tavrix"
    with HttpSession("key", base_url=base, timeout=2) as session:
        got = outcome(session.post, path, json_body=json_body) if post else outcome(session.get, path, params=params)
    assert got[0] == "raised", got
    if type(got[1]) is HttpError:
        assert isinstance(got[1].__cause__, requests.RequestException) and got[1].status_code is None
    else:
        # Text the library cannot encode (a lone surrogate) fails before sending, with its own error.
        assert isinstance(got[1], ValueError), got


# --- memo_store.to_date ---------------------------------------------------------------------
DateSub, DatetimeSub = type("DateSub", (date,), {}), type("DatetimeSub", (datetime,), {})


def model_to_date(d):
    if d is None:
        return datetime.now().date()
    if isinstance(d, date) and not isinstance(d, datetime):
        return d
    if isinstance(d, datetime):
        return d.date()
    if isinstance(d, str):
        return datetime.strptime(d, "%Y-%m-%d").date()
    raise ValueError("Unsupported date type: " + str(type(d)))


date_inputs = st.one_of(
    st.none(), st.dates(), st.datetimes(), st.dates().map(lambda d: DateSub(d.year, d.month, d.day)),
    st.datetimes().map(lambda d: DatetimeSub(d.year, d.month, d.day, d.hour)),
    st.dates().map(str), st.dates().map(lambda d: f" {d} "), st.dates().map(lambda d: StrStripRaises(str(d))),
    padded_text, leaves, anything)


@given(d=date_inputs)
def test_to_date_matches_model(d):
    got, want = outcome(memo_store.to_date, d), outcome(model_to_date, d)
    if d is None:  # today, read a moment apart
        assert got[0] == want[0] == "ok" and want[1] - got[1] in (timedelta(0), timedelta(days=1))
        return
    assert_same_outcome(got, want)
    if got[0] == "ok":  # a date comes back as the very object; anything else as a plain date
        assert (got[1] is d) if isinstance(d, date) and not isinstance(d, datetime) else type(got[1]) is date
