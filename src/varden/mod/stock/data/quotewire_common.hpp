// The quotation module's namespace and the small helpers its parts share.
#pragma once

#include <pybind11/pybind11.h>

#include "pyglue/pyglue.hpp"

namespace quotewire {
namespace py = pybind11;

// Collaborators and module state are read from here at call time (mock.patch works).
inline pyglue::Namespace ns;

// A process-lifetime Python int constant.
template <long Value>
PyObject* int_const() {
    static PyObject* value = PyLong_FromLong(Value);
    return value;
}

// The new fields of a record, computed before the record is touched; owns its values.
template <std::size_t N>
class NewFields {
  public:
    NewFields() = default;
    NewFields(const NewFields&) = delete;
    NewFields& operator=(const NewFields&) = delete;
    ~NewFields() {
        for (PyObject* v : values_) Py_XDECREF(v);
    }

    void set(std::size_t i, py::object value) { values_[i] = value.release().ptr(); }
    void set_borrowed(std::size_t i, PyObject* value) {
        Py_INCREF(value);
        values_[i] = value;
    }

    // record.update({keys[0]: values[0], ...}): plain dicts get the keys in order, as update
    // inserts them; other mappings get their own update. Either may run Python code (a mapping's
    // own update, the release of a replaced value).
    void apply(py::handle record, PyObject* const (&keys)[N]) const {
        if (PyDict_CheckExact(record.ptr())) {
            pyglue::runs_python([&] {
                for (std::size_t i = 0; i < N; ++i) {
                    if (PyDict_SetItem(record.ptr(), keys[i], values_[i]) < 0) {
                        throw py::error_already_set();
                    }
                }
            });
            return;
        }
        py::dict fields;
        for (std::size_t i = 0; i < N; ++i) fields[py::handle(keys[i])] = py::handle(values_[i]);
        pyglue::runs_python([&] { record.attr("update")(fields); });
    }

  private:
    PyObject* values_[N] = {};
};

// The discard signal the data layer recognises: Exception("useless value.").
[[noreturn]] inline void discard_record() {
    PyErr_SetString(PyExc_Exception, "useless value.");
    throw py::error_already_set();
}

}  // namespace quotewire
