// Python expressions written against the C API, raising exactly what Python would raise. Each
// advances the epoch (pyops.hpp) whenever it may run Python code.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "pyglue/dictget.hpp"
#include "pyglue/intern.hpp"
#include "pyglue/pyops.hpp"

namespace pyglue {
namespace py = pybind11;

// Takes ownership of a new reference from the C API; a null result means a Python error is set.
inline py::object steal(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// obj.name, with an interned name.
inline py::object getattr(py::handle obj, PyObject* name) {
    return runs_python([&] { return steal(PyObject_GetAttr(obj.ptr(), name)); });
}

// obj[key]: plain dicts are read directly and raise KeyError(key) as dict does.
inline py::object item(py::handle obj, PyObject* key) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject* v = dict_lookup(obj.ptr(), key);
        if (!v) {
            PyErr_SetObject(PyExc_KeyError, key);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(v);
    }
    return runs_python([&] { return steal(PyObject_GetItem(obj.ptr(), key)); });
}

// What "{}".format(o) inserts for o.
inline py::object format_value(py::handle o) {
    if (PyUnicode_CheckExact(o.ptr())) return py::reinterpret_borrow<py::object>(o);
    return runs_python([&] { return steal(PyObject_Format(o.ptr(), nullptr)); });
}

// "".join(pieces) of texts.
inline py::object concat(std::initializer_list<PyObject*> pieces) {
    py::tuple parts(pieces.size());
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        Py_INCREF(piece);
        PyTuple_SET_ITEM(parts.ptr(), i++, piece);
    }
    return steal(PyUnicode_Join(PYGLUE_INTERN(""), parts.ptr()));
}

// self.name(*args), through vectorcall without a bound-method object.
template <typename... A>
py::object call_method(py::handle self, PyObject* name, A... args) {
    PyObject* argv[] = {self.ptr(), py::handle(args).ptr()...};
    return runs_python([&] {
        return steal(PyObject_VectorcallMethod(
            name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    });
}

// isinstance(o, cls); a class's own __instancecheck__ may run unless o's type is cls.
inline bool isinstance(py::handle o, py::handle cls) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(o.ptr())) != cls.ptr()) may_run_python();
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// `from dotted import name` at call time, with the statement's ImportError when the module
// lacks the name.
inline py::object import_name(const char* dotted, const char* name) {
    py::module_ module = runs_python([&] { return py::module_::import(dotted); });
    PyObject* v = PyObject_GetAttrString(module.ptr(), name);
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object file = py::getattr(module, "__file__", py::str("unknown location"));
    py::object message =
        py::str("cannot import name '{}' from '{}' ({})").format(name, dotted, file);
    PyErr_SetImportError(message.ptr(), py::str(dotted).ptr(), file.ptr());
    throw py::error_already_set();
}

}  // namespace pyglue
