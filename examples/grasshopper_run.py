"""Run a Grasshopper definition with input values and print its solve output.

The input values are matched by name to the definition's Hops parameters and
sent as data trees. Here the job runs on the local platform, whose stand-in
worker does not run Grasshopper: it checks the job and echoes the input trees
as the output "values".
"""

import json

from tessel.core import File
from tessel.external.grasshopper import GrasshopperAnalysis
from tessel.local import LocalPlatform
from tessel.local.grasshopper_worker import GrasshopperWorker

INPUT_PARAMETERS = {
    "span": 7.5,
    "supported": True,
    "profile": "HEA 200",
    "loads": [1.5, 2.0, 2.5],
    "grid": {"{0;0}": [0, 3.75], "{0;1}": [7.5]},
}


def main() -> None:
    # Stands in for the bytes of a .gh file, e.g. File.from_path("beam.gh").
    script = File.from_data(b"beam definition")
    with LocalPlatform() as platform, platform.connected():
        GrasshopperWorker().register(platform)
        analysis = GrasshopperAnalysis(script=script, input_parameters=INPUT_PARAMETERS)
        analysis.execute(timeout=10)
        output = analysis.get_output()
    print(f"{len(output['values'])} data trees came back, errors: {output['errors']}")
    for tree in output["values"]:
        print(json.dumps(tree))


if __name__ == "__main__":
    main()
