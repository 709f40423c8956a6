"""_convert_dict_to_gh_trees on 10^5 input items against a plain-Python
rendition of the same conversion, measured in the same run.

The input mixes the three shapes applications send: flat lists, branch
dictionaries (items converted to text, and records) and lone scalars.
"""

from __future__ import annotations

import random
import re
import sys
import time

from tessel.external.grasshopper import _convert_dict_to_gh_trees

ITEMS = 10**5
REPEATS = 7


# ------------------------------------------------- the plain-Python rendition

def _index_of_branch(branch_input):
    return [int(i) for i in re.findall(r"\d+", branch_input)]


class _DataTree:
    def __init__(self, name):
        self.data = {"ParamName": name, "InnerTree": {}}

    def append(self, path, items):
        key = ""
        for element in path:
            if key == "":
                key = str(element)
            else:
                key += ";" + str(element)
        self.data["InnerTree"][key] = [{"data": item} for item in items]


def python_convert(d):
    trees = []
    for key, value in d.items():
        tree = _DataTree(key)
        if isinstance(value, dict):
            for k, v in value.items():
                if isinstance(v[0], dict):
                    tree.append(_index_of_branch(k), [item["data"] for item in v])
                else:
                    tree.append(_index_of_branch(k), [str(item) for item in v])
        elif isinstance(value, bool):
            tree.append(["{0}"], [value])
        elif isinstance(value, list):
            tree.append(["{0}"], value)
        else:
            tree.append(["{0}"], [str(value)])
        trees.append(tree)
    return trees


# ----------------------------------------------------------------- the input

def scalar(rng: random.Random):
    kind = rng.randrange(6)
    if kind == 0:
        return rng.randrange(-10**6, 10**6)
    if kind == 1:
        return rng.uniform(-1e3, 1e3)
    if kind == 2:
        return f"text-{rng.randrange(10**4)}"
    if kind == 3:
        return rng.random() < 0.5
    if kind == 4:
        return None
    return (rng.randrange(10), rng.randrange(10))


def make_input(rng: random.Random) -> tuple[dict, dict[str, int]]:
    """About a third of the items in each shape; returns the input and the item counts."""
    d: dict = {}
    counts = {"flat lists": 0, "branch dictionaries": 0, "lone scalars": 0}
    for i in range(330):  # flat lists of 100 items
        d[f"list_{i}"] = [scalar(rng) for _ in range(100)]
        counts["flat lists"] += 100
    for i in range(165):  # 4 branches of 50: two of values, two of records
        branches = {}
        for b in range(4):
            if b < 2:
                branches[f"{{0;{i};{b}}}"] = [scalar(rng) for _ in range(50)]
            else:
                branches[f"{{1;{i};{b}}}"] = [{"data": scalar(rng), "type": "x"} for _ in range(50)]
        d[f"tree_{i}"] = branches
        counts["branch dictionaries"] += 200
    remaining = ITEMS - sum(counts.values())
    for i in range(remaining):
        d[f"scalar_{i}"] = scalar(rng)
    counts["lone scalars"] = remaining
    return d, counts


def best_of(fn, arg) -> float:
    """Best time of the conversion itself; the trees are freed off the clock."""
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        trees = fn(arg)
        best = min(best, time.perf_counter() - start)
        del trees
    return best


def main() -> None:
    d, counts = make_input(random.Random(5))
    if [t.data for t in _convert_dict_to_gh_trees(d)] != [t.data for t in python_convert(d)]:
        sys.exit("the two conversions disagree")

    print(f"_convert_dict_to_gh_trees, {sum(counts.values())} items "
          + ", ".join(f"{n} {shape}" for shape, n in counts.items())
          + f"; best of {REPEATS}")
    native = best_of(_convert_dict_to_gh_trees, d)
    python = best_of(python_convert, d)
    print(f"  C++ module      {native * 1e3:8.2f} ms")
    print(f"  plain Python    {python * 1e3:8.2f} ms")
    print(f"  ratio           {python / native:8.2f}x")

    for shape, prefix in (("flat lists", "list_"), ("branch dictionaries", "tree_"), ("lone scalars", "scalar_")):
        part = {k: v for k, v in d.items() if k.startswith(prefix)}
        n, p = best_of(_convert_dict_to_gh_trees, part), best_of(python_convert, part)
        print(f"  {shape:20s} C++ {n * 1e3:7.2f} ms  Python {p * 1e3:7.2f} ms  ratio {p / n:5.2f}x")


if __name__ == "__main__":
    main()
