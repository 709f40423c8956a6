"""Host-side SDK for external analysis tasks running on the tessel platform.

Submodules:

* :mod:`tessel.core` -- temp-file backed :class:`~tessel.core.File` objects and
  the HTTP plumbing (sessions, headers, polling schedule, multipart uploads).
* :mod:`tessel.api_v1` -- calls against version 1 of the platform API.
* :mod:`tessel.errors` -- exceptions raised for platform-side failures.
* :mod:`tessel.external` -- compiled analysis integrations.

Importing the package itself stays cheap: submodules are not imported here;
``tessel.File`` is imported on first use.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._version import __version__ as __version__

if TYPE_CHECKING:
    from .core import File as File


def __getattr__(name: str) -> Any:
    """`tessel.File` as applications write it, imported on first use."""
    if name == "File":
        from .core import File

        return File
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
