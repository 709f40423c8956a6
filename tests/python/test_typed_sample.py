"""The typed sample application (type-checked by `make test`) also runs."""

import json
import runpy
from pathlib import Path

SAMPLE = Path(__file__).resolve().parents[1] / "typing" / "sample_app.py"


def test_typed_sample_application_runs():
    sample = runpy.run_path(str(SAMPLE), run_name="sample_app")
    assert json.dumps(sample["job_contents"]()) == json.dumps({
        "beam": {"span": 6.0, "version": 1, "execution_timeout": 30},
        "report": '{"template": "UmVwb3J0IGZvciB7cHJvamVjdH0=", "version": 2, "execution_timeout": 60}',
        "frame_version": 1,
        "grasshopper_queue": "grasshopper",
        "tressa_queue": "tressa",
        "body": "abc",
        "streamed": {"a": 1},
    })
