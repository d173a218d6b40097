"""validate_api_key over a real server and the sandbox backend, and around the send
against in-memory sessions (test_fuzz_session.py compares the rest with the model)."""
import inspect
import json
import logging

import pydantic
import pytest
import requests
from tavrix.exceptions import ApiKeyValidationError, HttpError
from tavrix.types import ApiKeyValidationResponse
from werkzeug import Response

from fakes import Boom, DictSub, Session, StrSub, closed_port, outcome, raise_
from private_core import keygate
from private_core.keygate import validate_api_key
from private_core_models.keygate_model import NO_TEXT, REJECTED
from private_core_models.signatures import wrong_type
from private_core.transport_base import HttpSession

API_PATH, LOGGER = "/api/v1/tavrix", "private_core.keygate"
GOOD_ANSWER = {"valid": True, "message": "hello", "plan": "pro"}


@pytest.fixture
def server(httpserver_ipv4):
    return httpserver_ipv4


@pytest.fixture
def session(server):
    with HttpSession("secret", base_url=server.url_for(API_PATH), timeout=10) as s:
        yield s


def answer(server, body, status=200, content_type=None):  # anything but text as JSON
    if not isinstance(body, str):
        body, content_type = json.dumps(body), "application/json"
    server.expect_request(API_PATH + "/auth/validate", method="POST").respond_with_response(
        Response(body, status=status, content_type=content_type or "text/plain"))


def records(caplog, level):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno == level]


def test_module_surface():
    assert keygate.VALIDATION_ENDPOINT == "/auth/validate"
    assert keygate.logger is logging.getLogger(LOGGER)
    assert validate_api_key.__doc__ == "Validate the provided API key with the backend."
    # Optional[dict] as the running interpreter renders it (3.14: dict | None).
    assert str(inspect.signature(validate_api_key)) == (
        "(session: private_core.transport_base.HttpSession, *, client_version: str, include_messages: bool = True, "
        f"extra_context: {inspect.formatannotation(keygate.Optional[dict])} = None) -> tavrix.types.ApiKeyValidationResponse")
    assert validate_api_key.__annotations__["return"] is ApiKeyValidationResponse
    # Names bound at load time, in import order, before the module's own.
    assert [n for n in vars(keygate) if not n.startswith("__")] == [
        "logging", "Optional", "ValidationError", "ApiKeyValidationError", "HttpError",
        "ApiKeyValidationResponse", "HttpSession", "VALIDATION_ENDPOINT", "logger", "validate_api_key"]
    assert keygate.ValidationError is pydantic.ValidationError and keygate.HttpSession is HttpSession


# --- over a real server --------------------------------------------------------------------
BODY = {"apiKey": "secret", "clientVersion": "1.2.3", "includeMessages": True}


@pytest.mark.parametrize("kwargs, expected", [
    ({}, BODY), ({"extra_context": None}, BODY), ({"extra_context": {}}, BODY),
    ({"include_messages": False, "extra_context": {"host": "ci"}},
     {**BODY, "includeMessages": False, "context": {"host": "ci"}}),
    ({"include_messages": "yes"}, {**BODY, "includeMessages": "yes"})])
def test_success(server, session, caplog, kwargs, expected):
    answer(server, GOOD_ANSWER)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        result = validate_api_key(session, client_version="1.2.3", **kwargs)
    assert type(result) is ApiKeyValidationResponse
    assert (result.valid, result.message, result.plan) == (True, "hello", "pro")
    [record] = records(caplog, logging.DEBUG)
    assert (record.msg, record.args) == ("API key validated successfully for version %s", ("1.2.3",))
    [(request, _)] = server.log
    assert list(json.loads(request.get_data()).items()) == list(expected.items())  # in order: "context" last
    assert request.headers["Authorization"] == "Bearer secret"


@pytest.mark.parametrize("args, kwargs, wrong", [
    ((), {}, None),
    (("1.0",), {}, None),
    ((), {"client_version": StrSub("1")}, ("client_version", "str")),
    ((), {"client_version": None}, ("client_version", "str")),
    ((), {"client_version": "1", "extra_context": DictSub(a=1)}, ("extra_context", "dict")),
    ((), {"client_version": "1", "extra_context": [("a", 1)]}, ("extra_context", "dict"))])
def test_argument_errors_send_nothing(server, session, python_wording, args, kwargs, wrong):
    with pytest.raises(TypeError) as info:
        validate_api_key(session, *args, **kwargs)
    expected = (wrong_type(wrong[0], kwargs[wrong[0]], wrong[1]) if wrong
                else python_wording(validate_api_key, session, *args, **kwargs))
    assert str(info.value) == expected
    assert server.log == []


def test_endpoint_read_from_module_at_each_call(server, session, monkeypatch):
    server.expect_request(API_PATH + "/auth/v2", method="POST").respond_with_json(GOOD_ANSWER)
    monkeypatch.setattr(keygate, "VALIDATION_ENDPOINT", "/auth/v2")
    assert validate_api_key(session, client_version="1").valid is True


