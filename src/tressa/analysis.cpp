// TressaAnalysis: the host SDK's script analysis under the integration name
// "tressa"; every behaviour is the base class's.
#include "tressa/tressa.h"

namespace tessel::tressa {
namespace {

constexpr const char* kClassDoc =
    " ::version(14.17.0)\n"
    "\n"
    "Perform an analysis using Tressa on a remote server by means of a worker, which runs a script that "
    "drives Tressa.\n"
    "\n"
    "The script is expected to be blocking: when it is started from a command prompt it returns only after "
    "Tressa has finished.\n"
    "\n"
    "By default the script is defined within the application and sent to the worker to be run there. For "
    "security reasons a worker can be configured to run only local scripts, defined in its configuration file "
    "and selected through `script_key`.\n"
    "\n"
    "Usage::\n"
    "\n"
    "    script = tessel.File.from_path(Path(__file__).parent / \"run_tressa.py\")\n"
    "    files = [('input1.txt', file1)]\n"
    "    analysis = TressaAnalysis(script=script, files=files, output_filenames=[\"output.txt\"])\n"
    "    analysis.execute(timeout=60)\n"
    "    output_file = analysis.get_output_file(\"output.txt\")\n"
    "\n"
    ":param script: the Tressa script (File)\n"
    ":param files: input files for the script, as a list of pairs of a file name and a File, "
    "e.g. ('input1.txt', file1)\n"
    ":param output_filenames: names of the output files to bring back, e.g. [\"output.txt\"]\n"
    ":param script_key: selects a script that is defined locally in the worker's configuration file, "
    "instead of sending one\n"
    "\n"
    "Exceptions which can be raised during calculation:\n"
    "\n"
    "    - ExecutionError: generic error. Error message provides more information\n";

}  // namespace

void populate_analysis(nb::module_&) {
    bind::import_names(g, "tessel.external.python", {"PythonAnalysis"});
    bind::ClassBuilder(g, "TressaAnalysis", kClassDoc)
        .base(g("PythonAnalysis"))
        .attr("_integration", nb::str("tressa"))
        .build();
}

}  // namespace tessel::tressa
