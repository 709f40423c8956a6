#include "plexum/plexum.h"

NB_MODULE(plexum, m) {
    using namespace tessel::plexum;
    m.doc() = "Plexum model builder: a model whose interfaces record every modelling operation for a worker "
              "to replay against Plexum.";
    tessel::bind::ActiveModule active(&g.bind(m));
    populate_globals(m);
    populate_instructions(m);
    populate_references(m);
    populate_materials(m);
    populate_geometry(m);
    populate_domains(m);
    populate_supports(m);
    populate_loads(m);
    populate_results(m);
    populate_model(m);
    populate_analysis(m);
    nb::list all;
    for (const char* name :
         {"PlexumAnalysis", "CircleArc", "CrossSection", "CrossSectionInterface", "Domain", "DomainInterface", "Line",
          "LineInterface", "LineSupport", "LineSupportInterface", "Load", "LoadCase", "LoadCaseInterface",
          "LoadCombination", "LoadCombinationInterface", "LoadInterface", "Material", "MaterialInterface", "Member",
          "Model", "Node", "NodeInterface", "NodeSupport", "NodeSupportInterface", "Object", "Reference",
          "ReferenceInterface", "ResultInterface", "Section", "SectionInterface"})
        all.append(name);
    m.attr("__all__") = all;
}
