"""HttpSession over a real server on 127.0.0.1: headers, URLs, statuses, failures,
logging, argument types and lifecycle."""
import builtins
import contextlib
import logging
import subprocess
import sys
import types
import typing
import urllib.parse

import pytest
import requests
from tavrix.exceptions import HttpError

from fakes import DictSub, StrSub, Transport, closed_port
from private_core import transport_base as tb
from private_core.transport_base import HttpSession

API_PATH, LOGGER_NAME, OTHER_LOGGER = "/api/v1/tavrix", "private_core.transport_base", "tests.transport_other"
TRANSPORT_FAILURE = "\u26d4\ufe0f Tải dữ liệu lỗi vui lòng tải lại!"
BASE_URL, DEFAULT_TIMEOUT = tb.BASE_URL, tb.DEFAULT_TIMEOUT  # as loaded, before any test patches them


@pytest.fixture
def server(httpserver_ipv4):
    return httpserver_ipv4


@pytest.fixture
def session(server):
    with HttpSession("secret", base_url=server.url_for(API_PATH)) as s:
        yield s


def dead(path):
    """`path` with DEAD standing for a port nothing listens on, found at call time."""
    return path.replace("DEAD", f"http://127.0.0.1:{closed_port()}")


def log_records(caplog):
    return [r for r in caplog.records if r.name in (LOGGER_NAME, OTHER_LOGGER)]


# --- the module, the class and the constructor ---------------------------------------------
def test_module_surface():
    assert type(tb.BASE_URL) is str and tb.BASE_URL.startswith("https://") and tb.BASE_URL.endswith(API_PATH)
    assert type(tb.DEFAULT_TIMEOUT) is int and tb.DEFAULT_TIMEOUT == 30
    assert tb.logger is logging.getLogger(LOGGER_NAME)
    assert HttpSession.__doc__ == "Lightweight wrapper around :class:`requests.Session` with Tavrix defaults."
    assert (HttpSession.__bases__, HttpSession.__module__, HttpSession.__qualname__) == (
        (object,), "private_core.transport_base", "HttpSession")
    # Only the names bound at load time.
    assert {name for name in vars(tb) if not name.startswith("__")} == {
        "logging", "typing", "Any", "Optional", "urljoin", "requests",
        "BASE_URL", "DEFAULT_TIMEOUT", "logger", "_default_user_agent", "HttpSession"}
    assert (tb.logging, tb.typing, tb.requests, tb.urljoin, tb.Any, tb.Optional) == (
        logging, typing, requests, urllib.parse.urljoin, typing.Any, typing.Optional)


@pytest.mark.parametrize("version, expected", [("1.2.3", "tavrix/1.2.3"), ("0.0.0", "tavrix/0.0.0"), ("", "tavrix/")])
def test_default_user_agent(version, expected):
    assert tb._default_user_agent(version) == expected


def test_import_does_not_load_host_package():
    code = ("import private_core.transport_base, sys; "
            "assert not any(m == 'tavrix' or m.startswith('tavrix.') for m in sys.modules)")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


# The defaults are fixed when the class is defined; the helpers are looked up at each call.
@pytest.mark.parametrize("name, value, check", [
    ("BASE_URL", "https://elsewhere.example/api/v1/tavrix", lambda s: s.base_url == BASE_URL),
    ("DEFAULT_TIMEOUT", 99, lambda s: s.timeout == DEFAULT_TIMEOUT),
    ("_default_user_agent", lambda version: "patched/" + version,
     lambda s: s._session.headers["User-Agent"] == "patched/7"),
    ("requests", types.SimpleNamespace(Session=type("OwnSession", (requests.Session,), {}),
                                       RequestException=requests.RequestException),
     lambda s: type(s._session) is tb.requests.Session),
])
def test_module_names_at_construction(monkeypatch, name, value, check):
    monkeypatch.setattr(tb, name, value)
    assert check(HttpSession("k", version="7"))


def test_constructor_attributes():
    s = HttpSession("key-1", timeout=12)
    assert (s.api_key, s.base_url, s.timeout, type(s._session)) == ("key-1", BASE_URL, 12, requests.Session)
    assert not hasattr(s, "version") and not hasattr(s, "user_agent") and HttpSession("k").timeout == 30
    s.base_url = "https://b.example/v2"  # read at each call
    assert s._prepare_url("x") == "https://b.example/v2/x"


