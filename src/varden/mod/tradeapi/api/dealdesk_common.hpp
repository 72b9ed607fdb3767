// Shared pieces of the live trading module: its namespace and the record-reading helpers that
// behave like the Python expressions they stand for (`item["Key"]`, `item.get("Key")`,
// `"{}{}{}".format(...)`).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "pyglue/pyglue.hpp"

namespace dealdesk {
namespace py = pybind11;

constexpr const char* kModuleName = "varden.mod.tradeapi.api.dealdesk";

// The module's own namespace: collaborators are read from it at call time.
inline pyglue::Namespace ns;

inline py::object steal_or_throw(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// item[key]: plain dicts are read directly and raise KeyError(key) as dict does.
inline py::object item_at(py::handle item, PyObject* key) {
    if (PyDict_CheckExact(item.ptr())) {
        PyObject* v = pyglue::dict_lookup(item.ptr(), key);
        if (!v) {
            PyErr_SetObject(PyExc_KeyError, key);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(v);
    }
    return steal_or_throw(PyObject_GetItem(item.ptr(), key));
}

// item.get(key, dflt)
inline py::object item_get(py::handle item, PyObject* key, py::handle dflt = py::none()) {
    return pyglue::get(item, py::handle(key), dflt);
}

// obj.name
inline py::object attr_of(py::handle obj, PyObject* name) {
    return steal_or_throw(PyObject_GetAttr(obj.ptr(), name));
}

// What "{}".format(o) inserts.
inline py::object format_value(py::handle o) {
    if (PyUnicode_CheckExact(o.ptr())) return py::reinterpret_borrow<py::object>(o);
    return steal_or_throw(PyObject_Format(o.ptr(), nullptr));
}

// Joins texts with no separator.
inline py::object concat(std::initializer_list<PyObject*> pieces) {
    py::tuple parts(pieces.size());
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        Py_INCREF(piece);
        PyTuple_SET_ITEM(parts.ptr(), i++, piece);
    }
    return steal_or_throw(PyUnicode_Join(PYGLUE_INTERN(""), parts.ptr()));
}

// A plain dict from (interned key, value) pairs, in order.
inline py::dict make_record(std::initializer_list<std::pair<PyObject*, py::handle>> fields) {
    py::dict d;
    for (const auto& field : fields) {
        if (PyDict_SetItem(d.ptr(), field.first, field.second.ptr()) < 0) {
            throw py::error_already_set();
        }
    }
    return d;
}

// NameDict(fields), NameDict as the module currently binds it.
inline py::object name_dict(const py::dict& fields) {
    return steal_or_throw(PyObject_CallOneArg(ns.get("NameDict").ptr(), fields.ptr()));
}

// self.method(arg)
inline py::object call_method(py::handle self, PyObject* name, py::handle arg) {
    PyObject* args[] = {self.ptr(), arg.ptr()};
    return steal_or_throw(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline py::object call_method(py::handle self, PyObject* name) {
    PyObject* args[] = {self.ptr()};
    return steal_or_throw(
        PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace dealdesk
