// The C API spots where CPython 3.10 to 3.13 differ, behind helpers that behave the same on
// each. Modules go through these instead of testing PY_VERSION_HEX themselves.
#pragma once

#include <frameobject.h>
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

// -- the recursion limit, as compiled code that walks nested user values counts against it -------
//
// A walk counts each of its levels as the Python frames the same walk written in Python would
// push, so it stops where that Python stops: at sys.getrecursionlimit(), counted from the
// current depth, with the interpreter's RecursionError and message.
namespace recursion {

constexpr const char* kMessage = "maximum recursion depth exceeded";

// A list comprehension's own frame: from 3.12 comprehensions run inline in their function.
constexpr int kComprehensionFrames = PY_VERSION_HEX < 0x030C0000 ? 1 : 0;

#if PY_VERSION_HEX < 0x030C0000

// Before 3.12 Python frames and Py_EnterRecursiveCall advance one counter against the limit.
inline void leave(int frames) {
    for (int i = 0; i < frames; ++i) Py_LeaveRecursiveCall();
}

// Enters `frames` frames, or sets RecursionError and returns false (having entered none).
inline bool enter(int frames) {
    for (int i = 0; i < frames; ++i) {
        if (Py_EnterRecursiveCall("")) {
            leave(i);
            return false;
        }
    }
    return true;
}

#else

// From 3.12 the limit counts Python frames only (py_recursion_remaining); Py_EnterRecursiveCall
// has a fixed C limit of its own (10,000 levels on 3.13).
inline bool enter(int frames) {
    PyThreadState* ts = PyThreadState_Get();
    if (ts->py_recursion_remaining < frames) {
        PyErr_SetString(PyExc_RecursionError, kMessage);
        return false;
    }
    ts->py_recursion_remaining -= frames;
    return true;
}

inline void leave(int frames) {
    PyThreadState_Get()->py_recursion_remaining += frames;
}

#endif

}  // namespace recursion

// -- reporting a compiled function's calls to the profile hook (sys.setprofile, cProfile) -----
//
// From 3.12 the interpreter reports calls of built-in functions and their subclasses
// (pyglue::Function is one) by itself. Before 3.12 it reports exact built-in functions only, so
// such a call reports itself, with the events and error handling of the interpreter's own:
// c_call before, c_return or c_exception after, a failing hook failing the call.
namespace profiling {

#if PY_VERSION_HEX < 0x030C0000

// True when a profile hook is set and no hook is running on this thread.
inline bool hook_waiting() {
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

#else

constexpr bool hook_waiting() {
    return false;
}

template <class Call>
PyObject* reported_call(PyObject*, Call&& call) {
    return call();
}

#endif

}  // namespace profiling

}  // namespace pyglue
