#include "grasshopper/grasshopper.h"

NB_MODULE(grasshopper, m) {
    using namespace tessel::grasshopper;
    m.doc() = "Grasshopper definitions run on a remote worker, with input values sent as data trees.";
    tessel::bind::ActiveModule active(&g.bind(m));
    populate_globals(m);
    populate_data_tree(m);
    populate_analysis(m);
    nb::list all;
    all.append("GrasshopperAnalysis");
    m.attr("__all__") = all;
}