@pytest.mark.parametrize("status, body, message", [
    (401, {"detail": "Invalid API key"}, "Invalid API key"),
    (403, {"detail": "", "message": "Plan expired"}, "Plan expired"),
    (403, {"detail": ""}, NO_TEXT % 403),
    (403, {"detail": None, "message": None}, NO_TEXT % 403),
    (500, "  overloaded \n", "overloaded"),
    (500, " \t\n ", NO_TEXT % 500),
    (502, "", NO_TEXT % 502),
    (404, [1, 2], NO_TEXT % 404),
    # Not text: shown by its text form, never as an empty or misleading message.
    (422, {"detail": [{"loc": ["body", "clientVersion"], "msg": "field required"}]},
     "[{'loc': ['body', 'clientVersion'], 'msg': 'field required'}]"),
    (400, {"detail": 0, "message": 42}, "42"),
    (400, {"message": 0}, NO_TEXT % 400),
    (400, {"detail": [], "message": {"code": 7}}, "{'code': 7}"),
    (401, {"detail": "  padded  "}, "  padded  ")])
def test_http_error_becomes_validation_error(server, session, caplog, status, body, message):
    answer(server, body, status)
    with caplog.at_level(logging.DEBUG, logger=LOGGER), pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    assert info.value.args == (message,) and info.value.__suppress_context__
    cause = info.value.__cause__
    assert type(cause) is HttpError and cause.status_code == status
    [record] = records(caplog, logging.ERROR)
    assert (record.msg, record.args, record.exc_info) == (REJECTED, (status, cause.payload), None)
    assert records(caplog, logging.DEBUG) == []


def test_transport_failure(caplog):
    with HttpSession("k", base_url=f"http://127.0.0.1:{closed_port()}") as session, \
            pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    cause = info.value.__cause__
    assert info.value.args == (NO_TEXT % None,) and type(cause) is HttpError and cause.status_code is None
    assert isinstance(cause.__cause__, requests.ConnectionError)
    assert [r.args for r in records(caplog, logging.ERROR)] == [(None, None)]


@pytest.mark.parametrize("body, message, cause", [
    ("<html>ok</html>", "Backend returned invalid JSON payload", ValueError),
    *[(body, "Backend response did not match expected schema", pydantic.ValidationError)
      for body in [{"message": "no valid field"}, [], None, {"valid": "perhaps"}]]])
def test_malformed_answer(server, session, body, message, cause):
    answer(server, body, 200, "text/html")
    with pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    assert info.value.args == (message,)
    assert isinstance(info.value.__cause__, cause)


# --- against the sandbox backend ----------------------------------------------------------
@pytest.mark.parametrize("key, kwargs, faults, status, expected", [
    ("demo-key", {"client_version": "0.1.0"}, {}, 200,
     {"valid": True, "plan": "sandbox", "min_client_version": "0.1.0"}),
    # An old client is answered, not refused.
    ("demo-key", {"client_version": "0.0.9", "include_messages": False}, {}, 200, {"valid": False, "message": None}),
    ("stolen", {"client_version": "0.1.0"}, {}, 401, "Invalid API key"),
    ("demo-key", {"client_version": "0.1.0"}, {"/auth/validate": 500}, 500,
     "Sandbox fault injected for /auth/validate"),
    # Field errors become their text.
    ("demo-key", {"client_version": "latest"}, {}, 422,
     "[{'loc': ['body', 'clientVersion'], 'msg': 'expected a version like 1.2.3', 'type': 'value_error'}]")])
def test_sandbox(sandbox, key, kwargs, faults, status, expected):
    sandbox.configure(faults=faults)
    with HttpSession(key, base_url=sandbox.base_url) as session:
        got = outcome(validate_api_key, session, **kwargs)
    if status == 200:
        assert got[0] == "ok" and {name: getattr(got[1], name) for name in expected} == expected, got
    else:
        assert type(got[1]) is ApiKeyValidationError and got[1].args == (expected,), got
        assert got[1].__cause__.status_code == status
    [entry] = sandbox.stats()["log"]
    assert (entry["method"], entry["path"], entry["status"]) == ("POST", API_PATH + "/auth/validate", status)


# --- in-memory sessions: what the function does around the send ----------------------------
@pytest.mark.parametrize("error", [KeyError("boom"), RuntimeError("x"), ValueError("y"), None])
def test_other_send_failure(caplog, error):
    # None: a session without post(), whose AttributeError is a failed send too.
    session = Session(error) if error else type("NoPost", (), {"api_key": "k"})()
    with pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    assert info.value.args == ("Unable to validate API key",)
    cause = info.value.__cause__
    assert (cause is error) if error else type(cause) is AttributeError
    [record] = records(caplog, logging.ERROR)
    assert (record.getMessage(), record.exc_info[1]) == ("Failed to validate API key with Tavrix backend", cause)


def test_key_read_before_sending():
    session = Session(AssertionError("must not be sent"), api_key=None)
    with pytest.raises(AttributeError):
        validate_api_key(session, client_version="1")
    assert session.calls == []


# Names replaced in the module take effect at the next call; the model's own error (not a
# ValidationError) passes untranslated.
@pytest.mark.parametrize("name, replacement, answer", [
    ("ApiKeyValidationResponse", type("Model", (), {"model_validate": lambda obj: raise_(Boom(obj))}),
     GOOD_ANSWER),
    ("ApiKeyValidationError", Boom, KeyError())])
def test_names_read_from_module_at_each_call(monkeypatch, name, replacement, answer):
    monkeypatch.setattr(keygate, name, replacement)
    with pytest.raises(Boom):
        validate_api_key(Session(answer), client_version="1")
