import inspect
import json
import logging
import socket

import pydantic
import pytest
import requests
from tavrix.exceptions import ApiKeyValidationError, HttpError
from tavrix.types import ApiKeyValidationResponse
from werkzeug import Response

from private_core import keygate
from private_core.keygate import validate_api_key
from private_core.transport_base import HttpSession

API_PATH = "/api/v1/tavrix"
LOGGER = "private_core.keygate"
GOOD_ANSWER = {"valid": True, "message": "hello", "plan": "pro"}
REJECTED = "Backend rejected API key validation (status=%s, payload=%s)"


class MyStr(str):
    pass


class MyDict(dict):
    pass


@pytest.fixture
def server(httpserver_ipv4):
    return httpserver_ipv4


@pytest.fixture
def session(server):
    s = HttpSession("secret", base_url=server.url_for(API_PATH), timeout=10)
    yield s
    s.close()


def answer(server, body, status=200, content_type="application/json"):
    if not isinstance(body, str):
        body = json.dumps(body)
    server.expect_request(API_PATH + "/auth/validate", method="POST").respond_with_response(
        Response(body, status=status, content_type=content_type))


def sent_body(server):
    assert len(server.log) == 1
    return json.loads(server.log[0][0].get_data())


def records(caplog, level):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno == level]


# --- module surface ------------------------------------------------------------------


