"""Exceptions raised when the platform or a model reports a failure."""

__all__ = [
    "TesselError",
    "ModelError",
    "ExecutionError",
    "PermissionDeniedError",
    "ResourceNotFoundError",
    "PreconditionFailedError",
]


class TesselError(Exception):
    """Base class of all tessel errors; ``str(error)`` is the message."""

    def __init__(self, message: str) -> None:
        """Create the error from a single human-readable ``message``."""
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        """Return the message text."""
        return self.message


class ModelError(TesselError):
    """The model given to an analysis is invalid or cannot be processed."""


class ExecutionError(TesselError):
    """An analysis was started but failed while running."""


class PermissionDeniedError(TesselError):
    """The credentials in use are not allowed to perform the request."""


class ResourceNotFoundError(TesselError):
    """The requested resource does not exist on the platform."""


class PreconditionFailedError(TesselError):
    """The platform refused the request because a precondition is not met."""
