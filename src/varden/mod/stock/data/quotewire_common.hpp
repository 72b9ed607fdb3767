// The quotation module's namespace and the mapping reads its record code is written in.
#pragma once

#include <pybind11/pybind11.h>

#include "pyglue/pyglue.hpp"

namespace quotewire {
namespace py = pybind11;

// Collaborators and module state are read from here at call time (mock.patch works).
inline pyglue::Namespace ns;

inline py::object steal_or_throw(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// A process-lifetime Python int constant.
template <long Value>
PyObject* int_const() {
    static PyObject* value = PyLong_FromLong(Value);
    return value;
}

// mapping[key]: plain dicts are read directly and raise KeyError(key) as dict does.
inline py::object item_at(py::handle mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = pyglue::dict_lookup(mapping.ptr(), key);
        if (!v) {
            PyErr_SetObject(PyExc_KeyError, key);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(v);
    }
    return steal_or_throw(PyObject_GetItem(mapping.ptr(), key));
}

// mapping.get(key, dflt)
inline py::object get(py::handle mapping, PyObject* key, py::handle dflt = py::none()) {
    return pyglue::get(mapping, py::handle(key), dflt);
}

// outer.get(outer_key, inner.get(inner_key, dflt)). Python evaluates the inner read first;
// only for two plain dicts, where reading has no side effects, is it skipped when not needed.
inline py::object get_or(py::handle outer, PyObject* outer_key, py::handle inner,
                         PyObject* inner_key, py::handle dflt = py::none()) {
    if (PyDict_CheckExact(outer.ptr()) && PyDict_CheckExact(inner.ptr())) {
        PyObject* v = pyglue::dict_lookup(outer.ptr(), outer_key);
        if (!v) v = pyglue::dict_lookup(inner.ptr(), inner_key);
        return py::reinterpret_borrow<py::object>(v ? v : dflt.ptr());
    }
    py::object fallback = get(inner, inner_key, dflt);
    return get(outer, outer_key, fallback);
}

inline bool truthy(py::handle value) { return pyglue::truthy(value); }

// Updates `record` with `pairs` (key, value) in order, as record.update(dict(pairs)) does.
template <std::size_t N>
void update_record(py::handle record, PyObject* const (&keys)[N], py::object (&values)[N]) {
    if (PyDict_CheckExact(record.ptr())) {
        for (std::size_t i = 0; i < N; ++i) {
            if (PyDict_SetItem(record.ptr(), keys[i], values[i].ptr()) < 0) {
                throw py::error_already_set();
            }
        }
        return;
    }
    py::dict fields;
    for (std::size_t i = 0; i < N; ++i) fields[keys[i]] = values[i];
    record.attr("update")(fields);
}

// The discard signal the data layer recognises: Exception("useless value.").
[[noreturn]] inline void discard_record() {
    PyErr_SetString(PyExc_Exception, "useless value.");
    throw py::error_already_set();
}

}  // namespace quotewire
