// Python functions around C++ ones.
//
// nanobind's functions have no signature that `inspect` reads, and
// `mock.create_autospec` only checks the arguments of real functions. So
// each C++ function is wrapped in a small Python function generated from the
// parameters nanobind records for it:
//
//     def execute(self, timeout=<default 0>):
//         return __impl(self, timeout)
//
// The interpreter then binds the arguments (its own errors, keyword-only
// rules and defaults, the very default objects), and `inspect.signature`,
// `help()` and autospec work as for any Python function.
#include "bind/bind.h"

#include <nanobind/stl/string.h>

#include <string>
#include <string_view>
#include <vector>

namespace tessel::bind {
namespace {

struct Parameter {
    std::string name;
    enum Kind { positional, keyword_only, var_positional, var_keyword } kind = positional;
    int default_index = -1;  // into the recorded defaults
};

// Splits nanobind's "def f(a: T, *, b: T = \0) -> R" into parameters.
std::vector<Parameter> parse_parameters(std::string_view sig) {
    const std::size_t open = sig.find('(');
    const std::size_t arrow = sig.rfind(") -> ");
    const std::size_t close = arrow != std::string_view::npos ? arrow : sig.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        throw std::logic_error("unexpected nanobind signature: " + std::string(sig));
    const std::string_view list = sig.substr(open + 1, close - open - 1);

    std::vector<std::string_view> pieces;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (c == '[' || c == '(' || c == '{') ++depth;
        else if (c == ']' || c == ')' || c == '}') --depth;
        else if (c == ',' && depth == 0) {
            pieces.push_back(list.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < list.size()) pieces.push_back(list.substr(start));

    std::vector<Parameter> params;
    bool keyword_only = false;
    for (std::string_view piece : pieces) {
        while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
        if (piece.empty() || piece == "/") continue;
        if (piece == "*") {
            keyword_only = true;
            continue;
        }
        Parameter p;
        if (piece.starts_with("**")) {
            p.kind = Parameter::var_keyword;
            piece.remove_prefix(2);
        } else if (piece.starts_with("*")) {
            p.kind = Parameter::var_positional;
            keyword_only = true;
            piece.remove_prefix(1);
        } else if (keyword_only) {
            p.kind = Parameter::keyword_only;
        }
        const std::size_t marker = piece.find(" = \\");
        if (marker != std::string_view::npos) p.default_index = std::stoi(std::string(piece.substr(marker + 4)));
        std::size_t end = piece.find_first_of(":= ");
        p.name = std::string(piece.substr(0, end));
        params.push_back(std::move(p));
    }
    return params;
}

}  // namespace

nb::object python_function(nb::handle impl, nb::handle name, nb::handle qualname, nb::handle module) {
    nb::tuple overload = nb::borrow<nb::tuple>(nb::borrow<nb::tuple>(impl.attr("__nb_signature__"))[0]);
    const std::string sig = nb::cast<std::string>(overload[0]);
    nb::object doc = overload[1];
    nb::object defaults = overload[2];
    const std::vector<Parameter> params = parse_parameters(sig);

    const std::string fname = nb::cast<std::string>(name);
    std::string header, call;
    bool star_written = false;
    for (const Parameter& p : params) {
        std::string decl, arg;
        switch (p.kind) {
            case Parameter::positional: decl = arg = p.name; break;
            case Parameter::keyword_only:
                if (!star_written) header += (header.empty() ? "*" : ", *");
                star_written = true;
                decl = p.name;
                arg = p.name + "=" + p.name;
                break;
            case Parameter::var_positional:
                star_written = true;
                decl = arg = "*" + p.name;
                break;
            case Parameter::var_keyword: decl = arg = "**" + p.name; break;
        }
        if (p.default_index >= 0) decl += "=__default" + std::to_string(p.default_index);
        header += (header.empty() ? "" : ", ") + decl;
        call += (call.empty() ? "" : ", ") + arg;
    }
    const std::string source =
        "def " + fname + "(" + header + "):\n    return __impl(" + call + ")\n";

    nb::dict namespace_;
    namespace_["__impl"] = impl;
    namespace_["__name__"] = module;
    // As a module's globals have them: C-API calls made while the function
    // runs (imports among them) look the builtins up here.
    namespace_["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
    if (!defaults.is_none()) {
        std::size_t i = 0;
        for (nb::handle d : defaults) namespace_[("__default" + std::to_string(i++)).c_str()] = d;
    }
    nb::object filename = nb::str("<{}>").format(module);
    nb::object code = nb::steal(check(Py_CompileStringObject(source.c_str(), filename.ptr(), Py_file_input, nullptr, -1)));
    nb::steal(check(PyEval_EvalCode(code.ptr(), namespace_.ptr(), namespace_.ptr())));
    nb::object fn = namespace_[fname.c_str()];
    nb::setattr(fn, "__qualname__", qualname);
    nb::setattr(fn, "__module__", module);
    nb::setattr(fn, "__doc__", !doc.is_none() && nb::len(doc) != 0 ? nb::object(doc) : nb::none());
    return fn;
}

}  // namespace tessel::bind
