"""Client for version 1 of the platform API."""

from __future__ import annotations

from typing import Any
from urllib.parse import quote

import requests

from .core import (
    JOB_TOKEN_NOTE,
    _Context,
    _get_api_endpoint,
    _get_requests_authorization_header,
    _get_requests_user_agent_header,
)
from .errors import PermissionDeniedError, PreconditionFailedError, ResourceNotFoundError

__all__ = ["API"]

_REQUEST_TIMEOUT = 10


def _response_detail(response: requests.Response) -> str | None:
    """Return the "detail" text of a JSON error body, or None if there is none."""
    try:
        body: Any = response.json()
    except ValueError:
        return None
    if isinstance(body, dict) and body.get("detail") is not None:
        return str(body["detail"])
    return None


def _with_detail(message: str, response: requests.Response) -> str:
    """Append the server's "detail" text to ``message`` when the body carries one."""
    detail = _response_detail(response)
    return f"{message}: {detail}" if detail else message


class API:
    """Calls against the platform API, authenticated with the job token."""

    def _oauth2_integration_rotate_access_token(self, name: str) -> str:
        """Rotate the access token of the OAuth2 integration ``name`` and return the new one.

        Raises :class:`PermissionDeniedError` (401/403),
        :class:`ResourceNotFoundError` (404), :class:`PreconditionFailedError`
        (412), and :class:`ConnectionError` for any other status or when the
        API cannot be reached. Retries transient failures (see
        ``_Context.session_with_retries``).
        """
        token = _Context.job_token
        if token is None:
            error = EnvironmentError("Job token is not initialized")
            error.add_note(JOB_TOKEN_NOTE)
            raise error
        # Quote the name so it always stays a single path segment.
        url = (
            _get_api_endpoint()
            + "oauth2/integrations/"
            + quote(name, safe="")
            + "/rotate-access-token/"
        )
        headers = {
            **_get_requests_authorization_header(token),
            **_get_requests_user_agent_header(),
        }
        try:
            response = _Context.session_with_retries.post(
                url, headers=headers, timeout=_REQUEST_TIMEOUT
            )
        except requests.RequestException as exc:
            raise ConnectionError(
                f"Could not reach the platform API to rotate the access token "
                f"of integration {name!r}: {exc}"
            ) from exc

        status = response.status_code
        if status == 200:
            try:
                access_token = response.json()["access_token"]
            except (ValueError, KeyError, TypeError):
                access_token = None
            if not isinstance(access_token, str):
                raise ConnectionError(
                    f"The platform API answered the token rotation of integration "
                    f"{name!r} without an access token"
                )
            return access_token
        if status in (401, 403):
            raise PermissionDeniedError(
                _with_detail(
                    f"Not allowed to rotate the access token of integration {name!r}",
                    response,
                )
            )
        if status == 404:
            raise ResourceNotFoundError(
                _with_detail(f"OAuth2 integration {name!r} was not found", response)
            )
        if status == 412:
            raise PreconditionFailedError(
                _with_detail(
                    f"The access token of integration {name!r} cannot be rotated", response
                )
            )
        raise ConnectionError(
            _with_detail(
                f"Unexpected HTTP status {status} from the platform API while rotating "
                f"the access token of integration {name!r}",
                response,
            )
        )
