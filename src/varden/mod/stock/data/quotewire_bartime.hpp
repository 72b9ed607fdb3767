// The "%H%M" text of a live record's bar time, as the record fixes test it.
//
// Formatting a pandas Timestamp with strftime costs over a microsecond per record; for plain
// datetimes and Timestamps the hour and minute are read from the datetime fields instead, which
// is what strftime would print. Any other object is asked for strftime("%H%M") as usual.
#pragma once

#include <pybind11/pybind11.h>
// datetime.h needs Python.h first.
#include <datetime.h>

#include <cstring>

#include "pyglue/capi.hpp"
#include "pyglue/intern.hpp"
#include "pyglue/pyops.hpp"

namespace quotewire {
namespace py = pybind11;

namespace detail {
inline PyTypeObject* timestamp_type = nullptr;  // pandas.Timestamp, never released
}  // namespace detail

// Called once at import, with pandas.Timestamp.
inline void init_bar_time(py::handle timestamp_type) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    Py_INCREF(timestamp_type.ptr());
    detail::timestamp_type = reinterpret_cast<PyTypeObject*>(timestamp_type.ptr());
}

class BarTime {
  public:
    explicit BarTime(py::handle when) {
        PyTypeObject* type = Py_TYPE(when.ptr());
        if (type == PyDateTimeAPI->DateTimeType || type == detail::timestamp_type) {
            direct_ = true;
            put_two_digits(hhmm_, PyDateTime_DATE_GET_HOUR(when.ptr()));
            put_two_digits(hhmm_ + 2, PyDateTime_DATE_GET_MINUTE(when.ptr()));
            return;
        }
        formatted_ = pyglue::steal(pyglue::runs_python([&] {
            return PyObject_CallMethodOneArg(when.ptr(), PYGLUE_INTERN("strftime"),
                                             PYGLUE_INTERN("%H%M"));
        }));
    }

    // `text in container`
    bool in(py::handle container) const {
        PyObject* seq = container.ptr();
        if (direct_ && (PyList_CheckExact(seq) || PyTuple_CheckExact(seq))) {
            // Items are only read here (no Python code runs), so the list cannot change.
            PyObject** items = PySequence_Fast_ITEMS(seq);
            bool all_text = true;
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
                PyObject* item = items[i];
                if (!PyUnicode_CheckExact(item) || !PyUnicode_IS_READY(item)) {
                    all_text = false;
                    break;
                }
                if (same_text(item)) return true;
            }
            if (all_text) return false;
        }
        return pyglue::contains(seq, text());
    }

    // `text == other` as an `if` test reads it.
    bool equals(PyObject* other) const {
        if (direct_) return same_text(other);
        return pyglue::equals(formatted_, other);
    }

  private:
    static void put_two_digits(char* out, int value) {
        out[0] = static_cast<char>('0' + value / 10);
        out[1] = static_cast<char>('0' + value % 10);
    }

    // Compares with an exact, ready str.
    bool same_text(PyObject* s) const {
        return PyUnicode_GET_LENGTH(s) == 4 && PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND &&
               std::memcmp(PyUnicode_1BYTE_DATA(s), hhmm_, 4) == 0;
    }

    py::object text() const {
        if (!direct_) return formatted_;
        PyObject* s = PyUnicode_FromStringAndSize(hhmm_, 4);
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(s);
    }

    bool direct_ = false;
    char hhmm_[4] = {};
    py::object formatted_;
};

}  // namespace quotewire
