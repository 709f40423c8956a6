"""Build the job content of a small analysis and print it as it would be uploaded.

Shows both ways a subclass of OffloadTask supplies its content: a dictionary
(`_generate_job_content`) and a stream written into a File (`_write_job_content`).
"""

import io
import json
from typing import TextIO

from tessel import File
from tessel.external.offload_task import OffloadTask, _JobContent


class BeamCheck(OffloadTask):
    """A beam check on the queue "beams", job format version 1."""

    def __init__(self, span: float, load: float):
        super().__init__("beams", 1)
        self.span, self.load = span, load

    def _generate_job_content(self) -> _JobContent:
        return _JobContent(span=self.span, load=self.load, check="buckling §6.3")


class ReportRun(OffloadTask):
    """A job whose content embeds a file, written as a stream."""

    _multipart_job_content = True

    def __init__(self, template: bytes):
        super().__init__("reports", 2)
        self.template = template

    def _write_job_content(self, w: TextIO) -> None:
        w.write('"template": "')
        self._write_file_content_to_file(w, io.BytesIO(self.template), base64_encoding=True)
        w.write('"')


def main() -> None:
    content = BeamCheck(span=6.0, load=12.5)._get_job_content(timeout=60)
    print("dictionary job content:", json.dumps(content))

    file = ReportRun(b"Report for {project}\n")._get_job_content(timeout=120)
    assert isinstance(file, File)  # streamed content is always a File
    print("streamed job content:  ", file.getvalue_binary().decode("utf-8"))


if __name__ == "__main__":
    main()
