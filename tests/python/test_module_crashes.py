"""Inputs that once crashed the interpreter exit cleanly with Python's own
exceptions. Each case runs in a child process so that a crash fails the
case, not the run (and under the sanitizer build, any bad memory access)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).parent / "children" / "module_cases.py"
CASES = ["young_lists_walked_while_ids_are_read", "foreign_self_is_refused",
         "patched_exception_types_raise_type_error", "second_import_keeps_old_models"]


@pytest.mark.parametrize("case", CASES)
def test_case_exits_cleanly(case):
    child = subprocess.run([sys.executable, str(SCRIPT), case], capture_output=True, text=True, timeout=300,
                           env=os.environ)
    assert (child.returncode, child.stdout) == (0, "ok\n"), f"exit {child.returncode}\n{child.stdout}\n{child.stderr}"
