"""Run an analysis end to end on the local job platform and print what came back.

The platform runs in this process on 127.0.0.1; a demo worker on the queue
"beams" checks a simply supported beam under a uniform load. The analysis is
an ordinary OffloadTask subclass: execute() creates the job, uploads its
content, starts it, polls until the worker has answered and downloads the
result, all over HTTP.
"""

import json
from typing import Any

from tessel.errors import ModelError
from tessel.external.offload_task import OffloadTask, _JobContent
from tessel.local import LocalPlatform, WorkerFailure


class BeamCheck(OffloadTask):
    """Bending check of a simply supported beam (span in m, load in kN/m)."""

    def __init__(self, span: float, load: float, resistance: float):
        super().__init__("beams", 1)
        self.span, self.load, self.resistance = span, load, resistance

    def _generate_job_content(self) -> _JobContent:
        return _JobContent(span=self.span, load=self.load, resistance=self.resistance)

    def _handle_execution_error(self, message: str) -> None:
        # The worker reports invalid input with a message of its own.
        if message.startswith("invalid input: "):
            raise ModelError(message.removeprefix("invalid input: "))

    def get_results(self) -> dict[str, Any]:
        content = self._get_result_content()
        assert isinstance(content, dict)  # only the queues "scia" and "idearcs" stream
        return content


def beam_worker(content: dict[str, Any]) -> dict[str, Any]:
    """What a worker next to an engineering program would do, in a few lines."""
    span, load = content["span"], content["load"]
    if span <= 0:
        raise WorkerFailure("ERROR", f"invalid input: the span must be positive, got {span}")
    moment = load * span**2 / 8
    return {
        "max_moment": moment,                      # kNm, at mid-span
        "max_shear": load * span / 2,              # kN, at the supports
        "unity_check": round(moment / content["resistance"], 3),
        "worker_saw": content,
    }


def main() -> None:
    with LocalPlatform() as platform, platform.connected():
        platform.register("beams", beam_worker)
        print(f"local platform at {platform.api_url}")

        check = BeamCheck(span=6.0, load=12.5, resistance=80.0)
        check.execute(timeout=30)
        print("result content:", json.dumps(check.get_results(), indent=2))

        try:
            BeamCheck(span=0.0, load=1.0, resistance=1.0).execute(timeout=30)
        except Exception as error:  # the worker's failure, mapped by OffloadTask
            print(f"failed job: {type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
