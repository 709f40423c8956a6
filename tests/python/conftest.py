import pytest

import tessel.external.offload_task as offload_task

from fakes import FakePlatform, patch_platform


class Analysis(offload_task.OffloadTask):
    """A minimal analysis as an application would write it."""

    def __init__(self, queue="q", version=1, content=None):
        super().__init__(queue, version)
        self.content = {"input": [1, 2.5, "é"]} if content is None else content

    def _generate_job_content(self):
        return offload_task._JobContent(self.content)


@pytest.fixture
def platform(monkeypatch):
    """A fake platform wired into the module's globals; returns (platform, clock)."""
    p = FakePlatform().succeed_after(0)
    p.clock = patch_platform(monkeypatch, offload_task, p)
    return p


@pytest.fixture
def analysis():
    return Analysis()


@pytest.fixture
def plexum_platform(local_platform, monkeypatch):
    """The local platform with the Plexum worker registered, polled every 0.1 s."""
    import itertools

    from tessel.local.plexum_worker import PlexumWorker

    monkeypatch.setattr(offload_task, "_get_wait_times_for_stepwise_polling",
                        lambda minimum_interval: itertools.repeat(0.1))
    PlexumWorker().register(local_platform)
    return local_platform
