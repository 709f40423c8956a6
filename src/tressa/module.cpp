#include "tressa/tressa.h"

NB_MODULE(tressa, m) {
    using namespace tessel::tressa;
    m.doc() = "Tressa scripts run on a remote worker next to Tressa.";
    tessel::bind::ActiveModule active(&g.bind(m));
    populate_analysis(m);
    nb::list all;
    all.append("TressaAnalysis");
    m.attr("__all__") = all;
}
