// rate_limit: a decorator factory limiting how often a TradeAPI method may be called.
//
// The limiter is made once per decorated method, so every instance shares its budget. Two
// keyword switches per call choose what happens over the limit: `raise_on_limit` (default
// True) and `sleep_on_limit` (default False); the method never sees them. Each call's outcome
// follows its own switches, whatever other threads pass at the same time.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
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

// What one decoration keeps: the wrapped method, its limiter, and what admission needs.
struct Limited {
    py::object f;
    py::object limit;
    py::object admitted;  // the token the probe returns: the limiter let the call through
    py::object probe;     // what the limiter wraps in place of `f`; returns `admitted`
    std::mutex lock;
};

// The limiter reads `raise_on_limit` when it counts a call, and the attribute is shared by
// every thread. So the caller's switch is stored and the call counted under one lock per
// limiter: another thread's switch cannot come between the two. The method itself runs
// outside the lock, and only once admitted.
inline py::object attempt(Limited& d, py::handle raise_on_limit, py::handle args,
                          py::handle kwargs) {
    py::object outcome;
    {
        std::unique_lock<std::mutex> held(d.lock, std::try_to_lock);
        if (!held.owns_lock()) {
            py::gil_scoped_release nogil;  // the holder may need the GIL to finish counting
            held.lock();
        }
        if (PyObject_SetAttr(d.limit.ptr(), PYGLUE_INTERN("raise_on_limit"), raise_on_limit.ptr()) <
            0) {
            throw py::error_already_set();
        }
        py::object counted = pyglue::steal(PyObject_CallOneArg(d.limit.ptr(), d.probe.ptr()));
        outcome = pyglue::steal(PyObject_CallNoArgs(counted.ptr()));
    }
    if (!outcome.is(d.admitted)) return outcome;  // refused without raising
    return pyglue::steal(PyObject_Call(d.f.ptr(), args.ptr(), kwargs.ptr()));
}

// _func(self, *args, **kwargs): the wrapped method.
inline py::object call_limited(const std::shared_ptr<Limited>& d, const pyglue::Args& a) {
    py::dict kwargs = a.varkw();
    py::object raise_on_limit = pop_keyword(kwargs, PYGLUE_INTERN("raise_on_limit"), Py_True);
    py::object sleep_on_limit = pop_keyword(kwargs, PYGLUE_INTERN("sleep_on_limit"), Py_False);
    py::tuple extra = a.varargs();
    py::tuple args(PyTuple_GET_SIZE(extra.ptr()) + 1);
    PyTuple_SET_ITEM(args.ptr(), 0, a[0].inc_ref().ptr());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra.ptr()); ++i) {
        PyTuple_SET_ITEM(args.ptr(), i + 1,
                         py::handle(PyTuple_GET_ITEM(extra.ptr(), i)).inc_ref().ptr());
    }
    if (!pyglue::truthy(sleep_on_limit)) return attempt(*d, raise_on_limit, args, kwargs);
    // Every retry asks again under this call's own switch.
    pyglue::Signature sig;
    sig.name = "_attempt";
    sig.varargs = true;
    sig.varkw = true;
    sig.module = kModuleName;
    py::object retried =
        pyglue::make_function(std::move(sig), [d, raise_on_limit](const pyglue::Args& b) {
            py::object rest = b.varkw();
            return attempt(*d, raise_on_limit, b.varargs(), rest);
        });
    py::object sleeping =
        pyglue::steal(PyObject_CallOneArg(ns.get("sleep_and_retry").ptr(), retried.ptr()));
    return pyglue::steal(PyObject_Call(sleeping.ptr(), args.ptr(), kwargs.ptr()));
}

// _rate_limit(f): makes the limiter and returns the wrapped method, named after `f`.
inline py::object decorate_limited(py::object calls, py::object period, py::object raise_message,
                                   py::handle f) {
    auto d = std::make_shared<Limited>();
    d->f = py::reinterpret_borrow<py::object>(f);
    d->limit = ns.get("limits")(py::arg("calls") = calls, py::arg("period") = period,
                                py::arg("raise_message") = raise_message);
    d->admitted =
        pyglue::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    pyglue::Signature probe;
    probe.name = "_admitted";
    probe.module = kModuleName;
    d->probe = pyglue::make_function(
        std::move(probe), [admitted = d->admitted](const pyglue::Args&) { return admitted; });
    pyglue::Signature sig;
    sig.name = "_func";
    sig.qualname = "rate_limit.<locals>._rate_limit.<locals>._func";
    sig.params = {"self"};
    sig.varargs = true;
    sig.varkw = true;
    sig.module = kModuleName;
    py::object func = pyglue::make_function(
        std::move(sig), [d](const pyglue::Args& a) { return call_limited(d, a); });
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
