"""The worker's errors: each message names the record (list, position, function) or the object at fault.

A `ReplayError` (and a `MeshError`) is a record that Plexum would refuse or
that the worker cannot compute; an `AnalysisError` (and a `LoadError`, an
`OffsetError`) is a model that cannot be analysed. The worker fails the job
with the message of either.
"""

from __future__ import annotations


class ReplayError(Exception):
    """A record that Plexum would refuse; the message names the record."""


class MeshError(ReplayError):
    """A domain that cannot be turned into a mesh; the message names its record."""


class AnalysisError(Exception):
    """The analysis cannot be done; the message says why and where."""


class LoadError(AnalysisError):
    """A surface load that cannot be applied; the message names its record."""


class OffsetError(AnalysisError):
    """An eccentricity whose reference points define no offset over the domain; the message names it."""
