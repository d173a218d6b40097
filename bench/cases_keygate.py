"""API key validation without HTTP: `validate_api_key` against an in-memory session,
beside the floor (building the body and validating the model, nothing else) and the
same function written in plain Python (tests/models/keygate_model.py).
"""
from __future__ import annotations

from typing import Any, List

from tavrix.types import ApiKeyValidationResponse

from private_core_models import keygate_model

from private_core.keygate import validate_api_key

from harness import Case


class MemorySession:
    api_key = "demo-key"
    answer = {"valid": True, "message": "hello", "plan": "sandbox"}

    def post(self, path: str, json_body: Any = None) -> "MemorySession":
        return self

    def json(self) -> Any:
        return self.answer


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
        "plain": lambda: keygate_model.validate(session, client_version="1"),
    }, unit="us", check=check)]
