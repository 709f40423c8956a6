"""Every way Python allows of leaving, dropping or collecting a stream: no
crash, the exception in flight kept, the cleanup run once. Each case runs in
a child process so that a crash fails the case, not the run."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

CASES = [
    "raise_in_loop_caught",
    "raise_in_loop_propagates",
    "break_out",
    "return_from_loop",
    "delete_started",
    "delete_unstarted",
    "collect_cycle",
    "map_raising",
    "zip_failing",
    "throw_none",
    "throw_after_start",
    "throw_class_with_value",
    "throw_instance_with_value",
    "throw_generator_exit",
    "close_twice",
    "send_to_unstarted",
    "reentrant_next",
    "left_open_at_exit",
]
SCRIPT = Path(__file__).parent / "children" / "stream_cases.py"


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("kind", ["value", "between", "missing"])
def test_stream_ends_cleanly(kind, case):
    child = subprocess.run([sys.executable, str(SCRIPT), kind, case], capture_output=True, text=True,
                           timeout=120, env={**os.environ, "PYTHONWARNINGS": "error::DeprecationWarning"})
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}\n{child.stderr}"
    assert child.stdout == "ok\n"
    # Nothing reported as unraisable: cleanup never failed behind the caller's back.
    assert "Exception ignored" not in child.stderr, child.stderr
