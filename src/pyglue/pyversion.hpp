// The C API spots where CPython 3.10 to 3.13 differ, behind helpers that behave the same on
// each. Modules go through these instead of testing PY_VERSION_HEX themselves.
#pragma once

#include <pybind11/pybind11.h>

namespace pyglue {
namespace py = pybind11;

// Stores `value` in a float (or float subclass) object fresh from tp_alloc. PyFloat_AS_DOUBLE
// is an rvalue from 3.12 on; the field itself is public on every version.
inline void set_float_value(PyObject* obj, double value) {
    reinterpret_cast<PyFloatObject*>(obj)->ob_fval = value;
}

// The exception being handled (sys.exc_info()), as three new references; all null when none.
struct ExcInfo {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

inline ExcInfo get_exc_info() {
    ExcInfo info;
    PyErr_GetExcInfo(&info.type, &info.value, &info.traceback);
    return info;
}

// Makes `info` the exception being handled, taking its references. From 3.11 on the
// interpreter keeps only the value and reads type and traceback back from it, so the value
// carries its traceback first, as a Python `except` clause does on every version.
inline void set_exc_info(ExcInfo info) {
    if (info.value && info.traceback && PyExceptionInstance_Check(info.value)) {
        PyException_SetTraceback(info.value, info.traceback);
    }
    PyErr_SetExcInfo(info.type, info.value, info.traceback);
}

// A caught exception as it stands once an `except` clause has it: the value carries its
// traceback, so re-raising it, logging it or chaining to it shows where it came from.
inline ExcInfo exc_info_of(py::error_already_set& caught) {
    ExcInfo info;
    info.type = caught.type().inc_ref().ptr();
    info.value = caught.value().inc_ref().ptr();
    info.traceback = caught.trace().inc_ref().ptr();
    return info;
}

}  // namespace pyglue
