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

// One decoration's lock: plain C++ state shared by its functions, which capture the Python
// objects themselves (so the collector sees them).
using LimiterLock = std::shared_ptr<std::mutex>;

// What one decoration keeps, borrowed from the captures of the function being called.
struct Limited {
    py::handle f;
    py::handle limit;
    py::handle admitted;  // the token the probe returns: the limiter let the call through
    py::handle probe;     // what the limiter wraps in place of `f`; returns `admitted`
    std::mutex& lock;
};

// The limiter reads `raise_on_limit` when it counts a call, and the attribute is shared by
// every thread. So the caller's switch is stored and the call counted under one lock per
// limiter: another thread's switch cannot come between the two. The method itself runs
// outside the lock, and only once admitted.
inline py::object attempt(const Limited& d, py::handle raise_on_limit, py::handle args,
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

// The wrapped method: the switches taken out of its keywords, then one attempt, or attempts
// under sleep_and_retry.
inline py::object call_limited(const Limited& d, const LimiterLock& lock, py::handle self,
                               const pyglue::VarArgs& extra, const pyglue::VarKwargs& kwargs) {
    py::object raise_on_limit = pop_keyword(kwargs, PYGLUE_INTERN("raise_on_limit"), Py_True);
    py::object sleep_on_limit = pop_keyword(kwargs, PYGLUE_INTERN("sleep_on_limit"), Py_False);
    py::tuple args(PyTuple_GET_SIZE(extra.ptr()) + 1);
    PyTuple_SET_ITEM(args.ptr(), 0, self.inc_ref().ptr());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra.ptr()); ++i) {
        PyTuple_SET_ITEM(args.ptr(), i + 1,
                         py::handle(PyTuple_GET_ITEM(extra.ptr(), i)).inc_ref().ptr());
    }
    if (!pyglue::truth(sleep_on_limit)) return attempt(d, raise_on_limit, args, kwargs);
    // Every retry asks again under this call's own switch.
    py::object retried = pyglue::module_function(
        kModuleName, "_attempt", {},
        pyglue::capture(py::make_tuple(d.f, d.limit, d.admitted, d.probe, raise_on_limit)),
        [lock](py::handle captured, pyglue::VarArgs args, pyglue::VarKwargs kwargs) {
            auto [f, limit, admitted, probe, raise_on_limit] = pyglue::unpack<5>(captured);
            return attempt({f, limit, admitted, probe, *lock}, raise_on_limit, args, kwargs);
        });
    py::object sleeping =
        pyglue::steal(PyObject_CallOneArg(ns.get("sleep_and_retry").ptr(), retried.ptr()));
    return pyglue::steal(PyObject_Call(sleeping.ptr(), args.ptr(), kwargs.ptr()));
}

// Makes the limiter and returns the wrapped method, named after `f`.
inline py::object decorate_limited(py::handle calls, py::handle period, py::handle raise_message,
                                   py::handle f) {
    py::object limit = ns.get("limits")(py::arg("calls") = calls, py::arg("period") = period,
                                        py::arg("raise_message") = raise_message);
    py::object admitted =
        pyglue::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::object probe =
        pyglue::module_function(kModuleName, "_admitted", {}, pyglue::capture(admitted),
                                [](py::object admitted) { return admitted; });
    py::object func = pyglue::local_function(
        kModuleName, "rate_limit.<locals>._rate_limit", "_func", {"self"},
        pyglue::capture(py::make_tuple(f, limit, admitted, probe)),
        [lock = std::make_shared<std::mutex>()](py::handle captured, py::handle self,
                                                pyglue::VarArgs args, pyglue::VarKwargs kwargs) {
            auto [f, limit, admitted, probe] = pyglue::unpack<4>(captured);
            return call_limited({f, limit, admitted, probe, *lock}, lock, self, args, kwargs);
        });
    return ns.get("wraps")(f)(func);
}

inline void define_rate_limit(py::module_& m) {
    pyglue::def(m, "rate_limit",
                {{"calls", py::int_(1)}, {"period", py::int_(3)}, {"raise_message", py::none()}},
                [](py::handle calls, py::handle period, py::handle raise_message) {
                    return pyglue::local_function(
                        kModuleName, "rate_limit", "_rate_limit", {"f"},
                        pyglue::capture(py::make_tuple(calls, period, raise_message)),
                        [](py::handle captured, py::handle f) {
                            auto [calls, period, raise_message] = pyglue::unpack<3>(captured);
                            return decorate_limited(calls, period, raise_message, f);
                        });
                });
}

}  // namespace dealdesk
