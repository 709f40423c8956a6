"""A small application written against the typed interface of the modules.

`make test` type-checks it with mypy --strict (and pyright) and runs it
(tests/python/test_typing.py): a fault in a stub shows up here first.
"""

from __future__ import annotations

import io
from typing import Any, TextIO

import tessel
from tessel.core import File
from tessel.external.grasshopper import *  # noqa: F403  (exports exactly GrasshopperAnalysis)
from tessel.external.offload_task import OffloadTask, _get_file_body, _JobContent, _StreamedDict
from tessel.external.plexum import Model, PlexumAnalysis
from tessel.external.tressa import *  # noqa: F403  (exports exactly TressaAnalysis)


class ReportRun(OffloadTask):
    """Streamed job content that embeds a template file."""

    _multipart_job_content = True

    def __init__(self, template: File) -> None:
        super().__init__("reports", 2)
        self.template = template

    def _write_job_content(self, w: TextIO) -> None:
        w.write('"template": "')
        with self.template.open_binary() as stream:
            self._write_file_content_to_file(w, stream, base64_encoding=True)
        w.write('"')


class BeamCheck(OffloadTask):
    def __init__(self, span: float) -> None:
        super().__init__("beams", 1)
        self.span = span

    def _generate_job_content(self) -> _JobContent:
        return _JobContent({"span": self.span})

    def moment(self) -> float:
        content = self._get_result_content()
        value = content["moment"] if isinstance(content, dict) else content.get("moment")
        return float(value)


def frame() -> PlexumAnalysis:
    model = Model()
    a = model.nodes.create(0.0, 0.0, 0.0)
    b = model.nodes.create(6.0, 0.0, 0.0)
    model.lines.create(a, b)
    model.load_cases.create("dead load")
    return PlexumAnalysis(model, return_results=True)


def job_contents() -> dict[str, Any]:
    """The job contents this application would upload, without any traffic."""
    template: tessel.File = File.from_data(b"Report for {project}")
    streamed = ReportRun(template)._get_job_content(timeout=60)
    assert isinstance(streamed, File)
    body = _get_file_body("YWJj")
    grasshopper = GrasshopperAnalysis(script=File.from_data(b"gh"), input_parameters={"n": 1})  # noqa: F405
    tressa = TressaAnalysis(script=File.from_data(b"print()"))  # noqa: F405
    return {
        "beam": BeamCheck(6.0)._get_job_content(timeout=30),
        "report": streamed.getvalue_binary().decode("utf-8"),
        "frame_version": frame()._version,
        "grasshopper_queue": grasshopper._queue_name,
        "tressa_queue": tressa._queue_name,
        "body": body.read().decode("ascii") if isinstance(body, io.BytesIO) else None,
        "streamed": _StreamedDict.from_dict({"a": 1}).to_dict(),
    }
