// Call-time lookup of collaborators through an extension module's own namespace.
//
// Every outside name is bound as a module attribute at import and read back from the module's
// __dict__ at each use, so unittest.mock.patch("pkg.module.Name") affects the compiled module
// exactly as it would a Python one.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace pyglue {
namespace py = pybind11;

class Namespace {
  public:
    // Binds the module whose namespace is consulted. Called once, in PYBIND11_MODULE.
    void bind(py::module_ m) {
        // Intentionally leaked: the module outlives every call, and a destructor running after
        // interpreter finalisation would crash.
        module_ = new py::module_(std::move(m));
        dict_ = PyModule_GetDict(module_->ptr());
    }

    py::module_& module() const { return *module_; }
    const char* name() const { return PyModule_GetName(module_->ptr()); }

    // The current value of a module-level name; NameError when it is gone, as in Python.
    py::object get(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);
        if (!v) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(v);
    }
    py::object operator[](const char* name) const { return get(name); }

    // A name as Python code of this module resolves it: its globals, then the builtins (so a
    // patched `module.open` is honoured and the builtin serves otherwise).
    py::object resolve(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);
        if (!v) v = PyDict_GetItemString(PyEval_GetBuiltins(), name);
        if (!v) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(v);
    }

    void set(const char* name, py::handle value) const {
        if (PyDict_SetItemString(dict_, name, value.ptr()) < 0) throw py::error_already_set();
    }

    // `import dotted` bound as `alias` (`import pandas as pd`).
    void import_module(const char* dotted, const char* alias) const {
        set(alias, py::module_::import(dotted));
    }

    // `from dotted import a, b` (each bound under its own name).
    void import_from(const char* dotted, std::initializer_list<const char*> names) const {
        py::module_ src = py::module_::import(dotted);
        for (const char* n : names) set(n, src.attr(n));
    }

    // `from dotted import name as alias`.
    void import_as(const char* dotted, const char* name, const char* alias) const {
        set(alias, py::module_::import(dotted).attr(name));
    }

  private:
    py::module_* module_ = nullptr;
    PyObject* dict_ = nullptr;  // borrowed from the leaked module
};

}  // namespace pyglue
