// Reporting a compiled function's calls to the profile hook (sys.setprofile, cProfile).
//
// From CPython 3.12 the interpreter reports calls of built-in functions and their subclasses
// (pyglue::Function is one) by itself. Before 3.12 it reports exact built-in functions only, so
// such a call reports itself, with the events and error handling of the interpreter's own:
// c_call before, c_return or c_exception after, a failing hook failing the call.
#pragma once

#include <Python.h>
#include <frameobject.h>

namespace pyglue {
namespace profiling {

#if PY_VERSION_HEX < 0x030C0000

// True when a profile hook is set and no hook is running on this thread.
inline bool active() {
    PyThreadState* ts = PyThreadState_Get();
    return ts->c_profilefunc != nullptr && ts->tracing == 0;
}

// Calls the hook with tracing paused, as the interpreter does: a hook that calls back into Python
// is not itself reported.
inline int report(int what, PyObject* function) {
    PyThreadState* ts = PyThreadState_Get();
    Py_tracefunc hook = ts->c_profilefunc;
    PyFrameObject* frame = PyEval_GetFrame();
    if (hook == nullptr || ts->tracing != 0 || frame == nullptr) return 0;
    PyObject* hook_arg = ts->c_profileobj;
    Py_XINCREF(hook_arg);
#if PY_VERSION_HEX >= 0x030B0000
    PyThreadState_EnterTracing(ts);
    const int result = hook(hook_arg, frame, what, function);
    PyThreadState_LeaveTracing(ts);
#else
    ++ts->tracing;
    ts->cframe->use_tracing = 0;
    const int result = hook(hook_arg, frame, what, function);
    ts->cframe->use_tracing = ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr;
    --ts->tracing;
#endif
    Py_XDECREF(hook_arg);
    return result;
}

// Runs `call` between the hook's events; `call` returns a new reference or null with an error set.
template <class Call>
PyObject* reported_call(PyObject* function, Call&& call) {
    if (report(PyTrace_C_CALL, function) != 0) return nullptr;
    PyObject* result = call();
    if (result == nullptr) {
        // A failing hook's error replaces the call's, as in the interpreter.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (report(PyTrace_C_EXCEPTION, function) == 0) {
            PyErr_Restore(type, value, traceback);
        } else {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
        return nullptr;
    }
    if (report(PyTrace_C_RETURN, function) != 0) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

#endif

}  // namespace profiling
}  // namespace pyglue
