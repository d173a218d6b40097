"""Exception classes raised by the native core."""

from __future__ import annotations

from typing import Any, Optional

__all__ = ["TavrixError", "HttpError", "DataDecodingError", "ApiKeyValidationError"]


class TavrixError(Exception):
    """Common base, so callers can catch everything the client raises."""


class HttpError(TavrixError):
    """A request failed: transport error (no status) or a non-success HTTP answer."""

    status_code: Optional[int]
    payload: Any

    def __init__(self, message: str, status_code: Optional[int] = None, payload: Any = None) -> None:
        # Only the message goes into args so str(err) stays the plain message.
        super().__init__(message)
        self.status_code = status_code
        self.payload = payload


class DataDecodingError(TavrixError):
    """The server answered, but the body could not be decoded into data."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class ApiKeyValidationError(TavrixError):
    """The API key was rejected, or its validation answer was unusable."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
