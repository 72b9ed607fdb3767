// The quotation module's namespace and the small helpers its parts share.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

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

// The new fields of a record, each added under its name in the order record.update() inserts
// them; computed before the record is touched, and owning their values. N is how many fields
// the fix adds, checked when they are applied.
template <std::size_t N>
class NewFields {
  public:
    NewFields() = default;
    NewFields(const NewFields&) = delete;
    NewFields& operator=(const NewFields&) = delete;
    ~NewFields() {
        for (std::size_t i = 0; i < size_; ++i) Py_DECREF(values_[i]);
    }

    void add(PyObject* key, py::object value) { push(key, value.release().ptr()); }
    void add_borrowed(PyObject* key, PyObject* value) {
        Py_INCREF(value);
        push(key, value);
    }

    // record.update({key: value, ...}): plain dicts get the keys in order, as update inserts
    // them; other mappings get their own update. Either may run Python code (a mapping's own
    // update, the release of a replaced value).
    void apply(py::handle record) const {
        if (size_ != N) throw std::logic_error("quotewire: a record fix added too few fields");
        if (PyDict_CheckExact(record.ptr())) {
            pyglue::runs_python([&] {
                for (std::size_t i = 0; i < N; ++i) {
                    if (PyDict_SetItem(record.ptr(), keys_[i], values_[i]) < 0) {
                        throw py::error_already_set();
                    }
                }
            });
            return;
        }
        py::dict fields;
        for (std::size_t i = 0; i < N; ++i) fields[py::handle(keys_[i])] = py::handle(values_[i]);
        pyglue::runs_python([&] { record.attr("update")(fields); });
    }

  private:
    void push(PyObject* key, PyObject* value) {
        if (size_ == N) {
            Py_DECREF(value);
            throw std::logic_error("quotewire: a record fix added too many fields");
        }
        keys_[size_] = key;
        values_[size_++] = value;
    }

    PyObject* keys_[N] = {};  // interned names, never released
    PyObject* values_[N] = {};
    std::size_t size_ = 0;
};

// The discard signal the data layer recognises: Exception("useless value.").
[[noreturn]] inline void discard_record() {
    PyErr_SetString(PyExc_Exception, "useless value.");
    throw py::error_already_set();
}

}  // namespace quotewire
