"""Typed answers returned to callers."""

from __future__ import annotations

from datetime import datetime
from typing import Optional

from pydantic import BaseModel, ConfigDict

__all__ = ["ApiKeyValidationResponse"]


class ApiKeyValidationResponse(BaseModel):
    """Answer of the backend's API key check. Unknown fields are ignored so
    newer backends do not break older clients."""

    model_config = ConfigDict(extra="ignore")

    valid: bool
    message: Optional[str] = None
    plan: Optional[str] = None
    expires_at: Optional[datetime] = None
    min_client_version: Optional[str] = None