@pytest.mark.parametrize("method", ["GET", "POST"])
@pytest.mark.parametrize("api_key, kwargs, agent", [
    ("abc123", {}, "tavrix/0.0.0"),
    ("abc123", {"version": "1.4.0", "user_agent": "custom UA/3"}, "custom UA/3"),
    ("abc123", {"version": "1.4.0", "user_agent": ""}, "tavrix/1.4.0"),
    ("", {}, "tavrix/0.0.0"),
])
def test_session_headers_replace_only_four_defaults(server, method, api_key, kwargs, agent):
    ours = {"Authorization": "Bearer " + api_key, "Accept": "application/json",
            "Content-Type": "application/json", "User-Agent": agent}
    server.expect_request(API_PATH + "/ping", method=method).respond_with_data("ok")
    with HttpSession(api_key, base_url=server.url_for(API_PATH), **kwargs) as s:
        assert dict(s._session.headers) == {**requests.utils.default_headers(), **ours}
        s.get("ping") if method == "GET" else s.post("ping")
    [(request, _)] = server.log
    assert {name: request.headers[name] for name in ours} == ours
    assert request.headers["Accept-Encoding"] == requests.utils.default_headers()["Accept-Encoding"]


# --- URL resolution --------------------------------------------------------------------------
H = "https://h.example/api/v1/tavrix"


# test_fuzz_session.py generates the other relative, rooted and absolute paths.
@pytest.mark.parametrize("base_url, path, url", [
    (H + "/", "eod", H + "/eod"),
    (H, "//eod/ohlcv", H + "/eod/ohlcv"),
    (H, "https://other.example//p/", "https://other.example//p/"),
    (H, "a?symbol=X&b=1", H + "/a?symbol=X&b=1"),
    # Upper-case schemes are not recognised as absolute, so they go through urljoin,
    # which normalises the scheme: the result differs from the untouched path.
    (H, "HTTPS://other.example/x", "https://other.example/x"),
    ("http://h.example/api/v1/tavrix", "HTTP://other.example/x", "http://other.example/x"),
])
def test_prepare_url(base_url, path, url):
    assert HttpSession("k", base_url=base_url)._prepare_url(path) == url


@pytest.mark.parametrize("base_path, path, params, served", [
    (API_PATH, "x", None, API_PATH + "/x"),
    (API_PATH, "/x", None, API_PATH + "/x"),
    (API_PATH, "//x", None, API_PATH + "/x"),
    (API_PATH, "../x", None, "/api/v1/x"),
    (API_PATH, "", None, API_PATH + "/"),
    (API_PATH + "///", "x", None, API_PATH + "/x"),
    (API_PATH, "q?a=1", {"b": "2"}, API_PATH + "/q?a=1&b=2"),
    (API_PATH, "/eod", {"symbol": "ABC", "note": "a b&c"}, API_PATH + "/eod?symbol=ABC&note=a+b%26c"),
    (None, "/elsewhere", None, "/elsewhere"),  # absolute: the base (a closed port) is bypassed
])
def test_paths_reach_server(server, base_path, path, params, served):
    served, _, query = served.partition("?")
    server.expect_request(served, method="GET", query_string=query).respond_with_data("ok")
    base = server.url_for(base_path) if base_path else dead("DEAD" + API_PATH)
    with HttpSession("k", base_url=base) as s:
        resp = s.get(path if base_path else server.url_for(path), params=params)
    assert isinstance(resp, requests.Response) and resp.status_code == 200
    [(request, _)] = server.log
    assert (request.path, request.query_string) == (served, query.encode())


# --- sending ---------------------------------------------------------------------------------
@pytest.mark.parametrize("method, kwargs, raw", [
    ("POST", {"json_body": {"ids": ["A", "B"], "n": 1, "nested": {"x": None}}},
     b'{"ids": ["A", "B"], "n": 1, "nested": {"x": null}}'),
    ("POST", {"data": "raw text, not json"}, b"raw text, not json"),
    ("POST", {"data": b"\x00\x01bytes"}, b"\x00\x01bytes"),
    # Form data still goes out with the session-wide JSON content type.
    ("POST", {"data": {"a": "1", "b": "x y"}}, b"a=1&b=x+y"),
    *((method, {}, b"") for method in ("PUT", "DELETE", "PATCH")),
])
def test_method_and_body_sent(server, session, method, kwargs, raw):
    server.expect_request(API_PATH + "/raw", method=method, data=raw).respond_with_json({"ok": 1})
    send = session.post if method == "POST" else lambda path: session.request(method, path)
    assert send("raw", **kwargs).json() == {"ok": 1}
    [(request, _)] = server.log
    assert request.headers["Content-Type"] == "application/json"


