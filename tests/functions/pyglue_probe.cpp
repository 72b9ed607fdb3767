// A small module built by the tests from the helper layer alone, to check its mechanisms
// apart from any kit module.
#include <pybind11/pybind11.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "pyglue/pyglue.hpp"

namespace py = pybind11;

PYBIND11_MODULE(pyglue_probe, m) {
    pyglue::def(
        m, "describe", {"first", {"second", py::int_(2)}},
        [](py::handle first, py::object second, pyglue::VarArgs rest, pyglue::VarKwargs options) {
            return py::make_tuple(first, second, rest, options);
        });

    // closure_over(value)() is value, kept by the returned function.
    pyglue::def(m, "closure_over", {"value"}, [](py::object value) {
        return pyglue::module_function("pyglue_probe", "get", {}, pyglue::capture(value),
                                       [](py::object captured) { return captured; });
    });

    pyglue::def(m, "epoch", {}, [] { return py::int_(pyglue::epoch()); });
    pyglue::def(m, "contains", {"container", "item"}, [](py::handle container, py::handle item) {
        return py::bool_(pyglue::contains(container, item));
    });
    pyglue::def(m, "equals", {"a", "b"},
                [](py::handle a, py::handle b) { return py::bool_(pyglue::equals(a, b)); });
    pyglue::def(m, "truth", {"o"}, [](py::handle o) { return py::bool_(pyglue::truth(o)); });
    pyglue::def(m, "getattr", {"o", "name"},
                [](py::handle o, py::handle name) { return pyglue::getattr(o, name.ptr()); });
    pyglue::def(m, "item", {"o", "key"},
                [](py::handle o, py::handle key) { return pyglue::item(o, key.ptr()); });
    pyglue::def(m, "get", {"mapping", "key"},
                [](py::handle mapping, py::handle key) { return pyglue::get(mapping, key); });
    pyglue::def(m, "call_method", {"o", "name"},
                [](py::handle o, py::handle name) { return pyglue::call_method(o, name.ptr()); });
    pyglue::def(m, "format_value", {"o"}, [](py::handle o) { return pyglue::format_value(o); });
    pyglue::def(m, "isinstance", {"o", "cls"},
                [](py::handle o, py::handle cls) { return py::bool_(pyglue::isinstance(o, cls)); });
    pyglue::def(m, "import_name", {"dotted", "name"}, [](py::handle dotted, py::handle name) {
        return pyglue::import_name(py::str(dotted).cast<std::string>().c_str(),
                                   py::str(name).cast<std::string>().c_str());
    });

    if (std::getenv("PYGLUE_PROBE_MISMATCH")) {
        pyglue::def(m, "broken", {"a", "b"}, [](py::handle) {});
    }
}
