"""The stand-ins for the public package's exceptions and response model, as the
fetchers and the key check raise and validate with them."""
import pydantic
import pytest
from tavrix.exceptions import ApiKeyValidationError, DataDecodingError, HttpError
from tavrix.types import ApiKeyValidationResponse


@pytest.mark.parametrize("kwargs", [{}, {"status_code": 404, "payload": {"detail": "x"}}])
def test_http_error_attributes(kwargs):
    err = HttpError("failed", **kwargs)
    assert (str(err), err.args) == ("failed", ("failed",))
    assert err.status_code == kwargs.get("status_code")
    assert err.payload == kwargs.get("payload")


@pytest.mark.parametrize("exc", [HttpError("x", 502), DataDecodingError("x"), ApiKeyValidationError("x")])
def test_raise_from_keeps_cause(exc):
    cause = ValueError("low level")
    with pytest.raises(type(exc)) as info:
        raise exc from cause
    assert info.value.__cause__ is cause


def test_model_validate_ok():
    r = ApiKeyValidationResponse.model_validate(
        {"valid": True, "plan": "pro", "expires_at": "2030-01-02T03:04:05Z", "extra": 1})
    assert (r.valid, r.plan, r.message, r.expires_at.year) == (True, "pro", None, 2030)


@pytest.mark.parametrize("obj", [None, [], "valid", {}, {"message": "ok"}, {"valid": "maybe"}])
def test_model_validate_rejects(obj):
    with pytest.raises(pydantic.ValidationError):
        ApiKeyValidationResponse.model_validate(obj)
