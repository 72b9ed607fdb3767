// Reads of the records a fix works on, with Python's semantics and little per-read overhead.
//
// A value read from a plain dict is borrowed from it. The dict can only change (and drop the
// value) if Python code runs, so every place in the fixes that may run Python code (a user
// type's arithmetic or truth test, numpy's warning machinery, a callback, a mapping's own get)
// goes through pyglue's operations or pyglue::runs_python, which advance pyglue::epoch(), and a
// value is used across such a place only if the fix holds its own reference to it (the fields
// it stores, the live settle) or reads it again through a Field. Values from other mappings
// come from their own get and are kept by the reader.
//
// The fixes read some keys several times (the reference close up to five times), as the Python
// expressions do; a Field reads its key again only when the epoch moved, which gives the values
// Python would read.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "quotewire_common.hpp"

namespace quotewire {

// One mapping's reads during one fix; returned references are borrowed (see above).
class Reader {
  public:
    explicit Reader(py::handle mapping)
        : mapping_(mapping.ptr()), plain_(PyDict_CheckExact(mapping.ptr())) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool plain() const { return plain_; }

    // mapping.get(key, dflt)
    PyObject* get(PyObject* key, PyObject* dflt = Py_None) {
        if (!plain_) {
            return keep(pyglue::runs_python([&] {
                return PyObject_CallMethodObjArgs(mapping_, PYGLUE_INTERN("get"), key, dflt,
                                                  nullptr);
            }));
        }
        PyObject* value = PyDict_GetItemWithError(mapping_, key);
        if (!value) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return dflt;
        }
        return value;
    }

    // mapping[key]
    PyObject* item(PyObject* key) {
        if (!plain_) {
            return keep(pyglue::runs_python([&] { return PyObject_GetItem(mapping_, key); }));
        }
        PyObject* value = PyDict_GetItemWithError(mapping_, key);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
            throw py::error_already_set();
        }
        return value;
    }

    // key in mapping
    bool contains(PyObject* key) {
        if (!plain_) return pyglue::contains(mapping_, key);
        int found = PyDict_Contains(mapping_, key);
        if (found < 0) throw py::error_already_set();
        return found != 0;
    }

  private:
    // Takes over a new reference (null: the error set by the call that returned it).
    PyObject* keep(PyObject* value) {
        if (!value) throw py::error_already_set();
        kept_.push_back(py::reinterpret_steal<py::object>(value));
        return value;
    }

    PyObject* mapping_;
    bool plain_;
    std::vector<py::object> kept_;
};

// One key of one mapping, read as `mapping.get(key, dflt)` wherever the fix reads it.
class Field {
  public:
    Field(Reader& reader, PyObject* key) : reader_(reader), key_(key) {}

    PyObject* get(PyObject* dflt = Py_None) {
        if (!reader_.plain()) return reader_.get(key_, dflt);
        if (!read_ || epoch_ != pyglue::epoch()) {
            value_ = reader_.get(key_, nullptr);
            epoch_ = pyglue::epoch();
            read_ = true;
        }
        return value_ ? value_ : dflt;
    }

    // outer.get(dflt=inner.get(dflt)): the inner mapping is read first, as Python evaluates
    // the argument first; with two plain dicts, where reading has no effect, only when needed.
    friend PyObject* get_or(Field& outer, Field& inner, PyObject* dflt = Py_None) {
        if (outer.reader_.plain() && inner.reader_.plain()) {
            PyObject* v = outer.get(nullptr);
            return v ? v : inner.get(dflt);
        }
        PyObject* fallback = inner.get(dflt);
        return outer.get(fallback);
    }

  private:
    Reader& reader_;
    PyObject* key_;
    PyObject* value_ = nullptr;
    unsigned long epoch_ = 0;
    bool read_ = false;
};

}  // namespace quotewire