def test_per_call_headers_override_for_that_call_only(server, session):
    server.expect_request(API_PATH + "/h").respond_with_data("ok")
    extra = {"Accept": "text/csv", "X-Trace": "t-1"}
    session.get("h", headers=extra)
    session.get("h")
    first, second = (entry[0].headers for entry in server.log)
    assert (first["Accept"], first["X-Trace"], first["Authorization"]) == ("text/csv", "t-1", "Bearer secret")
    assert second["Accept"] == session._session.headers["Accept"] == "application/json"
    assert "X-Trace" not in second and "X-Trace" not in session._session.headers
    assert extra == {"Accept": "text/csv", "X-Trace": "t-1"}


EXTRA = {"X-One": "1"}
ALL_NONE = {"params": None, "json": None, "data": None, "headers": None}


# The session's own timeout is the default one, read when a call gives none.
@pytest.mark.parametrize("call, method, sent", [
    (lambda s: s.get("p", headers={}), "GET", {"headers": None}),
    (lambda s: s.get("p", headers=EXTRA), "GET", {"headers": EXTRA}),  # a copy
    (lambda s: s.get("p", timeout=0), "GET", {"timeout": 30}),
    (lambda s: s.get("p", timeout=5), "GET", {"timeout": 5}),
    (lambda s: s.post("p", json_body={"a": 1}, data="d", timeout=3), "POST",
     {**ALL_NONE, "json": {"a": 1}, "data": "d", "timeout": 3}),
    (lambda s: s.get("p", params={"q": "1"}), "GET", {**ALL_NONE, "params": {"q": "1"}, "timeout": 30}),
])
def test_what_reaches_the_library(server, session, call, method, sent):
    server.expect_request(API_PATH + "/p").respond_with_data("ok")
    session._session = recorded = Transport(inner=session._session)
    call(session)
    session.get("p")  # the defaults again: a per-call timeout is for that call only
    (got_method, url, _, kwargs), (_, _, _, after) = recorded.calls
    assert (got_method, url) == (method, server.url_for(API_PATH + "/p"))
    assert set(kwargs) == set(ALL_NONE) | {"timeout"} and {k: kwargs[k] for k in sent} == sent
    assert kwargs["headers"] is not EXTRA and session.timeout == 30 and after == {**ALL_NONE, "timeout": 30}


# --- statuses and failures -------------------------------------------------------------------
@pytest.mark.parametrize("status, body, content_type, payload", [
    *((status, "<not json>", "text/plain", None) for status in (200, 204, 304, 399)),  # returned undecoded
    (400, '{"detail": "bad"}', "application/json", {"detail": "bad"}),
    (404, '{"detail": "Not found"}', "application/json", {"detail": "Not found"}),
    (422, '[1, "two"]', "application/json", [1, "two"]),
    (500, "Internal <b>error</b>", "text/html", "Internal <b>error</b>"),
    (503, "", "text/plain", ""),
    (500, "null", "application/json", None),
])
def test_status(server, session, status, body, content_type, payload):
    server.expect_request(API_PATH + "/e").respond_with_data(body, status=status, content_type=content_type)
    if status < 400:
        assert session.get("//e?a=1", params={"b": "2"}).status_code == status
        return
    with pytest.raises(HttpError) as info:
        session.get("//e?a=1", params={"b": "2"})
    err = info.value
    # The URL as resolved, without the params.
    message = f"Tavrix backend returned HTTP {status} for {server.url_for(API_PATH + '/e?a=1')}"
    assert (str(err), err.args) == (message, (message,))
    assert type(err.status_code) is int and err.status_code == status
    assert err.payload == payload and type(err.payload) is type(payload)
    assert err.__cause__ is None and err.__context__ is None
    # Raised from the caller's own handler: chained implicitly to the caller's exception,
    # as a Python raise would be, and never to the internal decode failure.
    outer = KeyError("outer")
    with pytest.raises(HttpError) as info:
        try:
            raise outer
        except KeyError:
            session.get("e")
    assert info.value.__context__ is outer and info.value.__cause__ is None


