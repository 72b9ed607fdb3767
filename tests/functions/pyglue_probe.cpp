// A small module built by the tests from the helper layer alone, to check its mechanisms
// apart from any kit module.
#include <pybind11/pybind11.h>

#include <cstdlib>
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
        pyglue::Signature sig;
        sig.name = "get";
        sig.module = "pyglue_probe";
        return pyglue::make_function(std::move(sig), pyglue::capture(value),
                                     [](py::object captured) { return captured; });
    });

    pyglue::def(m, "epoch", {}, [] { return py::int_(pyglue::epoch()); });
    pyglue::def(m, "contains", {"container", "item"}, [](py::handle container, py::handle item) {
        return py::bool_(pyglue::contains(container, item));
    });
    pyglue::def(m, "equals", {"a", "b"},
                [](py::handle a, py::handle b) { return py::bool_(pyglue::equals(a, b)); });
    pyglue::def(m, "truth", {"o"}, [](py::handle o) { return py::bool_(pyglue::truth(o)); });

    if (std::getenv("PYGLUE_PROBE_MISMATCH")) {
        pyglue::def(m, "broken", {"a", "b"}, [](py::handle) {});
    }
}
