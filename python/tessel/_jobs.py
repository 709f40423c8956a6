"""Job life cycle of the SDK's own analyses: create a job on a queue, upload
its content, start it, poll it until it ends and fetch its result.

All traffic goes through the sessions of `_Context`. The names imported below
are looked up each time a job runs, so they can be replaced on this module.
"""

from __future__ import annotations

import json
import logging
import time
from collections.abc import Callable, Mapping
from typing import Any

from tessel.core import (
    JOB_TOKEN_NOTE,
    File,
    _Context,
    _get_api_endpoint,
    _get_requests_authorization_header,
    _get_requests_user_agent_header,
    _get_wait_times_for_stepwise_polling,
    _MultipartEncoder,
)
from tessel.errors import ExecutionError

logger = logging.getLogger(__name__)

# Seconds: job API requests; (connect, read) for moving job content and results.
_API_TIMEOUT = 10
_TRANSFER_TIMEOUT = (10, 300)
# Seconds between starting a job and polling it for the first time.
_FIRST_POLL_DELAY = 0.5
# Characters of a response body kept in an error's note.
_BODY_EXCERPT = 500

# Worker messages that say more to the user in other words.
_WORKER_MESSAGES = {
    "Error creating directory": "Error creating directory, please check worker permissions",
    "Remove files error 1": "Error removing files, please check worker permissions",
    "Remove files error 2": "Error removing files, please check worker permissions",
    "Remove files error 3": "Error removing files, please check worker permissions",
}
_VERSION_NOT_SUPPORTED = "CONTENT_VERSION_NOT_SUPPORTED_ERROR"
_UNEXPLAINED_FAILURE = "Something went wrong during the execution."


def run_job(queue: str, timeout: float, job_content: Callable[[], File], requester: str) -> Any:
    """Run one job on `queue` and return its result content, parsed from JSON.

    `job_content` is called once the job exists and gives the File to upload.
    `timeout` (seconds) bounds the polling. `requester` names the analysis
    when the worker is too old for its job format. Errors for unexpected
    answers carry the request, the status and the start of the body as a note.
    """
    token = _Context.job_token
    if token is None:
        error = EnvironmentError("Job token is not initialized")
        error.add_note(JOB_TOKEN_NOTE)
        raise error
    headers = {**_get_requests_authorization_header(token), **_get_requests_user_agent_header()}
    jobs_url = f"{_get_api_endpoint()}jobs/{queue}/"
    created = _Context.session.post(jobs_url, json={}, headers=headers, timeout=_API_TIMEOUT)
    if created.status_code == 404:
        raise _with_note(ConnectionError(created.json()["detail"]), _evidence("POST", jobs_url, created))
    if created.status_code != 200:
        raise _with_note(ConnectionError("External program is not accessible"),
                         _evidence("POST", jobs_url, created))
    job = created.json()
    name = f'job {job["id"]} on queue "{queue}"'
    logger.debug("Created %s", name)
    _upload(job["upload_url"], job["upload_data"], job_content())
    logger.debug("Uploaded the content of %s", name)
    job_url = f"{jobs_url}{job['id']}"
    _Context.session_with_retries.post(f"{job_url}/start/", headers=headers, timeout=_API_TIMEOUT)
    logger.debug("Started %s", name)
    return _download(_wait_for_end(job_url, name, headers, timeout, requester))


def _with_note(error: Exception, note: str) -> Exception:
    error.add_note(note)
    return error


def _evidence(verb: str, url: str, response: Any) -> str:
    """ "VERB URL answered HTTP STATUS: BODY", without the URL's query (signed
    storage addresses carry credentials there) and with the body shortened."""
    body = getattr(response, "content", None)
    if isinstance(body, (bytes, bytearray)):
        text = body.decode("utf-8", "replace")
    elif isinstance(body, str):
        text = body
    else:
        text = None
    if text is None:
        shown = "(no body)"
    elif not text:
        shown = "(empty body)"
    elif len(text) > _BODY_EXCERPT:
        shown = f"{text[:_BODY_EXCERPT]}... ({len(text)} characters in all)"
    else:
        shown = text
    address = str(url).partition("?")[0]
    return f"{verb} {address} answered HTTP {getattr(response, 'status_code', None)}: {shown}"


def _upload(url: str, fields: Mapping[str, str], content: File) -> None:
    """Stream `content` to `url` as the file part of a form holding `fields`."""
    with content.open_binary() as stream:
        body = _MultipartEncoder(fields, stream)
        headers = {"Content-Type": body.content_type, **_get_requests_user_agent_header()}
        answer = _Context.session_with_retries_no_read.post(
            url, data=body, headers=headers, timeout=_TRANSFER_TIMEOUT
        )
    if answer.status_code != 204:
        raise _with_note(ValueError("Sending job to external program has failed."),
                         _evidence("POST", url, answer))


def _wait_for_end(job_url: str, name: str, headers: dict[str, str], timeout: float, requester: str) -> str:
    """Poll the job until it ends; return its result URL, or raise how it failed.

    The time-out is checked before each poll; a pause once begun is not cut short.
    """
    time.sleep(_FIRST_POLL_DELAY)
    wait_times = _get_wait_times_for_stepwise_polling(minimum_interval=1.0)
    started = time.time()
    polls = 0
    while time.time() - started < timeout:
        answer = _Context.session_with_retries.get(job_url, headers=headers, timeout=_API_TIMEOUT)
        polls += 1
        if answer.status_code == 404:  # not ended yet
            time.sleep(next(wait_times))
            continue
        if answer.status_code != 200:
            raise _with_note(ValueError("Unexpected error"), _evidence("GET", job_url, answer))
        ended = answer.json()
        status, message, result_url = ended["status"], ended["message"], ended["result_url"]
        logger.debug('The %s ended with status "%s"', name, status)
        if status != "SUCCESS":
            raise _failure(status, message, requester, name)
        url: str = result_url
        return url
    note = f"The {name} had not ended after {polls} polls; it is left to the platform"
    logger.debug(note)
    raise _with_note(
        TimeoutError(f"Timeout: external analysis has taken longer than {timeout} seconds"), note
    )


def _failure(status: str, message: Any, requester: str, name: str) -> ExecutionError:
    """The error of a job that ended with `status` and the worker's `message`."""
    said = f'The {name} ended with status "{status}"; the worker said: {message}'
    text = message if isinstance(message, str) else ""
    if text in _WORKER_MESSAGES:
        return ExecutionError(_WORKER_MESSAGES[text])
    if status == _VERSION_NOT_SUPPORTED:
        return ExecutionError(
            "Current worker version does not support the feature you are requesting on "
            f"'{requester}'. Please contact TESSEL to receive the latest worker."
        )
    error = ExecutionError(text or _UNEXPLAINED_FAILURE)
    if not text:
        error.add_note(said)
    return error


def _download(url: str) -> Any:
    """Fetch and parse the result content at `url` (no authorization: the URL is the key)."""
    answer = _Context.session_with_retries_no_read.get(
        url, headers=_get_requests_user_agent_header(), timeout=_TRANSFER_TIMEOUT
    )
    if answer.status_code != 200:
        raise _with_note(ValueError("Result can not be obtained"), _evidence("GET", url, answer))
    return json.loads(answer.content.decode("utf-8"))
