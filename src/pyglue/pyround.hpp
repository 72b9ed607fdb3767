// Python's round() on floats, exactly: half-to-even on the stored double.
#pragma once

#include <pybind11/pybind11.h>

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

// round(value, ndigits) for any Python value: a fast path for exact floats, Python's own round
// for everything else (ints stay ints, numpy scalars keep their type, None raises TypeError).
inline py::object round_object(py::handle value, int ndigits) {
    if (PyFloat_CheckExact(value.ptr())) {
        return py::float_(round_digits(PyFloat_AS_DOUBLE(value.ptr()), ndigits));
    }
    static PyObject* builtin_round = PyDict_GetItemString(PyEval_GetBuiltins(), "round");
    PyObject* r = PyObject_CallFunction(builtin_round, "Oi", value.ptr(), ndigits);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace pyglue
