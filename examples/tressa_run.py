"""Run a Tressa script with an input file and read back its output file.

First the script is sent with the job; then the worker is configured, for
security, to run only the local scripts in its configuration, and the job
selects the script through `script_key`. Both run on the local platform.
"""

from pathlib import Path

from tessel.core import File
from tessel.external.tressa import TressaAnalysis
from tessel.local import LocalPlatform
from tessel.local.script_worker import ScriptWorker

SCRIPT = Path(__file__).parent / "tressa_script.py"


def main() -> None:
    file1 = File.from_data("B1 6.0\nB2 4.5\nC1 3.2\n")
    files = [("input1.txt", file1)]
    with LocalPlatform() as platform, platform.connected():
        ScriptWorker().register(platform)
        analysis = TressaAnalysis(script=File.from_path(SCRIPT), files=files, output_filenames=["output.txt"])
        analysis.execute(timeout=60)
        print("script sent with the job:")
        print(analysis.get_output_file("output.txt").getvalue_binary().decode())

        ScriptWorker(local_scripts={"member-lengths": SCRIPT}, only_local_scripts=True).register(platform)
        analysis = TressaAnalysis(script_key="member-lengths", files=files, output_filenames=["output.txt"])
        analysis.execute(timeout=60)
        print("local script selected by script_key:")
        print(analysis.get_output_file("output.txt").getvalue_binary().decode())


if __name__ == "__main__":
    main()