def test_transport_failure(server):
    server.expect_request("/after").respond_with_data("ok")
    with HttpSession("k", base_url=dead("DEAD" + API_PATH), timeout=5) as s:
        headers_before, inner = dict(s._session.headers), s._session
        with pytest.raises(HttpError) as info:
            s.get("x")
        err = info.value
        assert (str(err), err.args) == (TRANSPORT_FAILURE, (TRANSPORT_FAILURE,))
        assert err.status_code is None and err.payload is None and isinstance(err.__cause__, requests.ConnectionError)
        assert err.__context__ is err.__cause__ and err.__suppress_context__ is True
        # The instance survives the failure unchanged and keeps working.
        assert s._session is inner and dict(s._session.headers) == headers_before and s.timeout == 5
        assert s.get(server.url_for("/after")).status_code == 200


# The library's own request exceptions are transport failures; anything else passes unchanged.
@pytest.mark.parametrize("kwargs, error, message, cause", [
    ({"path": "http://"}, HttpError, TRANSPORT_FAILURE, requests.exceptions.InvalidURL),
    ({"path": "x", "json_body": {"v": float("nan")}}, HttpError, TRANSPORT_FAILURE,
     requests.exceptions.InvalidJSONError),
    ({"path": "x", "json_body": {"v": object()}}, TypeError, "Object of type object is not JSON serializable",
     type(None)),
])
def test_library_exceptions_before_sending(server, session, kwargs, error, message, cause):
    with pytest.raises(error) as info:
        session.post(**kwargs)
    assert (type(info.value), str(info.value), type(info.value.__cause__)) == (error, message, cause)
    assert server.log == []


# --- dispatch through the instance -----------------------------------------------------------
class Overriding(HttpSession):
    """Its own request() and close(), which get(), post() and leaving a with block must call."""

    def request(self, method, path, **kwargs):
        self.seen = getattr(self, "seen", []) + [(method, path, kwargs)]
        return ("response", len(self.seen))

    def close(self):
        self.closes = getattr(self, "closes", 0) + 1
        super().close()


@pytest.mark.parametrize("call, expected", [
    (lambda s: s.get("a"), ("GET", "a", {"params": None, "headers": None, "timeout": None})),
    (lambda s: s.get("/a", params={"p": 1}, headers={"H": "v"}, timeout=4),
     ("GET", "/a", {"params": {"p": 1}, "headers": {"H": "v"}, "timeout": 4})),
    (lambda s: s.post("b"), ("POST", "b", {"json_body": None, "data": None, "headers": None, "timeout": None})),
    (lambda s: s.post("b", json_body={"j": 1}, data=b"d", headers={}, timeout=0),
     ("POST", "b", {"json_body": {"j": 1}, "data": b"d", "headers": {}, "timeout": 0})),
])
def test_get_and_post_dispatch_through_request(server, call, expected):
    s = Overriding("k", base_url=server.url_for(API_PATH))
    assert call(s) == ("response", 1)
    assert s.seen == [expected] and server.log == []


def test_request_uses_overridden_prepare_url(server):
    server.expect_request("/custom/place").respond_with_data("ok")

    class Custom(HttpSession):
        def _prepare_url(self, path):
            if path == "unresolvable":
                raise requests.ConnectionError("from resolution")
            return server.url_for("/custom/" + path)

    with Custom("k", base_url="https://unused.example/api/v1/tavrix") as s:
        assert s.get("place").status_code == 200
        # Raised before the send: not a transport failure, so it passes unchanged.
        with pytest.raises(requests.ConnectionError, match="^from resolution$"):
            s.get("unresolvable")


def test_status_message_joins_the_url_by_its_text(server):
    # Joined as `+` joins it: a str subclass's own text, not what its __str__ says (here
    # a fragment, which requests keeps off the wire).
    server.expect_request("/custom/gone").respond_with_data("", status=404)

    class Shown(str):
        def __str__(self):
            return str.__str__(self) + "#elsewhere"

    class Custom(HttpSession):
        def _prepare_url(self, path):
            return Shown(server.url_for("/custom/" + path))

    with Custom("k") as s, pytest.raises(HttpError) as info:
        s.get("gone")
    assert info.value.args == ("Tavrix backend returned HTTP 404 for " + server.url_for("/custom/gone"),)


