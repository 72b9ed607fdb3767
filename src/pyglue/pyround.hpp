// Python's round() on floats, exactly: half-to-even on the stored double.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace pyglue {
namespace py = pybind11;

// round(x, ndigits) for a float x, 0 <= ndigits <= 17: printing the exact binary value with
// ndigits decimals rounds half-to-even on that value, as CPython does; parsing it back gives
// the nearest double, as CPython does.
inline double round_digits(double x, int ndigits) {
    if (!std::isfinite(x)) return x;
    char buf[512];
    auto r = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::fixed, ndigits);
    if (r.ec != std::errc()) return x;  // only for |x| beyond 1e308-ish widths; none in practice
    double out = 0.0;
    std::from_chars(buf, r.ptr, out);  // keeps the sign of a negative zero, as Python does
    return out;
}

// round(x) for a float x: the nearest integer, ties to even (the default FP rounding mode).
inline double round_integer(double x) {
    return std::nearbyint(x);
}

namespace detail {

// numpy's float64, float32 and float16 scalar types, whose values convert to double exactly;
// looked up once numpy is imported (any numpy scalar means it is).
inline bool is_numpy_binary_float(PyTypeObject* type) {
    static PyTypeObject* types[3] = {};
    if (!types[0]) {
        PyObject* name = PyUnicode_FromString("numpy");
        if (!name) throw py::error_already_set();
        PyObject* numpy = PyImport_GetModule(name);
        Py_DECREF(name);
        if (!numpy) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        py::object module = py::reinterpret_steal<py::object>(numpy);
        const char* const names[3] = {"float64", "float32", "float16"};
        PyTypeObject* found[3] = {};
        for (int i = 0; i < 3; ++i) {
            PyObject* t = PyObject_GetAttrString(module.ptr(), names[i]);
            if (!t) throw py::error_already_set();
            found[i] = reinterpret_cast<PyTypeObject*>(t);  // kept for the process's life
        }
        std::copy(found, found + 3, types);
    }
    return type == types[0] || type == types[1] || type == types[2];
}

}  // namespace detail

// round(value, ndigits) for any Python value: exact floats and numpy's binary floats are
// rounded here on their stored value (numpy's own round scales by 10**ndigits first, which
// rounds some stored values the wrong way) and keep their type; everything else gets Python's
// own round (ints stay ints, None raises TypeError).
inline py::object round_object(py::handle value, int ndigits) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v)) return py::float_(round_digits(PyFloat_AS_DOUBLE(v), ndigits));
    if (detail::is_numpy_binary_float(Py_TYPE(v))) {
        PyObject* stored = PyNumber_Float(v);
        if (!stored) throw py::error_already_set();
        py::float_ rounded(round_digits(PyFloat_AS_DOUBLE(stored), ndigits));
        Py_DECREF(stored);
        PyObject* r = PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(v)), rounded.ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    }
    static PyObject* builtin_round = PyDict_GetItemString(PyEval_GetBuiltins(), "round");
    PyObject* r = PyObject_CallFunction(builtin_round, "Oi", v, ndigits);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace pyglue
