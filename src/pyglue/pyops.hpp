// Python operations that may run Python code, and the epoch they advance.
//
// A value borrowed from a container stays valid only while no Python code runs: a user type's
// __eq__ or __bool__, a mapping's own get, numpy's warning machinery may all change the container
// and drop the value. Code that keeps borrowed values notes `epoch()` when it reads one and reads
// it again once the epoch moved. Every operation here advances the epoch itself whenever it may
// run Python code, so code built from these operations cannot forget to; an operation that is
// not here is wrapped in `runs_python`.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace pyglue {
namespace py = pybind11;

namespace detail {
inline unsigned long python_epoch = 0;  // guarded by the GIL
inline PyTypeObject* numpy_float64 = nullptr;
}  // namespace detail

// How many times Python code may have run so far.
inline unsigned long epoch() {
    return detail::python_epoch;
}

// Notes that Python code may run next.
inline void may_run_python() {
    ++detail::python_epoch;
}

// Runs `op`, which may run Python code (a call, a user type's operator, a mapping's own method).
template <typename Op>
decltype(auto) runs_python(Op&& op) {
    may_run_python();
    return std::forward<Op>(op)();
}

// numpy.float64, whose truth test and float conversion run no Python code; set once at import
// by a module that has numpy at hand.
inline void set_numpy_float64(py::handle type) {
    detail::numpy_float64 = reinterpret_cast<PyTypeObject*>(type.ptr());
}

// Values whose comparisons with each other, truth test and float conversion run no Python code.
inline bool is_inert(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyFloat_Type || t == &PyLong_Type || o == Py_None || t == &PyBool_Type ||
           t == &PyUnicode_Type || t == detail::numpy_float64;
}

// bool(o)
inline bool truth(py::handle o) {
    if (!is_inert(o.ptr())) may_run_python();
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// `item in container`; the container's and the items' own methods may run.
inline bool contains(py::handle container, py::handle item) {
    may_run_python();
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// `a <op> b` as an `if` tests it (op is Py_EQ, Py_NE, Py_LT, ...): the operands' own comparison
// and the truth of its result, with no shortcut for one object on both sides (a NaN is not equal
// to itself), as Python's operators do.
inline bool compare(py::handle a, py::handle b, int op) {
    if (!is_inert(a.ptr()) || !is_inert(b.ptr())) may_run_python();
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw py::error_already_set();
    return truth(py::reinterpret_steal<py::object>(r));
}

// `a == b` as an `if` tests it.
inline bool equals(py::handle a, py::handle b) {
    return compare(a, b, Py_EQ);
}

}  // namespace pyglue
