"""The rows of the local Plexum worker's result tables as CSV text."""

from typing import Any

def csv_rows(rows: list[list[Any]]) -> bytes | None: ...
