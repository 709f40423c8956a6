"""pytest plugin: the fixtures ``local_platform``, ``fake_clock`` and ``short_pauses``.

Registered as a pytest11 entry point, so any test of a project that installs
this package can use them. Nothing is imported before a test asks for a
fixture (the local platform needs the extra ``tessel-external[local]``).
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from tessel.local import LocalPlatform
    from tessel.testing import FakeClock, ShortPauses


@pytest.fixture
def local_platform() -> Iterator[LocalPlatform]:
    """A started local platform with the job token and TESSEL_API_URL pointed at it.

    Register workers on it with ``local_platform.register(queue, worker)``.
    Everything is restored and the platform's files are removed afterwards.
    """
    from tessel.local import LocalPlatform

    with LocalPlatform() as platform, platform.connected():
        yield platform


@pytest.fixture
def fake_clock() -> Iterator[FakeClock]:
    """``execute`` without real pauses: sleeping advances a fake wall clock.

    For tests whose HTTP answers are mocked; ``fake_clock.sleeps`` lists the
    pauses taken. See :mod:`tessel.testing`.
    """
    from tessel.testing import fake_clock

    with fake_clock() as clock:
        yield clock


@pytest.fixture
def short_pauses() -> Iterator[ShortPauses]:
    """``execute`` on the real clock with every pause cut to 5 ms.

    For tests against ``local_platform``, whose workers run in real time.
    """
    from tessel.testing import short_pauses

    with short_pauses() as clock:
        yield clock
