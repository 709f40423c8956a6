"""Properties of the solid cross-sections and the concrete catalogue."""

from __future__ import annotations

import json
import math
from functools import lru_cache
from importlib import resources
from typing import Any


def rectangle(b: float, h: float) -> tuple[float, float, float, float]:
    """Area, I_y, I_z and torsion constant of a b x h rectangle (b along local y, h along local z)."""
    return b * h, b * h ** 3 / 12.0, h * b ** 3 / 12.0, rectangle_torsion(b, h)


def rectangle_torsion(b: float, h: float) -> float:
    """Saint-Venant torsion constant of a solid rectangle, by the exact series.

    J = a c^3 [1/3 - (64 / pi^5) (c / a) sum over odd n of tanh(n pi a / (2 c)) / n^5],
    a the long side and c the short one. The terms fall as n^-5; the sum stops
    when a term no longer changes it.
    """
    a, c = max(b, h), min(b, h)
    total, n = 0.0, 1
    while True:
        term = math.tanh(n * math.pi * a / (2.0 * c)) / n ** 5
        total += term
        if term < 1e-17 * total:
            break
        n += 2
    return a * c ** 3 * (1.0 / 3.0 - 64.0 / math.pi ** 5 * (c / a) * total)


def circle(d: float) -> tuple[float, float, float, float]:
    """Area, I_y, I_z and torsion constant of a solid circle of diameter d."""
    i = math.pi * d ** 4 / 64.0
    return math.pi * d ** 2 / 4.0, i, i, 2.0 * i


@lru_cache(maxsize=1)
def concrete_catalogue() -> dict[str, Any]:
    """The EN 1992-1-1 concrete grades by name, from the worker's data file."""
    text = resources.files("tessel.local.plexum_worker").joinpath("data/concrete_en1992.json").read_text("utf-8")
    table = json.loads(text)
    grades = {grade["name"]: grade for grade in table["grades"]}
    return {"grades": grades, "nu": table["poisson_ratio"], "rho": table["density"],
            "alpha": table["thermal_expansion"]}