# --- logging and module globals --------------------------------------------------------------
# The module's logger is looked up at each call: a replacement gets the records.
@pytest.mark.parametrize("logger", [LOGGER_NAME, OTHER_LOGGER])
@pytest.mark.parametrize("level", [logging.DEBUG, logging.INFO])
@pytest.mark.parametrize("call, path, method, params", [
    (lambda s, p: s.get(p, params={"a": 1}), "x", "GET", {"a": 1}),
    (lambda s, p: s.post("/" + p, json_body={"b": 2}), "x", "POST", None),
    (lambda s, p: s.request("DELETE", p), "x", "DELETE", None),
    # Logged before sending, so a request that ends in HttpError is logged too.
    (lambda s, p: s.get(p), "missing", "GET", None),
    (lambda s, p: s.get(p), "DEAD/y", "GET", None),
])
def test_debug_log_per_request(server, session, caplog, monkeypatch, logger, level, call, path, method,
                               params):
    server.expect_request(API_PATH + "/x").respond_with_data("ok")
    for name in (LOGGER_NAME, OTHER_LOGGER):
        caplog.set_level(level, logger=name)
    monkeypatch.setattr(tb, "logger", logging.getLogger(logger))
    path = dead(path)
    with contextlib.suppress(HttpError):
        call(session, path)
    if level > logging.DEBUG:
        assert log_records(caplog) == []
        return
    [record] = log_records(caplog)
    url = path if path.startswith("http") else f"{session.base_url}/{path}"
    assert (record.name, record.levelno, record.msg, record.args) == (
        logger, logging.DEBUG, "HTTP %s %s params=%s", (method, url, params))
    assert record.getMessage() == f"HTTP {method} {url} params={params}"


def test_replaced_urljoin_used(server, session, monkeypatch):
    server.expect_request("/joined/x").respond_with_data("ok")
    monkeypatch.setattr(tb, "urljoin", lambda base, path: server.url_for("/joined/" + path))
    assert session.get("/x").status_code == 200


# --- argument types --------------------------------------------------------------------------
@pytest.mark.parametrize("call, name, expected, got", [
    (lambda s: HttpSession(api_key=None), "api_key", "str", "NoneType"),
    (lambda s: HttpSession(api_key=StrSub("k")), "api_key", "str", "StrSub"),
    (lambda s: HttpSession(api_key=b"k"), "api_key", "str", "bytes"),
    (lambda s: HttpSession(api_key="k", base_url=None), "base_url", "str", "NoneType"),
    (lambda s: HttpSession(api_key="k", version=None), "version", "str", "NoneType"),
    (lambda s: HttpSession(api_key="k", timeout=True), "timeout", "int", "bool"),
    (lambda s: HttpSession(api_key="k", timeout=None), "timeout", "int", "NoneType"),
    (lambda s: HttpSession(api_key="k", timeout=2.5), "timeout", "int", "float"),
    (lambda s: HttpSession(api_key="k", user_agent=StrSub("ua")), "user_agent", "str", "StrSub"),
    (lambda s: tb._default_user_agent(None), "version", "str", "NoneType"),
    (lambda s: HttpSession._prepare_url(s, StrSub("x")), "path", "str", "StrSub"),
    (lambda s: s.request(1, "x"), "method", "str", "int"),
    (lambda s: s.request("GET", StrSub("x")), "path", "str", "StrSub"),
    (lambda s: s.request("GET", None), "path", "str", "NoneType"),
    (lambda s: s.request("GET", "x", params=DictSub()), "params", "dict", "DictSub"),
    (lambda s: s.request("GET", "x", params=[("a", 1)]), "params", "dict", "list"),
    (lambda s: s.request("POST", "x", json_body=DictSub(a=1)), "json_body", "dict", "DictSub"),
    (lambda s: s.request("POST", "x", json_body=[1]), "json_body", "dict", "list"),
    (lambda s: s.request("GET", "x", headers=DictSub()), "headers", "dict", "DictSub"),
    (lambda s: s.request("GET", "x", timeout=True), "timeout", "int", "bool"),
    (lambda s: s.request("GET", "x", timeout=1.5), "timeout", "int", "float"),
    (lambda s: s.get(StrSub("x")), "path", "str", "StrSub"),
    (lambda s: s.get("x", params=DictSub()), "params", "dict", "DictSub"),
    (lambda s: s.get("x", headers=DictSub()), "headers", "dict", "DictSub"),
    (lambda s: s.get("x", timeout=False), "timeout", "int", "bool"),
    (lambda s: s.post(StrSub("x")), "path", "str", "StrSub"),
    (lambda s: s.post("x", json_body=DictSub()), "json_body", "dict", "DictSub"),
    (lambda s: s.post("x", headers=DictSub()), "headers", "dict", "DictSub"),
    (lambda s: s.post("x", timeout=True), "timeout", "int", "bool"),
])
def test_argument_type_errors(server, caplog, call, name, expected, got):
    class Watched(HttpSession):
        def _prepare_url(self, path):
            self.prepared = True
            return super()._prepare_url(path)

    s = Watched("k", base_url=server.url_for(API_PATH))
    s.prepared = False
    s._session = recorder = Transport(inner=s._session)
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)
    with s, pytest.raises(TypeError) as info:
        call(s)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert not s.prepared and recorder.calls == [] and server.log == [] and log_records(caplog) == []


