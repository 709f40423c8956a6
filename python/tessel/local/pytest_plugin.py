"""pytest plugin: the fixture ``local_platform``.

Registered as a pytest11 entry point, so any test of a project that installs
this package can use it. The platform is imported only when a test asks for
the fixture.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from tessel.local import LocalPlatform


@pytest.fixture
def local_platform() -> Iterator[LocalPlatform]:
    """A started local platform with the job token and TESSEL_API_URL pointed at it.

    Register workers on it with ``local_platform.register(queue, worker)``.
    Everything is restored and the platform's files are removed afterwards.
    """
    from tessel.local import LocalPlatform

    with LocalPlatform() as platform, platform.connected():
        yield platform
