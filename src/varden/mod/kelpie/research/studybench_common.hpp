// What every part of the research module shares: its namespace and small Python idioms.
#pragma once

#include <pybind11/pybind11.h>

#include <iterator>
#include <utility>
#include <vector>

#include "pyglue/pyglue.hpp"

namespace studybench {
namespace py = pybind11;

// The module namespace: outside names are bound here at import and read back at each call, so
// patching `studybench.kp_api` (or any other collaborator) works as for Python code.
inline pyglue::Namespace ns;

inline py::object borrow(py::handle h) {
    return py::reinterpret_borrow<py::object>(h);
}

// a <op> b as Python evaluates it, keeping the result object (pandas gives boolean masks).
inline py::object rich(py::handle a, py::handle b, int op) {
    return pyglue::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

inline py::object slice(py::handle start, py::handle stop) {
    return pyglue::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
}

inline py::object timestamp(py::handle value) {
    return ns.get("pd").attr("Timestamp")(value);
}

inline py::object now() {
    return ns.get("pd").attr("Timestamp").attr("now")();
}

inline py::object data_proxy() {
    return ns.get("default_data_proxy");
}

// The time a default day is counted from: now in a notebook, the strategy's current trading
// time while a strategy runs.
inline py::object base_time(py::handle env) {
    if (env.is_none()) return now();
    return timestamp(env.attr("trading_dt"));
}

// A binary file takes bytes-like values only; anything else is refused before the file is
// opened, so that a bad value cannot leave an emptied file behind.
inline void require_bytes_like(py::handle data) {
    if (!PyObject_CheckBuffer(data.ptr())) {
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%s'",
                     Py_TYPE(data.ptr())->tp_name);
        throw py::error_already_set();
    }
}

// with open(path, mode) as f: return body(f)
template <typename Body>
py::object with_open(py::handle path, const char* mode, Body body) {
    py::object file = ns.resolve("open")(path, mode);
    py::object result;
    try {
        result = body(file);
    } catch (py::error_already_set& e) {
        pyglue::HandlingScope handling(e);
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return result;
}

// The decorator `accepts(*specs)` of a checked public function (an empty list still wraps:
// `accepts()`).
inline pyglue::Decorator checked(std::vector<py::object> specs = {}) {
    py::tuple args(specs.size());
    for (std::size_t i = 0; i < specs.size(); ++i) args[i] = specs[i];
    return {ns.get("accepts")(*args)};
}

// Specs as the validation module takes them.
inline py::object builtin_type(const char* name) {
    return ns.resolve(name);
}
inline py::object date_spec() {
    return ns.get("DateValidator")();
}
template <typename... T>
py::object samples(T&&... values) {
    return py::make_tuple(std::forward<T>(values)...);
}

}  // namespace studybench
