import logging
from types import TracebackType
from typing import Any, Final, Optional

import requests

BASE_URL: Final[str]
DEFAULT_TIMEOUT: Final = 30
logger: logging.Logger

def _default_user_agent(version: str) -> str: ...

class HttpSession:
    """Lightweight wrapper around :class:`requests.Session` with Tavrix defaults."""

    api_key: str
    base_url: str
    timeout: int
    _session: requests.Session
    def __init__(
        self,
        api_key: str,
        *,
        base_url: str = ...,
        version: str = "0.0.0",
        timeout: int = 30,
        user_agent: Optional[str] = None,
    ) -> None: ...
    def _prepare_url(self, path: str) -> str: ...
    def request(
        self,
        method: str,
        path: str,
        *,
        params: Optional[dict[str, Any]] = None,
        json_body: Optional[dict[str, Any]] = None,
        data: Any = None,
        headers: Optional[dict[str, Any]] = None,
        timeout: Optional[int] = None,
    ) -> requests.Response: ...
    def get(
        self,
        path: str,
        *,
        params: Optional[dict[str, Any]] = None,
        headers: Optional[dict[str, Any]] = None,
        timeout: Optional[int] = None,
    ) -> requests.Response: ...
    def post(
        self,
        path: str,
        *,
        json_body: Optional[dict[str, Any]] = None,
        data: Any = None,
        headers: Optional[dict[str, Any]] = None,
        timeout: Optional[int] = None,
    ) -> requests.Response: ...
    def close(self) -> None: ...
    def __enter__(self) -> HttpSession: ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
