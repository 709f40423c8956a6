#include "bind/module_state.h"

#include <utility>

namespace tessel::bind {
namespace {

struct Declaration {
    ModuleState::Make make;
    ModuleState::Destroy destroy;
};

// Filled while the shared library's static values are constructed, before
// the module is first initialised.
std::vector<Declaration>& declarations() {
    static std::vector<Declaration> list;
    return list;
}

}  // namespace

std::size_t ModuleState::declare(Make make, Destroy destroy) {
    declarations().push_back({make, destroy});
    return declarations().size() - 1;
}

ModuleState::ModuleState(nb::module_ module)
    : module_(module.inc_ref().ptr()), dict_(nb::handle(PyModule_GetDict(module_)).inc_ref().ptr()) {
    make_slots();
}

void ModuleState::make_slots() {
    for (std::size_t i = slots_.size(); i < declarations().size(); ++i)
        slots_.emplace_back(declarations()[i].make(), declarations()[i].destroy);
}

ModuleState& ModuleState::create(nb::module_ module) {
    newest_ = new ModuleState(std::move(module));
    return *newest_;
}

}  // namespace tessel::bind
