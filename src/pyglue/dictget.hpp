// mapping.get(key, default) with Python's semantics and a fast path for plain dicts.
#pragma once

#include <pybind11/pybind11.h>

namespace pyglue {
namespace py = pybind11;

// Borrowed result for plain dicts; nullptr (no error set) when the key is absent.
inline PyObject* dict_lookup(PyObject* d, PyObject* key) {
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
    return mapping.attr("get")(key, dflt);
}

inline py::object get(py::handle mapping, const char* key, py::handle dflt = py::none()) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemString(mapping.ptr(), key);  // no error for str keys
        return py::reinterpret_borrow<py::object>(v ? v : dflt.ptr());
    }
    return mapping.attr("get")(key, dflt);
}

}  // namespace pyglue
