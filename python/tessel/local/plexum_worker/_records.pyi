"""The quick test that a record's parameters fit their shape in the Plexum record table."""

from typing import Any

class Shape:
    def __init__(self, entries: list[tuple[str, int | Shape]]) -> None: ...
    def fits(self, params: Any) -> bool: ...
