"""The rows of the local Plexum worker's results: as dicts for its answers, as CSV for its pages."""

from typing import Any

import numpy as np
import numpy.typing as npt

def dict_rows(keys: tuple[str, ...], values: npt.NDArray[np.float64]) -> list[dict[str, float]]: ...
def html_rows(rows: list[list[Any]]) -> str | None: ...
def csv_rows(rows: list[list[Any]]) -> bytes | None: ...
