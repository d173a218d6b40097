"""API key validation without HTTP: `validate_api_key` against an in-memory session,
beside the floor (building the body and validating the model, nothing else) and the
same function written in plain Python.
"""
from __future__ import annotations

import logging
from typing import Any, List

from pydantic import ValidationError
from tavrix.exceptions import ApiKeyValidationError, HttpError
from tavrix.types import ApiKeyValidationResponse

from private_core.keygate import validate_api_key

from harness import Case

logger = logging.getLogger("bench.keygate")


class MemorySession:
    api_key = "demo-key"
    answer = {"valid": True, "message": "hello", "plan": "sandbox"}

    def post(self, path: str, json_body: Any = None) -> "MemorySession":
        return self

    def json(self) -> Any:
        return self.answer


def py_validate(session: Any, *, client_version: str, include_messages: bool = True,
                extra_context: Any = None) -> ApiKeyValidationResponse:
    payload = {"apiKey": session.api_key, "clientVersion": client_version,
               "includeMessages": include_messages}
    if extra_context:
        payload["context"] = extra_context
    try:
        response = session.post("/auth/validate", json_body=payload)
    except HttpError as exc:
        raise ApiKeyValidationError(str(exc)) from exc
    except Exception as exc:
        logger.exception("Failed to validate API key with Tavrix backend")
        raise ApiKeyValidationError("Unable to validate API key") from exc
    try:
        data = response.json()
    except ValueError as exc:
        raise ApiKeyValidationError("Backend returned invalid JSON payload") from exc
    try:
        result = ApiKeyValidationResponse.model_validate(data)
    except ValidationError as exc:
        raise ApiKeyValidationError("Backend response did not match expected schema") from exc
    logger.debug("API key validated successfully for version %s", client_version)
    return result


def cases() -> List[Case]:
    session = MemorySession()

    def floor() -> Any:
        payload = {"apiKey": session.api_key, "clientVersion": "1", "includeMessages": True}
        session.post("/auth/validate", json_body=payload)
        return ApiKeyValidationResponse.model_validate(session.json())

    def check(results: dict) -> None:
        assert results["core"] == results["floor"] == results["plain"]

    return [Case("key validation (in-memory session)", {
        "core": lambda: validate_api_key(session, client_version="1"),
        "floor": floor,
        "plain": lambda: py_validate(session, client_version="1"),
    }, unit="us", check=check)]