@pytest.mark.parametrize("call", [
    lambda s: HttpSession("k", user_agent=None),
    lambda s: s.request("GET", "x", params=None, json_body=None, headers=None, timeout=None),
    lambda s: s.post("x", data=[("a", "1"), ("a", "2")]),
    lambda s: s.post("x", data=DictSub(a="1")),
    lambda s: s.__exit__(1, "two", object()),
])
def test_none_and_any_accepted(server, session, call):
    server.expect_request(API_PATH + "/x").respond_with_data("ok")
    call(session)


# Worded by the running interpreter, e.g. "HttpSession.get() takes 2 positional arguments but 3 were given".
@pytest.mark.parametrize("call, method, args", [
    (lambda: HttpSession("k", "https://h.example"), "__init__", ("k", "https://h.example")),
    (lambda: HttpSession("k").get("x", {"a": 1}), "get", ("x", {"a": 1})),
    (lambda: HttpSession("k").post("x", {"a": 1}), "post", ("x", {"a": 1})),
    (lambda: HttpSession("k").request("GET", "x", {"a": 1}), "request", ("GET", "x", {"a": 1})),
])
def test_keyword_only_arguments(call, method, args, python_wording):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == python_wording(getattr(HttpSession, method), None, *args)


# --- lifecycle -------------------------------------------------------------------------------
def _with_block(s):
    with s as bound:
        assert bound is s and s._session.closed == 0


def _with_error(s):
    boom = RuntimeError("inside")
    with pytest.raises(RuntimeError) as info, s:
        raise boom
    assert info.value is boom


@pytest.mark.parametrize("cls", [HttpSession, Overriding])
@pytest.mark.parametrize("use", [
    _with_block, _with_error, lambda s: s.__exit__(None, None, None),
    lambda s: s.__exit__(ValueError, ValueError("x"), None), lambda s: s.close()])
def test_lifecycle_closes_the_library_session_once(cls, use):
    s = cls("k")
    s._session = recorder = Transport(inner=s._session)
    assert use(s) is None
    assert recorder.closed == 1 and getattr(s, "closes", 1) == 1  # Overriding counts its own
    assert s.__enter__() is s


def refusing_import(name, *args, real_import=builtins.__import__, **kwargs):
    if name == "tavrix.exceptions" or name.startswith("tavrix.exceptions."):
        raise ImportError("no host package here")
    return real_import(name, *args, **kwargs)


@pytest.mark.parametrize("hide", [lambda mp: mp.setattr(builtins, "__import__", refusing_import),
                                  lambda mp: mp.setitem(sys.modules, "tavrix.exceptions", None)],
                         ids=["import_hook", "sys_modules"])
@pytest.mark.parametrize("path", ["ok", "bad", "DEAD/x"])
def test_without_host_package(server, session, monkeypatch, hide, path):
    server.expect_request(API_PATH + "/ok").respond_with_json({"v": 1})
    server.expect_request(API_PATH + "/bad").respond_with_json({"detail": "x"}, status=404)
    hide(monkeypatch)
    if path == "ok":  # the error classes are needed only for an error
        assert session.get(path).json() == {"v": 1}
        return
    with pytest.raises(ImportError) as info:
        session.get(dead(path))
    assert not isinstance(info.value, HttpError)
    if path != "bad":  # raised while the library's exception was being handled
        assert isinstance(info.value.__context__, requests.RequestException)
