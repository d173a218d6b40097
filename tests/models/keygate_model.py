"""The key validation written as ordinary Python: the property test compares
`validate_api_key` with it, and bench/ times the core beside it."""
import logging

from pydantic import ValidationError
from tavrix.exceptions import ApiKeyValidationError, HttpError
from tavrix.types import ApiKeyValidationResponse

from .signatures import wrong_type

logger = logging.getLogger("keygate_model")
REJECTED = "Backend rejected API key validation (status=%s, payload=%s)"
NO_TEXT = "Backend rejected API key validation (HTTP %s)"


def validate(session, *, client_version, include_messages=True, extra_context=None):
    if type(client_version) is not str:
        raise TypeError(wrong_type("client_version", client_version, "str"))
    if extra_context is not None and type(extra_context) is not dict:
        raise TypeError(wrong_type("extra_context", extra_context, "dict"))
    body = {"apiKey": session.api_key, "clientVersion": client_version, "includeMessages": include_messages}
    if extra_context:
        body["context"] = extra_context
    try:
        response = session.post("/auth/validate", json_body=body)
    except HttpError as exc:
        status, payload = exc.status_code, exc.payload
        logger.error(REJECTED, status, payload)
        message = None
        if isinstance(payload, dict):
            message = payload.get("detail") or payload.get("message")
        elif isinstance(payload, str):
            message = payload.strip()
        message = (message if isinstance(message, str) else str(message)) if message else None
        if not message:
            message = NO_TEXT % format(status, "")
        raise ApiKeyValidationError(message) from exc
    except Exception as exc:  # noqa: BLE001 - any other failure of the send, as documented
        logger.exception("Failed to validate API key with Tavrix backend")
        raise ApiKeyValidationError("Unable to validate API key") from exc
    try:
        payload = response.json()
    except ValueError as exc:
        raise ApiKeyValidationError("Backend returned invalid JSON payload") from exc
    try:
        result = ApiKeyValidationResponse.model_validate(payload)
    except ValidationError as exc:
        raise ApiKeyValidationError("Backend response did not match expected schema") from exc
    logger.debug("API key validated successfully for version %s", client_version)
    return result
