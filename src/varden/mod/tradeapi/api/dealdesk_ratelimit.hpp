// rate_limit: a decorator factory limiting how often a TradeAPI method may be called.
//
// The limiter is made once per decorated method, so every instance shares its budget. Two
// keyword switches per call choose what happens over the limit: `raise_on_limit` (default
// True) and `sleep_on_limit` (default False); the method never sees them.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "dealdesk_common.hpp"

namespace dealdesk {

// kwargs.pop(key, dflt)
inline py::object pop_keyword(const py::dict& kwargs, PyObject* key, py::handle dflt) {
    PyObject* v = pyglue::dict_lookup(kwargs.ptr(), key);
    if (!v) return py::reinterpret_borrow<py::object>(dflt);
    py::object value = py::reinterpret_borrow<py::object>(v);
    if (PyDict_DelItem(kwargs.ptr(), key) < 0) throw py::error_already_set();
    return value;
}

// _func(self, *args, **kwargs): the wrapped method.
inline py::object call_limited(py::handle f, py::handle limit, const pyglue::Args& a) {
    py::dict kwargs = a.varkw();
    py::object raise_on_limit = pop_keyword(kwargs, PYGLUE_INTERN("raise_on_limit"), Py_True);
    if (PyObject_SetAttr(limit.ptr(), PYGLUE_INTERN("raise_on_limit"), raise_on_limit.ptr()) < 0) {
        throw py::error_already_set();
    }
    py::object sleep_on_limit = pop_keyword(kwargs, PYGLUE_INTERN("sleep_on_limit"), Py_False);
    py::object limited = pyglue::steal(PyObject_CallOneArg(limit.ptr(), f.ptr()));
    if (pyglue::truthy(sleep_on_limit)) {
        limited =
            pyglue::steal(PyObject_CallOneArg(ns.get("sleep_and_retry").ptr(), limited.ptr()));
    }
    py::tuple extra = a.varargs();
    py::tuple args(PyTuple_GET_SIZE(extra.ptr()) + 1);
    PyTuple_SET_ITEM(args.ptr(), 0, a[0].inc_ref().ptr());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra.ptr()); ++i) {
        PyTuple_SET_ITEM(args.ptr(), i + 1,
                         py::handle(PyTuple_GET_ITEM(extra.ptr(), i)).inc_ref().ptr());
    }
    return pyglue::steal(PyObject_Call(limited.ptr(), args.ptr(), kwargs.ptr()));
}

// _rate_limit(f): makes the limiter and returns the wrapped method, named after `f`.
inline py::object decorate_limited(py::object calls, py::object period, py::object raise_message,
                                   py::handle f) {
    py::object limit = ns.get("limits")(py::arg("calls") = calls, py::arg("period") = period,
                                        py::arg("raise_message") = raise_message);
    pyglue::Signature sig;
    sig.name = "_func";
    sig.qualname = "rate_limit.<locals>._rate_limit.<locals>._func";
    sig.params = {"self"};
    sig.varargs = true;
    sig.varkw = true;
    sig.module = kModuleName;
    py::object func = pyglue::make_function(
        std::move(sig), [f = py::reinterpret_borrow<py::object>(f), limit](const pyglue::Args& a) {
            return call_limited(f, limit, a);
        });
    return ns.get("wraps")(f)(func);
}

inline void define_rate_limit(py::module_& m) {
    pyglue::def(m, "rate_limit",
                {{"calls", py::int_(1)}, {"period", py::int_(3)}, {"raise_message", py::none()}},
                [](const pyglue::Args& a) {
                    pyglue::Signature sig;
                    sig.name = "_rate_limit";
                    sig.qualname = "rate_limit.<locals>._rate_limit";
                    sig.params = {"f"};
                    sig.module = kModuleName;
                    auto calls = py::reinterpret_borrow<py::object>(a[0]);
                    auto period = py::reinterpret_borrow<py::object>(a[1]);
                    auto raise_message = py::reinterpret_borrow<py::object>(a[2]);
                    return pyglue::make_function(
                        std::move(sig), [calls, period, raise_message](const pyglue::Args& b) {
                            return decorate_limited(calls, period, raise_message, b[0]);
                        });
                });
}

}  // namespace dealdesk
