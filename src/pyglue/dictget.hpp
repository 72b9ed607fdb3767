// mapping.get(key, default) with Python's semantics and a fast path for plain dicts; a mapping's
// own get advances the epoch (pyops.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include "pyglue/pyops.hpp"

namespace pyglue {
namespace py = pybind11;

// Borrowed result for plain dicts; nullptr (no error set) when the key is absent. A key of a
// user type hashes and compares with its own methods.
inline PyObject* dict_lookup(PyObject* d, PyObject* key) {
    if (!is_inert(key)) may_run_python();
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// mapping.get(key, dflt): exact dicts are read directly, anything else through its own .get.
inline py::object get(py::handle mapping, py::handle key, py::handle dflt = py::none()) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = dict_lookup(mapping.ptr(), key.ptr());
        return py::reinterpret_borrow<py::object>(v ? v : dflt.ptr());
    }
    return runs_python([&] { return mapping.attr("get")(key, dflt); });
}

inline py::object get(py::handle mapping, const char* key, py::handle dflt = py::none()) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemString(mapping.ptr(), key);  // no error for str keys
        return py::reinterpret_borrow<py::object>(v ? v : dflt.ptr());
    }
    return runs_python([&] { return mapping.attr("get")(key, dflt); });
}

}  // namespace pyglue