def test_module_surface():
    assert keygate.VALIDATION_ENDPOINT == "/auth/validate"
    assert keygate.logger is logging.getLogger(LOGGER)
    assert validate_api_key.__doc__ == "Validate the provided API key with the backend."
    params = inspect.signature(validate_api_key).parameters
    assert [(p.name, p.kind.name, p.default) for p in params.values()] == [
        ("session", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("client_version", "KEYWORD_ONLY", inspect.Parameter.empty),
        ("include_messages", "KEYWORD_ONLY", True),
        ("extra_context", "KEYWORD_ONLY", None),
    ]
    assert validate_api_key.__annotations__["return"] is ApiKeyValidationResponse
    # Names bound at load time, in import order, before the module's own.
    names = [n for n in vars(keygate) if not n.startswith("__")]
    assert names == ["logging", "Optional", "ValidationError", "ApiKeyValidationError",
                     "HttpError", "ApiKeyValidationResponse", "HttpSession",
                     "VALIDATION_ENDPOINT", "logger", "validate_api_key"]
    assert keygate.ValidationError is pydantic.ValidationError
    assert keygate.HttpSession is HttpSession


# --- what is sent ----------------------------------------------------------------------


@pytest.mark.parametrize("kwargs, expected", [
    ({}, {"apiKey": "secret", "clientVersion": "1.2.3", "includeMessages": True}),
    ({"extra_context": None},
     {"apiKey": "secret", "clientVersion": "1.2.3", "includeMessages": True}),
    ({"extra_context": {}},
     {"apiKey": "secret", "clientVersion": "1.2.3", "includeMessages": True}),
    ({"include_messages": False, "extra_context": {"host": "ci"}},
     {"apiKey": "secret", "clientVersion": "1.2.3", "includeMessages": False,
      "context": {"host": "ci"}}),
    ({"include_messages": "yes"},
     {"apiKey": "secret", "clientVersion": "1.2.3", "includeMessages": "yes"}),
])
def test_request_body(server, session, kwargs, expected):
    answer(server, GOOD_ANSWER)
    validate_api_key(session, client_version="1.2.3", **kwargs)
    body = sent_body(server)
    assert body == expected
    assert list(body) == list(expected)  # key order, "context" last
    request = server.log[0][0]
    assert request.headers["Authorization"] == "Bearer secret"


def test_success_returns_model_and_logs_debug(server, session, caplog):
    answer(server, GOOD_ANSWER)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        result = validate_api_key(session, client_version="9.9")
    assert type(result) is ApiKeyValidationResponse
    assert (result.valid, result.message, result.plan) == (True, "hello", "pro")
    [record] = records(caplog, logging.DEBUG)
    assert record.msg == "API key validated successfully for version %s"
    assert record.args == ("9.9",)


@pytest.mark.parametrize("kwargs", [
    {},
    {"client_version": MyStr("1")},
    {"client_version": None},
    {"client_version": "1", "extra_context": MyDict(a=1)},
    {"client_version": "1", "extra_context": [("a", 1)]},
])
def test_argument_errors_send_nothing(server, session, kwargs):
    with pytest.raises(TypeError) as info:
        validate_api_key(session, **kwargs)
    assert ("client_version" in str(info.value)) or ("extra_context" in str(info.value))
    assert server.log == []


def test_session_is_the_only_positional(session):
    with pytest.raises(TypeError):
        validate_api_key(session, "1.0")


def test_endpoint_read_from_module_at_each_call(server, session, monkeypatch):
    server.expect_request(API_PATH + "/auth/v2", method="POST").respond_with_json(GOOD_ANSWER)
    monkeypatch.setattr(keygate, "VALIDATION_ENDPOINT", "/auth/v2")
    assert validate_api_key(session, client_version="1").valid is True


# --- the backend refuses ---------------------------------------------------------------


@pytest.mark.parametrize("status, body, content_type, message", [
    (401, {"detail": "Invalid API key"}, "application/json", "Invalid API key"),
    (403, {"detail": "", "message": "Plan expired"}, "application/json", "Plan expired"),
    (403, {"detail": ""}, "application/json",
     "Backend rejected API key validation (HTTP 403)"),
    (403, {"detail": None, "message": None}, "application/json",
     "Backend rejected API key validation (HTTP 403)"),
    (500, "  overloaded \n", "text/plain", "overloaded"),
    (500, " \t\n ", "text/plain", "Backend rejected API key validation (HTTP 500)"),
    (502, "", "text/plain", "Backend rejected API key validation (HTTP 502)"),
    (404, [1, 2], "application/json", "Backend rejected API key validation (HTTP 404)"),
    # Not text: shown by its text form, never as an empty or misleading message.
    (422, {"detail": [{"loc": ["body", "clientVersion"], "msg": "field required"}]},
     "application/json", "[{'loc': ['body', 'clientVersion'], 'msg': 'field required'}]"),
    (400, {"detail": 0, "message": 42}, "application/json", "42"),
    (400, {"message": 0}, "application/json", "Backend rejected API key validation (HTTP 400)"),
    (400, {"detail": [], "message": {"code": 7}}, "application/json", "{'code': 7}"),
    (401, {"detail": "  padded  "}, "application/json", "  padded  "),
])
def test_http_error_becomes_validation_error(server, session, caplog, status, body,
                                             content_type, message):
    answer(server, body, status, content_type)
    with caplog.at_level(logging.DEBUG, logger=LOGGER), \
            pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    assert info.value.args == (message,)
    cause = info.value.__cause__
    assert type(cause) is HttpError and cause.status_code == status
    assert info.value.__suppress_context__
    [record] = records(caplog, logging.ERROR)
    assert record.msg == REJECTED
    assert record.args == (status, cause.payload)
    assert record.exc_info is None
    assert records(caplog, logging.DEBUG) == []


def test_transport_failure(caplog):
    with socket.socket() as sock:  # bound then released: nothing listens there
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    with HttpSession("k", base_url=f"http://127.0.0.1:{port}") as session, \
            pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    cause = info.value.__cause__
    assert type(cause) is HttpError and cause.status_code is None
    assert isinstance(cause.__cause__, requests.ConnectionError)
    assert info.value.args == ("Backend rejected API key validation (HTTP None)",)
    assert [r.args for r in records(caplog, logging.ERROR)] == [(None, None)]


# --- malformed answers -------------------------------------------------------------------


def test_invalid_json(server, session):
    answer(server, "<html>ok</html>", 200, "text/html")
    with pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    assert info.value.args == ("Backend returned invalid JSON payload",)
    assert isinstance(info.value.__cause__, ValueError)


@pytest.mark.parametrize("body", [{"message": "no valid field"}, [], None, {"valid": "perhaps"}])
def test_schema_mismatch(server, session, body):
    answer(server, body)
    with pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1")
    assert info.value.args == ("Backend response did not match expected schema",)
    assert isinstance(info.value.__cause__, pydantic.ValidationError)


# --- fake sessions: what the function does around the send ------------------------------


class FakeSession:
    api_key = "k"

    def __init__(self, error=None, payload=GOOD_ANSWER):
        self.error, self.payload, self.calls = error, payload, []

    def post(self, path, **kwargs):
        self.calls.append((path, kwargs))
        if self.error is not None:
            raise self.error
        return self

    def json(self):
        if isinstance(self.payload, BaseException):
            raise self.payload
        return self.payload


def test_sends_once_with_json_body_keyword():
    fake = FakeSession()
    validate_api_key(fake, client_version="1")
    assert fake.calls == [("/auth/validate", {"json_body": {
        "apiKey": "k", "clientVersion": "1", "includeMessages": True}})]


@pytest.mark.parametrize("error", [KeyError("boom"), RuntimeError("x"), ValueError("y")])
def test_other_send_failure(caplog, error):
    with pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(FakeSession(error), client_version="1")
    assert info.value.args == ("Unable to validate API key",)
    assert info.value.__cause__ is error
    [record] = records(caplog, logging.ERROR)
    assert record.getMessage() == "Failed to validate API key with Tavrix backend"
    assert record.exc_info[1] is error


def test_session_without_post():
    class NoPost:
        api_key = "k"

    with pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(NoPost(), client_version="1")
    assert info.value.args == ("Unable to validate API key",)
    assert isinstance(info.value.__cause__, AttributeError)


def test_session_without_api_key_propagates():
    class NoKey:
        def post(self, *a, **k):
            raise AssertionError("must not be sent")

    with pytest.raises(AttributeError):
        validate_api_key(NoKey(), client_version="1")


def test_base_exception_propagates_unchanged():
    error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as info:
        validate_api_key(FakeSession(error), client_version="1")
    assert info.value is error


def test_http_error_without_attributes_still_handled():
    # An HttpError built from a message alone carries None in both attributes.
    with pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(FakeSession(HttpError("down")), client_version="1")
    assert info.value.args == ("Backend rejected API key validation (HTTP None)",)


def test_json_error_other_than_value_error_propagates():
    error = RuntimeError("stream closed")
    with pytest.raises(RuntimeError) as info:
        validate_api_key(FakeSession(payload=error), client_version="1")
    assert info.value is error


def test_model_errors_other_than_validation_propagate(monkeypatch):
    class Model:
        @classmethod
        def model_validate(cls, obj):
            raise LookupError(obj)

    monkeypatch.setattr(keygate, "ApiKeyValidationResponse", Model)
    with pytest.raises(LookupError):
        validate_api_key(FakeSession(), client_version="1")


def test_error_classes_read_from_module_at_each_call(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(keygate, "ApiKeyValidationError", Other)
    with pytest.raises(Other):
        validate_api_key(FakeSession(KeyError()), client_version="1")


# --- against the sandbox backend --------------------------------------------------------


def test_sandbox_valid_key(sandbox):
    with HttpSession("demo-key", base_url=sandbox.base_url) as session:
        result = validate_api_key(session, client_version="0.1.0")
    assert result.valid is True and result.plan == "sandbox"
    assert result.min_client_version == "0.1.0"
    [entry] = sandbox.stats()["log"]
    assert (entry["method"], entry["path"], entry["status"]) == (
        "POST", API_PATH + "/auth/validate", 200)


def test_sandbox_old_client_is_answered_not_refused(sandbox):
    with HttpSession("demo-key", base_url=sandbox.base_url) as session:
        result = validate_api_key(session, client_version="0.0.9", include_messages=False)
    assert (result.valid, result.message) == (False, None)


def test_sandbox_unknown_key(sandbox):
    with HttpSession("stolen", base_url=sandbox.base_url) as session, \
            pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="0.1.0")
    assert info.value.args == ("Invalid API key",)
    assert info.value.__cause__.status_code == 401


def test_sandbox_server_error(sandbox):
    sandbox.configure(faults={"/auth/validate": 500})
    with HttpSession("demo-key", base_url=sandbox.base_url) as session, \
            pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="0.1.0")
    assert info.value.args == ("Sandbox fault injected for /auth/validate",)
    assert info.value.__cause__.status_code == 500


def test_sandbox_field_errors_become_text(sandbox):
    with HttpSession("demo-key", base_url=sandbox.base_url) as session, \
            pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="latest")
    assert info.value.__cause__.status_code == 422
    assert "clientVersion" in info.value.args[0] and "expected a version" in info.value.args[0]
