"""Fake platform for unit tests: sessions that record every request and answer
from a script, and a clock that advances when the code sleeps."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Callable

# The clock applications use in their own tests.
from tessel.testing import FakeClock

BASE = "https://platform.test/api/"
UPLOAD_URL = "https://storage.test/upload/1"
RESULT_URL = "https://storage.test/result/1"
USER_AGENT = {"User-Agent": "tests/1.0"}
TOKEN = "job-token"


class FakeResponse:
    def __init__(self, status_code: int, body: Any = None, *, content: bytes | None = None):
        self.status_code = status_code
        self._body = body
        self.content = content if content is not None else json.dumps(body).encode()

    def json(self) -> Any:
        return json.loads(self.content)


@dataclass
class Call:
    session: str
    verb: str
    url: str
    kwargs: dict


class FakeSession:
    def __init__(self, name: str, platform: "FakePlatform"):
        self.name, self.platform = name, platform

    def post(self, url, **kwargs):
        return self.platform.answer(Call(self.name, "POST", url, kwargs))

    def get(self, url, **kwargs):
        return self.platform.answer(Call(self.name, "GET", url, kwargs))


@dataclass
class FakePlatform:
    """Answers the job API of one queue. Each answer is a FakeResponse, an
    exception to raise, or a callable taking the Call."""

    queue: str = "q"
    job_id: str = "job-1"
    create: Any = None
    upload: Any = None
    start: Any = None
    polls: list = field(default_factory=list)
    download: Any = None
    calls: list[Call] = field(default_factory=list)
    uploaded: list[bytes] = field(default_factory=list)

    def __post_init__(self):
        if self.create is None:
            self.create = FakeResponse(200, {"id": self.job_id, "upload_url": UPLOAD_URL,
                                             "upload_data": {"token": "u-1"}})
        if self.upload is None:
            self.upload = FakeResponse(204)
        if self.start is None:
            self.start = FakeResponse(200, {})
        if self.download is None:
            self.download = FakeResponse(200, {"answer": 42})

    def succeed_after(self, pending: int, **result) -> "FakePlatform":
        self.polls = [FakeResponse(404)] * pending + [
            FakeResponse(200, {"status": "SUCCESS", "message": "", "result_url": RESULT_URL})]
        return self

    @property
    def jobs_url(self) -> str:
        return f"{BASE}jobs/{self.queue}/"

    def answer(self, call: Call):
        self.calls.append(call)
        if call.url == self.jobs_url:
            reply = self.create
        elif call.url == UPLOAD_URL:
            self.uploaded.append(read_upload(call.kwargs))
            reply = self.upload
        elif call.url == f"{self.jobs_url}{self.job_id}/start/":
            reply = self.start
        elif call.url == f"{self.jobs_url}{self.job_id}":
            reply = self.polls.pop(0)
        elif call.url == RESULT_URL:
            reply = self.download
        else:
            raise AssertionError(f"unexpected request {call}")
        if isinstance(reply, BaseException):
            raise reply
        if callable(reply) and not isinstance(reply, FakeResponse):
            return reply(call)
        return reply

    def context(self, token: str | None = TOKEN):
        platform = self

        class Context:
            job_token = token
            session = FakeSession("session", platform)
            session_with_retries = FakeSession("session_with_retries", platform)
            session_with_retries_no_read = FakeSession("session_with_retries_no_read", platform)

        return Context


def read_upload(kwargs: dict) -> bytes:
    """The bytes of the job content as a worker would receive them."""
    if "files" in kwargs:
        return kwargs["files"]["file"]
    body = kwargs["data"].to_string()
    from requests_toolbelt.multipart.decoder import MultipartDecoder

    parts = MultipartDecoder(body, kwargs["headers"]["Content-Type"]).parts
    return next(p.content for p in parts if b'name="file"' in p.headers[b"Content-Disposition"])


def patch_platform(monkeypatch, module, platform: FakePlatform, *, token: str | None = TOKEN,
                   clock: FakeClock | None = None, wait_times: Callable | None = None) -> FakeClock:
    """Points the module's globals at the fake platform, as `mock.patch` would."""
    clock = clock or FakeClock()
    monkeypatch.setattr(module, "_Context", platform.context(token))
    monkeypatch.setattr(module, "_get_api_endpoint", lambda: BASE)
    monkeypatch.setattr(module, "_get_requests_authorization_header",
                        lambda t: {"Authorization": f"Bearer {t}"})
    monkeypatch.setattr(module, "_get_requests_user_agent_header", lambda: dict(USER_AGENT))
    monkeypatch.setattr(module, "time", clock)
    if wait_times is not None:
        monkeypatch.setattr(module, "_get_wait_times_for_stepwise_polling", wait_times)
    return clock
