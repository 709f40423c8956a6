"""Refusals of the job API, each carrying the whole answer the platform gives for it.

As with werkzeug's ``HTTPException``, an error is its own answer: its status
code, the body ``{"detail": ...}`` and any extra headers. The job store raises
them where it decides, the server raises them for what it finds wrong with a
request, and one place turns any of them into a response. Nothing here knows
HTTP machinery, so the store that raises them stays free of it.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import ClassVar


class PlatformError(Exception):
    """A request the platform refuses; ``status`` is the code it answers with."""

    status: ClassVar[int] = 400

    def __init__(self, detail: str, headers: Mapping[str, str] | None = None) -> None:
        """Refuse with the text ``detail`` and, in the answer, ``headers``."""
        super().__init__(detail)
        self.detail = detail
        self.headers = dict(headers or {})

    @property
    def body(self) -> dict[str, str]:
        """The answer's JSON body."""
        return {"detail": self.detail}


class BadRequest(PlatformError):
    """The request is malformed."""

    status = 400


class Unauthorized(PlatformError):
    """The request carries no valid credentials."""

    status = 401


class Forbidden(PlatformError):
    """The request is understood and refused."""

    status = 403


class NotFound(PlatformError):
    """Nothing is at the address, or nothing yet."""

    status = 404


class MethodNotAllowed(PlatformError):
    """The address exists for another method."""

    status = 405


class Conflict(PlatformError):
    """The job is not in a state that allows the request."""

    status = 409


class PreconditionFailed(PlatformError):
    """A condition of the platform's configuration does not hold."""

    status = 412


class PayloadTooLarge(PlatformError):
    """The request body exceeds a limit."""

    status = 413
