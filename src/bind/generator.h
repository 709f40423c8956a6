// Generators whose body runs in C++.
//
// A Python iterator with the whole generator protocol (send, throw, close)
// and a generator's life: nothing runs before the first next(); a failure or
// the end finishes it for good; closing, dropping or collecting a started
// one (also inside a reference cycle) runs its cleanup exactly once, with the
// exception in flight saved and restored around it, as CPython does for its
// own generators.
#pragma once

#include "bind/bind.h"

#include <memory>

namespace tessel::bind {

class GeneratorBody {
public:
    virtual ~GeneratorBody() = default;
    // The next value, or an invalid object at the end.
    virtual nb::object next() = 0;
    // Ends the body early with the exception instance `exc` raised where it
    // stands (GeneratorExit for close); true when the body suppressed it.
    virtual bool stop(nb::handle /*exc*/) { return false; }
    // Visits the Python objects the body holds, for the cycle collector.
    virtual int traverse(visitproc, void*) const { return 0; }
};

// Creates the generator type of a module, named `<module>._StreamGenerator`
// and registered as a collections.abc.Generator; call once at import.
void init_generator_type(const ModuleGlobals& g);

// A new generator running `body`.
nb::object make_generator(std::unique_ptr<GeneratorBody> body);

}  // namespace tessel::bind
