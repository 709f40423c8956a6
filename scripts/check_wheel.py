"""Check a built wheel: it holds the four modules, their stubs, the local platform's JSON writer and worker's
painter, table writer and record test, and the licence, and nothing that exists only for this repository's tests."""

import re
import sys
import zipfile

REQUIRED = [
    r"tessel/external/offload_task\..*\.so",
    r"tessel/external/plexum\..*\.so",
    r"tessel/external/grasshopper\..*\.so",
    r"tessel/external/tressa\..*\.so",
    r"tessel/external/offload_task\.pyi",
    r"tessel/external/plexum\.pyi",
    r"tessel/external/grasshopper\.pyi",
    r"tessel/external/tressa\.pyi",
    r"tessel/local/_json_text\..*\.so",
    r"tessel/local/_json_text\.pyi",
    r"tessel/local/plexum_worker/_painter\..*\.so",
    r"tessel/local/plexum_worker/_painter\.pyi",
    r"tessel/local/plexum_worker/_tables\..*\.so",
    r"tessel/local/plexum_worker/_tables\.pyi",
    r"tessel/local/plexum_worker/_records\..*\.so",
    r"tessel/local/plexum_worker/_records\.pyi",
    r"tessel/py\.typed",
    r"tessel_external-[^/]+\.dist-info/licenses/LICENSE",
]
# Test-only content: the binding layer's self-test module, test folders, the
# Plexum job records that the worker's tests write directly.
FORBIDDEN = [r"(^|/)_bind_selftest\b", r"(^|/)tests?/", r"(^|/)conftest\.py$", r"(^|/)(plexum_)?records\.py$"]


def problems(names: list[str]) -> list[str]:
    found = [f"test-only file in the wheel: {name}" for name in names
             if any(re.search(pattern, name) for pattern in FORBIDDEN)]
    found += [f"missing from the wheel: {pattern}" for pattern in REQUIRED
              if not any(re.fullmatch(pattern, name) for name in names)]
    return found


def main(paths: list[str]) -> int:
    if not paths:
        print("usage: check_wheel.py WHEEL...", file=sys.stderr)
        return 2
    failed = False
    for path in paths:
        with zipfile.ZipFile(path) as wheel:
            names = wheel.namelist()
        found = problems(names)
        for problem in found:
            print(f"{path}: {problem}", file=sys.stderr)
        failed |= bool(found)
        if not found:
            print(f"{path}: {len(names)} files, no test module")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
