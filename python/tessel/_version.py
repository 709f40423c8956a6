"""The package version, in one place (read by the build as well)."""

__version__ = "0.1.0"
