import logging
from typing import Any, Final, Optional

from tavrix.types import ApiKeyValidationResponse

from .transport_base import HttpSession

VALIDATION_ENDPOINT: Final[str]
logger: logging.Logger

def validate_api_key(
    session: HttpSession,
    *,
    client_version: str,
    include_messages: bool = True,
    extra_context: Optional[dict[str, Any]] = None,
) -> ApiKeyValidationResponse:
    """Validate the provided API key with the backend."""
