"""Deflate for the result page: its PNG layers and its embedded tables.

ISA-L (the isal package, installed with the local platform) deflates several
times faster than zlib, into streams about as small as zlib's at levels 1 to
3; where it is not installed, zlib does it at the level asked for. Either way
the output is a standard zlib stream or gzip file.
"""

from __future__ import annotations

import gzip
import zlib
from types import ModuleType

_igzip: ModuleType | None
_isal_zlib: ModuleType | None
try:
    from isal import igzip as _igzip, isal_zlib as _isal_zlib
except ImportError:  # pragma: no cover - depends on the machine
    _igzip = _isal_zlib = None

ISAL_LEVEL = 1


def zlib_stream(data: bytes, level: int) -> bytes:
    """The data as a zlib stream (zlib's `level` where ISA-L is not installed)."""
    if _isal_zlib is not None:
        return bytes(_isal_zlib.compress(data, ISAL_LEVEL))
    return zlib.compress(data, level)


def gzip_file(data: bytes, level: int) -> bytes:
    """The data as a gzip file without a time stamp (zlib's `level` where ISA-L is not installed)."""
    if _igzip is not None:
        return bytes(_igzip.compress(data, ISAL_LEVEL, mtime=0))
    return gzip.compress(data, level, mtime=0)
